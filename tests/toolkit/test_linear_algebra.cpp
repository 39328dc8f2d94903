// Cholesky, LU, sweep and the a B^-1 a' products, checked against hand-worked values, GSL and
// algebraic identities on random positive definite matrices of orders 1 to 60.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/func_linear_algebra.h"

namespace {

using varnosta_test::gsl_spd_inverse;
using varnosta_test::identity;
using varnosta_test::IVec;
using varnosta_test::Mat;
using varnosta_test::max_error;
using varnosta_test::nr_report;
using varnosta_test::product;
using varnosta_test::Rows;
using varnosta_test::transpose;
using varnosta_test::Vec;

const std::vector<int> kOrders = {1, 2, 3, 4, 5, 7, 10, 16, 25, 40, 60};

Rows random_rows(int r, int c, std::mt19937 &gen) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Rows out(r, std::vector<double>(c));
  for (auto &row : out)
    for (double &x : row) x = u(gen);
  return out;
}

// G G' + I/2: condition number grows roughly with the order, to a few hundred at 60.
Rows random_spd(int n, std::mt19937 &gen) {
  Rows g = random_rows(n, n, gen), s = product(g, transpose(g));
  for (int i = 0; i < n; i++) s[i][i] += 0.5;
  return s;
}

// The symmetric matrix held in a's upper triangle.
Rows upper_whole(const Mat &a) {
  Rows out = a.rows();
  for (int i = 0; i < a.r; i++)
    for (int j = 0; j < i; j++) out[i][j] = out[j][i];
  return out;
}

// The lower triangular matrix with a's strict lower triangle and diagonal p.
Rows lower_with_diagonal(const Mat &a, const Vec &p) {
  Rows out = a.rows();
  for (int i = 0; i < a.r; i++) {
    out[i][i] = p[i + 1];
    for (int j = i + 1; j < a.r; j++) out[i][j] = 0.0;
  }
  return out;
}

// NaN in the strict lower triangle: a routine that reads it spreads NaN into what it computes,
// one that writes it leaves a number behind.
void poison_lower(const Mat &a) {
  for (int i = 1; i <= a.r; i++)
    for (int j = 1; j < i; j++) a[i][j] = std::nan("");
}

void expect_lower_poisoned(const Mat &a) {
  for (int i = 1; i <= a.r; i++)
    for (int j = 1; j < i; j++) EXPECT_TRUE(std::isnan(a[i][j])) << i << "," << j;
}

TEST(LinAlgSweep, WorkedExamples) {
  Mat one(1, 1);
  one[1][1] = 4.0;
  swp(one.m, 1, 1);
  EXPECT_EQ(one[1][1], -0.25);
  rsw(one.m, 1, 1);
  EXPECT_EQ(one[1][1], 4.0);

  const Rows A = {{4, 2, 1}, {2, 3, 0.5}, {1, 0.5, 2}};
  Mat a(A);
  poison_lower(a);
  swp(a.m, 3, 1);
  EXPECT_LT(max_error(a.rows(), {{-0.25, 0.5, 0.25}, {0, 2, 0}, {0, 0, 1.75}}, true), 1e-16);
  swp(a.m, 3, 2);
  swp(a.m, 3, 3);
  // -A^-1 by cofactors: det(A) = 14.
  const Rows minus_inv = {{-5.75 / 14, 3.5 / 14, 2.0 / 14}, {0, -0.5, 0}, {0, 0, -8.0 / 14}};
  EXPECT_LT(max_error(a.rows(), minus_inv, true), 1e-15);
  for (int k : {3, 1}) rsw(a.m, 3, k);
  // Pivot 2 alone swept: -1/3 and 2/3, 1/6 beside it, 2 - 0.25 / 3 below.
  EXPECT_LT(
      max_error(a.rows(),
                {{4 - 4.0 / 3, 2.0 / 3, 1 - 1.0 / 3}, {0, -1.0 / 3, 1.0 / 6}, {0, 0, 2 - 0.25 / 3}},
                true),
      1e-15);
  rsw(a.m, 3, 2);
  EXPECT_LT(max_error(a.rows(), A, true), 1e-14);
  expect_lower_poisoned(a);
}

// Reverse-sweeping a random subset of swept pivots in another order gives A back (a subset, since
// the reverse sweep of every pivot would also undo a sign error in row k). Sweeping every pivot
// leaves -A^-1. The strict lower triangle is never read or written.
TEST(LinAlgSweep, AllPivotsGiveMinusInverseAndReverseRestores) {
  std::mt19937 gen(11);
  for (int n : kOrders) {
    const Rows A = random_spd(n, gen);
    Rows minus_inv = gsl_spd_inverse(A);
    for (auto &row : minus_inv)
      for (double &x : row) x = -x;
    Mat a(A);
    poison_lower(a);
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), gen);
    const int r = 1 + static_cast<int>(gen() % n);
    for (int t = 0; t < r; t++) swp(a.m, n, order[t]);
    std::shuffle(order.begin(), order.begin() + r, gen);
    for (int t = 0; t < r; t++) rsw(a.m, n, order[t]);
    EXPECT_LT(max_error(a.rows(), A, true), 1e-10) << n;
    for (int k : order) swp(a.m, n, k);
    EXPECT_LT(max_error(a.rows(), minus_inv, true), 1e-10) << n;
    expect_lower_poisoned(a);
  }
}

TEST(LinAlgDeathTest, FailuresStopWithTheReport) {
  varnosta_test::StopLeaksIgnored leaks_at_stop;
  Mat a({{0.0, 1.0}, {1.0, -1.0}});
  const std::string swp_msg = "SWP failed: Trying to Sweep a non-positive pivitol!";
  const std::string rsw_msg = "RSW failed: Trying to Reverse Sweep a non-negative pivitol!";
  EXPECT_EXIT(swp(a.m, 2, 1), ::testing::ExitedWithCode(1), nr_report(swp_msg));
  EXPECT_EXIT(swp(a.m, 2, 2), ::testing::ExitedWithCode(1), nr_report(swp_msg));
  EXPECT_EXIT(rsw(a.m, 2, 1), ::testing::ExitedWithCode(1), nr_report(rsw_msg));
  a[2][2] = 3.0;
  EXPECT_EXIT(rsw(a.m, 2, 2), ::testing::ExitedWithCode(1), nr_report(rsw_msg));
  Mat b({{1, 2}, {2, 1}});
  Vec p(2);
  EXPECT_EXIT(choldc(b.m, 2, p.v), ::testing::ExitedWithCode(1), nr_report("choldc failed"));
  Mat c({{0.3, -1.2, 4.0}, {0, 0, 0}, {2.0, 0.7, -0.1}});
  EXPECT_EXIT(invv(c.m, 3), ::testing::ExitedWithCode(1), nr_report("Sigmatrix in ludcmp"));
}

TEST(LinAlgCholesky, FactorSolveInverseOnRandomMatrices) {
  std::mt19937 gen(21);
  for (int n : kOrders) {
    const Rows A = random_spd(n, gen);
    Mat a(A);
    Vec p(n), x(n), bb(n);
    choldc(a.m, n, p.v);
    const Rows L = lower_with_diagonal(a, p);
    EXPECT_EQ(max_error(a.rows(), A, true), 0.0);  // upper triangle kept
    EXPECT_LT(max_error(product(L, transpose(L)), A), 1e-12 * n) << n;
    const Rows b = random_rows(n, 1, gen);
    for (int i = 1; i <= n; i++) bb[i] = b[i - 1][0];
    cholsl(a.m, n, p.v, bb.v, x.v);
    cholsl(a.m, n, p.v, bb.v, bb.v);  // solution written over the right-hand side
    EXPECT_EQ(x.values(), bb.values());
    EXPECT_LT(max_error(product(A, transpose({x.values()})), b), 1e-10) << n;
    cholinv(a.m, p.v, n);
    EXPECT_LT(max_error(product(A, upper_whole(a)), identity(n)), 1e-10) << n;
    // p and the strict lower triangle now hold L^-1.
    EXPECT_LT(max_error(product(lower_with_diagonal(a, p), L), identity(n)), 1e-10) << n;
  }
}

// The factor in the order the recurrence is written, one entry at a time: (i, j) subtracts
// L[i][k] L[j][k] for k = i - 1 down to 1. The routines under test must give these very bits.
Rows plain_cholesky(Rows a, std::vector<double> &d) {
  const size_t n = a.size();
  d.assign(n, 0.0);
  for (size_t i = 0; i < n; i++)
    for (size_t j = i; j < n; j++) {
      double sum = a[i][j];
      for (size_t k = i; k-- > 0;) sum -= a[i][k] * a[j][k];
      if (j == i)
        d[i] = std::sqrt(sum);
      else
        a[j][i] = sum / d[i];
    }
  return a;
}

// choldcPositive factors in place with choldc's arithmetic and gives the verdict without a
// copy; cholinvDiagonal gives each diagonal entry of the inverse from the factor alone, the
// same numbers cholinv forms with the whole inverse, and close to GSL's inverse.
TEST(LinAlgCholesky, FactorOnceAndDiagonalOfTheInverse) {
  std::mt19937 gen(5);
  for (int n : kOrders) {
    const Rows A = random_spd(n, gen);
    Mat a(A), b(A);
    Vec p(n), pb(n), x(n);
    std::vector<double> d;
    const Rows plain = plain_cholesky(A, d);
    ASSERT_TRUE(choldcPositive(a.m, n, p.v));
    choldc(b.m, n, pb.v);
    EXPECT_EQ(a.rows(), plain) << n;
    EXPECT_EQ(b.rows(), plain) << n;
    EXPECT_EQ(p.values(), d) << n;
    std::vector<double> diagonal(n + 1);
    for (int i = 1; i <= n; i++) diagonal[i] = cholinvDiagonal(a.m, p.v, n, i, x.v);
    EXPECT_EQ(a.rows(), plain) << n;  // the factor is only read
    EXPECT_EQ(p.values(), d) << n;
    cholinv(b.m, pb.v, n);
    const Rows inv = gsl_spd_inverse(A);
    for (int i = 1; i <= n; i++) {
      EXPECT_EQ(diagonal[i], b[i][i]) << n << ", " << i;
      EXPECT_NEAR(diagonal[i] / inv[i - 1][i - 1], 1.0, 1e-10) << n << ", " << i;
    }
  }
  Mat c({{1, 2}, {7, 1}});
  Vec p{0.0, -5.0};
  EXPECT_FALSE(choldcPositive(c.m, 2, p.v));
  EXPECT_EQ(p.values(), (std::vector<double>{1.0, -5.0}));  // stopped at step 2
  EXPECT_EQ(c[1][2], 2.0);
  EXPECT_EQ(c[2][2], 1.0);
  const Rows A = random_spd(70, gen);  // fails at step 66, in the third strip of columns
  Mat d(A);
  Vec pd(70);
  d[66][66] = -1.0;
  EXPECT_FALSE(choldcPositive(d.m, 70, pd.v));
  std::vector<double> plain_d;
  plain_cholesky(A, plain_d);
  for (int i = 1; i < 66; i++) EXPECT_EQ(pd[i], plain_d[i - 1]) << i;
  for (int i = 1; i <= 70; i++)
    for (int j = i; j <= 70; j++)
      ASSERT_EQ(d[i][j], i == 66 && j == 66 ? -1.0 : A[i - 1][j - 1]) << i << ", " << j;
  EXPECT_TRUE(choldcPositive(c.m, 0, p.v));
}

TEST(LinAlgCholesky, CheckPositiveNeverTouchesTheMatrix) {
  Mat a({{1, 2}, {7, 1}});  // a[2][1] is the caller's data, not the mirror of a[1][2]
  Vec p{0.0, -5.0};
  EXPECT_FALSE(choldcCheckPositive(a.m, 2, p.v));
  EXPECT_EQ(p.values(), (std::vector<double>{1.0, -5.0}));  // stopped at step 2
  a[2][2] = 5.0;  // now [[1, 2], [2, 5]] = L L' with L = [[1, 0], [2, 1]]
  EXPECT_TRUE(choldcCheckPositive(a.m, 2, p.v));
  EXPECT_EQ(p.values(), (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(a.rows(), (Rows{{1, 2}, {7, 5}}));
  a[2][2] = 4.0;  // a pivot sum of exactly 0 fails
  EXPECT_FALSE(choldcCheckPositive(a.m, 2, p.v));
  EXPECT_TRUE(choldcCheckPositive(a.m, 0, p.v));
}

// The pivot sum of [[1, 1], [1, 1 + e]] is exactly e (both steps are exact in binary), so the
// relative floor of 1e-10 splits e = 2^-40 (singular) from e = 2^-30 (usable). An intercept
// beside a constant covariate 0.3 is collinear, but rounding leaves its second pivot positive
// or negative depending on the rows; the check calls it singular either way.
TEST(LinAlgCholesky, CheckNonsingularRefusesPivotsLostToRounding) {
  Vec p(2);
  Mat a({{1, 1}, {1, 1 + std::ldexp(1.0, -40)}});
  EXPECT_TRUE(choldcCheckPositive(a.m, 2, p.v));
  EXPECT_FALSE(choldcCheckNonsingular(a.m, 2, p.v));
  a[2][2] = 1 + std::ldexp(1.0, -30);
  EXPECT_TRUE(choldcCheckNonsingular(a.m, 2, p.v));
  for (int rows : {3, 7, 30, 101}) {
    const double n = rows, c = 0.3;
    Mat wtw({{n, n * c}, {n * c, 0.0}});
    for (int i = 0; i < rows; i++) wtw[2][2] += c * c;  // summed row by row, as a cross product
    EXPECT_FALSE(choldcCheckNonsingular(wtw.m, 2, p.v)) << rows;
  }
}

// invv runs ludcmp and the substitution of lubksb on every unit vector; lubksb on its own is
// checked through the same solves.
TEST(LinAlgLU, InverseOfGeneralMatrices) {
  std::mt19937 gen(31);
  for (int n : kOrders) {
    Rows A = random_rows(n, n, gen);
    for (int i = 0; i < n; i++) A[i][i] += 2.0;  // keep it away from singular
    Mat a(A), lu(A);
    invv(a.m, n);
    EXPECT_LT(max_error(product(A, a.rows()), identity(n)), 1e-10) << n;
    EXPECT_LT(max_error(product(a.rows(), A), identity(n)), 1e-10) << n;
    IVec indx(n);
    Vec col(n);
    ludcmp(lu.m, n, indx.v);
    for (int i = 1; i <= n; i++) col[i] = i == n ? 1.0 : 0.0;
    lubksb(lu.m, n, indx.v, col.v);
    for (int i = 1; i <= n; i++) EXPECT_EQ(col[i], a[i][n]);
  }
}

TEST(LinAlgLU, TiesAndSingularMatrices) {
  // [[1, 1], [2, 1]]: scaled candidates 1 * 1 and 2 / 2 tie, so row 2 becomes the pivot.
  Mat a({{1, 1}, {2, 1}});
  IVec indx(2);
  ludcmp(a.m, 2, indx.v);
  EXPECT_EQ(indx.values(), (std::vector<int>{2, 2}));
  EXPECT_EQ(a.rows(), (Rows{{2, 1}, {0.5, 0.5}}));
  // Singular without a zero row: the zero pivot becomes 1e-40, so entries are huge but finite.
  Mat s({{1, 2}, {2, 4}});
  invv(s.m, 2);
  for (const auto &row : s.rows())
    for (double x : row) EXPECT_TRUE(std::isfinite(x) && std::fabs(x) > 1e39) << x;
}

TEST(LinAlgProducts, AgainstExplicitInverse) {
  std::mt19937 gen(41);
  for (int n : kOrders) {
    for (int m : {1, 3, 9}) {
      const Rows Bw = random_spd(n, gen), aw = random_rows(m, n, gen), uw = random_rows(n, 1, gen);
      const Rows aBinv = product(aw, gsl_spd_inverse(Bw));
      Mat B(Bw), Bfactor(Bw), B2(Bw), a(aw), out(m, m), outM(m, m), u(transpose(uw));
      Vec p(n), outV(m);
      choldc(Bfactor.m, n, p.v);
      poison_lower(out);
      flag_positiveQ1 = false;
      cal_ainvBa(a.m, B.m, n, m, out.m);
      EXPECT_TRUE(flag_positiveQ1);
      expect_lower_poisoned(out);
      EXPECT_EQ(B.rows(), Bfactor.rows());  // upper triangle kept, the factor below it
      EXPECT_LT(max_error(out.rows(), product(aBinv, transpose(aw)), true), 1e-10) << n;
      flag_positiveQ1 = false;
      cal_ainvBa_UV(a.m, B2.m, u[1], n, m, outM.m, outV.v);
      EXPECT_TRUE(flag_positiveQ1);
      EXPECT_LT(max_error(outM.rows(), product(aBinv, transpose(aw))), 1e-10) << n;
      EXPECT_LT(max_error(transpose({outV.values()}), product(aBinv, uw)), 1e-10) << n;
      EXPECT_EQ(outM.rows(), transpose(outM.rows()));
      EXPECT_EQ(max_error(out.rows(), outM.rows(), true), 0.0);
      // Factored once in place: the same factor and the very same products.
      Mat B3(Bw), B4(Bw), out3(m, m), outM4(m, m);
      Vec outV4(m);
      poison_lower(out3);
      flag_positiveQ1 = false;
      cal_ainvBa_once(a.m, B3.m, n, m, out3.m);
      EXPECT_TRUE(flag_positiveQ1);
      expect_lower_poisoned(out3);
      EXPECT_EQ(B3.rows(), Bfactor.rows());
      EXPECT_EQ(max_error(out3.rows(), out.rows(), true), 0.0) << n;
      flag_positiveQ1 = false;
      cal_ainvBa_UV_once(a.m, B4.m, u[1], n, m, outM4.m, outV4.v);
      EXPECT_TRUE(flag_positiveQ1);
      EXPECT_EQ(outM4.rows(), outM.rows()) << n;
      EXPECT_EQ(outV4.values(), outV.values()) << n;
    }
  }
}

TEST(LinAlgProducts, NotPositiveDefiniteOrEmpty) {
  Mat B({{1, 2}, {7, 1}}), a({{0.3, -0.8}, {1.1, 0.4}}), out({{5, 6}, {7, 8}});
  Vec u{1.0, 1.0}, outV{-3.0, -3.0};
  flag_positiveQ1 = true;
  cal_ainvBa(a.m, B.m, 2, 2, out.m);
  EXPECT_FALSE(flag_positiveQ1);
  flag_positiveQ1 = true;
  cal_ainvBa_UV(a.m, B.m, u.v, 2, 2, out.m, outV.v);
  EXPECT_FALSE(flag_positiveQ1);
  EXPECT_EQ(B.rows(), (Rows{{1, 2}, {7, 1}}));
  EXPECT_EQ(out.rows(), (Rows{{5, 6}, {7, 8}}));
  EXPECT_EQ(outV.values(), (std::vector<double>{-3, -3}));
  flag_positiveQ1 = true;
  cal_ainvBa_once(a.m, B.m, 2, 2, out.m);
  EXPECT_FALSE(flag_positiveQ1);
  flag_positiveQ1 = true;
  cal_ainvBa_UV_once(a.m, B.m, u.v, 2, 2, out.m, outV.v);
  EXPECT_FALSE(flag_positiveQ1);
  EXPECT_EQ(B[1][2], 2.0);  // the upper triangle kept
  EXPECT_EQ(B[2][2], 1.0);
  EXPECT_EQ(out.rows(), (Rows{{5, 6}, {7, 8}}));
  EXPECT_EQ(outV.values(), (std::vector<double>{-3, -3}));
  // No nuisance columns (n = 0): the empty matrix is positive definite, the products zero.
  Mat none(0, 0), a0(2, 0);
  Vec u0(0);
  flag_positiveQ1 = false;
  cal_ainvBa_UV(a0.m, none.m, u0.v, 0, 2, out.m, outV.v);
  EXPECT_TRUE(flag_positiveQ1);
  EXPECT_EQ(outV.values(), (std::vector<double>{0, 0}));
  EXPECT_EQ(out.rows(), (Rows{{0, 0}, {0, 0}}));
  flag_positiveQ1 = false;
  cal_ainvBa(a0.m, none.m, 0, 2, out.m);
  EXPECT_TRUE(flag_positiveQ1);
}

}  // namespace
