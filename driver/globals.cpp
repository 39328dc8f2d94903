#include "driver/globals.h"

// Settings, with their defaults (main sets them again before parsing).
char *pheno_seq = const_cast<char *>("pheno_seq.tab");
char *pheno_nonseq = const_cast<char *>("pheno_nonseq.tab");
char *geno = const_cast<char *>("geno.tab");
char *out_test = const_cast<char *>("mle.tab");
char *out_naive = const_cast<char *>("naive.tab");
char *out_warn = const_cast<char *>("warning.txt");
int MAC_LB = 0;
bool flag_scale = false;

char *map_file = const_cast<char *>("map.tab");
bool flag_skat = false, flag_t1 = false, flag_t5 = false, flag_mb = false;
char *out_skat = nullptr, *out_t1 = nullptr, *out_t5 = nullptr, *out_mb = nullptr;
std::string out_naive_skat;
int analysis_mode = 0;
int genetic_model = 0;
int TRAIT = 1;
double MAF_LB = 0.0;
double MAF_UB = 0.05;
double MAF_T5 = 0.05;
int SNP_MAC_LB = 0;

// Shared streams, constructed in this order before main and closed at process exit, so an
// orderly stop with status 1 still flushes every row already written.
std::ifstream fin;
std::ofstream fout;
std::ofstream fout_naive;
std::ofstream fout_warn;
std::string header;
std::string snp_name;
std::istringstream line;
time_t now;

int K = 0, m = 0, n = 0, p = 0, NSNP = 0, N_mispat = 0, dimST = 0, dimQ1 = 0;

double **Y = nullptr, **W = nullptr, **Y1 = nullptr, **W1 = nullptr, **W_Uni = nullptr;
int *index_W = nullptr, *ind_UniW = nullptr, *n_UniW = nullptr;
double **T = nullptr, *Tobs = nullptr, **Sigma = nullptr, *Sigma0 = nullptr, **eta0 = nullptr;
double *q = nullptr, *q0 = nullptr, **Weta = nullptr, *c = nullptr, **phi = nullptr;
double **phiY = nullptr, **Q1 = nullptr, *l1 = nullptr, **c_var = nullptr, **c2 = nullptr;
double **WW = nullptr, ***c3 = nullptr;
int **twoIND = nullptr;
double *na_Y = nullptr, *na_beta = nullptr, **na_cov = nullptr;
double na_sigma2 = 0.0, na_Pvalue = 0.0;
double *pval = nullptr, *se = nullptr;

int **mis_R = nullptr, **Mis = nullptr, **Obs = nullptr;
int *nmis = nullptr, *nobs = nullptr, *mis_pats = nullptr, *mis_patn = nullptr;
int *mis_ranks = nullptr, *mis_pats1 = nullptr, *mis_patn1 = nullptr;
