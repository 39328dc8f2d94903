// EM fits of the joint model: a likelihood that never decreases, the iteration limit, the null
// fit, and posterior weights that underflow. (The complete-data closed forms are checked with
// the information matrix.)
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"

using engine_test::IterationLimit;
using engine_test::Model;
using engine_test::Normal;
using engine_test::Subject;

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
    double mass = 0.0;
    for (int j = 1; j <= d.J; j++) {
      EXPECT_EQ(d.q0[j], d.q[j]);
      mass += (previous_q[j] = d.q[j]);
    }
    EXPECT_NEAR(mass, 1.0, 1e-13);
    if (!flag_nonconvergence || c == 200)
      break;
  }
  EXPECT_FALSE(flag_nonconvergence);
  EXPECT_GT(c, 5);  // a run long enough to say something
}

// The iteration limit, on one trait with four sequenced subjects and 300 non-sequenced ones
// from two overlapping components (barely identified masses: more than a thousand iterations).
// A fit that needs more than 500 returns with the flag set; the next fit clears it at its start,
// and one capped exactly where it converges does not set it. The stopping rule is checked on
// the iterates themselves: the L1 step over covariance entries, coefficients and all masses
// first falls below 1e-4 at that iteration.
TEST(EngineEm, IterationLimitSetsNonconvergenceFlag) {
  Normal z(5);
  std::vector<Subject> seq, nonseq;
  for (int i = 0; i < 4; i++) seq.push_back({{double(i % 2), 1.0}, {1.2 * (i % 2) + z()}});
  for (int i = 0; i < 300; i++) nonseq.push_back({{}, {1.2 * (z.uniform() < 0.7) + z()}});
  Model d(1, seq, nonseq);
  d.fit();
  EXPECT_TRUE(flag_nonconvergence);
  auto iterate = [&](int limit) {
    IterationLimit cap(limit);
    d.fit();
    return d.theta(true);
  };
  int lo = 500, hi = 4000;  // not converged by lo, converged by hi
  iterate(hi);
  ASSERT_FALSE(flag_nonconvergence);
  while (hi - lo > 1) {
    int mid = (lo + hi) / 2;
    iterate(mid);
    (flag_nonconvergence ? lo : hi) = mid;
  }
  auto step = [](const std::vector<double> &a, const std::vector<double> &b) {
    double s = 0.0;
    for (size_t i = 1; i < a.size(); i++) s += std::fabs(a[i] - b[i]);
    return s;
  };
  std::vector<double> two_before = iterate(hi - 2), one_before = iterate(hi - 1);
  std::vector<double> last = iterate(hi);
  EXPECT_FALSE(flag_nonconvergence);
  EXPECT_LT(step(one_before, last), 1e-4);
  EXPECT_GE(step(two_before, one_before), 1e-4);
}

// EM_algorithm_null runs the same algorithm on a design of the width it is given, without
// reading the global p: on the intercept and covariate columns it gives, bit for bit, the full
// fit of the data whose design has only those columns.
TEST(EngineEm, NullFitIsTheFullFitOnTheNarrowDesign) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(19, 80, 50, 0.2, seq, nonseq);
  for (auto &s : seq) s.row.erase(s.row.begin());
  Model full(2, seq, nonseq), null(2, seq, nonseq);
  full.fit();
  null.fit_null(2);
  EXPECT_FALSE(flag_nonconvergence);
  EXPECT_EQ(null.theta(true), full.theta(true));
  for (int j = 1; j <= full.J; j++)
    for (int r = 1; r <= full.n - full.m; r++) EXPECT_EQ(null.phi[r][j], full.phi[r][j]);
  for (int a = 1; a <= 4; a++)
    for (int b = 1; b <= 4; b++) EXPECT_EQ(null.T[a][b], full.T[a][b]);
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
  std::vector<double> q1(d.J + 1), A(d.J + 1);
  double largest = -INFINITY, total = 0.0;
  for (int j = 1; j <= d.J; j++) {
    q1[j] = d.q[j];
    double mean = d.W_Uni[j][1] * d.eta0[1][1] + d.W_Uni[j][2] * d.eta0[2][1];
    largest = std::max(largest, A[j] = -0.5 * (1e4 - mean) * (1e4 - mean) / sigma1);
  }
  ASSERT_LT(largest, -746.0);  // exp(A) is zero for every row: the case under test
  for (int j = 1; j <= d.J; j++) total += q1[j] * std::exp(A[j] - largest);
  {
    IterationLimit two(2);
    d.fit();
  }
  for (int j = 1; j <= d.J; j++)
    EXPECT_NEAR(d.phi[r][j], q1[j] * std::exp(A[j] - largest) / total, 1e-12);
  d.fit();
  EXPECT_TRUE(std::isfinite(d.loglik(d.theta())));
}

// Data that pass the design check but leave no positive definite covariance: a second trait
// that is an exact linear function of the first, a trait with one value in every subject, and
// (three traits, five sequenced subjects) a sole carrier without any observed trait, whose
// genetic coefficients are free, so that the fit drives the covariance to singularity. The
// full and the null fit end with flag_fit_singular set instead of stopping the run in a sweep;
// a usable fit clears the flag again.
TEST(EngineEm, SingularCovarianceEndsTheFitWithAFlag) {
  for (int kind = 1; kind <= 2; kind++) {
    std::vector<Subject> seq, nonseq;
    engine_test::two_trait_data(23, 60, 20, kind == 1 ? 0.1 : 0.0, seq, nonseq);
    for (auto *group : {&seq, &nonseq})
      for (Subject &s : *group) {
        if (kind == 1 && !std::isnan(s.y[0]))
          s.y[1] = 2.0 * s.y[0] + 1.0;
        else if (kind == 2)
          s.y[1] = 5.0;
      }
    Model full(2, seq, nonseq);
    full.fit();
    EXPECT_TRUE(flag_fit_singular) << "full fit, kind " << kind;
    for (auto &s : seq) s.row.erase(s.row.begin());
    Model null(2, seq, nonseq);
    null.fit_null(2);
    EXPECT_TRUE(flag_fit_singular) << "null fit, kind " << kind;
  }
  const std::vector<Subject> carrier_seq = {{{0.0, 1.0}, {1.2017, 1.2838, 1.2549}},
                                            {{0.0, 1.0}, {1.0004, -1.2284, NAN}},
                                            {{0.0, 1.0}, {NAN, 0.4374, 1.9058}},
                                            {{0.0, 1.0}, {0.6995, -1.1722, 0.2402}},
                                            {{1.0, 1.0}, {NAN, NAN, NAN}}};
  Model carrier(3, carrier_seq, {{{}, {1.3143, NAN, NAN}}});
  carrier.fit();
  EXPECT_TRUE(flag_fit_singular) << "sole carrier without traits";
  EXPECT_FALSE(flag_nonconvergence);

  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(23, 60, 20, 0.1, seq, nonseq);
  Model d(2, seq, nonseq);
  d.fit();
  EXPECT_FALSE(flag_fit_singular);
}
