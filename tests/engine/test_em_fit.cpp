// EM fits of the joint model: closed forms with complete data, monotone likelihood, the
// iteration limit, the null fit, and posterior weights that underflow.
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_multifit.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"
#include "toolkit/func_linear_algebra.h"

using engine_test::IterationLimit;
using engine_test::Model;
using engine_test::Normal;
using engine_test::Subject;

namespace {

// Least squares of trait k on the design rows by GSL: coefficients, residuals, (W'W)^-1.
void gsl_least_squares(const Model &d, int k, std::vector<double> &beta, std::vector<double> &res,
                       gsl_matrix *inv) {
  gsl_matrix *X = gsl_matrix_alloc(d.m, d.w);
  gsl_vector *y = gsl_vector_alloc(d.m), *b = gsl_vector_alloc(d.w), *r = gsl_vector_alloc(d.m);
  gsl_matrix *cov = gsl_matrix_alloc(d.w, d.w);
  for (int i = 1; i <= d.m; i++) {
    gsl_vector_set(y, i - 1, d.Y[i][k]);
    for (int l = 1; l <= d.w; l++) gsl_matrix_set(X, i - 1, l - 1, d.W[i][l]);
  }
  gsl_multifit_linear_workspace *ws = gsl_multifit_linear_alloc(d.m, d.w);
  double chisq;
  gsl_multifit_linear(X, y, b, cov, &chisq, ws);
  gsl_multifit_linear_residuals(X, y, b, r);
  // With unit weights and chisq / (m - w) left out, cov is (W'W)^-1 times chisq / (m - w).
  gsl_matrix_scale(cov, (d.m - d.w) / chisq);
  gsl_matrix_memcpy(inv, cov);
  beta.assign(d.w + 1, 0.0);
  res.assign(d.m + 1, 0.0);
  for (int l = 1; l <= d.w; l++) beta[l] = gsl_vector_get(b, l - 1);
  for (int i = 1; i <= d.m; i++) res[i] = gsl_vector_get(r, i - 1);
  gsl_multifit_linear_free(ws);
  gsl_matrix_free(cov);
  gsl_vector_free(r);
  gsl_vector_free(b);
  gsl_vector_free(y);
  gsl_matrix_free(X);
}

double mass_total(const Model &d) {
  double s = 0.0;
  for (int j = 1; j <= d.J; j++) s += d.q[j];
  return s;
}

// One trait, design (genotype 0/1, intercept); four sequenced subjects and 300 non-sequenced
// ones from a two-component mixture with overlapping components: the masses are barely
// identified, and the EM needs more than a thousand iterations.
void slow_mixture(std::vector<Subject> &seq, std::vector<Subject> &nonseq) {
  Normal z(5);
  for (int i = 0; i < 4; i++) seq.push_back({{double(i % 2), 1.0}, {1.2 * (i % 2) + z()}});
  for (int i = 0; i < 300; i++) nonseq.push_back({{}, {1.2 * (z.uniform() < 0.7) + z()}});
}

}  // namespace

// Every trait observed, every subject sequenced: the first iteration gives the least-squares
// coefficients and RSS/n, the second changes nothing, and the mass block decouples from the
// coefficients, so each standard error is sqrt(Sigma_kk [(W'W)^-1]_11).
TEST(EngineEm, CompleteDataGivesLeastSquaresAfterTwoIterations) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(3, 60, 0, 0.0, seq, nonseq);
  Model d(2, seq, nonseq);
  {
    IterationLimit one(1);
    d.fit();
    EXPECT_TRUE(flag_nonconvergence);
  }
  {
    IterationLimit two(2);
    d.fit();
    EXPECT_FALSE(flag_nonconvergence);
  }
  d.fit();
  EXPECT_FALSE(flag_nonconvergence);

  gsl_matrix *inv = gsl_matrix_alloc(d.w, d.w);
  std::vector<double> beta, res1, res2;
  gsl_least_squares(d, 2, beta, res2, inv);
  gsl_least_squares(d, 1, beta, res1, inv);
  for (int l = 1; l <= d.w; l++) EXPECT_NEAR(d.eta0[l][1], beta[l], 1e-10);
  double rss11 = 0, rss12 = 0, rss22 = 0;
  for (int i = 1; i <= d.m; i++) {
    rss11 += res1[i] * res1[i];
    rss12 += res1[i] * res2[i];
    rss22 += res2[i] * res2[i];
  }
  EXPECT_NEAR(d.Sigma[1][1], rss11 / d.n, 1e-12);
  EXPECT_NEAR(d.Sigma[1][2], rss12 / d.n, 1e-12);
  EXPECT_NEAR(d.Sigma[2][2], rss22 / d.n, 1e-12);
  for (int j = 1; j <= d.J; j++) EXPECT_DOUBLE_EQ(d.q[j], double(d.n_UniW[j]) / d.m);

  double sigma[3] = {0, d.Sigma[1][1], d.Sigma[2][2]}, beta1[3] = {0, d.eta0[1][1], d.eta0[1][2]};
  d.information();
  ASSERT_TRUE(flag_positiveQ1);
  Pvalue(d.nK, d.w, d.pval, d.se, d.eta0, d.Q1);
  for (int k = 1; k <= 2; k++) {
    double v = sigma[k] * gsl_matrix_get(inv, 0, 0);
    EXPECT_NEAR(d.se[k] / std::sqrt(v), 1.0, 1e-9) << "trait " << k;
    EXPECT_NEAR(d.pval[k], gsl_cdf_chisq_Q(beta1[k] * beta1[k] / v, 1.0), 1e-9) << "trait " << k;
  }
  gsl_matrix_free(inv);
}

// Capping the fit at c iterations returns the c-th iterate: the observed-data log-likelihood
// (computed independently) never decreases along them, the masses and every subject's posterior
// weights sum to one, the exit state is laid out as documented, and a subject without any
// observed trait gets the previous masses as weights.
TEST(EngineEm, IteratesNeverDecreaseTheLikelihood) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(7, 100, 60, 0.2, seq, nonseq);
  Model d(2, seq, nonseq);
  ASSERT_EQ(d.nobs[1], 0);  // pattern 1: no trait observed
  ASSERT_GT(d.mis_patn[2], d.mis_patn[1]);
  std::vector<double> previous_q(d.J + 1);
  for (int j = 1; j <= d.J; j++) previous_q[j] = double(d.n_UniW[j]) / d.m;
  double previous = -INFINITY;
  int c = 1;
  for (;; c++) {
    IterationLimit cap(c);
    d.fit();
    double l = d.loglik(d.theta());
    EXPECT_GE(l, previous - 1e-10 * std::fabs(l)) << "iteration " << c;
    previous = l;
    EXPECT_NEAR(mass_total(d), 1.0, 1e-13);
    for (int j = 1; j <= d.J; j++) EXPECT_EQ(d.q0[j], d.q[j]);
    for (int k = 1; k <= d.nK; k++) {
      EXPECT_EQ(d.Sigma0[k], d.Sigma[k][k]);
      for (int k2 = 1; k2 < k; k2++) EXPECT_EQ(d.Sigma[k][k2], d.Sigma[k2][k]);
    }
    for (int r = 1; r <= d.n - d.m; r++) {
      double s = 0.0;
      for (int j = 1; j <= d.J; j++) s += d.phi[r][j];
      EXPECT_NEAR(s, 1.0, 1e-13);
    }
    for (int i = d.mis_patn[1] + 1; i <= d.mis_patn[2]; i++)
      for (int j = 1; j <= d.J; j++) EXPECT_NEAR(d.phi[i - d.m][j], previous_q[j], 1e-15);
    for (int j = 1; j <= d.J; j++) previous_q[j] = d.q[j];
    if (!flag_nonconvergence || c == 200)
      break;
  }
  EXPECT_FALSE(flag_nonconvergence);
  EXPECT_GT(c, 5);  // a run long enough to say something
}

// The limit of 500 iterations: a fit that needs more returns with the flag set; raising the
// limit to the iteration at which it converges clears it; the next fit clears it at its start.
TEST(EngineEm, IterationLimitSetsNonconvergenceFlag) {
  std::vector<Subject> seq, nonseq;
  slow_mixture(seq, nonseq);
  Model d(1, seq, nonseq);
  d.fit();
  EXPECT_TRUE(flag_nonconvergence);
  EXPECT_NEAR(mass_total(d), 1.0, 1e-13);

  int lo = 500, hi = 4000;  // the fit has not converged by lo and has by hi
  {
    IterationLimit cap(hi);
    d.fit();
    ASSERT_FALSE(flag_nonconvergence);
  }
  while (hi - lo > 1) {
    int mid = (lo + hi) / 2;
    IterationLimit cap(mid);
    d.fit();
    (flag_nonconvergence ? lo : hi) = mid;
  }
  {
    IterationLimit cap(hi);  // converges exactly at the limit: not flagged
    d.fit();
    EXPECT_FALSE(flag_nonconvergence);
  }
  // The stopping rule, from the iterates themselves: the L1 step over covariance entries,
  // coefficients and all masses first drops below 1e-4 at iteration hi.
  auto iterate = [&](int n_iter) {
    IterationLimit cap(n_iter);
    d.fit();
    std::vector<double> th = d.theta();
    th.push_back(d.q[d.J]);
    return th;
  };
  auto step = [](const std::vector<double> &a, const std::vector<double> &b) {
    double s = 0.0;
    for (size_t i = 0; i < a.size(); i++) s += std::fabs(a[i] - b[i]);
    return s;
  };
  EXPECT_LT(step(iterate(hi - 1), iterate(hi)), 1e-4);
  EXPECT_GE(step(iterate(hi - 2), iterate(hi - 1)), 1e-4);

  std::vector<Subject> seq2, nonseq2;
  engine_test::two_trait_data(3, 60, 0, 0.0, seq2, nonseq2);
  Model quick(2, seq2, nonseq2);
  flag_nonconvergence = true;
  quick.fit();
  EXPECT_FALSE(flag_nonconvergence);
}

// EM_algorithm_null runs the same algorithm on a design of the width it is given and does not
// read the global p.
TEST(EngineEm, NullFitIsTheFullFitOnTheNarrowDesign) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(19, 80, 50, 0.2, seq, nonseq);
  for (auto &s : seq) s.row.erase(s.row.begin());  // intercept and covariate only
  Model full(2, seq, nonseq), null(2, seq, nonseq);
  full.fit();
  ::p = 7;
  EM_algorithm_null(2, null.m, null.n, null.N, null.Sigma0, null.Sigma, null.eta0, null.q, null.q0,
                    null.phi, null.phiY, null.T, null.Tobs, null.Weta, null.c, null.Y, null.W,
                    null.mis_pats, null.mis_patn, null.mis_R, null.Mis, null.Obs, null.nobs,
                    null.nmis, null.J, null.n_UniW, null.ind_UniW, null.W_Uni);
  EXPECT_EQ(flag_nonconvergence, false);
  for (int k = 1; k <= 2; k++) {
    for (int l = 1; l <= 2; l++) EXPECT_EQ(null.eta0[l][k], full.eta0[l][k]);
    for (int k2 = 1; k2 <= 2; k2++) EXPECT_EQ(null.Sigma[k][k2], full.Sigma[k][k2]);
  }
  for (int j = 1; j <= full.J; j++) {
    EXPECT_EQ(null.q[j], full.q[j]);
    for (int r = 1; r <= full.n - full.m; r++) EXPECT_EQ(null.phi[r][j], full.phi[r][j]);
  }
  for (int a = 1; a <= 4; a++)
    for (int b = 1; b <= 4; b++) EXPECT_EQ(null.T[a][b], full.T[a][b]);
}

// Distinct full rows that coincide once the genetic column is dropped keep their own masses;
// the coefficients and covariance are those of the fit with the coinciding rows merged.
TEST(EngineEm, NullFitKeepsMassesOfCoincidingRows) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(23, 80, 50, 0.2, seq, nonseq);
  Model split(2, seq, nonseq);
  for (int j = 1; j <= split.J; j++) {
    split.W_Uni[j][1] = split.W_Uni[j][2];
    split.W_Uni[j][2] = split.W_Uni[j][3];
  }
  for (auto &s : seq) s.row.erase(s.row.begin());
  Model merged(2, seq, nonseq);
  ASSERT_LT(merged.J, split.J);
  merged.fit();
  ::p = 3;
  EM_algorithm_null(2, split.m, split.n, split.N, split.Sigma0, split.Sigma, split.eta0, split.q,
                    split.q0, split.phi, split.phiY, split.T, split.Tobs, split.Weta, split.c,
                    split.Y, split.W, split.mis_pats, split.mis_patn, split.mis_R, split.Mis,
                    split.Obs, split.nobs, split.nmis, split.J, split.n_UniW, split.ind_UniW,
                    split.W_Uni);
  EXPECT_NEAR(mass_total(split), 1.0, 1e-13);
  for (int j = 1; j <= split.J; j++) EXPECT_GE(split.q[j], double(split.n_UniW[j]) / split.n);
  for (int k = 1; k <= 2; k++) {
    for (int l = 1; l <= 2; l++) EXPECT_NEAR(split.eta0[l][k], merged.eta0[l][k], 1e-3);
    EXPECT_NEAR(split.Sigma[k][k], merged.Sigma[k][k], 1e-3);
  }
}

// A non-sequenced subject so far out that exp() of every posterior exponent underflows: its
// weights are those of the log-space computation instead of 0/0. One trait, 2000 subjects, so
// that the outlier still underflows after the covariance has grown around it.
TEST(EngineEm, UnderflowingPosteriorWeightsAreRenormalised) {
  Normal z(31);
  std::vector<Subject> seq, nonseq;
  for (int i = 0; i < 200; i++) {
    double g = (i % 3 == 0) ? 1.0 : 0.0;
    seq.push_back({{g, 1.0}, {2.0 * g + z()}});
  }
  for (int i = 0; i < 1800; i++) nonseq.push_back({{}, {2.0 * (z.uniform() < 0.3) + z()}});
  nonseq.push_back({{}, {1e4}});
  Model d(1, seq, nonseq);
  int r = d.n - d.m;  // the outlier's weight row

  {
    IterationLimit one(1);  // equal fitted means: the weights are the starting masses
    d.fit();
    for (int j = 1; j <= d.J; j++) EXPECT_DOUBLE_EQ(d.phi[r][j], double(d.n_UniW[j]) / d.m);
  }
  double sigma1 = d.Sigma[1][1];
  std::vector<double> mean(d.J + 1), q1(d.J + 1), A(d.J + 1);
  for (int j = 1; j <= d.J; j++) {
    mean[j] = d.W_Uni[j][1] * d.eta0[1][1] + d.W_Uni[j][2] * d.eta0[2][1];
    q1[j] = d.q[j];
  }
  {
    IterationLimit two(2);
    d.fit();
  }
  double largest = -INFINITY, total = 0.0;
  for (int j = 1; j <= d.J; j++) {
    A[j] = -0.5 * (1e4 - mean[j]) * (1e4 - mean[j]) / sigma1;
    largest = std::max(largest, A[j]);
  }
  ASSERT_LT(largest, -746.0);  // exp(A) is zero for every row: the case under test
  for (int j = 1; j <= d.J; j++) total += q1[j] * std::exp(A[j] - largest);
  for (int j = 1; j <= d.J; j++)
    EXPECT_NEAR(d.phi[r][j], q1[j] * std::exp(A[j] - largest) / total, 1e-12);

  d.fit();
  EXPECT_NEAR(mass_total(d), 1.0, 1e-13);
  EXPECT_TRUE(std::isfinite(d.Sigma[1][1]));
  for (int l = 1; l <= 2; l++) EXPECT_TRUE(std::isfinite(d.eta0[l][1]));
}
