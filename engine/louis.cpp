// Observed information of the joint model by Louis' method (Louis 1982): the complete-data
// information, plus the outer products of each subject's expected score, minus each subject's
// conditional second moments of the score. One assembly serves the Wald information and the
// efficient scores; they differ in the rows, widths and positions of the coefficients (the
// layout) and in two score terms.
#include "engine/louis.h"

#include <algorithm>

#include "toolkit/func_linear_algebra.h"

namespace engine {

void store_inverse_covariance(int K, double **Sigma, double *Sigma0, double **S) {
  for (int k = 1; k <= K; k++) swp(Sigma, K, k);
  for (int k = 1; k <= K; k++) {
    Sigma0[k] = S[k][k] = -Sigma[k][k];
    for (int k2 = 1; k2 < k; k2++) Sigma[k][k2] = S[k][k2] = S[k2][k] = -Sigma[k2][k];
  }
}

namespace {

// ---------------------------------------------------------------------------------------------
// Complete-data information
// ---------------------------------------------------------------------------------------------

// Coefficient block: Q1[o_k + l][o_k2 + l2] += s_kk2 M^(k,k2)_ll2 for traits k <= k2 (l <= l2
// within a diagonal block).
void add_complete_coefficient_block(const LouisLayout &L, const DesignMoments &M,
                                    const LouisArrays &A) {
  for (int k = 1; k <= L.K; k++) {
    for (int k2 = k; k2 <= L.K; k2++) {
      double s = A.s(k, k2);
      int ok = L.offset(k), ok2 = L.offset(k2);
      for (int l = 1; l <= L.width(k); l++) {
        for (int l2 = (k == k2 ? l : 1); l2 <= L.width(k2); l2++)
          A.Q1[ok + l][ok2 + l2] += s * M.at(L.t, k, k2, l, l2);
      }
    }
  }
}

// Covariance block, n (1/2 tr(s E_ab s E_ef) + g_ab g_ef) with g_ab = h_ab s_ab, for every pair
// (a, b) <= (e, f) in row-by-row order. It uses sum_i E[z z' | obs] = n s, which holds at the
// EM fixed point.
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

// ---------------------------------------------------------------------------------------------
// One subject's conditional moments
// ---------------------------------------------------------------------------------------------

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

// c3[k][a][b] = E[z_k z_a z_b | obs] = c_k c2_ab + c_b V_ak + c_a V_bk for a <= b.
void third_moments(int K, const LouisArrays &A) {
  for (int k = 1; k <= K; k++) {
    for (int a = 1; a <= K; a++) {
      for (int b = a; b <= K; b++)
        A.c3[k][a][b] = A.c[k] * A.c2[a][b] + A.c[b] * A.c_var[a][k] + A.c[a] * A.c_var[b][k];
    }
  }
}

// ---------------------------------------------------------------------------------------------
// One subject's terms
// ---------------------------------------------------------------------------------------------

// Adds omega times the expected complete-data score of distinct row j to l1[1..dimST], and the
// same increments to score[1..dimST] when it is non-null: coefficient (k, l) r_l c_k;
// covariance (k, f) h_kf (c2_kf - s_kf), h = 1/2 on the diagonal.
void add_expected_score(const LouisLayout &L, const LouisArrays &A, int j, double omega,
                        double *score) {
  for (int k = 1; k <= L.K; k++) {
    const double *rk = L.row(k, j);
    int ok = L.offset(k), wk = L.width(k);
    for (int l = 1; l <= wk; l++) {
      double v = omega * rk[l] * A.c[k];
      A.l1[ok + l] += v;
      if (score)
        score[ok + l] += v;
    }
  }
  for (int k = 1; k <= L.K; k++) {
    for (int f = k; f <= L.K; f++) {
      double v = (f == k) ? (A.c2[k][k] - A.Sigma0[k]) * omega * 0.5
                          : (A.c2[k][f] - A.Sigma[f][k]) * omega;
      A.l1[L.twoIND[k][f]] += v;
      if (score)
        score[L.twoIND[k][f]] += v;
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
                             const double *mu, const int *obs, int nob, double *score) {
  louis_row_moments(L.K, y, mu, obs, nob, A);
  for (int x = 1; x <= L.dimST; x++) A.l1[x] = 0.0;
  add_expected_score(L, A, u, 1.0, score);
  add_outer_product(L.dimST, A.l1, A.Q1);
  add_louis_corrections(L, A, u, 1.0);
}

// Louis terms of a non-sequenced subject: for each distinct row j with weight phi_r[j], its
// expected score (mass entries included) into l1, the covariance-mass and conditional-moment
// corrections, and c times the weight into phiY[j]; then the outer product over 1..D.
void louis_nonsequenced_subject(const LouisLayout &L, const LouisArrays &A, int D, int J,
                                const double *y, const double *phi_r, const int *obs, int nob,
                                double *score) {
  for (int x = 1; x <= D; x++) A.l1[x] = 0.0;
  for (int j = 1; j <= J; j++) {
    double omega = phi_r[j];
    louis_row_moments(L.K, y, A.Weta[j], obs, nob, A);
    for (int k = 1; k <= L.K; k++) A.phiY[j][k] += omega * A.c[k];
    add_expected_score(L, A, j, omega, score);
    A.l1[L.dimST + j] += omega / A.q[j];
    add_covariance_mass_terms(L, A, L.dimST + j, A.q[j], omega);
    add_louis_corrections(L, A, j, omega);
  }
  add_outer_product(D, A.l1, A.Q1);
}

// Subject terms of every pattern. With the complete rule a last pattern with every trait
// observed takes V = 0 exactly; otherwise every pattern takes its computed V. Leaves Sigma swept
// on the observed traits of the last pattern.
void louis_patterns(const LouisLayout &L, const Subjects &s, const LouisArrays &A, int D,
                    double *score) {
  for (int pt = 1; pt <= s.N_mispat; pt++) {
    toggle_sigma(A.Sigma, L.K, s.mis_R[pt]);
    bool exact_zero = L.complete_rule && pt == s.N_mispat && s.nobs[pt] == L.K;
    const int *obs = s.Obs[pt], nob = s.nobs[pt];
    louis_conditional_variance(L.K, obs, nob, exact_zero, A);
    for (int i = s.mis_pats[pt] + 1; i <= s.mis_pats[pt + 1]; i++) {
      int u = s.ind_UniW[i];
      louis_sequenced_subject(L, A, u, s.Y[i], A.Weta[u], obs, nob, score);
    }
    for (int i = s.mis_patn[pt] + 1; i <= s.mis_patn[pt + 1]; i++)
      louis_nonsequenced_subject(L, A, D, s.J, s.Y[i], A.phi[i - s.m], obs, nob, score);
  }
}

// Mass rows and columns: coefficient-mass and covariance-mass terms of the complete data and of
// the non-sequenced subjects' sums phiY, then the mass diagonal n_UniW[j] / q_j^2. Uses
// sum_i phi_ij = n q_j - n_UniW[j], which holds at the EM fixed point.
void add_mass_block(const LouisLayout &L, const Subjects &s, const LouisArrays &A) {
  for (int j = 1; j <= s.J; j++) {
    int col = L.dimST + j;
    double qj = A.q[j];
    for (int k = 1; k <= L.K; k++) {
      const double *rk = L.row(k, j);
      int ok = L.offset(k);
      for (int l = 1; l <= L.width(k); l++) A.Q1[ok + l][col] -= rk[l] * A.phiY[j][k] / qj;
      double excess = s.n - s.n_UniW[j] / qj;
      A.Q1[L.twoIND[k][k]][col] += excess * A.Sigma0[k] * 0.5;
      for (int f = k + 1; f <= L.K; f++) A.Q1[L.twoIND[k][f]][col] += excess * A.s(k, f);
    }
  }
  for (int j = 1; j <= s.J; j++) A.Q1[L.dimST + j][L.dimST + j] += s.n_UniW[j] / (A.q[j] * A.q[j]);
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

}  // namespace

void louis_information(const LouisLayout &L, const DesignMoments &M, const Subjects &s,
                       const LouisArrays &A, int D, double *score) {
  for (int i = 1; i <= D; i++) {
    for (int j = i; j <= D; j++) A.Q1[i][j] = 0.0;
  }
  for (int j = 1; j <= s.J; j++) {
    for (int k = 1; k <= L.K; k++) A.phiY[j][k] = 0.0;
  }
  if (score) {
    for (int x = 1; x <= L.dimST; x++) score[x] = 0.0;
  }
  add_complete_coefficient_block(L, M, A);
  add_complete_covariance_block(L.K, s.n, L.twoIND, A);
  louis_patterns(L, s, A, D, score);
  add_mass_block(L, s, A);
  reduce_sum_to_one(L.dimST, D, A.Q1);
}

}  // namespace engine
