// Observed information (Louis' method) and Wald p-values: closed forms with complete data, a
// finite-difference Hessian of an independent log-likelihood, and the failure paths.
#include <gsl/gsl_cdf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"
#include "tests/test_support.h"
#include "toolkit/func_linear_algebra.h"

using engine_test::IterationLimit;
using engine_test::Model;
using engine_test::Subject;
using varnosta_test::gsl_spd_inverse;
using varnosta_test::Rows;

// Every trait observed, every subject sequenced. The EM's first iteration gives the least-squares
// coefficients B and Sigma = RSS/n, the second changes nothing. At that fit the covariance of
// all estimates is block diagonal in closed form: Sigma (x) (W'W)^-1 for the coefficients,
// (S_ae S_bf + S_af S_be) / n for the covariance entries and the multinomial (diag q - q q') / n
// for the first J - 1 masses; the Wald p-values follow from its diagonal.
TEST(EngineInformation, CompleteDataFitAndCovarianceInClosedForm) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(3, 60, 0, 0.0, seq, nonseq);
  Model d(2, seq, nonseq);
  for (int limit : {1, 2}) {
    IterationLimit cap(limit);
    d.fit();
    EXPECT_EQ(flag_nonconvergence, limit == 1);
  }
  const int w = d.w, n = d.n;
  Rows WtW(w, std::vector<double>(w, 0.0)), WtY(w, std::vector<double>(2, 0.0));
  for (int i = 1; i <= n; i++)
    for (int l = 0; l < w; l++) {
      for (int l2 = 0; l2 < w; l2++) WtW[l][l2] += d.W[i][l + 1] * d.W[i][l2 + 1];
      for (int k = 0; k < 2; k++) WtY[l][k] += d.W[i][l + 1] * d.Y[i][k + 1];
    }
  Rows inv = gsl_spd_inverse(WtW), B = varnosta_test::product(inv, WtY);
  double S[3][3] = {};
  for (int i = 1; i <= n; i++) {
    double r[3] = {0, d.Y[i][1], d.Y[i][2]};
    for (int k = 1; k <= 2; k++)
      for (int l = 0; l < w; l++) r[k] -= d.W[i][l + 1] * B[l][k - 1];
    for (int a = 1; a <= 2; a++)
      for (int b = 1; b <= 2; b++) S[a][b] += r[a] * r[b] / n;
  }
  for (int k = 1; k <= 2; k++) {
    for (int l = 1; l <= w; l++) EXPECT_NEAR(d.eta0[l][k], B[l - 1][k - 1], 1e-10);
    for (int k2 = 1; k2 <= 2; k2++) EXPECT_NEAR(d.Sigma[k][k2], S[k][k2], 1e-12);
  }
  for (int j = 1; j <= d.J; j++) EXPECT_DOUBLE_EQ(d.q[j], double(d.n_UniW[j]) / n);

  d.information();
  ASSERT_TRUE(flag_positiveQ1);
  d.full_covariance();
  const int order = d.dim - 1;
  Rows ref(order, std::vector<double>(order, 0.0));
  for (int k = 1; k <= 2; k++)
    for (int k2 = 1; k2 <= 2; k2++)
      for (int l = 1; l <= w; l++)
        for (int l2 = 1; l2 <= w; l2++)
          ref[(k - 1) * w + l - 1][(k2 - 1) * w + l2 - 1] = S[k][k2] * inv[l - 1][l2 - 1];
  for (int a = 1; a <= 2; a++)
    for (int b = a; b <= 2; b++)
      for (int e = 1; e <= 2; e++)
        for (int f = e; f <= 2; f++)
          ref[d.twoIND[a][b] - 1][d.twoIND[e][f] - 1] = (S[a][e] * S[b][f] + S[a][f] * S[b][e]) / n;
  for (int j = 1; j < d.J; j++)
    for (int j2 = 1; j2 < d.J; j2++)
      ref[d.dimST + j - 1][d.dimST + j2 - 1] = ((j == j2) * d.q[j] - d.q[j] * d.q[j2]) / n;
  engine_test::expect_covariance(d.Q1, ref, order, 1e-9);

  double *se = d.pool.vec(2), *pval = d.pool.vec(2);
  Pvalue(2, w, pval, se, d.eta0, d.Q1);
  for (int k = 1; k <= 2; k++) {
    double v = S[k][k] * inv[0][0];
    EXPECT_NEAR(se[k] / std::sqrt(v), 1.0, 1e-9) << "trait " << k;
    EXPECT_NEAR(pval[k], gsl_cdf_chisq_Q(B[0][k - 1] * B[0][k - 1] / v, 1.0), 1e-9);
  }
}

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
  std::vector<double> th = d.theta(), grad;
  d.information();
  ASSERT_TRUE(flag_positiveQ1);
  d.full_covariance();
  Rows cov = gsl_spd_inverse(engine_test::fd_information(d.loglik_function(), th, grad));
  engine_test::expect_covariance(d.Q1, cov, d.dim - 1, 1e-3);
  // The fit is at the likelihood's maximum: the gradient, in units of one standard error, is as
  // small as the stopping rule allows.
  for (int i = 1; i < d.dim; i++)
    EXPECT_LT(std::fabs(grad[i]) * std::sqrt(cov[i - 1][i - 1]), 1e-3) << "parameter " << i;
}

// A reduced information that is not positive definite is reported through flag_positiveQ1 and
// left uninverted, after a converged fit as after one that stopped at its limit; the run goes
// on, and the next usable matrix sets the flag back. The fitted covariance is shrunk fourfold
// before the information is formed: the residuals are then twice as wide as the covariance
// says, and the covariance rows (n s^2 - s sum c^2 / 2 for one trait) turn negative.
TEST(EngineInformation, IndefiniteMatrixIsFlaggedNotFatal) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(3, 60, 0, 0.0, seq, nonseq);
  Model d(2, seq, nonseq);
  for (int limit : {500, 1}) {
    IterationLimit cap(limit);
    d.fit();
    EXPECT_EQ(flag_nonconvergence, limit == 1);
    for (int a = 1; a <= d.nK; a++)
      for (int b = 1; b <= d.nK; b++) d.Sigma[a][b] *= 0.25;
    d.information();
    EXPECT_FALSE(flag_positiveQ1);
    EXPECT_LT(d.Q1[d.twoIND[1][1]][d.twoIND[1][1]], 0.0);  // uninverted, and indefinite
  }
  d.fit();
  d.information();
  EXPECT_TRUE(flag_positiveQ1);
}

// The information reads the design block of T as the fit left it, swept; finding it unswept
// (no fit since T was last reverse-swept) stops the run.
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

// Standard error sqrt(v) and the chi-square(1) tail of beta^2 / v; NaN for both when v is not
// positive and finite or the statistic is not finite (the driver prints NA).
TEST(EnginePvalue, WaldTestAndUnusableVariances) {
  const double beta[] = {0.3, 0.0, 0.3, 0.3, 0.3, INFINITY};
  const double var[] = {0.04, 0.04, 0.0, -0.04, NAN, 0.04};
  const int traits = 6, width = 2;
  engine_test::ArrayPool pool;
  double **Q1 = pool.mat(traits * width, traits * width), **eta0 = pool.mat(width, traits);
  double *se = pool.vec(traits), *pval = pool.vec(traits);
  for (int k = 1; k <= traits; k++) {
    eta0[1][k] = beta[k - 1];
    Q1[(k - 1) * width + 1][(k - 1) * width + 1] = var[k - 1];
  }
  Pvalue(traits, width, pval, se, eta0, Q1);
  EXPECT_NEAR(se[1], 0.2, 1e-15);
  EXPECT_NEAR(pval[1], gsl_cdf_chisq_Q(0.09 / 0.04, 1.0), 1e-12);
  EXPECT_NEAR(se[2], 0.2, 1e-15);
  EXPECT_DOUBLE_EQ(pval[2], 1.0);
  for (int k = 3; k <= traits; k++) {
    EXPECT_TRUE(std::isnan(se[k]) && std::isnan(pval[k])) << "trait " << k;
  }
}
