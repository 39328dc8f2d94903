// Least-squares regression and scores against exact fractions and an independent GSL fit;
// the incomplete gamma function against erfc and GSL; the stops and the random generators.
#include <fcntl.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_multifit.h>
#include <gsl/gsl_sf_gamma.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/func_stat.h"

namespace {

// The n x p design and trait of one regression, in toolkit arrays.
struct Data {
  int n, p;
  double *y;
  double **X;
  Data(int subjects, int columns)
      : n(subjects), p(columns), y(dvector(1, subjects)), X(dmatrix(1, subjects, 1, columns)) {}
  ~Data() {
    free_dmatrix(X, 1, n, 1, p);
    free_dvector(y, 1, n);
  }
  Data(const Data &) = delete;
  Data &operator=(const Data &) = delete;
};

// y = (1, 2, 4) on genotype (1, 2, 3) and an intercept.
void small_example(Data &d) {
  const double y[3] = {1, 2, 4};
  for (int s = 1; s <= 3; s++) {
    d.y[s] = y[s - 1];
    d.X[s][1] = s;
    d.X[s][2] = 1.0;
  }
}

// Random design with an intercept as the first nuisance column (column q + 1).
void random_data(Data &d, int q, std::mt19937 &gen) {
  std::normal_distribution<double> z(0.0, 1.0);
  for (int s = 1; s <= d.n; s++) {
    for (int j = 1; j <= d.p; j++) d.X[s][j] = j == q + 1 ? 1.0 : z(gen);
    d.y[s] = 0.3 * d.X[s][1] + 0.5 * d.X[s][d.p] + z(gen);
  }
}

// ---------------------------------------------------------------------------------------------
// Regression
// ---------------------------------------------------------------------------------------------

TEST(StatRegression, WaldExampleExactFractions) {
  Data d(3, 2);
  small_example(d);
  double **cov = dmatrix(1, 3, 1, 3);
  for (int i = 1; i <= 3; i++)
    for (int j = 1; j <= 3; j++) cov[i][j] = -7.0;
  double *beta = dvector(1, 2);
  double sigma2 = 0.0;
  LinearReg_beta_cov(d.y, d.X, beta, &sigma2, cov, 3, 2);
  EXPECT_NEAR(beta[1], 1.5, 1e-14);
  EXPECT_NEAR(beta[2], -2.0 / 3, 1e-14);
  EXPECT_NEAR(sigma2, 1.0 / 18, 1e-15);
  EXPECT_NEAR(cov[1][1], 1.0 / 36, 1e-15);
  EXPECT_NEAR(cov[1][2], -1.0 / 18, 1e-15);
  EXPECT_NEAR(cov[2][2], 7.0 / 54, 1e-15);
  EXPECT_NEAR(cov[3][3], 1.0 / 486, 1e-16);
  // Strict lower triangle and the off-diagonal entries of row and column 3 are not written.
  EXPECT_EQ(cov[2][1], -7.0);
  for (int i = 1; i <= 2; i++) {
    EXPECT_EQ(cov[i][3], -7.0);
    EXPECT_EQ(cov[3][i], -7.0);
  }
  free_dvector(beta, 1, 2);
  free_dmatrix(cov, 1, 3, 1, 3);
}

TEST(StatRegression, ScoreExampleAndNoNuisance) {
  Data d(3, 2);
  small_example(d);
  double U = 0.0, V = 0.0;
  LinearReg_beta_score(d.y, d.X, U, V, 3, 2);
  EXPECT_NEAR(U, 27.0 / 14, 1e-14);
  EXPECT_NEAR(V, 9.0 / 7, 1e-14);
  EXPECT_NEAR(U * U / V, 81.0 / 28, 1e-13);

  // p = 1 (the genotype column alone): s2 = sum y^2 / n = 7, U = 17 / 7, V = 14 / 7.
  LinearReg_beta_score(d.y, d.X, U, V, 3, 1);
  EXPECT_NEAR(U, 17.0 / 7, 1e-14);
  EXPECT_NEAR(V, 2.0, 1e-14);
}

TEST(StatRegression, TestedColumnRepeatingANuisanceHasNoVariance) {
  std::mt19937 gen(5);
  Data d(30, 3);
  random_data(d, 1, gen);
  for (int s = 1; s <= d.n; s++) d.X[s][1] = d.X[s][3];
  double U = 1.0, V = 1.0;
  LinearReg_beta_score(d.y, d.X, U, V, d.n, d.p);
  EXPECT_NEAR(V, 0.0, 1e-10);
  EXPECT_NEAR(U, 0.0, 1e-10);  // null residuals are orthogonal to every nuisance column
}

// Independent score and covariance of columns 1..q given q+1..p: null fit by GSL's least
// squares, (X2'X2)^-1 by GSL's Cholesky inverse.
void reference_scores(const Data &d, int q, std::vector<double> &U, std::vector<double> &V) {
  int n = d.n, p2 = d.p - q;
  gsl_matrix *X2 = gsl_matrix_alloc(n, p2);
  gsl_vector *y = gsl_vector_alloc(n), *c = gsl_vector_alloc(p2);
  gsl_matrix *cv = gsl_matrix_alloc(p2, p2), *G = gsl_matrix_alloc(p2, p2);
  for (int s = 1; s <= n; s++) {
    gsl_vector_set(y, s - 1, d.y[s]);
    for (int k = 1; k <= p2; k++) gsl_matrix_set(X2, s - 1, k - 1, d.X[s][q + k]);
  }
  double chisq;
  gsl_multifit_linear_workspace *w = gsl_multifit_linear_alloc(n, p2);
  gsl_multifit_linear(X2, y, c, cv, &chisq, w);
  gsl_multifit_linear_free(w);
  std::vector<double> r(n + 1);
  double rss = 0.0;
  for (int s = 1; s <= n; s++) {
    r[s] = d.y[s];
    for (int k = 1; k <= p2; k++) r[s] -= d.X[s][q + k] * gsl_vector_get(c, k - 1);
    rss += r[s] * r[s];
  }
  double s2 = rss / n;
  auto dot = [&](int a, int b) {
    double t = 0.0;
    for (int s = 1; s <= n; s++) t += d.X[s][a] * d.X[s][b];
    return t;
  };
  for (int k = 1; k <= p2; k++)
    for (int l = 1; l <= p2; l++) gsl_matrix_set(G, k - 1, l - 1, dot(q + k, q + l));
  gsl_linalg_cholesky_decomp1(G);
  gsl_linalg_cholesky_invert(G);
  U.assign(q + 1, 0.0);
  V.assign((q + 1) * (q + 1), 0.0);
  for (int i = 1; i <= q; i++) {
    for (int s = 1; s <= n; s++) U[i] += r[s] * d.X[s][i];
    U[i] /= s2;
    for (int j = 1; j <= q; j++) {
      double corr = 0.0;
      for (int k = 1; k <= p2; k++)
        for (int l = 1; l <= p2; l++)
          corr += dot(i, q + k) * gsl_matrix_get(G, k - 1, l - 1) * dot(q + l, j);
      V[i * (q + 1) + j] = (dot(i, j) - corr) / s2;
    }
  }
  gsl_matrix_free(G);
  gsl_matrix_free(cv);
  gsl_vector_free(c);
  gsl_vector_free(y);
  gsl_matrix_free(X2);
}

TEST(StatRegression, ScoresAgainstIndependentFit) {
  std::mt19937 gen(7);
  for (int q : {1, 3}) {
    Data d(200, q + 4);
    random_data(d, q, gen);
    std::vector<double> Ur, Vr;
    reference_scores(d, q, Ur, Vr);
    double *U = dvector(1, q);
    double **V = dmatrix(1, q, 1, q);
    flag_positiveQ1 = false;
    LinearReg_beta_score_v2(d.y, d.X, U, V, d.n, d.p, q);
    EXPECT_TRUE(flag_positiveQ1);
    for (int i = 1; i <= q; i++) {
      EXPECT_NEAR(U[i], Ur[i], 1e-9 * (1.0 + std::fabs(Ur[i])));
      for (int j = 1; j <= q; j++) {
        EXPECT_NEAR(V[i][j], Vr[i * (q + 1) + j], 1e-9 * (1.0 + std::fabs(Vr[i * (q + 1) + j])));
        EXPECT_EQ(V[i][j], V[j][i]);
      }
    }
    if (q == 1) {  // one tested column: both score routines agree
      double U1 = 0.0, V1 = 0.0;
      LinearReg_beta_score(d.y, d.X, U1, V1, d.n, d.p);
      EXPECT_NEAR(U1, U[1], 1e-12 * (1.0 + std::fabs(U1)));
      EXPECT_NEAR(V1, V[1][1], 1e-12 * (1.0 + std::fabs(V1)));
      EXPECT_NEAR(U1, Ur[1], 1e-9 * (1.0 + std::fabs(U1)));
    }
    free_dmatrix(V, 1, q, 1, q);
    free_dvector(U, 1, q);
  }
}

// Trait constant at 3 over four subjects: the intercept-only null fit is exact (g = 12 / 2 / 2)
// and RSS = 0 exactly.
void exact_null_fit(Data &d) {
  const double x[4] = {0, 1, 2, 1};
  for (int s = 1; s <= 4; s++) {
    d.y[s] = 3.0;
    for (int j = 1; j < d.p; j++) d.X[s][j] = x[s - 1] * j;
    d.X[s][d.p] = 1.0;
  }
}

TEST(StatRegression, ZeroResidualVarianceGivesNoResult) {
  Data d1(4, 2);
  exact_null_fit(d1);
  double U = 5.0, V = 5.0;
  LinearReg_beta_score(d1.y, d1.X, U, V, 4, 2);
  EXPECT_EQ(U, 0.0);
  EXPECT_EQ(V, 0.0);

  Data d2(4, 3);
  exact_null_fit(d2);
  double *Uv = dvector(1, 2);
  double **Vv = dmatrix(1, 2, 1, 2);
  for (int i = 1; i <= 2; i++) {
    Uv[i] = 5.0;
    for (int j = 1; j <= 2; j++) Vv[i][j] = 5.0;
  }
  flag_positiveQ1 = true;
  LinearReg_beta_score_v2(d2.y, d2.X, Uv, Vv, 4, 3, 2);
  EXPECT_FALSE(flag_positiveQ1);
  for (int i = 1; i <= 2; i++) {
    EXPECT_EQ(Uv[i], 0.0);
    for (int j = 1; j <= 2; j++) EXPECT_EQ(Vv[i][j], 0.0);
  }
  free_dmatrix(Vv, 1, 2, 1, 2);
  free_dvector(Uv, 1, 2);

  // The Wald fit keeps sigma2 = 0 and a zero covariance: its caller treats that as no result.
  Data d3(4, 1);
  exact_null_fit(d3);
  double **cov = dmatrix(1, 2, 1, 2);
  double *beta = dvector(1, 1);
  double sigma2 = -1.0;
  LinearReg_beta_cov(d3.y, d3.X, beta, &sigma2, cov, 4, 1);
  EXPECT_EQ(beta[1], 3.0);
  EXPECT_EQ(sigma2, 0.0);
  EXPECT_EQ(cov[1][1], 0.0);
  EXPECT_EQ(cov[2][2], 0.0);
  free_dvector(beta, 1, 1);
  free_dmatrix(cov, 1, 2, 1, 2);
}

TEST(StatRegressionDeathTest, CollinearColumnsStop) {
  varnosta_test::StopLeaksIgnored leaks_at_stop;
  const char *report =
      "^Numerical Recipes run-time error\\.\\.\\.\ncholdc failed\n"
      "\\.\\.\\.now exiting to system\\.\\.\\.\n$";
  std::mt19937 gen(9);
  Data d(20, 4);
  random_data(d, 1, gen);
  for (int s = 1; s <= d.n; s++) d.X[s][4] = 2.0 * d.X[s][3];
  double U, V;
  EXPECT_EXIT(LinearReg_beta_score(d.y, d.X, U, V, d.n, d.p), ::testing::ExitedWithCode(1), report);
  double *Uv = dvector(1, 2);
  double **Vv = dmatrix(1, 2, 1, 2);
  EXPECT_EXIT(LinearReg_beta_score_v2(d.y, d.X, Uv, Vv, d.n, d.p, 2), ::testing::ExitedWithCode(1),
              report);
  double *beta = dvector(1, 4);
  double **cov = dmatrix(1, 5, 1, 5);
  double sigma2;
  EXPECT_EXIT(LinearReg_beta_cov(d.y, d.X, beta, &sigma2, cov, d.n, d.p),
              ::testing::ExitedWithCode(1), report);
  free_dmatrix(cov, 1, 5, 1, 5);
  free_dvector(beta, 1, 4);
  free_dmatrix(Vv, 1, 2, 1, 2);
  free_dvector(Uv, 1, 2);
}

// ---------------------------------------------------------------------------------------------
// Incomplete gamma function
// ---------------------------------------------------------------------------------------------

TEST(StatGamma, ChiSquareOneTailExamples) {
  EXPECT_EQ(gammq(0.5, 0.0), 1.0);
  EXPECT_NEAR(gammq(0.5, 1.9207295), 0.05, 1e-8);
  EXPECT_NEAR(gammq(0.5, 1.5), 0.0832645166635504, 1e-12);
  // Q(1/2, x) = erfc(sqrt(x)); 1.4999 takes the series, 1.5 the continued fraction.
  for (double x : {1e-8, 0.1, 1.0, 1.4999, 1.5, 1.5001, 3.0, 20.0})
    EXPECT_NEAR(gammq(0.5, x), std::erfc(std::sqrt(x)), 1e-12 * std::erfc(std::sqrt(x))) << x;
  // Other shapes: Q(1, x) = exp(-x).
  for (double x : {0.5, 1.99, 2.0, 10.0}) EXPECT_NEAR(gammq(1.0, x), std::exp(-x), 1e-13) << x;
  EXPECT_LT(gammq(0.5, 800.0), 1e-300);
}

TEST(StatGamma, AgreesWithGslOverTheChiSquareRange) {
  std::vector<double> xs;
  for (double x = 0.0; x < 5.0; x += 0.001) xs.push_back(x);
  for (double x = 5.0; x <= 700.0; x += 0.25) xs.push_back(x);
  int series = 0, fraction = 0;
  for (double x : xs) {
    double ref = gsl_sf_gamma_inc_Q(0.5, x);
    if (ref <= 1e-300)
      continue;
    (x < 1.5 ? series : fraction)++;
    ASSERT_NEAR(gammq(0.5, x), ref, 1e-9 * ref) << "x=" << x;
  }
  EXPECT_GT(series, 1000);
  EXPECT_GT(fraction, 2000);
}

TEST(StatGamma, SeriesAndFractionAreComplementaryAndLogGammaIsRight) {
  for (double a : {0.5, 2.5, 7.0}) {
    double x = a + 1.0, P, Q, gln1, gln2;
    gser(&P, a, x, &gln1);
    gcf(&Q, a, x, &gln2);
    EXPECT_NEAR(P + Q, 1.0, 1e-13) << a;
    EXPECT_NEAR(Q, gsl_sf_gamma_inc_Q(a, x), 1e-12) << a;
    EXPECT_EQ(gln1, gln2);
    EXPECT_NEAR(gln1, std::lgamma(a), 1e-10) << a;
  }
  for (double xx : {0.1, 0.5, 1.0, 2.0, 3.7, 10.0, 100.0, 1000.0})
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
  EXPECT_EXIT((capture_stdout_only(), gser(&g, 0.5, 1000.0, &gln)), ExitedWithCode(1),
              "^a too large, ITMAX too small in routine gser\n$");
  EXPECT_EXIT((capture_stdout_only(), gammq(0.5, nan)), ExitedWithCode(1),
              "^A too large, ITMAX too small\n$");
  EXPECT_EXIT((capture_stdout_only(), gammq(0.5, inf)), ExitedWithCode(1),
              "^A too large, ITMAX too small\n$");
}

// ---------------------------------------------------------------------------------------------
// Random numbers
// ---------------------------------------------------------------------------------------------

TEST(StatRandom, UniformFirstValueAndNormalMoments) {
  gix = 4567;
  giy = 6789;
  giz = 8901;
  double u = runifC3();
  EXPECT_EQ(gix, 24232);
  EXPECT_EQ(giy, 16042);
  EXPECT_EQ(giz, 27343);
  EXPECT_NEAR(u, 0.2316, 5e-5);
  // Seeds stay inside their moduli and the deviates inside [0, 1).
  for (int t = 0; t < 100000; t++) {
    u = runifC3();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
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
