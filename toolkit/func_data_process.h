// Data preparation, index sorting and reordering, table counting, and the common stop routine.
#ifndef VARNOSTA_TOOLKIT_FUNC_DATA_PROCESS_H
#define VARNOSTA_TOOLKIT_FUNC_DATA_PROCESS_H

// Writes "Program was stopped due to error(s) listed above." to std::cerr and exits with
// status 1 through the normal exit path, so open output files are flushed and closed.
[[noreturn]] void kill_program();

#endif  // VARNOSTA_TOOLKIT_FUNC_DATA_PROCESS_H
