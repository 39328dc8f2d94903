// The constrained fit of the score tests and the efficient scores: closed forms with complete
// data, and a finite-difference check against the independent log-likelihood of the fixture.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"
#include "tests/test_support.h"

using engine_test::IterationLimit;
using engine_test::Model;
using engine_test::Normal;
using engine_test::Subject;
using varnosta_test::gsl_spd_inverse;
using varnosta_test::Rows;

namespace {

// `traits` traits on the design (ngen genotype columns, intercept, binary covariate): trait k gets
// 0.6, -0.4, 0.3 times the sum of the genotypes, intercept k and 0.5 x, and correlated normal
// noise. Each trait of a subject is missing with probability miss.
void trait_data(unsigned seed, int traits, int ngen, int nseq, int nnon, double miss,
                std::vector<Subject> &seq, std::vector<Subject> &nonseq) {
  const double effect[] = {0.6, -0.4, 0.3};
  const double chol[3][3] = {{1.0, 0, 0}, {0.5, 1.3, 0}, {0.3, 0.2, 1.1}};
  Normal z(seed);
  for (int i = 0; i < nseq + nnon; i++) {
    Subject s;
    double sum = 0.0;
    for (int j = 0; j < ngen; j++) {
      double u = z.uniform(), g = u < 0.55 ? 0.0 : (u < 0.9 || j > 0 ? 1.0 : 2.0);
      s.row.push_back(g);
      sum += g;
    }
    double x = z.uniform() < 0.4 ? 1.0 : 0.0, e[3] = {z(), z(), z()};
    s.row.push_back(1.0);
    s.row.push_back(x);
    for (int k = 0; k < traits; k++) {
      double noise = 0.0;
      for (int l = 0; l <= k; l++) noise += chol[k][l] * e[l];
      s.y.push_back(z.uniform() < miss ? NAN : effect[k] * sum + (k + 1) + 0.5 * x + noise);
    }
    if (i >= nseq)
      s.row.clear();
    (i < nseq ? seq : nonseq).push_back(s);
  }
}

// Generalised least squares with complete data, written out: the coefficients B (0-based, w x K,
// B[0][t-1] = 0) that solve sum_k2 s_kk2 X_l'(y_k2 - X B_k2) = 0 for every free (k, l), with
// s = Sinv; X the sequenced design rows, Y their traits.
Rows gls(const Model &d, int t, const Rows &Sinv) {
  const int w = d.w, traits = d.nK;
  std::vector<std::pair<int, int>> free;  // (k, l), 0-based
  for (int k = 0; k < traits; k++)
    for (int l = (k == t - 1 ? 1 : 0); l < w; l++) free.push_back({k, l});
  const size_t nf = free.size();
  Rows A(nf, std::vector<double>(nf, 0.0)), rhs(nf, std::vector<double>(1, 0.0));
  for (int i = 1; i <= d.m; i++)
    for (size_t a = 0; a < nf; a++) {
      auto [k, l] = free[a];
      for (int k2 = 0; k2 < traits; k2++) rhs[a][0] += Sinv[k][k2] * d.W[i][l + 1] * d.Y[i][k2 + 1];
      for (size_t b = 0; b < nf; b++)
        A[a][b] += Sinv[k][free[b].first] * d.W[i][l + 1] * d.W[i][free[b].second + 1];
    }
  Rows x = varnosta_test::product(gsl_spd_inverse(A), rhs), B(w, std::vector<double>(traits, 0.0));
  for (size_t a = 0; a < nf; a++) B[free[a].second][free[a].first] = x[a][0];
  return B;
}

// Residual cross products of B over n (0-based K x K).
Rows residual_covariance(const Model &d, const Rows &B) {
  const int traits = d.nK;
  Rows S(traits, std::vector<double>(traits, 0.0));
  for (int i = 1; i <= d.m; i++) {
    std::vector<double> e(traits);
    for (int k = 0; k < traits; k++) {
      e[k] = d.Y[i][k + 1];
      for (int l = 0; l < d.w; l++) e[k] -= d.W[i][l + 1] * B[l][k];
    }
    for (int a = 0; a < traits; a++)
      for (int b = 0; b < traits; b++) S[a][b] += e[a] * e[b] / d.n;
  }
  return S;
}

}  // namespace

// One trait, every trait value observed, every subject sequenced. The fit's first iteration is
// already the least-squares fit of the covariate-only design with the covariance RSS/n (its
// first pass, with SigmaInv = I, solves the normal equations; for one trait SigmaInv is a scalar
// and the second pass repeats them); the second iteration changes nothing. The genetic
// coefficient is exactly zero.
TEST(EngineScore, OneTraitCompleteDataInClosedForm) {
  Normal z(23);
  std::vector<Subject> seq, none;
  for (int i = 0; i < 60; i++) {
    double g = (i % 5 == 0) ? 2.0 : (i % 3 == 0 ? 1.0 : 0.0), x = z.uniform() < 0.5;
    seq.push_back({{g, 1.0, x}, {0.6 * g + 1.0 + 0.5 * x + z()}});
  }
  Model d(1, seq, none);
  Rows b = gls(d, 1, {{1.0}}), S = residual_covariance(d, b);
  for (int limit : {1, 2}) {
    IterationLimit cap(limit);
    d.fit_constrained(1);
    EXPECT_EQ(flag_nonconvergence, limit == 1);
    EXPECT_EQ(d.eta0[1][1], 0.0);
    for (int l = 2; l <= d.w; l++) EXPECT_NEAR(d.eta0[l][1], b[l - 1][0], 1e-12);
    EXPECT_NEAR(d.Sigma[1][1], S[0][0], 1e-12);
    EXPECT_NEAR(d.SigmaInv[1][1], 1.0 / S[0][0], 1e-10);
    for (int j = 1; j <= d.J; j++) EXPECT_DOUBLE_EQ(d.q[j], double(d.n_UniW[j]) / d.n);
  }
}

// Two traits, complete data: the first iteration makes two passes, the first from SigmaInv = I
// (ordinary least squares trait by trait) and the second from the inverse of the covariance the
// first pass produced; one pass, or a first pass from anything but the identity, gives other
// numbers after one iteration.
TEST(EngineScore, FirstIterationIsTwoPassesFromTheIdentity) {
  std::vector<Subject> seq, none;
  trait_data(5, 2, 1, 50, 0, 0.0, seq, none);
  Model d(2, seq, none);
  for (int t = 1; t <= 2; t++) {
    Rows S1 = residual_covariance(d, gls(d, t, varnosta_test::identity(2)));
    Rows B = gls(d, t, gsl_spd_inverse(S1)), S = residual_covariance(d, B);
    IterationLimit one(1);
    d.fit_constrained(t);
    for (int k = 1; k <= 2; k++) {
      for (int l = 1; l <= d.w; l++) EXPECT_NEAR(d.eta0[l][k], B[l - 1][k - 1], 1e-12);
      for (int k2 = 1; k2 <= 2; k2++) EXPECT_NEAR(d.Sigma[k][k2], S[k - 1][k2 - 1], 1e-12);
    }
  }
}

// Two and three traits with non-sequenced subjects and missing traits (every pattern occurs, the
// one without any observed trait included), each trait's genetic coefficient held at zero in
// turn. The fit is a stationary point of the independent observed-data log-likelihood in every
// free parameter: its finite-difference gradient, in units of that parameter's standard error
// (from the finite-difference information of the free parameters), is as small as the stopping
// rule allows.
TEST(EngineScore, ConstrainedFitIsStationaryInTheFreeParameters) {
  for (int traits : {2, 3}) {
    std::vector<Subject> seq, nonseq;
    trait_data(40 + traits, traits, 1, 150, 50, 0.15, seq, nonseq);
    Model d(traits, seq, nonseq);
    ASSERT_EQ(d.nobs[1], 0);
    ASSERT_GT(d.mis_patn[2] + d.mis_pats[2], d.mis_patn[1] + d.mis_pats[1]);
    for (int t = 1; t <= traits; t++) {
      d.fit_constrained(t);
      ASSERT_FALSE(flag_nonconvergence);
      EXPECT_EQ(d.eta0[1][t], 0.0);
      std::vector<double> th = d.theta(), grad;
      Rows info = engine_test::fd_information(d.loglik_function(), th, grad);
      const int tested = (t - 1) * d.w + 1, np = d.dim - 1;
      Rows free_info;
      std::vector<int> free;
      for (int i = 1; i <= np; i++)
        if (i != tested)
          free.push_back(i);
      for (int a : free) {
        free_info.emplace_back();
        for (int b : free) free_info.back().push_back(info[a - 1][b - 1]);
      }
      Rows cov = gsl_spd_inverse(free_info);
      for (size_t a = 0; a < free.size(); a++)
        EXPECT_LT(std::fabs(grad[free[a]]) * std::sqrt(cov[a][a]), 1e-3)
            << "K " << traits << ", trait " << t << ", parameter " << free[a];
    }
  }
}
