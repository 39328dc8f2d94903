// Observed information (Louis' method) and Wald p-values, checked against a finite-difference
// Hessian of an independent log-likelihood, plus the failure paths.
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_eigen.h>
#include <gsl/gsl_linalg.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"
#include "toolkit/func_linear_algebra.h"

using engine_test::Model;
using engine_test::Subject;

namespace {

// Observed information -d2 l / d theta2 by central differences (step h_i = 1e-4 times the
// parameter's scale), then its inverse: the reference covariance of the estimates.
std::vector<std::vector<double>> fd_covariance(const Model &d, std::vector<double> th,
                                               std::vector<double> &gradient) {
  int np = d.dim - 1;
  std::vector<double> h(np + 1);
  for (int i = 1; i <= np; i++) h[i] = 1e-4 * std::max(0.1, std::fabs(th[i]));
  auto at = [&](int i, double di, int j, double dj) {
    std::vector<double> x = th;
    x[i] += di;
    x[j] += dj;
    return d.loglik(x);
  };
  gradient.assign(np + 1, 0.0);
  gsl_matrix *info = gsl_matrix_alloc(np, np);
  double l0 = d.loglik(th);
  for (int i = 1; i <= np; i++) {
    double lp = at(i, h[i], i, 0.0), lm = at(i, -h[i], i, 0.0);
    gradient[i] = (lp - lm) / (2 * h[i]);
    gsl_matrix_set(info, i - 1, i - 1, -(lp - 2 * l0 + lm) / (h[i] * h[i]));
    for (int j = 1; j < i; j++) {
      double v = at(i, h[i], j, h[j]) - at(i, h[i], j, -h[j]) - at(i, -h[i], j, h[j]) +
                 at(i, -h[i], j, -h[j]);
      v = -v / (4 * h[i] * h[j]);
      gsl_matrix_set(info, i - 1, j - 1, v);
      gsl_matrix_set(info, j - 1, i - 1, v);
    }
  }
  gsl_linalg_cholesky_decomp1(info);
  gsl_linalg_cholesky_invert(info);
  std::vector<std::vector<double>> cov(np + 1, std::vector<double>(np + 1));
  for (int i = 1; i <= np; i++)
    for (int j = 1; j <= np; j++) cov[i][j] = gsl_matrix_get(info, i - 1, j - 1);
  gsl_matrix_free(info);
  return cov;
}

}  // namespace

// Two traits, 40 of 190 subjects non-sequenced, each trait missing with probability 0.15 (so
// every pattern occurs, the one without any trait included). The EM converges in a few dozen
// iterations to a step below 1e-4, and the information uses identities that hold only at the
// fixed point, so agreement is to the fit's accuracy: observed gaps are about 1e-5 relative,
// and the tolerance of 1e-3 leaves a margin while a Louis term dropped or doubled moves some
// standard error or correlation by far more.
TEST(EngineInformation, MatchesFiniteDifferenceHessian) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(11, 150, 40, 0.15, seq, nonseq);
  Model d(2, seq, nonseq);
  d.fit();
  ASSERT_FALSE(flag_nonconvergence);
  std::vector<double> th = d.theta();
  d.information();
  ASSERT_TRUE(flag_positiveQ1);
  std::vector<double> grad;
  auto cov = fd_covariance(d, th, grad);
  for (int i = 1; i < d.dim; i++) {
    double se_fd = std::sqrt(cov[i][i]);
    EXPECT_NEAR(std::sqrt(d.Q1[i][i]) / se_fd, 1.0, 1e-3) << "parameter " << i;
    // The fit is at the likelihood's maximum: the gradient, in units of one standard error,
    // is as small as the stopping rule allows.
    EXPECT_LT(std::fabs(grad[i]) * se_fd, 1e-3) << "parameter " << i;
    for (int j = i + 1; j < d.dim; j++) {
      double scale = se_fd * std::sqrt(cov[j][j]);  // compare as correlations
      EXPECT_NEAR(d.Q1[i][j] / scale, cov[i][j] / scale, 1e-3) << "parameters " << i << ", " << j;
    }
  }
}

namespace {

// Smallest eigenvalue of the symmetric matrix held in Q1's upper triangle over 1..order.
double smallest_eigenvalue(double **Q1, int order) {
  gsl_matrix *A = gsl_matrix_alloc(order, order);
  for (int i = 1; i <= order; i++)
    for (int j = i; j <= order; j++) {
      gsl_matrix_set(A, i - 1, j - 1, Q1[i][j]);
      gsl_matrix_set(A, j - 1, i - 1, Q1[i][j]);
    }
  gsl_vector *ev = gsl_vector_alloc(order);
  gsl_eigen_symm_workspace *ws = gsl_eigen_symm_alloc(order);
  gsl_eigen_symm(A, ev, ws);
  double smallest = gsl_vector_min(ev);
  gsl_eigen_symm_free(ws);
  gsl_vector_free(ev);
  gsl_matrix_free(A);
  return smallest;
}

// Complete two-trait data whose fitted covariance is then shrunk fourfold: the residuals are
// twice as wide as the covariance says, and the covariance rows of the information (n s^2 -
// s sum c^2 / 2 for one trait) turn negative.
void shrink_covariance(Model &d) {
  for (int a = 1; a <= d.nK; a++) {
    d.Sigma0[a] *= 0.25;
    for (int b = 1; b <= d.nK; b++) d.Sigma[a][b] *= 0.25;
  }
}

}  // namespace

// A reduced information that is not positive definite is reported through flag_positiveQ1 and
// left uninverted, after a converged fit as after one that stopped at its limit; the run goes
// on, and the next usable matrix sets the flag back.
TEST(EngineInformation, IndefiniteMatrixIsFlaggedNotFatal) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(3, 60, 0, 0.0, seq, nonseq);
  Model d(2, seq, nonseq);
  for (int limit : {500, 1}) {
    engine_test::IterationLimit cap(limit);
    d.fit();
    EXPECT_EQ(flag_nonconvergence, limit == 1);
    shrink_covariance(d);
    d.information();
    EXPECT_FALSE(flag_positiveQ1);
    EXPECT_LT(smallest_eigenvalue(d.Q1, d.dim - 1), 0.0);
  }
  d.fit();
  d.information();
  EXPECT_TRUE(flag_positiveQ1);
}

// The information reads the design block of T as the fit left it, swept; finding it unswept
// (no fit since T was last reverse-swept) stops the run. (A second call right after a first one
// usually stops even earlier, in the sweep of the Sigma that the first call left swept.)
TEST(EngineInformationDeathTest, UnsweptDesignBlockStops) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(3, 40, 10, 0.1, seq, nonseq);
  Model d(2, seq, nonseq);
  d.fit();
  for (int l = 1; l <= d.w; l++) rsw(d.T, d.w, l);
  EXPECT_EXIT(
      d.information(), ::testing::ExitedWithCode(1),
      "^Error: T\\[1\\.\\.\\.p\\]\\[1\\.\\.\\.p\\] is not swepted yet after the last "
      "iteration in EM algorithm!\nProgram was stopped due to error\\(s\\) listed above\\.\n");
}

// Standard error sqrt(v) and chi-square(1) tail of beta^2 / v; NaN for both when v is not
// positive and finite or the statistic is not finite.
TEST(EnginePvalue, WaldTestAndUnusableVariances) {
  const int traits = 6, width = 2, order = traits * width;
  double **Q1 = dmatrix(1, order, 1, order), **eta0 = dmatrix(1, width, 1, traits);
  double *se = dvector(1, traits), *pval = dvector(1, traits);
  const double beta[traits + 1] = {0, 0.3, 0.0, 0.3, 0.3, 0.3, INFINITY};
  const double var[traits + 1] = {0, 0.04, 0.04, 0.0, -0.04, NAN, 0.04};
  for (int k = 1; k <= traits; k++) {
    eta0[1][k] = beta[k];
    Q1[(k - 1) * width + 1][(k - 1) * width + 1] = var[k];
  }
  Pvalue(traits, width, pval, se, eta0, Q1);
  EXPECT_NEAR(se[1], 0.2, 1e-15);
  EXPECT_NEAR(pval[1], gsl_cdf_chisq_Q(0.09 / 0.04, 1.0), 1e-12);
  EXPECT_NEAR(se[2], 0.2, 1e-15);
  EXPECT_DOUBLE_EQ(pval[2], 1.0);
  for (int k = 3; k <= traits; k++) {
    EXPECT_TRUE(std::isnan(se[k])) << "trait " << k;
    EXPECT_TRUE(std::isnan(pval[k])) << "trait " << k;
  }
  free_dvector(pval, 1, traits);
  free_dvector(se, 1, traits);
  free_dmatrix(eta0, 1, width, 1, traits);
  free_dmatrix(Q1, 1, order, 1, order);
}
