// Observed information of the joint model by Louis' method (Louis 1982): the complete-data
// information, plus the outer products of each subject's expected score, minus each subject's
// conditional second moments of the score. One assembly serves the Wald information and the
// efficient scores; they differ in the rows, widths and positions of the coefficients (the
// layout) and in two score terms.
#include "engine/louis.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "engine/mass_block.h"
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

// ---------------------------------------------------------------------------------------------
// Conditional-moment corrections, summed by pattern and distinct row
// ---------------------------------------------------------------------------------------------
//
// The corrections that one subject on design row j brings, with weight omega (1 for a
// sequenced subject, its posterior weight for a non-sequenced one), are polynomials of degree
// up to four in its c = E[z | obs], with coefficients that depend only on the pattern (V =
// Var(z | obs), s) and on the row (r^(k)). So the corrections of all subjects of a pattern are
// formed once from moment sums: per row the sums of omega, omega c, omega c c' and omega c c c
// (for the coefficient rows), per pattern the sum of omega c c c c (for the covariance rows).
// With M2 = V + c c' and E3[k][a][b] = c_k M2_ab + c_b V_ak + c_a V_bk:
//   coefficient-coefficient  -r_l r'_l2 sum omega M2_kk2;
//   coefficient-covariance   -h_ab r_l sum omega (E3[k][a][b] - c_k s_ab), the second term with
//                            the score terms only, which also add r_l sum omega g_kab,
//                            g_kab = s_ka c_a (a = b) or s_ka c_b + s_kb c_a (a < b);
//   covariance-covariance    -h_ab h_ef sum omega F(a,b,e,f), where F = c_a E3[b][e][f]
//                            + V_ab M2_ef + V_ae M2_bf + V_af M2_be.

// The moment sums of one pattern. A moment of c is kept once per set of indices a <= b <= e
// <= f, at the position where nested loops over a, then b, ... reach it; pos2, pos3 and pos4
// give that position for indices in any order.
class PatternMoments {
 public:
  void reset(int K, int J) {
    if (K != K_)
      lay_out(K);
    stride_ = 1 + n1_ + n2_ + n3_;
    if (sums_.size() < static_cast<size_t>(J + 1) * stride_)
      sums_.resize(static_cast<size_t>(J + 1) * stride_);
    touched_.assign(static_cast<size_t>(J) + 1, 0);
    used_.clear();
    fourth_.assign(n4_, 0.0);
  }

  // Adds the moments of one subject on row j, weight omega, conditional mean c[1..K].
  void add(int j, double omega, const double *c) {
    double *row = sums_.data() + static_cast<size_t>(j) * stride_;
    if (!touched_[j]) {
      touched_[j] = 1;
      used_.push_back(j);
      std::fill(row, row + stride_, 0.0);
    }
    switch (K_) {
      case 1:
        accumulate<1>(row, fourth_.data(), omega, c);
        break;
      case 2:
        accumulate<2>(row, fourth_.data(), omega, c);
        break;
      case 3:
        accumulate<3>(row, fourth_.data(), omega, c);
        break;
      case 4:
        accumulate<4>(row, fourth_.data(), omega, c);
        break;
      default:
        accumulate<0>(row, fourth_.data(), omega, c);
        break;
    }
  }

  // The rows that received a subject, in the order they first did.
  const std::vector<int> &used() const { return used_; }
  double weight(int j) const { return at(j)[0]; }
  double first(int j, int a) const { return at(j)[a]; }
  double second(int j, int a, int b) const { return at(j)[1 + n1_ + pos2_[a * d_ + b]]; }
  double third(int j, int a, int b, int e) const {
    return at(j)[1 + n1_ + n2_ + pos3_[(a * d_ + b) * d_ + e]];
  }
  double fourth(int a, int b, int e, int f) const {
    return fourth_[pos4_[((a * d_ + b) * d_ + e) * d_ + f]];
  }

 private:
  const double *at(int j) const { return sums_.data() + static_cast<size_t>(j) * stride_; }

  // The moments into row (weight, c, cc', ccc) and s4 (cccc), for KK traits (0: K_ of them).
  template <int KK>
  void accumulate(double *__restrict row, double *__restrict s4, double omega,
                  const double *c) const {
    const int K = KK > 0 ? KK : K_;
    double *__restrict s1 = row + 1;
    double *__restrict s2 = s1 + K;
    double *__restrict s3 = s2 + K * (K + 1) / 2;
    row[0] += omega;
#pragma GCC unroll 4
    for (int a = 1; a <= K; a++) {
      const double p1 = omega * c[a];
      s1[a - 1] += p1;
#pragma GCC unroll 4
      for (int b = a; b <= K; b++) {
        const double p2 = p1 * c[b];
        *s2++ += p2;
#pragma GCC unroll 4
        for (int e = b; e <= K; e++) {
          const double p3 = p2 * c[e];
          *s3++ += p3;
#pragma GCC unroll 4
          for (int f = e; f <= K; f++) *s4++ += p3 * c[f];
        }
      }
    }
  }

  // Numbers the sets of indices in loop order and enters each ordering of them.
  void lay_out(int K) {
    K_ = K;
    d_ = K + 1;
    n1_ = K;
    n2_ = n3_ = n4_ = 0;
    pos2_.assign(static_cast<size_t>(d_) * d_, 0);
    pos3_.assign(static_cast<size_t>(d_) * d_ * d_, 0);
    pos4_.assign(static_cast<size_t>(d_) * d_ * d_ * d_, 0);
    for (int a = 1; a <= K; a++)
      for (int b = a; b <= K; b++) {
        int t2[2] = {a, b};
        do pos2_[t2[0] * d_ + t2[1]] = n2_;
        while (std::next_permutation(t2, t2 + 2));
        n2_++;
        for (int e = b; e <= K; e++) {
          int t3[3] = {a, b, e};
          do pos3_[(t3[0] * d_ + t3[1]) * d_ + t3[2]] = n3_;
          while (std::next_permutation(t3, t3 + 3));
          n3_++;
          for (int f = e; f <= K; f++) {
            int t4[4] = {a, b, e, f};
            do pos4_[((t4[0] * d_ + t4[1]) * d_ + t4[2]) * d_ + t4[3]] = n4_;
            while (std::next_permutation(t4, t4 + 4));
            n4_++;
          }
        }
      }
  }

  int K_ = 0, d_ = 0, n1_ = 0, n2_ = 0, n3_ = 0, n4_ = 0;
  size_t stride_ = 0;
  std::vector<double> sums_, fourth_;
  std::vector<char> touched_;
  std::vector<int> used_, pos2_, pos3_, pos4_;
};

PatternMoments &pattern_moments() {
  static PatternMoments moments;
  return moments;
}

// The coefficient rows of the subjects of a pattern on row j, from their moment sums M.
void correct_coefficient_rows(const LouisLayout &L, const LouisArrays &A, const PatternMoments &M,
                              int j) {
  const int K = L.K;
  double **V = A.c_var;
  const double w0 = M.weight(j);
  for (int k = 1; k <= K; k++) {
    const double *rk = L.row(k, j);
    const int ok = L.offset(k), wk = L.width(k);
    for (int k2 = k; k2 <= K; k2++) {
      const double *rk2 = L.row(k2, j);
      const int ok2 = L.offset(k2), wk2 = L.width(k2);
      const double m2 = w0 * V[k][k2] + M.second(j, k, k2);
      for (int l = 1; l <= wk; l++) {
        double *Q = A.Q1[ok + l] + ok2;
        const double rl = rk[l];
        for (int l2 = (k2 == k ? l : 1); l2 <= wk2; l2++) Q[l2] -= (rl * rk2[l2]) * m2;
      }
    }
    // Coefficient-covariance: per covariance entry (a, b) the factor of r_l.
    for (int a = 1; a <= K; a++) {
      for (int b = a; b <= K; b++) {
        double e3 = M.third(j, k, a, b) + V[a][b] * M.first(j, k) + V[a][k] * M.first(j, b) +
                    V[b][k] * M.first(j, a);
        double factor;
        if (L.score_terms) {
          e3 -= A.s(a, b) * M.first(j, k);
          const double g = a == b ? A.s(k, a) * M.first(j, a)
                                  : A.s(k, a) * M.first(j, b) + A.s(k, b) * M.first(j, a);
          factor = g - (a == b ? 0.5 : 1.0) * e3;
        } else {
          factor = -(a == b ? 0.5 : 1.0) * e3;
        }
        const int y = L.twoIND[a][b];
        for (int l = 1; l <= wk; l++) A.Q1[ok + l][y] += rk[l] * factor;
      }
    }
  }
}

// The covariance rows of all subjects of a pattern, from their moment sums M:
// sum omega F(a,b,e,f) = sum c^4 + V_ef S_ab + V_be S_af + V_bf S_ae + V_ab S_ef + V_ae S_bf
// + V_af S_be + W (V_ab V_ef + V_ae V_bf + V_af V_be), S the sums of omega c c' and W of omega.
void correct_covariance_rows(const LouisLayout &L, const LouisArrays &A, const PatternMoments &M) {
  const int K = L.K;
  double **V = A.c_var;
  std::vector<double> S(static_cast<size_t>(K + 1) * (K + 1), 0.0);
  double W = 0.0;
  for (int j : M.used()) {
    W += M.weight(j);
    for (int a = 1; a <= K; a++)
      for (int b = a; b <= K; b++) S[a * (K + 1) + b] += M.second(j, a, b);
  }
  auto s2 = [&](int a, int b) { return a <= b ? S[a * (K + 1) + b] : S[b * (K + 1) + a]; };
  for (int a = 1; a <= K; a++) {
    for (int b = a; b <= K; b++) {
      const int x = L.twoIND[a][b];
      const double hab = a == b ? 0.5 : 1.0;
      for (int e = a; e <= K; e++) {
        for (int f = (e == a ? b : e); f <= K; f++) {
          const double F = M.fourth(a, b, e, f) + V[e][f] * s2(a, b) + V[b][e] * s2(a, f) +
                           V[b][f] * s2(a, e) + V[a][b] * s2(e, f) + V[a][e] * s2(b, f) +
                           V[a][f] * s2(b, e) +
                           W * (V[a][b] * V[e][f] + V[a][e] * V[b][f] + V[a][f] * V[b][e]);
          const int y = L.twoIND[e][f];
          A.Q1[std::min(x, y)][std::max(x, y)] -= hab * (e == f ? 0.5 : 1.0) * F;
        }
      }
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

// Covariance-mass entries of a non-sequenced subject's row j (column col = dimST + j): the
// cross moments of the covariance scores with the mass score 1/q_j.
void add_covariance_mass_terms(const LouisLayout &L, const LouisArrays &A, int col, double qj,
                               double omega) {
  for (int k = 1; k <= L.K; k++) {
    A.Q1[L.twoIND[k][k]][col] += omega * A.c2[k][k] / (qj * (-2.0));
    for (int f = k + 1; f <= L.K; f++) A.Q1[L.twoIND[k][f]][col] -= omega * A.c2[k][f] / qj;
  }
}

// Q1[x][y] += l1[x] l1[y] for 1 <= x <= rows, x <= y <= d.
void add_outer_product(int rows, int d, const double *l1, double **Q1) {
  for (int x = 1; x <= rows; x++) {
    double *Q = Q1[x];
    const double lx = l1[x];
    for (int y = x; y <= d; y++) Q[y] += lx * l1[y];
  }
}

// The mass-mass block of the non-sequenced subjects' outer products, deferred and applied a
// batch of subjects at a time: Q1[base + x][base + y] += f_s[x] f_s[y] for the subjects s of the
// batch in their order, 1 <= x <= y <= J. Each entry receives exactly the terms of the
// subject-by-subject form in the same order, while a tile of the block stays in registers over
// the whole batch instead of streaming the block once per subject.
class MassOuterProducts {
 public:
  void start(double **Q1, int base, int J) {
    Q1_ = Q1;
    base_ = base;
    J_ = J;
    count_ = 0;
    if (rows_.size() < static_cast<size_t>(kBatch) * (J + 1))
      rows_.resize(static_cast<size_t>(kBatch) * (J + 1));
  }
  // The mass entries of the next subject's expected score, f[1..J].
  double *next() {
    if (count_ == kBatch)
      flush();
    return rows_.data() + static_cast<size_t>(count_++) * (J_ + 1);
  }
  void flush();

 private:
  static constexpr int kBatch = 128;
  double **Q1_ = nullptr;
  int base_ = 0, J_ = 0, count_ = 0;
  std::vector<double> rows_, xpack_, ypack_;
};

// Four doubles moved as one, from any double-aligned address.
using v4 = double __attribute__((vector_size(32), aligned(8), may_alias));

// One tile of the mass-mass block, rows x0..x0+3 and columns y0..y0+7, kept in registers over
// the n subjects of the batch: xs[4 s + a] is subject s's mass entry x0 + a, ys[8 s + b] its
// entry y0 + b (both packed, so that the tile reads them in order). In a tile that reaches
// below the diagonal (y0 < x0 + 3) those entries are formed from zero and not stored.
ROW_LOOPS void mass_tile(double **Q, int base, const double *__restrict xs,
                         const double *__restrict ys, int n, int x0, int y0) {
  v4 acc[4][2];
  const bool diagonal = y0 < x0 + 3;
#pragma GCC unroll 4
  for (int a = 0; a < 4; a++) {
    const double *q = Q[base + x0 + a] + base + y0;
    if (!diagonal) {
      acc[a][0] = *reinterpret_cast<const v4 *>(q);
      acc[a][1] = *reinterpret_cast<const v4 *>(q + 4);
    } else {
      for (int b = 0; b < 8; b++) acc[a][b / 4][b % 4] = y0 + b >= x0 + a ? q[b] : 0.0;
    }
  }
  for (int s = 0; s < n; s++) {
    const v4 lo = *reinterpret_cast<const v4 *>(ys + 8 * s);
    const v4 hi = *reinterpret_cast<const v4 *>(ys + 8 * s + 4);
#pragma GCC unroll 4
    for (int a = 0; a < 4; a++) {
      const double fx = xs[4 * s + a];
      const v4 x = {fx, fx, fx, fx};
      acc[a][0] += x * lo;
      acc[a][1] += x * hi;
    }
  }
#pragma GCC unroll 4
  for (int a = 0; a < 4; a++) {
    double *q = Q[base + x0 + a] + base + y0;
    if (!diagonal) {
      *reinterpret_cast<v4 *>(q) = acc[a][0];
      *reinterpret_cast<v4 *>(q + 4) = acc[a][1];
    } else {
      for (int b = 0; b < 8; b++)
        if (y0 + b >= x0 + a)
          q[b] = acc[a][b / 4][b % 4];
    }
  }
}

void MassOuterProducts::flush() {
  const int J = J_, n = count_;
  const size_t stride = static_cast<size_t>(J) + 1;
  const double *f = rows_.data();
  // Panels of 64 columns: the batch's entries of a panel are packed tile by tile and stay in
  // cache while every row block above the panel's end passes over them.
  ypack_.resize(static_cast<size_t>(8) * 8 * n);
  xpack_.resize(static_cast<size_t>(4) * n);
  for (int p0 = 1; p0 <= J; p0 += 64) {
    const int p1 = std::min(J, p0 + 63), tiles = (p1 - p0 + 1) / 8;
    for (int t = 0; t < tiles; t++)
      for (int s = 0; s < n; s++)
        for (int b = 0; b < 8; b++) ypack_[(t * n + s) * 8 + b] = f[s * stride + p0 + 8 * t + b];
    for (int x0 = 1; x0 <= p1; x0 += 4) {
      const bool full_rows = x0 + 3 <= J;
      if (full_rows)
        for (int s = 0; s < n; s++)
          for (int a = 0; a < 4; a++) xpack_[4 * s + a] = f[s * stride + x0 + a];
      for (int y0 = p0; y0 <= p1; y0 += 8) {
        if (y0 + 7 < x0)
          continue;  // below the diagonal
        const int t = (y0 - p0) / 8;
        if (full_rows && t < tiles) {
          mass_tile(Q1_, base_, xpack_.data(), ypack_.data() + static_cast<size_t>(t) * n * 8, n,
                    x0, y0);
          continue;
        }
        for (int x = x0; x <= std::min(J, x0 + 3); x++)
          for (int y = std::max(x, y0); y <= std::min(p1, y0 + 7); y++) {
            double sum = Q1_[base_ + x][base_ + y];
            for (int s = 0; s < n; s++) sum += f[s * stride + x] * f[s * stride + y];
            Q1_[base_ + x][base_ + y] = sum;
          }
      }
    }
  }
  count_ = 0;
}

MassOuterProducts &mass_outer_products() {
  static MassOuterProducts batch;
  return batch;
}

// Louis terms of a sequenced subject on distinct row u with fitted mean mu: outer product of
// its expected score over 1..dimST; its moments go to the pattern's sums.
void louis_sequenced_subject(const LouisLayout &L, const LouisArrays &A, PatternMoments &M, int u,
                             const double *y, const double *mu, const int *obs, int nob,
                             double *score) {
  louis_row_moments(L.K, y, mu, obs, nob, A);
  for (int x = 1; x <= L.dimST; x++) A.l1[x] = 0.0;
  add_expected_score(L, A, u, 1.0, score);
  add_outer_product(L.dimST, L.dimST, A.l1, A.Q1);
  M.add(u, 1.0, A.c);
}

// Louis terms of a non-sequenced subject: for each distinct row j with weight phi_r[j], its
// expected score (mass entries included) into l1, the covariance-mass corrections, c times the
// weight into phiY[j] and the moments into the pattern's sums; then the parameter rows of the
// outer product (its mass-mass block is louis_mass_block's).
void louis_nonsequenced_subject(const LouisLayout &L, const LouisArrays &A, PatternMoments &M,
                                int D, int J, const double *y, const double *phi_r, const int *obs,
                                int nob, double *score) {
  for (int x = 1; x <= D; x++) A.l1[x] = 0.0;
  for (int j = 1; j <= J; j++) {
    double omega = phi_r[j];
    louis_row_moments(L.K, y, A.Weta[j], obs, nob, A);
    for (int k = 1; k <= L.K; k++) A.phiY[j][k] += omega * A.c[k];
    add_expected_score(L, A, j, omega, score);
    A.l1[L.dimST + j] += omega / A.q[j];
    add_covariance_mass_terms(L, A, L.dimST + j, A.q[j], omega);
    M.add(j, omega, A.c);
  }
  add_outer_product(L.dimST, D, A.l1, A.Q1);
}

// Subject terms of every pattern. With the complete rule a last pattern with every trait
// observed takes V = 0 exactly; otherwise every pattern takes its computed V. Leaves Sigma swept
// on the observed traits of the last pattern.
void louis_patterns(const LouisLayout &L, const Subjects &s, const LouisArrays &A, int D,
                    double *score) {
  PatternMoments &M = pattern_moments();
  for (int pt = 1; pt <= s.N_mispat; pt++) {
    toggle_sigma(A.Sigma, L.K, s.mis_R[pt]);
    bool exact_zero = L.complete_rule && pt == s.N_mispat && s.nobs[pt] == L.K;
    const int *obs = s.Obs[pt], nob = s.nobs[pt];
    louis_conditional_variance(L.K, obs, nob, exact_zero, A);
    M.reset(L.K, s.J);
    for (int i = s.mis_pats[pt] + 1; i <= s.mis_pats[pt + 1]; i++) {
      int u = s.ind_UniW[i];
      louis_sequenced_subject(L, A, M, u, s.Y[i], A.Weta[u], obs, nob, score);
    }
    for (int i = s.mis_patn[pt] + 1; i <= s.mis_patn[pt + 1]; i++)
      louis_nonsequenced_subject(L, A, M, D, s.J, s.Y[i], A.phi[i - s.m], obs, nob, score);
    for (int j : M.used()) correct_coefficient_rows(L, A, M, j);
    correct_covariance_rows(L, A, M);
  }
}

// Parameter-mass entries: coefficient-mass and covariance-mass terms of the complete data and of
// the non-sequenced subjects' sums phiY. Uses sum_i phi_ij = n q_j - n_UniW[j], which holds at
// the EM fixed point.
void add_parameter_mass_terms(const LouisLayout &L, const Subjects &s, const LouisArrays &A) {
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
}

// Rows 1..dimST of the reduced information (columns up to D - 1) and the rest of the
// parameters' terms.
void louis_parameter_rows(const LouisLayout &L, const DesignMoments &M, const Subjects &s,
                          const LouisArrays &A, int D, double *score) {
  for (int i = 1; i <= L.dimST; i++) {
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
  add_parameter_mass_terms(L, s, A);
  // The last mass q_J = 1 - q_1 - ... - q_{J-1} is eliminated (column D read before it changes).
  for (int i = 1; i <= L.dimST; i++) {
    for (int j = L.dimST + 1; j <= D - 1; j++) A.Q1[i][j] -= A.Q1[i][D];
  }
}

// Rows dimST + 1..D - 1 of the reduced information, the block of the masses: it depends only on
// phi, q and the multiplicities.
void louis_mass_block(const Subjects &s, const LouisArrays &A, int dimST, int D) {
  for (int i = dimST + 1; i <= D; i++) {
    for (int j = i; j <= D; j++) A.Q1[i][j] = 0.0;
  }
  // The non-sequenced subjects' outer products of their mass scores phi_ij / q_j, subject by
  // subject in pattern order.
  MassOuterProducts &batch = mass_outer_products();
  batch.start(A.Q1, dimST, s.J);
  for (int pt = 1; pt <= s.N_mispat; pt++) {
    for (int i = s.mis_patn[pt] + 1; i <= s.mis_patn[pt + 1]; i++) {
      const double *phi_r = A.phi[i - s.m];
      double *f = batch.next();
      for (int j = 1; j <= s.J; j++) f[j] = phi_r[j] / A.q[j];
    }
  }
  batch.flush();
  for (int j = 1; j <= s.J; j++) A.Q1[dimST + j][dimST + j] += s.n_UniW[j] / (A.q[j] * A.q[j]);
  // The sum-to-one reduction of the block.
  for (int i = dimST + 1; i <= D - 1; i++) {
    for (int j = i; j <= D - 1; j++) A.Q1[i][j] -= A.Q1[i][D] + A.Q1[j][D] - A.Q1[D][D];
  }
}

}  // namespace

ReducedInformation louis_reduced_information(const LouisLayout &L, const DesignMoments &M,
                                             const Subjects &s, const LouisArrays &A, int D,
                                             double *score) {
  louis_parameter_rows(L, M, s, A, D, score);
  if (const int steps = mass_block_steps(s.J, L.dimST, s.n - s.m)) {
    // The Schur complement's storage, kept from call to call.
    static std::vector<double> storage;
    static std::vector<double *> rows;
    const std::size_t R = L.dimST;
    storage.resize((R + 1) * (R + 1));
    rows.resize(R + 1);
    for (std::size_t a = 0; a <= R; a++) rows[a] = storage.data() + a * (R + 1);
    const MassBlock mb{s.J, s.n - s.m, A.phi, A.q, s.n_UniW};
    if (mass_schur_complement(mb, A.Q1, L.dimST, steps, rows.data()))
      return {rows.data(), L.dimST};
  }
  louis_mass_block(s, A, L.dimST, D);
  return {A.Q1, D - 1};
}

}  // namespace engine
