// Private to the engine: the data and state structs of the EM fits, the fits themselves, and
// the small pieces that the Louis information shares with them. The public entry points are in
// func_algorithm.h.
#ifndef VARNOSTA_ENGINE_EM_H
#define VARNOSTA_ENGINE_EM_H

#include "toolkit/vector_clones.h"

namespace engine {

// The subjects of one analysis as the driver lays them out; only read. Y[1..n][1..K] with rows
// 1..m sequenced, grouped by missing pattern t = 1..N_mispat (sequenced rows mis_pats[t] + 1..
// mis_pats[t + 1], non-sequenced rows mis_patn[t] + 1..mis_patn[t + 1]; mis_R[t][k] = 1 when
// trait k is observed; Obs[t][1..nobs[t]], Mis[t][1..nmis[t]] ascending); J distinct design
// rows with multiplicities n_UniW[1..J] and the distinct row ind_UniW[i] of sequenced row i.
struct Subjects {
  int K, m, n, N_mispat, J;
  double **Y;
  int *mis_pats, *mis_patn, **mis_R, **Mis, **Obs, *nobs, *nmis;
  int *n_UniW, *ind_UniW;
};

// What an EM fit reads: the subjects and the distinct design rows W_Uni[1..J][1..w].
struct EmData : Subjects {
  int w;
  double **W_Uni;
};

// The caller's arrays that an EM fit works in and leaves its results in (shapes and exit
// contents in func_algorithm.h); B is the w x K coefficient matrix (eta0).
struct FitState {
  double *Sigma0, **Sigma, **B, *q, *q0, **phi, **phiY, **T, *Tobs, **Weta, *c;
};

// Entry (a, b) of a symmetric matrix kept in its upper triangle.
inline double upper(double **A, int a, int b) { return a <= b ? A[a][b] : A[b][a]; }

// Sweeps Sigma's upper triangle exactly on the traits with observed[k] = 1, starting from the
// pivots that are swept now; see em.cpp.
void toggle_sigma(double **Sigma, int K, const int *observed);

// Weta[j][k] = sum over l = 1..w of rows[j][l] B[l][k], j = 1..J, k = 1..K.
void fitted_means(int w, int K, int J, double **rows, double **B, double **Weta);

// EM fit with the swept M-step (EM_algorithm_v5, EM_algorithm_null). False when an M-step
// found a design pivot not positive or a covariance not finite and positive definite, and the
// fit stopped there.
bool em_fit_swept(const EmData &d, const FitState &f);

// EM fit with the genetic coefficient (design column 1) of trait fixedTrait held at zero and the
// two generalised-least-squares passes as its M-step (EM_algorithm_indi_score). SigmaInv[1..K]
// [1..K] is the inverse of the current covariance, the identity at the start. False when a pass
// found its system or its covariance not positive definite and the fit stopped there.
bool em_fit_constrained(const EmData &d, const FitState &f, int fixedTrait, double **SigmaInv);

}  // namespace engine

#endif  // VARNOSTA_ENGINE_EM_H
