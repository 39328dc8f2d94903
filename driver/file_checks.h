// Checks of the files named on the command line, made before any of them is read or written,
// so that a wrong name stops the run with a clear reason instead of destroying data.
#ifndef VARNOSTA_DRIVER_FILE_CHECKS_H
#define VARNOSTA_DRIVER_FILE_CHECKS_H

// Before the input phase: every input table of the chosen analysis that exists must be a
// regular, readable file (one that does not exist is left to the reading, which reports it).
void check_input_files();

// After the input phase, before the analysis opens any output: no output of the chosen
// analysis may be an input or another output (a regular file; outputs may share a device such
// as /dev/null), and every output must be creatable. A file that cannot be created stops the
// run with the analysis's own message for it, in the order in which the analysis opens its
// files; nothing has been truncated by then.
void check_output_files();

#endif  // VARNOSTA_DRIVER_FILE_CHECKS_H
