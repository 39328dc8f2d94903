// The steps that the single-variant analyses share, and that the gene-based analyses reuse
// where they match: reading and counting a line of the genotype table, the genotype-complete
// subsample, the variant filters, the unique covariate table, the numbering of the covariance
// parameters, the naive sample, and the three output files, to which a variant's lines go
// together once all three are complete.
#ifndef VARNOSTA_DRIVER_SINGLE_VARIANT_H
#define VARNOSTA_DRIVER_SINGLE_VARIANT_H

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// Genotype counts of one variant over the m sequenced subjects.
struct VariantCounts {
  int n0 = 0, n1 = 0, n2 = 0, nmiss = 0;  // genotypes 0, 1, 2 and missing (within 1e-10)
  int m1 = 0;                             // subjects with a known genotype: m - nmiss
  double maf = 0.0;  // (n1 + 2 n2) / (2 m1), not folded; undefined (0) when m1 = 0
  int mac = 0;       // carrier count of the analysed subjects, filled by the filters
};

// The data of a fit: the genotype-complete subsample (Y1, W1, mis_pats1, mis_patn1) when some
// genotypes are missing, otherwise the full arrays.
struct UsedData {
  int m = 0, n = 0;  // sequenced and all subjects
  double **Y = nullptr, **W = nullptr;
  int *pats = nullptr, *patn = nullptr;
};

// A variant that passed the filters, with the unique covariate table of its used design built
// (index_W, W_Uni, ind_UniW, n_UniW).
struct Variant {
  VariantCounts counts;
  UsedData used;
  int J = 0;  // distinct design rows
};

// A variant's lines of the MLE and Naive tables and of the warning file.
struct VariantRows {
  std::ostringstream mle, naive, warn;
};

// Reads line `line_no` of the genotype table from fin into snp_name and column `col` of X: the
// genotype of the subject on line i of the sequenced-subject table into X[mis_ranks[i]][col].
// Stops the run, naming the line and field, when the line is not the identifier followed by m
// numbers, and by stop_on_genotype_value on a number that is neither -999 nor within [0, 2]
// (dosages between 0 and 2 are read as they are). The next line of fin must be line `line_no`.
void read_genotype_line(int line_no, double **X, int col);

// Stops the run when `text`, line `line_no` of the genotype table, has content but its first
// tab-separated field is blank: the variant has no identifier, and a reading by blanks would
// take its first genotype for one.
void check_variant_identifier(int line_no, const std::string &text);

// Stops the run on genotype `value` (its text) of line `line_no`, variant snp_name, that is not
// one the analysis accepts: "Error: File <geno>, line <n>, variant <id>: genotype <value> is
// not 0, 1, 2 or -999".
[[noreturn]] void stop_on_genotype_value(int line_no, std::string_view value);

// Counts of X[1..m][col] (mac left 0).
VariantCounts count_genotypes(double **X, int col);

// twoIND[k][l] for k <= l: first + 1, first + 2, ... row by row, the positions of the
// covariance entries after `first` coefficients.
void fill_twoIND(int first);

// Sequenced rows with trait k and the genotype (W[i][1]) observed, in row order: their trait
// values into na_Y and their design rows into W1. Returns the number of rows.
int form_naive_sample(int k);
// Columns first..p of W1[1..rows] as the columns 1..p - first + 1 of a matrix (row pointers
// into W1, valid until the next call).
double **naive_columns(int rows, int first);
// Whether X[1..rows][1..cols] has a cross product that is not positive definite or columns
// collinear up to rounding: the filters' singular verdict.
bool naive_design_singular(double **X, int rows, int cols);
// Whether a naive least-squares fit on `cols` columns with residual variance sigma2 (RSS/rows)
// of the response na_Y[1..rows] is exact: no residual degrees of freedom, or residuals at the
// level of rounding. Its variance would come out as a tiny number and its test as nonsense.
bool naive_fit_exact(int rows, int cols, double sigma2);

// Opens the MLE, Naive and warning files (stopping when one cannot be opened), writes the
// header "VARIANT_ID", one result group per name with the three suffixes, and the statistics
// columns to both result tables (stopping when it cannot be written), and numbers twoIND after
// the K p coefficients.
void start_single_variant(const std::vector<std::string> &group_names,
                          const std::vector<std::string> &suffixes);

// The analysis of a variant that passed the filters: it appends its result groups to rows.mle
// and rows.naive and its messages to rows.warn; the statistics tails and the line ends follow.
using VariantAnalysis = std::function<void(const Variant &, VariantRows &)>;

// Streams the genotype table: per variant the identifier and genotypes into column 1 of W, the
// counts, the used data, the filters (a filtered variant gets its message and `groups` groups of
// "NA" in each table), the unique covariate table and `analyse`; then the three lines, each
// flushed and checked (a failed write stops the run).
void analyse_variants(int groups, const VariantAnalysis &analyse);

// Closes the genotype table, then the MLE, Naive and warning files, checking each.
void finish_single_variant();

#endif  // VARNOSTA_DRIVER_SINGLE_VARIANT_H
