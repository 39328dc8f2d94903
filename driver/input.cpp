#include "driver/globals.h"
#include "driver/pipelines.h"

// The input phase is built in its own change; until then the run goes on with no data.
void read_input(std::vector<std::string> &, std::string &) {}
void release_arrays() {}
