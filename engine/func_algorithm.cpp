#include "engine/func_algorithm.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/func_stat.h"

// Iteration limit of the EM fits. Deliberately left out of the header: only the engine's tests
// lower it, to look at the iterates one at a time.
namespace engine_hooks {
int em_iteration_limit = 500;
}

// The driver's trait count K and single-variant design width p (defined at the end of the file).
static int driver_K();
static int driver_p();

namespace {

// The fits stop once the L1 step over covariance entries, coefficients and masses falls strictly
// below this absolute bound; being absolute, the stopping iteration (and so the printed digits)
// depends on the data alone.
constexpr double kEmTolerance = 0.0001;

// Entry (a, b) of a symmetric matrix kept in its upper triangle.
inline double upper(double **A, int a, int b) { return a <= b ? A[a][b] : A[b][a]; }

// Entry (a, b) of s = Sigma^-1 where the information routines keep it: the diagonal in Sigma0,
// the rest in Sigma's strict lower triangle (Sigma's upper triangle is busy with the sweeps).
inline double sinv(double **Sigma, const double *Sigma0, int a, int b) {
  if (a == b)
    return Sigma0[a];
  return a < b ? Sigma[b][a] : Sigma[a][b];
}

// Sweeps Sigma's upper triangle exactly on the traits with observed[k] = 1, starting from the
// pivots that are swept now, so only traits whose state changes are touched and the swept state
// carries over from one missing pattern to the next. A zero diagonal entry is left alone.
void toggle_sigma(double **Sigma, int K, const int *observed) {
  for (int k = 1; k <= K; k++) {
    if (Sigma[k][k] > 0 && observed[k] == 1)
      swp(Sigma, K, k);
    if (Sigma[k][k] < 0 && observed[k] == 0)
      rsw(Sigma, K, k);
  }
}

// Weta[j][k] = sum over l = 1..w of W_Uni[j][l] B[l][k], j = 1..J, k = 1..K.
void fitted_means(int w, int K, int J, double **W_Uni, double **B, double **Weta) {
  for (int j = 1; j <= J; j++) {
    for (int k = 1; k <= K; k++) {
      double sum = 0.0;
      for (int l = 1; l <= w; l++) sum += W_Uni[j][l] * B[l][k];
      Weta[j][k] = sum;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// EM fit: start
// ---------------------------------------------------------------------------------------------

// Sigma = I in both triangles, Sigma0 = 1, B[1..w][1..K] = 0, q = q0 = n_UniW / m.
void em_initial_values(int w, int K, int m, int J, int *n_UniW, double *Sigma0, double **Sigma,
                       double **B, double *q, double *q0) {
  for (int k = 1; k <= K; k++) {
    Sigma0[k] = 1.0;
    for (int k2 = 1; k2 <= K; k2++) Sigma[k][k2] = (k == k2) ? 1.0 : 0.0;
  }
  for (int l = 1; l <= w; l++)
    for (int k = 1; k <= K; k++) B[l][k] = 0.0;
  for (int j = 1; j <= J; j++) q[j] = q0[j] = static_cast<double>(n_UniW[j]) / m;
}

// Squares of one subject's observed traits into Tobs[w + o], their products into T's strict
// lower triangle (T[w + o_a][w + o_b] for o_b < o_a).
void add_observed_crossproducts(int w, const double *y, const int *obs, int nob, double **T,
                                double *Tobs) {
  for (int a = 1; a <= nob; a++) {
    int oa = obs[a];
    Tobs[w + oa] += y[oa] * y[oa];
    for (int b = 1; b < a; b++) T[w + oa][w + obs[b]] += y[oa] * y[obs[b]];
  }
}

// The part of T that no iteration changes: Tobs[1..w+K] and T's strict lower triangle are
// cleared, then filled with the cross products of the observed trait values, pattern by pattern,
// sequenced rows before non-sequenced rows.
void em_constant_crossproducts(int w, int K, int N_mispat, double **Y, int *mis_pats, int *mis_patn,
                               int **Obs, int *nobs, double **T, double *Tobs) {
  for (int l = 1; l <= w + K; l++) {
    Tobs[l] = 0.0;
    for (int s = 1; s < l; s++) T[l][s] = 0.0;
  }
  for (int t = 1; t <= N_mispat; t++) {
    for (int i = mis_pats[t] + 1; i <= mis_pats[t + 1]; i++)
      add_observed_crossproducts(w, Y[i], Obs[t], nobs[t], T, Tobs);
    for (int i = mis_patn[t] + 1; i <= mis_patn[t + 1]; i++)
      add_observed_crossproducts(w, Y[i], Obs[t], nobs[t], T, Tobs);
  }
}

// ---------------------------------------------------------------------------------------------
// EM fit: one iteration
// ---------------------------------------------------------------------------------------------

// Upper triangle of T <- the fixed part: diagonal from Tobs, the rest mirrored from the strict
// lower triangle. The design rows and columns become zero.
void em_restore_crossproducts(int w, int K, double **T, const double *Tobs) {
  for (int l = 1; l <= w + K; l++) {
    T[l][l] = Tobs[l];
    for (int s = 1; s < l; s++) T[s][l] = T[l][s];
  }
}

// Fitted means of the current coefficients; phiY = 0; q[j] = n_UniW[j], the sequenced part of
// the expected design counts.
void em_prepare_estep(int w, int K, int J, double **W_Uni, double **B, int *n_UniW, double **Weta,
                      double **phiY, double *q) {
  fitted_means(w, K, J, W_Uni, B, Weta);
  for (int j = 1; j <= J; j++) {
    for (int k = 1; k <= K; k++) phiY[j][k] = 0.0;
    q[j] = n_UniW[j];
  }
}

// Conditional means of one subject's missing traits given its observed ones, for mean mu, with
// Sigma swept on the observed traits: c[m] = mu_m + sum over o of (y_o - mu_o) S(o, m). Obs is
// ascending, so S(o, m) sits in row o for a leading run of o < m and in row m after it.
void conditional_means(const double *y, const double *mu, const int *obs, int nob, const int *mis,
                       int nmi, double **Sigma, double *c) {
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    double sum = mu[mk];
    int b = 1;
    for (; b <= nob && obs[b] < mk; b++) sum += (y[obs[b]] - mu[obs[b]]) * Sigma[obs[b]][mk];
    for (; b <= nob; b++) sum += (y[obs[b]] - mu[obs[b]]) * Sigma[mk][obs[b]];
    c[mk] = sum;
  }
}

// E-step of a sequenced subject with fitted mean mu: observed values and conditional moments of
// the missing traits into phiY_u (its distinct row's sums) and the trait block of T.
void estep_sequenced_row(int w, const double *y, const double *mu, const int *obs, int nob,
                         const int *mis, int nmi, double **Sigma, double *c, double *phiY_u,
                         double **T) {
  conditional_means(y, mu, obs, nob, mis, nmi, Sigma, c);
  for (int b = 1; b <= nob; b++) phiY_u[obs[b]] += y[obs[b]];
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    phiY_u[mk] += c[mk];
    for (int b = 1; b <= nob; b++) {
      int o = obs[b];
      T[w + std::min(o, mk)][w + std::max(o, mk)] += c[mk] * y[o];
    }
    T[w + mk][w + mk] += c[mk] * c[mk] + Sigma[mk][mk];
    for (int a2 = 1; a2 < a; a2++) {
      int m2 = mis[a2];
      T[w + m2][w + mk] += c[m2] * c[mk] + Sigma[m2][mk];
    }
  }
}

// -1/2 d' Sigma_OO^-1 d for d = y - mu on the observed traits, from Sigma swept on them (its
// swept block is -Sigma_OO^-1); 0 when no trait is observed.
double log_kernel(const double *y, const double *mu, const int *obs, int nob, double **Sigma) {
  double A = 0.0;
  for (int a = 1; a <= nob; a++) {
    int oa = obs[a];
    double da = y[oa] - mu[oa];
    A += 0.5 * Sigma[oa][oa] * da * da;
    for (int b = 1; b < a; b++) {
      int ob = obs[b];
      A += Sigma[ob][oa] * (y[ob] - mu[ob]) * da;
    }
  }
  return A;
}

// Unnormalised posterior weights phi_r[j] = exp(A_j) q0[j] of a non-sequenced subject over the
// distinct rows; returns their total. When every term underflows (or the total is not finite)
// the weights are recomputed as exp(A_j - max A) q0[j]: the same weights after normalisation,
// without the underflow that would otherwise turn them into 0/0.
double posterior_weights(const double *y, double **Weta, const double *q0, int J, const int *obs,
                         int nob, double **Sigma, double *phi_r) {
  double total = 0.0;
  for (int j = 1; j <= J; j++) {
    phi_r[j] = std::exp(log_kernel(y, Weta[j], obs, nob, Sigma)) * q0[j];
    total += phi_r[j];
  }
  if (total > 0.0 && std::isfinite(total))
    return total;
  double largest = -std::numeric_limits<double>::infinity();
  for (int j = 1; j <= J; j++) {
    phi_r[j] = log_kernel(y, Weta[j], obs, nob, Sigma);
    largest = std::max(largest, phi_r[j]);
  }
  total = 0.0;
  for (int j = 1; j <= J; j++) {
    phi_r[j] = std::exp(phi_r[j] - largest) * q0[j];
    total += phi_r[j];
  }
  return total;
}

// E-step of a non-sequenced subject: posterior weights over the J distinct rows into phi_r, the
// weights added to the expected counts q, and the weighted observed values and conditional
// moments into phiY and T. The conditional covariance enters once, as the weights sum to one.
void estep_nonsequenced_row(int w, int J, const double *y, double **Weta, const double *q0,
                            const int *obs, int nob, const int *mis, int nmi, double **Sigma,
                            double *c, double *phi_r, double *q, double **phiY, double **T) {
  double total = posterior_weights(y, Weta, q0, J, obs, nob, Sigma, phi_r);
  for (int j = 1; j <= J; j++) {
    phi_r[j] = phi_r[j] / total;
    double wt = phi_r[j];
    q[j] += wt;
    for (int b = 1; b <= nob; b++) phiY[j][obs[b]] += wt * y[obs[b]];
  }
  if (nmi == 0)
    return;
  for (int j = 1; j <= J; j++) {
    double wt = phi_r[j];
    conditional_means(y, Weta[j], obs, nob, mis, nmi, Sigma, c);
    for (int a = 1; a <= nmi; a++) {
      int mk = mis[a];
      double wc = wt * c[mk];
      phiY[j][mk] += wc;
      for (int b = 1; b <= nob; b++) {
        int o = obs[b];
        T[w + std::min(o, mk)][w + std::max(o, mk)] += wc * y[o];
      }
      T[w + mk][w + mk] += wc * c[mk];
      for (int a2 = 1; a2 < a; a2++) T[w + mis[a2]][w + mk] += wt * c[mis[a2]] * c[mk];
    }
  }
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    T[w + mk][w + mk] += Sigma[mk][mk];
    for (int a2 = 1; a2 < a; a2++) T[w + mis[a2]][w + mk] += Sigma[mis[a2]][mk];
  }
}

// E-step over all subjects, pattern by pattern, on design width w: adds the expected trait
// cross products to T's trait block, the expected design counts to q, the per-row sums of
// observed and expected traits to phiY, and writes the posterior weights phi[i - m][1..J].
// Reads the fitted means Weta and the previous masses q0; leaves Sigma's upper triangle swept on
// the observed traits of the last pattern.
void em_estep(int w, int K, int m, int N_mispat, int J, int *ind_UniW, double **Y, int *mis_pats,
              int *mis_patn, int **mis_R, int **Mis, int **Obs, int *nobs, int *nmis,
              double **Sigma, double *q, double *q0, double **Weta, double *c, double **phi,
              double **phiY, double **T) {
  for (int t = 1; t <= N_mispat; t++) {
    toggle_sigma(Sigma, K, mis_R[t]);
    for (int i = mis_pats[t] + 1; i <= mis_pats[t + 1]; i++) {
      int u = ind_UniW[i];
      estep_sequenced_row(w, Y[i], Weta[u], Obs[t], nobs[t], Mis[t], nmis[t], Sigma, c, phiY[u], T);
    }
    for (int i = mis_patn[t] + 1; i <= mis_patn[t + 1]; i++)
      estep_nonsequenced_row(w, J, Y[i], Weta, q0, Obs[t], nobs[t], Mis[t], nmis[t], Sigma, c,
                             phi[i - m], q, phiY, T);
  }
}

// Expected design cross products and design-trait products into T's upper triangle (rows
// 1..w), then the expected counts q[j] become masses (they sum to n, so the masses sum to 1).
void em_accumulate_design(int w, int K, int J, int n, double **W_Uni, double **phiY, double *q,
                          double **T) {
  for (int j = 1; j <= J; j++) {
    const double *row = W_Uni[j];
    for (int l = 1; l <= w; l++) {
      double qr = q[j] * row[l];
      for (int l2 = l; l2 <= w; l2++) T[l][l2] += qr * row[l2];
    }
    for (int l = 1; l <= w; l++) {
      for (int k = 1; k <= K; k++) T[l][w + k] += phiY[j][k] * row[l];
    }
    q[j] = q[j] / n;
  }
}

// M-step of the full fit: sweeping T on the design pivots leaves the new coefficients in
// T[1..w][w+1..w+K] and the residual cross products in the trait block, whose division by n
// gives the new covariance in Sigma's upper triangle (the lower keeps the previous iterate).
void em_maximise_swept(int w, int K, int n, double **T, double **Sigma) {
  for (int l = 1; l <= w; l++) swp(T, w + K, l);
  for (int k = 1; k <= K; k++) {
    for (int k2 = k; k2 <= K; k2++) Sigma[k][k2] = T[w + k][w + k2] / n;
  }
}

// L1 step between the previous iterate (Sigma's lower triangle, Sigma0, B, q0) and the new one
// (Sigma's upper triangle, Bnew[l][col0 + k], q), summed trait by trait (covariance entries,
// then coefficients) and then over the masses.
double em_distance(int w, int K, int J, double **Sigma, const double *Sigma0, double **B,
                   double **Bnew, int col0, const double *q, const double *q0) {
  double D = 0.0;
  for (int k = 1; k <= K; k++) {
    D += std::fabs(Sigma[k][k] - Sigma0[k]);
    for (int k2 = 1; k2 < k; k2++) D += std::fabs(Sigma[k2][k] - Sigma[k][k2]);
    for (int l = 1; l <= w; l++) D += std::fabs(B[l][k] - Bnew[l][col0 + k]);
  }
  for (int j = 1; j <= J; j++) D += std::fabs(q[j] - q0[j]);
  return D;
}

// The new iterate becomes the previous one: Sigma0 and Sigma's lower triangle from its upper
// triangle, B from Bnew[l][col0 + k], q0 from q.
void em_copy_back(int w, int K, int J, double **Sigma, double *Sigma0, double **B, double **Bnew,
                  int col0, const double *q, double *q0) {
  for (int k = 1; k <= K; k++) {
    Sigma0[k] = Sigma[k][k];
    for (int k2 = 1; k2 < k; k2++) Sigma[k][k2] = Sigma[k2][k];
    for (int l = 1; l <= w; l++) B[l][k] = Bnew[l][col0 + k];
  }
  for (int j = 1; j <= J; j++) q0[j] = q[j];
}

// The EM fit on design width w with the swept M-step (the shared body of EM_algorithm_v5 and
// EM_algorithm_null; see the header for the arrays).
void em_fit_swept(int w, int K, int m, int n, int N_mispat, double *Sigma0, double **Sigma,
                  double **B, double *q, double *q0, double **phi, double **phiY, double **T,
                  double *Tobs, double **Weta, double *c, double **Y, int *mis_pats, int *mis_patn,
                  int **mis_R, int **Mis, int **Obs, int *nobs, int *nmis, int J, int *n_UniW,
                  int *ind_UniW, double **W_Uni) {
  em_initial_values(w, K, m, J, n_UniW, Sigma0, Sigma, B, q, q0);
  flag_nonconvergence = false;
  em_constant_crossproducts(w, K, N_mispat, Y, mis_pats, mis_patn, Obs, nobs, T, Tobs);
  for (int iter = 1; iter <= engine_hooks::em_iteration_limit; iter++) {
    em_restore_crossproducts(w, K, T, Tobs);
    em_prepare_estep(w, K, J, W_Uni, B, n_UniW, Weta, phiY, q);
    em_estep(w, K, m, N_mispat, J, ind_UniW, Y, mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis,
             Sigma, q, q0, Weta, c, phi, phiY, T);
    em_accumulate_design(w, K, J, n, W_Uni, phiY, q, T);
    em_maximise_swept(w, K, n, T, Sigma);
    double D = em_distance(w, K, J, Sigma, Sigma0, B, T, w, q, q0);
    em_copy_back(w, K, J, Sigma, Sigma0, B, T, w, q, q0);
    if (D < kEmTolerance)
      return;
  }
  flag_nonconvergence = true;
}

// ---------------------------------------------------------------------------------------------
// Louis' method (Louis 1982): complete-data information, plus the outer products of each
// subject's expected score, minus each subject's conditional second moments of the score.
// ---------------------------------------------------------------------------------------------

// What every Louis term of one call shares. Every trait has w coefficients read from the
// distinct row rows[j], except trait t (t = 0: none), which has wt read from rows_t[j]; trait
// k's block starts after offset(k) positions. Covariance entry (a, b), a <= b, sits at
// twoIND[a][b]; the masses at dimST + 1..dimST + J. With score_terms the coefficient-covariance
// entries also get the complete-data term and the -c_k s_ab part of the third moment that the
// score routines carry; the Wald information has neither.
struct LouisLayout {
  int K, dimST, w, t, wt;
  int **twoIND;
  double **rows, **rows_t;
  bool score_terms;

  int offset(int k) const { return (k - 1) * w + ((t > 0 && k > t) ? wt - w : 0); }
  int width(int k) const { return k == t ? wt : w; }
  const double *row(int k, int j) const { return k == t ? rows_t[j] : rows[j]; }
};

// The arrays the Louis terms read and write. s = Sigma^-1 has its diagonal in Sigma0 and the
// rest in Sigma's strict lower triangle (the upper triangle is busy with the sweeps). One
// subject's moments on the standardised residual scale z = s (y - mu): c = E[z | obs],
// c_var = V = Var(z | obs), c2 = E[z z' | obs] = V + c c', c3 the third moments. l1 holds the
// expected score, Q1 the information (upper triangle).
struct LouisArrays {
  double **Sigma;
  const double *Sigma0;
  double *c;
  double **c_var, **c2;
  double ***c3;
  double *l1;
  double **Q1;

  double s(int a, int b) const { return sinv(Sigma, Sigma0, a, b); }
};

// Sweeps Sigma on every trait (its upper triangle becomes -s) and stores s where the Louis terms
// read it: Sigma0[k] = s_kk, Sigma[k][k2] = s_k2k for k2 < k, and S = s in both triangles.
void store_inverse_covariance(int K, double **Sigma, double *Sigma0, double **S) {
  for (int k = 1; k <= K; k++) swp(Sigma, K, k);
  for (int k = 1; k <= K; k++) {
    Sigma0[k] = S[k][k] = -Sigma[k][k];
    for (int k2 = 1; k2 < k; k2++) Sigma[k][k2] = S[k][k2] = S[k2][k] = -Sigma[k2][k];
  }
}

// Complete-data coefficient block: Q1[o_k + l][o_k2 + l2] += s_kk2 M_ll2 for traits k <= k2
// (l <= l2 within a diagonal block), every trait of width w, M read from its upper triangle.
void add_complete_coefficient_block(int K, int w, double **M, const LouisArrays &A) {
  for (int k = 1; k <= K; k++) {
    for (int k2 = k; k2 <= K; k2++) {
      double s = A.s(k, k2);
      for (int l = 1; l <= w; l++) {
        for (int l2 = (k == k2 ? l : 1); l2 <= w; l2++)
          A.Q1[(k - 1) * w + l][(k2 - 1) * w + l2] += s * upper(M, l, l2);
      }
    }
  }
}

// Complete-data covariance block, n (1/2 tr(s E_ab s E_ef) + g_ab g_ef) with g_ab = h_ab s_ab,
// for every pair (a, b) <= (e, f) in row-by-row order. It uses sum_i E[z z' | obs] = n s, which
// holds at the EM fixed point.
void add_complete_covariance_block(int K, int n, int **twoIND, const LouisArrays &A) {
  auto s = [&](int a, int b) { return A.s(a, b); };
  for (int a = 1; a <= K; a++) {
    for (int b = a; b <= K; b++) {
      for (int e = a; e <= K; e++) {
        for (int f = (e == a ? b : e); f <= K; f++) {
          double v;
          if (a == b && e == f)
            v = n * 0.5 * (s(a, e) * s(a, e) + 0.5 * s(a, a) * s(e, e));
          else if (a == b)
            v = n * (s(a, e) * s(a, f) + 0.5 * s(a, a) * s(e, f));
          else if (e == f)
            v = n * (s(a, e) * s(b, e) + 0.5 * s(a, b) * s(e, e));
          else
            v = n * (s(a, e) * s(b, f) + s(a, f) * s(b, e) + s(a, b) * s(e, f));
          int x = twoIND[a][b], y = twoIND[e][f];
          A.Q1[std::min(x, y)][std::max(x, y)] += v;
        }
      }
    }
  }
}

// c_var = V = s - pad(Sigma_OO^-1) for the observed traits of a pattern, with Sigma's upper
// triangle swept on them (both triangles written). With every trait observed V vanishes, and
// `exact_zero` then sets it to exactly zero instead of s minus its own numerical inverse.
void louis_conditional_variance(int K, const int *obs, int nob, bool exact_zero,
                                const LouisArrays &A) {
  for (int a = 1; a <= K; a++) {
    for (int b = 1; b <= K; b++) A.c_var[a][b] = exact_zero ? 0.0 : A.s(a, b);
  }
  if (exact_zero)
    return;
  for (int a = 1; a <= nob; a++) {
    for (int b = 1; b <= nob; b++) A.c_var[obs[a]][obs[b]] += upper(A.Sigma, obs[a], obs[b]);
  }
}

// c = E[z | obs] for fitted mean mu (c_o = -sum over o2 of (y_o2 - mu_o2) S(o2, o), 0 on the
// missing traits) and c2 = c_var + c c' in both triangles. Obs is ascending, so S(o2, o) sits in
// row o2 up to o2 = o and in row o after it.
void louis_row_moments(int K, const double *y, const double *mu, const int *obs, int nob,
                       const LouisArrays &A) {
  double *c = A.c;
  for (int k = 1; k <= K; k++) c[k] = 0.0;
  for (int a = 1; a <= nob; a++) {
    int o = obs[a];
    double sum = 0.0;
    for (int b = 1; b <= a; b++) sum -= (y[obs[b]] - mu[obs[b]]) * A.Sigma[obs[b]][o];
    for (int b = a + 1; b <= nob; b++) sum -= (y[obs[b]] - mu[obs[b]]) * A.Sigma[o][obs[b]];
    c[o] = sum;
  }
  for (int a = 1; a <= K; a++) {
    for (int b = 1; b <= K; b++) A.c2[a][b] = A.c_var[a][b] + c[a] * c[b];
  }
}

// Adds omega times the expected complete-data score of distinct row j to l1[1..dimST]:
// coefficient (k, l) r_l c_k; covariance (k, f) h_kf (c2_kf - s_kf), h = 1/2 on the diagonal.
void add_expected_score(const LouisLayout &L, const LouisArrays &A, int j, double omega) {
  for (int k = 1; k <= L.K; k++) {
    const double *rk = L.row(k, j);
    int ok = L.offset(k), wk = L.width(k);
    for (int l = 1; l <= wk; l++) A.l1[ok + l] += omega * rk[l] * A.c[k];
  }
  for (int k = 1; k <= L.K; k++) {
    A.l1[L.twoIND[k][k]] += (A.c2[k][k] - A.Sigma0[k]) * omega * 0.5;
    for (int f = k + 1; f <= L.K; f++) A.l1[L.twoIND[k][f]] += (A.c2[k][f] - A.Sigma[f][k]) * omega;
  }
}

// c3[k][a][b] = E[z_k z_a z_b | obs] = c_k c2_ab + c_b V_ak + c_a V_bk for a <= b.
void third_moments(int K, const LouisArrays &A) {
  for (int k = 1; k <= K; k++) {
    for (int a = 1; a <= K; a++) {
      for (int b = a; b <= K; b++)
        A.c3[k][a][b] = A.c[k] * A.c2[a][b] + A.c[b] * A.c_var[a][k] + A.c[a] * A.c_var[b][k];
    }
  }
}

// Score routines only: the complete-data coefficient-covariance term r_l g, with
// g = s_ka c_a (a = b) or s_ka c_b + s_kb c_a (a < b), for trait k's rows, weight omega.
void add_score_coefficient_covariance(const LouisLayout &L, const LouisArrays &A, int k,
                                      const double *rk, double omega) {
  int ok = L.offset(k);
  for (int l = 1; l <= L.width(k); l++) {
    for (int a = 1; a <= L.K; a++) {
      for (int b = a; b <= L.K; b++) {
        double g = (a == b) ? A.s(k, a) * A.c[a] : A.s(k, a) * A.c[b] + A.s(k, b) * A.c[a];
        A.Q1[ok + l][L.twoIND[a][b]] += omega * rk[l] * g;
      }
    }
  }
}

// Coefficient-covariance entries of trait k's rows, weight omega: h_ab r_l E3[k][a][b]
// subtracted, with E3 = c3, less c_k s_ab when the score terms are on.
void correct_coefficient_covariance(const LouisLayout &L, const LouisArrays &A, int k,
                                    const double *rk, double omega) {
  int ok = L.offset(k);
  for (int l = 1; l <= L.width(k); l++) {
    double *Q = A.Q1[ok + l];
    // omega h r_l for h = 1/2 (diagonal pairs) and h = 1.
    double half = omega * 0.5 * rk[l], whole = omega * rk[l];
    for (int a = 1; a <= L.K; a++) {
      const int *pos = L.twoIND[a];
      const double *c3ka = A.c3[k][a];
      auto e3 = [&](int b) { return L.score_terms ? c3ka[b] - A.c[k] * A.s(a, b) : c3ka[b]; };
      Q[pos[a]] -= half * e3(a);
      for (int b = a + 1; b <= L.K; b++) Q[pos[b]] -= whole * e3(b);
    }
  }
}

// Coefficient rows of distinct row j, weight omega: the conditional second moments of the
// coefficient scores (r r' c2_kk2) and of the coefficient-covariance products (third moments)
// are subtracted. Needs c3.
void correct_coefficient_rows(const LouisLayout &L, const LouisArrays &A, int j, double omega) {
  for (int k = 1; k <= L.K; k++) {
    const double *rk = L.row(k, j);
    int ok = L.offset(k), wk = L.width(k);
    if (L.score_terms)
      add_score_coefficient_covariance(L, A, k, rk, omega);
    for (int k2 = k; k2 <= L.K; k2++) {
      const double *rk2 = L.row(k2, j);
      int ok2 = L.offset(k2), wk2 = L.width(k2);
      double m2 = A.c2[k][k2];
      for (int l = 1; l <= wk; l++) {
        double *Q = A.Q1[ok + l] + ok2;
        double rl = rk[l];
        for (int l2 = (k2 == k ? l : 1); l2 <= wk2; l2++) Q[l2] -= omega * (rl * rk2[l2]) * m2;
      }
    }
    correct_coefficient_covariance(L, A, k, rk, omega);
  }
}

// Covariance rows, weight omega: the fourth moments
// F(a,b,e,f) = c_a E3[b][e][f] + V_ab M2_ef + V_ae M2_bf + V_af M2_be times -h_ab h_ef.
void correct_covariance_rows(const LouisLayout &L, const LouisArrays &A, double omega) {
  double **V = A.c_var, **M2 = A.c2;
  for (int a = 1; a <= L.K; a++) {
    for (int b = a; b <= L.K; b++) {
      double hab = (a == b ? 0.5 : 1.0), ca = A.c[a], vab = V[a][b];
      int x = L.twoIND[a][b];
      for (int e = a; e <= L.K; e++) {
        const double *c3be = A.c3[b][e], *M2e = M2[e], *M2b = M2[b], *Va = V[a];
        const int *pe = L.twoIND[e];
        double vae = Va[e], m2be = M2b[e];
        for (int f = (e == a ? b : e); f <= L.K; f++) {
          double F = ca * c3be[f] + vab * M2e[f] + vae * M2b[f] + Va[f] * m2be;
          double factor = -hab * (e == f ? 0.5 : 1.0);
          int y = pe[f];
          A.Q1[std::min(x, y)][std::max(x, y)] += omega * F * factor;
        }
      }
    }
  }
}

// All conditional-moment corrections of distinct row j of one subject, weight omega.
void add_louis_corrections(const LouisLayout &L, const LouisArrays &A, int j, double omega) {
  third_moments(L.K, A);
  correct_coefficient_rows(L, A, j, omega);
  correct_covariance_rows(L, A, omega);
}

// Covariance-mass entries of a non-sequenced subject's row j (column col = dimST + j): the
// cross moments of the covariance scores with the mass score 1/q_j.
void add_covariance_mass_terms(const LouisLayout &L, const LouisArrays &A, int col, double qj,
                               double omega) {
  for (int k = 1; k <= L.K; k++) {
    A.Q1[L.twoIND[k][k]][col] += omega * A.c2[k][k] / (qj * (-2.0));
    for (int f = k + 1; f <= L.K; f++) A.Q1[L.twoIND[k][f]][col] -= omega * A.c2[k][f] / qj;
  }
}

// Q1[x][y] += l1[x] l1[y] for 1 <= x <= y <= d.
void add_outer_product(int d, const double *l1, double **Q1) {
  for (int x = 1; x <= d; x++) {
    for (int y = x; y <= d; y++) Q1[x][y] += l1[x] * l1[y];
  }
}

// Louis terms of a sequenced subject on distinct row u with fitted mean mu: outer product of
// its expected score over 1..dimST, then the corrections with weight 1.
void louis_sequenced_subject(const LouisLayout &L, const LouisArrays &A, int u, const double *y,
                             const double *mu, const int *obs, int nob) {
  louis_row_moments(L.K, y, mu, obs, nob, A);
  for (int x = 1; x <= L.dimST; x++) A.l1[x] = 0.0;
  add_expected_score(L, A, u, 1.0);
  add_outer_product(L.dimST, A.l1, A.Q1);
  add_louis_corrections(L, A, u, 1.0);
}

// Louis terms of a non-sequenced subject: for each distinct row j with weight phi_r[j], its
// expected score (mass entries included) into l1, the covariance-mass and conditional-moment
// corrections, and c times the weight into phiY[j]; then the outer product over 1..D.
void louis_nonsequenced_subject(const LouisLayout &L, const LouisArrays &A, int D, int J,
                                const double *y, double **Weta, const double *phi_r,
                                const double *q, const int *obs, int nob, double **phiY) {
  for (int x = 1; x <= D; x++) A.l1[x] = 0.0;
  for (int j = 1; j <= J; j++) {
    double omega = phi_r[j];
    louis_row_moments(L.K, y, Weta[j], obs, nob, A);
    for (int k = 1; k <= L.K; k++) phiY[j][k] += omega * A.c[k];
    add_expected_score(L, A, j, omega);
    A.l1[L.dimST + j] += omega / q[j];
    add_covariance_mass_terms(L, A, L.dimST + j, q[j], omega);
    add_louis_corrections(L, A, j, omega);
  }
  add_outer_product(D, A.l1, A.Q1);
}

// Subject terms of every pattern. With `complete_rule` a last pattern with every trait observed
// takes V = 0 exactly (the Wald information); otherwise every pattern takes its computed V.
// Leaves Sigma swept on the observed traits of the last pattern.
void louis_patterns(const LouisLayout &L, const LouisArrays &A, bool complete_rule, int m,
                    int N_mispat, int D, int J, int *ind_UniW, double **Y, int *mis_pats,
                    int *mis_patn, int **mis_R, int **Obs, int *nobs, double **Weta, double **phi,
                    const double *q, double **phiY) {
  for (int pt = 1; pt <= N_mispat; pt++) {
    toggle_sigma(A.Sigma, L.K, mis_R[pt]);
    bool exact_zero = complete_rule && pt == N_mispat && nobs[pt] == L.K;
    louis_conditional_variance(L.K, Obs[pt], nobs[pt], exact_zero, A);
    for (int i = mis_pats[pt] + 1; i <= mis_pats[pt + 1]; i++)
      louis_sequenced_subject(L, A, ind_UniW[i], Y[i], Weta[ind_UniW[i]], Obs[pt], nobs[pt]);
    for (int i = mis_patn[pt] + 1; i <= mis_patn[pt + 1]; i++)
      louis_nonsequenced_subject(L, A, D, J, Y[i], Weta, phi[i - m], q, Obs[pt], nobs[pt], phiY);
  }
}

// Mass rows and columns: coefficient-mass and covariance-mass terms of the complete data and of
// the non-sequenced subjects' sums phiY, then the mass diagonal n_UniW[j] / q_j^2. Uses
// sum_i phi_ij = n q_j - n_UniW[j], which holds at the EM fixed point.
void add_mass_block(const LouisLayout &L, const LouisArrays &A, int J, int n, const double *q,
                    const int *n_UniW, double **phiY) {
  for (int j = 1; j <= J; j++) {
    int col = L.dimST + j;
    double qj = q[j];
    for (int k = 1; k <= L.K; k++) {
      const double *rk = L.row(k, j);
      int ok = L.offset(k);
      for (int l = 1; l <= L.width(k); l++) A.Q1[ok + l][col] -= rk[l] * phiY[j][k] / qj;
      double excess = n - n_UniW[j] / qj;
      A.Q1[L.twoIND[k][k]][col] += excess * A.Sigma0[k] * 0.5;
      for (int f = k + 1; f <= L.K; f++) A.Q1[L.twoIND[k][f]][col] += excess * A.s(k, f);
    }
  }
  for (int j = 1; j <= J; j++) A.Q1[L.dimST + j][L.dimST + j] += n_UniW[j] / (q[j] * q[j]);
}

// Eliminates the last mass q_J = 1 - q_1 - ... - q_{J-1}: the information of order D becomes
// that of order D - 1 (upper triangle; column D is read before anything in it changes).
void reduce_sum_to_one(int dimST, int D, double **Q1) {
  for (int i = 1; i <= dimST; i++) {
    for (int j = dimST + 1; j <= D - 1; j++) Q1[i][j] -= Q1[i][D];
  }
  for (int i = dimST + 1; i <= D - 1; i++) {
    for (int j = i; j <= D - 1; j++) Q1[i][j] -= Q1[i][D] + Q1[j][D] - Q1[D][D];
  }
}

// Reverse-sweeps T's design block (order w) back to the expected design cross products of the
// last E-step; stops when a pivot shows that the fit's sweep is not in place.
void recover_design_crossproducts(int w, double **T) {
  for (int l = 1; l <= w; l++) {
    if (T[l][l] >= 0) {
      std::cerr << "Error: T[1...p][1...p] is not swepted yet after the last iteration in EM "
                   "algorithm!"
                << std::endl;
      kill_program();
    }
    rsw(T, w, l);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------------------------

// Full model of one variant; see the header. Reads the globals K and p.
void EM_algorithm_v5(int m, int n, int N_mispat, double *Sigma0, double **Sigma, double **eta0,
                     double *q, double *q0, double **phi, double **phiY, double **T, double *Tobs,
                     double **Weta, double *c, double **Y, double ** /*W*/, int *mis_pats,
                     int *mis_patn, int **mis_R, int **Mis, int **Obs, int *nobs, int *nmis, int J,
                     int *n_UniW, int *ind_UniW, double **W_Uni) {
  em_fit_swept(driver_p(), driver_K(), m, n, N_mispat, Sigma0, Sigma, eta0, q, q0, phi, phiY, T,
               Tobs, Weta, c, Y, mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J, n_UniW,
               ind_UniW, W_Uni);
}

// Model of design width p0 (no genetic column); see the header. Reads the global K.
void EM_algorithm_null(int p0, int m, int n, int N_mispat, double *Sigma0, double **Sigma,
                       double **eta0, double *q, double *q0, double **phi, double **phiY,
                       double **T, double *Tobs, double **Weta, double *c, double **Y,
                       double ** /*W*/, int *mis_pats, int *mis_patn, int **mis_R, int **Mis,
                       int **Obs, int *nobs, int *nmis, int J, int *n_UniW, int *ind_UniW,
                       double **W_Uni) {
  em_fit_swept(p0, driver_K(), m, n, N_mispat, Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta,
               c, Y, mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J, n_UniW, ind_UniW, W_Uni);
}

// Information matrix by Louis' method at the fit of EM_algorithm_v5, reduced and inverted; see
// the header. The positive-definiteness test runs after every fit, converged or not, so that an
// unusable matrix is reported through flag_positiveQ1 instead of ending the run.
void Variance_v3(int n, int m, int N_mispat, int dim, int dimST, double **Q1, double *l1,
                 double **eta0, double **Sigma, double *Sigma0, double *q, double **phi,
                 double **phiY, double **Weta, double *c, double ** /*W*/, double **Y,
                 double **c_var, double **T, int **twoIND, double **c2, double ** /*WW*/,
                 double ***c3, int *nobs, int * /*nmis*/, int ** /*Mis*/, int **Obs, int **mis_R,
                 int *mis_pats, int *mis_patn, int J, int *n_UniW, int *ind_UniW, double **W_Uni) {
  const int K = driver_K(), p = driver_p();
  fitted_means(p, K, J, W_Uni, eta0, Weta);
  store_inverse_covariance(K, Sigma, Sigma0, c_var);
  for (int i = 1; i <= dim; i++) {
    for (int j = i; j <= dim; j++) Q1[i][j] = 0.0;
  }
  for (int j = 1; j <= J; j++) {
    for (int k = 1; k <= K; k++) phiY[j][k] = 0.0;
  }
  recover_design_crossproducts(p, T);
  const LouisLayout L{K, dimST, p, 0, p, twoIND, W_Uni, nullptr, false};
  const LouisArrays A{Sigma, Sigma0, c, c_var, c2, c3, l1, Q1};
  add_complete_coefficient_block(K, p, T, A);
  add_complete_covariance_block(K, n, twoIND, A);
  louis_patterns(L, A, true, m, N_mispat, dim, J, ind_UniW, Y, mis_pats, mis_patn, mis_R, Obs, nobs,
                 Weta, phi, q, phiY);
  add_mass_block(L, A, J, n, q, n_UniW, phiY);
  reduce_sum_to_one(dimST, dim, Q1);
  flag_positiveQ1 = choldcCheckPositive(Q1, dim - 1, l1);
  if (!flag_positiveQ1)
    return;
  choldc(Q1, dim - 1, l1);
  cholinv(Q1, l1, dim - 1);
}

// Wald standard errors and chi-square(1) p-values of the genetic coefficients; see the header.
// A variance or statistic that is not usable never reaches gammq.
void Pvalue(int K, int p, double *pval, double *se, double **eta0, double **Q1) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int k = 1; k <= K; k++) {
    int pos = (k - 1) * p + 1;
    double v = Q1[pos][pos];
    double stat = eta0[1][k] * eta0[1][k] / (2 * v);
    if (!(v > 0 && std::isfinite(v)) || !std::isfinite(stat)) {
      se[k] = pval[k] = nan;
      continue;
    }
    se[k] = std::sqrt(v);
    pval[k] = gammq(0.5, stat);
  }
}

// The driver's globals are declared here, after every routine, so that parameters named K and p
// (Pvalue, the score routines) do not shadow them; at global scope, so that they name the
// driver's variables.
static int driver_K() {
  extern int K;
  return K;
}
static int driver_p() {
  extern int p;
  return p;
}
