// Private to the engine: the observed information of the joint model by Louis' method
// (Louis 1982), shared by the Wald information and the three efficient-score routines, and the
// efficient score built on it.
#ifndef VARNOSTA_ENGINE_LOUIS_H
#define VARNOSTA_ENGINE_LOUIS_H

#include "engine/em.h"

namespace engine {

// The parameter vector and the variant of the terms. Every trait's coefficients belong to the
// distinct rows rows[1..J][1..w], except trait t's (t = 0: none), which belong to rows_t[1..J]
// [1..wt]; trait k's block occupies offset(k) + 1..offset(k) + width(k), trait 1 first.
// Covariance entry (a, b), a <= b, sits at twoIND[a][b]; the masses at dimST + 1..dimST + J.
// score_terms: the coefficient-covariance entries also get the complete-data term and the
// -c_k s_ab part of the third moment that the efficient score carries (the Wald information has
// neither). complete_rule: a last pattern with every trait observed takes Var(z | obs) = 0
// exactly instead of s minus its own numerical inverse (the Wald information).
struct LouisLayout {
  int K, dimST, w, t, wt;
  int **twoIND;
  double **rows, **rows_t;
  bool score_terms, complete_rule;

  int offset(int k) const { return (k - 1) * w + ((t > 0 && k > t) ? wt - w : 0); }
  int width(int k) const { return k == t ? wt : w; }
  const double *row(int k, int j) const { return k == t ? rows_t[j] : rows[j]; }
};

// The design moments n sum_j q_j r r' of the complete-data coefficient block (upper triangles):
// common for two traits on `rows`, special for trait t with itself (rows_t), cross[l][l2] for a
// trait on `rows` (column l) with trait t (column l2).
struct DesignMoments {
  double **common, **special, **cross;

  // Entry (l, l2) of the block of traits k <= k2.
  double at(int t, int k, int k2, int l, int l2) const {
    if (k != t && k2 != t)
      return upper(common, l, l2);
    if (k == k2)
      return upper(special, l, l2);
    return k2 == t ? cross[l][l2] : cross[l2][l];
  }
};

// The arrays the Louis terms read and write. s = Sigma^-1 has its diagonal in Sigma0 and the
// rest in Sigma's strict lower triangle (the upper triangle is busy with the sweeps). One
// subject's moments on the standardised residual scale z = s (y - mu): c = E[z | obs],
// c_var = V = Var(z | obs), c2 = E[z z' | obs] = V + c c', c3 the third moments. l1 holds the
// expected score of one subject, Q1 the information (upper triangle). Weta, phi and q are the
// fit's; phiY receives sum over non-sequenced subjects of phi_ij c.
struct LouisArrays {
  double **Sigma;
  double *Sigma0;
  double *c;
  double **c_var, **c2;
  double ***c3;
  double *l1;
  double **Q1;
  double **Weta, **phi;
  const double *q;
  double **phiY;

  double s(int a, int b) const {
    if (a == b)
      return Sigma0[a];
    return a < b ? Sigma[b][a] : Sigma[a][b];
  }
};

// Sweeps Sigma on every trait (its upper triangle becomes -s) and stores s where the Louis terms
// read it: Sigma0[k] = s_kk, Sigma[k][k2] = s_k2k for k2 < k, and S = s in both triangles.
void store_inverse_covariance(int K, double **Sigma, double *Sigma0, double **S);

// The observed information of order D = dimST + J at the fit, reduced by the sum-to-one
// constraint to order D - 1, as the callers invert it, in Q[1..order] (upper triangle): with few
// distinct rows the whole of it (Q = Q1, order D - 1); with many, when the structure of the mass
// block allows (mass_block.h), only the parameter positions 1..dimST with the masses eliminated
// (Q a work matrix of the engine, order dimST; Q1 then holds only the parameter rows of the
// reduced information). Either way the parameter block of the inverse, the efficient variance
// and the positive-definiteness verdict are the same, up to rounding. phiY is cleared first.
// With score non-null, score[1..dimST] receives the total expected score of the subjects.
// Leaves Sigma swept on the observed traits of the last pattern.
struct ReducedInformation {
  double **Q;
  int order;
};
ReducedInformation louis_reduced_information(const LouisLayout &L, const DesignMoments &M,
                                             const Subjects &s, const LouisArrays &A, int D,
                                             double *score);

// The efficient score of the tested coefficients and its variance at a fit without them. The
// tested coefficients are the first nGen of trait `tested` (0: of every trait, trait-major).
// eta is the fit's coefficient matrix on L.rows (width L.w), SigmaInv a K x K work matrix that
// receives s. With correct_score, U is corrected for the nuisance score as well.
void efficient_score(const LouisLayout &L, const Subjects &s, const LouisArrays &A, int D,
                     int tested, int nGen, bool correct_score, double **eta, double **SigmaInv,
                     double **V, double *U);

}  // namespace engine

#endif  // VARNOSTA_ENGINE_LOUIS_H
