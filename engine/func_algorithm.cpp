// Public entry points of the engine's fits, information and score routines: thin wrappers that
// gather the wide argument lists into the structs of em.h and louis.h.
#include "engine/func_algorithm.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

#include "engine/em.h"
#include "engine/louis.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"
#include "toolkit/func_stat.h"

// The driver's trait count K and single-variant design width p (defined at the end of the file).
static int driver_K();
static int driver_p();

namespace {

using engine::EmData;
using engine::FitState;
using engine::LouisArrays;
using engine::LouisLayout;
using engine::Subjects;

Subjects subjects(int K, int m, int n, int N_mispat, int J, double **Y, int *mis_pats,
                  int *mis_patn, int **mis_R, int **Mis, int **Obs, int *nobs, int *nmis,
                  int *n_UniW, int *ind_UniW) {
  return Subjects{K,     m,   n,   N_mispat, J,    Y,      mis_pats, mis_patn,
                  mis_R, Mis, Obs, nobs,     nmis, n_UniW, ind_UniW};
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
// EM fits
// ---------------------------------------------------------------------------------------------

// Full model of one variant; see the header. Reads the globals K and p.
void EM_algorithm_v5(int m, int n, int N_mispat, double *Sigma0, double **Sigma, double **eta0,
                     double *q, double *q0, double **phi, double **phiY, double **T, double *Tobs,
                     double **Weta, double *c, double **Y, double ** /*W*/, int *mis_pats,
                     int *mis_patn, int **mis_R, int **Mis, int **Obs, int *nobs, int *nmis, int J,
                     int *n_UniW, int *ind_UniW, double **W_Uni) {
  const EmData d{subjects(driver_K(), m, n, N_mispat, J, Y, mis_pats, mis_patn, mis_R, Mis, Obs,
                          nobs, nmis, n_UniW, ind_UniW),
                 driver_p(), W_Uni};
  flag_fit_singular =
      !engine::em_fit_swept(d, FitState{Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c});
}

// Model of design width p0 (no genetic column); see the header. Reads the global K.
void EM_algorithm_null(int p0, int m, int n, int N_mispat, double *Sigma0, double **Sigma,
                       double **eta0, double *q, double *q0, double **phi, double **phiY,
                       double **T, double *Tobs, double **Weta, double *c, double **Y,
                       double ** /*W*/, int *mis_pats, int *mis_patn, int **mis_R, int **Mis,
                       int **Obs, int *nobs, int *nmis, int J, int *n_UniW, int *ind_UniW,
                       double **W_Uni) {
  const EmData d{subjects(driver_K(), m, n, N_mispat, J, Y, mis_pats, mis_patn, mis_R, Mis, Obs,
                          nobs, nmis, n_UniW, ind_UniW),
                 p0, W_Uni};
  flag_fit_singular =
      !engine::em_fit_swept(d, FitState{Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c});
}

// Constrained fit of the score tests; see the header. Reads the global K.
void EM_algorithm_indi_score(int fixedTrait, int p, int m, int n, int N_mispat, double *Sigma0,
                             double **Sigma, double **eta0, double *q, double *q0, double **phi,
                             double **phiY, double **T, double *Tobs, double **Weta, double *c,
                             double **Y, double ** /*W*/, int *mis_pats, int *mis_patn, int **mis_R,
                             int **Mis, int **Obs, int *nobs, int *nmis, int J, int *n_UniW,
                             int *ind_UniW, double **W_Uni, double **SigmaInv) {
  const EmData d{subjects(driver_K(), m, n, N_mispat, J, Y, mis_pats, mis_patn, mis_R, Mis, Obs,
                          nobs, nmis, n_UniW, ind_UniW),
                 p, W_Uni};
  flag_fit_singular = !engine::em_fit_constrained(
      d, FitState{Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c}, fixedTrait, SigmaInv);
}

// ---------------------------------------------------------------------------------------------
// Observed information and Wald p-values
// ---------------------------------------------------------------------------------------------

// Information matrix by Louis' method at the fit of EM_algorithm_v5, reduced and inverted; see
// the header. The positive-definiteness test runs after every fit, converged or not, so that an
// unusable matrix is reported through flag_positiveQ1 instead of ending the run.
void Variance_v3(int n, int m, int N_mispat, int dim, int dimST, double **Q1, double *l1,
                 double **eta0, double **Sigma, double *Sigma0, double *q, double **phi,
                 double **phiY, double **Weta, double *c, double ** /*W*/, double **Y,
                 double **c_var, double **T, int **twoIND, double **c2, double ** /*WW*/,
                 double ***c3, int *nobs, int *nmis, int **Mis, int **Obs, int **mis_R,
                 int *mis_pats, int *mis_patn, int J, int *n_UniW, int *ind_UniW, double **W_Uni) {
  const int K = driver_K(), p = driver_p();
  const Subjects s = subjects(K, m, n, N_mispat, J, Y, mis_pats, mis_patn, mis_R, Mis, Obs, nobs,
                              nmis, n_UniW, ind_UniW);
  engine::fitted_means(p, K, J, W_Uni, eta0, Weta);
  engine::store_inverse_covariance(K, Sigma, Sigma0, c_var);
  recover_design_crossproducts(p, T);
  const LouisLayout L{K, dimST, p, 0, p, twoIND, W_Uni, nullptr, false, true};
  const LouisArrays A{Sigma, Sigma0, c, c_var, c2, c3, l1, Q1, Weta, phi, q, phiY};
  const engine::ReducedInformation I = engine::louis_reduced_information(
      L, engine::DesignMoments{T, nullptr, nullptr}, s, A, dim, nullptr);
  // One factorisation gives both the verdict and the printed entries of the inverse.
  flag_positiveQ1 = choldcPositive(I.Q, I.order, l1);
  if (!flag_positiveQ1)
    return;
  // The factor is in the strict lower triangle and l1, so the upper triangle's diagonal can take
  // the variances as they come.
  std::vector<double> column(I.order + 1);  // column[1..order]
  for (int k = 1; k <= K; k++) {
    const int g = (k - 1) * p + 1;
    Q1[g][g] = cholinvDiagonal(I.Q, l1, I.order, g, column.data());
  }
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

// ---------------------------------------------------------------------------------------------
// Efficient scores: one implementation, three layouts
// ---------------------------------------------------------------------------------------------

// All traits, the first nGen columns of the w-wide rows tested for each; see the header.
void rareUV(int w, int n, int m, int N_mispat, int D, int dimST, int nGen, double **V, double *U,
            double **Q1, double *l1, double **eta, double **Sigma, double *Sigma0,
            double **SigmaInv, double *q, double **phi, double **phiY, double **Weta, double *c,
            double ** /*W*/, double **Y, double **c_var, int **twoIND, double **c2, double ***c3,
            int *nobs, int *nmis, int **Mis, int **Obs, int **mis_R, int *mis_pats, int *mis_patn,
            int J, int *n_UniW, int *ind_UniW, double **W_Uni) {
  const int K = driver_K();
  const Subjects s = subjects(K, m, n, N_mispat, J, Y, mis_pats, mis_patn, mis_R, Mis, Obs, nobs,
                              nmis, n_UniW, ind_UniW);
  const LouisLayout L{K, dimST, w, 0, w, twoIND, W_Uni, nullptr, true, false};
  const LouisArrays A{Sigma, Sigma0, c, c_var, c2, c3, l1, Q1, Weta, phi, q, phiY};
  engine::efficient_score(L, s, A, D, 0, nGen, false, eta, SigmaInv, V, U);
}

// One trait, its genetic column of the p-wide rows tested; see the header.
void rareUV_indi_score(int fixedTrait, int p, int n, int m, int N_mispat, int D, int dimST,
                       int nGen, double **V, double *U, double **Q1, double *l1, double **eta,
                       double **Sigma, double *Sigma0, double **SigmaInv, double *q, double **phi,
                       double **phiY, double **Weta, double *c, double ** /*W*/, double **Y,
                       double **c_var, int **twoIND, double **c2, double ***c3, int *nobs,
                       int *nmis, int **Mis, int **Obs, int **mis_R, int *mis_pats, int *mis_patn,
                       int J, int *n_UniW, int *ind_UniW, double **W_Uni) {
  const int K = driver_K();
  const Subjects s = subjects(K, m, n, N_mispat, J, Y, mis_pats, mis_patn, mis_R, Mis, Obs, nobs,
                              nmis, n_UniW, ind_UniW);
  const LouisLayout L{K, dimST, p, 0, p, twoIND, W_Uni, nullptr, true, false};
  const LouisArrays A{Sigma, Sigma0, c, c_var, c2, c3, l1, Q1, Weta, phi, q, phiY};
  engine::efficient_score(L, s, A, D, fixedTrait, nGen, true, eta, SigmaInv, V, U);
}

// One trait, the gene's nGen variant columns of its own rows tested; see the header.
void rareUV_indi_score_skat(int fixedTrait, int p, int n, int m, int N_mispat, int nGen, int D,
                            int dimST, double **V, double *U, double **Q1, double *l1, double **eta,
                            double **Sigma, double *Sigma0, double **SigmaInv, double *q,
                            double **phi, double **phiY, double **Weta, double *c, double ** /*W*/,
                            double **Y, double **c_var, int **twoIND, double **c2, double ***c3,
                            int *nobs, int *nmis, int **Mis, int **Obs, int **mis_R, int *mis_pats,
                            int *mis_patn, int J, int *n_UniW, int *ind_UniW, double **W_Uni,
                            double ** /*Wgene*/, double **Wgene_Uni) {
  const int K = driver_K();
  const Subjects s = subjects(K, m, n, N_mispat, J, Y, mis_pats, mis_patn, mis_R, Mis, Obs, nobs,
                              nmis, n_UniW, ind_UniW);
  const LouisLayout L{K, dimST, p, fixedTrait, nGen + p - 1, twoIND, W_Uni, Wgene_Uni, true, false};
  const LouisArrays A{Sigma, Sigma0, c, c_var, c2, c3, l1, Q1, Weta, phi, q, phiY};
  engine::efficient_score(L, s, A, D, fixedTrait, nGen, true, eta, SigmaInv, V, U);
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
