// Checks the expected files of the all-traits gene-based end-to-end cases (tests/e2e/gene_*)
// against computations written here from the input files alone: the map kept and cut into
// genes, the genotype coding and the eligible variants, the test MACs, the row layouts and NA
// placement, and the scores U and their variances V of every test, from the observed-data
// log-likelihood of the joint model (tests/driver/joint_model_check.h): maximised under the null
// (BFGS, GSL), its gradient in the tested coefficients, and its Hessian by central differences
// of the gradient, with V the Schur complement over the nuisance parameters. T = U'V^-1U with its
// chi-square tail and the SKAT Q = sum w U^2 with its Davies tail are recomputed from the printed U
// and V. The end-to-end runner checks the program against these files; this checks the files.
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_eigen.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_multimin.h>
#include <gsl/gsl_randist.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/driver/joint_model_check.h"
#include "toolkit/qfc.h"

namespace {

using joint_check::missing;
using joint_check::numbers;
using joint_check::read_lines;
using joint_check::split_tabs;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using Vec = std::vector<double>;
using Mat = std::vector<Vec>;

Strings words(const std::string &text) {
  std::istringstream in(text);
  Strings out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// ---------------------------------------------------------------------------------------------
// The inputs of one case and its options

struct Record {
  std::string gene, snp;
  double maf;
};

struct Study {
  Strings traits;
  Mat y, cov, non;                  // sequenced traits and covariates, non-sequenced traits
  std::map<std::string, Vec> geno;  // identifier -> genotypes of its first line
  std::vector<Record> map;
  bool dominant = false;
  double maf_ub = 0.05;
  int snp_mac_lb = 0;
  std::map<std::string, std::string> test_file;  // selected tests and their files
  std::string out_mle = "mle.tab", out_warn = "warning.txt";
  size_t K() const { return traits.size(); }
  size_t m() const { return y.size(); }
};

Study read_study(const fs::path &dir) {
  Study s;
  std::map<std::string, std::string> file{{"-PHENO_SEQ", "pheno_seq.tab"},
                                          {"-PHENO_NONSEQ", "pheno_nonseq.tab"},
                                          {"-GENO", "geno.tab"},
                                          {"-MAP", "map.tab"}};
  const Strings args = read_lines(dir / "args");
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string &a = args[i], &v = args[i + 1];
    if (file.count(a))
      file[a] = v;
    if (a == "-SKAT" || a == "-T1" || a == "-T5" || a == "-MB")
      s.test_file[a.substr(1)] = v;
    if (a == "-MODEL")
      s.dominant = v == "Dominant";
    if (a == "-MAF_UB")
      s.maf_ub = std::stod(v);
    if (a == "-SNP_MAC_LB")
      s.snp_mac_lb = std::stoi(v);
    if (a == "-OUT_MLE")
      s.out_mle = v;
    if (a == "-OUT_WARN")
      s.out_warn = v;
  }
  const fs::path in = dir / "inputs";
  for (const std::string &text : read_lines(in / file["-PHENO_NONSEQ"]))
    if (!words(text).empty())
      s.non.push_back(numbers(text));
  const size_t K = s.non.at(0).size();
  const Strings seq = read_lines(in / file["-PHENO_SEQ"]);
  const Strings head = words(seq.at(0));
  s.traits.assign(head.begin(), head.begin() + static_cast<long>(K));
  for (size_t i = 1; i < seq.size(); ++i) {
    const Vec v = numbers(seq[i]);
    if (v.empty())
      continue;
    s.y.emplace_back(v.begin(), v.begin() + static_cast<long>(K));
    s.cov.emplace_back(v.begin() + static_cast<long>(K), v.end());
  }
  for (const std::string &text : read_lines(in / file["-GENO"])) {
    const Strings w = words(text);
    if (w.empty() || s.geno.count(w[0]))
      continue;
    Vec g;
    for (size_t i = 1; i < w.size(); ++i) g.push_back(std::stod(w[i]));
    s.geno[w[0]] = g;
  }
  for (const std::string &text : read_lines(in / file["-MAP"])) {
    const Strings w = words(text);
    if (!w.empty())
      s.map.push_back({w[0], w[1], std::stod(w[2])});
  }
  return s;
}

// ---------------------------------------------------------------------------------------------
// Genes: kept records, coding and eligibility

struct Variant {
  std::string snp;
  double maf = 0.0;
  int cnt = 0;
  bool eligible = false;
  Vec x;  // coded genotypes, sequenced subjects in input order
};

// Records whose variant heads a genotype line and whose MAF is in (0, 1), by gene name (byte
// order), each gene's records in map order.
std::map<std::string, std::vector<Variant>> genes_of(const Study &s) {
  std::map<std::string, std::vector<Variant>> genes;
  for (const Record &r : s.map) {
    const auto g = s.geno.find(r.snp);
    if (g == s.geno.end() || r.maf <= 0.0 || r.maf >= 1.0)
      continue;
    Variant v;
    v.snp = r.snp;
    v.maf = r.maf;
    int n1 = 0, n2 = 0, nmiss = 0;
    for (double x : g->second) {
      nmiss += missing(x);
      n1 += std::fabs(x - 1) < 1e-10;
      n2 += std::fabs(x - 2) < 1e-10;
    }
    const int m = static_cast<int>(g->second.size());
    v.cnt = n1 + n2;
    v.eligible = v.cnt > s.snp_mac_lb && nmiss < m;
    const double f = nmiss < m ? (n1 + 2.0 * n2) / (2.0 * (m - nmiss)) : 0.0;
    for (double x : g->second) {
      if (missing(x))
        v.x.push_back(s.dominant ? f * (2 - f) : 2 * f);
      else
        v.x.push_back(s.dominant && x > 0.5 ? 1.0 : x);
    }
    genes[r.gene].push_back(v);
  }
  return genes;
}

// ---------------------------------------------------------------------------------------------
// The joint model of one test: its design (tested columns first, then intercept and
// covariates) is the row of every sequenced subject, and a non-sequenced subject has one of the
// J distinct rows, with unknown masses (the model of joint_model_check.h with the design's
// width in place of p).

joint_check::Joint make_model(const Study &s, const Mat &design) {
  joint_check::Joint d;
  d.K = s.K();
  d.p = design[0].size();
  d.non = s.non;
  d.y = s.y;
  std::map<Vec, size_t> index;
  for (size_t i = 0; i < design.size(); ++i) {
    if (index.emplace(design[i], d.rows.size()).second)
      d.rows.push_back(design[i]);
    d.row_of.push_back(index[design[i]]);
    d.pat_y.push_back(joint_check::pattern_of(d, s.y[i]));
  }
  for (const Vec &y : d.non) d.pat_non.push_back(joint_check::pattern_of(d, y));
  return d;
}

// The null fit: the tested coefficients are 0, so a row's mean depends on its covariates
// alone, and the masses of the rows that share covariates enter the non-sequenced subjects'
// terms only through their sum; for a given sum, the sequenced subjects' terms are largest with
// masses proportional to the rows' sequenced counts. So the fit runs over the other
// coefficients, Sigma and one logit per covariate class (that of the last row held at 0), and
// row j's logit is its class's logit plus log(n_j / n_class) - log(n_J / n_class(J)).
struct NullFit {
  const joint_check::Joint *d;
  std::vector<size_t> coefficients;  // positions of the free coefficients and Sigma
  std::vector<size_t> class_of;      // class of each distinct row
  Vec offset;                        // of each row's logit
  size_t classes = 0;
  size_t size() const { return coefficients.size() + classes - 1; }
  Vec full(const gsl_vector *x) const {
    const size_t n = joint_check::parameter_count(*d);
    Vec t(n, 0.0);
    const size_t nc = coefficients.size(), lo = n - (d->rows.size() - 1);
    for (size_t i = 0; i < nc; ++i) t[coefficients[i]] = gsl_vector_get(x, i);
    for (size_t j = 0; j + 1 < d->rows.size(); ++j)
      t[lo + j] = offset[j] + (class_of[j] + 1 < classes ? gsl_vector_get(x, nc + class_of[j]) : 0);
    return t;
  }
};

double null_f(const gsl_vector *x, void *p) {
  const NullFit &f = *static_cast<NullFit *>(p);
  const Vec t = f.full(x);
  gsl_vector_const_view tv = gsl_vector_const_view_array(t.data(), t.size());
  return joint_check::minus_f(&tv.vector, const_cast<joint_check::Joint *>(f.d));
}
void null_df(const gsl_vector *x, void *p, gsl_vector *g) {
  const NullFit &f = *static_cast<NullFit *>(p);
  const Vec grad = joint_check::gradient(*f.d, f.full(x));
  const size_t nc = f.coefficients.size(), lo = grad.size() - (f.d->rows.size() - 1);
  gsl_vector_set_zero(g);
  for (size_t i = 0; i < nc; ++i) gsl_vector_set(g, i, grad[f.coefficients[i]]);
  for (size_t j = 0; j + 1 < f.d->rows.size(); ++j)
    if (f.class_of[j] + 1 < f.classes)
      *gsl_vector_ptr(g, nc + f.class_of[j]) += grad[lo + j];
}
void null_fdf(const gsl_vector *x, void *p, double *v, gsl_vector *g) {
  *v = null_f(x, p);
  null_df(x, p, g);
}

// Solves A x = b for the symmetric positive definite A (all columns of B at once).
Mat spd_solve(const Mat &A, const Mat &B) {
  const size_t n = A.size();
  gsl_matrix *g = gsl_matrix_alloc(n, n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) gsl_matrix_set(g, i, j, A[i][j]);
  EXPECT_EQ(gsl_linalg_cholesky_decomp1(g), GSL_SUCCESS) << "nuisance information not positive";
  Mat X = B;
  gsl_vector *x = gsl_vector_alloc(n);
  for (size_t c = 0; c < B[0].size(); ++c) {
    for (size_t i = 0; i < n; ++i) gsl_vector_set(x, i, B[i][c]);
    gsl_linalg_cholesky_svx(g, x);
    for (size_t i = 0; i < n; ++i) X[i][c] = gsl_vector_get(x, i);
  }
  gsl_vector_free(x);
  gsl_matrix_free(g);
  return X;
}

struct Score {
  Vec U;  // trait-major: trait k, tested column l at k nGen + l
  Mat V;
};

// The score of the tested coefficients at the null fit and its efficient variance. BFGS from
// zero coefficients, Sigma = I and masses from the sequenced counts until the gradient norm is
// below 1e-7, where the score agrees with that at the maximum far below the tolerances used.
Score efficient_score(const Study &s, const Mat &design, size_t nGen) {
  const joint_check::Joint d = make_model(s, design);
  const size_t K = d.K, w = d.p, J = d.rows.size(), n = joint_check::parameter_count(d);
  NullFit fit{&d, {}, {}, {}, 0};
  std::vector<size_t> tested, free;
  for (size_t k = 0; k < K; ++k)
    for (size_t l = 0; l < w; ++l) (l < nGen ? tested : fit.coefficients).push_back(k * w + l);
  for (size_t i = K * w; i < K * w + K * (K + 1) / 2; ++i) fit.coefficients.push_back(i);
  free = fit.coefficients;
  for (size_t i = K * w + K * (K + 1) / 2; i < n; ++i) free.push_back(i);
  // Covariate classes numbered from the last row's, which is the reference.
  std::map<Vec, size_t> class_index;
  std::vector<int> count(J, 0);
  for (size_t r : d.row_of) count[r]++;
  const Vec last(d.rows[J - 1].begin() + static_cast<long>(nGen), d.rows[J - 1].end());
  std::vector<size_t> cls(J);
  for (size_t j = 0; j < J; ++j) {
    const Vec covariates(d.rows[j].begin() + static_cast<long>(nGen), d.rows[j].end());
    if (covariates != last && !class_index.count(covariates))
      class_index.emplace(covariates, class_index.size());
    cls[j] = covariates == last ? SIZE_MAX : class_index[covariates];
  }
  fit.classes = class_index.size() + 1;
  std::vector<double> class_count(fit.classes, 0.0);
  for (size_t j = 0; j < J; ++j) {
    cls[j] = cls[j] == SIZE_MAX ? fit.classes - 1 : cls[j];
    class_count[cls[j]] += count[j];
  }
  fit.class_of.assign(cls.begin(), cls.end() - 1);
  for (size_t j = 0; j + 1 < J; ++j)
    fit.offset.push_back(std::log(count[j] / class_count[cls[j]]) -
                         std::log(count[J - 1] / class_count[cls[J - 1]]));
  const size_t nf = fit.size(), nc = fit.coefficients.size();
  gsl_vector *x = gsl_vector_calloc(nf);
  for (size_t c = 0; c + 1 < fit.classes; ++c)
    gsl_vector_set(x, nc + c, std::log(class_count[c] / class_count[fit.classes - 1]));
  gsl_multimin_function_fdf fn{null_f, null_df, null_fdf, nf, &fit};
  gsl_multimin_fdfminimizer *m =
      gsl_multimin_fdfminimizer_alloc(gsl_multimin_fdfminimizer_vector_bfgs2, nf);
  gsl_multimin_fdfminimizer_set(m, &fn, x, 0.01, 0.1);
  for (int it = 0; it < 20000 && gsl_multimin_test_gradient(m->gradient, 1e-7); ++it)
    if (gsl_multimin_fdfminimizer_iterate(m))
      break;
  const Vec t = fit.full(m->x);
  gsl_multimin_fdfminimizer_free(m);
  gsl_vector_free(x);
  const size_t nfree = free.size();
  Mat H = joint_check::hessian(d, t);
  for (size_t a = 0; a < n; ++a)  // symmetrise the rounding of the differences
    for (size_t b = 0; b < a; ++b) H[a][b] = H[b][a] = 0.5 * (H[a][b] + H[b][a]);
  const Vec g = joint_check::gradient(d, t);
  const size_t G = tested.size();
  Score out{Vec(G), Mat(G, Vec(G))};
  Mat Hff(nfree, Vec(nfree)), Hft(nfree, Vec(G));
  for (size_t a = 0; a < nfree; ++a) {
    for (size_t b = 0; b < nfree; ++b) Hff[a][b] = H[free[a]][free[b]];
    for (size_t b = 0; b < G; ++b) Hft[a][b] = H[free[a]][tested[b]];
  }
  const Mat X = spd_solve(Hff, Hft);
  for (size_t a = 0; a < G; ++a) {
    // tested[] runs trait by trait, tested column by column: the order of U.
    out.U[a] = -g[tested[a]];
    for (size_t b = 0; b < G; ++b) {
      double schur = 0.0;
      for (size_t f = 0; f < nfree; ++f) schur += Hft[f][a] * X[f][b];
      out.V[a][b] = H[tested[a]][tested[b]] - schur;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Checks of the printed files

// Design rows (tested columns, intercept, covariates) of the sequenced subjects.
Mat design_of(const Study &s, const std::vector<Vec> &tested_columns) {
  Mat rows;
  for (size_t i = 0; i < s.m(); ++i) {
    Vec r;
    for (const Vec &col : tested_columns) r.push_back(col[i]);
    r.push_back(1.0);
    r.insert(r.end(), s.cov[i].begin(), s.cov[i].end());
    rows.push_back(r);
  }
  return rows;
}

double num(const std::string &field) {
  EXPECT_NE(field, "NA");
  return field == "NA" ? 0.0 : std::stod(field);
}

// The printed U and the covariance row up to the diagonal against the independent values, U in
// units of its standard deviation and V[b][e] in units of sqrt(V[b][b] V[e][e]). The program's
// fits stop at an L1 step below 1e-4, not at the maximum: on these cases that moves U by at
// most 4e-5 of its standard deviation and V by 2e-5 of its scale (the printed seven digits add
// 5e-7), so 5e-4 leaves a tenfold margin, while a wrong model, wrong data, a wrong element
// order or a wrong layout moves them by far more.
const double kScoreTol = 5e-4;
void expect_score_row(const Strings &f, size_t at, const Score &sc, size_t e, size_t L,
                      const std::string &what) {
  ASSERT_EQ(f.size(), at + 1 + L) << what;
  const double sd_e = std::sqrt(std::max(sc.V[e][e], 1e-300));
  if (sc.V[e][e] <= 1e-10) {
    EXPECT_EQ(num(f[at]), 0.0) << what << " U of a column without variation";
  } else {
    EXPECT_NEAR(num(f[at]), sc.U[e], kScoreTol * sd_e) << what << " U";
  }
  for (size_t b = 0; b < L; ++b) {
    const double got = num(f[at + 1 + b]);
    if (b > e) {
      EXPECT_EQ(f[at + 1 + b], "0.000000e+00") << what << " padding " << b;
      continue;
    }
    const double scale = std::sqrt(std::max(sc.V[b][b], 0.0)) * sd_e;
    EXPECT_NEAR(got, sc.V[b][e], kScoreTol * scale + 1e-9) << what << " V[" << b << "]";
  }
}

// Q and P of SKAT from the printed scores and variances (the rows hold V's upper triangle).
std::pair<double, double> skat_from_rows(const Mat &rows_U_V, const Vec &w) {
  const size_t L = w.size();
  double Q = 0.0;
  gsl_matrix *A = gsl_matrix_alloc(L, L);
  for (size_t e = 0; e < L; ++e) {
    Q += w[e] * rows_U_V[e][0] * rows_U_V[e][0];
    for (size_t b = 0; b <= e; ++b) {
      const double v = std::sqrt(w[b] * w[e]) * rows_U_V[e][1 + b];
      gsl_matrix_set(A, b, e, v);
      gsl_matrix_set(A, e, b, v);
    }
  }
  gsl_vector *lambda = gsl_vector_alloc(L);
  gsl_eigen_symm_workspace *ws = gsl_eigen_symm_alloc(L);
  gsl_eigen_symm(A, lambda, ws);
  gsl_eigen_symm_free(ws);
  // Eigenvalues that are rounding noise around 0 carry no weight in the tail.
  double top = 0.0;
  for (size_t e = 0; e < L; ++e) top = std::max(top, gsl_vector_get(lambda, e));
  Vec lb;
  for (size_t e = 0; e < L; ++e)
    if (gsl_vector_get(lambda, e) > 1e-9 * top)
      lb.push_back(gsl_vector_get(lambda, e));
  gsl_vector_free(lambda);
  gsl_matrix_free(A);
  int r = static_cast<int>(lb.size()), lim = 1000000000, fault = 0;
  double sigma = 0.0, acc = 1e-9, res = 0.0, trace[7];
  Vec nc(lb.size(), 0.0);
  std::vector<int> dof(lb.size(), 1);
  qfc(lb.data(), nc.data(), dof.data(), &r, &sigma, &Q, &lim, &acc, trace, &fault, &res);
  EXPECT_EQ(fault, 0);
  return {Q, 1.0 - res};
}

// One case: every gene-level line, warning line and variant-level row.
void check_case(const std::string &name) {
  const fs::path dir = fs::path(__FILE__).parent_path().parent_path() / "e2e" / name;
  const fs::path out = dir / "expected/files";
  const Study s = read_study(dir);
  const size_t K = s.K();
  const auto genes = genes_of(s);
  const Strings order{"SKAT", "T1", "T5", "MB"};
  const std::map<std::string, double> bound{
      {"SKAT", s.maf_ub}, {"T1", 0.01}, {"T5", 0.05}, {"MB", s.maf_ub}};
  Strings tests;
  std::string header = "GENE";
  for (const std::string &t : order)
    if (s.test_file.count(t)) {
      tests.push_back(t);
      header += "\t" + t + "_MAC\t" + t + "_T\t" + t + "_PVAL";
    }
  const Strings level = read_lines(out / s.out_mle), warn = read_lines(out / s.out_warn);
  ASSERT_EQ(level.at(0), header);
  ASSERT_EQ(level.size(), genes.size() + 1) << "one line per gene with a kept record";
  ASSERT_EQ(warn.size(), genes.size());
  std::map<std::string, Strings> rows;  // variant-level files
  std::map<std::string, size_t> next;   // next unread row of each
  for (const std::string &t : tests) rows[t] = read_lines(out / s.test_file.at(t));

  size_t g_no = 0;
  for (const auto &[gene, records] : genes) {
    ++g_no;
    const Strings lf = split_tabs(level[g_no]), wf = split_tabs(warn[g_no - 1]);
    ASSERT_EQ(lf.at(0), gene);
    ASSERT_EQ(wf.at(0), gene);
    ASSERT_EQ(lf.size(), 1 + 3 * tests.size()) << gene;
    std::vector<const Variant *> eligible;
    for (const Variant &v : records)
      if (v.eligible)
        eligible.push_back(&v);
    if (eligible.empty()) {
      EXPECT_EQ(wf, (Strings{gene, "No eligible SNP in this gene!"}));
      for (size_t f = 1; f < lf.size(); f += 3)
        EXPECT_EQ(Strings(lf.begin() + f, lf.begin() + f + 3), (Strings{"0", "NA", "NA"})) << gene;
      continue;
    }
    EXPECT_EQ(wf, Strings{gene}) << "no warning expected";
    for (size_t t_no = 0; t_no < tests.size(); ++t_no) {
      const std::string &t = tests[t_no];
      const std::string what = gene + " " + t;
      const size_t at = 1 + 3 * t_no;
      int mac = 0;
      for (const Variant *v : eligible) mac += v->maf <= bound.at(t) ? v->cnt : 0;
      EXPECT_EQ(lf[at], std::to_string(mac)) << what << " MAC";
      Strings &file = rows[t];
      size_t &row = next[t];
      if (t == "SKAT") {
        // The gene order is the program's: read it from the rows of trait 1, then check that
        // they are the eligible records.
        const size_t G1 = eligible.size(), L = K * G1;
        ASSERT_LE(row + L, file.size()) << what;
        std::vector<const Variant *> in_order;
        std::vector<const Variant *> left = eligible;
        for (size_t l = 0; l < G1; ++l) {
          const std::string label = split_tabs(file[row + l]).at(1);
          const auto it = std::find_if(left.begin(), left.end(), [&](const Variant *v) {
            return label == s.traits[0] + "_" + v->snp;
          });
          ASSERT_NE(it, left.end()) << what << ": unexpected row " << label;
          in_order.push_back(*it);
          left.erase(it);
        }
        std::vector<Vec> columns;
        for (const Variant *v : in_order) columns.push_back(v->x);
        const Score sc = efficient_score(s, design_of(s, columns), G1);
        Mat printed;
        Vec weights;
        for (size_t k = 0; k < K; ++k)
          for (size_t l = 0; l < G1; ++l) {
            const size_t e = k * G1 + l;
            const Strings f = split_tabs(file[row + e]);
            const Variant &v = *in_order[l];
            const std::string wr = what + " row " + std::to_string(e + 1);
            ASSERT_EQ(f.size(), 5 + L) << wr;
            EXPECT_EQ(f[0], gene);
            EXPECT_EQ(f[1], s.traits[k] + "_" + v.snp) << wr;
            EXPECT_NEAR(num(f[2]), v.maf, 5e-7 * v.maf) << wr;
            EXPECT_EQ(f[3], std::to_string(v.cnt)) << wr;
            expect_score_row(f, 4, sc, e, L, wr);
            printed.push_back(Vec{num(f[4])});
            for (size_t b = 0; b < L; ++b) printed.back().push_back(num(f[5 + b]));
            const double density = gsl_ran_beta_pdf(v.maf, 1.0, 25.0);
            weights.push_back(v.maf <= s.maf_ub ? density * density : 0.0);
          }
        row += L;
        const auto [Q, P] = skat_from_rows(printed, weights);
        // The printed U and V carry seven digits.
        EXPECT_NEAR(num(lf[at + 1]), Q, 2e-6 * Q) << what << " Q";
        EXPECT_NEAR(num(lf[at + 2]), P, 1e-5 * P + 1e-9) << what << " P";
        continue;
      }
      // Burden tests: the burden column over the eligible variants within the bound.
      Vec burden(s.m(), 0.0);
      for (const Variant *v : eligible)
        if (v->maf <= bound.at(t))
          for (size_t i = 0; i < s.m(); ++i)
            burden[i] += t == "MB" ? v->x[i] / std::sqrt(v->maf * (1 - v->maf)) : v->x[i];
      const Score sc = efficient_score(s, design_of(s, {burden}), 1);
      ASSERT_LE(row + K, file.size()) << what;
      Mat V(K, Vec(K));
      Vec U(K);
      for (size_t k = 0; k < K; ++k) {
        const Strings f = split_tabs(file[row + k]);
        const std::string wr = what + " row " + std::to_string(k + 1);
        ASSERT_EQ(f.size(), 4 + K) << wr;
        EXPECT_EQ(Strings(f.begin(), f.begin() + 3), (Strings{gene, s.traits[k], lf[at]})) << wr;
        expect_score_row(f, 3, sc, k, K, wr);
        U[k] = num(f[3]);
        for (size_t b = 0; b <= k; ++b) V[b][k] = V[k][b] = num(f[4 + b]);
      }
      row += K;
      if (sc.V[0][0] <= 1e-10) {  // no variant within the bound: no result
        EXPECT_EQ(Strings(lf.begin() + at + 1, lf.begin() + at + 3), (Strings{"NA", "NA"})) << what;
        continue;
      }
      Mat col(K, Vec(1));
      for (size_t k = 0; k < K; ++k) col[k][0] = U[k];
      const Mat x = spd_solve(V, col);
      double T = 0.0;
      for (size_t k = 0; k < K; ++k) T += U[k] * x[k][0];
      const double P = gsl_cdf_chisq_Q(T, static_cast<double>(K));
      // The printed U and V carry seven digits; the tail's relative change is about T/2 times
      // that of T.
      EXPECT_NEAR(num(lf[at + 1]), T, 2e-5 * T) << what << " T";
      EXPECT_NEAR(num(lf[at + 2]), P, 2e-5 * (1 + T) * P) << what << " P";
    }
  }
  for (const std::string &t : tests) EXPECT_EQ(next[t], rows[t].size()) << t << ": extra rows";
}

class GeneExpected : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gsl_set_error_handler_off(); }
};

TEST_F(GeneExpected, ExampleAllTests) { check_case("gene_example"); }
TEST_F(GeneExpected, DominantMafBoundAboveT5) { check_case("gene_dominant_maf_ub"); }
TEST_F(GeneExpected, OneTraitRowsAndGeneWithoutEligibleVariants) { check_case("gene_k1_rows"); }
// A burden p-value of 1e-17, which 1 - P(T) would have lost to rounding.
TEST_F(GeneExpected, BurdenTailBeyondDoubleRounding) { check_case("gene_strong_signal"); }

}  // namespace
