#include <gsl/gsl_cdf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "toolkit/qfc.h"

namespace {

struct Davies {
  double res;
  int ifault;
  double trace[7];
};

constexpr int kSkatLim = 1000000000;
constexpr double kSkatAcc = 1e-8;
constexpr double kTol = 1e-6;

Davies run_qfc(std::vector<double> lb, std::vector<double> nc, std::vector<int> n, double sigma,
               double c, int lim = kSkatLim, double acc = kSkatAcc) {
  Davies out{};
  int r = static_cast<int>(lb.size());
  out.ifault = 0;
  qfc(lb.data(), nc.data(), n.data(), &r, &sigma, &c, &lim, &acc, out.trace, &out.ifault, &out.res);
  return out;
}

// The call the SKAT routine makes: central, one degree of freedom each, no normal term.
Davies skat_qfc(const std::vector<double> &lambda, double c, int lim = kSkatLim) {
  return run_qfc(lambda, std::vector<double>(lambda.size(), 0.0),
                 std::vector<int>(lambda.size(), 1), 0.0, c, lim);
}

// Gil-Pelaez inversion by a plain midpoint rule with complex arithmetic: step h small enough that
// 2 pi / h lies far beyond both tails, cut at U where |phi| is negligible.
double inversion_cdf(const std::vector<double> &lb, const std::vector<double> &nc,
                     const std::vector<int> &n, double sigma, double c, double h, double upper) {
  const std::complex<double> i(0.0, 1.0);
  double sum = 0.0;
  for (int k = 0; (k + 0.5) * h < upper; k++) {
    double u = (k + 0.5) * h;
    std::complex<double> log_phi = -0.5 * sigma * sigma * u * u - i * u * c;
    for (size_t j = 0; j < lb.size(); j++) {
      std::complex<double> z = 1.0 - 2.0 * i * lb[j] * u;
      log_phi += -0.5 * n[j] * std::log(z) + i * nc[j] * lb[j] * u / z;
    }
    sum += std::imag(std::exp(log_phi)) / u;
  }
  return 0.5 - sum * h / M_PI;
}

// P(lambda * chi2(df, delta) < c) as a Poisson mixture of central chi-square distributions.
double noncentral_cdf(double lambda, int df, double delta, double c) {
  double sum = 0.0;
  double weight = std::exp(-delta / 2.0);
  for (int k = 0; k < 200; k++) {
    sum += weight * gsl_cdf_chisq_P(c / lambda, df + 2.0 * k);
    weight *= (delta / 2.0) / (k + 1);
  }
  return sum;
}

TEST(QfcSkatCall, ReferenceValues) {
  const std::vector<double> l631 = {6, 3, 1};
  EXPECT_NEAR(skat_qfc(l631, 1).res, 0.0542138, kTol);
  EXPECT_NEAR(skat_qfc(l631, 7).res, 0.4935618, kTol);
  EXPECT_NEAR(skat_qfc(l631, 20).res, 0.8760409, kTol);
  EXPECT_NEAR(skat_qfc({2.5, 1.2, 0.7, 0.3, 0.1}, 5).res, 0.6468346, kTol);
  EXPECT_NEAR(skat_qfc({1}, 3.841459).res, 0.95, kTol);
  for (double c : {1.0, 7.0, 20.0}) EXPECT_EQ(skat_qfc(l631, c).ifault, 0);
}

TEST(QfcSkatCall, EqualWeightsGiveChiSquare) {
  EXPECT_NEAR(skat_qfc(std::vector<double>(10, 1.0), 18.307).res, gsl_cdf_chisq_P(18.307, 10),
              kTol);
  for (int k = 1; k <= 6; k++) {
    for (double c : {0.3, 2.0, 9.0}) {
      EXPECT_NEAR(skat_qfc(std::vector<double>(k, 0.5), c).res, gsl_cdf_chisq_P(c / 0.5, k), kTol)
          << "k=" << k << " c=" << c;
    }
  }
  for (double c : {0.1, 1.0, 5.0, 30.0}) {
    EXPECT_NEAR(skat_qfc({2.0}, c).res, gsl_cdf_chisq_P(c / 2.0, 1), kTol);
    EXPECT_NEAR(skat_qfc({1.7, 1.7}, c).res, 1.0 - std::exp(-c / (2.0 * 1.7)), kTol);
  }
}

TEST(QfcSkatCall, ManyEigenvaluesAgainstInversion) {
  const std::vector<double> lambda = {5.2, 3.1, 2.4, 1.7, 0.9, 0.55, 0.3, 0.12};
  const std::vector<double> nc(lambda.size(), 0.0);
  const std::vector<int> n(lambda.size(), 1);
  for (double c : {3.0, 10.0, 40.0, 80.0}) {
    double expected = inversion_cdf(lambda, nc, n, 0.0, c, 0.005, 200.0);
    Davies d = skat_qfc(lambda, c);
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
      for (size_t k = 0; k < lambda.size(); k++) {
        if (k != j)
          coef *= lambda[j] / (lambda[j] - lambda[k]);
      }
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

TEST(QfcGeneralTerms, NonCentralAndSeveralDf) {
  for (double c : {1.0, 6.0, 20.0}) {
    EXPECT_NEAR(run_qfc({1.5}, {2.0}, {3}, 0.0, c).res, noncentral_cdf(1.5, 3, 2.0, c), kTol);
    // Equal coefficients pool into one non-central chi-square on 5 df.
    EXPECT_NEAR(run_qfc({0.7, 0.7}, {1.0, 2.5}, {2, 3}, 0.0, c).res, noncentral_cdf(0.7, 5, 3.5, c),
                kTol);
  }
  const std::vector<double> lb = {1.5, 0.8, -0.6, 0.3};
  const std::vector<double> nc = {1.0, 0.0, 0.5, 2.0};
  const std::vector<int> n = {2, 3, 2, 4};
  for (double c : {-3.0, 2.0, 7.0, 25.0}) {
    double expected = inversion_cdf(lb, nc, n, 0.4, c, 0.005, 60.0);
    EXPECT_NEAR(run_qfc(lb, nc, n, 0.4, c).res, expected, kTol) << "c=" << c;
  }
}

TEST(QfcFaults, DegenerateAndInvalidInput) {
  // Q identically 0 (all coefficients 0, or no term at all): a step at 0, no fault.
  for (double c : {0.5, 0.0, -1.0}) {
    Davies zero = run_qfc({0, 0}, {0, 0}, {1, 1}, 0.0, c);
    EXPECT_EQ(zero.res, c > 0 ? 1.0 : 0.0);
    EXPECT_EQ(zero.ifault, 0);
    EXPECT_EQ(zero.trace[6], 0.0);
    EXPECT_EQ(skat_qfc({}, c).res, c > 0 ? 1.0 : 0.0);
  }
  Davies neg_df = run_qfc({1, 2}, {0, 0}, {1, -1}, 0.0, 0.5);
  EXPECT_EQ(neg_df.ifault, 3);
  EXPECT_EQ(neg_df.res, -1.0);
  Davies neg_nc = run_qfc({1, 2}, {0, -0.1}, {1, 1}, 0.0, 0.5);
  EXPECT_EQ(neg_nc.ifault, 3);
  EXPECT_EQ(neg_nc.res, -1.0);
}

TEST(QfcFaults, OutsideTheRangeNeedsNoIntegration) {
  Davies above = skat_qfc({6, 3, 1}, 1000.0);
  EXPECT_EQ(above.res, 1.0);
  EXPECT_EQ(above.ifault, 0);
  EXPECT_EQ(above.trace[1], 0.0);
  EXPECT_EQ(above.trace[2], 0.0);
  Davies below = skat_qfc({6, 3, 1}, -50.0);
  EXPECT_EQ(below.res, 0.0);
  EXPECT_EQ(below.trace[1], 0.0);
}

TEST(QfcFaults, CallAndTermLimits) {
  Davies one = skat_qfc({6, 3, 1}, 7.0, 1);
  EXPECT_EQ(one.ifault, 4);
  EXPECT_EQ(one.res, -1.0);
  EXPECT_EQ(one.trace[6], 2.0);

  // Too few terms allowed for the accuracy, while the search itself stays within the limit.
  Davies few = skat_qfc({6, 3, 1}, 7.0, 1000);
  EXPECT_EQ(few.ifault, 1);
  EXPECT_EQ(few.res, -1.0);
  EXPECT_LT(few.trace[6], 1000.0);

  // trace[6] is exactly the number of counted calls: a limit equal to it suffices, one less not.
  Davies full = run_qfc({}, {}, {}, 1.3, 0.4);
  int calls = static_cast<int>(full.trace[6]);
  ASSERT_GT(calls, 1);
  ASSERT_LT(full.trace[1], calls);
  Davies just = run_qfc({}, {}, {}, 1.3, 0.4, calls);
  EXPECT_EQ(just.ifault, 0);
  EXPECT_EQ(just.res, full.res);
  Davies short_by_one = run_qfc({}, {}, {}, 1.3, 0.4, calls - 1);
  EXPECT_EQ(short_by_one.ifault, 4);
  EXPECT_EQ(short_by_one.trace[6], calls);
}

TEST(QfcFaults, RoundOffFlaggedButResultKept) {
  // acc/10 = 1e-21 vanishes against an error sum of order 0.1.
  Davies d = run_qfc({}, {}, {}, 1.0, 0.5, kSkatLim, 1e-20);
  EXPECT_EQ(d.ifault, 2);
  EXPECT_NEAR(d.res, gsl_cdf_ugaussian_P(0.5), 1e-12);
}

TEST(QfcState, EveryCallStartsAfresh) {
  Davies first = skat_qfc({6, 3, 1}, 20.0);
  skat_qfc({6, 3, 1}, 20.0, 1);  // abandoned half-way through the search
  run_qfc({1, 2}, {0, 0}, {1, -1}, 0.0, 0.5);
  Davies again = skat_qfc({6, 3, 1}, 20.0);
  EXPECT_EQ(again.res, first.res);
  EXPECT_EQ(again.ifault, 0);
  for (int j = 0; j < 7; j++) EXPECT_EQ(again.trace[j], first.trace[j]) << "trace " << j;
}

}  // namespace
