// Helpers shared by the unit tests.
#ifndef VARNOSTA_TESTS_TEST_SUPPORT_H
#define VARNOSTA_TESTS_TEST_SUPPORT_H

#include <gsl/gsl_linalg.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <initializer_list>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "toolkit/func_linear_algebra.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace varnosta_test {

// A file path in the test's temporary directory that no other test (CTest runs them in
// parallel, each in its own process) uses: suite, test, process id and the given name.
inline std::string temp_path(const std::string &name) {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string tag = info ? std::string(info->test_suite_name()) + "_" + info->name() : "none";
  for (char &ch : tag)
    if (ch == '/')
      ch = '_';
  return ::testing::TempDir() + "varnosta_" + tag + "_" + std::to_string(getpid()) + "_" + name;
}

// Arrays still held when a stop ends the process are not leaks. Allocations made while one of
// these is alive (also in a death test's child) are kept out of the leak report of the
// sanitizer build, which would otherwise change the exit status.
struct StopLeaksIgnored {
  StopLeaksIgnored() {
#ifdef __SANITIZE_ADDRESS__
    __lsan_disable();
#endif
  }
  ~StopLeaksIgnored() {
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
  }
};

// Pattern for the whole standard-error output of the three-line run-time error report.
inline std::string nr_report(const std::string &message) {
  return "^Numerical Recipes run-time error\\.\\.\\.\n" + message +
         "\n\\.\\.\\.now exiting to system\\.\\.\\.\n$";
}

// An owned 1-based vector v[1..n] from dvector or ivector, released with the same bounds.
template <class T>
struct Vector1 {
  static_assert(std::is_same<T, double>::value || std::is_same<T, int>::value, "double or int");
  int n;
  T *v;
  explicit Vector1(int size) : n(size), v(allocate(size)) {}
  Vector1(std::initializer_list<T> init) : Vector1(static_cast<int>(init.size())) {
    std::copy(init.begin(), init.end(), v + 1);
  }
  explicit Vector1(const std::vector<T> &init) : Vector1(static_cast<int>(init.size())) {
    std::copy(init.begin(), init.end(), v + 1);
  }
  ~Vector1() {
    if constexpr (std::is_same<T, double>::value)
      free_dvector(v, 1, n);
    else
      free_ivector(v, 1, n);
  }
  Vector1(const Vector1 &) = delete;
  Vector1 &operator=(const Vector1 &) = delete;
  T &operator[](int i) const { return v[i]; }
  std::vector<T> values() const { return std::vector<T>(v + 1, v + n + 1); }

 private:
  static T *allocate(int size) {
    if constexpr (std::is_same<T, double>::value)
      return dvector(1, size);
    else
      return ivector(1, size);
  }
};
using Vec = Vector1<double>;
using IVec = Vector1<int>;

// An owned [1..r][1..c] matrix from dmatrix, released with the same bounds.
struct Mat {
  int r, c;
  double **m;
  Mat(int rows, int cols) : r(rows), c(cols), m(dmatrix(1, rows, 1, cols)) {}
  // Filled from rows given as vectors of equal length.
  explicit Mat(const std::vector<std::vector<double>> &rows)
      : Mat(static_cast<int>(rows.size()), rows.empty() ? 0 : static_cast<int>(rows[0].size())) {
    for (int i = 1; i <= r; i++)
      for (int j = 1; j <= c; j++) m[i][j] = rows[i - 1][j - 1];
  }
  ~Mat() { free_dmatrix(m, 1, r, 1, c); }
  Mat(const Mat &) = delete;
  Mat &operator=(const Mat &) = delete;
  double *operator[](int i) const { return m[i]; }
  std::vector<std::vector<double>> rows() const {
    std::vector<std::vector<double>> out;
    for (int i = 1; i <= r; i++) out.emplace_back(m[i] + 1, m[i] + c + 1);
    return out;
  }
  std::vector<double> column(int j) const {
    std::vector<double> out;
    for (int i = 1; i <= r; i++) out.push_back(m[i][j]);
    return out;
  }
};

// ---------------------------------------------------------------------------------------------
// Dense reference arithmetic on 0-based rows, independent of the routines under test.
// ---------------------------------------------------------------------------------------------
using Rows = std::vector<std::vector<double>>;

inline Rows product(const Rows &a, const Rows &b) {
  Rows out(a.size(), std::vector<double>(b[0].size(), 0.0));
  for (size_t i = 0; i < a.size(); i++)
    for (size_t j = 0; j < b[0].size(); j++)
      for (size_t k = 0; k < b.size(); k++) out[i][j] += a[i][k] * b[k][j];
  return out;
}

inline Rows transpose(const Rows &a) {
  Rows out(a[0].size(), std::vector<double>(a.size()));
  for (size_t i = 0; i < a.size(); i++)
    for (size_t j = 0; j < a[0].size(); j++) out[j][i] = a[i][j];
  return out;
}

inline Rows identity(int n) {
  Rows out(n, std::vector<double>(n, 0.0));
  for (int i = 0; i < n; i++) out[i][i] = 1.0;
  return out;
}

// max |a - b| / (1 + |b|) over the whole matrix, or over the upper triangle (i <= j) only.
inline double max_error(const Rows &a, const Rows &b, bool upper_only = false) {
  double err = 0.0;
  for (size_t i = 0; i < b.size(); i++)
    for (size_t j = upper_only ? i : 0; j < b[0].size(); j++)
      err = std::max(err, std::fabs(a[i][j] - b[i][j]) / (1.0 + std::fabs(b[i][j])));
  return err;
}

// Inverse of a symmetric positive definite matrix by GSL's Cholesky routines.
inline Rows gsl_spd_inverse(const Rows &a) {
  const size_t n = a.size();
  gsl_matrix *g = gsl_matrix_alloc(n, n);
  for (size_t i = 0; i < n; i++)
    for (size_t j = 0; j < n; j++) gsl_matrix_set(g, i, j, a[i][j]);
  gsl_linalg_cholesky_decomp1(g);
  gsl_linalg_cholesky_invert(g);
  Rows out = a;
  for (size_t i = 0; i < n; i++)
    for (size_t j = 0; j < n; j++) out[i][j] = gsl_matrix_get(g, i, j);
  gsl_matrix_free(g);
  return out;
}

// P(Q < c) for Q = sum_j lb[j] chi2(n[j], nc[j]) + sigma X by Gil-Pelaez inversion of the
// characteristic function with a plain midpoint rule in complex arithmetic: step h small enough
// that 2 pi / h lies far beyond both tails, cut at `upper` where |phi(u)| / u is negligible.
inline double inversion_cdf(const std::vector<double> &lb, const std::vector<double> &nc,
                            const std::vector<int> &n, double sigma, double c, double h,
                            double upper) {
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

// P(sum_j lambda_j chi2(1) > q), every lambda_j > 0, as the mixture sum_k c_k P(chi2(r + 2k) >
// q / b) with b = min lambda_j: the moment generating function prod_j (1 - 2 t lambda_j)^(-1/2)
// is c_0 (1 - 2 t b)^(-r/2) prod_j (1 - g_j u)^(-1/2) with u = 1 / (1 - 2 t b), g_j = 1 -
// b / lambda_j and c_0 = prod_j sqrt(b / lambda_j), and the last product is a power series in
// u with non-negative coefficients (k c_k = sum_{i=1..k} G_i c_{k-i}, G_i = 1/2 sum_j g_j^i).
// Every term is positive, so the sum keeps its relative accuracy however small it is; in long
// double it reaches far below the double range. The number of terms grows with the spread of
// the lambda_j: meant for a few eigenvalues within a factor of a few hundred.
inline long double mixture_upper_tail(const std::vector<double> &lambda, double q) {
  const int r = static_cast<int>(lambda.size());
  const long double b = *std::min_element(lambda.begin(), lambda.end());
  const long double x = q / b;
  long double log_c0 = 0.0L;
  for (double l : lambda) log_c0 += 0.5L * std::log(b / l);
  // Q_nu(x) for nu = r, r + 2, ...: from chi2(1) or chi2(2), then Q_{nu+2} = Q_nu +
  // exp(-x/2) (x/2)^(nu/2) / Gamma(nu/2 + 1).
  auto step = [&](int nu) {
    return std::exp(-x / 2 + (nu / 2.0L) * std::log(x / 2) - std::lgamma(nu / 2.0L + 1));
  };
  long double Qnu = r % 2 ? std::erfc(std::sqrt(x / 2)) : std::exp(-x / 2);
  for (int nu = 2 - r % 2; nu < r; nu += 2) Qnu += step(nu);
  std::vector<long double> G{0.0L}, c{1.0L};
  long double sum = 0.0L, previous = 0.0L;
  for (int k = 0; k < 200000; k++) {
    if (k > 0) {
      long double Gk = 0.0L;
      for (double l : lambda) Gk += 0.5L * std::pow(1.0L - b / l, k);
      G.push_back(Gk);
      long double ck = 0.0L;
      for (int i = 1; i <= k; i++) ck += G[i] * c[k - i];
      c.push_back(ck / k);
      Qnu += step(r + 2 * k - 2);
    }
    const long double term = std::exp(log_c0) * c[k] * Qnu;
    sum += term;
    // The terms rise while Q_nu grows faster than the c_k fall, then fall geometrically.
    if (k >= 10 && term <= previous && term < 1e-22L * sum)
      break;
    previous = term;
  }
  return sum;
}

}  // namespace varnosta_test

#endif  // VARNOSTA_TESTS_TEST_SUPPORT_H
