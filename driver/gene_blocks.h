// What the two gene-based analyses share: the table of the four gene tests, the gene-SNP map
// cut into gene blocks, the output files, and per gene the reading and coding of its genotypes,
// its design matrix rareW and the burden scores.
#ifndef VARNOSTA_DRIVER_GENE_BLOCKS_H
#define VARNOSTA_DRIVER_GENE_BLOCKS_H

#include <fstream>
#include <functional>
#include <ostream>
#include <string>

#include "driver/pipelines.h"

// ---------------------------------------------------------------------------------------------
// The four gene tests. The settings lines, the opening of the variant-level files, the header
// groups of the gene-level tables, the gene loop and the messages all read this one table.
// ---------------------------------------------------------------------------------------------

struct GeneTest {
  const char *name;                     // "SKAT", "T1", "T5", "MB": columns, messages, labels
  bool *selected;                       // flag_skat, flag_t1, flag_t5, flag_mb
  char **file;                          // out_skat, ...: the value of its option
  std::ofstream DriverLocals::*stream;  // fout_skat, ...: its variant-level file
  const double *maf_bound;              // a variant enters when its map MAF <= *maf_bound
  bool burden;                          // one burden column per gene (T1, T5, MB)
  bool mb_weights;                      // genotypes weighted by 1 / sqrt(MAF (1 - MAF)) (MB)
  const char *naive_columns;            // its group in the naive gene-level table
  const char *message_prefix;           // "(SKAT) ", "(T1) ", ... of its warnings
  int echo_order;                       // its place among the settings lines
};

enum GeneTestId { kSkat = 0, kT1 = 1, kT5 = 2, kMb = 3, kGeneTestCount = 4 };

// In the column order of the gene-level tables: SKAT, T1, T5, MB.
extern const GeneTest kGeneTests[kGeneTestCount];

bool any_gene_test_selected();

// ---------------------------------------------------------------------------------------------
// Gene-SNP map and gene blocks
// ---------------------------------------------------------------------------------------------

enum class GeneAnalysis { kOneTrait, kAllTraits };

// The kept map records in the order of the map sorted by gene name, cut into gene blocks.
// Gene g holds the 0-based positions gene_start[g] .. gene_start[g+1]-1 of kept_genes and
// kept_snps, which are the 1-based positions gene_start[g]+1 .. gene_start[g+1] of kept_maf
// and kept_line.
struct GeneMap {
  int n_kept = 0;
  int n_gene = 0;
  double *kept_maf = nullptr;  // 1..n_kept map MAF
  int *kept_line = nullptr;    // 1..n_kept line of the variant in the genotype table
  int *gene_start = nullptr;   // 1..n_gene+1
};

// Reads and checks the map file, sorts its records by gene name, scans the genotype table for
// the first line of every identifier (fin is left open on it), keeps the records whose variant
// is in the table and whose map MAF lies in (0, 1), and cuts them into gene blocks. Prints the
// row count (one-trait analysis) and the gene count. Stops the run on a malformed map line and
// when no record is kept.
GeneMap read_gene_map(DriverLocals &d, GeneAnalysis analysis);

// Opens, with truncation, the variant-level files of the selected tests, the gene-level table
// (and, one-trait analysis, the naive gene-level table) with its header, and the warning file.
// Every gene-level stream writes reals as %.6e. Stops the run on a file that cannot be opened.
void open_gene_outputs(DriverLocals &d, GeneAnalysis analysis);

// Closes the open variant-level files, the genotype table and the result files (stopping the run
// when the last write to one fails), releases the kept arrays and empties the kept vectors.
void close_gene_outputs(GeneMap &map, DriverLocals &d, GeneAnalysis analysis);

// ---------------------------------------------------------------------------------------------
// One gene
// ---------------------------------------------------------------------------------------------

// Records j = 1..G of one gene block, in gene order (the order of the sorted map).
struct Gene {
  const GeneMap *map = nullptr;
  const DriverLocals *locals = nullptr;
  std::string name;
  int G = 0;
  int first = 0;              // 0-based position of record 1 in kept_genes
  int *line = nullptr;        // 1..G genotype-table line
  int *read_order = nullptr;  // 1..G records by ascending line
  int *cnt = nullptr;         // 1..G carriers: genotypes 1 and 2
  int *eligible = nullptr;    // 1..G: 1 for an eligible variant
  double **X = nullptr;       // 1..m x 1..G genotypes, coded for eligible records
  int G_NSNP1 = 0;            // eligible variants
  double **rareW = nullptr;   // 1..m x 1..G_NSNP1+p-1: eligible columns, intercept, covariates

  double maf(int j) const { return map->kept_maf[first + j]; }
  const std::string &snp(int j) const { return locals->kept_snps[first + j - 1]; }
};

// Start of gene g: rewinds the genotype table, writes the gene name to the gene-level table(s)
// and the warning file, and makes the per-gene arrays.
void start_gene(Gene &gene, const GeneMap &map, int g, const DriverLocals &d,
                GeneAnalysis analysis);

// Reads the gene's genotype lines in ascending line order, counts and codes them (Additive or
// Dominant, missing values imputed from the sample frequency), and marks the eligible variants:
// more than SNP_MAC_LB carriers and at least one known genotype. Stops the run on a malformed
// line or a genotype that is none of 0, 1, 2, -999.
void read_gene_genotypes(Gene &gene);

// Rows of a gene without eligible variants: its warning, then "\t0\tNA\tNA" per selected test
// (and the naive groups in the one-trait analysis); every line of the gene is ended and checked.
void write_gene_without_eligible(GeneAnalysis analysis);

// rareW from the eligible columns of X (in gene order), the intercept and the covariates; X is
// released.
void build_rareW(Gene &gene);

// Test MAC: the carriers of the eligible variants whose map MAF <= bound.
int test_mac(const Gene &gene, double bound);

// Burden score of a test into column 1 of W (rows 1..m): the sum over the eligible variants
// within the test's bound of their rareW columns, MB-weighted for MB. Returns the test MAC.
int burden_score(const Gene &gene, const GeneTest &test);

// Whether column `col` of X[1..m] holds one value over the sequenced subjects.
bool constant_column(double **X, int col);

// Score element e of U[1..L] and V[1..L][1..L] set to zero. A genotype column that is constant
// over the sequenced subjects is collinear with the intercept: its score and variance are zero
// but for rounding, which a test would otherwise turn into a statistic (or a variance below 0).
// At zero it is a variant without variation: SKAT drops it, a burden test finds V = 0.
void zero_score_element(double *U, double **V, int L, int e);

// A test's group in a gene-level table: "\t" mac "\t" stat "\t" P, or "\t" mac "\tNA\tNA" when
// P is no probability (no result: -999 or NaN) or stat is not finite. A P of exactly 0 is a tail
// below the smallest positive double and is written as the number.
void write_test_group(std::ostream &row, int mac, double stat, double P);

// Whether U[1..L] and the upper triangle of V[1..L][1..L] are finite. A score routine can pass
// its positive-definiteness test with NaN entries (a NaN pivot is not <= 0); such a score has no
// test, and its variant-level lines would print "nan".
bool finite_score(const double *U, double **V, int L);

// A SKAT group with Davies' accuracy code (0 unless the routine reports a fault). Any fault
// writes `accuracy_warning` to `warn`; faults 1, 3, 4 and 5 leave no probability, so the group
// is mac, Q and "NA"; fault 2 (round-off) keeps Q and P as computed ("NA" for a P below 0);
// without a fault the rule of write_test_group holds.
void write_skat_group(std::ostream &row, std::ostream &warn, int mac, double Q, double P, int code,
                      const char *accuracy_warning);

// The maximum-likelihood SKAT group of a finite score U[1..len], V[1..len][1..len] with
// weights w[1..len]. A V that SKAT cannot use (skat_variance_acceptable: a negative variance, or
// an indefinite weighted V, among the entries with a positive weight) gives "\t" mac "\tNA\tNA",
// "\t(SKAT) V is not positive semi-definite!" on `warn` and no variant-level rows, as an
// indefinite burden V does; otherwise write_rows() writes the rows and the group follows
// write_skat_group with `accuracy_warning`.
void write_mle_skat_group(std::ostream &row, std::ostream &warn, int mac, int len, double *U,
                          double **V, double *w, const char *accuracy_warning,
                          const std::function<void()> &write_rows);

// End of a gene with eligible variants: ends the gene's lines (all-traits: gene-level table,
// then warning file; one-trait: warning file, naive table, gene-level table), each checked as it
// is flushed.
void end_gene_lines(GeneAnalysis analysis);

// Releases the per-gene arrays (X too when rareW was never built).
void release_gene(Gene &gene);

// The gene loop both analyses share: per gene block, start its lines, read and code its
// genotypes, then either the rows of a gene without eligible variants or rareW, the analysis's
// tests (analyse(gene)) and the end of its lines; the per-gene arrays are released after each.
template <class Analyse>
void for_each_gene(const GeneMap &map, const DriverLocals &d, GeneAnalysis analysis,
                   Analyse analyse) {
  for (int g = 1; g <= map.n_gene; g++) {
    Gene gene;
    start_gene(gene, map, g, d, analysis);
    read_gene_genotypes(gene);
    if (gene.G_NSNP1 == 0) {
      write_gene_without_eligible(analysis);
    } else {
      build_rareW(gene);
      analyse(gene);
      end_gene_lines(analysis);
    }
    release_gene(gene);
  }
}

#endif  // VARNOSTA_DRIVER_GENE_BLOCKS_H
