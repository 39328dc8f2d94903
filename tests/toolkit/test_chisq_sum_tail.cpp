// The direct upper tail of a weighted sum of chi-square(1) variables against closed forms (the
// chi-square tail for equal weights, the exponential mixture for weights in pairs), the
// positive mixture series of the test support and, where both are accurate, Davies' method.
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_sf_gamma.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/chisq_sum_tail.h"
#include "toolkit/qfc.h"

namespace {

using varnosta_test::mixture_upper_tail;

// The relative accuracy checked everywhere below.
constexpr double kRel = 1e-9;

double tail(std::vector<double> lambda, double q) {
  return chisq_sum_upper_tail(static_cast<int>(lambda.size()), lambda.data(), q);
}

// L weights equal to lambda: Q / lambda is chi2(L). From 1e-6 down to 1e-300.
TEST(ChisqSumTail, EqualWeightsAgainstChiSquare) {
  for (int L : {1, 2, 3, 5, 20, 100, 300})
    for (double lambda : {0.37, 2.5, 1e4})
      for (double p : {1e-6, 1e-9, 1e-13, 1e-20, 1e-50, 1e-100, 1e-200, 1e-300}) {
        const double x = gsl_cdf_chisq_Qinv(p, L);
        const double exact = gsl_cdf_chisq_Q(x, L);
        EXPECT_NEAR(tail(std::vector<double>(L, lambda), lambda * x), exact, kRel * exact)
            << "L=" << L << " lambda=" << lambda << " p=" << p;
      }
}

// Weights in pairs: lambda chi2(2) is exponential with mean 2 lambda, and for distinct
// lambda_j the sum has P(X > q) = sum_j prod_{k != j} mu_k / (mu_k - mu_j) exp(-mu_j q),
// mu_j = 1 / (2 lambda_j). Odd multiplicities against the mixture series.
TEST(ChisqSumTail, DistinctWeightsAgainstIndependentForms) {
  const std::vector<std::vector<double>> pairs{
      {3.0, 1.0}, {5.0, 0.1}, {10.0, 9.0}, {1.0, 0.5, 0.25, 0.125}};
  for (const auto &distinct : pairs) {
    std::vector<double> lambda;
    for (double l : distinct) lambda.insert(lambda.end(), {l, l});
    for (double x : {30.0, 100.0, 400.0, 1300.0}) {
      const double q = x * distinct[0];
      double exact = 0.0;
      for (double lj : distinct) {
        double coef = 1.0;
        for (double lk : distinct)
          if (lk != lj)
            coef *= (1.0 / lk) / (1.0 / lk - 1.0 / lj);
        exact += coef * std::exp(-q / (2.0 * lj));
      }
      EXPECT_NEAR(tail(lambda, q), exact, kRel * exact) << distinct[0] << " q=" << q;
    }
  }
  const std::vector<std::vector<double>> odd{{5.0, 1.3, 0.2}, {7.0, 6.5, 0.9, 0.3, 0.1}};
  for (const auto &lambda : odd)
    for (double x : {25.0, 60.0, 200.0}) {
      const double q = x * lambda[0];
      const double exact = static_cast<double>(mixture_upper_tail(lambda, q));
      EXPECT_NEAR(tail(lambda, q), exact, kRel * exact) << lambda[0] << " q=" << q;
    }
  const double deep = static_cast<double>(mixture_upper_tail({2.0, 1.0}, 2400.0));
  EXPECT_NEAR(tail({2.0, 1.0}, 2400.0), deep, kRel * deep);
  EXPECT_LT(deep, 1e-250);
}

// One weight pair plus many equal small weights, X = chi2(2) + l chi2(n): with Y = l chi2(n),
// P(X > q) = E[exp(-(q - Y) / 2); Y < q] + P(Y > q), and exp(Y / 2) tilts the gamma law of Y
// into another one: P(X > q) = exp(-q / 2) (1 - l)^(-n/2) P(Gamma(n/2, 2l / (1 - l)) < q) +
// P(Y > q). The small weights put many coinciding singularities next to the integration path.
TEST(ChisqSumTail, ClusteredSmallWeightsAgainstClosedForm) {
  struct Case {
    int n;
    double l, q;
  };
  for (const Case &c : {Case{499, 0.1, 83.04}, Case{499, 0.1, 103.8}, Case{499, 0.3, 303.4},
                        Case{499, 0.5, 754.5}, Case{1999, 0.1, 605.7}, Case{1999, 0.5, 2003.0}}) {
    std::vector<double> lambda{1.0, 1.0};
    lambda.insert(lambda.end(), c.n, c.l);
    const double exact = std::exp(-0.5 * c.q - 0.5 * c.n * std::log1p(-c.l)) *
                             gsl_sf_gamma_inc_P(0.5 * c.n, 0.5 * c.q * (1.0 - c.l) / c.l) +
                         gsl_sf_gamma_inc_Q(0.5 * c.n, 0.5 * c.q / c.l);
    EXPECT_NEAR(tail(lambda, c.q), exact, kRel * exact) << c.n << " " << c.l << " q=" << c.q;
  }
}

// Just above the mean the result is either right or absent, never out of [0, 1].
TEST(ChisqSumTail, JustAboveTheMeanRightOrAbsent) {
  for (double l : {1e-5, 0.1, 0.9})
    for (double f : {1.01, 1.1, 1.3}) {
      std::vector<double> lambda{1.0, 1.0, l};
      const double q = f * (2.0 + l);
      const double exact = std::exp(-0.5 * q - 0.5 * std::log1p(-l)) *
                               gsl_sf_gamma_inc_P(0.5, 0.5 * q * (1.0 - l) / l) +
                           gsl_sf_gamma_inc_Q(0.5, 0.5 * q / l);
      const double p = tail(lambda, q);
      if (p != -1.0) {
        EXPECT_NEAR(p, exact, kRel * exact) << l << " q=" << q;
      }
    }
}

// Between 1e-6 and 1e-3 Davies' absolute accuracy 1e-8 still leaves digits: both agree to it.
TEST(ChisqSumTail, AgreesWithDaviesWhereBothAreAccurate) {
  std::vector<std::vector<double>> sets{{5.0, 1.3, 0.2}, std::vector<double>(10, 1.0)};
  std::vector<double> spread;
  for (int j = 0; j < 50; j++) spread.push_back(1.0 / (1.0 + 0.7 * j));
  sets.push_back(spread);
  for (auto lambda : sets) {
    double mean = 0.0;
    for (double l : lambda) mean += l;
    int checked = 0;
    for (double q = mean; q < 100.0 * mean; q *= 1.05) {
      int r = static_cast<int>(lambda.size()), lim = 1000000000, ifault = 0;
      std::vector<double> nc(r, 0.0), trace(7, 0.0);
      std::vector<int> df(r, 1);
      double sigma = 0.0, acc = 1e-8, res = 0.0, c = q;
      qfc(lambda.data(), nc.data(), df.data(), &r, &sigma, &c, &lim, &acc, trace.data(), &ifault,
          &res);
      const double davies = 1.0 - res;
      if (davies < 1e-6 || davies > 1e-3)
        continue;
      checked++;
      EXPECT_EQ(ifault, 0);
      EXPECT_NEAR(tail(lambda, q), davies, 1e-8) << lambda.size() << " q=" << q;
    }
    EXPECT_GE(checked, 3);
  }
}

// A tail below the smallest positive double is 0, one just above it a number; no result (-1)
// without a term or below the upper tail.
TEST(ChisqSumTail, EdgesOfTheRange) {
  const double low = gsl_cdf_chisq_Q(1400.0, 1.0);
  EXPECT_LT(low, 1e-300);
  EXPECT_NEAR(tail({2.0}, 2.0 * 1400.0), low, kRel * low);
  EXPECT_GT(tail({2.0, 2.0, 2.0}, 2.0 * 1480.0), 0.0);
  EXPECT_LT(tail({2.0, 2.0, 2.0}, 2.0 * 1480.0), DBL_MIN);
  EXPECT_EQ(tail({2.0}, 2.0 * 1600.0), 0.0);
  EXPECT_EQ(tail({1.0, 0.5}, 1e12), 0.0);
  EXPECT_EQ(tail({}, 5.0), -1.0);
  EXPECT_EQ(tail({1.0, 2.0}, 3.0), -1.0);
  EXPECT_EQ(tail({1.0, 2.0}, 1.0), -1.0);
}

}  // namespace
