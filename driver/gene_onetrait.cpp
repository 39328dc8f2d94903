// One-trait gene-based analysis (-RARE_ONETRAIT): score tests of a gene's rare variants for an
// effect on the trait chosen by -TRAIT. Every test runs twice: by maximum likelihood (the joint
// model of all K traits fitted over sequenced and non-sequenced subjects with the tested
// trait's genetic coefficients held at zero, then the efficient score and its variance), and by
// least squares on the sequenced subjects with the trait observed (naive). SKAT tests the SKAT
// variants one by one; T1, T5 and MB test one burden column each.
#include <gsl/gsl_randist.h>

#include <cmath>
#include <iostream>
#include <string>
#include <vector>

#include "driver/fields.h"
#include "driver/fit_arrays.h"
#include "driver/gene_blocks.h"
#include "driver/globals.h"
#include "driver/output_files.h"
#include "driver/pipelines.h"
#include "driver/single_variant.h"
#include "engine/func_algorithm.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/func_stat.h"

namespace {

const GeneAnalysis kOneTrait = GeneAnalysis::kOneTrait;

[[noreturn]] void stop(const std::string &message) {
  std::cerr << message << std::endl;
  kill_program();
}

bool trait_observed(int i) { return !is_missing(Y[i][TRAIT]); }

// The naive sample does not depend on the gene: sequenced subjects with the tested trait
// observed, and their intercept and covariates. The least-squares tests cannot run without it,
// so an empty or rank-deficient one stops the run before any output file is opened rather than
// inside the regression at the first gene. When the covariates fit the trait exactly there
// (no residual degrees of freedom, or residuals at the level of rounding), every naive score
// would be divided by a residual variance that is rounding noise: `naive_exact` then makes every
// naive group "NA".
bool naive_exact = false;

void check_naive_sample(const std::string &trait_name) {
  int rows = 0;
  for (int i = 1; i <= m; i++) {
    if (trait_observed(i)) {
      ++rows;
      na_Y[rows] = Y[i][TRAIT];
      for (int l = 2; l <= p; l++) {
        W1[rows][l - 1] = W[i][l];
      }
    }
  }
  if (rows == 0) {
    stop("Error: no sequenced subject has trait " + trait_name +
         " observed, so the naive tests have no data");
  }
  if (naive_design_singular(W1, rows, p - 1)) {
    stop("Error: the intercept and covariates of the " + std::to_string(rows) +
         " sequenced subjects with trait " + trait_name +
         " observed are not of full rank, so the naive tests cannot be fitted");
  }
  LinearReg_beta_cov(na_Y, W1, na_beta, &na_sigma2, na_cov, rows, p - 1);
  naive_exact = naive_fit_exact(rows, p - 1, na_sigma2);
}

// Rows 1..m of `design` (width columns) of the naive sample into `to`, the trait into na_Y.
int naive_rows(double **design, int width, double **to) {
  int rows = 0;
  for (int i = 1; i <= m; i++) {
    if (!trait_observed(i)) {
      continue;
    }
    ++rows;
    na_Y[rows] = Y[i][TRAIT];
    for (int l = 1; l <= width; l++) {
      to[rows][l] = design[i][l];
    }
  }
  return rows;
}

// The number J of distinct rows of design[1..m][1..width], with their sort order in index_W
// for CreateUniCov.
int count_distinct(double **design, int width) {
  int J = 0;
  indexx_Array(width, m, design, index_W);
  NumUniCov(design, width, m, index_W, &J);
  return J;
}

// The constrained fit: the tested trait's coefficient of column 1 of W_Uni[1..J][1..p] is zero.
// Traits that the design fits exactly, or that are exact linear functions of each other and
// the design, leave no fit (flag_fit_singular): the MLE side then reports the design as
// singular, while the naive side, which has its own design, still runs.
void fit_constrained(int J, double **SigmaInv) {
  EM_algorithm_indi_score(TRAIT, p, m, n, N_mispat, Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs,
                          Weta, c, Y, W, mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J, n_UniW,
                          ind_UniW, W_Uni, SigmaInv);
}

// The chi-square(1) tail at `stat`; 0 where the statistic is beyond the double range.
double chisq1_tail(double stat) { return std::isfinite(stat) ? gammq(0.5, stat / 2.0) : 0.0; }

std::string message(const GeneTest &test, const char *text) {
  return std::string("\t") + test.message_prefix + text;
}

// ---------------------------------------------------------------------------------------------
// Burden tests T1, T5, MB

void write_burden_na(const Gene &gene, const GeneTest &test, int mac, DriverLocals &d) {
  fout << '\t' << mac << "\tNA\tNA";
  d.*test.stream << gene.name << '\t' << mac << "\tNA\tNA";
  end_line(d.*test.stream, *test.file);
}

// The MLE side of a burden test, after its constrained fit on the J distinct rows of W.
void burden_mle(const Gene &gene, const GeneTest &test, int mac, int J, double *U, double **V,
                double **SigmaInv, DriverLocals &d) {
  if (flag_fit_singular) {
    fout_warn << message(test, "The design matrix is singular!");
    write_burden_na(gene, test, mac, d);
    return;
  }
  if (flag_nonconvergence) {
    fout_warn << message(test, "EM algorithm does not converge!");
    write_burden_na(gene, test, mac, d);
    return;
  }
  rareUV_indi_score(TRAIT, p, n, m, N_mispat, J + dimST, dimST, 1, V, U, Q1, l1, eta0, Sigma,
                    Sigma0, SigmaInv, q, phi, phiY, Weta, c, W, Y, c_var, twoIND, c2, c3, nobs,
                    nmis, Mis, Obs, mis_R, mis_pats, mis_patn, J, n_UniW, ind_UniW, W_Uni);
  if (!flag_positiveQ1) {
    fout_warn << message(test, "V is not positive definite!");
    write_burden_na(gene, test, mac, d);
    return;
  }
  const double u = U[1], v = V[1][1];
  // A score that is not a finite number has no variance to be tested against either.
  if (!(v > 0.0) || !std::isfinite(v) || !std::isfinite(u)) {
    write_burden_na(gene, test, mac, d);
    fout_warn << message(test, "V is not positive!");
    return;
  }
  const double stat = u * u / v;
  if (!std::isfinite(stat)) {
    write_burden_na(gene, test, mac, d);
    return;
  }
  // A P of 0 is a tail below the smallest double: the strongest evidence, written as it is.
  fout << '\t' << mac << '\t' << stat << '\t' << chisq1_tail(stat);
  d.*test.stream << gene.name << '\t' << mac << '\t' << u << '\t' << v;
  end_line(d.*test.stream, *test.file);
}

// The naive side: least squares of the trait on (burden, intercept, covariates). Its p-value
// is written as computed, 0 included. A burden column that the intercept and covariates span
// in the naive sample carries no information: its variance is zero, up to rounding that would
// otherwise print a p-value.
void burden_naive(int mac) {
  const int rows = naive_rows(W, p, W1);
  double u = 0.0, v = 0.0;
  const bool usable = !naive_exact && !naive_design_singular(W1, rows, p);
  if (usable) {
    LinearReg_beta_score(na_Y, W1, u, v, rows, p);
  }
  if (!usable || !(v > 0.0) || !std::isfinite(v) || !std::isfinite(u)) {
    fout_naive << '\t' << mac << "\tNA\tNA\tNA";
    return;
  }
  na_Pvalue = chisq1_tail(u * u / v);
  fout_naive << '\t' << mac << '\t' << u << '\t' << v << '\t' << na_Pvalue;
}

void burden_test(const Gene &gene, const GeneTest &test, double *U, double **V, double **SigmaInv,
                 DriverLocals &d) {
  const int mac = burden_score(gene, test);
  bool singular = false;
  checkWarningNull(m, p, W, &singular);
  if (singular) {
    fout_warn << message(test, "The design matrix is singular!");
    write_burden_na(gene, test, mac, d);
    fout_naive << '\t' << mac << "\tNA\tNA\tNA";
    return;
  }
  const int J = count_distinct(W, p);
  CreateUniCov(W, p, m, index_W, W_Uni, ind_UniW, n_UniW);
  // The p-column parameter layout, which the SKAT test changes.
  dimST = K * p + K * (K + 1) / 2;
  fill_twoIND(K * p);
  size_fit_arrays(J);
  fit_constrained(J, SigmaInv);
  burden_mle(gene, test, mac, J, U, V, SigmaInv, d);
  burden_naive(mac);
}

// ---------------------------------------------------------------------------------------------
// SKAT

// The SKAT variants of a gene: eligible, with map MAF <= MAF_UB.
bool skat_variant(const Gene &gene, int j) { return gene.eligible[j] && gene.maf(j) <= MAF_UB; }

// Per gene: the SKAT design (the SKAT variants' rareW columns in gene order, then intercept and
// covariates) and, in column 1 of W, the unweighted sum of the SKAT variants' genotypes.
struct SkatDesign {
  int nskat = 0;  // G_NSNP2
  int width = 0;  // nskat + p - 1
  double **rows = nullptr;
};

SkatDesign build_skat_design(const Gene &gene) {
  SkatDesign s;
  for (int j = 1; j <= gene.G; j++) {
    s.nskat += skat_variant(gene, j);
  }
  s.width = s.nskat + p - 1;
  s.rows = dmatrix(1, m, 1, s.width);
  for (int i = 1; i <= m; i++) {
    W[i][1] = 0.0;
    int l = 1, k = 1;
    for (int j = 1; j <= gene.G; j++) {
      if (!gene.eligible[j]) {
        continue;
      }
      if (gene.maf(j) <= MAF_UB) {
        W[i][1] += gene.rareW[i][l];
        s.rows[i][k++] = gene.rareW[i][l];
      }
      l++;
    }
    if (l != gene.G_NSNP1 + 1) {
      stop("Error: l != G_NSNP1+1 (SKAT.1)");
    }
    if (k != s.nskat + 1) {
      stop("Error: k != G_NSNP2+1 (SKAT.1)");
    }
    for (int col = 2; col <= p; col++) {
      s.rows[i][s.nskat + col - 1] = W[i][col];
    }
  }
  return s;
}

// Squared Beta(1, 25) density at each SKAT variant's map MAF.
double *skat_weights(const Gene &gene, int nskat) {
  double *w = dvector(1, nskat);
  int l = 1;
  for (int j = 1; j <= gene.G; j++) {
    if (skat_variant(gene, j)) {
      const double density = gsl_ran_beta_pdf(gene.maf(j), 1.0, 25.0);
      w[l++] = density * density;
    }
  }
  if (l != nskat + 1) {
    stop("Error: l != G_NSNP2+1 (SKAT.2)");
  }
  return w;
}

// One row per SKAT variant: gene, variant, map MAF, carriers, U[l], V[1..l][l], zeros to the
// full width.
void write_skat_rows(std::ofstream &out, const std::string &path, const Gene &gene, int nskat,
                     const double *U, double **V) {
  int l = 1;
  for (int j = 1; j <= gene.G; j++) {
    if (!skat_variant(gene, j)) {
      continue;
    }
    out << gene.name << '\t' << gene.snp(j) << '\t' << gene.maf(j) << '\t' << gene.cnt[j] << '\t'
        << U[l];
    for (int b = 1; b <= l; b++) {
      out << '\t' << V[b][l];
    }
    for (int b = l + 1; b <= nskat; b++) {
      out << '\t' << 0.0;
    }
    end_line(out, path);
    l++;
  }
  if (l != nskat + 1) {
    stop("Error: l != G_NSNP2+1 (SKAT.3)");
  }
}

// Naive SKAT scores of the variants that the intercept and covariates span in the naive sample
// (naive[1..rows], the variants in columns 1..nskat): such a variant carries no information,
// and its score and variance, zero in exact arithmetic, are set to zero rather than left as
// the rounding noise that a SKAT of that variant alone would turn into a p-value.
void zero_spanned_variants(double **naive, int rows, int nskat, double *U, double **V) {
  double **column = dmatrix(1, rows, 1, p);
  for (int l = 1; l <= nskat; l++) {
    for (int r = 1; r <= rows; r++) {
      column[r][1] = naive[r][l];
      for (int col = 2; col <= p; col++) {
        column[r][col] = naive[r][nskat + col - 1];
      }
    }
    if (!naive_design_singular(column, rows, p)) {
      continue;
    }
    U[l] = 0.0;
    for (int b = 1; b <= nskat; b++) {
      V[l][b] = V[b][l] = 0.0;
    }
  }
  free_dmatrix(column, 1, rows, 1, p);
}

// The SKAT statistic and p-value of U, V into the group of `row`.
void skat_group(std::ostream &row, int mac, int nskat, double *U, double **V, double *w,
                const char *accuracy_warning) {
  double Q = 0.0, P = 0.0;
  int code = 0;
  MASS_metaPval_v2(2, nskat, U, V, w, &Q, &P, &code);
  write_skat_group(row, fout_warn, mac, Q, P, code, accuracy_warning);
}

void skat_test(const Gene &gene, double *U, double **V, double **SigmaInv, DriverLocals &d) {
  SkatDesign s = build_skat_design(gene);
  const int mac = test_mac(gene, MAF_UB);
  bool singular = false;
  checkWarningNull(m, p, W, &singular);
  if (singular) {
    fout_warn << "\t(SKAT) The design matrix is singular!";
    fout << '\t' << mac << "\tNA\tNA";
    fout_naive << '\t' << mac << "\tNA\tNA";
    free_dmatrix(s.rows, 1, m, 1, s.width);
    return;
  }

  // Distinct full rows; the fit sees them condensed to (genotype sum, intercept, covariates),
  // and rows that coincide there stay separate support points.
  const int J = count_distinct(s.rows, s.width);
  double **distinct = dmatrix(1, J, 1, s.width);
  CreateUniCov(s.rows, s.width, m, index_W, distinct, ind_UniW, n_UniW);
  for (int u = 1; u <= J; u++) {
    W_Uni[u][1] = 0.0;
    for (int l = 1; l <= s.nskat; l++) {
      W_Uni[u][1] += distinct[u][l];
    }
    for (int col = 2; col <= p; col++) {
      W_Uni[u][col] = distinct[u][s.nskat + col - 1];
    }
  }
  // The tested trait carries nskat + p - 1 coefficients, every other trait p; the information
  // matrix Q1 has order J + dimST.
  dimST = K * p - 1 + s.nskat + K * (K + 1) / 2;
  fill_twoIND(K * p + s.nskat - 1);
  size_fit_arrays(J);
  fit_constrained(J, SigmaInv);
  const bool fitted = !flag_fit_singular;
  const bool converged = fitted && !flag_nonconvergence;
  if (converged) {
    rareUV_indi_score_skat(TRAIT, p, n, m, N_mispat, s.nskat, J + dimST, dimST, V, U, Q1, l1, eta0,
                           Sigma, Sigma0, SigmaInv, q, phi, phiY, Weta, c, W, Y, c_var, twoIND, c2,
                           c3, nobs, nmis, Mis, Obs, mis_R, mis_pats, mis_patn, J, n_UniW, ind_UniW,
                           W_Uni, s.rows, distinct);
  }
  double *w = skat_weights(gene, s.nskat);

  if (!fitted) {
    fout_warn << "\t(SKAT) The design matrix is singular!";
    fout << '\t' << mac << "\tNA\tNA";
  } else if (!converged) {
    fout_warn << "\t(SKAT) EM algorithm does not converge!";
    fout << '\t' << mac << "\tNA\tNA";
  } else if (!flag_positiveQ1 || !finite_score(U, V, s.nskat)) {
    fout_warn << "\tThe information matrix is not positive definite!";
    fout << '\t' << mac << "\tNA\tNA";
  } else {
    for (int l = 1; l <= s.nskat; l++) {
      if (constant_column(s.rows, l)) {
        zero_score_element(U, V, s.nskat, l);
      }
    }
    write_mle_skat_group(fout, fout_warn, mac, s.nskat, U, V, w,
                         "\t(SKAT) The asymptotic p-value of the MLE method may not be accurate!",
                         [&] { write_skat_rows(d.fout_skat, out_skat, gene, s.nskat, U, V); });
  }

  double **naive = dmatrix(1, m, 1, s.width);
  const int rows = naive_rows(s.rows, s.width, naive);
  if (!naive_exact) {
    LinearReg_beta_score_v2(na_Y, naive, U, V, rows, s.width, s.nskat);
    zero_spanned_variants(naive, rows, s.nskat, U, V);
  }
  if (naive_exact) {
    fout_naive << '\t' << mac << "\tNA\tNA";
  } else if (!flag_positiveQ1 || !finite_score(U, V, s.nskat)) {
    fout_warn << "\tThe information matrix is not positive definite!";
    fout_naive << '\t' << mac << "\tNA\tNA";
  } else {
    write_skat_rows(d.fout_naive_skat, out_naive_skat, gene, s.nskat, U, V);
    skat_group(fout_naive, mac, s.nskat, U, V, w,
               "\t(SKAT) The asymptotic p-value of the LS method may not be accurate!");
  }

  free_dmatrix(naive, 1, m, 1, s.width);
  free_dvector(w, 1, s.nskat);
  free_dmatrix(distinct, 1, J, 1, s.width);
  free_dmatrix(s.rows, 1, m, 1, s.width);
}

// ---------------------------------------------------------------------------------------------
// One gene with eligible variants: SKAT, then T1, T5, MB, as selected.

void analyse_gene(const Gene &gene, double **SigmaInv, DriverLocals &d) {
  // SKAT fills U and V with one entry per SKAT variant; a burden test uses U[1] and V[1][1].
  const int size = flag_skat ? gene.G_NSNP1 : 1;
  double *U = dvector(1, size);
  double **V = dmatrix(1, size, 1, size);
  if (flag_skat) {
    skat_test(gene, U, V, SigmaInv, d);
  }
  for (const GeneTest &test : kGeneTests) {
    if (test.burden && *test.selected) {
      burden_test(gene, test, U, V, SigmaInv, d);
    }
  }
  free_dmatrix(V, 1, size, 1, size);
  free_dvector(U, 1, size);
}

}  // namespace

void run_gene_onetrait(DriverLocals &d) {
  check_naive_sample(d.trait_names[TRAIT - 1]);
  GeneMap map = read_gene_map(d, kOneTrait);
  double **SigmaInv = dmatrix(1, K, 1, K);
  open_gene_outputs(d, kOneTrait);
  for_each_gene(map, d, kOneTrait, [&](const Gene &gene) { analyse_gene(gene, SigmaInv, d); });
  close_gene_outputs(map, d, kOneTrait);
  free_dmatrix(SigmaInv, 1, K, 1, K);
  std::cout << "Gene-based rare variant analysis for the genetic effects on trait " << TRAIT
            << " using score tests done!" << std::endl;
}
