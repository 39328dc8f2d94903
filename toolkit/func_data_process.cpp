#include "toolkit/func_data_process.h"

#include <cstdlib>
#include <iostream>

void kill_program() {
  std::cerr << "Program was stopped due to error(s) listed above." << std::endl;
  std::exit(1);
}
