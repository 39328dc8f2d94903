#include "toolkit/func_linear_algebra.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "toolkit/vector_clones.h"

// ---------------------------------------------------------------------------------------------
// Run-time error report and offset-indexed arrays
// ---------------------------------------------------------------------------------------------

namespace {

// The three-line report shared by nrerror and the allocators' inner failures.
[[noreturn]] void report_and_exit(const char *error_text) {
  std::fprintf(stderr, "Numerical Recipes run-time error...\n");
  std::fprintf(stderr, "%s\n", error_text);
  std::fprintf(stderr, "...now exiting to system...\n");
  std::exit(1);
}

// Element count of one level: formed in 32-bit arithmetic, then taken as unsigned, so that
// nh = nl - 1 gives an empty (but real) block.
inline size_t count(int lo, int hi) { return static_cast<unsigned int>(hi - lo + 1); }

// One heap block of count(lo, hi) elements, moved back by lo; a zero-size request is a success.
template <typename T>
T *offset_block(int lo, int hi, const char *error_text) {
  size_t cnt = count(lo, hi);
  T *block = static_cast<T *>(std::malloc(cnt * sizeof(T)));
  if (block == nullptr && cnt == 0)
    block = static_cast<T *>(std::malloc(1));  // malloc(0) may give null, which is no failure
  if (block == nullptr)
    report_and_exit(error_text);
  // The address moved back by lo lies outside the block, so it is formed as an integer.
  return reinterpret_cast<T *>(reinterpret_cast<std::uintptr_t>(block) -
                               static_cast<std::intptr_t>(lo) * sizeof(T));
}

template <typename T>
void release_block(T *v, int lo) {
  std::free(reinterpret_cast<void *>(reinterpret_cast<std::uintptr_t>(v) +
                                     static_cast<std::intptr_t>(lo) * sizeof(T)));
}

template <typename T>
T **offset_matrix(int nrl, int nrh, int ncl, int nch, const char *table_error,
                  const char *row_error) {
  T **m = offset_block<T *>(nrl, nrh, table_error);
  for (int i = nrl; i <= nrh; i++) m[i] = offset_block<T>(ncl, nch, row_error);
  return m;
}

template <typename T>
void release_matrix(T **m, int nrl, int nrh, int ncl) {
  for (int i = nrh; i >= nrl; i--) release_block(m[i], ncl);
  release_block(m, nrl);
}

template <typename T>
T ***offset_matrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh) {
  const char *error_text = "error in dmatrix3";
  T ***t = offset_block<T **>(nrl, nrh, error_text);
  for (int i = nrl; i <= nrh; i++) {
    t[i] = offset_block<T *>(ncl, nch, error_text);
    for (int j = ncl; j <= nch; j++) t[i][j] = offset_block<T>(ndl, ndh, error_text);
  }
  return t;
}

// Leaves first, each level from the highest index down, then the row tables, then the top.
template <typename T>
void release_matrix3(T ***t, int nrl, int nrh, int ncl, int nch, int ndl) {
  for (int i = nrh; i >= nrl; i--)
    for (int j = nch; j >= ncl; j--) release_block(t[i][j], ndl);
  for (int i = nrh; i >= nrl; i--) release_block(t[i], ncl);
  release_block(t, nrl);
}

}  // namespace

void nrerror(const char *error_text) { report_and_exit(error_text); }

double *dvector(int nl, int nh) {
  return offset_block<double>(nl, nh, "allocation failure in vector()");
}
int *ivector(int nl, int nh) {
  return offset_block<int>(nl, nh, "allocation failure in ivector()");
}
char *cvector(int nl, int nh) {
  return offset_block<char>(nl, nh, "allocation failure in cvector()");
}

double **dmatrix(int nrl, int nrh, int ncl, int nch) {
  return offset_matrix<double>(nrl, nrh, ncl, nch, "allocation failure 1 in dmatrix()",
                               "allocation failure 2 in dmatrix()");
}
int **imatrix(int nrl, int nrh, int ncl, int nch) {
  return offset_matrix<int>(nrl, nrh, ncl, nch, "allocation failure 1 in imatrix()",
                            "allocation failure 2 in imatrix()");
}
char **cmatrix(int nrl, int nrh, int ncl, int nch) {
  return offset_matrix<char>(nrl, nrh, ncl, nch, "allocation failure 1 in cmatrix()",
                             "allocation failure 2 in cmatrix()");
}
double ***dmatrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh) {
  return offset_matrix3<double>(nrl, nrh, ncl, nch, ndl, ndh);
}
int ***imatrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh) {
  return offset_matrix3<int>(nrl, nrh, ncl, nch, ndl, ndh);
}

void free_dvector(double *v, int nl, int) { release_block(v, nl); }
void free_ivector(int *v, int nl, int) { release_block(v, nl); }
void free_cvector(char *v, int nl, int) { release_block(v, nl); }
void free_dmatrix(double **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_imatrix(int **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_cmatrix(char **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_dmatrix3(double ***t, int nrl, int nrh, int ncl, int nch, int ndl, int) {
  release_matrix3(t, nrl, nrh, ncl, nch, ndl);
}
void free_imatrix3(int ***t, int nrl, int nrh, int ncl, int nch, int ndl, int) {
  release_matrix3(t, nrl, nrh, ncl, nch, ndl);
}

// ---------------------------------------------------------------------------------------------
// Symmetric linear algebra and sweep operators
// ---------------------------------------------------------------------------------------------

namespace {

// Cholesky-Banachiewicz recurrence on the upper triangle of a: the strict lower part of L goes
// into a's strict lower triangle, its diagonal into p. Returns false at the first diagonal sum
// that is not positive, or not above relative_floor times its original diagonal entry (p[i..n]
// then unwritten); a sum that is not a number passes the test.
// Entry (i, j) is a[i][j] - sum over k = i-1 down to 1 of L[i][k] L[j][k], subtracted term by
// term in that order; the entries below one pivot are independent of each other, so several are
// formed side by side to keep the floating-point units busy, each in its own order.
bool cholesky_steps(double **a, int n, double *p, double relative_floor = 0.0) {
  for (int i = 1; i <= n; i++) {
    const double *ri = a[i];
    double sum = a[i][i];
    for (int k = i - 1; k >= 1; k--) sum -= ri[k] * ri[k];
    // a[i][i] is still the original diagonal: the upper triangle is never written.
    if (sum <= 0.0 || (relative_floor > 0.0 && sum <= relative_floor * a[i][i]))
      return false;
    const double pivot = p[i] = std::sqrt(sum);
    int j = i + 1;
    for (; j + 3 <= n; j += 4) {
      const double *r0 = a[j], *r1 = a[j + 1], *r2 = a[j + 2], *r3 = a[j + 3];
      double s0 = ri[j], s1 = ri[j + 1], s2 = ri[j + 2], s3 = ri[j + 3];
      for (int k = i - 1; k >= 1; k--) {
        const double x = ri[k];
        s0 -= x * r0[k];
        s1 -= x * r1[k];
        s2 -= x * r2[k];
        s3 -= x * r3[k];
      }
      a[j][i] = s0 / pivot;
      a[j + 1][i] = s1 / pivot;
      a[j + 2][i] = s2 / pivot;
      a[j + 3][i] = s3 / pivot;
    }
    for (; j <= n; j++) {
      const double *rj = a[j];
      double s0 = ri[j];
      for (int k = i - 1; k >= 1; k--) s0 -= ri[k] * rj[k];
      a[j][i] = s0 / pivot;
    }
  }
  return true;
}

// The recurrence on a private copy of a[1..n][1..n]; a is only read. n <= 0 gives true.
bool cholesky_on_copy(double **a, int n, double *p, double relative_floor) {
  if (n <= 0)
    return true;
  double **copy = dmatrix(1, n, 1, n);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) copy[i][j] = a[i][j];
  bool passed = cholesky_steps(copy, n, p, relative_floor);
  free_dmatrix(copy, 1, n, 1, n);
  return passed;
}

// Overwrites the strict lower triangle of a with the strict lower part of L^-1 and p with its
// diagonal; the upper triangle is not touched.
void invert_factor(double **a, double *p, int n) {
  for (int i = 1; i <= n; i++) {
    p[i] = 1.0 / p[i];
    for (int j = i + 1; j <= n; j++) {
      double sum = -a[j][i] * p[i];
      for (int k = i + 1; k < j; k++) sum -= a[j][k] * a[k][i];
      a[j][i] = sum / p[j];  // p[j] is still L[j][j] here
    }
  }
}

// Upper triangle of a <- (L^-1)' L^-1, from L^-1 in the strict lower triangle and p.
void inverse_from_inverted_factor(double **a, double *p, int n) {
  for (int i = 1; i <= n; i++) {
    a[i][i] = p[i] * p[i];
    for (int k = i + 1; k <= n; k++) a[i][i] += a[k][i] * a[k][i];
    for (int j = i + 1; j <= n; j++) {
      a[i][j] = a[j][i] * p[j];
      for (int k = j + 1; k <= n; k++) a[i][j] += a[k][i] * a[k][j];
    }
  }
}

// vv[i] = 1 / (largest |a[i][j]|); stops when a row is all zeros. An element that is not a
// number never becomes the largest.
void row_scales(double **a, int n, double *vv) {
  for (int i = 1; i <= n; i++) {
    double big = 0.0;
    for (int j = 1; j <= n; j++) {
      double t = std::fabs(a[i][j]);
      if (t > big)
        big = t;
    }
    if (big == 0.0)
      nrerror("Sigmatrix in ludcmp");
    vv[i] = 1.0 / big;
  }
}

void exchange_rows(double **a, int n, int r1, int r2) {
  for (int k = 1; k <= n; k++) {
    double t = a[r1][k];
    a[r1][k] = a[r2][k];
    a[r2][k] = t;
  }
}

// One column of Crout's elimination (Press et al., Numerical Recipes, sec. 2.3).
void crout_column(double **a, int n, int j, int *indx, double *vv) {
  for (int i = 1; i < j; i++) {
    double sum = a[i][j];
    for (int k = 1; k < i; k++) sum -= a[i][k] * a[k][j];
    a[i][j] = sum;
  }
  double big = 0.0;
  int imax = j;
  for (int i = j; i <= n; i++) {
    double sum = a[i][j];
    for (int k = 1; k < j; k++) sum -= a[i][k] * a[k][j];
    a[i][j] = sum;
    double t = vv[i] * std::fabs(sum);
    if (t >= big) {  // >=: among equal candidates the last row is the pivot
      big = t;
      imax = i;
    }
  }
  if (imax != j) {
    exchange_rows(a, n, imax, j);
    vv[imax] = vv[j];
  }
  indx[j] = imax;
  // A tiny pivot instead of a stop: a singular matrix with no zero row yields huge entries.
  if (a[j][j] == 0.0)
    a[j][j] = 1e-40;
  if (j < n) {
    double d = 1.0 / a[j][j];
    for (int i = j + 1; i <= n; i++) a[i][j] *= d;
  }
}

// Sweep (reverse = false) or reverse sweep (reverse = true) of the upper triangle on pivot k
// (Goodnight 1979). Row/column k is scaled by the stored reciprocal first; every other entry
// is then updated from scaled entries only, so each entry is written once.
void sweep_pivot(double **a, int n, int k, bool reverse) {
  double d = a[k][k];
  if (!reverse && d <= 0.0)
    nrerror("SWP failed: Trying to Sweep a non-positive pivitol!");
  if (reverse && d >= 0.0)
    nrerror("RSW failed: Trying to Reverse Sweep a non-negative pivitol!");
  double q = -1.0 / d;
  a[k][k] = q;
  double f = reverse ? q : -q;
  for (int r = 1; r < k; r++) {
    a[r][k] *= f;
    for (int s = 1; s <= r; s++) a[s][r] += (a[s][k] * a[r][k]) / q;
  }
  for (int r = k + 1; r <= n; r++) {
    a[k][r] *= f;
    for (int s = k + 1; s <= r; s++) a[s][r] += (a[k][s] * a[k][r]) / q;
  }
  for (int r = 1; r < k; r++)
    for (int s = k + 1; s <= n; s++) a[r][s] += (a[r][k] * a[k][s]) / q;
}

// Forward substitution x[i] = (v[i] - sum_{k<i} L[i][k] x[k]) / p[i] for one row i, with the
// sum running from k = i - 1 down to 1; L is the strict lower triangle of B.
inline double forward_row(double **B, double *p, int i, double v, double *x) {
  double sum = v;
  for (int k = i - 1; k >= 1; k--) sum -= B[i][k] * x[k];
  return sum / p[i];
}

// Row i of L^-1 a': L[i][c] = (a[c][i] - sum over k = i-1 down to 1 of B[i][k] L[k][c]) / pivot
// for c = 1..m, the columns side by side, each in that order.
ROW_LOOPS void forward_rows(double **a, double **B, double **L, int i, int m, double pivot) {
  double *__restrict Li = L[i];
  for (int c = 1; c <= m; c++) Li[c] = a[c][i];
  const double *Bi = B[i];
  for (int k = i - 1; k >= 1; k--) {
    const double x = Bi[k];
    const double *__restrict Lk = L[k];
    for (int c = 1; c <= m; c++) Li[c] -= x * Lk[c];
  }
  for (int c = 1; c <= m; c++) Li[c] = Li[c] / pivot;
}

// The products a B^-1 a' (upper triangle of outM) and, when u is given, a B^-1 u, as sums over
// the rows of L^-1 a' and L^-1 u in ascending order. B must already hold its factor (B, p).
void factor_products(double **a, double **B, double *p, double *u, int n, int m, double **outM,
                     double *outV) {
  double **L = dmatrix(1, n, 1, m);
  double *z = u != nullptr ? dvector(1, n) : nullptr;
  for (int r = 1; r <= m; r++) {
    for (int s = r; s <= m; s++) outM[r][s] = 0.0;
    if (outV != nullptr)
      outV[r] = 0.0;
  }
  for (int i = 1; i <= n; i++) {
    forward_rows(a, B, L, i, m, p[i]);
    if (z != nullptr)
      z[i] = forward_row(B, p, i, u[i], z);
    for (int r = 1; r <= m; r++) {
      if (z != nullptr)
        outV[r] += z[i] * L[i][r];
      for (int s = r; s <= m; s++) outM[r][s] += L[i][r] * L[i][s];
    }
  }
  if (z != nullptr)
    free_dvector(z, 1, n);
  free_dmatrix(L, 1, n, 1, m);
}

// Shared body of cal_ainvBa and cal_ainvBa_UV: tests B, factors it in place and forms the
// products; returns false (B and outputs untouched) when B is not positive definite.
bool ainvBa(double **a, double **B, double *u, int n, int m, double **outM, double *outV) {
  double *p = dvector(1, n);
  bool positive = choldcCheckPositive(B, n, p);
  if (positive) {
    choldc(B, n, p);
    factor_products(a, B, p, u, n, m, outM, outV);
  }
  free_dvector(p, 1, n);
  return positive;
}

// As ainvBa, with B factored once in place by choldcPositive instead of tested on a copy and
// factored again: the same numbers.
bool ainvBa_once(double **a, double **B, double *u, int n, int m, double **outM, double *outV) {
  double *p = dvector(1, n);
  bool positive = choldcPositive(B, n, p);
  if (positive)
    factor_products(a, B, p, u, n, m, outM, outV);
  free_dvector(p, 1, n);
  return positive;
}

}  // namespace

// a[1..n][1..n], upper triangle read. Writes L's strict lower part below the diagonal and
// p[1..n] = diag(L); upper triangle unchanged. Stops ("choldc failed") on a diagonal sum <= 0.
void choldc(double **a, int n, double *p) {
  if (!cholesky_steps(a, n, p))
    nrerror("choldc failed");
}

// a[1..n][1..n] is only read (a private copy is factored); p[1..i-1] receive the factor's
// diagonal up to the first failing step i. n <= 0 gives true.
bool choldcCheckPositive(double **a, int n, double *p) { return cholesky_on_copy(a, n, p, 0.0); }

// As choldcCheckPositive, but a pivot that keeps less than 1e-10 of its column's diagonal also
// fails. For a cross product W'W the pivot sum is the part of column i's sum of squares that
// the earlier columns leave unexplained; an exactly collinear design leaves rounding noise
// (about n * 1e-16 of it), which the plain test would take for a usable pivot while the
// sweeps of the fit that follows fail on it.
bool choldcCheckNonsingular(double **a, int n, double *p) {
  return cholesky_on_copy(a, n, p, 1e-10);
}

// Reads the factor of choldc (strict lower triangle of a, p); x[1..n] <- B^-1 b. x may be b.
void cholsl(double **a, int n, double *p, double *b, double *x) {
  for (int i = 1; i <= n; i++) x[i] = forward_row(a, p, i, b[i], x);
  for (int i = n; i >= 1; i--) {
    double sum = x[i];
    for (int k = i + 1; k <= n; k++) sum -= a[k][i] * x[k];
    x[i] = sum / p[i];
  }
}

// Reads the factor of choldc. Upper triangle incl. diagonal <- B^-1; strict lower triangle <-
// strict lower part of L^-1; p[i] <- 1/p[i]. n <= 0 does nothing.
void cholinv(double **a, double *p, int n) {
  invert_factor(a, p, n);
  inverse_from_inverted_factor(a, p, n);
}

// One diagonal entry of B^-1 from the factor of choldc, with the arithmetic of cholinv: column i
// of L^-1 by forward substitution (x_i = 1/L_ii, then x_j for j > i), then the sum of its
// squares from the diagonal down. The factor is only read; x[1..n] is work space.
double cholinvDiagonal(double **a, double *p, int n, int i, double *x) {
  x[i] = 1.0 / p[i];
  for (int j = i + 1; j <= n; j++) {
    const double *rj = a[j];
    double sum = -rj[i] * x[i];
    for (int k = i + 1; k < j; k++) sum -= rj[k] * x[k];
    x[j] = sum / p[j];
  }
  double v = x[i] * x[i];
  for (int k = i + 1; k <= n; k++) v += x[k] * x[k];
  return v;
}

namespace {

// Rows of the factor that choldcPositive forms together.
constexpr int kStrip = 32;

// Four doubles moved as one, from any double-aligned address.
using v4 = double __attribute__((vector_size(32), aligned(8), may_alias));

// Entries (i, j) of the strip's rows j = lo..hi, in the strip buffer t (t[k][j - j0] = L[j][k]):
// s[j] = a[i][j] - sum over k = i-1 down to 1 of li[k] t[k][j - j0], each j in that order.
// A full strip keeps its sums in registers.
ROW_LOOPS void strip_sums(double **a, const double *li, double *const *t, int i, int j0, int lo,
                          int hi, double *__restrict s) {
  const double *ai = a[i];
  if (lo == j0 && hi - lo + 1 == kStrip) {
    v4 acc[kStrip / 4];
#pragma GCC unroll 8
    for (int v = 0; v < kStrip / 4; v++) acc[v] = *reinterpret_cast<const v4 *>(ai + lo + 4 * v);
    for (int k = i - 1; k >= 1; k--) {
      const double u = li[k];
      const v4 uu = {u, u, u, u};
      const double *tk = t[k];
#pragma GCC unroll 8
      for (int v = 0; v < kStrip / 4; v++) acc[v] -= uu * *reinterpret_cast<const v4 *>(tk + 4 * v);
    }
#pragma GCC unroll 8
    for (int v = 0; v < kStrip / 4; v++) *reinterpret_cast<v4 *>(s + 4 * v) = acc[v];
    return;
  }
  for (int j = lo; j <= hi; j++) s[j - j0] = ai[j];
  for (int k = i - 1; k >= 1; k--) {
    const double u = li[k];
    const double *__restrict tk = t[k];
    for (int j = lo; j <= hi; j++) s[j - j0] -= u * tk[j - j0];
  }
}

}  // namespace

// The recurrence of choldc, a strip of kStrip rows of the factor at a time. Entry (i, j) of the
// factor's column i is a[i][j] - sum over k = i-1 down to 1 of L[i][k] L[j][k], subtracted in
// that order; for the rows j of one strip these sums run side by side, with the strip's
// columns of L so far held transposed in a small buffer (L[j][k] for all j of the strip next to
// each other), so that they vectorise, and the row L[i][.] read once per strip. The upper
// triangle is only read. Each strip's rows go to the strict lower triangle when it is done.
bool choldcPositive(double **a, int n, double *p) {
  std::vector<double> buffer(static_cast<size_t>(n + 1) * kStrip), row(n + 1), s(kStrip);
  std::vector<double *> t(n + 1);
  for (int k = 1; k <= n; k++) t[k] = buffer.data() + static_cast<size_t>(k) * kStrip;
  for (int j0 = 1; j0 <= n; j0 += kStrip) {
    const int j1 = std::min(n, j0 + kStrip - 1);
    for (int i = 1; i <= j1; i++) {
      // Row i of L, columns 1..i-1: from the lower triangle, or for a row of this strip from the
      // buffer.
      const double *li = a[i];
      if (i >= j0) {
        for (int k = 1; k < i; k++) row[k] = t[k][i - j0];
        li = row.data();
      }
      const int lo = std::max(i, j0);
      strip_sums(a, li, t.data(), i, j0, lo, j1, s.data());
      if (i >= j0) {
        const double sum = s[i - j0];
        if (sum <= 0.0)
          return false;
        p[i] = std::sqrt(sum);
      }
      for (int j = std::max(i + 1, j0); j <= j1; j++) t[i][j - j0] = s[j - j0] / p[i];
    }
    for (int j = j0; j <= j1; j++)
      for (int k = 1; k < j; k++) a[j][k] = t[k][j - j0];
  }
  return true;
}

// a[1..n][1..n] whole; overwritten with its LU form (rows permuted), indx[1..n] the exchanges.
// Stops ("Sigmatrix in ludcmp") on a zero row; a zero pivot becomes 1e-40.
void ludcmp(double **a, int n, int *indx) {
  double *vv = dvector(1, n);
  row_scales(a, n, vv);
  for (int j = 1; j <= n; j++) crout_column(a, n, j, indx, vv);
  free_dvector(vv, 1, n);
}

// Reads the LU form and indx of ludcmp; b[1..n] <- solution. Forward substitution starts at
// the first nonzero entry of the permuted b.
void lubksb(double **a, int n, int *indx, double *b) {
  int ii = 0;
  for (int i = 1; i <= n; i++) {
    int ip = indx[i];
    double sum = b[ip];
    b[ip] = b[i];
    if (ii != 0) {
      for (int k = ii; k < i; k++) sum -= a[i][k] * b[k];
    } else if (sum != 0.0) {
      ii = i;
    }
    b[i] = sum;
  }
  for (int i = n; i >= 1; i--) {
    double sum = b[i];
    for (int k = i + 1; k <= n; k++) sum -= a[i][k] * b[k];
    b[i] = sum / a[i][i];
  }
}

// a[1..n][1..n], whole matrix in and whole inverse out, column by column from the LU form.
// Stops as ludcmp does.
void invv(double **a, int n) {
  int *indx = ivector(1, n);
  double *col = dvector(1, n);
  double **y = dmatrix(1, n, 1, n);
  ludcmp(a, n, indx);
  for (int j = 1; j <= n; j++) {
    for (int i = 1; i <= n; i++) col[i] = 0.0;
    col[j] = 1.0;
    lubksb(a, n, indx, col);
    for (int i = 1; i <= n; i++) y[i][j] = col[i];
  }
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) a[i][j] = y[i][j];
  free_dmatrix(y, 1, n, 1, n);
  free_dvector(col, 1, n);
  free_ivector(indx, 1, n);
}

// Sweeps the upper triangle of a[1..n][1..n] on pivot k; the strict lower triangle is never
// read or written. Stops unless a[k][k] > 0.
void swp(double **a, int n, int k) { sweep_pivot(a, n, k, false); }

// Reverse sweep on pivot k, undoing swp. Stops unless a[k][k] < 0.
void rsw(double **a, int n, int k) { sweep_pivot(a, n, k, true); }

// a[1..m][1..n] whole, B[1..n][1..n] upper triangle. flag_positiveQ1 <- B positive definite;
// if so, B's strict lower triangle <- its factor and out's upper triangle <- a B^-1 a' (out's
// strict lower triangle untouched); otherwise nothing changes.
void cal_ainvBa(double **a, double **B, int n, int m, double **out) {
  flag_positiveQ1 = ainvBa(a, B, nullptr, n, m, out, nullptr);
}

// As cal_ainvBa, with u[1..n]: outM[1..m][1..m] <- a B^-1 a' (both triangles) and
// outV[1..m] <- a B^-1 u when B is positive definite; otherwise nothing changes.
void cal_ainvBa_UV(double **a, double **B, double *u, int n, int m, double **outM, double *outV) {
  flag_positiveQ1 = ainvBa(a, B, u, n, m, outM, outV);
  if (!flag_positiveQ1)
    return;
  for (int r = 2; r <= m; r++)
    for (int s = 1; s < r; s++) outM[r][s] = outM[s][r];
}

void cal_ainvBa_once(double **a, double **B, int n, int m, double **out) {
  flag_positiveQ1 = ainvBa_once(a, B, nullptr, n, m, out, nullptr);
}

void cal_ainvBa_UV_once(double **a, double **B, double *u, int n, int m, double **outM,
                        double *outV) {
  flag_positiveQ1 = ainvBa_once(a, B, u, n, m, outM, outV);
  if (!flag_positiveQ1)
    return;
  for (int r = 2; r <= m; r++)
    for (int s = 1; s < r; s++) outM[r][s] = outM[s][r];
}
