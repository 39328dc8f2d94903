// The input phase, the analysis pipelines and the release of the long-lived arrays.
#ifndef VARNOSTA_DRIVER_PIPELINES_H
#define VARNOSTA_DRIVER_PIPELINES_H

#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

// The locals of main that the pipelines share, constructed right after the start stamp and
// destroyed when main returns (which closes any variant-level file still open).
struct DriverLocals {
  // Variant-level files of the gene tests; only the gene-based pipelines open them.
  std::ofstream fout_skat, fout_t1, fout_t5, fout_mb, fout_naive_skat;
  std::vector<std::string> trait_names;            // from the sequenced-subject header
  std::vector<std::string> map_genes, map_snps;    // gene-SNP map records as read, then sorted
  std::vector<std::string> kept_genes, kept_snps;  // the records kept for analysis
  std::string token;                               // token buffer of the trait names
  std::unordered_map<std::string, int> snp_line;   // variant identifier -> genotype-table line
};

// Sizes and checks the three tables, prints their summary, allocates the long-lived arrays,
// reads both phenotype tables and puts the subjects in missing-pattern order.
void read_input(std::vector<std::string> &trait_names, std::string &token);
// Releases every long-lived array with the bounds of its allocation.
void release_arrays();

// Single-variant Wald analysis (-COM).
void run_wald(const std::vector<std::string> &trait_names);
// Single-variant score analysis of trait TRAIT (-COM_SCORE).
void run_score(const std::vector<std::string> &trait_names);

// Gene-based score tests of a gene's joint effect on all traits (-RARE_ALL); entered only when
// at least one gene test is selected.
void run_gene_all(DriverLocals &locals);

// Gene-based score tests of a gene's effect on the trait TRAIT (-RARE_ONETRAIT), by maximum
// likelihood and by naive least squares; entered only when at least one gene test is selected.
void run_gene_onetrait(DriverLocals &locals);

#endif  // VARNOSTA_DRIVER_PIPELINES_H
