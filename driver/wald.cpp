// Single-variant Wald analysis (-COM): one pass over the genotype table. Per variant: the
// genotype counts and the variant filters, the joint-model fit with its Wald tests (MLE), and
// the per-trait least-squares Wald tests on the sequenced subjects alone (Naive).
#include <cctype>
#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/globals.h"
#include "driver/pipelines.h"
#include "driver/wald_output.h"
#include "engine/func_algorithm.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/func_stat.h"

namespace {

// Values of the current variant.
int N0, N1, N2, NMISS;  // genotypes 0, 1, 2 and missing
int m1;                 // sequenced subjects with a known genotype
double MAF;             // (N1 + 2 N2) / (2 m1), not folded; undefined when m1 = 0
int mac;                // carrier count: analysed genotypes of at least 1
bool low_count, no_variation, singular;
int J;  // distinct design rows

// The data of the fit: the genotype-complete subsample when some genotypes are missing,
// otherwise the full arrays.
int m_used, n_used;
double **Y_used, **W_used;
int *pats_used, *patn_used;

// The variant's lines of the three files, written to the files only once all three are
// complete, so that a stop inside a variant (a numerical failure the routines end the run on)
// leaves only whole rows behind.
std::ostringstream mle_row, naive_row, warn_row;

// Cross product of the naive design and its work vector, to test it before regressing.
double **na_XtX;
double *na_d;

// Missing codes and genotype classes are matched within this distance, as everywhere else.
const double kTol = 1e-10;

bool is_missing(double x) { return std::fabs(x + 999.0) < kTol; }

// ---------------------------------------------------------------------------------------------
// Reading one line of the genotype table

// Number of whitespace-separated fields of s.
int count_fields(const std::string &s) {
  int count = 0;
  bool in_field = false;
  for (char ch : s) {
    bool space = std::isspace(static_cast<unsigned char>(ch)) != 0;
    if (!space && !in_field) {
      ++count;
    }
    in_field = !space;
  }
  return count;
}

// Text of field `index` (1-based) of s.
std::string field_text(const std::string &s, int index) {
  std::istringstream fields(s);
  std::string text;
  for (int f = 1; f <= index; ++f) {
    fields >> text;
  }
  return text;
}

[[noreturn]] void stop_on_genotype_line(int line_no, const std::string &what) {
  std::cerr << "Error: File " << geno << ", line " << line_no << ": " << what << std::endl;
  kill_program();
}

// Reads line `line_no` of the genotype table into snp_name and column 1 of W (the genotype of
// the subject on line i of the sequenced-subject table into row mis_ranks[i]). The numbers
// are extracted exactly as a token-by-token reading of the stream would, but within the
// line, so that a malformed line is caught before anything of it is written. Stops the run on
// a malformed line. NSNP counts the lines up to the last one with content, so trailing blank
// lines are never read and a blank line here lies between records.
void read_genotype_line(int line_no) {
  if (!std::getline(fin, header)) {
    stop_on_genotype_line(line_no, "the line cannot be read");
  }
  int fields = count_fields(header);
  if (fields == 0) {
    stop_on_genotype_line(line_no, "the line is blank; blank lines are allowed only at the end");
  }
  if (fields != m + 1) {
    stop_on_genotype_line(line_no, std::to_string(fields) + " fields, expected " +
                                       std::to_string(m + 1) +
                                       " (the variant identifier and one genotype per subject)");
  }
  line.clear();
  line.str(header);
  line >> snp_name;
  for (int i = 1; i <= m; ++i) {
    double g = 0.0;
    line >> g;
    // A number must fill its whole field ("1x" is not 1).
    if (line.fail() || (line.peek() != std::char_traits<char>::eof() &&
                        !std::isspace(static_cast<unsigned char>(line.peek())))) {
      stop_on_genotype_line(line_no, "field " + std::to_string(i + 1) + " (\"" +
                                         field_text(header, i + 1) + "\") is not a number");
    }
    W[mis_ranks[i]][1] = g;
  }
}

// ---------------------------------------------------------------------------------------------
// Counts, subsample and filters

void count_genotypes() {
  N0 = N1 = N2 = NMISS = 0;
  for (int i = 1; i <= m; ++i) {
    double g = W[i][1];
    if (is_missing(g)) {
      ++NMISS;
    } else if (std::fabs(g) < kTol) {
      ++N0;
    } else if (std::fabs(g - 1.0) < kTol) {
      ++N1;
    } else if (std::fabs(g - 2.0) < kTol) {
      ++N2;
    }
  }
  m1 = m - NMISS;
  MAF = m1 > 0 ? (N1 + 2.0 * N2) / (2.0 * m1) : 0.0;
}

// Copies the subjects with a known genotype into Y1, W1, keeping the pattern grouping: per
// pattern its sequenced rows go to the front block, its non-sequenced rows (all of them) to the
// back block.
void build_complete_subsample() {
  mis_pats1[1] = 0;
  mis_patn1[1] = m1;
  int a = 0;
  int b = m1;
  for (int j = 1; j <= N_mispat; ++j) {
    for (int r = mis_pats[j] + 1; r <= mis_pats[j + 1]; ++r) {
      if (is_missing(W[r][1])) {
        continue;
      }
      ++a;
      for (int k = 1; k <= K; ++k) {
        Y1[a][k] = Y[r][k];
      }
      for (int l = 1; l <= p; ++l) {
        W1[a][l] = W[r][l];
      }
    }
    mis_pats1[j + 1] = a;
    for (int r = mis_patn[j] + 1; r <= mis_patn[j + 1]; ++r) {
      ++b;
      for (int k = 1; k <= K; ++k) {
        Y1[b][k] = Y[r][k];
      }
    }
    mis_patn1[j + 1] = b;
  }
}

void select_used_data() {
  if (NMISS > 0) {
    build_complete_subsample();
    m_used = m1;
    n_used = n - NMISS;
    Y_used = Y1;
    W_used = W1;
    pats_used = mis_pats1;
    patn_used = mis_patn1;
  } else {
    m_used = m;
    n_used = n;
    Y_used = Y;
    W_used = W;
    pats_used = mis_pats;
    patn_used = mis_patn;
  }
}

// The first variant filter that holds, or nullptr. With no known genotype the frequency is
// undefined and its filter is skipped.
const char *variant_filter() {
  if (m1 > 0 && MAF_LB > MAF) {
    return "\tMAF lower than MAF_LB!";
  }
  if (low_count) {
    return "\tMAC lower than MAC_LB!";
  }
  if (no_variation) {
    return "\tNo genetic variation in this sample!";
  }
  if (singular) {
    return "\tCovariate design matrix is singular!";
  }
  return nullptr;
}

void end_both_rows() {
  end_result_row(mle_row, mac, MAF, m1 > 0, N0, N1, N2, NMISS);
  end_result_row(naive_row, mac, MAF, m1 > 0, N0, N1, N2, NMISS);
}

void write_filtered_variant(const char *message) {
  warn_row << message << std::endl;
  for (int k = 1; k <= K; ++k) {
    write_na_group(mle_row);
  }
  for (int k = 1; k <= K; ++k) {
    write_na_group(naive_row);
  }
  end_both_rows();
}

// ---------------------------------------------------------------------------------------------
// Joint-model fit (MLE)

void build_unique_covariates() {
  indexx_Array(p, m_used, W_used, index_W);
  NumUniCov(W_used, p, m_used, index_W, &J);
  CreateUniCov(W_used, p, m_used, index_W, W_Uni, ind_UniW, n_UniW);
}

void fit_joint_model() {
  EM_algorithm_v5(m_used, n_used, N_mispat, Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c,
                  Y_used, W_used, pats_used, patn_used, mis_R, Mis, Obs, nobs, nmis, J, n_UniW,
                  ind_UniW, W_Uni);
  Variance_v3(n_used, m_used, N_mispat, J + dimST, dimST, Q1, l1, eta0, Sigma, Sigma0, q, phi, phiY,
              Weta, c, W_used, Y_used, c_var, T, twoIND, c2, WW, c3, nobs, nmis, Mis, Obs, mis_R,
              pats_used, patn_used, J, n_UniW, ind_UniW, W_Uni);
}

// Pvalue leaves the standard error and p-value of a trait not finite when its variance is not
// usable for a test; write_real turns them into "NA".
void write_mle_row() {
  if (flag_nonconvergence) {
    warn_row << "\tEM algorithm does not converge!";
  }
  if (flag_positiveQ1) {
    Pvalue(K, p, pval, se, eta0, Q1);
  } else {
    warn_row << "\tThe information matrix is not positive definite!";
  }
  for (int k = 1; k <= K; ++k) {
    write_real(mle_row, eta0[1][k]);
    if (flag_positiveQ1) {
      write_real(mle_row, se[k]);
      write_real(mle_row, pval[k]);
    } else {
      mle_row << "\tNA\tNA";
    }
  }
  end_result_row(mle_row, mac, MAF, m1 > 0, N0, N1, N2, NMISS);
}

// ---------------------------------------------------------------------------------------------
// Naive least squares, trait by trait

// A naive Wald test needs a positive, finite variance and a finite statistic; the chi-square tail
// would end the run on anything else.
bool wald_usable(double beta, double var) {
  return std::isfinite(beta) && std::isfinite(var) && var > 0.0 &&
         std::isfinite(beta * beta / (var + var));
}

// A fit with no residual degrees of freedom, or residuals that are rounding noise, has no
// usable variance: its RSS would come out as a tiny positive number and the test as p = 0.
bool exact_fit(int rows) {
  if (rows <= p) {
    return true;
  }
  double yy = 0.0;
  for (int s = 1; s <= rows; ++s) {
    yy += na_Y[s] * na_Y[s];
  }
  return na_sigma2 * rows <= 1e-24 * yy;
}

// Sequenced rows with trait k and the genotype observed, in row order, into na_Y and W1.
int form_naive_sample(int k) {
  int rows = 0;
  for (int i = 1; i <= m; ++i) {
    if (std::fabs(Y[i][k] + 999.0) > kTol && std::fabs(W[i][1] + 999.0) > kTol) {
      ++rows;
      na_Y[rows] = Y[i][k];
      for (int l = 1; l <= p; ++l) {
        W1[rows][l] = W[i][l];
      }
    }
  }
  return rows;
}

// Whether the regression can factorise the design's cross product: the same sums, in the same
// order, as the regression forms; columns collinear up to rounding count as singular too.
bool naive_design_positive(int rows) {
  for (int i = 1; i <= p; ++i) {
    for (int j = i; j <= p; ++j) {
      double sum = 0.0;
      for (int s = 1; s <= rows; ++s) {
        sum += W1[s][i] * W1[s][j];
      }
      na_XtX[i][j] = na_XtX[j][i] = sum;
    }
  }
  return choldcCheckNonsingular(na_XtX, p, na_d);
}

void write_naive_group(int k, const std::vector<std::string> &trait_names) {
  int rows = form_naive_sample(k);
  if (!naive_design_positive(rows)) {
    write_na_group(naive_row);
    warn_row << "\tNaive design matrix is singular for trait " << trait_names[k - 1] << "!";
    return;
  }
  LinearReg_beta_cov(na_Y, W1, na_beta, &na_sigma2, na_cov, rows, p);
  double b = na_beta[1];
  double v = na_cov[1][1];
  write_real(naive_row, b);
  if (exact_fit(rows) || !wald_usable(b, v)) {
    naive_row << "\tNA\tNA";
    return;
  }
  na_Pvalue = gammq(0.5, b * b / (2.0 * v));
  write_real(naive_row, std::sqrt(v));
  write_real(naive_row, na_Pvalue);
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void open_outputs() {
  fout_naive.open(out_naive);
  fout.open(out_test);
  fout_warn.open(out_warn);
  if (!fout_naive.is_open()) {
    std::cerr << "Error: Cannot opne naive results file" << out_naive << std::endl;
    kill_program();
  }
  if (!fout.is_open()) {
    std::cerr << "Error: Cannot open mle results file " << out_test << std::endl;
    kill_program();
  }
  if (!fout_warn.is_open()) {
    std::cerr << "Error: Cannot open warning file " << out_warn << std::endl;
    kill_program();
  }
}

// Covariance entry (k, l), k <= l, is parameter K p + its rank in the row-by-row order.
void fill_twoIND() {
  int position = K * p;
  for (int k = 1; k <= K; ++k) {
    for (int l = k; l <= K; ++l) {
      twoIND[k][l] = ++position;
    }
  }
}

void fill_variant_rows(const std::vector<std::string> &trait_names) {
  mac = 0;
  warn_row << snp_name;
  begin_result_row(naive_row, snp_name);
  begin_result_row(mle_row, snp_name);
  count_genotypes();
  select_used_data();
  checkWarning(m_used, p, MAC_LB, W_used, &mac, &low_count, &no_variation, &singular);
  const char *filter = variant_filter();
  if (filter != nullptr) {
    write_filtered_variant(filter);
    return;
  }
  build_unique_covariates();
  fit_joint_model();
  write_mle_row();
  // The naive analysis runs whatever the outcome of the fit.
  for (int k = 1; k <= K; ++k) {
    write_naive_group(k, trait_names);
  }
  end_result_row(naive_row, mac, MAF, m1 > 0, N0, N1, N2, NMISS);
  warn_row << std::endl;
}

void write_row(std::ofstream &file, std::ostringstream &row) {
  file << row.str();
  file.flush();
  row.str("");
}

void analyse_variant(const std::vector<std::string> &trait_names) {
  fill_variant_rows(trait_names);
  write_row(fout_warn, warn_row);
  write_row(fout_naive, naive_row);
  write_row(fout, mle_row);
}

}  // namespace

void run_wald(const std::vector<std::string> &trait_names) {
  open_outputs();
  write_result_header(fout, trait_names);
  write_result_header(fout_naive, trait_names);
  fill_twoIND();
  fin.open(geno);

  na_XtX = dmatrix(1, p, 1, p);
  na_d = dvector(1, p);
  for (int v = 1; v <= NSNP; ++v) {
    read_genotype_line(v);
    analyse_variant(trait_names);
  }
  free_dvector(na_d, 1, p);
  free_dmatrix(na_XtX, 1, p, 1, p);

  fin.close();
  fout.close();
  fout_naive.close();
  fout_warn.close();
  std::cout << "Single variant analysis using Wald tests done!" << std::endl;
}
