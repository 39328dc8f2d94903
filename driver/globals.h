// The driver's state for the whole run: settings fixed by the command line, table sizes,
// the long-lived arrays of the input phase, and the shared streams. One place, grouped by stage.
#ifndef VARNOSTA_DRIVER_GLOBALS_H
#define VARNOSTA_DRIVER_GLOBALS_H

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

// --- Settings (command line) -----------------------------------------------------------------
extern char *pheno_seq;     // -PHENO_SEQ: sequenced-subject phenotype table
extern char *pheno_nonseq;  // -PHENO_NONSEQ: non-sequenced-subject phenotype table
extern char *geno;          // -GENO: genotype table
extern char *out_test;      // -OUT_MLE: MLE (or gene-level) results table
extern char *out_naive;     // -OUT_NAIVE: Naive results table
extern char *out_warn;      // -OUT_WARN: warning file
extern int MAC_LB;          // -MAC_LB: carrier-count lower bound of the single-variant analyses
extern bool flag_scale;     // -SCALE: standardise traits and continuous covariates

extern char *map_file;                             // -MAP: gene-SNP map
extern bool flag_skat, flag_t1, flag_t5, flag_mb;  // gene tests selected
extern char *out_skat, *out_t1, *out_t5, *out_mb;  // their variant-level files
extern std::string out_naive_skat;                 // "naive_" + the -SKAT value
extern int analysis_mode;  // 0 -COM, 1 -COM_SCORE, 2 -RARE_ONETRAIT, 3 -RARE_ALL
extern int genetic_model;  // 0 Additive, 1 Dominant
extern int TRAIT;          // -TRAIT: tested trait, 1-based
extern double MAF_LB;      // -MAF_LB
extern double MAF_UB;      // -MAF_UB: frequency bound of SKAT and MB
extern double MAF_T5;      // fixed frequency bound of T5
extern int SNP_MAC_LB;     // -SNP_MAC_LB

// --- Shared streams and strings ------------------------------------------------------------
extern std::ifstream fin;         // one input stream, reused for every table
extern std::ofstream fout;        // MLE or gene-level results
extern std::ofstream fout_naive;  // Naive results
extern std::ofstream fout_warn;   // warnings
extern std::string header;        // current header or text line
extern std::string snp_name;      // current variant identifier
extern std::istringstream line;   // splits `header` into tokens
extern time_t now;                // time of the start and finish stamps

// --- Sizes (input phase) ---------------------------------------------------------------------
extern int K;         // traits
extern int m;         // sequenced subjects
extern int n;         // all subjects, sequenced first
extern int p;         // design columns: genetic column, intercept, covariates
extern int NSNP;      // lines of the genotype table
extern int N_mispat;  // missing-trait patterns
extern int dimST;     // regression coefficients plus K(K+1)/2 covariance entries
extern int dimQ1;     // dimST + m, the largest order of an information matrix (Q1 itself
                      // is sized per fit, fit_arrays.h)

// --- Long-lived arrays (input phase), in order of allocation ------------------------------
extern double **Y;        // 1..n x 1..K traits, grouped by missing pattern
extern double **W;        // 1..m x 1..p design rows of the sequenced subjects
extern int *index_W;      // 1..m sort index of the unique covariate table
extern double **Y1;       // 1..n x 1..K genotype-complete subsample
extern double **W1;       // 1..m x 1..p its design; scratch of the naive regressions
extern int *ind_UniW;     // 1..m design row to distinct row
extern double **W_Uni;    // 1..m x 1..p distinct design rows
extern int *n_UniW;       // 1..m multiplicities of the distinct rows
extern double **T;        // 1..K+p square cross-product matrix of the EM fits
extern double *Tobs;      // 1..K+p diagonal of the constant cross products
extern double **Sigma;    // 1..K square trait covariance
extern double *Sigma0;    // 1..K previous diagonal of Sigma
extern double **eta0;     // 1..p x 1..K regression coefficients
extern double *q;         // 1..m masses of the distinct rows
extern double *q0;        // 1..m previous masses
extern double **Weta;     // 1..m x 1..K fitted means of the distinct rows
extern double *c;         // 1..K engine work vector
extern double **phi;      // 1..n-m x 1..J posterior weights of the non-sequenced subjects
                          // (J of the fit at hand; fit_arrays.h)
extern double **phiY;     // 1..m x 1..K per-distinct-row sums of the E-step
extern double **Q1;       // 1..dimST+J square information matrix (fit_arrays.h)
extern double *l1;        // 1..dimST+J score work vector
extern double **c_var;    // 1..K square work matrix
extern double **c2;       // 1..K square work matrix
extern double **WW;       // 1..p square work matrix
extern double ***c3;      // 1..K cube of third moments
extern int **twoIND;      // 1..K square positions of the covariance parameters
extern double *na_Y;      // 1..m naive response
extern double *na_beta;   // 1..p naive coefficients
extern double **na_cov;   // 1..p+1 square naive coefficient covariance
extern double na_sigma2;  // naive residual variance
extern double na_Pvalue;  // last naive p-value
extern double *pval;      // 1..K MLE p-values
extern double *se;        // 1..K MLE standard errors

// --- Missing-pattern tables (input phase) ------------------------------------------------
extern int **mis_R;     // 1..N_mispat x 1..K: trait k observed in pattern t
extern int **Mis;       // 1..N_mispat x 1..K: missing traits of each pattern, ascending
extern int **Obs;       // 1..N_mispat x 1..K: observed traits of each pattern, ascending
extern int *nmis;       // 1..N_mispat
extern int *nobs;       // 1..N_mispat
extern int *mis_pats;   // 1..N_mispat+1 sequenced row boundaries
extern int *mis_patn;   // 1..N_mispat+1 non-sequenced row boundaries
extern int *mis_ranks;  // 1..m sequenced-table line to row of Y and W
extern int *mis_pats1;  // 1..N_mispat+1 boundaries of the genotype-complete subsample
extern int *mis_patn1;  // 1..N_mispat+1

#endif  // VARNOSTA_DRIVER_GLOBALS_H
