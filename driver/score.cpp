// Single-variant score analysis (-COM_SCORE -TRAIT t). Per variant that passes the filters: the
// efficient score test of trait t's genetic coefficient in the joint model of all K traits,
// fitted with that coefficient held at zero (MLE), and the least-squares score test of the
// genotype on trait t among the sequenced subjects (Naive).
#include <iostream>
#include <string>
#include <vector>

#include "driver/globals.h"
#include "driver/pipelines.h"
#include "driver/result_output.h"
#include "driver/single_variant.h"
#include "engine/func_algorithm.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/func_stat.h"

namespace {

// Work arrays of the pipeline: the inverse covariance of the constrained fit, which the score
// routine uses as its K x K work matrix, and the score of the one tested variable with its
// variance.
double **SigmaInv;
double *U;
double **V;

// Constrained fit and efficient score. A fit that found no positive definite system or
// covariance (traits that the covariates, or the other traits, fit exactly), a fit that stopped
// at its iteration limit, or a nuisance block that is not positive definite leaves no score to
// test.
void write_mle_group(const Variant &v, VariantRows &rows) {
  const UsedData &u = v.used;
  EM_algorithm_indi_score(TRAIT, p, u.m, u.n, N_mispat, Sigma0, Sigma, eta0, q, q0, phi, phiY, T,
                          Tobs, Weta, c, u.Y, u.W, u.pats, u.patn, mis_R, Mis, Obs, nobs, nmis, v.J,
                          n_UniW, ind_UniW, W_Uni, SigmaInv);
  if (flag_fit_singular) {
    rows.warn << "\tCovariate design matrix is singular!";
    write_na_group(rows.mle);
    return;
  }
  if (flag_nonconvergence) {
    rows.warn << "\tEM algorithm does not converge!";
    write_na_group(rows.mle);
    return;
  }
  rareUV_indi_score(TRAIT, p, u.n, u.m, N_mispat, v.J + dimST, dimST, 1, V, U, Q1, l1, eta0, Sigma,
                    Sigma0, SigmaInv, q, phi, phiY, Weta, c, u.W, u.Y, c_var, twoIND, c2, c3, nobs,
                    nmis, Mis, Obs, mis_R, u.pats, u.patn, v.J, n_UniW, ind_UniW, W_Uni);
  if (!flag_positiveQ1) {
    rows.warn << "\tThe information matrix is not positive definite!";
    write_na_group(rows.mle);
    return;
  }
  double pvalue = 0.0;
  if (!write_score_group(rows.mle, U[1], V[1][1], &pvalue)) {
    rows.warn << "\tV is not positive!";
    write_na_group(rows.mle);
  }
}

// Least-squares score test of trait t. Its null fit needs the intercept and covariate columns
// of the naive sample to have a positive definite cross product; the regression would end the
// run on any other. A null fit that is exact, or a genotype column that those columns span,
// leaves no information for the test: its variance is zero, up to rounding that would
// otherwise print a p-value.
void write_naive_group(const std::string &trait_name, VariantRows &rows) {
  const int sample = form_naive_sample(TRAIT);
  double **nuisance = naive_columns(sample, 2);
  if (naive_design_singular(nuisance, sample, p - 1)) {
    write_na_group(rows.naive);
    rows.warn << "\tNaive design matrix is singular for trait " << trait_name << "!";
    return;
  }
  LinearReg_beta_cov(na_Y, nuisance, na_beta, &na_sigma2, na_cov, sample, p - 1);
  if (naive_fit_exact(sample, p - 1, na_sigma2) || naive_design_singular(W1, sample, p)) {
    write_na_group(rows.naive);
    return;
  }
  double score = 0.0, variance = 0.0;
  LinearReg_beta_score(na_Y, W1, score, variance, sample, p);
  if (!write_score_group(rows.naive, score, variance, &na_Pvalue)) {
    write_na_group(rows.naive);
  }
}

}  // namespace

void run_score(const std::vector<std::string> &trait_names) {
  const std::string &tested = trait_names[TRAIT - 1];
  start_single_variant({tested}, {"_U", "_V", "_PVAL"});
  SigmaInv = dmatrix(1, K, 1, K);
  U = dvector(1, 1);
  V = dmatrix(1, 1, 1, 1);
  analyse_variants(1, [&tested](const Variant &v, VariantRows &rows) {
    write_mle_group(v, rows);
    // The naive test runs whatever the outcome of the fit.
    write_naive_group(tested, rows);
  });
  finish_single_variant();
  free_dmatrix(V, 1, 1, 1, 1);
  free_dvector(U, 1, 1);
  free_dmatrix(SigmaInv, 1, K, 1, K);
  std::cout << "Single variant analysis using score tests done!" << std::endl;
}
