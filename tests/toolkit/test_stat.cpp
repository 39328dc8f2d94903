// Least-squares regression and scores against exact fractions and an independent GSL fit;
// the incomplete gamma function against GSL; the stops and the random generators.
#include <fcntl.h>
#include <gsl/gsl_sf_gamma.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "tests/independent_model.h"
#include "tests/test_support.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/func_stat.h"

namespace {

using varnosta_test::Mat;
using varnosta_test::max_error;
using varnosta_test::Rows;
using varnosta_test::transpose;
using varnosta_test::Vec;

// y = (1, 2, 4) on genotype (1, 2, 3) and an intercept.
const std::vector<double> kSmallY = {1, 2, 4};
const std::vector<std::vector<double>> kSmallX = {{1, 1}, {2, 1}, {3, 1}};

// Random trait and design with an intercept as the first nuisance column (column q + 1).
void random_data(const Vec &y, const Mat &X, int q, std::mt19937 &gen) {
  std::normal_distribution<double> z(0.0, 1.0);
  for (int s = 1; s <= X.r; s++) {
    for (int j = 1; j <= X.c; j++) X[s][j] = j == q + 1 ? 1.0 : z(gen);
    y[s] = 0.3 * X[s][1] + 0.5 * X[s][X.c] + z(gen);
  }
}

TEST(StatRegression, ExactFractions) {
  Vec y(kSmallY), beta(2);
  Mat X(kSmallX), cov(3, 3);
  for (int i = 1; i <= 3; i++)
    for (int j = 1; j <= 3; j++) cov[i][j] = -7.0;
  double sigma2 = 0.0;
  LinearReg_beta_cov(y.v, X.m, beta.v, &sigma2, cov.m, 3, 2);
  // RSS 1/6 over n, not n - p; the strict lower triangle and the off-diagonal entries of row
  // and column 3 are not written.
  EXPECT_LT(max_error({{beta[1], beta[2], sigma2}}, {{1.5, -2.0 / 3, 1.0 / 18}}), 1e-15);
  EXPECT_LT(
      max_error(cov.rows(), {{1.0 / 36, -1.0 / 18, -7}, {-7, 7.0 / 54, -7}, {-7, -7, 1.0 / 486}}),
      1e-15);
  double U = 0.0, V = 0.0;
  LinearReg_beta_score(y.v, X.m, U, V, 3, 2);
  EXPECT_LT(max_error({{U, V}}, {{27.0 / 14, 9.0 / 7}}), 1e-15);
  // p = 1 (the genotype column alone): s2 = sum y^2 / n = 7, U = 17 / 7, V = 14 / 7.
  LinearReg_beta_score(y.v, X.m, U, V, 3, 1);
  EXPECT_LT(max_error({{U, V}}, {{17.0 / 7, 2.0}}), 1e-15);
  // A tested column that repeats a nuisance column: no stop, V = 0 and U = 0 (null residuals
  // are orthogonal to every nuisance column).
  std::mt19937 gen(5);
  Vec y30(30);
  Mat X30(30, 3);
  random_data(y30, X30, 1, gen);
  for (int s = 1; s <= 30; s++) X30[s][1] = X30[s][3];
  LinearReg_beta_score(y30.v, X30.m, U, V, 30, 3);
  EXPECT_LT(max_error({{U, V}}, {{0.0, 0.0}}), 1e-10);
}

TEST(StatRegression, ScoresAgainstIndependentFit) {
  std::mt19937 gen(7);
  for (int q : {1, 3}) {
    Vec y(200), U(q);
    Mat X(200, q + 4), V(q, q);
    random_data(y, X, q, gen);
    // The independent least-squares scores of the end-to-end checks.
    Rows X1, X2;
    for (const auto &row : X.rows()) {
      X1.emplace_back(row.begin(), row.begin() + q);
      X2.emplace_back(row.begin() + q, row.end());
    }
    const indep::Scores ref = indep::ls_score(X1, X2, y.values());
    flag_positiveQ1 = false;
    LinearReg_beta_score_v2(y.v, X.m, U.v, V.m, 200, q + 4, q);
    EXPECT_TRUE(flag_positiveQ1);
    EXPECT_LT(max_error({U.values()}, {ref.U}), 1e-9);
    EXPECT_LT(max_error(V.rows(), ref.V), 1e-9);
    EXPECT_EQ(V.rows(), transpose(V.rows()));
    if (q == 1) {  // the one-column routine gives the same test
      double U1 = 0.0, V1 = 0.0;
      LinearReg_beta_score(y.v, X.m, U1, V1, 200, q + 4);
      EXPECT_LT(max_error({{U1, V1}}, {{ref.U[0], ref.V[0][0]}}), 1e-9);
    }
  }
}

// Trait constant at 3, intercept among the columns: the null fit is exact and RSS = 0.
TEST(StatRegression, ZeroResidualVarianceGivesNoResult) {
  Vec y{3, 3, 3, 3}, U{5, 5}, beta(1);
  Mat X({{0, 0, 1}, {1, 2, 1}, {2, 4, 1}, {1, 2, 1}}), V({{5, 5}, {5, 5}});
  double u = 5.0, v = 5.0;
  LinearReg_beta_score(y.v, X.m, u, v, 4, 3);
  EXPECT_EQ(u, 0.0);
  EXPECT_EQ(v, 0.0);
  flag_positiveQ1 = true;
  LinearReg_beta_score_v2(y.v, X.m, U.v, V.m, 4, 3, 2);
  EXPECT_FALSE(flag_positiveQ1);
  EXPECT_EQ(U.values(), (std::vector<double>{0, 0}));
  EXPECT_EQ(V.rows(), (Rows{{0, 0}, {0, 0}}));
  // The Wald fit keeps sigma2 = 0 and a zero covariance: its caller treats that as no result.
  Mat intercept({{1}, {1}, {1}, {1}}), cov(2, 2);
  double sigma2 = -1.0;
  LinearReg_beta_cov(y.v, intercept.m, beta.v, &sigma2, cov.m, 4, 1);
  EXPECT_EQ(beta[1], 3.0);
  EXPECT_EQ(sigma2, 0.0);
  EXPECT_EQ(std::make_pair(cov[1][1], cov[2][2]), std::make_pair(0.0, 0.0));
}

TEST(StatRegressionDeathTest, CollinearColumnsStop) {
  varnosta_test::StopLeaksIgnored leaks_at_stop;
  const std::string report = varnosta_test::nr_report("choldc failed");
  std::mt19937 gen(9);
  Vec y(20), U(2), beta(4);
  Mat X(20, 4), V(2, 2), cov(5, 5);
  random_data(y, X, 1, gen);
  for (int s = 1; s <= 20; s++) X[s][4] = 2.0 * X[s][3];
  double u, v, sigma2;
  EXPECT_EXIT(LinearReg_beta_score(y.v, X.m, u, v, 20, 4), ::testing::ExitedWithCode(1), report);
  EXPECT_EXIT(LinearReg_beta_score_v2(y.v, X.m, U.v, V.m, 20, 4, 2), ::testing::ExitedWithCode(1),
              report);
  EXPECT_EXIT(LinearReg_beta_cov(y.v, X.m, beta.v, &sigma2, cov.m, 20, 4),
              ::testing::ExitedWithCode(1), report);
}

TEST(StatGamma, ChiSquareTailAgainstGsl) {
  EXPECT_EQ(gammq(0.5, 0.0), 1.0);
  EXPECT_NEAR(gammq(0.5, 1.9207295), 0.05, 1e-8);  // half the chi-square 95 % point
  EXPECT_NEAR(gammq(0.5, 1.5), 0.0832645166635504, 1e-12);
  EXPECT_LT(gammq(0.5, 800.0), 1e-300);
  // Both branches (series below x = 1.5, continued fraction from there) over the range of
  // statistics, finely around the switch.
  for (double x = 1e-8; x <= 700.0; x += x < 5.0 ? 0.001 : 0.25)
    ASSERT_NEAR(gammq(0.5, x), gsl_sf_gamma_inc_Q(0.5, x), 1e-9 * gsl_sf_gamma_inc_Q(0.5, x)) << x;
  for (double a : {0.5, 2.5, 7.0}) {
    double P, Q, gln1, gln2;
    gser(&P, a, a + 1.0, &gln1);
    gcf(&Q, a, a + 1.0, &gln2);
    EXPECT_NEAR(P + Q, 1.0, 1e-13) << a;
    EXPECT_NEAR(Q, gsl_sf_gamma_inc_Q(a, a + 1.0), 1e-12) << a;
    EXPECT_EQ(gln1, gln2);
    EXPECT_NEAR(gln1, std::lgamma(a), 1e-10) << a;
  }
  for (double xx : {0.1, 1.0, 3.7, 100.0, 1000.0})
    EXPECT_NEAR(gammln(xx), std::lgamma(xx), 1e-10 * (1.0 + std::fabs(std::lgamma(xx)))) << xx;
}

// Sends standard output into the stream the death test captures and discards the error
// stream, so a pattern match proves the line went to standard output.
void capture_stdout_only() {
  std::fflush(stdout);
  int captured = dup(STDERR_FILENO);
  int devnull = open("/dev/null", O_WRONLY);
  dup2(captured, STDOUT_FILENO);
  dup2(devnull, STDERR_FILENO);
}

TEST(StatGammaDeathTest, StopsWriteOneLineOnStandardOutput) {
  using ::testing::ExitedWithCode;
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double g, gln;
  EXPECT_EXIT((capture_stdout_only(), gammq(0.0, 1.0)), ExitedWithCode(1),
              "^Invalid arguments in routine gammp\n$");
  EXPECT_EXIT((capture_stdout_only(), gammq(0.5, -1.0)), ExitedWithCode(1),
              "^Invalid arguments in routine gammp\n$");
  EXPECT_EXIT((capture_stdout_only(), gser(&g, 0.5, -1.0, &gln)), ExitedWithCode(1),
              "^x less than 0 in routine gser\n$");
  // The series at x = 600 needs about 800 terms, its sum stays finite.
  EXPECT_EXIT((capture_stdout_only(), gser(&g, 0.5, 600.0, &gln)), ExitedWithCode(1),
              "^a too large, ITMAX too small in routine gser\n$");
  for (double x : {nan, inf})
    EXPECT_EXIT((capture_stdout_only(), gammq(0.5, x)), ExitedWithCode(1),
                "^A too large, ITMAX too small\n$");
}

TEST(StatRandom, UniformFirstValueAndNormalMoments) {
  gix = 4567;
  giy = 6789;
  giz = 8901;
  double u = runifC3();
  EXPECT_EQ(gix, 24232);
  EXPECT_EQ(giy, 16042);
  EXPECT_EQ(giz, 27343);
  EXPECT_NEAR(u, (24232 / 30269.0 + 16042 / 30307.0 + 27343 / 30323.0) - 2.0, 1e-15);
  EXPECT_NEAR(u, 0.2316, 5e-5);
  // Seeds stay inside their moduli and the deviates inside [0, 1).
  for (int t = 0; t < 100000; t++) {
    u = runifC3();
    ASSERT_TRUE(u >= 0.0 && u < 1.0);
    ASSERT_TRUE(gix > 0 && gix < 30269 && giy > 0 && giy < 30307 && giz > 0 && giz < 30323);
  }
  const int draws = 200000;
  double sum = 0.0, sum2 = 0.0;
  for (int t = 0; t < draws; t++) {
    double z = rnormC();
    sum += z;
    sum2 += z * z;
  }
  EXPECT_NEAR(sum / draws, 0.0, 0.01);
  EXPECT_NEAR(sum2 / draws, 1.0, 0.02);
}

}  // namespace
