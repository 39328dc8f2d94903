// Gene-based analysis of a gene's joint effect on all K traits (-RARE_ALL). Per gene and
// selected test: the null model (intercept and covariates only) fitted by EM over sequenced and
// non-sequenced subjects, the efficient score of the test's genetic coefficients of every trait
// at that fit with its variance, and the test: SKAT on the gene's eligible variants, or the
// quadratic-form burden test on one burden column (T1, T5, MB).
#include <gsl/gsl_randist.h>

#include <cmath>
#include <iostream>
#include <string>

#include "driver/fit_arrays.h"
#include "driver/gene_blocks.h"
#include "driver/globals.h"
#include "driver/output_files.h"
#include "driver/pipelines.h"
#include "driver/single_variant.h"
#include "engine/func_algorithm.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

// Largest order D of the SKAT information matrix. The matrix takes D^2 doubles, V and its
// eigen-decomposition about 4 L^2 more (L = K x eligible variants), the fit's phi (n - m) x J.
// Measured peaks: 0.86 GB at D ~ 5400 with L = 4600; 0.9 to 1.6 GB at D = 10000 with L = 270;
// so about 3 GB for a gene at the limit made mostly of variants. A larger gene gets no SKAT
// result instead of ending the run. Only the tests lower it.
namespace driver_hooks {
int skat_max_order = 10000;
}

namespace {

// Pipeline arrays, made once before the gene loop.
double **null_design;  // 1..m x 1..p-1: intercept and covariates
double **B;            // 1..p-1 x 1..K: coefficients of the last null fit
double **SigmaInv;     // 1..K x 1..K: work matrix of the score routine

int K_pairs() { return K * (K + 1) / 2; }

void write_na_group(int mac) { fout << '\t' << mac << "\tNA\tNA"; }

// The distinct rows of design[1..m][1..width] into `rows`, and the covariate part (the last
// p - 1 columns) of each into W_Uni for the null fit. Returns J.
int distinct_rows(double **design, int width, double **&rows, bool allocate) {
  int J = 0;
  indexx_Array(width, m, design, index_W);
  NumUniCov(design, width, m, index_W, &J);
  if (allocate) {
    rows = dmatrix(1, J, 1, width);
  }
  CreateUniCov(design, width, m, index_W, rows, ind_UniW, n_UniW);
  size_fit_arrays(J);  // phi of the null fit; Q1 of the burden tests (dimST set by the caller)
  for (int r = 1; r <= J; ++r) {
    for (int col = 1; col <= p - 1; ++col) {
      W_Uni[r][col] = rows[r][width - (p - 1) + col];
    }
  }
  return J;
}

// The null model on the current table of distinct rows; B receives its coefficients. A fit that
// found no positive definite covariance (traits that the covariates, or the other traits, fit
// exactly) leaves no fit to score: the test gets "NA" and the message of a singular design, and
// false is returned.
bool fit_null_model(int J, const GeneTest &test, int mac) {
  EM_algorithm_null(p - 1, m, n, N_mispat, Sigma0, Sigma, B, q, q0, phi, phiY, T, Tobs, Weta, c, Y,
                    null_design, mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J, n_UniW,
                    ind_UniW, W_Uni);
  if (flag_fit_singular) {
    write_na_group(mac);
    fout_warn << '\t' << test.message_prefix << "The design matrix is singular!";
    return false;
  }
  if (flag_nonconvergence) {
    fout_warn << '\t' << test.message_prefix
              << "EM algorithm for the null model does not converge!";
  }
  return true;
}

// "\t" x for each covariance entry V[1..e][e], then zeros up to the full width L; the row ends.
void write_covariance_row(std::ofstream &out, const char *path, double **V, int e, int L) {
  for (int b = 1; b <= e; ++b) {
    out << '\t' << V[b][e];
  }
  for (int b = e + 1; b <= L; ++b) {
    out << '\t' << 0.0;
  }
  end_line(out, path);
}

// ---------------------------------------------------------------------------------------------
// SKAT

struct SkatArrays {
  int width = 0;             // columns of rareW
  int L = 0;                 // score elements: K x eligible variants
  int J = 0;                 // distinct rows of rareW
  int D = 0;                 // order of the information matrix
  double **rows = nullptr;   // 1..J x 1..width distinct rows
  double **start = nullptr;  // 1..width x 1..K coefficients handed to the score routine
  double **info = nullptr;   // 1..D x 1..D information matrix
  double *work = nullptr;    // 1..D per-subject score
  double **V = nullptr;      // 1..L x 1..L
  double *U = nullptr;       // 1..L, trait-major
  double *w = nullptr;       // 1..L weights
};

// Walks the eligible variants of the gene in gene order for trait block k and calls
// visit(j, e) with the record j and its score element e; the count is checked as a guard.
template <class Visit>
void for_each_element(const Gene &gene, int k, const char *check, Visit visit) {
  int l = 1;
  for (int j = 1; j <= gene.G; ++j) {
    if (gene.eligible[j]) {
      visit(j, (k - 1) * gene.G_NSNP1 + l);
      l++;
    }
  }
  if (l != gene.G_NSNP1 + 1) {
    std::cerr << "Error: l != G_NSNP1+1 (" << check << ")" << std::endl;
    kill_program();
  }
}

void write_skat_rows(const Gene &gene, DriverLocals &d, const SkatArrays &s) {
  for (int k = 1; k <= K; ++k) {
    for_each_element(gene, k, "SKAT.1", [&](int j, int e) {
      d.fout_skat << gene.name << '\t' << d.trait_names[k - 1] << '_' << gene.snp(j) << '\t'
                  << gene.maf(j) << '\t' << gene.cnt[j] << '\t' << s.U[e];
      write_covariance_row(d.fout_skat, out_skat, s.V, e, s.L);
    });
  }
}

// Squared Beta(1, 25) density at the map MAF (Wu et al. 2011), 0 above MAF_UB; the same weights
// in every trait block.
void skat_weights(const Gene &gene, SkatArrays &s) {
  for (int k = 1; k <= K; ++k) {
    for_each_element(gene, k, "SKAT.2", [&](int j, int e) {
      const double maf = gene.maf(j);
      const double density = gsl_ran_beta_pdf(maf, 1.0, 25.0);
      s.w[e] = maf <= MAF_UB ? density * density : 0.0;
    });
  }
}

void zero_constant_variants(const Gene &gene, SkatArrays &s) {
  for (int k = 1; k <= K; ++k) {
    for_each_element(gene, k, "SKAT.3", [&](int, int e) {
      const int l = e - (k - 1) * gene.G_NSNP1;
      if (constant_column(gene.rareW, l)) {
        zero_score_element(s.U, s.V, s.L, e);
      }
    });
  }
}

// The start matrix: genetic coefficients 0, the rest from the null fit.
void skat_start_values(const Gene &gene, SkatArrays &s) {
  s.start = dmatrix(1, s.width, 1, K);
  for (int k = 1; k <= K; ++k) {
    for (int l = 1; l <= gene.G_NSNP1; ++l) {
      s.start[l][k] = 0.0;
    }
    for (int col = 1; col <= p - 1; ++col) {
      s.start[gene.G_NSNP1 + col][k] = B[col][k];
    }
  }
}

void skat_score(const Gene &gene, SkatArrays &s) {
  s.info = dmatrix(1, s.D, 1, s.D);
  s.work = dvector(1, s.D);
  fill_twoIND(K * s.width);
  s.V = dmatrix(1, s.L, 1, s.L);
  s.U = dvector(1, s.L);
  rareUV(s.width, n, m, N_mispat, s.D, dimST, gene.G_NSNP1, s.V, s.U, s.info, s.work, s.start,
         Sigma, Sigma0, SigmaInv, q, phi, phiY, Weta, c, gene.rareW, Y, c_var, twoIND, c2, c3, nobs,
         nmis, Mis, Obs, mis_R, mis_pats, mis_patn, s.J, n_UniW, ind_UniW, s.rows);
}

void skat_test(const Gene &gene, DriverLocals &d) {
  SkatArrays s;
  s.width = gene.G_NSNP1 + p - 1;
  s.L = K * gene.G_NSNP1;
  s.J = distinct_rows(gene.rareW, s.width, s.rows, true);
  dimST = K * s.width + K_pairs();
  dimQ1 = dimST + s.J;
  s.D = dimQ1;
  const int mac = test_mac(gene, MAF_UB);
  if (s.D > driver_hooks::skat_max_order) {
    write_na_group(mac);
    fout_warn << "\t(SKAT) The gene is too large for the SKAT information matrix!";
  } else if (fit_null_model(s.J, kGeneTests[kSkat], mac)) {
    skat_start_values(gene, s);
    skat_score(gene, s);
    if (!flag_positiveQ1 || !finite_score(s.U, s.V, s.L)) {
      write_na_group(mac);
      fout_warn << "\tThe information matrix is not positive definite!";
    } else {
      zero_constant_variants(gene, s);
      s.w = dvector(1, s.L);
      skat_weights(gene, s);
      write_mle_skat_group(fout, fout_warn, mac, s.L, s.U, s.V, s.w,
                           "\t(SKAT) The asymptotic p-value may not be accurate!",
                           [&] { write_skat_rows(gene, d, s); });
      free_dvector(s.w, 1, s.L);
    }
    free_dvector(s.U, 1, s.L);
    free_dmatrix(s.V, 1, s.L, 1, s.L);
    free_dvector(s.work, 1, s.D);
    free_dmatrix(s.info, 1, s.D, 1, s.D);
    free_dmatrix(s.start, 1, s.width, 1, K);
  }
  free_dmatrix(s.rows, 1, s.J, 1, s.width);
}

// ---------------------------------------------------------------------------------------------
// Burden tests

struct BurdenArrays {
  double *U = nullptr;      // 1..K
  double **V = nullptr;     // 1..K x 1..K
  double **rows = nullptr;  // 1..m x 1..p distinct rows of W
};

void write_burden_rows(const Gene &gene, DriverLocals &d, const GeneTest &test, int mac,
                       const BurdenArrays &b) {
  std::ofstream &out = d.*test.stream;
  for (int k = 1; k <= K; ++k) {
    out << gene.name << '\t' << d.trait_names[k - 1] << '\t' << mac << '\t' << b.U[k];
    write_covariance_row(out, *test.file, b.V, k, K);
  }
}

bool positive_diagonal(double **V) {
  for (int k = 1; k <= K; ++k) {
    if (!(V[k][k] > 0.0)) {
      return false;
    }
  }
  return true;
}

void burden_test(const Gene &gene, DriverLocals &d, const GeneTest &test, BurdenArrays &b) {
  const int mac = burden_score(gene, test);
  const int J = distinct_rows(W, p, b.rows, false);
  if (!fit_null_model(J, test, mac)) {
    return;
  }
  for (int k = 1; k <= K; ++k) {
    eta0[1][k] = 0.0;
    for (int col = 2; col <= p; ++col) {
      eta0[col][k] = B[col - 1][k];
    }
  }
  dimQ1 = J + dimST;
  rareUV(p, n, m, N_mispat, dimQ1, dimST, 1, b.V, b.U, Q1, l1, eta0, Sigma, Sigma0, SigmaInv, q,
         phi, phiY, Weta, c, W, Y, c_var, twoIND, c2, c3, nobs, nmis, Mis, Obs, mis_R, mis_pats,
         mis_patn, J, n_UniW, ind_UniW, b.rows);
  double stat = 0.0, P = 0.0;
  const bool usable = flag_positiveQ1 && finite_score(b.U, b.V, K);
  if (usable && constant_column(W, 1)) {
    for (int k = 1; k <= K; ++k) {
      zero_score_element(b.U, b.V, K, k);
    }
  }
  if (usable) {
    burdenTest_v3(K, &stat, &P, b.U, b.V);
  }
  // No result from the test: with a diagonal entry that is not positive (a V of zeros when no
  // variant lies within the test's bound) the group is "NA" without a message; with a positive
  // diagonal V is not positive definite, reported as for the nuisance block.
  if (!usable || (P == -999.0 && positive_diagonal(b.V))) {
    write_na_group(mac);
    fout_warn << '\t' << test.message_prefix << "V is not positive definite!";
    return;
  }
  write_test_group(fout, mac, stat, P);
  write_burden_rows(gene, d, test, mac, b);
}

void burden_tests(const Gene &gene, DriverLocals &d) {
  if (!*kGeneTests[kT1].selected && !*kGeneTests[kT5].selected && !*kGeneTests[kMb].selected) {
    return;
  }
  BurdenArrays b;
  b.U = dvector(1, K);
  b.V = dmatrix(1, K, 1, K);
  b.rows = dmatrix(1, m, 1, p);
  dimST = K * p + K_pairs();
  fill_twoIND(K * p);
  for (const GeneTest &test : kGeneTests) {
    if (test.burden && *test.selected) {
      burden_test(gene, d, test, b);
    }
  }
  free_dmatrix(b.V, 1, K, 1, K);
  free_dvector(b.U, 1, K);
  free_dmatrix(b.rows, 1, m, 1, p);
}

// ---------------------------------------------------------------------------------------------

// The null design is the same for every gene; a singular one ends the run at the first gene
// with an eligible variant.
void check_null_design() {
  for (int r = 1; r <= m; ++r) {
    for (int col = 1; col <= p - 1; ++col) {
      null_design[r][col] = W[r][col + 1];
    }
  }
  bool singular = false;
  checkWarningNull(m, p - 1, null_design, &singular);
  if (singular) {
    std::cerr << std::endl
              << "Covariates design matrix for the null model is singular" << std::endl;
    kill_program();
  }
}

void analyse_gene(const Gene &gene, DriverLocals &d) {
  check_null_design();
  if (flag_skat) {
    skat_test(gene, d);
  }
  burden_tests(gene, d);
}

}  // namespace

void run_gene_all(DriverLocals &d) {
  const GeneAnalysis analysis = GeneAnalysis::kAllTraits;
  GeneMap map = read_gene_map(d, analysis);
  null_design = dmatrix(1, m, 1, p - 1);
  B = dmatrix(1, p - 1, 1, K);
  SigmaInv = dmatrix(1, K, 1, K);
  open_gene_outputs(d, analysis);

  for_each_gene(map, d, analysis, [&d](const Gene &gene) { analyse_gene(gene, d); });

  close_gene_outputs(map, d, analysis);
  free_dmatrix(SigmaInv, 1, K, 1, K);
  free_dmatrix(B, 1, p - 1, 1, K);
  free_dmatrix(null_design, 1, m, 1, p - 1);
  std::cout << "Gene-based rare variant analysis for the global genetic effects on all traits "
               "using score tests done!"
            << std::endl;
}
