// Gene-level tests against quadratic forms worked by hand, closed-form chi-square tails, a
// first-order expansion in a small eigenvalue and the characteristic-function inversion of the
// test support.
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_randist.h>
#include <gsl/gsl_sf_gamma.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/test_support.h"
#include "toolkit/qfc.h"

namespace {

using varnosta_test::inversion_cdf;
using varnosta_test::Mat;
using varnosta_test::Rows;
using varnosta_test::Vec;

// The accuracy that SKAT asks of Davies' method.
constexpr double kDaviesTol = 1e-8;
constexpr int kUntouched = -7;

struct Skat {
  double Q, P;
  int code;
  std::string printed;
};

// SKAT on 0-based copies; the code starts at kUntouched to show whether it was written.
Skat run_skat(std::vector<double> U, Rows V, std::vector<double> w) {
  std::vector<double *> rows;
  for (auto &row : V) rows.push_back(row.data());
  Skat out{0.0, 0.0, kUntouched, ""};
  testing::internal::CaptureStdout();
  SKAT(static_cast<int>(U.size()), U.data(), rows.data(), w.data(), &out.Q, &out.P, &out.code);
  out.printed = testing::internal::GetCapturedStdout();
  return out;
}

// P(sum_j lambda_j chi2(1) > q) by inversion; the oscillating tail beyond u = 4000 and the step
// 0.002 (2 pi / h far beyond the range) keep its error well below Davies' 1e-8.
double inversion_upper_tail(const std::vector<double> &lambda, double q) {
  const std::vector<double> zeros(lambda.size(), 0.0);
  const std::vector<int> ones(lambda.size(), 1);
  return 1.0 - inversion_cdf(lambda, zeros, ones, 0.0, q, 0.002, 4000.0);
}

TEST(BurdenTest, QuadraticFormAndChiSquareUpperTail) {
  // K = 2: V^-1 = [[3, -1], [-1, 2]] / 5, so T = (3 - 4 + 8) / 5; chi2(2) tail exp(-T/2).
  Vec U2{1.0, 2.0};
  Mat V2({{2.0, 1.0}, {1.0, 3.0}});
  double T = 0.0, P = 0.0;
  burdenTest_v3(2, &T, &P, U2.v, V2.m);
  EXPECT_NEAR(T, 1.4, 1e-14);
  EXPECT_NEAR(P, std::exp(-0.7), 1e-14);
  EXPECT_EQ(V2.rows(), Rows({{2.0, 1.0}, {1.0, 3.0}}));
  // K = 3: det 18, adjugate [[5, -2, 1], [-2, 8, -4], [1, -4, 11]], U' adj U = 81; chi2(3) tail
  // erfc(sqrt(T/2)) + sqrt(2T/pi) exp(-T/2).
  Vec U3{1.0, -1.0, 2.0};
  Mat V3({{4.0, 1.0, 0.0}, {1.0, 3.0, 1.0}, {0.0, 1.0, 2.0}});
  burdenTest_v3(3, &T, &P, U3.v, V3.m);
  EXPECT_NEAR(T, 4.5, 1e-14);
  EXPECT_NEAR(P, std::erfc(1.5) + std::sqrt(9.0 / M_PI) * std::exp(-2.25), 1e-14);
  // Far in the tail, where 1 - P(chi2 < T) is exactly 0: T = 100 keeps exp(-50) ~ 1.9e-22.
  Vec Ut{6.0, 8.0};
  Mat I2({{1.0, 0.0}, {0.0, 1.0}});
  burdenTest_v3(2, &T, &P, Ut.v, I2.m);
  EXPECT_DOUBLE_EQ(T, 100.0);
  EXPECT_NEAR(P, std::exp(-50.0), 1e-12 * std::exp(-50.0));
  EXPECT_DOUBLE_EQ(P, gsl_cdf_chisq_Q(100.0, 2.0));
  // A variance that is zero or negative: no result. NaN is not "not positive".
  for (double bad : {0.0, -1.0}) {
    Mat Vb({{2.0, 1.0}, {1.0, bad}});
    burdenTest_v3(2, &T, &P, U2.v, Vb.m);
    EXPECT_EQ(T, -999.0);
    EXPECT_EQ(P, -999.0);
  }
  Mat Vnan({{NAN, 1.0}, {1.0, 3.0}});
  burdenTest_v3(2, &T, &P, U2.v, Vnan.m);
  EXPECT_TRUE(std::isnan(T));
}

// A V with a positive diagonal that is not positive definite gives no result either: its
// quadratic form has no chi-square law (U' V^-1 U can even be negative).
TEST(BurdenTest, IndefiniteVarianceGivesNoResult) {
  double T = 0.0, P = 0.0;
  // Eigenvalues 3 and -1; U = (1, -1) lies on the negative one, so U' V^-1 U = -2.
  Vec U2{1.0, -1.0};
  Mat V2({{1.0, 2.0}, {2.0, 1.0}});
  // Every 2 x 2 leading block positive definite, det = 0.19 - 2 * 0.9 * 1.71 < 0: the failure
  // shows only at the last pivot.
  Vec U3{1.0, 2.0, 3.0};
  Mat V3({{1.0, 0.9, 0.9}, {0.9, 1.0, -0.9}, {0.9, -0.9, 1.0}});
  // Positive semi-definite but singular: no inverse, no chi-square(2) law.
  Mat Vs({{1.0, 1.0}, {1.0, 1.0}});
  for (auto [K, U, V] :
       {std::tuple(2, U2.v, V2.m), std::tuple(3, U3.v, V3.m), std::tuple(2, U2.v, Vs.m)}) {
    burdenTest_v3(K, &T, &P, U, V);
    EXPECT_EQ(T, -999.0);
    EXPECT_EQ(P, -999.0);
  }
  EXPECT_EQ(V3.rows(), Rows({{1.0, 0.9, 0.9}, {0.9, 1.0, -0.9}, {0.9, -0.9, 1.0}}));
  // Nearly singular but positive definite (eigenvalues 2 - 1e-9 and 1e-9): still a result,
  // U' V^-1 U = 1 / 1e-9 for U = (1, -1) / sqrt(2) on the small one.
  Vec Un{M_SQRT1_2, -M_SQRT1_2};
  Mat Vn({{1.0, 1.0 - 1e-9}, {1.0 - 1e-9, 1.0}});
  burdenTest_v3(2, &T, &P, Un.v, Vn.m);
  EXPECT_NEAR(T, 1e9, 1e9 * 1e-6);
  EXPECT_EQ(P, gsl_cdf_chisq_Q(T, 2.0));
}

TEST(Skat, EigenvaluesKnownInClosedForm) {
  // diag(sqrt w) V diag(sqrt w) = 4 I: Q / 4 is chi2(3). Q = 4 + 4 + 4.
  Skat s = run_skat({1.0, 2.0, 0.5}, {{1.0, 0.0, 0.0}, {0.0, 4.0, 0.0}, {0.0, 0.0, 0.25}},
                    {4.0, 1.0, 16.0});
  EXPECT_NEAR(s.Q, 12.0, 1e-14);
  EXPECT_NEAR(s.P, gsl_cdf_chisq_Q(3.0, 3.0), kDaviesTol);
  EXPECT_EQ(s.code, 0);
  EXPECT_EQ(s.printed, "");
  // Weighted [[8, 2], [2, 2]]: eigenvalues 5 +- sqrt(13).
  const double root = std::sqrt(13.0);
  s = run_skat({1.5, -2.0}, {{2.0, 1.0}, {1.0, 2.0}}, {4.0, 1.0});
  EXPECT_NEAR(s.Q, 13.0, 1e-14);
  EXPECT_NEAR(s.P, inversion_upper_tail({5.0 + root, 5.0 - root}, 13.0), kDaviesTol);
  EXPECT_EQ(s.code, 0);
  // Eigenvalues 3 and -1: the negative one never enters, Q / 3 is chi2(1).
  s = run_skat({2.0, 1.0}, {{1.0, 2.0}, {2.0, 1.0}}, {1.0, 1.0});
  EXPECT_NEAR(s.Q, 5.0, 1e-14);
  EXPECT_NEAR(s.P, gsl_cdf_chisq_Q(5.0 / 3.0, 1.0), kDaviesTol);
}

// The floor is 1e-5 of the mean non-negative eigenvalue, compared strictly: for {1, 199999}
// it is exactly 1 and drops the 1; for {1, 199998} it is 0.999995 and keeps it, which adds
// about pdf(q / a) / a to the one-term tail (the next order is below 1e-11).
TEST(Skat, SmallEigenvaluesAndDegenerateCases) {
  for (double a : {199999.0, 199998.0}) {
    Skat s = run_skat({0.0, std::sqrt(2.0 * a)}, {{1.0, 0.0}, {0.0, a}}, {1.0, 1.0});
    const double x = s.Q / a;
    const double kept = a == 199998.0 ? gsl_ran_chisq_pdf(x, 1.0) / a : 0.0;
    EXPECT_NEAR(s.P, gsl_cdf_chisq_Q(x, 1.0) + kept, kDaviesTol) << "a=" << a;
    EXPECT_EQ(s.code, 0);
  }
  // Every eigenvalue 0: Davies gets no term, so P = 1 for Q = 0 and 0 for Q > 0.
  Skat s = run_skat({3.0, -1.0}, {{2.0, 1.0}, {1.0, 2.0}}, {0.0, 0.0});
  EXPECT_EQ(s.Q, 0.0);
  EXPECT_EQ(s.P, 1.0);
  EXPECT_EQ(s.code, 0);
  s = run_skat({1.0, 0.0}, {{0.0, 0.0}, {0.0, 0.0}}, {1.0, 1.0});
  EXPECT_EQ(s.Q, 1.0);
  EXPECT_EQ(s.P, 0.0);
  // No non-negative eigenvalue: the notice without a line end, no p-value, code not written.
  s = run_skat({1.0, 1.0}, {{-1.0, 0.0}, {0.0, -2.0}}, {1.0, 1.0});
  EXPECT_EQ(s.printed, "No Eigenvalue is bigger than 0!!");
  EXPECT_EQ(s.Q, 2.0);
  EXPECT_EQ(s.P, -999.0);
  EXPECT_EQ(s.code, kUntouched);
}

// Below 1e-6 the tail is computed directly, with relative accuracy, down to the double range;
// from 1e-6 up the p-value is Davies' own to the last bit.
TEST(Skat, FarTailHasRelativeAccuracy) {
  // Weighted variance 4 I: Q / 4 is chi2(3). Q = 4 f^2 (1 + 1 + 1).
  const std::vector<double> U{1.0, 2.0, 0.5}, w{4.0, 1.0, 16.0};
  const Rows V{{1.0, 0.0, 0.0}, {0.0, 4.0, 0.0}, {0.0, 0.0, 0.25}};
  for (double f : {4.0, 5.0, 10.0, 20.0}) {
    std::vector<double> Uf;
    for (double u : U) Uf.push_back(f * u);
    const Skat s = run_skat(Uf, V, w);
    const double exact = gsl_cdf_chisq_Q(s.Q / 4.0, 3.0);
    EXPECT_NEAR(s.P, exact, 1e-9 * exact) << "f=" << f;
    EXPECT_EQ(s.code, 0);
  }
  // Beyond the double range: 0 without a fault.
  Skat s = run_skat({60.0, 120.0, 30.0}, V, w);
  EXPECT_EQ(s.P, 0.0);
  EXPECT_EQ(s.code, 0);
  // Weighted [[8, 2], [2, 2]], eigenvalues 5 +- sqrt(13), against the positive mixture series.
  const double root = std::sqrt(13.0);
  for (double f : {4.0, 8.0, 30.0}) {
    s = run_skat({1.5 * f, -2.0 * f}, {{2.0, 1.0}, {1.0, 2.0}}, {4.0, 1.0});
    const double exact =
        static_cast<double>(varnosta_test::mixture_upper_tail({5.0 + root, 5.0 - root}, s.Q));
    EXPECT_NEAR(s.P, exact, 1e-9 * exact) << "f=" << f;
    EXPECT_LT(s.P, 1e-6);
  }
  // Above 1e-6 (f = 3: chi2(3) at 27, about 6e-6) Davies' value stays.
  s = run_skat({3.0, 6.0, 1.5}, V, w);
  int r = 3, lim = 1000000000, ifault = 0;
  std::vector<double> lambda(3, 4.0), nc(3, 0.0), trace(7, 0.0);
  std::vector<int> df(3, 1);
  double sigma = 0.0, acc = 1e-8, res = 0.0, c = s.Q;
  qfc(lambda.data(), nc.data(), df.data(), &r, &sigma, &c, &lim, &acc, trace.data(), &ifault, &res);
  EXPECT_GT(1.0 - res, 1e-6);
  EXPECT_EQ(s.P, 1.0 - res);
}

// Two large eigenvalues among 499 equal small ones (V diagonal, w = 1), the spectrum of a gene
// with two strong variants among many weak ones: a p-value with relative accuracy, not a number
// above 1. X = chi2(2) + l chi2(499) has P(X > Q) = exp(-Q/2) (1 - l)^(-499/2) P(Gamma(499/2,
// 2l / (1 - l)) < Q) + P(l chi2(499) > Q).
TEST(Skat, ClusteredSmallEigenvalues) {
  const int m = 501;
  const double l = 0.1, q = 103.8;
  std::vector<double> U(m, 0.0), w(m, 1.0);
  U[0] = std::sqrt(q);
  Rows V(m, std::vector<double>(m, 0.0));
  for (int i = 0; i < m; i++) V[i][i] = i < 2 ? 1.0 : l;
  const Skat s = run_skat(U, V, w);
  const double exact = std::exp(-0.5 * q - 0.5 * (m - 2) * std::log1p(-l)) *
                           gsl_sf_gamma_inc_P(0.5 * (m - 2), 0.5 * q * (1.0 - l) / l) +
                       gsl_sf_gamma_inc_Q(0.5 * (m - 2), 0.5 * q / l);
  EXPECT_LT(exact, 1e-11);
  EXPECT_NEAR(s.P, exact, 1e-9 * exact);
  EXPECT_EQ(s.code, 0);
}

// An eigenvalue whose square overflows makes Davies' error bounds infinite; its search for a
// truncation point then uses up the 1e9 counted evaluations (fault 4, no result). This takes
// seconds, and is the only fault that SKAT's fixed limit and accuracy let happen.
TEST(Skat, DaviesFaultLeavesTheCodeToTheCaller) {
  Skat s = run_skat({1e77}, {{1e155}}, {1.0});
  EXPECT_EQ(s.Q, 1e154);
  EXPECT_EQ(s.code, 4);
  EXPECT_EQ(s.P, 2.0);  // 1 - (-1): not a p-value, the caller reports none for codes 1, 3, 4, 5
}

TEST(MassMetaPval, KeepsPositiveVariancesWithTheirScoresAndWeights) {
  // Entries 2 and 4 (variances 0 and -1) go; entries 1 and 3 are the 2x2 case above.
  Vec U{1.5, 100.0, -2.0, 50.0};
  Vec w{4.0, 9.0, 1.0, 16.0};
  Mat V({{2.0, 0.3, 1.0, 0.7}, {0.3, 0.0, 0.2, 0.1}, {1.0, 0.2, 2.0, 0.4}, {0.7, 0.1, 0.4, -1.0}});
  double Q = 0.0, P = 0.0;
  int code = kUntouched;
  MASS_metaPval_v2(2, 4, U.v, V.m, w.v, &Q, &P, &code);
  const double root = std::sqrt(13.0);
  EXPECT_NEAR(Q, 13.0, 1e-14);
  EXPECT_NEAR(P, inversion_upper_tail({5.0 + root, 5.0 - root}, 13.0), kDaviesTol);
  EXPECT_EQ(code, 0);

  // No positive variance: P = -999, Q unchanged, code 0. Any method but 2 writes nothing.
  Mat Vnone({{0.0, 0.5}, {0.5, -1.0}});
  Q = 123.0;
  P = 0.5;
  code = kUntouched;
  MASS_metaPval_v2(2, 2, U.v, Vnone.m, w.v, &Q, &P, &code);
  EXPECT_EQ(Q, 123.0);
  EXPECT_EQ(P, -999.0);
  EXPECT_EQ(code, 0);
  for (int method : {0, 1, 3}) {
    Q = 123.0;
    P = 0.5;
    code = kUntouched;
    MASS_metaPval_v2(method, 4, U.v, V.m, w.v, &Q, &P, &code);
    EXPECT_EQ(Q, 123.0);
    EXPECT_EQ(P, 0.5);
    EXPECT_EQ(code, kUntouched);
  }

  // A NaN variance stays in: entry 2 still counts in Q (its NaN eigenvalue is not kept).
  Mat Vnan({{2.0, 0.0}, {0.0, NAN}});
  MASS_metaPval_v2(2, 2, U.v, Vnan.m, w.v, &Q, &P, &code);
  EXPECT_EQ(Q, 4.0 * 2.25 + 9.0 * 10000.0);
}

TEST(SkatVariance, NegativeVarianceOrIndefiniteWeightedMatrixIsRejected) {
  Vec w2{4.0, 9.0};
  // Eigenvalues 3 and -1: positive diagonal, indefinite.
  Mat indefinite({{1.0, 2.0}, {2.0, 1.0}});
  EXPECT_FALSE(skat_variance_acceptable(2, indefinite.m, w2.v));
  // A negative variance is rejected even where the other entry alone would do.
  Mat negative({{1.0, 0.0}, {0.0, -0.5}});
  EXPECT_FALSE(skat_variance_acceptable(2, negative.m, w2.v));
  // [[2, 0.5], [0.5, 0]] is indefinite, but the zero-variance entry is left out: [2] remains.
  Mat zero({{2.0, 0.5}, {0.5, 0.0}});
  EXPECT_TRUE(skat_variance_acceptable(2, zero.m, w2.v));
  Mat zeros({{0.0, 0.0}, {0.0, 0.0}});
  EXPECT_TRUE(skat_variance_acceptable(2, zeros.m, w2.v));
  // Entry 2 (negative variance, indefinite with entry 3) has weight 0 and does not enter.
  Mat V3({{1.0, 0.0, 0.0}, {0.0, -3.0, 5.0}, {0.0, 5.0, 1.0}});
  Vec w3{1.0, 0.0, 2.0};
  EXPECT_TRUE(skat_variance_acceptable(3, V3.m, w3.v));
  w3.v[2] = 0.5;
  EXPECT_FALSE(skat_variance_acceptable(3, V3.m, w3.v));
}

TEST(SkatVariance, RoundingOfASemiDefiniteVarianceIsAccepted) {
  // v v' with v = (1, 2, 3), less 1e-9 I: eigenvalues 14 - 1e-9, -1e-9, -1e-9.
  const double v[3] = {1.0, 2.0, 3.0};
  Mat V(3, 3);
  for (int i = 1; i <= 3; i++)
    for (int j = 1; j <= 3; j++) V[i][j] = v[i - 1] * v[j - 1] - (i == j ? 1e-9 : 0.0);
  Vec w{1.0, 1.0, 1.0};
  EXPECT_TRUE(skat_variance_acceptable(3, V.m, w.v));
  // [[1, b], [b, 1]]: eigenvalues 1 + b and 1 - b; the bound is 1e-5 of the largest.
  Vec w2{1.0, 1.0};
  Mat near({{1.0, 1.0 + 1e-5}, {1.0 + 1e-5, 1.0}});  // ratio -5e-6
  EXPECT_TRUE(skat_variance_acceptable(2, near.m, w2.v));
  Mat beyond({{1.0, 1.0 + 4e-5}, {1.0 + 4e-5, 1.0}});  // ratio -2e-5
  EXPECT_FALSE(skat_variance_acceptable(2, beyond.m, w2.v));
}

}  // namespace
