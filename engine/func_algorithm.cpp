#include "engine/func_algorithm.h"
