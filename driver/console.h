// Banner, command-line options and the settings messages of a run.
#ifndef VARNOSTA_DRIVER_CONSOLE_H
#define VARNOSTA_DRIVER_CONSOLE_H

void print_banner();
// Writes the start or finish stamp ("Varnosta started at " / "Varnosta finished at ").
void print_stamp(const char *what);
// Sets every setting to its default.
void set_defaults();
// Reads the options left to right; stops the run on an unknown option, a missing value or an
// unknown -MODEL value.
void parse_options(int argc, char **argv);
// The common block and the block of the analysis mode.
void print_settings();

#endif  // VARNOSTA_DRIVER_CONSOLE_H
