// Varnosta: joint association analysis of several quantitative traits in studies where only
// part of the subjects were sequenced. The run sequence: banner, options, settings, input,
// one analysis, release.
#include <iostream>

#include "driver/console.h"
#include "driver/file_checks.h"
#include "driver/gene_blocks.h"
#include "driver/globals.h"
#include "driver/pipelines.h"

int main(int argc, char **argv) {
  std::cout << std::endl;
  print_banner();
  print_stamp("started");

  DriverLocals locals;  // shared with the pipelines

  set_defaults();
  parse_options(argc, argv);
  print_settings();

  // The files are checked around the input phase: the inputs before they are read, the
  // outputs once the input has passed its own checks and before any output is truncated.
  check_input_files();
  read_input(locals.trait_names, locals.token);
  check_output_files();

  switch (analysis_mode) {
    case 0:
      run_wald(locals.trait_names);
      break;
    case 1:
      run_score(locals.trait_names);
      break;
    case 2:
    case 3:
      // Without a selected test there is nothing to do: no map is read, no file is created.
      if (any_gene_test_selected()) {
        if (analysis_mode == 2)
          run_gene_onetrait(locals);
        else
          run_gene_all(locals);
      }
      break;
  }

  release_arrays();
  std::cout << "Free memory Done!" << std::endl;
  print_stamp("finished");
  return 0;
}
