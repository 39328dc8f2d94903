#include "driver/globals.h"
#include "driver/pipelines.h"

void run_wald(const std::vector<std::string> &) {}
