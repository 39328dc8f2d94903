#include "driver/output_files.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "toolkit/func_data_process.h"

void check_written(const std::ios &out, const std::string &path) {
  const int reason = errno;  // first: the message below may itself change errno
  if (!out.fail()) {
    return;
  }
  std::cerr << "Error: Cannot write " << path << ": "
            << (reason != 0 ? std::strerror(reason) : "the write failed") << std::endl;
  kill_program();
}

void end_line(std::ostream &out, const std::string &path) {
  out << std::endl;
  check_written(out, path);
}

void close_output(std::ofstream &out, const std::string &path) {
  out.close();
  check_written(out, path);
}
