// The input phase: sizes and checks of the three tables, their summary, the long-lived arrays,
// the reading of both phenotype tables, the missing-pattern tables, optional standardisation
// and the ordering of the subjects by pattern. Also the release of all those arrays.
//
// Every table is checked line by line before it is read, so that a malformed table stops the
// run with a message naming the file, line and field instead of being read on into undefined
// values; the reading itself is then a plain stream of numbers.
#include <cctype>
#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/fields.h"
#include "driver/fit_arrays.h"
#include "driver/globals.h"
#include "driver/pipelines.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

const double kMissing = -999.0;
// The missing-pattern score gives trait k the weight 2^(k-1) in a 32-bit signed int.
const int kMaxTraits = 31;

[[noreturn]] void stop(const std::string &message) {
  std::cerr << message << std::endl;
  kill_program();
}

std::string file_line(const char *file, int line_no) {
  return std::string("Error: File ") + file + ", line " + std::to_string(line_no);
}

std::string trim(const std::string &text) {
  std::size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) {
    b++;
  }
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) {
    e--;
  }
  return text.substr(b, e - b);
}

std::vector<std::string> split_tabs(const std::string &text) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = text.find('\t', start);
    fields.push_back(
        text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) {
      return fields;
    }
    start = tab + 1;
  }
}

void check_numbers(const char *file, int line_no, const std::vector<std::string> &fields) {
  for (std::size_t f = 0; f < fields.size(); f++) {
    const std::string value = trim(fields[f]);
    const std::string where = file_line(file, line_no) + ", field " + std::to_string(f + 1);
    if (value.empty()) {
      stop(where + " is empty");
    }
    double number = 0.0;
    if (!parse_number(value, &number)) {
      stop(where + ": \"" + value + "\" is not a number");
    }
  }
}

// What the check of a phenotype table found: its lines up to the last line with content,
// the field count of every one of them, the whitespace-separated tokens of line 1 and, for a
// table with a header, its tab-separated names.
struct TableShape {
  int records = 0;
  int fields = 0;
  int first_line_tokens = 0;
  std::vector<std::string> names;
};

// The model has no missing covariate: a -999 there would be used as a real value (and by the
// scaling).
void check_covariates(const char *file, int line_no, const std::vector<std::string> &fields,
                      int first_covariate, const std::vector<std::string> &names) {
  for (int f = first_covariate; f <= static_cast<int>(fields.size()); f++) {
    double value = 0.0;
    if (parse_number(trim(fields[f - 1]), &value) && is_missing(value)) {
      stop(file_line(file, line_no) + ", field " + std::to_string(f) + " (" + names[f - 1] +
           "): -999 in a covariate; covariates cannot be missing");
    }
  }
}

// Checks every line of a phenotype table: blank lines only at the end, the same number of
// tab-separated fields on every line as on line 1, every field a number (line 1 excepted when
// it is a header) and, from field `first_covariate` on (0: none), no missing code. Stops with
// a message naming the file, line and field.
TableShape check_table(const char *file, bool has_header, int first_covariate) {
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) {
    stop(std::string("Error: Cannot open file ") + file);
  }
  skip_byte_order_mark(in);
  TableShape shape;
  std::string text;
  int line_no = 0, first_blank = 0;
  while (std::getline(in, text)) {
    line_no++;
    if (count_fields(text) == 0) {
      if (first_blank == 0) {
        first_blank = line_no;
      }
      continue;
    }
    if (first_blank != 0) {
      stop(file_line(file, first_blank) +
           " is blank; blank lines are allowed only at the end of the table");
    }
    const std::vector<std::string> fields = split_tabs(text);
    const int nfields = static_cast<int>(fields.size());
    shape.records++;
    if (line_no == 1) {
      shape.fields = nfields;
      shape.first_line_tokens = count_fields(text);
      if (has_header) {
        for (const std::string &name : fields) {
          shape.names.push_back(trim(name));
        }
        continue;
      }
    } else if (nfields != shape.fields) {
      if (has_header && line_no == 2) {
        stop(std::string("Error: File ") + file + ": the header (line 1) has " +
             std::to_string(shape.fields) + " tab-separated fields but the data lines have " +
             std::to_string(nfields) + "; the header needs one field per column");
      }
      stop(file_line(file, line_no) + " has " + std::to_string(nfields) +
           " tab-separated fields, but line 1 has " + std::to_string(shape.fields));
    }
    check_numbers(file, line_no, fields);
    if (first_covariate > 0) {
      check_covariates(file, line_no, fields, first_covariate, shape.names);
    }
  }
  if (line_no == 0) {
    stop(std::string("Error: File ") + file + " is empty");
  }
  return shape;
}

std::string plural(int count, const char *word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

const char *const kBlankSeparated = " (its fields are separated by blanks, not tabs)";

// What is wrong with a genotype line that has `fields` tab-separated fields, not m + 1.
std::string genotype_line_problem(const std::string &text, int fields) {
  const int words = count_fields(text);
  if (words == 0) {
    return " is blank; blank lines are allowed only at the end of the table";
  }
  const std::string counts =
      " has " + plural(fields, "tab-separated field") + ", not " + std::to_string(m + 1);
  if (fields == 1 && words > 1) {
    return counts + kBlankSeparated;
  }
  return counts + " (the variant identifier and one genotype for each of the " +
         plural(m, "subject") + " of " + pheno_seq + ")";
}

// Where the genotype table's column count goes wrong: its first line whose tab-separated field
// count is not m + 1 (a blank line, a short line, a trailing tab, blanks instead of tabs) or,
// when every line has the same other count, the two counts.
std::string genotype_columns_detail() {
  std::ifstream in(geno, std::ios::binary);
  skip_byte_order_mark(in);
  std::string text, first_bad;
  int common = -1;
  bool blank_separated = false;
  for (int line_no = 1; line_no <= NSNP && std::getline(in, text); line_no++) {
    const int fields = static_cast<int>(split_tabs(text).size());
    common = (line_no == 1 || fields == common) ? fields : 0;
    if (first_bad.empty() && fields != m + 1) {
      first_bad = file_line(geno, line_no) + genotype_line_problem(text, fields);
      blank_separated = fields == 1 && count_fields(text) > 1;
    }
  }
  if (common > 0) {
    return std::string("Error: ") + pheno_seq + " has " + plural(m, "sequenced subject") +
           ", but every line of " + geno + " has " + plural(common, "tab-separated field") +
           ", not " + std::to_string(m + 1) +
           (blank_separated ? kBlankSeparated
                            : " (the variant identifier and one genotype per subject)");
  }
  return first_bad;
}

// The sizes of the three tables, each table checked before it is used.
void size_tables() {
  int rows = 0, cols = 0;
  dimRecords(&rows, &cols, pheno_nonseq, 'F');
  const TableShape nonseq = check_table(pheno_nonseq, false, 0);
  if (nonseq.records == 0) {
    stop(std::string("Error: File ") + pheno_nonseq + " has no data line");
  }
  n = rows;
  K = cols;
  if (K > kMaxTraits) {
    stop(std::string("Error: File ") + pheno_nonseq + " has " + std::to_string(K) +
         " columns, so " + std::to_string(K) + " traits; at most " + std::to_string(kMaxTraits) +
         " traits are supported");
  }
  if ((analysis_mode == 1 || analysis_mode == 2) && (TRAIT < 1 || TRAIT > K)) {
    stop("Error: -TRAIT " + std::to_string(TRAIT) + " is not a trait: " + pheno_nonseq + " has " +
         std::to_string(K) + " traits, numbered from 1");
  }

  int S = 0;
  dimRecords(&m, &S, pheno_seq, 'T');
  const TableShape seq = check_table(pheno_seq, true, K + 1);
  if (seq.records == 0) {
    stop(std::string("Error: File ") + pheno_seq + " has no header line");
  }
  if (seq.records == 1) {
    stop(std::string("Error: File ") + pheno_seq + " has a header line but no data line");
  }
  if (S < K) {
    stop(std::string("Error: File ") + pheno_seq + " has " + std::to_string(S) +
         " columns, fewer than the " + std::to_string(K) + " traits of " + pheno_nonseq);
  }
  if (seq.first_line_tokens < K) {
    stop(file_line(pheno_seq, 1) + ": the header names only " +
         std::to_string(seq.first_line_tokens) + " of the " + std::to_string(K) + " traits of " +
         pheno_nonseq);
  }
  // The names are read as blank-separated tokens: a name with a blank (or an empty one) would
  // shift every later name.
  if (seq.first_line_tokens != seq.fields) {
    stop(file_line(pheno_seq, 1) + ": the header has " + std::to_string(seq.fields) +
         " tab-separated fields but " + std::to_string(seq.first_line_tokens) +
         " blank-separated names; every column needs one name, without blanks");
  }
  n = n + m;
  p = S + 2 - K;

  int G = 0;
  dimRecords(&NSNP, &G, geno, 'F');
  // A genotype table without any variant has nothing to compare.
  if (NSNP > 0 && G != m + 1) {
    std::cerr << "Error: Number of subjects in -PHENO_SEQ and -GENO do no coincide!" << std::endl;
    stop(genotype_columns_detail());
  }
}

void print_summary() {
  std::cout << std::endl;
  std::cout << "There are " << m << " sequenced subjects and " << n - m << " non-sequenced subjects"
            << std::endl;
  std::cout << "There are " << K << " traits and " << p - 2 << " covariates" << std::endl;
  std::cout << "There are " << NSNP << " variants" << std::endl;
  std::cout << std::endl;
}

void start_dimensions() {
  dimST = K * p + K * (K + 1) / 2;
  dimQ1 = dimST + m;
}

void allocate_arrays() {
  Y = dmatrix(1, n, 1, K);
  W = dmatrix(1, m, 1, p);
  index_W = ivector(1, m);
  Y1 = dmatrix(1, n, 1, K);
  W1 = dmatrix(1, m, 1, p);
  ind_UniW = ivector(1, m);
  W_Uni = dmatrix(1, m, 1, p);
  n_UniW = ivector(1, m);
  T = dmatrix(1, K + p, 1, K + p);
  Tobs = dvector(1, K + p);
  Sigma = dmatrix(1, K, 1, K);
  Sigma0 = dvector(1, K);
  eta0 = dmatrix(1, p, 1, K);
  q = dvector(1, m);
  q0 = dvector(1, m);
  Weta = dmatrix(1, m, 1, K);
  c = dvector(1, K);
  phiY = dmatrix(1, m, 1, K);
  start_dimensions();
  c_var = dmatrix(1, K, 1, K);
  c2 = dmatrix(1, K, 1, K);
  WW = dmatrix(1, p, 1, p);
  c3 = dmatrix3(1, K, 1, K, 1, K);
  twoIND = imatrix(1, K, 1, K);
  na_Y = dvector(1, m);
  na_beta = dvector(1, p);
  na_cov = dmatrix(1, p + 1, 1, p + 1);
  pval = dvector(1, K);
  se = dvector(1, K);
}

// Reads the non-sequenced table, then the trait names and the rows of the sequenced table; the
// tables were checked, so every extraction succeeds.
void read_tables(std::vector<std::string> &trait_names, std::string &token) {
  fin.open(pheno_nonseq);
  skip_byte_order_mark(fin);
  for (int i = m + 1; i <= n; i++) {
    for (int k = 1; k <= K; k++) {
      fin >> Y[i][k];
    }
  }
  fin.close();

  fin.open(pheno_seq);
  skip_byte_order_mark(fin);
  std::getline(fin, header);
  line.clear();
  line.str(header);
  for (int k = 1; k <= K; k++) {
    line >> token;
    trait_names.push_back(token);
  }
  for (int i = 1; i <= m; i++) {
    for (int k = 1; k <= K; k++) {
      fin >> Y[i][k];
    }
    // The genetic column is each pipeline's; a defined value keeps the reordering below from
    // copying an indeterminate one.
    W[i][1] = 0.0;
    W[i][2] = 1.0;
    for (int j = 3; j <= p; j++) {
      fin >> W[i][j];
    }
  }
  fin.close();
}

// Whether traits k and l lie on one line over the subjects where both are observed, as a column
// given twice or a change of unit puts them: their trait covariance would be singular. Judged,
// like collinear design columns, by a squared correlation within 1e-10 of 1 over at least three
// such subjects with some spread in both (two points always lie on a line). Rows of Y as read.
enum class TraitRelation { kNone, kProportional, kLinear };

TraitRelation trait_relation(int k, int l) {
  int both = 0;
  double sum_k = 0.0, sum_l = 0.0, kk = 0.0, ll = 0.0, kl = 0.0;
  for (int i = 1; i <= n; i++) {
    if (!is_missing(Y[i][k]) && !is_missing(Y[i][l])) {
      both++;
      sum_k += Y[i][k];
      sum_l += Y[i][l];
      kk += Y[i][k] * Y[i][k];
      ll += Y[i][l] * Y[i][l];
      kl += Y[i][k] * Y[i][l];
    }
  }
  if (both < 3) {
    return TraitRelation::kNone;
  }
  const double mean_k = sum_k / both, mean_l = sum_l / both;
  double ckk = 0.0, cll = 0.0, ckl = 0.0;
  for (int i = 1; i <= n; i++) {
    if (!is_missing(Y[i][k]) && !is_missing(Y[i][l])) {
      ckk += (Y[i][k] - mean_k) * (Y[i][k] - mean_k);
      cll += (Y[i][l] - mean_l) * (Y[i][l] - mean_l);
      ckl += (Y[i][k] - mean_k) * (Y[i][l] - mean_l);
    }
  }
  const double kTolerance = 1e-10;
  // Written so that a sum beyond the range of a double (NaN) counts as no relation.
  const bool on_a_line = ckk > 0.0 && cll > 0.0 && 1.0 - (ckl / ckk) * (ckl / cll) <= kTolerance;
  if (!on_a_line) {
    return TraitRelation::kNone;
  }
  return 1.0 - (kl / kk) * (kl / ll) <= kTolerance ? TraitRelation::kProportional
                                                   : TraitRelation::kLinear;
}

// The fits stop when the summed absolute change of the estimates falls below 1e-4. A trait on a
// small scale moves its coefficients and covariance by little in absolute terms, so the fits
// stop before they have converged and the p-values drift from those of the same data in larger
// units. Measured with bench/trait_scale.sh (every trait multiplied, 200 to 1000 subjects, 1 to
// 5 traits): within 2 % down to a standard deviation of about 0.25 in the worst data set, 5 %
// off at 0.1 there and 13 % at 0.01 in others. The bound keeps a margin of two above that.
// -SCALE standardises the traits, so it lifts the bound.
const double kMinTraitSD = 0.5;

// A constant added to a trait or a covariate changes nothing in exact arithmetic (the intercept
// takes it up), but far from zero compared with its spread it costs the fits their precision:
// the intercept grows with the offset while the fits stop on an absolute change, and the design
// checks judge uncentred cross products. Measured with bench/trait_scale.sh -m offset (examples/
// and seven simulated sets of 200 to 1000 subjects, 1 to 5 traits, continuous and 3- to 5-level
// covariates): the p-values from 1e-4 up stay within 0.2 % until fits first fail to converge (and
// their results turn NA), at |mean| / SD from 2.8e4 for the traits and from 9.1e3 for a covariate
// in the worst sets. Both bounds keep a margin of two below that; -SCALE centres the columns of
// three or more values, so it lifts them there.
const double kMaxTraitOffset = 1e4;
const double kMaxCovariateOffset = 4e3;

void check_offset(const char *kind, const std::string &name, double mean, double sd, double bound) {
  if (std::fabs(mean) > bound * sd) {
    std::ostringstream message;
    message << "Error: " << kind << " " << name << " has mean " << mean
            << " and standard deviation " << sd
            << "; the fits cannot resolve it at that offset. Use -SCALE, or subtract a constant.";
    stop(message.str());
  }
}

void check_trait_spread(int k, const std::string &name) {
  if (flag_scale) {
    // -SCALE leaves a trait of two values as it is, at its offset.
    if (!ColumnHasThreeValues(Y, n, k, kMissing)) {
      check_offset("Trait", name, ColumnMean(Y, n, k, kMissing), ColumnSD(Y, n, k, kMissing),
                   kMaxTraitOffset);
    }
    return;
  }
  const double sd = ColumnSD(Y, n, k, kMissing);
  if (sd < kMinTraitSD) {
    std::ostringstream message;
    message << "Error: Trait " << name << " has standard deviation " << sd
            << "; the fits stop when estimates change by less than 1e-4, which stops them early "
               "on this scale. Use -SCALE, or give the trait in smaller units.";
    stop(message.str());
  }
  check_offset("Trait", name, ColumnMean(Y, n, k, kMissing), sd, kMaxTraitOffset);
}

// The covariates that -SCALE would standardise (at least three distinct values over the
// sequenced subjects; a 0/1 code is not), unless it is given. Column j of W is field j - 2 after
// the traits in the header, which was checked to hold one name per field.
void check_covariate_offsets() {
  if (flag_scale) {
    return;
  }
  line.clear();
  line.str(header);
  std::string name;
  for (int k = 1; k <= K; k++) {
    line >> name;
  }
  for (int j = 3; j <= p; j++) {
    line >> name;
    if (ColumnHasThreeValues(W, m, j, kMissing)) {
      check_offset("Covariate", name, ColumnMean(W, m, j, kMissing), ColumnSD(W, m, j, kMissing),
                   kMaxCovariateOffset);
    }
  }
}

// Traits the joint fit cannot estimate: without an observed value (it would report an estimate
// of 0 and warnings for every variant), constant, on too small a scale or too far from zero
// (unless -SCALE), or two on one line (the sweep of the fit would end the run, or the numbers
// would look valid and mean nothing). Checked on the values as read, before any scaling and
// before any output is opened.
void check_traits(const std::vector<std::string> &trait_names) {
  for (int k = 1; k <= K; k++) {
    int observed = 0;
    bool constant = true;
    double first = 0.0;
    for (int i = 1; i <= n; i++) {
      if (is_missing(Y[i][k])) {
        continue;
      }
      if (observed++ == 0) {
        first = Y[i][k];
      } else if (Y[i][k] != first) {
        constant = false;
      }
    }
    if (observed == 0) {
      stop("Error: Trait " + trait_names[k - 1] + " has no observed value");
    }
    if (constant) {
      stop("Error: Trait " + trait_names[k - 1] + " is constant over its observed values");
    }
    check_trait_spread(k, trait_names[k - 1]);
  }
  for (int k = 1; k <= K; k++) {
    for (int l = k + 1; l <= K; l++) {
      const TraitRelation relation = trait_relation(k, l);
      const std::string pair = "Error: Traits " + trait_names[k - 1] + " and " + trait_names[l - 1];
      if (relation == TraitRelation::kProportional) {
        stop(pair + " are proportional over the subjects where both are observed");
      }
      if (relation == TraitRelation::kLinear) {
        stop(pair +
             " are linearly related (one is a + b times the other) over the subjects "
             "where both are observed");
      }
    }
  }
}

// Pattern boundaries in sorted order; pattern t holds the sorted positions
// mis_pat[t]+1..mis_pat[t+1].
int *pattern_bounds(const int *mis_score, const int *mis_index) {
  N_mispat = 1;
  for (int i = 2; i <= n; i++) {
    if (mis_score[mis_index[i]] != mis_score[mis_index[i - 1]]) {
      N_mispat++;
    }
  }
  int *mis_pat = ivector(1, N_mispat + 1);
  mis_pat[1] = 0;
  mis_pat[N_mispat + 1] = n;
  int next = 2;
  for (int i = 2; i <= n; i++) {
    if (mis_score[mis_index[i]] != mis_score[mis_index[i - 1]]) {
      mis_pat[next++] = i - 1;
    }
  }
  return mis_pat;
}

// Which traits each pattern observes, from the subject at its last sorted
// position (every subject of a pattern has the same score).
void pattern_tables(const int *mis_pat, const int *mis_index) {
  mis_R = imatrix(1, N_mispat, 1, K);
  for (int t = 1; t <= N_mispat; t++) {
    const int subject = mis_index[mis_pat[t + 1]];
    for (int k = 1; k <= K; k++) {
      mis_R[t][k] = is_missing(Y[subject][k]) ? 0 : 1;
    }
  }
  Mis = imatrix(1, N_mispat, 1, K);
  Obs = imatrix(1, N_mispat, 1, K);
  nmis = ivector(1, N_mispat);
  nobs = ivector(1, N_mispat);
  for (int t = 1; t <= N_mispat; t++) {
    nmis[t] = 0;
    nobs[t] = 0;
    for (int k = 1; k <= K; k++) {
      if (mis_R[t][k] == 1) {
        Obs[t][++nobs[t]] = k;
      } else {
        Mis[t][++nmis[t]] = k;
      }
    }
  }
}

// Sequenced subjects first, non-sequenced after, each block grouped by
// pattern in ascending score, keeping within a pattern the order of the sort.
void order_subjects(const int *mis_pat, int *mis_index) {
  int *mis_inds = ivector(1, m);
  int *mis_indn = ivector(1, n - m);
  mis_pats = ivector(1, N_mispat + 1);
  mis_patn = ivector(1, N_mispat + 1);
  mis_pats[1] = 0;
  mis_patn[1] = m;
  int ns = 0, nn = 0;
  for (int t = 1; t <= N_mispat; t++) {
    for (int s = mis_pat[t] + 1; s <= mis_pat[t + 1]; s++) {
      if (mis_index[s] <= m) {
        mis_inds[++ns] = mis_index[s];
      } else {
        mis_indn[++nn] = mis_index[s];
      }
    }
    mis_pats[t + 1] = ns;
    mis_patn[t + 1] = m + nn;
  }
  for (int i = 1; i <= m; i++) {
    mis_index[i] = mis_inds[i];
  }
  for (int i = 1; i <= n - m; i++) {
    mis_index[m + i] = mis_indn[i];
  }
  sortByIndex_M(Y, n, 1, K, mis_index);
  sortByIndex_M(W, m, 1, p, mis_inds);
  mis_ranks = ivector(1, m);
  indToRank(m, mis_inds, mis_ranks);
  free_ivector(mis_inds, 1, m);
  free_ivector(mis_indn, 1, n - m);
}

// Missing-pattern scores (taken before any scaling), optional scaling, the pattern tables and
// the subject order; the temporaries are released.
void prepare_data() {
  int *mis_score = ivector(1, n);
  MisPatternDetect(Y, n, K, kMissing, mis_score);
  if (flag_scale) {
    ScaleCovariates(Y, n, 1, K, kMissing);
    ScaleCovariates(W, m, 3, p, kMissing);
  }
  int *mis_index = ivector(1, n);
  indexx(n, mis_score, mis_index);
  int *mis_pat = pattern_bounds(mis_score, mis_index);
  pattern_tables(mis_pat, mis_index);
  order_subjects(mis_pat, mis_index);
  mis_pats1 = ivector(1, N_mispat + 1);
  mis_patn1 = ivector(1, N_mispat + 1);
  free_ivector(mis_score, 1, n);
  free_ivector(mis_pat, 1, N_mispat + 1);
  free_ivector(mis_index, 1, n);
}

}  // namespace

void read_input(std::vector<std::string> &trait_names, std::string &token) {
  size_tables();
  print_summary();
  allocate_arrays();
  read_tables(trait_names, token);
  check_traits(trait_names);
  check_covariate_offsets();
  prepare_data();
}

void release_arrays() {
  free_ivector(mis_pats1, 1, N_mispat + 1);
  free_ivector(mis_patn1, 1, N_mispat + 1);
  free_imatrix(mis_R, 1, N_mispat, 1, K);
  free_imatrix(Mis, 1, N_mispat, 1, K);
  free_imatrix(Obs, 1, N_mispat, 1, K);
  free_ivector(mis_pats, 1, N_mispat + 1);
  free_ivector(mis_patn, 1, N_mispat + 1);
  free_ivector(mis_ranks, 1, m);
  free_ivector(nmis, 1, N_mispat);
  free_ivector(nobs, 1, N_mispat);
  free_dmatrix(Y, 1, n, 1, K);
  free_dmatrix(W, 1, m, 1, p);
  free_ivector(index_W, 1, m);
  free_dmatrix(Y1, 1, n, 1, K);
  free_dmatrix(W1, 1, m, 1, p);
  free_ivector(ind_UniW, 1, m);
  free_dmatrix(W_Uni, 1, m, 1, p);
  free_ivector(n_UniW, 1, m);
  free_dvector(na_Y, 1, m);
  free_dvector(na_beta, 1, p);
  free_dmatrix(na_cov, 1, p + 1, 1, p + 1);
  free_dmatrix(T, 1, K + p, 1, K + p);
  free_dvector(Tobs, 1, K + p);
  free_dmatrix(Sigma, 1, K, 1, K);
  free_dvector(Sigma0, 1, K);
  free_dmatrix(eta0, 1, p, 1, K);
  free_dvector(q, 1, m);
  free_dvector(q0, 1, m);
  free_dmatrix(Weta, 1, m, 1, K);
  free_dvector(c, 1, K);
  free_fit_arrays();
  free_dmatrix(phiY, 1, m, 1, K);
  free_dmatrix(c_var, 1, K, 1, K);
  free_imatrix(twoIND, 1, K, 1, K);
  free_dmatrix(c2, 1, K, 1, K);
  free_dmatrix(WW, 1, p, 1, p);
  free_dmatrix3(c3, 1, K, 1, K, 1, K);
  free_dvector(pval, 1, K);
  free_dvector(se, 1, K);
}
