// Gene-level tests on a score vector U and its variance V: the burden quadratic form with its
// chi-square p-value, and SKAT with its p-value by Davies' method (Davies 1980) on the
// eigenvalues of the weighted variance, computed directly in the upper tail where Davies'
// absolute accuracy leaves no digits.
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_eigen.h>

#include <cmath>
#include <cstdio>

#include "engine/func_algorithm.h"
#include "toolkit/chisq_sum_tail.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/qfc.h"

namespace {

// Davies' routine is asked for this absolute accuracy, within at most this many integration
// terms (and counted bound evaluations).
constexpr double kDaviesAcc = 1e-8;
constexpr int kDaviesLim = 1000000000;
// Eigenvalues at or below this fraction of the mean non-negative eigenvalue are rounding noise
// of a rank-deficient V and would only slow Davies' integration down.
constexpr double kEigenRelativeFloor = 100000.0;
// Below this, 1 - res (res accurate to kDaviesAcc in absolute terms) has too few digits left,
// and the tail is computed directly.
constexpr double kDaviesFloor = 1e-6;
// A weighted SKAT variance is taken as semi-definite while its smallest eigenvalue is not below
// -kSkatPsdTolerance times its largest. Rounding of a semi-definite V (least squares, or a
// rank-deficient score variance) leaves about -1e-16 in that ratio, -5e-8 when recomputed from
// seven printed digits; the indefinite Louis variances measured lie at -1e-3 and below.
constexpr double kSkatPsdTolerance = 1e-5;

// A[i*m + j] = sqrt(w_i) sqrt(w_j) V[i][j] over both triangles: A[0..m*m-1], row-major.
void weighted_variance(int m, double **V, const double *w, double *A) {
  for (int i = 0; i < m; i++)
    for (int j = 0; j < m; j++) A[i * m + j] = std::sqrt(w[i]) * std::sqrt(w[j]) * V[i][j];
}

// lambda[0..m-1] <- eigenvalues of the symmetric A (row-major, overwritten), ascending in
// absolute value.
void eigenvalues_abs_ascending(int m, double *A, double *lambda) {
  gsl_matrix_view view = gsl_matrix_view_array(A, m, m);
  gsl_vector *values = gsl_vector_alloc(m);
  gsl_matrix *vectors = gsl_matrix_alloc(m, m);
  gsl_eigen_symmv_workspace *work = gsl_eigen_symmv_alloc(m);
  gsl_eigen_symmv(&view.matrix, values, vectors, work);
  gsl_eigen_symmv_free(work);
  gsl_eigen_symmv_sort(values, vectors, GSL_EIGEN_SORT_ABS_ASC);
  for (int i = 0; i < m; i++) lambda[i] = gsl_vector_get(values, i);
  gsl_vector_free(values);
  gsl_matrix_free(vectors);
}

// P(sum_j kept[j] chi2(1) > Q) by Davies' method on the r kept eigenvalues; *code <- its fault
// code. On faults 1, 3, 4 and 5 Davies' result is -1, so the value returned is 2.
double davies_upper_tail(int r, double *kept, double Q, int *code) {
  double *noncentral = dvector(0, r - 1);
  int *df = ivector(0, r - 1);
  double *trace = dvector(0, 6);
  for (int j = 0; j < r; j++) {
    noncentral[j] = 0.0;
    df[j] = 1;
  }
  for (int j = 0; j <= 6; j++) trace[j] = 0.0;
  double sigma = 0.0;
  double c = Q;
  int lim = kDaviesLim;
  double acc = kDaviesAcc;
  int ifault = 0;
  double res = 0.0;
  qfc(kept, noncentral, df, &r, &sigma, &c, &lim, &acc, trace, &ifault, &res);
  *code = ifault;
  free_ivector(df, 0, r - 1);
  free_dvector(noncentral, 0, r - 1);
  free_dvector(trace, 0, 6);
  return 1.0 - res;
}

}  // namespace

void burdenTest_v3(int K, double *T, double *P, double *U, double **V) {
  int nonpositive = 0;
  for (int i = 1; i <= K; i++)
    if (0.0 >= V[i][i])  // a NaN variance does not count
      nonpositive++;
  if (nonpositive > 0) {
    *T = -999.0;
    *P = -999.0;
    return;
  }
  // Louis' information need not be positive definite, and a positive definite nuisance block
  // does not make V so: with a negative eigenvalue the form has no chi-square law (it can even
  // be negative), so such a V gives no result either.
  double *pivots = dvector(1, K);
  const bool positive = choldcCheckPositive(V, K, pivots);
  free_dvector(pivots, 1, K);
  if (!positive) {
    *T = -999.0;
    *P = -999.0;
    return;
  }
  double **Vinv = dmatrix(1, K, 1, K);
  for (int i = 1; i <= K; i++)
    for (int j = 1; j <= K; j++) Vinv[i][j] = V[i][j];
  invv(Vinv, K);
  double t = 0.0;
  for (int i = 1; i <= K; i++) {
    double row = 0.0;
    for (int j = 1; j <= K; j++) row += Vinv[i][j] * U[j];
    t += U[i] * row;
  }
  *T = t;
  // The upper tail directly: 1 - P would lose every digit below about 1e-16, exactly for the
  // genes with the strongest evidence.
  *P = gsl_cdf_chisq_Q(t, static_cast<double>(K));
  free_dmatrix(Vinv, 1, K, 1, K);
}

bool skat_variance_acceptable(int len, double **V, const double *w) {
  int count = 0;
  for (int i = 1; i <= len; i++) {
    if (!(w[i] > 0.0))
      continue;
    if (V[i][i] < 0.0)
      return false;
    count += V[i][i] > 0.0;
  }
  if (count == 0)
    return true;
  int *kept = ivector(0, count - 1);
  for (int i = 1, a = 0; i <= len; i++)
    if (w[i] > 0.0 && V[i][i] > 0.0)
      kept[a++] = i;
  gsl_matrix *A = gsl_matrix_alloc(count, count);
  for (int a = 0; a < count; a++)
    for (int b = 0; b < count; b++)
      gsl_matrix_set(A, a, b, std::sqrt(w[kept[a]]) * std::sqrt(w[kept[b]]) * V[kept[a]][kept[b]]);
  gsl_vector *values = gsl_vector_alloc(count);
  gsl_eigen_symm_workspace *work = gsl_eigen_symm_alloc(count);
  gsl_eigen_symm(A, values, work);
  gsl_eigen_symm_free(work);
  double smallest = 0.0, largest = 0.0;
  gsl_vector_minmax(values, &smallest, &largest);
  gsl_vector_free(values);
  gsl_matrix_free(A);
  free_ivector(kept, 0, count - 1);
  return !(smallest < -kSkatPsdTolerance * largest);
}

void MASS_metaPval_v2(int method, int len, double *U, double **V, double *w, double *Q, double *P,
                      int *code) {
  if (method != 2)
    return;
  *code = 0;
  int *keep = ivector(0, len - 1);
  int count = 0;
  for (int i = 1; i <= len; i++) {
    keep[i - 1] = !(0.0 >= V[i][i]);  // a NaN variance stays in
    count += keep[i - 1];
  }
  if (count == 0) {
    *P = -999.0;
    free_ivector(keep, 0, len - 1);
    return;
  }
  // kept[a] = the 1-based index of the a-th kept entry, in increasing order.
  int *kept = ivector(0, count - 1);
  for (int i = 1, a = 0; i <= len; i++)
    if (keep[i - 1])
      kept[a++] = i;
  double *U0 = dvector(0, count - 1);
  double *w0 = dvector(0, count - 1);
  double **V0 = dmatrix(0, count - 1, 0, count - 1);
  for (int a = 0; a < count; a++) {
    U0[a] = U[kept[a]];
    w0[a] = w[kept[a]];
    for (int b = 0; b < count; b++) V0[a][b] = V[kept[a]][kept[b]];
  }
  SKAT(count, U0, V0, w0, Q, P, code);
  free_dmatrix(V0, 0, count - 1, 0, count - 1);
  free_dvector(w0, 0, count - 1);
  free_dvector(U0, 0, count - 1);
  free_ivector(kept, 0, count - 1);
  free_ivector(keep, 0, len - 1);
}

void SKAT(int m, double *U, double **V, double *w, double *Q, double *P, int *code) {
  double q = 0.0;
  for (int i = 0; i < m; i++) q += (U[i] * w[i]) * U[i];
  *Q = q;

  double *A = dvector(0, m * m - 1);
  double *lambda = dvector(0, m - 1);
  weighted_variance(m, V, w, A);
  eigenvalues_abs_ascending(m, A, lambda);

  double sum = 0.0;
  int nonnegative = 0;
  for (int i = 0; i < m; i++)
    if (lambda[i] >= 0.0) {
      sum += lambda[i];
      nonnegative++;
    }
  if (nonnegative == 0) {
    std::printf("No Eigenvalue is bigger than 0!!");
    *P = -999.0;
    free_dvector(lambda, 0, m - 1);
    free_dvector(A, 0, m * m - 1);
    return;
  }

  // Strictly above the floor, in ascending order of absolute value.
  const double threshold = (sum / nonnegative) / kEigenRelativeFloor;
  int r = 0;
  for (int i = 0; i < m; i++)
    if (lambda[i] > threshold)
      r++;
  double *kept = dvector(0, r - 1);
  for (int i = 0, j = 0; i < m; i++)
    if (lambda[i] > threshold)
      kept[j++] = lambda[i];
  *P = davies_upper_tail(r, kept, q, code);
  // Round-off (code 2) still leaves a computed value; the direct tail replaces it too, and the
  // code stays so that the caller still warns.
  if ((*code == 0 || *code == 2) && *P < kDaviesFloor) {
    const double direct = chisq_sum_upper_tail(r, kept, q);
    if (direct >= 0.0)
      *P = direct;
    else if (*P <= 0.0 && r > 0)  // without a term Davies' 0 for Q > 0 is exact
      *P = -999.0;                // neither method has a probability: no result, not 0
  }

  free_dvector(kept, 0, r - 1);
  free_dvector(A, 0, m * m - 1);
  free_dvector(lambda, 0, m - 1);
}
