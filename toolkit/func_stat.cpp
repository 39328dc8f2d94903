#include "toolkit/func_stat.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "toolkit/func_linear_algebra.h"

// ---------------------------------------------------------------------------------------------
// Least-squares regression and score statistics
// ---------------------------------------------------------------------------------------------

namespace {

// M[1..p][1..p] <- X'X, both triangles; each entry summed over subjects in ascending order.
double **cross_products(double **X, int n, int p) {
  double **M = dmatrix(1, p, 1, p);
  for (int i = 1; i <= p; i++) {
    for (int j = i; j <= p; j++) {
      double sum = 0.0;
      for (int s = 1; s <= n; s++) sum += X[s][i] * X[s][j];
      M[i][j] = sum;
      M[j][i] = sum;
    }
  }
  return M;
}

// Least-squares coefficients g[1..p2] of y on columns first+1..first+p2, with their cross
// products taken from M. Stops ("choldc failed") when those columns are collinear.
double *null_fit(double *y, double **X, double **M, int n, int first, int p2) {
  double **A = dmatrix(1, p2, 1, p2);
  double *b = dvector(1, p2);
  double *d = dvector(1, p2);
  double *g = dvector(1, p2);
  for (int k = 1; k <= p2; k++) {
    for (int l = 1; l <= p2; l++) A[k][l] = M[first + k][first + l];
    double sum = 0.0;
    for (int s = 1; s <= n; s++) sum += y[s] * X[s][first + k];
    b[k] = sum;
  }
  choldc(A, p2, d);
  cholsl(A, p2, d, b, g);
  free_dvector(d, 1, p2);
  free_dvector(b, 1, p2);
  free_dmatrix(A, 1, p2, 1, p2);
  return g;
}

// Null residuals r = y - X[.][q+1..p] g, one column at a time; u[j] <- sum_s r_s X[s][j] for
// the tested columns j = 1..q. Returns the residual sum of squares.
double null_scores(double *y, double **X, double *g, int n, int p, int q, double *u) {
  double rss = 0.0;
  for (int j = 1; j <= q; j++) u[j] = 0.0;
  for (int s = 1; s <= n; s++) {
    double r = y[s];
    for (int k = 1; k <= p - q; k++) r -= X[s][q + k] * g[k];
    for (int j = 1; j <= q; j++) u[j] += r * X[s][j];
    rss += r * r;
  }
  return rss;
}

// A residual variance of zero (exact null fit), or one that overflowed, would make every score
// and variance non-finite; the callers then report the test as without result.
bool usable_variance(double s2) { return s2 > 0.0 && std::isfinite(s2); }

void divide_all(double **M, int p, double s2) {
  for (int i = 1; i <= p; i++)
    for (int j = 1; j <= p; j++) M[i][j] = M[i][j] / s2;
}

// Var of the score of column 1 given columns 2..p, from Ms = X'X / s2:
// Ms[1][1] - m' H^-1 m with H the nuisance block and m the cross row.
double single_score_variance(double **Ms, int p) {
  double V = Ms[1][1];
  int p2 = p - 1;
  if (p2 < 1)
    return V;
  double **H = dmatrix(1, p2, 1, p2);
  double *m = dvector(1, p2);
  for (int k = 1; k <= p2; k++) {
    m[k] = Ms[1][k + 1];
    for (int l = 1; l <= p2; l++) H[k][l] = Ms[k + 1][l + 1];
  }
  invv(H, p2);
  for (int i = 1; i <= p2; i++)
    for (int j = 1; j <= p2; j++) V = V - (m[i] * m[j]) * H[i][j];
  free_dvector(m, 1, p2);
  free_dmatrix(H, 1, p2, 1, p2);
  return V;
}

// V[1..q][1..q] (both triangles) <- Ms11 - Z B^-1 Z' with Z the tested-by-nuisance block and B
// the nuisance block of Ms; the correction is left out when B is not positive definite
// (flag_positiveQ1 false).
void multi_score_variance(double **Ms, double **V, int p, int q) {
  int p2 = p - q;
  double **Z = dmatrix(1, q, 1, p2);
  double **B = dmatrix(1, p2, 1, p2);
  double **Q = dmatrix(1, q, 1, q);
  for (int i = 1; i <= q; i++)
    for (int k = 1; k <= p2; k++) Z[i][k] = Ms[i][q + k];
  for (int k = 1; k <= p2; k++)
    for (int l = 1; l <= p2; l++) B[k][l] = Ms[q + k][q + l];
  cal_ainvBa(Z, B, p2, q, Q);
  for (int i = 1; i <= q; i++) {
    for (int j = i; j <= q; j++) {
      V[i][j] = flag_positiveQ1 ? Ms[i][j] - Q[i][j] : Ms[i][j];
      V[j][i] = V[i][j];
    }
  }
  free_dmatrix(Q, 1, q, 1, q);
  free_dmatrix(B, 1, p2, 1, p2);
  free_dmatrix(Z, 1, q, 1, p2);
}

}  // namespace

// y[1..n], X[1..n][1..p]. Writes beta[1..p], *sigma2 = RSS/n, cov[i][j] for i <= j <= p and
// cov[p+1][p+1] = 2 sigma2^2 / n; cov's strict lower triangle and column/row p+1 off the
// diagonal are not written. Stops ("choldc failed") when X'X is not positive definite.
void LinearReg_beta_cov(double *y, double **X, double *beta, double *sigma2, double **cov, int n,
                        int p) {
  double **A = cross_products(X, n, p);
  double *b = dvector(1, p);
  double *d = dvector(1, p);
  for (int i = 1; i <= p; i++) {
    double sum = 0.0;
    for (int s = 1; s <= n; s++) sum += y[s] * X[s][i];
    b[i] = sum;
  }
  choldc(A, p, d);
  cholsl(A, p, d, b, beta);
  double rss = 0.0;
  for (int s = 1; s <= n; s++) {
    double r = y[s];
    for (int j = 1; j <= p; j++) r -= X[s][j] * beta[j];
    rss += r * r;
  }
  *sigma2 = rss / n;  // maximum-likelihood divisor n
  cholinv(A, d, p);
  for (int i = 1; i <= p; i++)
    for (int j = i; j <= p; j++) cov[i][j] = A[i][j] * (*sigma2);
  cov[p + 1][p + 1] = *sigma2 * (*sigma2 + *sigma2) / n;
  free_dvector(d, 1, p);
  free_dvector(b, 1, p);
  free_dmatrix(A, 1, p, 1, p);
}

// y[1..n], X[1..n][1..p]. U, V: score of column 1 and its variance given columns 2..p (null
// fit on those). Stops ("choldc failed") when the nuisance columns are collinear. U = V = 0
// when the null residual variance is not positive and finite.
void LinearReg_beta_score(double *y, double **X, double &U, double &V, int n, int p) {
  double **M = cross_products(X, n, p);
  double *g = null_fit(y, X, M, n, 1, p - 1);
  double *u = dvector(1, 1);
  double s2 = null_scores(y, X, g, n, p, 1, u) / n;
  if (usable_variance(s2)) {
    U = u[1] / s2;
    divide_all(M, p, s2);
    V = single_score_variance(M, p);
  } else {
    U = 0.0;
    V = 0.0;
  }
  free_dvector(u, 1, 1);
  free_dvector(g, 1, p - 1);
  free_dmatrix(M, 1, p, 1, p);
}

// y[1..n], X[1..n][1..p]. U[1..q] and V[1..q][1..q] (both triangles): score of columns 1..q
// and its covariance given columns q+1..p. flag_positiveQ1 false means the nuisance correction
// of V was left out, or (with U = V = 0) that the null residual variance was not positive and
// finite. Stops ("choldc failed") when the nuisance columns are collinear.
void LinearReg_beta_score_v2(double *y, double **X, double *U, double **V, int n, int p, int q) {
  int p2 = p - q;
  double **M = cross_products(X, n, p);
  double *g = null_fit(y, X, M, n, q, p2);
  double s2 = null_scores(y, X, g, n, p, q, U) / n;
  if (usable_variance(s2)) {
    for (int j = 1; j <= q; j++) U[j] = U[j] / s2;
    divide_all(M, p, s2);
    multi_score_variance(M, V, p, q);
  } else {
    for (int i = 1; i <= q; i++) {
      U[i] = 0.0;
      for (int j = 1; j <= q; j++) V[i][j] = 0.0;
    }
    flag_positiveQ1 = false;
  }
  free_dvector(g, 1, p2);
  free_dmatrix(M, 1, p, 1, p);
}

// ---------------------------------------------------------------------------------------------
// Incomplete gamma function (Press et al., Numerical Recipes, sec. 6.2)
// ---------------------------------------------------------------------------------------------

namespace {

const int ITMAX = 500;
// A little below the machine epsilon 2.220446049250313e-16: convergence needs a relative
// change strictly under it.
const double EPS = 2.2204460492503e-16;
// Near the smallest normal number, to keep Lentz's denominators away from zero.
const double FPMIN = 1.00208e-292;

// The incomplete-gamma stops write one line on standard output and end the run.
[[noreturn]] void gamma_stop(const char *message) {
  std::puts(message);
  std::exit(1);
}

}  // namespace

// ln Gamma(xx), xx > 0, by Lanczos' series (Lanczos 1964) with six terms.
double gammln(double xx) {
  // clang-format off
  static const double cof[6] = {76.18009172947146,     -86.50532032941678,
                                24.01409824083091,     -1.231739572450155,
                                0.001208650973866179, -5.395239384953e-06};
  // clang-format on
  double tmp = xx + 5.5;
  tmp = tmp - (xx + 0.5) * std::log(tmp);
  double ser = 1.000000000190015;
  double y = xx;
  for (int j = 0; j < 6; j++) {
    y = y + 1.0;
    ser = ser + cof[j] / y;
  }
  return std::log(2.5066282746310007 * ser / xx) - tmp;
}

// *gamser <- P(a, x) by its power series (used for x < a + 1), *gln <- ln Gamma(a). Stops on
// x < 0 and when 500 terms do not converge.
void gser(double *gamser, double a, double x, double *gln) {
  *gln = gammln(a);
  if (x <= 0.0) {
    if (x < 0.0)
      gamma_stop("x less than 0 in routine gser");
    *gamser = 0.0;
    return;
  }
  double ap = a;
  double del = 1.0 / a;
  double sum = del;
  for (int n = 1; n <= ITMAX; n++) {
    ap = ap + 1.0;
    del = del * (x / ap);
    sum = sum + del;
    if (std::fabs(del) < std::fabs(sum) * EPS) {
      *gamser = sum * std::exp((std::log(x) * a - x) - *gln);
      return;
    }
  }
  gamma_stop("a too large, ITMAX too small in routine gser");
}

// *gammcf <- Q(a, x) by its continued fraction, evaluated with the modified Lentz method
// (Thompson & Barnett 1986; used for x >= a + 1), *gln <- ln Gamma(a). Stops when 500 passes
// do not converge, which is also what a non-finite x leads to.
void gcf(double *gammcf, double a, double x, double *gln) {
  *gln = gammln(a);
  double b = x + 1.0 - a;
  double c = 1.0 / FPMIN;
  double d = 1.0 / b;
  double h = d;
  for (int i = 1; i <= ITMAX; i++) {
    double an = -static_cast<double>(i) * (static_cast<double>(i) - a);
    b = b + 2.0;
    d = an * d + b;
    d = std::fabs(d) < FPMIN ? 1.0 / FPMIN : 1.0 / d;
    c = b + an / c;
    if (std::fabs(c) < FPMIN)
      c = FPMIN;
    double del = c * d;
    h = h * del;
    if (std::fabs(del - 1.0) < EPS) {
      *gammcf = h * std::exp((std::log(x) * a - x) - *gln);
      return;
    }
  }
  gamma_stop("A too large, ITMAX too small");
}

// Q(a, x) = Gamma(a, x) / Gamma(a): series below x = a + 1, continued fraction from there on,
// where each converges fastest. Stops when x < 0 or a <= 0.
double gammq(double a, double x) {
  if (x < 0.0 || a <= 0.0)
    gamma_stop("Invalid arguments in routine gammp");
  double gln;
  if (x < a + 1.0) {
    double gamser;
    gser(&gamser, a, x, &gln);
    return 1.0 - gamser;
  }
  double gammcf;
  gcf(&gammcf, a, x, &gln);
  return gammcf;
}

// ---------------------------------------------------------------------------------------------
// Random numbers
// ---------------------------------------------------------------------------------------------

int64_t gix = 4567;
int64_t giy = 6789;
int64_t giz = 8901;

// Wichmann & Hill (1982), algorithm AS 183: three multiplicative congruential generators,
// each step written with Schrage's split so that nothing overflows.
double runifC3() {
  gix = 171 * (gix % 177) - 2 * (gix / 177);
  giy = 172 * (giy % 176) - 35 * (giy / 176);
  giz = 170 * (giz % 178) - 63 * (giz / 178);
  if (gix < 0)
    gix += 30269;
  if (giy < 0)
    giy += 30307;
  if (giz < 0)
    giz += 30323;
  return std::fmod(gix / 30269.0 + giy / 30307.0 + giz / 30323.0, 1.0);
}

// Marsaglia's polar method: each accepted pair gives two deviates, the second kept for the
// next call.
double rnormC() {
  static int iset = 0;
  static double gset;
  if (iset != 0) {
    iset = 0;
    return gset;
  }
  double w1, w2, rsq;
  do {
    double r1 = runifC3();
    double r2 = runifC3();
    w1 = r1 + r1 - 1.0;
    w2 = r2 + r2 - 1.0;
    rsq = w1 * w1 + w2 * w2;
  } while (rsq >= 1.0 || rsq == 0.0);
  double fac = std::sqrt(-2.0 * std::log(rsq) / rsq);
  gset = w1 * fac;
  iset = 1;
  return w2 * fac;
}
