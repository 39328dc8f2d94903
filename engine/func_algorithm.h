// Estimation and association-test engine: EM fits of the joint trait model, the observed
// information matrix, score vectors and gene-level tests.
//
// All arrays are the caller's offset-indexed arrays, addressed from 1. The engine reads the
// driver's globals K (traits) and, where a routine says so, p (design width of the
// single-variant design); both are defined by the driver.
#ifndef VARNOSTA_ENGINE_FUNC_ALGORITHM_H
#define VARNOSTA_ENGINE_FUNC_ALGORITHM_H

// Cleared by every EM fit at its start; set when the fit stops at its iteration limit.
// Defined by the driver.
extern bool flag_nonconvergence;

// Set by every EM fit at its end: true when it stopped early because its least-squares system,
// a design pivot or its covariance was not positive definite (for example two traits that are
// exact linear functions of each other and the covariates, or a trait the covariates fit
// exactly) or the covariance was not finite, false after a fit. When true the arrays hold no
// fit and must not be handed to the information or score routines. Defined by the driver.
extern bool flag_fit_singular;

// ---------------------------------------------------------------------------------------------
// EM fits of the joint model y_i = B' W_i + e_i, e_i ~ N_K(0, Sigma), where a non-sequenced
// subject's design row is W_Uni[j] with mass q[j]. Start: Sigma = I, B = 0, q = n_UniW / m; stop
// when the L1 step over covariance entries, coefficients and masses is below 1e-4, or after
// 500 iterations (then flag_nonconvergence = true and the 500th iterate is returned).
//
// Design width w (p for EM_algorithm_v5, p0 for EM_algorithm_null): eta0[1..w][1..K], T and
// Tobs of order w + K, W_Uni[1..J][1..w]. Sizes of the rest: Sigma[1..K][1..K], Sigma0[1..K],
// q, q0[1..J], phi[1..n-m][1..J], phiY, Weta[1..J][1..K], c[1..K]. Y[1..n][1..K] and the
// pattern and unique-row tables are only read; W is not read.
// At exit: eta0 the coefficients; Sigma the covariance in both triangles (not swept) and Sigma0
// its diagonal; q = q0 the masses; phi, phiY of the last E-step; Weta the fitted means used by
// it; T's upper triangle the last expected cross products swept on pivots 1..w, its strict
// lower triangle the fixed cross products of the observed traits. A covariance that is not
// finite and positive definite (within a relative floor of 1e-10 on its Cholesky pivots), or a
// design pivot that is not positive, ends the fit with flag_fit_singular set instead of stopping
// the run.
// ---------------------------------------------------------------------------------------------

// Full single-variant model; w is the global p.
void EM_algorithm_v5(int m, int n, int N_mispat, double *Sigma0, double **Sigma, double **eta0,
                     double *q, double *q0, double **phi, double **phiY, double **T, double *Tobs,
                     double **Weta, double *c, double **Y, double **W, int *mis_pats, int *mis_patn,
                     int **mis_R, int **Mis, int **Obs, int *nobs, int *nmis, int J, int *n_UniW,
                     int *ind_UniW, double **W_Uni);

// The same fit on a design of width p0 (the global p is not read): eta0 is the caller's
// p0 x K matrix and W_Uni holds p0 columns; rows that coincide there keep their own masses.
void EM_algorithm_null(int p0, int m, int n, int N_mispat, double *Sigma0, double **Sigma,
                       double **eta0, double *q, double *q0, double **phi, double **phiY,
                       double **T, double *Tobs, double **Weta, double *c, double **Y, double **W,
                       int *mis_pats, int *mis_patn, int **mis_R, int **Mis, int **Obs, int *nobs,
                       int *nmis, int J, int *n_UniW, int *ind_UniW, double **W_Uni);

// Constrained fit of the score tests: the genetic coefficient (design column 1) of trait
// fixedTrait (1..K) is held at zero; every other coefficient, Sigma and the masses are estimated
// by two conditional-maximisation passes per iteration (generalised least squares for the free
// coefficients given SigmaInv, then Sigma given the coefficients). Arrays as EM_algorithm_v5
// with design width p (the argument); SigmaInv[1..K][1..K] is the caller's. At exit eta0 holds
// the fit with eta0[1][fixedTrait] = 0, Sigma the covariance (both triangles, unswept), SigmaInv
// its inverse, and T's upper triangle the expected cross products of the last E-step, NOT swept.
// A system or covariance that is not positive definite ends the fit with flag_fit_singular set
// instead of stopping the run.
void EM_algorithm_indi_score(int fixedTrait, int p, int m, int n, int N_mispat, double *Sigma0,
                             double **Sigma, double **eta0, double *q, double *q0, double **phi,
                             double **phiY, double **T, double *Tobs, double **Weta, double *c,
                             double **Y, double **W, int *mis_pats, int *mis_patn, int **mis_R,
                             int **Mis, int **Obs, int *nobs, int *nmis, int J, int *n_UniW,
                             int *ind_UniW, double **W_Uni, double **SigmaInv);

// ---------------------------------------------------------------------------------------------
// Observed information and Wald p-values
// ---------------------------------------------------------------------------------------------

// Observed-data information of (coefficients trait by trait, covariance entries at
// twoIND[a][b] for a <= b, masses at dimST + 1..dim) at the fit EM_algorithm_v5 has just left
// (Louis 1982), with the last mass eliminated by the sum-to-one constraint, and the variances
// of the genetic coefficients from its inverse. Note the order (n, m). Reads the globals K and
// p; W and WW are not used.
// Q1 (order >= dim) and l1 (>= dim): at exit Q1's upper triangle over 1..dim-1 holds the reduced
// information, except that its diagonal entries at the genetic coefficients (k-1)p+1 hold their
// variances, the diagonal entries of its inverse (the rest of the inverse is not formed); its
// strict lower triangle and l1[1..dim-1] hold the Cholesky factor of the information (as
// choldc leaves it). When the reduced information is not positive definite, flag_positiveQ1 =
// false and Q1's upper triangle holds it unchanged (whether the fit converged or not);
// otherwise flag_positiveQ1 = true. All this holds for the formed information; with many
// distinct rows the masses are eliminated without forming their block (engine/mass_block.h),
// and then Q1's rows 1..dimST hold only the parameter rows of the reduced information (with
// the variances at the same diagonal places), rows dimST + 1.. are not touched, and the factor
// (l1[1..dimST] its diagonal) is that of the parameter block's Schur complement, held by the
// engine. The variances and the verdict are the same either way.
// Overwrites Sigma (swept on the last pattern's observed traits, Sigma^-1 below the diagonal),
// Sigma0 (diagonal of Sigma^-1), Weta, phiY, c, c_var, c2, c3 and T's design block (reverse
// swept). Stops with a message when T's design block is not swept (no fit since the last call).
void Variance_v3(int n, int m, int N_mispat, int dim, int dimST, double **Q1, double *l1,
                 double **eta0, double **Sigma, double *Sigma0, double *q, double **phi,
                 double **phiY, double **Weta, double *c, double **W, double **Y, double **c_var,
                 double **T, int **twoIND, double **c2, double **WW, double ***c3, int *nobs,
                 int *nmis, int **Mis, int **Obs, int **mis_R, int *mis_pats, int *mis_patn, int J,
                 int *n_UniW, int *ind_UniW, double **W_Uni);

// For k = 1..K, v = Q1[(k-1)p+1][(k-1)p+1]: se[k] = sqrt(v) and pval[k] the chi-square(1) tail
// of eta0[1][k]^2 / v. When v is not positive and finite, or the statistic is not finite, se[k]
// and pval[k] are NaN (the caller reports them as not available).
void Pvalue(int K, int p, double *pval, double *se, double **eta0, double **Q1);

// ---------------------------------------------------------------------------------------------
// Efficient score vectors and variances at a fit without the tested genetic effects
// (Louis 1982 information; nuisance parameters removed with cal_ainvBa / cal_ainvBa_UV).
// D = dimST + J is the order of the unreduced information; Q1 (>= D square) and l1 (>= D) are
// work arrays; twoIND numbered from (sum of the coefficient widths) + 1. Results: U[1..G] and
// V[1..G][1..G] (both triangles); flag_positiveQ1 false when the nuisance block is not positive
// definite, in which case U and V are left uncorrected. Sigma must enter unswept, as a fit
// leaves it; SigmaInv receives Sigma^-1.
// ---------------------------------------------------------------------------------------------

// All K traits; the first nGen of the w columns of W_Uni (J x w) are tested for every trait.
// G = nGen * K, U trait-major. Follows EM_algorithm_null (eta rows 1..nGen hold 0).
void rareUV(int w, int n, int m, int N_mispat, int D, int dimST, int nGen, double **V, double *U,
            double **Q1, double *l1, double **eta, double **Sigma, double *Sigma0,
            double **SigmaInv, double *q, double **phi, double **phiY, double **Weta, double *c,
            double **W, double **Y, double **c_var, int **twoIND, double **c2, double ***c3,
            int *nobs, int *nmis, int **Mis, int **Obs, int **mis_R, int *mis_pats, int *mis_patn,
            int J, int *n_UniW, int *ind_UniW, double **W_Uni);

// One trait (fixedTrait): the first nGen (= 1) columns of W_Uni (J x p) for that trait. Follows
// EM_algorithm_indi_score. U and V are corrected for the nuisance score as well.
void rareUV_indi_score(int fixedTrait, int p, int n, int m, int N_mispat, int D, int dimST,
                       int nGen, double **V, double *U, double **Q1, double *l1, double **eta,
                       double **Sigma, double *Sigma0, double **SigmaInv, double *q, double **phi,
                       double **phiY, double **Weta, double *c, double **W, double **Y,
                       double **c_var, int **twoIND, double **c2, double ***c3, int *nobs,
                       int *nmis, int **Mis, int **Obs, int **mis_R, int *mis_pats, int *mis_patn,
                       int J, int *n_UniW, int *ind_UniW, double **W_Uni);

// One trait with the gene's nGen variants as its genetic columns: trait fixedTrait uses the
// distinct gene rows Wgene_Uni (J x (nGen + p - 1)), every other trait the condensed rows W_Uni
// (J x p, column 1 the sum of the gene's genotypes). Note nGen before D and dimST here.
void rareUV_indi_score_skat(int fixedTrait, int p, int n, int m, int N_mispat, int nGen, int D,
                            int dimST, double **V, double *U, double **Q1, double *l1, double **eta,
                            double **Sigma, double *Sigma0, double **SigmaInv, double *q,
                            double **phi, double **phiY, double **Weta, double *c, double **W,
                            double **Y, double **c_var, int **twoIND, double **c2, double ***c3,
                            int *nobs, int *nmis, int **Mis, int **Obs, int **mis_R, int *mis_pats,
                            int *mis_patn, int J, int *n_UniW, int *ind_UniW, double **W_Uni,
                            double **Wgene, double **Wgene_Uni);

// ---------------------------------------------------------------------------------------------
// Gene-level tests. The value -999 in a statistic or p-value marks a test without a result.
// ---------------------------------------------------------------------------------------------

// Burden quadratic form T = U' V^-1 U (U[1..K], V[1..K][1..K]; both read, neither changed;
// V inverted on a private copy by LU) with P its chi-square(K) upper tail, computed directly so
// that small p-values keep their digits (P = 0 only beyond the double range). T = P = -999 when
// a diagonal entry of V is not positive (a NaN entry does not count) and, with a positive
// diagonal, when V is not positive definite (its upper triangle fails the Cholesky test).
void burdenTest_v3(int K, double *T, double *P, double *U, double **V);

// Whether V[1..len][1..len] (both triangles read, finite) is a variance that SKAT can use with
// the weights w[1..len]. Only entries with a positive weight count: none of them may have a
// negative variance, and diag(sqrt w) V diag(sqrt w) over those with a positive variance may
// have no eigenvalue below -1e-5 times its largest (rounding of a semi-definite V stays far
// above that). Entries with zero variance are left out, as MASS_metaPval_v2 leaves them; with
// none left V is acceptable.
bool skat_variance_acceptable(int len, double **V, const double *w);

// SKAT entry. method 2 is the only one defined; any other code returns at once and writes
// nothing. Otherwise *code = 0, the entries of U[1..len] whose variance V[i][i] is not positive
// are dropped (a NaN variance stays in) and SKAT runs on the rest, in their order, with their
// weights w[1..len]. No entry left: P = -999, Q unchanged.
void MASS_metaPval_v2(int method, int len, double *U, double **V, double *w, double *Q, double *P,
                      int *code);

// SKAT statistic Q = sum w_i U_i^2 and P = 1 - Davies' P(sum_j lambda_j chi2(1) < Q) (Davies
// 1980, accuracy 1e-8) over the eigenvalues lambda_j of diag(sqrt w) V diag(sqrt w) that exceed
// 1e-5 times the mean of its non-negative eigenvalues. 0-based: U[0..m-1], w[0..m-1],
// V[0..m-1][0..m-1] (both triangles read; nothing changed).
// *code <- Davies' fault code, 0 to 5. P is left as computed whatever the code: on codes 1, 3, 4
// and 5 Davies has no result and P = 2, which is not a p-value; the caller checks the code and
// reports no p-value for those (Q stays valid). Codes 0 and 2 give P as computed, except that a
// P below 1e-6 (or none at all, P <= 0) is replaced by the upper tail computed directly with
// relative accuracy; that tail is 0 only below the smallest positive double. Where that
// computation does not settle, Davies' P is kept, or P = -999 (no result) when it is <= 0
// with at least one kept eigenvalue. No non-negative eigenvalue: prints "No Eigenvalue is
// bigger than 0!!" on standard output without a line end, P = -999 and *code is not written.
void SKAT(int m, double *U, double **V, double *w, double *Q, double *P, int *code);

#endif  // VARNOSTA_ENGINE_FUNC_ALGORITHM_H
