// Davies' method against closed forms, GSL's chi-square and normal distributions, a plain
// numerical inversion of the characteristic function written here, and its fault codes.
#include <gsl/gsl_cdf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/qfc.h"

namespace {

using varnosta_test::inversion_cdf;

struct Davies {
  double res;
  int ifault;
  double trace[7];
};

constexpr int kSkatLim = 1000000000;
// The accuracy asked of every call below, which Davies' error bounds guarantee.
constexpr double kTol = 1e-8;

Davies run_qfc(std::vector<double> lb, std::vector<double> nc, std::vector<int> n, double sigma,
               double c, int lim = kSkatLim, double acc = 1e-8) {
  Davies out{};
  int r = static_cast<int>(lb.size());
  qfc(lb.data(), nc.data(), n.data(), &r, &sigma, &c, &lim, &acc, out.trace, &out.ifault, &out.res);
  return out;
}

// The call the SKAT routine makes: central, one degree of freedom each, no normal term.
Davies skat_qfc(const std::vector<double> &lambda, double c, int lim = kSkatLim) {
  return run_qfc(lambda, std::vector<double>(lambda.size(), 0.0),
                 std::vector<int>(lambda.size(), 1), 0.0, c, lim);
}

TEST(QfcSkatCall, AgainstPublishedValuesChiSquareAndInversion) {
  // Davies (1980) test values for weights 6, 3, 1, also given by the inversion in the test support.
  const double published[][2] = {{1, 0.0542138}, {7, 0.4935618}, {20, 0.8760409}};
  for (const auto &row : published) {
    const Davies d = skat_qfc({6, 3, 1}, row[0]);
    EXPECT_NEAR(d.res, row[1], 1e-7);  // published to seven decimals
    EXPECT_EQ(d.ifault, 0);
  }
  EXPECT_NEAR(skat_qfc({1}, 3.841459).res, 0.95, kTol);
  // Equal weights: a scaled chi-square.
  EXPECT_NEAR(skat_qfc(std::vector<double>(10, 1.0), 18.307).res, gsl_cdf_chisq_P(18.307, 10),
              kTol);
  for (int k = 1; k <= 6; k++)
    for (double c : {0.3, 2.0, 9.0})
      EXPECT_NEAR(skat_qfc(std::vector<double>(k, 0.5), c).res, gsl_cdf_chisq_P(c / 0.5, k), kTol)
          << "k=" << k << " c=" << c;
  // Many distinct weights, far into the upper tail, where SKAT p-values are read.
  const std::vector<double> lambda = {5.2, 3.1, 2.4, 1.7, 0.9, 0.55, 0.3, 0.12};
  for (double c : {3.0, 10.0, 40.0, 80.0}) {
    double expected = inversion_cdf(lambda, std::vector<double>(8, 0.0), std::vector<int>(8, 1),
                                    0.0, c, 0.005, 200.0);
    const Davies d = skat_qfc(lambda, c);
    EXPECT_EQ(d.ifault, 0);
    EXPECT_NEAR(1.0 - d.res, 1.0 - expected, kTol) << "c=" << c;
  }
}

TEST(QfcGeneralTerms, ClosedForms) {
  // Two degrees of freedom each: a sum of exponentials with distinct means 2 lambda_j.
  const std::vector<double> lambda = {3.0, 1.5, 0.5};
  for (double c : {0.5, 4.0, 15.0}) {
    double survival = 0.0;
    for (size_t j = 0; j < lambda.size(); j++) {
      double coef = 1.0;
      for (size_t k = 0; k < lambda.size(); k++)
        if (k != j)
          coef *= lambda[j] / (lambda[j] - lambda[k]);
      survival += coef * std::exp(-c / (2.0 * lambda[j]));
    }
    EXPECT_NEAR(run_qfc(lambda, {0, 0, 0}, {2, 2, 2}, 0.0, c).res, 1.0 - survival, kTol);
  }
  // chi2(2) - chi2(2) is Laplace with scale 2.
  EXPECT_NEAR(run_qfc({1, -1}, {0, 0}, {2, 2}, 0.0, 1.5).res, 1.0 - 0.5 * std::exp(-0.75), kTol);
  EXPECT_NEAR(run_qfc({1, -1}, {0, 0}, {2, 2}, 0.0, -2.0).res, 0.5 * std::exp(-1.0), kTol);
  // The normal term alone, and added to chi2(2) (exponential convolved with a normal).
  EXPECT_NEAR(run_qfc({}, {}, {}, 1.3, 0.4).res, gsl_cdf_ugaussian_P(0.4 / 1.3), kTol);
  for (double c : {-1.0, 0.7, 5.0}) {
    double s = 0.8;
    double expected = gsl_cdf_ugaussian_P(c / s) -
                      std::exp(-c / 2.0 + s * s / 8.0) * gsl_cdf_ugaussian_P(c / s - s / 2.0);
    EXPECT_NEAR(run_qfc({1}, {0}, {2}, s, c).res, expected, kTol) << "c=" << c;
  }
}

// Non-central terms, several degrees of freedom, mixed signs and a normal term.
TEST(QfcGeneralTerms, AgainstInversion) {
  const std::vector<double> lb = {1.5, 0.8, -0.6, 0.3};
  const std::vector<double> nc = {1.0, 0.0, 0.5, 2.0};
  const std::vector<int> n = {2, 3, 2, 4};
  for (double c : {-3.0, 2.0, 7.0, 25.0}) {
    double expected = inversion_cdf(lb, nc, n, 0.4, c, 0.005, 60.0);
    EXPECT_NEAR(run_qfc(lb, nc, n, 0.4, c).res, expected, kTol) << "c=" << c;
  }
}

// Faults and the answers known without integrating: Q identically 0 (all coefficients 0, or no
// term at all) is a step at 0; c beyond either cut-off gives 1 or 0 at once; the call limit is
// checked on every counted call (lim = 1 stops at the second); too few terms for the accuracy;
// acc/10 = 1e-21 lost against an error sum of order 0.1 is flagged with the result kept.
TEST(QfcFaults, CodesResultsAndTraces) {
  struct Case {
    Davies got;
    int ifault;
    double res, integration_terms, counted_calls;  // -1: not checked
  };
  const Case cases[] = {
      {run_qfc({0, 0}, {0, 0}, {1, 1}, 0.0, 0.5), 0, 1.0, 0, 0},
      {run_qfc({0, 0}, {0, 0}, {1, 1}, 0.0, 0.0), 0, 0.0, 0, 0},
      {skat_qfc({}, -1.0), 0, 0.0, 0, 0},
      {run_qfc({1, 2}, {0, 0}, {1, -1}, 0.0, 0.5), 3, -1.0, 0, 0},
      {run_qfc({1, 2}, {0, -0.1}, {1, 1}, 0.0, 0.5), 3, -1.0, 0, 0},
      {skat_qfc({6, 3, 1}, 1000.0), 0, 1.0, 0, -1},
      {skat_qfc({6, 3, 1}, -50.0), 0, 0.0, 0, -1},
      {skat_qfc({6, 3, 1}, 7.0, 1), 4, -1.0, 0, 2},
      {skat_qfc({6, 3, 1}, 7.0, 1000), 1, -1.0, -1, -1},
      {run_qfc({}, {}, {}, 1.0, 0.5, kSkatLim, 1e-20), 2, gsl_cdf_ugaussian_P(0.5), -1, -1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.got.ifault, c.ifault);
    EXPECT_NEAR(c.got.res, c.res, 1e-12);
    if (c.integration_terms >= 0) {
      EXPECT_EQ(c.got.trace[1], c.integration_terms);
    }
    if (c.counted_calls >= 0) {
      EXPECT_EQ(c.got.trace[6], c.counted_calls);
    }
  }
  // trace[6] is exactly the number of counted calls: a limit equal to it suffices, one less not.
  const Davies full = run_qfc({}, {}, {}, 1.3, 0.4);
  const int calls = static_cast<int>(full.trace[6]);
  ASSERT_GT(calls, full.trace[1]);
  EXPECT_EQ(run_qfc({}, {}, {}, 1.3, 0.4, calls).res, full.res);
  const Davies short_by_one = run_qfc({}, {}, {}, 1.3, 0.4, calls - 1);
  EXPECT_EQ(short_by_one.ifault, 4);
  EXPECT_EQ(short_by_one.trace[6], calls);
}

TEST(QfcState, EveryCallStartsAfresh) {
  const Davies first = skat_qfc({6, 3, 1}, 20.0);
  skat_qfc({6, 3, 1}, 20.0, 1);  // abandoned half-way through the search
  run_qfc({1, 2}, {0, 0}, {1, -1}, 0.0, 0.5);
  const Davies again = skat_qfc({6, 3, 1}, 20.0);
  EXPECT_EQ(again.res, first.res);
  EXPECT_EQ(again.ifault, 0);
  for (int j = 0; j < 7; j++) EXPECT_EQ(again.trace[j], first.trace[j]) << "trace " << j;
}

}  // namespace
