// Writing the output files. Every row is flushed as soon as it is complete; a write that fails
// (a full disk, a quota, /dev/full) must stop the run rather than leave a cut table behind a
// run that looks finished.
#ifndef VARNOSTA_DRIVER_OUTPUT_FILES_H
#define VARNOSTA_DRIVER_OUTPUT_FILES_H

#include <fstream>
#include <ios>
#include <ostream>
#include <string>

// Stops the run when a write to `out`, the output file `path`, has failed: "Error: Cannot write
// <path>: <reason>", the reason the system's for the failed write. Call it right after the flush
// or close that wrote, while errno still holds that reason.
void check_written(const std::ios &out, const std::string &path);

// Ends the line of `out` and flushes it, then checks the write.
void end_line(std::ostream &out, const std::string &path);

// Closes `out`, which writes what is left in its buffer, then checks the write.
void close_output(std::ofstream &out, const std::string &path);

#endif  // VARNOSTA_DRIVER_OUTPUT_FILES_H
