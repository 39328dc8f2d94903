// Single-variant Wald analysis (-COM). Per variant that passes the filters: the joint-model fit
// with its Wald tests (MLE), and the per-trait least-squares Wald tests on the sequenced
// subjects alone (Naive).
#include <cmath>
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

// ---------------------------------------------------------------------------------------------
// Joint-model fit (MLE)

// A fit that found no positive definite covariance (traits that the covariates, or the other
// traits, fit exactly) leaves nothing for the information; returns false then.
bool fit_joint_model(const Variant &v) {
  const UsedData &u = v.used;
  EM_algorithm_v5(u.m, u.n, N_mispat, Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c, u.Y,
                  u.W, u.pats, u.patn, mis_R, Mis, Obs, nobs, nmis, v.J, n_UniW, ind_UniW, W_Uni);
  if (flag_fit_singular)
    return false;
  Variance_v3(u.n, u.m, N_mispat, v.J + dimST, dimST, Q1, l1, eta0, Sigma, Sigma0, q, phi, phiY,
              Weta, c, u.W, u.Y, c_var, T, twoIND, c2, WW, c3, nobs, nmis, Mis, Obs, mis_R, u.pats,
              u.patn, v.J, n_UniW, ind_UniW, W_Uni);
  return true;
}

// The MLE groups of a variant without a fit: NA throughout, with the message of a singular
// design.
void write_unfitted_groups(VariantRows &rows) {
  rows.warn << "\tCovariate design matrix is singular!";
  for (int k = 1; k <= K; ++k) write_na_group(rows.mle);
}

// Pvalue leaves the standard error and p-value of a trait not finite when its variance is not
// usable for a test; write_real turns them into "NA".
void write_mle_groups(VariantRows &rows) {
  if (flag_nonconvergence) {
    rows.warn << "\tEM algorithm does not converge!";
  }
  if (flag_positiveQ1) {
    Pvalue(K, p, pval, se, eta0, Q1);
  } else {
    rows.warn << "\tThe information matrix is not positive definite!";
  }
  for (int k = 1; k <= K; ++k) {
    write_real(rows.mle, eta0[1][k]);
    if (flag_positiveQ1) {
      write_real(rows.mle, se[k]);
      write_real(rows.mle, pval[k]);
    } else {
      rows.mle << "\tNA\tNA";
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Naive least squares, trait by trait

// A naive Wald test needs a positive, finite variance and a finite statistic; the chi-square tail
// would end the run on anything else.
bool wald_usable(double beta, double var) {
  return std::isfinite(beta) && std::isfinite(var) && var > 0.0 &&
         std::isfinite(beta * beta / (var + var));
}

void write_naive_group(int k, const std::string &trait_name, VariantRows &rows) {
  const int sample = form_naive_sample(k);
  // The regression would end the run on a design it cannot factorise.
  if (naive_design_singular(W1, sample, p)) {
    write_na_group(rows.naive);
    rows.warn << "\tNaive design matrix is singular for trait " << trait_name << "!";
    return;
  }
  LinearReg_beta_cov(na_Y, W1, na_beta, &na_sigma2, na_cov, sample, p);
  const double b = na_beta[1];
  const double v = na_cov[1][1];
  write_real(rows.naive, b);
  if (naive_fit_exact(sample, p, na_sigma2) || !wald_usable(b, v)) {
    rows.naive << "\tNA\tNA";
    return;
  }
  na_Pvalue = gammq(0.5, b * b / (2.0 * v));
  write_real(rows.naive, std::sqrt(v));
  write_real(rows.naive, na_Pvalue);
}

}  // namespace

void run_wald(const std::vector<std::string> &trait_names) {
  start_single_variant(trait_names, {"_BETA", "_SE", "_PVAL"});
  analyse_variants(K, [&trait_names](const Variant &v, VariantRows &rows) {
    if (fit_joint_model(v)) {
      write_mle_groups(rows);
    } else {
      write_unfitted_groups(rows);
    }
    // The naive analysis runs whatever the outcome of the fit.
    for (int k = 1; k <= K; ++k) {
      write_naive_group(k, trait_names[k - 1], rows);
    }
  });
  finish_single_variant();
  std::cout << "Single variant analysis using Wald tests done!" << std::endl;
}
