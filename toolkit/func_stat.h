// Least-squares regression with score statistics, the regularised incomplete gamma function
// (chi-square tail) and two random-number generators.
#ifndef VARNOSTA_TOOLKIT_FUNC_STAT_H
#define VARNOSTA_TOOLKIT_FUNC_STAT_H

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Ordinary least squares with normal errors; y[1..n], X[1..n][1..p], tested column(s) first.
// Residual variance is the maximum-likelihood RSS/n.
// ---------------------------------------------------------------------------------------------

// beta[1..p], *sigma2 = RSS/n, cov[i][j] (i <= j <= p) = (X'X)^-1 sigma2 and
// cov[p+1][p+1] = 2 sigma2^2 / n; cov needs at least p+1 rows and columns.
void LinearReg_beta_cov(double *y, double **X, double *beta, double *sigma2, double **cov, int n,
                        int p);
// Score U and its variance V for column 1 given columns 2..p. A null fit with a residual
// variance that is not positive and finite gives U = V = 0 (no result).
void LinearReg_beta_score(double *y, double **X, double &U, double &V, int n, int p);
// Score U[1..q] and its covariance V[1..q][1..q] (both triangles) for columns 1..q given
// columns q+1..p; writes flag_positiveQ1 (false: V left uncorrected, or U = V = 0 after a null
// fit whose residual variance is not positive and finite).
void LinearReg_beta_score_v2(double *y, double **X, double *U, double **V, int n, int p, int q);

// ---------------------------------------------------------------------------------------------
// Incomplete gamma function
// ---------------------------------------------------------------------------------------------

// Q(a, x) = Gamma(a, x) / Gamma(a); the chi-square(1) tail at s is gammq(0.5, s / 2).
double gammq(double a, double x);
// *gamser <- P(a, x) by its series; *gln <- ln Gamma(a).
void gser(double *gamser, double a, double x, double *gln);
// *gammcf <- Q(a, x) by its continued fraction; *gln <- ln Gamma(a).
void gcf(double *gammcf, double a, double x, double *gln);
// ln Gamma(xx) for xx > 0.
double gammln(double xx);

// ---------------------------------------------------------------------------------------------
// Random numbers (not used by the analyses)
// ---------------------------------------------------------------------------------------------

// Seeds of runifC3 (initially 4567, 6789, 8901); nothing in the program reseeds them.
extern int64_t gix, giy, giz;

// Uniform deviate in [0, 1); advances the three seeds.
double runifC3();
// Standard normal deviate; caches the second deviate of each pair.
double rnormC();

#endif  // VARNOSTA_TOOLKIT_FUNC_STAT_H
