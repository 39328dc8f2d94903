// The input phase, the analysis pipelines and the release of the long-lived arrays.
#ifndef VARNOSTA_DRIVER_PIPELINES_H
#define VARNOSTA_DRIVER_PIPELINES_H

#include <string>
#include <vector>

// Sizes and checks the three tables, prints their summary, allocates the long-lived arrays,
// reads both phenotype tables and puts the subjects in missing-pattern order.
void read_input(std::vector<std::string> &trait_names, std::string &token);
// Releases every long-lived array with the bounds of its allocation.
void release_arrays();

// Single-variant Wald analysis (-COM).
void run_wald(const std::vector<std::string> &trait_names);

#endif  // VARNOSTA_DRIVER_PIPELINES_H
