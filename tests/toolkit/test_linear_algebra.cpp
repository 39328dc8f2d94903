// Cholesky, LU, sweep and the a B^-1 a' products, checked against hand-worked values, GSL and
// algebraic identities on random positive definite matrices of orders 1 to 60.
#include <gsl/gsl_linalg.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/func_linear_algebra.h"

namespace {

// An owned [1..r][1..c] matrix from the toolkit allocator.
struct Mat {
  int r, c;
  double **m;
  Mat(int rows, int cols) : r(rows), c(cols), m(dmatrix(1, rows, 1, cols)) {}
  ~Mat() { free_dmatrix(m, 1, r, 1, c); }
  Mat(const Mat &) = delete;
  Mat &operator=(const Mat &) = delete;
  double *operator[](int i) const { return m[i]; }
};

struct Vec {
  int n;
  double *v;
  explicit Vec(int size) : n(size), v(dvector(1, size)) {}
  ~Vec() { free_dvector(v, 1, n); }
  Vec(const Vec &) = delete;
  Vec &operator=(const Vec &) = delete;
  double &operator[](int i) const { return v[i]; }
};

// Recognisable values for a triangle that must not be touched.
double sentinel(int i, int j) { return 1000.0 + 100.0 * i + j; }

void fill_lower_sentinels(const Mat &a) {
  for (int i = 1; i <= a.r; i++)
    for (int j = 1; j < i; j++) a[i][j] = sentinel(i, j);
}

void expect_lower_sentinels(const Mat &a) {
  for (int i = 1; i <= a.r; i++)
    for (int j = 1; j < i; j++) EXPECT_EQ(a[i][j], sentinel(i, j)) << i << "," << j;
}

// Random symmetric positive definite matrix G G' + I/2 in both triangles (condition number
// grows roughly with the order, to a few hundred at 60).
void random_spd(const Mat &a, std::mt19937 &gen) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  int n = a.r;
  std::vector<double> g(n * n);
  for (double &x : g) x = u(gen);
  for (int i = 1; i <= n; i++) {
    for (int j = 1; j <= i; j++) {
      double s = (i == j) ? 0.5 : 0.0;
      for (int k = 0; k < n; k++) s += g[(i - 1) * n + k] * g[(j - 1) * n + k];
      a[i][j] = s;
      a[j][i] = s;
    }
  }
}

void random_fill(const Mat &a, std::mt19937 &gen) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 1; i <= a.r; i++)
    for (int j = 1; j <= a.c; j++) a[i][j] = u(gen);
}

// Independent Cholesky factor (invert = false: L, row-major with the upper part holding L')
// or inverse (invert = true) of a symmetric positive definite matrix, upper triangle read, by
// GSL.
std::vector<double> gsl_spd(const Mat &a, bool invert) {
  int n = a.r;
  gsl_matrix *g = gsl_matrix_alloc(n, n);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) gsl_matrix_set(g, i - 1, j - 1, i <= j ? a[i][j] : a[j][i]);
  gsl_linalg_cholesky_decomp1(g);
  if (invert)
    gsl_linalg_cholesky_invert(g);
  std::vector<double> out(g->data, g->data + n * n);
  gsl_matrix_free(g);
  return out;
}

std::vector<double> gsl_spd_inverse(const Mat &a) { return gsl_spd(a, true); }

// max |A B - I| with A and B read whole.
double identity_error(const Mat &a, const Mat &b) {
  double err = 0.0;
  for (int i = 1; i <= a.r; i++) {
    for (int j = 1; j <= a.r; j++) {
      double s = 0.0;
      for (int k = 1; k <= a.r; k++) s += a[i][k] * b[k][j];
      err = std::max(err, std::fabs(s - (i == j ? 1.0 : 0.0)));
    }
  }
  return err;
}

void copy_whole(const Mat &from, const Mat &to) {
  for (int i = 1; i <= from.r; i++)
    for (int j = 1; j <= from.c; j++) to[i][j] = from[i][j];
}

// Symmetrises the upper triangle of a into a whole matrix.
void symmetric_from_upper(const Mat &a, const Mat &whole) {
  for (int i = 1; i <= a.r; i++)
    for (int j = 1; j <= a.r; j++) whole[i][j] = i <= j ? a[i][j] : a[j][i];
}

const std::vector<int> kOrders = {1, 2, 3, 4, 5, 7, 10, 16, 25, 40, 60};

// ---------------------------------------------------------------------------------------------
// Sweep operator
// ---------------------------------------------------------------------------------------------

TEST(LinAlgSweep, WorkedExampleOnePivotThenAllAndBack) {
  const double A[3][3] = {{4, 2, 1}, {2, 3, 0.5}, {1, 0.5, 2}};
  Mat a(3, 3);
  for (int i = 1; i <= 3; i++)
    for (int j = i; j <= 3; j++) a[i][j] = A[i - 1][j - 1];
  fill_lower_sentinels(a);

  swp(a.m, 3, 1);
  EXPECT_DOUBLE_EQ(a[1][1], -0.25);
  EXPECT_DOUBLE_EQ(a[1][2], 0.5);
  EXPECT_DOUBLE_EQ(a[1][3], 0.25);
  EXPECT_DOUBLE_EQ(a[2][2], 2.0);
  EXPECT_DOUBLE_EQ(a[2][3], 0.0);
  EXPECT_DOUBLE_EQ(a[3][3], 1.75);

  swp(a.m, 3, 2);
  swp(a.m, 3, 3);
  // A^-1 by cofactors: det(A) = 14.
  const double inv[3][3] = {
      {5.75 / 14, -3.5 / 14, -2.0 / 14}, {-3.5 / 14, 7.0 / 14, 0.0}, {-2.0 / 14, 0.0, 8.0 / 14}};
  for (int i = 1; i <= 3; i++)
    for (int j = i; j <= 3; j++) EXPECT_NEAR(a[i][j], -inv[i - 1][j - 1], 1e-15);

  rsw(a.m, 3, 3);
  rsw(a.m, 3, 1);
  rsw(a.m, 3, 2);
  for (int i = 1; i <= 3; i++)
    for (int j = i; j <= 3; j++) EXPECT_NEAR(a[i][j], A[i - 1][j - 1], 1e-14);
  expect_lower_sentinels(a);
}

TEST(LinAlgSweep, OneByOne) {
  Mat a(1, 1);
  a[1][1] = 4.0;
  swp(a.m, 1, 1);
  EXPECT_EQ(a[1][1], -0.25);
  rsw(a.m, 1, 1);
  EXPECT_EQ(a[1][1], 4.0);
}

TEST(LinAlgSweep, AllPivotsGiveMinusInverseInAnyOrder) {
  std::mt19937 gen(11);
  for (int n : kOrders) {
    Mat a(n, n);
    random_spd(a, gen);
    std::vector<double> inv = gsl_spd_inverse(a);
    fill_lower_sentinels(a);
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), gen);
    for (int k : order) swp(a.m, n, k);
    for (int i = 1; i <= n; i++)
      for (int j = i; j <= n; j++)
        EXPECT_NEAR(a[i][j], -inv[(i - 1) * n + (j - 1)], 1e-10) << "n=" << n;
    expect_lower_sentinels(a);
  }
}

TEST(LinAlgSweep, ReverseSweepRestoresInAnyOrder) {
  std::mt19937 gen(12);
  for (int n : kOrders) {
    Mat a(n, n), orig(n, n);
    random_spd(a, gen);
    copy_whole(a, orig);
    fill_lower_sentinels(a);
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), gen);
    int r = 1 + static_cast<int>(gen() % n);  // sweep a random subset of r pivots
    for (int t = 0; t < r; t++) swp(a.m, n, order[t]);
    std::shuffle(order.begin(), order.begin() + r, gen);
    for (int t = 0; t < r; t++) rsw(a.m, n, order[t]);
    for (int i = 1; i <= n; i++)
      for (int j = i; j <= n; j++)
        EXPECT_NEAR(a[i][j], orig[i][j], 1e-10 * (1.0 + std::fabs(orig[i][j]))) << "n=" << n;
    expect_lower_sentinels(a);
  }
}

TEST(LinAlgSweep, LeadingPivotsGiveSchurBlocks) {
  std::mt19937 gen(13);
  const int n = 6, r = 2;
  Mat a(n, n), orig(n, n);
  random_spd(a, gen);
  copy_whole(a, orig);
  for (int k = 1; k <= r; k++) swp(a.m, n, k);
  // A11^-1 of the 2 x 2 block in closed form.
  double det = orig[1][1] * orig[2][2] - orig[1][2] * orig[1][2];
  double i11[3][3] = {{0, 0, 0},
                      {0, orig[2][2] / det, -orig[1][2] / det},
                      {0, -orig[1][2] / det, orig[1][1] / det}};
  for (int i = 1; i <= r; i++)
    for (int j = i; j <= r; j++) EXPECT_NEAR(a[i][j], -i11[i][j], 1e-12);
  for (int i = 1; i <= r; i++) {
    for (int j = r + 1; j <= n; j++) {
      double expect = i11[i][1] * orig[1][j] + i11[i][2] * orig[2][j];
      EXPECT_NEAR(a[i][j], expect, 1e-12);
    }
  }
  for (int i = r + 1; i <= n; i++) {
    for (int j = i; j <= n; j++) {
      double q = 0.0;
      for (int s = 1; s <= r; s++)
        for (int t = 1; t <= r; t++) q += orig[i][s] * i11[s][t] * orig[t][j];
      EXPECT_NEAR(a[i][j], orig[i][j] - q, 1e-12);
    }
  }
}

using LinAlgSweepDeathTest = ::testing::Test;

std::string report(const char *message) {
  return std::string("^Numerical Recipes run-time error\\.\\.\\.\n") + message +
         "\n\\.\\.\\.now exiting to system\\.\\.\\.\n$";
}

TEST(LinAlgSweepDeathTest, NonPositivePivotsStop) {
  varnosta_test::StopLeaksIgnored leaks_at_stop;
  Mat a(2, 2);
  a[1][1] = 0.0;
  a[1][2] = 1.0;
  a[2][2] = -1.0;
  EXPECT_EXIT(swp(a.m, 2, 1), ::testing::ExitedWithCode(1),
              report("SWP failed: Trying to Sweep a non-positive pivitol!"));
  EXPECT_EXIT(swp(a.m, 2, 2), ::testing::ExitedWithCode(1),
              report("SWP failed: Trying to Sweep a non-positive pivitol!"));
  EXPECT_EXIT(rsw(a.m, 2, 1), ::testing::ExitedWithCode(1),
              report("RSW failed: Trying to Reverse Sweep a non-negative pivitol!"));
  a[2][2] = 3.0;
  EXPECT_EXIT(rsw(a.m, 2, 2), ::testing::ExitedWithCode(1),
              report("RSW failed: Trying to Reverse Sweep a non-negative pivitol!"));
}

// ---------------------------------------------------------------------------------------------
// Cholesky routines
// ---------------------------------------------------------------------------------------------

TEST(LinAlgCholesky, FactorSolveInverseOnRandomMatrices) {
  std::mt19937 gen(21);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n : kOrders) {
    Mat a(n, n), orig(n, n), inv(n, n);
    random_spd(a, gen);
    copy_whole(a, orig);
    Vec p(n), b(n), x(n), bb(n);
    choldc(a.m, n, p.v);
    // Upper triangle kept; L L' rebuilds A.
    for (int i = 1; i <= n; i++) {
      for (int j = i; j <= n; j++) {
        EXPECT_EQ(a[i][j], orig[i][j]);
        double s = p[i] * (i == j ? p[j] : a[j][i]);
        for (int k = 1; k < i; k++) s += a[i][k] * a[j][k];
        EXPECT_NEAR(s, orig[i][j], 1e-12 * n) << "n=" << n;
      }
    }
    for (int i = 1; i <= n; i++) bb[i] = b[i] = u(gen);
    cholsl(a.m, n, p.v, b.v, x.v);
    cholsl(a.m, n, p.v, bb.v, bb.v);  // solution written over the right-hand side
    for (int i = 1; i <= n; i++) {
      double s = 0.0;
      for (int k = 1; k <= n; k++) s += orig[i][k] * x[k];
      EXPECT_NEAR(s, b[i], 1e-10);
      EXPECT_EQ(bb[i], x[i]);
    }
    Vec ldiag(n);
    for (int i = 1; i <= n; i++) ldiag[i] = p[i];
    Mat lower(n, n);  // L, for checking L^-1 afterwards
    for (int i = 1; i <= n; i++)
      for (int j = 1; j <= n; j++) lower[i][j] = i == j ? p[i] : (i > j ? a[i][j] : 0.0);
    cholinv(a.m, p.v, n);
    symmetric_from_upper(a, inv);
    EXPECT_LT(identity_error(orig, inv), 1e-10) << "n=" << n;
    for (int i = 1; i <= n; i++) EXPECT_DOUBLE_EQ(p[i], 1.0 / ldiag[i]);
    for (int i = 1; i <= n; i++) {  // (L^-1 L)[i][j] for j <= i
      for (int j = 1; j <= i; j++) {
        double s = p[i] * lower[i][j];
        for (int k = j; k < i; k++) s += a[i][k] * lower[k][j];
        EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-10);
      }
    }
  }
}

TEST(LinAlgCholesky, CheckPositiveNeverTouchesTheMatrix) {
  Mat a(2, 2);
  a[1][1] = 1.0;
  a[1][2] = 2.0;
  a[2][1] = 7.0;  // caller's data, not the mirror of a[1][2]
  a[2][2] = 1.0;
  Vec p(2);
  p[2] = -5.0;
  EXPECT_FALSE(choldcCheckPositive(a.m, 2, p.v));
  EXPECT_EQ(p[1], 1.0);
  EXPECT_EQ(p[2], -5.0);
  EXPECT_EQ(a[1][1], 1.0);
  EXPECT_EQ(a[1][2], 2.0);
  EXPECT_EQ(a[2][1], 7.0);
  EXPECT_EQ(a[2][2], 1.0);

  a[2][2] = 5.0;  // now [[1, 2], [2, 5]] = L L' with L = [[1, 0], [2, 1]]
  EXPECT_TRUE(choldcCheckPositive(a.m, 2, p.v));
  EXPECT_EQ(p[1], 1.0);
  EXPECT_EQ(p[2], 1.0);
  EXPECT_EQ(a[2][1], 7.0);
  EXPECT_TRUE(choldcCheckPositive(a.m, 0, p.v));
}

TEST(LinAlgCholeskyDeathTest, NotPositiveDefiniteStops) {
  varnosta_test::StopLeaksIgnored leaks_at_stop;
  Mat a(2, 2);
  a[1][1] = 1.0;
  a[1][2] = 2.0;
  a[2][2] = 1.0;
  Vec p(2);
  EXPECT_EXIT(choldc(a.m, 2, p.v), ::testing::ExitedWithCode(1), report("choldc failed"));
}

// ---------------------------------------------------------------------------------------------
// LU decomposition and inverse
// ---------------------------------------------------------------------------------------------

TEST(LinAlgLU, InverseOfPositiveDefiniteAndGeneralMatrices) {
  std::mt19937 gen(31);
  for (int n : kOrders) {
    for (int general = 0; general < 2; general++) {
      Mat a(n, n), orig(n, n);
      if (general != 0) {
        random_fill(a, gen);
        for (int i = 1; i <= n; i++) a[i][i] += 2.0;  // keep it away from singular
      } else {
        random_spd(a, gen);
      }
      copy_whole(a, orig);
      invv(a.m, n);
      EXPECT_LT(identity_error(orig, a), 1e-10) << "n=" << n;
      EXPECT_LT(identity_error(a, orig), 1e-10) << "n=" << n;
    }
  }
}

TEST(LinAlgLU, DecomposeThenSubstituteSolves) {
  std::mt19937 gen(32);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const int n = 8;
  Mat a(n, n), orig(n, n);
  random_fill(a, gen);
  copy_whole(a, orig);
  Vec b(n), rhs(n);
  for (int i = 1; i <= n; i++) rhs[i] = b[i] = u(gen);
  b[1] = rhs[1] = 0.0;  // a leading zero exercises the skip of the forward substitution
  int *indx = ivector(1, n);
  ludcmp(a.m, n, indx);
  lubksb(a.m, n, indx, b.v);
  for (int i = 1; i <= n; i++) {
    double s = 0.0;
    for (int k = 1; k <= n; k++) s += orig[i][k] * b[k];
    EXPECT_NEAR(s, rhs[i], 1e-12);
  }
  free_ivector(indx, 1, n);
}

TEST(LinAlgLU, EqualScaledCandidatesPivotOnTheLastRow) {
  // [[1, 1], [2, 1]]: scaled candidates 1 * 1 and 2 / 2 tie, so row 2 becomes the pivot.
  Mat a(2, 2);
  a[1][1] = 1.0;
  a[1][2] = 1.0;
  a[2][1] = 2.0;
  a[2][2] = 1.0;
  int *indx = ivector(1, 2);
  ludcmp(a.m, 2, indx);
  EXPECT_EQ(indx[1], 2);
  EXPECT_EQ(indx[2], 2);
  EXPECT_EQ(a[1][1], 2.0);
  EXPECT_EQ(a[1][2], 1.0);
  EXPECT_EQ(a[2][1], 0.5);
  EXPECT_EQ(a[2][2], 0.5);
  free_ivector(indx, 1, 2);
}

TEST(LinAlgLU, SingularWithoutZeroRowGivesHugeEntries) {
  Mat a(2, 2);
  a[1][1] = 1.0;
  a[1][2] = 2.0;
  a[2][1] = 2.0;
  a[2][2] = 4.0;
  invv(a.m, 2);
  // The zero pivot is replaced by 1e-40, so entries are huge but finite.
  for (int i = 1; i <= 2; i++) {
    for (int j = 1; j <= 2; j++) {
      EXPECT_TRUE(std::isfinite(a[i][j]));
      EXPECT_GT(std::fabs(a[i][j]), 1e39);
    }
  }
}

TEST(LinAlgLUDeathTest, ZeroRowStops) {
  varnosta_test::StopLeaksIgnored leaks_at_stop;
  Mat a(3, 3);
  std::mt19937 gen(33);
  random_fill(a, gen);
  for (int j = 1; j <= 3; j++) a[2][j] = 0.0;
  EXPECT_EXIT(invv(a.m, 3), ::testing::ExitedWithCode(1), report("Sigmatrix in ludcmp"));
}

// ---------------------------------------------------------------------------------------------
// Products a B^-1 a' and a B^-1 u
// ---------------------------------------------------------------------------------------------

TEST(LinAlgProducts, AgainstExplicitInverse) {
  std::mt19937 gen(41);
  std::uniform_real_distribution<double> unif(-1.0, 1.0);
  for (int n : kOrders) {
    for (int m : {1, 3}) {
      Mat B(n, n), Bkeep(n, n), a(m, n), out(m, m), outM(m, m);
      random_spd(B, gen);
      copy_whole(B, Bkeep);
      random_fill(a, gen);
      Vec u(n), outV(m);
      for (int i = 1; i <= n; i++) u[i] = unif(gen);
      std::vector<double> inv = gsl_spd_inverse(B);
      std::vector<double> factor = gsl_spd(B, false);
      fill_lower_sentinels(out);

      flag_positiveQ1 = false;
      cal_ainvBa(a.m, B.m, n, m, out.m);
      EXPECT_TRUE(flag_positiveQ1);
      expect_lower_sentinels(out);
      // B keeps its upper triangle and holds its Cholesky factor below.
      for (int i = 1; i <= n; i++) {
        for (int j = 1; j <= n; j++) {
          if (i <= j) {
            EXPECT_EQ(B[i][j], Bkeep[i][j]);
          } else {
            EXPECT_NEAR(B[i][j], factor[(i - 1) * n + (j - 1)], 1e-12);
          }
        }
      }
      copy_whole(Bkeep, B);
      flag_positiveQ1 = false;
      cal_ainvBa_UV(a.m, B.m, u.v, n, m, outM.m, outV.v);
      EXPECT_TRUE(flag_positiveQ1);

      for (int r = 1; r <= m; r++) {
        double v = 0.0;
        for (int i = 1; i <= n; i++)
          for (int j = 1; j <= n; j++) v += a[r][i] * inv[(i - 1) * n + (j - 1)] * u[j];
        EXPECT_NEAR(outV[r], v, 1e-10 * (1.0 + std::fabs(v))) << "n=" << n;
        for (int s = 1; s <= m; s++) {
          double q = 0.0;
          for (int i = 1; i <= n; i++)
            for (int j = 1; j <= n; j++) q += a[r][i] * inv[(i - 1) * n + (j - 1)] * a[s][j];
          EXPECT_NEAR(outM[r][s], q, 1e-10 * (1.0 + std::fabs(q))) << "n=" << n;
          if (r <= s) {
            EXPECT_EQ(out[r][s], outM[r][s]);
          }
          EXPECT_EQ(outM[r][s], outM[s][r]);
        }
      }
    }
  }
}

TEST(LinAlgProducts, IdentityGivesOuterProductAndZeroFactor) {
  const int n = 3, m = 2;
  Mat B(n, n), a(m, n), out(m, m);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) B[i][j] = i == j ? 1.0 : (i > j ? 9.0 : 0.0);
  const double av[2][3] = {{1, 2, 3}, {-1, 0.5, 2}};
  for (int c = 1; c <= m; c++)
    for (int i = 1; i <= n; i++) a[c][i] = av[c - 1][i - 1];
  cal_ainvBa(a.m, B.m, n, m, out.m);
  EXPECT_TRUE(flag_positiveQ1);
  EXPECT_EQ(out[1][1], 14.0);
  EXPECT_EQ(out[1][2], 6.0);
  EXPECT_EQ(out[2][2], 5.25);
  for (int i = 2; i <= n; i++)
    for (int j = 1; j < i; j++) EXPECT_EQ(B[i][j], 0.0);
}

TEST(LinAlgProducts, NotPositiveDefiniteChangesNothing) {
  const int n = 2, m = 2;
  Mat B(n, n), a(m, n), out(m, m);
  B[1][1] = 1.0;
  B[1][2] = 2.0;
  B[2][1] = 7.0;
  B[2][2] = 1.0;
  std::mt19937 gen(42);
  random_fill(a, gen);
  for (int r = 1; r <= m; r++)
    for (int s = 1; s <= m; s++) out[r][s] = sentinel(r, s);
  Vec u(n), outV(m);
  u[1] = u[2] = 1.0;
  outV[1] = outV[2] = -3.0;
  auto unchanged = [&]() {
    EXPECT_FALSE(flag_positiveQ1);
    EXPECT_EQ(B[1][1], 1.0);
    EXPECT_EQ(B[1][2], 2.0);
    EXPECT_EQ(B[2][1], 7.0);
    EXPECT_EQ(B[2][2], 1.0);
    for (int r = 1; r <= m; r++) {
      EXPECT_EQ(outV[r], -3.0);
      for (int s = 1; s <= m; s++) EXPECT_EQ(out[r][s], sentinel(r, s));
    }
  };
  flag_positiveQ1 = true;
  cal_ainvBa(a.m, B.m, n, m, out.m);
  unchanged();
  flag_positiveQ1 = true;
  cal_ainvBa_UV(a.m, B.m, u.v, n, m, out.m, outV.v);
  unchanged();
}

TEST(LinAlgProducts, EmptyNuisanceGivesZeroProducts) {
  const int m = 2;
  Mat B(0, 0), a(m, 0), out(m, m);
  Vec u(0), outV(m);
  for (int r = 1; r <= m; r++) {
    outV[r] = 5.0;
    for (int s = 1; s <= m; s++) out[r][s] = 5.0;
  }
  flag_positiveQ1 = false;
  cal_ainvBa_UV(a.m, B.m, u.v, 0, m, out.m, outV.v);
  EXPECT_TRUE(flag_positiveQ1);
  for (int r = 1; r <= m; r++) {
    EXPECT_EQ(outV[r], 0.0);
    for (int s = 1; s <= m; s++) EXPECT_EQ(out[r][s], 0.0);
  }
  flag_positiveQ1 = false;
  cal_ainvBa(a.m, B.m, 0, m, out.m);
  EXPECT_TRUE(flag_positiveQ1);
}

}  // namespace
