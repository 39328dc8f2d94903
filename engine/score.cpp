// Efficient score of tested genetic coefficients at a fit without them: the Louis information
// of the whole parameter vector, cut into the tested block, the cross block and the nuisance
// block, with the nuisance parameters removed by V = I_GG - I_GX I_XX^-1 I_XG (and, for the
// one-trait tests, U - I_GX I_XX^-1 u_X, the nuisance score being not exactly zero at a fit
// that stopped within its tolerance).
#include <algorithm>

#include "engine/louis.h"
#include "toolkit/func_linear_algebra.h"

namespace engine {

namespace {

// Private arrays of one call, released together.
struct ScoreWork {
  int w, wt, G, nb, D, dimST, nb_capacity;
  bool special;
  double **common, **gene, **cross;  // design moments (gene, cross: only with a special trait)
  double *score;                     // total expected score over 1..dimST
  int *tested, *nuisance;            // positions in 1..D-1: tested[1..G], nuisance[1..nb]
  double **H, **R, *u_n, *r;         // cross block, products, nuisance score, its product

  ScoreWork(const LouisLayout &L, int D_, int G_) : w(L.w), wt(L.wt), G(G_), D(D_) {
    nb = nb_capacity = D - 1 - G;
    dimST = L.dimST;
    special = L.t > 0;
    common = dmatrix(1, w, 1, w);
    gene = special ? dmatrix(1, wt, 1, wt) : nullptr;
    cross = special ? dmatrix(1, w, 1, wt) : nullptr;
    score = dvector(1, dimST);
    tested = ivector(1, std::max(G, 1));
    nuisance = ivector(1, nb);
    H = dmatrix(1, std::max(G, 1), 1, nb);
    R = dmatrix(1, std::max(G, 1), 1, std::max(G, 1));
    u_n = dvector(1, nb);
    r = dvector(1, std::max(G, 1));
  }
  // The reduced information turned out to have this order (at most D - 1).
  void set_order(int order) {
    D = order + 1;
    nb = order - G;
  }
  ~ScoreWork() {
    int g = std::max(G, 1), cap = nb_capacity;
    free_dvector(r, 1, g);
    free_dvector(u_n, 1, cap);
    free_dmatrix(R, 1, g, 1, g);
    free_dmatrix(H, 1, g, 1, cap);
    free_ivector(nuisance, 1, cap);
    free_ivector(tested, 1, g);
    free_dvector(score, 1, dimST);
    if (special) {
      free_dmatrix(cross, 1, w, 1, wt);
      free_dmatrix(gene, 1, wt, 1, wt);
    }
    free_dmatrix(common, 1, w, 1, w);
  }
  ScoreWork(const ScoreWork &) = delete;
  ScoreWork &operator=(const ScoreWork &) = delete;
};

// M = n sum_j q_j r_j r_j' for each pair of row tables (upper triangles of the square ones,
// every entry of the cross one); the complete-data coefficient block reads them.
void design_moments(const LouisLayout &L, int n, int J, const double *q, const ScoreWork &S) {
  for (int l = 1; l <= S.w; l++) {
    for (int l2 = l; l2 <= S.w; l2++) S.common[l][l2] = 0.0;
    if (S.special)
      for (int l2 = 1; l2 <= S.wt; l2++) S.cross[l][l2] = 0.0;
  }
  if (S.special)
    for (int l = 1; l <= S.wt; l++)
      for (int l2 = l; l2 <= S.wt; l2++) S.gene[l][l2] = 0.0;
  for (int j = 1; j <= J; j++) {
    const double nq = n * q[j], *r = L.rows[j];
    for (int l = 1; l <= S.w; l++) {
      for (int l2 = l; l2 <= S.w; l2++) S.common[l][l2] += nq * r[l] * r[l2];
    }
    if (!S.special)
      continue;
    const double *rt = L.rows_t[j];
    for (int l = 1; l <= S.wt; l++) {
      for (int l2 = l; l2 <= S.wt; l2++) S.gene[l][l2] += nq * rt[l] * rt[l2];
    }
    for (int l = 1; l <= S.w; l++) {
      for (int l2 = 1; l2 <= S.wt; l2++) S.cross[l][l2] += nq * r[l] * rt[l2];
    }
  }
}

// The tested positions in the order of U (the first nGen coefficients of trait `tested`, or of
// every trait, trait-major, when tested = 0) and the others of 1..D-1 in increasing order.
void split_positions(const LouisLayout &L, int tested, int nGen, const ScoreWork &S) {
  int x = 0;
  for (int k = (tested ? tested : 1); k <= (tested ? tested : L.K); k++)
    for (int j = 1; j <= nGen; j++) S.tested[++x] = L.offset(k) + j;
  int z = 0, next = 1;
  for (int pos = 1; pos <= S.D - 1; pos++) {
    if (next <= S.G && pos == S.tested[next]) {
      next++;
      continue;
    }
    S.nuisance[++z] = pos;
  }
}

}  // namespace

void efficient_score(const LouisLayout &L, const Subjects &s, const LouisArrays &A, int D,
                     int tested, int nGen, bool correct_score, double **eta, double **SigmaInv,
                     double **V, double *U) {
  const int K = L.K, G = tested ? nGen : nGen * K;
  ScoreWork S(L, D, G);
  fitted_means(L.w, K, s.J, L.rows, eta, A.Weta);
  design_moments(L, s.n, s.J, A.q, S);
  store_inverse_covariance(K, A.Sigma, A.Sigma0, A.c_var);
  for (int a = 1; a <= K; a++)
    for (int b = 1; b <= K; b++) SigmaInv[a][b] = A.c_var[a][b];

  const ReducedInformation I =
      louis_reduced_information(L, DesignMoments{S.common, S.gene, S.cross}, s, A, D, S.score);
  S.set_order(I.order);

  // The blocks of the reduced information (the masses among the nuisance positions unless they
  // are eliminated already). The nuisance block is packed into the matrix's own leading rows
  // instead of a copy of the same size: nuisance[] increases with nuisance[z] >= z, so entry
  // (z, z2) is read from (nuisance[z], nuisance[z2]) before anything there is written.
  split_positions(L, tested, nGen, S);
  double **Q1 = I.Q;
  for (int x = 1; x <= G; x++) {
    U[x] = S.score[S.tested[x]];
    for (int y = 1; y <= G; y++) V[x][y] = upper(Q1, S.tested[x], S.tested[y]);
    for (int z = 1; z <= S.nb; z++) S.H[x][z] = upper(Q1, S.tested[x], S.nuisance[z]);
  }
  for (int z = 1; z <= S.nb; z++)
    S.u_n[z] = S.nuisance[z] <= L.dimST ? S.score[S.nuisance[z]] : 0.0;
  for (int z = 1; z <= S.nb; z++)
    for (int z2 = z; z2 <= S.nb; z2++) Q1[z][z2] = Q1[S.nuisance[z]][S.nuisance[z2]];

  if (correct_score)
    cal_ainvBa_UV_once(S.H, Q1, S.u_n, S.nb, G, S.R, S.r);
  else
    cal_ainvBa_once(S.H, Q1, S.nb, G, S.R);
  if (!flag_positiveQ1 || G < 1)
    return;
  for (int x = 1; x <= G; x++) {
    if (correct_score)
      U[x] -= S.r[x];
    for (int y = x; y <= G; y++) {
      V[x][y] -= S.R[x][y];
      V[y][x] = V[x][y];
    }
  }
}

}  // namespace engine
