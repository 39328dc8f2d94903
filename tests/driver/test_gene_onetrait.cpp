// Checks the expected files of the one-trait gene-based end-to-end cases (tests/e2e/onetrait_*)
// against computations written here from the input files alone: gene blocks, coding and bounds;
// the singular designs, messages, NA rules and row layouts; the naive scores by least squares
// (residuals of the covariate-only fit, variance RSS/n); the MLE efficient scores U and
// V = I_GG - I_GN I_NN^-1 I_NG from a finite-difference information of the observed-data
// log-likelihood written here, at the constrained fit; and Q, T and P by their formulas. The
// end-to-end runner checks the program against these files; this checks the files. Also: a run
// whose fits all stop at the iteration limit.
#include <gsl/gsl_eigen.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_randist.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/globals.h"
#include "driver/pipelines.h"
#include "tests/engine/engine_fixture.h"
#include "tests/test_support.h"
#include "toolkit/qfc.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using Vec = std::vector<double>;
using Mat = varnosta_test::Rows;

Strings read_lines(const fs::path &file) {
  std::ifstream in(file);
  Strings lines;
  for (std::string text; std::getline(in, text);) lines.push_back(text);
  return lines;
}

Strings split(const std::string &text, char sep = '\t') {
  Strings fields;
  std::istringstream in(text);
  if (sep == ' ') {
    for (std::string field; in >> field;) fields.push_back(field);
  } else {
    for (std::string field; std::getline(in, field, sep);) fields.push_back(field);
  }
  return fields;
}

Vec numbers(const std::string &text) {
  Vec v;
  for (const std::string &field : split(text, ' ')) v.push_back(std::stod(field));
  return v;
}

bool missing(double x) { return std::fabs(x + 999.0) < 1e-10; }

// ---------------------------------------------------------------------------------------------
// A case: its options and inputs (default input names), and the genes of its map.

struct Variant {
  std::string id;
  double maf = 0.0;
  Vec g;  // coded genotype of every sequenced subject, in the order of the table
  int cnt = 0;
  bool eligible = false;
};

struct Case {
  std::string name;
  fs::path dir;
  Strings traits;
  Mat y, cov, non;  // NaN for a missing trait
  std::map<std::string, Vec> geno;
  std::map<std::string, std::vector<Variant>> genes;  // by name: the order of the tables
  int trait = 1;
  bool dominant = false;
  double maf_ub = 0.05;
  int snp_mac_lb = 0;
  std::map<std::string, std::string> out{
      {"-OUT_MLE", "mle.tab"}, {"-OUT_NAIVE", "naive.tab"}, {"-OUT_WARN", "warning.txt"}};
  size_t m() const { return y.size(); }
  size_t K() const { return traits.size(); }
};

// Counts, eligibility and coding of a map record's genotype line.
Variant code(const Case &cs, const std::string &id, double maf) {
  Variant v{id, maf, cs.geno.at(id)};
  int n1 = 0, n2 = 0, nmiss = 0;
  for (double x : v.g) {
    nmiss += missing(x);
    n1 += x == 1.0;
    n2 += x == 2.0;
  }
  v.cnt = n1 + n2;
  v.eligible = v.cnt > cs.snp_mac_lb && nmiss < static_cast<int>(v.g.size());
  const double f = v.eligible ? (n1 + 2.0 * n2) / (2.0 * (v.g.size() - nmiss)) : 0.0;
  for (double &x : v.g) {
    if (v.eligible && missing(x))
      x = cs.dominant ? f * (2.0 - f) : 2.0 * f;
    else if (cs.dominant && x > 0.5)
      x = 1.0;
  }
  return v;
}

Case read_case(const std::string &name) {
  Case cs;
  cs.name = name;
  cs.dir = fs::path(__FILE__).parent_path().parent_path() / "e2e" / name;
  const Strings args = read_lines(cs.dir / "args");
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string &a = args[i], &v = args[i + 1];
    if (a == "-TRAIT")
      cs.trait = std::stoi(v);
    else if (a == "-MODEL")
      cs.dominant = v == "Dominant";
    else if (a == "-MAF_UB")
      cs.maf_ub = std::stod(v);
    else if (a == "-SNP_MAC_LB")
      cs.snp_mac_lb = std::stoi(v);
    else if (a[0] == '-' &&
             (a == "-SKAT" || a == "-T1" || a == "-T5" || a == "-MB" || a.rfind("-OUT_", 0) == 0))
      cs.out[a] = v;
  }
  const fs::path in = cs.dir / "inputs";
  for (const std::string &text : read_lines(in / "pheno_nonseq.tab")) {
    cs.non.push_back(numbers(text));
    for (double &x : cs.non.back()) x = missing(x) ? NAN : x;
  }
  const Strings seq = read_lines(in / "pheno_seq.tab");
  const Strings head = split(seq.at(0), ' ');
  cs.traits.assign(head.begin(), head.begin() + cs.non.at(0).size());
  for (size_t i = 1; i < seq.size(); ++i) {
    const Vec v = numbers(seq[i]);
    cs.y.emplace_back(v.begin(), v.begin() + cs.K());
    for (double &x : cs.y.back()) x = missing(x) ? NAN : x;
    cs.cov.emplace_back(v.begin() + cs.K(), v.end());
  }
  for (const std::string &text : read_lines(in / "geno.tab")) {
    const Strings f = split(text, ' ');
    Vec g;
    for (size_t i = 1; i < f.size(); ++i) g.push_back(std::stod(f[i]));
    cs.geno.emplace(f.at(0), g);  // the first line of an identifier counts
  }
  for (const std::string &text : read_lines(in / "map.tab")) {
    const Strings f = split(text, ' ');
    if (f.empty())
      continue;
    const double maf = std::stod(f.at(2));
    if (cs.geno.count(f[1]) && maf > 0.0 && maf < 1.0)
      cs.genes[f[0]].push_back(code(cs, f[1], maf));
  }
  return cs;
}

// ---------------------------------------------------------------------------------------------
// Independent computations

Mat crossprod(const Mat &a, const Mat &b) {  // a' b over rows
  Mat out(a.at(0).size(), Vec(b.at(0).size(), 0.0));
  for (size_t s = 0; s < a.size(); ++s)
    for (size_t i = 0; i < out.size(); ++i)
      for (size_t j = 0; j < out[0].size(); ++j) out[i][j] += a[s][i] * b[s][j];
  return out;
}

// The design's singular verdict: a Cholesky pivot of X'X keeping no more than 1e-10 of its
// diagonal entry (collinear columns up to rounding).
bool singular(const Mat &X) {
  Mat A = crossprod(X, X);
  const size_t n = A.size();
  gsl_matrix *g = gsl_matrix_alloc(n, n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) gsl_matrix_set(g, i, j, A[i][j]);
  bool bad = gsl_linalg_cholesky_decomp1(g) != GSL_SUCCESS;
  for (size_t i = 0; i < n && !bad; ++i)
    bad = std::pow(gsl_matrix_get(g, i, i), 2) <= 1e-10 * A[i][i];
  gsl_matrix_free(g);
  return bad;
}

struct Scores {
  Vec U;
  Mat V;
};

// Least-squares score of the columns X given Z (intercept, covariates) over the rows of y:
// residuals r of y on Z, s2 = r'r / n, U = X'r / s2, V = (X'X - X'Z (Z'Z)^-1 Z'X) / s2.
Scores least_squares(const Mat &X, const Mat &Z, const Vec &y) {
  const Mat Zi = varnosta_test::gsl_spd_inverse(crossprod(Z, Z)), XZ = crossprod(X, Z);
  Mat ycol;
  for (double v : y) ycol.push_back({v});
  const Mat gamma = varnosta_test::product(Zi, crossprod(Z, ycol));
  Vec r(y);
  double rss = 0.0;
  for (size_t s = 0; s < y.size(); ++s) {
    for (size_t c = 0; c < Z[0].size(); ++c) r[s] -= Z[s][c] * gamma[c][0];
    rss += r[s] * r[s];
  }
  const double s2 = rss / y.size();
  const Mat corr =
      varnosta_test::product(varnosta_test::product(XZ, Zi), varnosta_test::transpose(XZ));
  Scores out{Vec(X[0].size(), 0.0), crossprod(X, X)};
  for (size_t a = 0; a < out.U.size(); ++a) {
    for (size_t s = 0; s < y.size(); ++s) out.U[a] += X[s][a] * r[s] / s2;
    for (size_t b = 0; b < out.U.size(); ++b) out.V[a][b] = (out.V[a][b] - corr[a][b]) / s2;
  }
  return out;
}

// The one-trait model of a test: trait t's coefficients belong to the subject's full row
// (G tested columns, intercept, covariates), every other trait's to the condensed row (sum of
// the tested columns, intercept, covariates); the masses to the distinct full rows.
// Parameters (1-based): coefficients trait by trait, covariance entries (a <= b) row by row,
// masses 1..J-1.
struct TestModel {
  int K = 0, t = 0, G = 0, p = 0;
  Mat rows;                           // distinct full rows
  std::vector<int> row_of;            // of each sequenced subject
  Mat yseq, ynon;                     // NaN for missing
  std::vector<std::vector<int>> obs;  // observed traits of each pattern
  std::vector<int> pat_seq, pat_non;  // pattern of each subject

  int offset(int k) const { return (k - 1) * p + (k > t ? G - 1 : 0); }
  int width(int k) const { return k == t ? G + p - 1 : p; }
  int cov_pos(int a, int b) const {  // a <= b, 1-based
    int pos = offset(K) + width(K);
    for (int r = 1; r < a; ++r) pos += K - r + 1;
    return pos + b - a + 1;
  }
  int dimST() const { return cov_pos(K, K); }
  int np() const { return dimST() + static_cast<int>(rows.size()) - 1; }

  double mean(const Vec &th, int k, size_t j) const {
    const Vec &r = rows[j];
    double mu = 0.0;
    if (k == t) {
      for (int l = 1; l <= G + p - 1; ++l) mu += r[l - 1] * th[offset(k) + l];
      return mu;
    }
    for (int l = 0; l < G; ++l) mu += r[l] * th[offset(k) + 1];
    for (int c = 2; c <= p; ++c) mu += r[G + c - 2] * th[offset(k) + c];
    return mu;
  }

  int pattern(const Vec &y) {
    std::vector<int> o;
    for (int k = 1; k <= K; ++k)
      if (!std::isnan(y[k - 1]))
        o.push_back(k);
    const auto it = std::find(obs.begin(), obs.end(), o);
    if (it != obs.end())
      return static_cast<int>(it - obs.begin());
    obs.push_back(o);
    return static_cast<int>(obs.size()) - 1;
  }

  // Observed-data log-likelihood, constants dropped: a sequenced subject adds
  // log q_row + log N(y_obs; mean_obs, Sigma_obs), a non-sequenced one
  // log sum_j q_j N(y_obs; mean_j, Sigma_obs).
  double loglik(const Vec &th) const {
    const size_t J = rows.size();
    Vec q(J, 1.0);
    for (size_t j = 0; j + 1 < J; ++j) q[J - 1] -= (q[j] = th[dimST() + 1 + j]);
    std::vector<gsl_matrix *> L;
    Vec logdet;
    for (const auto &o : obs) {
      const size_t d = o.size();
      L.push_back(gsl_matrix_alloc(std::max<size_t>(d, 1), std::max<size_t>(d, 1)));
      double ld = 0.0;
      for (size_t a = 0; a < d; ++a)
        for (size_t b = 0; b < d; ++b)
          gsl_matrix_set(L.back(), a, b, th[cov_pos(std::min(o[a], o[b]), std::max(o[a], o[b]))]);
      if (d > 0)
        gsl_linalg_cholesky_decomp1(L.back());
      for (size_t a = 0; a < d; ++a) ld += 2.0 * std::log(gsl_matrix_get(L.back(), a, a));
      logdet.push_back(ld);
    }
    Vec r(K);
    auto log_density = [&](const Vec &y, int pat, size_t j) {
      const auto &o = obs[pat];
      double quad = 0.0;
      for (size_t a = 0; a < o.size(); ++a) {
        r[a] = y[o[a] - 1] - mean(th, o[a], j);
        for (size_t b = 0; b < a; ++b) r[a] -= gsl_matrix_get(L[pat], a, b) * r[b];
        r[a] /= gsl_matrix_get(L[pat], a, a);
        quad += r[a] * r[a];
      }
      return -0.5 * (logdet[pat] + quad);
    };
    double total = 0.0;
    for (size_t i = 0; i < yseq.size(); ++i)
      total += std::log(q[row_of[i]]) + log_density(yseq[i], pat_seq[i], row_of[i]);
    Vec terms(J);
    for (size_t i = 0; i < ynon.size(); ++i) {
      double big = -INFINITY, sum = 0.0;
      for (size_t j = 0; j < J; ++j)
        big = std::max(big, terms[j] = std::log(q[j]) + log_density(ynon[i], pat_non[i], j));
      for (size_t j = 0; j < J; ++j) sum += std::exp(terms[j] - big);
      total += big + std::log(sum);
    }
    for (gsl_matrix *g : L) gsl_matrix_free(g);
    return total;
  }
};

// X[i] = the tested columns of sequenced subject i.
TestModel test_model(const Case &cs, const Mat &X) {
  TestModel tm;
  tm.K = static_cast<int>(cs.K());
  tm.t = cs.trait;
  tm.G = static_cast<int>(X[0].size());
  tm.p = 2 + static_cast<int>(cs.cov[0].size());
  std::map<Vec, int> index;
  for (size_t i = 0; i < cs.m(); ++i) {
    Vec row = X[i];
    row.push_back(1.0);
    row.insert(row.end(), cs.cov[i].begin(), cs.cov[i].end());
    const auto it = index.emplace(row, static_cast<int>(tm.rows.size())).first;
    if (it->second == static_cast<int>(tm.rows.size()))
      tm.rows.push_back(row);
    tm.row_of.push_back(it->second);
    tm.yseq.push_back(cs.y[i]);
    tm.pat_seq.push_back(tm.pattern(cs.y[i]));
  }
  for (const Vec &y : cs.non) {
    tm.ynon.push_back(y);
    tm.pat_non.push_back(tm.pattern(y));
  }
  return tm;
}

// The constrained fit: the EM of the engine on the condensed rows (its stationarity is tested
// on its own), with every trait's genetic coefficient but trait t's free. Under the constraint
// the density of a full row depends on its condensed row only, so the masses of the full rows
// of one condensed row are in proportion to their counts.
Vec constrained_fit(const TestModel &tm) {
  std::vector<engine_test::Subject> seq, non;
  std::vector<Vec> condensed(tm.rows.size());
  for (size_t j = 0; j < tm.rows.size(); ++j) {
    const Vec &r = tm.rows[j];
    condensed[j] = {0.0};
    for (int l = 0; l < tm.G; ++l) condensed[j][0] += r[l];
    condensed[j].insert(condensed[j].end(), r.begin() + tm.G, r.end());
  }
  for (size_t i = 0; i < tm.yseq.size(); ++i) seq.push_back({condensed[tm.row_of[i]], tm.yseq[i]});
  for (const Vec &y : tm.ynon) non.push_back({{}, y});
  const int saved_K = ::K, saved_p = ::p;
  engine_test::Model d(tm.K, seq, non);
  d.fit_constrained(tm.t);
  ::K = saved_K;
  ::p = saved_p;
  EXPECT_FALSE(flag_nonconvergence);
  std::map<Vec, int> u_of;
  for (int u = 1; u <= d.J; ++u) u_of[Vec(d.W_Uni[u] + 1, d.W_Uni[u] + tm.p + 1)] = u;
  Vec th(tm.np() + 1, 0.0);
  for (int k = 1; k <= tm.K; ++k) {
    const int shift = k == tm.t ? tm.G - 1 : 0;  // trait t: its G tested columns come first
    for (int l = 2; l <= tm.p; ++l) th[tm.offset(k) + shift + l] = d.eta0[l][k];
    if (k != tm.t)
      th[tm.offset(k) + 1] = d.eta0[1][k];
    for (int b = k; b <= tm.K; ++b) th[tm.cov_pos(k, b)] = d.Sigma[k][b];
  }
  std::vector<int> count(tm.rows.size(), 0);
  for (int j : tm.row_of) count[j]++;
  for (size_t j = 0; j + 1 < tm.rows.size(); ++j) {
    const int u = u_of.at(condensed[j]);
    th[tm.dimST() + 1 + j] = d.q[u] * count[j] / d.n_UniW[u];
  }
  return th;
}

// Efficient score and variance of trait t's tested coefficients at the constrained fit, from the
// finite-difference gradient g and information I: U = g_G - I_GN I_NN^-1 g_N (g_N vanishes at
// the exact maximum), V = I_GG - I_GN I_NN^-1 I_NG.
Scores efficient_score(const TestModel &tm) {
  const Vec th = constrained_fit(tm);
  Vec grad;
  const Mat I =
      engine_test::fd_information([&](const Vec &x) { return tm.loglik(x); }, th, grad, 1e-3);
  std::vector<int> G, N;
  for (int x = 1; x <= tm.np(); ++x)
    (x > tm.offset(tm.t) && x <= tm.offset(tm.t) + tm.G ? G : N).push_back(x);
  Mat INN, IGN(G.size(), Vec(N.size())), gN(N.size(), Vec(1));
  for (size_t a = 0; a < N.size(); ++a) {
    INN.emplace_back();
    for (int b : N) INN.back().push_back(I[N[a] - 1][b - 1]);
    gN[a][0] = grad[N[a]];
    for (size_t x = 0; x < G.size(); ++x) IGN[x][a] = I[G[x] - 1][N[a] - 1];
  }
  const Mat A = varnosta_test::product(IGN, varnosta_test::gsl_spd_inverse(INN));
  const Mat Ag = varnosta_test::product(A, gN),
            AI = varnosta_test::product(A, varnosta_test::transpose(IGN));
  Scores out{Vec(G.size()), Mat(G.size(), Vec(G.size()))};
  for (size_t x = 0; x < G.size(); ++x) {
    out.U[x] = grad[G[x]] - Ag[x][0];
    for (size_t y = 0; y < G.size(); ++y) out.V[x][y] = I[G[x] - 1][G[y] - 1] - AI[x][y];
  }
  return out;
}

// SKAT of U, V with weights w: the entries with a positive variance; Q = sum w U^2; the
// eigenvalues of diag(sqrt w) V diag(sqrt w) above 1e-5 of the mean of the non-negative ones;
// P = 1 - Davies(Q) (the routine has its own tests). P = -999 without a result.
struct Skat {
  double Q = 0.0, P = -999.0;
  int fault = 0;
};

Skat skat(const Vec &U, const Mat &V, const Vec &w) {
  std::vector<size_t> keep;
  for (size_t a = 0; a < U.size(); ++a)
    if (V[a][a] > 0.0)
      keep.push_back(a);
  Skat s;
  if (keep.empty())
    return s;
  const size_t n = keep.size();
  gsl_matrix *A = gsl_matrix_alloc(n, n);
  for (size_t a = 0; a < n; ++a) {
    s.Q += w[keep[a]] * U[keep[a]] * U[keep[a]];
    for (size_t b = 0; b < n; ++b)
      gsl_matrix_set(A, a, b, std::sqrt(w[keep[a]] * w[keep[b]]) * V[keep[a]][keep[b]]);
  }
  gsl_vector *ev = gsl_vector_alloc(n);
  gsl_eigen_symm_workspace *ws = gsl_eigen_symm_alloc(n);
  gsl_eigen_symm(A, ev, ws);
  gsl_eigen_symm_free(ws);
  double sum = 0.0;
  int count = 0;
  for (size_t a = 0; a < n; ++a)
    if (gsl_vector_get(ev, a) >= 0.0)
      sum += gsl_vector_get(ev, a), count++;
  Vec lambda;
  for (size_t a = 0; a < n; ++a)
    if (count > 0 && gsl_vector_get(ev, a) > sum / count / 100000.0)
      lambda.push_back(gsl_vector_get(ev, a));
  gsl_vector_free(ev);
  gsl_matrix_free(A);
  if (count == 0)
    return s;
  int r = static_cast<int>(lambda.size()), lim = 1000000000;
  Vec nc(r, 0.0), trace(7, 0.0);
  std::vector<int> df(r, 1);
  double sigma = 0.0, acc = 1e-8, res = 0.0, Q = s.Q;
  qfc(lambda.data(), nc.data(), df.data(), &r, &sigma, &Q, &lim, &acc, trace.data(), &s.fault,
      &res);
  s.P = 1.0 - res;
  return s;
}

double chisq1_tail(double T) { return std::erfc(std::sqrt(T / 2.0)); }

// ---------------------------------------------------------------------------------------------
// The checks of one case

// Printing keeps seven significant digits: a relative 5e-7 per printed number.
const double kPrinted = 2e-6;

// A real field printed as %.6e, within tol * |want| + floor of want.
void expect_real(const std::string &got, double want, double tol, double floor,
                 const std::string &what) {
  ASSERT_NE(got, "NA") << what;
  char text[40];
  std::snprintf(text, sizeof text, "%.6e", std::stod(got));
  EXPECT_EQ(got, text) << what;
  EXPECT_NEAR(std::stod(got), want, tol * std::fabs(want) + floor) << what;
}

// Printed scores against independent ones: each entry within its printing error plus `tol`
// times its scale (the standard errors of the two coefficients).
void expect_scores(const Scores &got, const Scores &want, double tol, const std::string &what) {
  for (size_t a = 0; a < want.U.size(); ++a) {
    const double sa = std::sqrt(std::fabs(want.V[a][a]));
    EXPECT_NEAR(got.U[a], want.U[a], kPrinted * std::fabs(want.U[a]) + tol * sa)
        << what << " U" << a + 1;
    for (size_t b = 0; b < want.U.size(); ++b)
      EXPECT_NEAR(
          got.V[a][b], want.V[a][b],
          kPrinted * std::fabs(want.V[a][b]) + tol * sa * std::sqrt(std::fabs(want.V[b][b])))
          << what << " V" << a + 1 << b + 1;
  }
}

Strings group(int mac, int na) {
  Strings g{std::to_string(mac)};
  for (int i = 0; i < na; ++i) g.push_back("NA");
  return g;
}

Strings fields(const Strings &row, size_t from, size_t count) {
  if (from + count > row.size())
    return {};
  return Strings(row.begin() + from, row.begin() + from + count);
}

struct Test {
  const char *option, *name;
  double bound;  // map MAF bound (MB and SKAT: -MAF_UB)
  bool mb;
};

class Checker {
 public:
  Checker(const Case &cs, double fd_budget) : cs_(cs), fd_budget_(fd_budget) {}

  // Checks every file.
  void run() {
    const Strings mle = read(cs_.out.at("-OUT_MLE")), naive = read(cs_.out.at("-OUT_NAIVE"));
    const Strings warn = read(cs_.out.at("-OUT_WARN"));
    std::string head = "GENE", head_naive = "GENE";
    for (const Test &t : tests()) {
      head += std::string("\t") + t.name + "_MAC\t" + t.name + "_T\t" + t.name + "_PVAL";
      head_naive += std::string("\t") + t.name + "_MAC\t" + t.name +
                    (std::string(t.name) == "SKAT" ? std::string("_T\t")
                                                   : std::string("_U\t") + t.name + "_V\t") +
                    t.name + "_PVAL";
    }
    for (const Test &t : tests()) {  // every variant-level file, so that no row goes unchecked
      files_[cs_.out.at(t.option)] = read(cs_.out.at(t.option));
      if (std::string(t.name) == "SKAT")
        files_["naive_" + cs_.out.at(t.option)] = read("naive_" + cs_.out.at(t.option));
    }
    EXPECT_EQ(mle.at(0), head) << cs_.name;
    EXPECT_EQ(naive.at(0), head_naive) << cs_.name;
    ASSERT_EQ(mle.size(), cs_.genes.size() + 1) << cs_.name;
    ASSERT_EQ(naive.size(), mle.size()) << cs_.name;
    ASSERT_EQ(warn.size(), cs_.genes.size()) << cs_.name;
    size_t g = 0;
    for (const auto &[gene, vars] : cs_.genes) {
      g++;
      const Strings m = split(mle[g]), nv = split(naive[g]), wr = split(warn[g - 1]);
      ASSERT_EQ(m.at(0), gene);
      ASSERT_EQ(nv.at(0), gene);
      ASSERT_EQ(wr.at(0), gene);
      check_gene(gene, vars, m, nv, wr);
    }
    for (const auto &[file, rows] : files_)
      EXPECT_EQ(at_[file], rows.size()) << cs_.name << " " << file << ": rows left over";
  }
  // The number of tests whose MLE scores were checked by finite differences.
  int fd_checked() const { return fd_checked_; }

 private:
  std::vector<Test> tests() const {
    std::vector<Test> all{{"-SKAT", "SKAT", cs_.maf_ub, false},
                          {"-T1", "T1", 0.01, false},
                          {"-T5", "T5", 0.05, false},
                          {"-MB", "MB", cs_.maf_ub, true}};
    std::vector<Test> on;
    for (const Test &t : all)
      if (cs_.out.count(t.option))
        on.push_back(t);
    return on;
  }

  Strings read(const std::string &file) {
    const fs::path path = cs_.dir / "expected" / "files" / file;
    EXPECT_TRUE(fs::exists(path)) << cs_.name << " " << file;
    return read_lines(path);
  }

  // The next row of a variant-level file when it belongs to `gene`, else none.
  Strings next_row(const std::string &file, const std::string &gene) {
    const Strings &rows = files_.at(file);
    size_t &i = at_[file];
    if (i >= rows.size() || split(rows[i]).at(0) != gene)
      return {};
    return split(rows[i++]);
  }

  // Consumes the next message of the warning line when it is `message`.
  bool take(const std::string &message) {
    if (w_ < warn_.size() && warn_[w_] == message) {
      w_++;
      return true;
    }
    return false;
  }

  // Sequenced subjects' tested columns: the SKAT variants, or one burden column.
  Mat columns(const std::vector<const Variant *> &vars, const Test &t) const {
    Mat X(cs_.m());
    for (size_t i = 0; i < cs_.m(); ++i) {
      if (t.option == std::string("-SKAT")) {
        for (const Variant *v : vars) X[i].push_back(v->g[i]);
        continue;
      }
      double b = 0.0;
      for (const Variant *v : vars)
        b += t.mb ? v->g[i] / std::sqrt((1.0 - v->maf) * v->maf) : v->g[i];
      X[i].push_back(b);
    }
    return X;
  }

  bool design_singular(const Mat &X) const {
    Mat D;
    for (size_t i = 0; i < cs_.m(); ++i) {
      double sum = 0.0;
      for (double x : X[i]) sum += x;
      Vec row{sum, 1.0};
      row.insert(row.end(), cs_.cov[i].begin(), cs_.cov[i].end());
      D.push_back(row);
    }
    return singular(D);
  }

  // The naive sample: the tested columns X, the intercept and covariates Z and the trait y of
  // the sequenced subjects with the trait observed.
  void naive_sample(const Mat &X, Mat &Xn, Mat &Zn, Vec &yn) const {
    for (size_t i = 0; i < cs_.m(); ++i) {
      if (std::isnan(cs_.y[i][cs_.trait - 1]))
        continue;
      Xn.push_back(X[i]);
      Zn.push_back({1.0});
      Zn.back().insert(Zn.back().end(), cs_.cov[i].begin(), cs_.cov[i].end());
      yn.push_back(cs_.y[i][cs_.trait - 1]);
    }
  }

  // Whether Z fits the trait exactly on the naive sample (no residual degrees of freedom, or
  // residuals at rounding level): then no naive test has a result.
  bool naive_exact() const {
    Mat Xn, Zn;
    Vec yn;
    naive_sample(Mat(cs_.m(), Vec{0.0}), Xn, Zn, yn);
    Mat ycol;
    double yy = 0.0;
    for (double v : yn) ycol.push_back({v}), yy += v * v;
    const Mat gamma = varnosta_test::product(varnosta_test::gsl_spd_inverse(crossprod(Zn, Zn)),
                                             crossprod(Zn, ycol));
    double rss = 0.0;
    for (size_t s = 0; s < yn.size(); ++s) {
      double r = yn[s];
      for (size_t c = 0; c < Zn[0].size(); ++c) r -= Zn[s][c] * gamma[c][0];
      rss += r * r;
    }
    return yn.size() <= Zn[0].size() || rss <= 1e-24 * yy;
  }

  // Least-squares scores of the columns X; a column that Z spans in the naive sample has score
  // and variance 0 (no information), as exact arithmetic gives. `spanned` tells whether any is.
  Scores naive_scores(const Mat &X, bool *spanned = nullptr) const {
    Mat Xn, Zn;
    Vec yn;
    naive_sample(X, Xn, Zn, yn);
    Scores ls = least_squares(Xn, Zn, yn);
    for (size_t a = 0; a < ls.U.size(); ++a) {
      Mat D = Zn;
      for (size_t s = 0; s < D.size(); ++s) D[s].insert(D[s].begin(), Xn[s][a]);
      if (!singular(D))
        continue;
      if (spanned)
        *spanned = true;
      ls.U[a] = 0.0;
      for (size_t b = 0; b < ls.U.size(); ++b) ls.V[a][b] = ls.V[b][a] = 0.0;
    }
    return ls;
  }

  // MLE scores against the finite-difference efficient scores, in units of the standard
  // errors (of sqrt(V_aa V_bb) for V). Agreement is to the fit's accuracy (its L1 step is below
  // 1e-4 at the end) and the finite differences' (steps of 1e-3 of a parameter's scale): the
  // gaps on these data are at most 1.6e-4. The tolerance is 5e-4; a wrong trait, a wrong
  // position of the covariance entries, the first SKAT variant in place of the genotype sum or
  // unsquared SKAT weights move U, V or Q by far more. Data sets too large for the finite
  // differences in a unit test are left out.
  void check_mle(const Mat &X, const Scores &got, const std::string &what) {
    const TestModel tm = test_model(cs_, X);
    const double cost =
        (tm.yseq.size() + tm.ynon.size() * tm.rows.size()) * 1.0 * tm.np() * tm.np();
    if (cost > fd_budget_)
      return;
    // Tests of one gene on the same column (SKAT with one variant, T1, T5) share one model.
    const std::pair<Mat, std::vector<int>> key{tm.rows, tm.row_of};
    if (!fd_scores_.count(key)) {
      fd_scores_[key] = efficient_score(tm);
      fd_checked_++;
    }
    expect_scores(got, fd_scores_[key], 5e-4, what);
  }

  // The SKAT rows of the gene in `file`: one per variant of `vars` (in any order) with its MAF
  // and carriers, U and the covariance row up to the diagonal padded with zeros. Reorders
  // `vars` as the rows are and returns the scores.
  Scores skat_rows(const std::string &file, const std::string &gene,
                   std::vector<const Variant *> &vars, const std::string &what) {
    const size_t G = vars.size();
    std::vector<const Variant *> order;
    Scores s{Vec(G), Mat(G, Vec(G))};
    for (size_t l = 0; l < G; ++l) {
      const Strings r = next_row(file, gene);
      EXPECT_EQ(r.size(), 5 + G) << what << " row " << l + 1;
      if (r.size() != 5 + G)
        return s;
      const auto v = std::find_if(vars.begin(), vars.end(), [&](auto *x) { return x->id == r[1]; });
      EXPECT_NE(v, vars.end()) << what << " " << r[1];
      if (v == vars.end())
        return s;
      order.push_back(*v);
      expect_real(r[2], (*v)->maf, kPrinted, 0.0, what + " MAF");
      EXPECT_EQ(r[3], std::to_string((*v)->cnt)) << what;
      s.U[l] = std::stod(r[4]);
      for (size_t b = 0; b < G; ++b) {
        if (b > l)
          EXPECT_EQ(r[5 + b], "0.000000e+00") << what;
        else
          s.V[b][l] = s.V[l][b] = std::stod(r[5 + b]);
      }
    }
    vars = order;
    return s;
  }

  // A SKAT or MLE burden group from the statistic and P computed here: "mac NA NA" without a
  // positive P; with the accuracy message, Q and the p-value as computed or NA.
  void check_group(const Strings &row, size_t f, int mac, double stat, double P, bool accuracy,
                   const std::string &what) {
    ASSERT_GE(row.size(), f + 3) << what;
    EXPECT_EQ(row[f], std::to_string(mac)) << what;
    if (accuracy) {
      expect_real(row[f + 1], stat, 1e-5, 0.0, what + " Q");
    } else if (!(P > 0.0)) {
      EXPECT_EQ(fields(row, f + 1, 2), Strings({"NA", "NA"})) << what;
    } else {
      expect_real(row[f + 1], stat, 1e-5, 0.0, what + " statistic");
      expect_real(row[f + 2], P, 1e-5, 1e-10, what + " P");
    }
  }

  Vec skat_weights(const std::vector<const Variant *> &vars) const {
    Vec w;
    for (const Variant *v : vars) w.push_back(std::pow(gsl_ran_beta_pdf(v->maf, 1.0, 25.0), 2));
    return w;
  }

  void check_skat(const std::string &gene, std::vector<const Variant *> vars, int mac) {
    const std::string what = cs_.name + " " + gene + " SKAT";
    const std::string file = cs_.out.at("-SKAT");
    if (vars.empty() || design_singular(columns(vars, tests()[0]))) {
      EXPECT_TRUE(take("(SKAT) The design matrix is singular!")) << what;
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
      EXPECT_EQ(fields(naive_, fn_, 3), group(mac, 2)) << what;
      return;
    }
    const bool failed = take("(SKAT) EM algorithm does not converge!") ||
                        take("The information matrix is not positive definite!");
    EXPECT_FALSE(failed) << what << ": no fit of these cases is expected to fail";
    if (failed) {
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
    } else {
      skat_mle_ = skat_rows(file, gene, vars, what + " MLE");
      const Test t = tests()[0];
      check_mle(columns(vars, t), skat_mle_, what + " MLE");
      const Skat s = skat(skat_mle_.U, skat_mle_.V, skat_weights(vars));
      const bool acc = take("(SKAT) The asymptotic p-value of the MLE method may not be accurate!");
      EXPECT_EQ(acc, s.fault > 0) << what;
      check_group(mle_, f_, mac, s.Q, s.P, acc, what + " MLE");
    }
    if (naive_exact_) {
      EXPECT_EQ(fields(naive_, fn_, 3), group(mac, 2)) << what;
      return;
    }
    skat_ls_ = skat_rows("naive_" + file, gene, vars, what + " LS");
    expect_scores(skat_ls_, naive_scores(columns(vars, tests()[0])), 1e-9, what + " LS");
    const Skat s = skat(skat_ls_.U, skat_ls_.V, skat_weights(vars));
    const bool acc = take("(SKAT) The asymptotic p-value of the LS method may not be accurate!");
    EXPECT_EQ(acc, s.fault > 0) << what;
    check_group(naive_, fn_, mac, s.Q, s.P, acc, what + " LS");
    skat_vars_ = vars;
  }

  void check_burden(const std::string &gene, const Test &t,
                    const std::vector<const Variant *> &vars, int mac) {
    const std::string what = cs_.name + " " + gene + " " + t.name;
    const std::string prefix = std::string("(") + t.name + ") ";
    const Mat X = columns(vars, t);
    const Strings row = next_row(cs_.out.at(t.option), gene);
    const Strings na_row{gene, std::to_string(mac), "NA", "NA"};
    if (design_singular(X)) {
      EXPECT_TRUE(take(prefix + "The design matrix is singular!")) << what;
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
      EXPECT_EQ(fields(naive_, fn_, 4), group(mac, 3)) << what;
      EXPECT_EQ(row, na_row) << what;
      return;
    }
    ASSERT_EQ(row.size(), 4u) << what;
    EXPECT_EQ(row[1], std::to_string(mac)) << what;
    const bool failed = take(prefix + "EM algorithm does not converge!") ||
                        take(prefix + "V is not positive definite!");
    EXPECT_FALSE(failed) << what << ": no fit of these cases is expected to fail";
    if (take(prefix + "V is not positive!") || failed || row[2] == "NA") {
      EXPECT_EQ(row, na_row) << what;
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
    } else {
      const Scores got{{std::stod(row[2])}, {{std::stod(row[3])}}};
      check_mle(X, got, what + " MLE");
      const double T = got.U[0] * got.U[0] / got.V[0][0];
      check_group(mle_, f_, mac, T, chisq1_tail(T), false, what + " MLE");
      mle_burden_[t.name] = got;
    }
    // Naive: the p-value as computed, 0 included; "NA" without a positive variance.
    bool spanned = false;
    const Scores ls = naive_scores(X, &spanned);
    EXPECT_EQ(naive_.at(fn_), std::to_string(mac)) << what;
    if (naive_exact_ || spanned || !(ls.V[0][0] > 0.0)) {
      EXPECT_EQ(fields(naive_, fn_ + 1, 3), Strings({"NA", "NA", "NA"})) << what;
    } else {
      const Scores got{{std::stod(naive_.at(fn_ + 1))}, {{std::stod(naive_.at(fn_ + 2))}}};
      expect_scores(got, ls, 1e-9, what + " naive");
      const double P = chisq1_tail(ls.U[0] * ls.U[0] / ls.V[0][0]);
      expect_real(naive_.at(fn_ + 3), P, 1e-5, 1e-10, what + " naive P");
      naive_burden_[t.name] = got;
    }
  }

  void check_gene(const std::string &gene, const std::vector<Variant> &all, const Strings &mle,
                  const Strings &naive, const Strings &warn) {
    const std::string what = cs_.name + " " + gene;
    mle_ = mle, naive_ = naive, warn_ = warn;
    f_ = fn_ = w_ = 1;
    std::vector<const Variant *> eligible;
    for (const Variant &v : all)
      if (v.eligible)
        eligible.push_back(&v);
    if (eligible.empty()) {
      EXPECT_EQ(warn, Strings({gene, "No eligible SNP in this gene!"})) << what;
      Strings want{gene}, want_naive{gene};
      for (const Test &t : tests()) {
        for (const std::string &x : group(0, 2)) want.push_back(x);
        for (const std::string &x : group(0, t.option == std::string("-SKAT") ? 2 : 3))
          want_naive.push_back(x);
      }
      EXPECT_EQ(mle, want) << what;
      EXPECT_EQ(naive, want_naive) << what;
      return;
    }
    EXPECT_EQ(mle.size(), 1 + 3 * tests().size()) << what;
    mle_burden_.clear();
    naive_burden_.clear();
    skat_vars_.clear();
    for (const Test &t : tests()) {
      std::vector<const Variant *> in;
      int mac = 0;
      for (const Variant *v : eligible)
        if (v->maf <= t.bound)
          in.push_back(v), mac += v->cnt;
      if (t.option == std::string("-SKAT")) {
        check_skat(gene, in, mac);
      } else {
        check_burden(gene, t, in, mac);
        // One SKAT variant, which is also the burden column: the same scores.
        if (skat_vars_.size() == 1 && in == skat_vars_ && !t.mb) {
          if (mle_burden_.count(t.name) && !skat_mle_.U.empty())
            expect_scores(skat_mle_, mle_burden_[t.name], 0.0, what + " SKAT = " + t.name);
          if (naive_burden_.count(t.name))
            expect_scores(skat_ls_, naive_burden_[t.name], 0.0, what + " LS SKAT = " + t.name);
        }
        fn_++;
      }
      f_ += 3;
      fn_ += 3;
    }
    EXPECT_EQ(naive.size(), fn_) << what;
    EXPECT_EQ(w_, warn.size()) << what << ": unexpected message "
                               << (w_ < warn.size() ? warn[w_] : "");
  }

  const Case &cs_;
  double fd_budget_;
  bool naive_exact_ = naive_exact();
  std::map<std::string, Strings> files_;
  std::map<std::string, size_t> at_;
  int fd_checked_ = 0;
  Strings mle_, naive_, warn_;
  size_t f_ = 1, fn_ = 1, w_ = 1;
  Scores skat_mle_, skat_ls_;
  std::vector<const Variant *> skat_vars_;
  std::map<std::string, Scores> mle_burden_, naive_burden_;
  std::map<std::pair<Mat, std::vector<int>>, Scores> fd_scores_;
};

}  // namespace

namespace {

class OneTraitExpected : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gsl_set_error_handler_off(); }
  // Checks the case; returns the number of MLE tests checked by finite differences.
  static int check(const std::string &name, double fd_budget) {
    const Case cs = read_case(name);
    Checker checker(cs, fd_budget);
    checker.run();
    return checker.fd_checked();
  }
};

TEST_F(OneTraitExpected, ExampleData) {
  EXPECT_GT(check("onetrait_example", 1.2e6), 0);
  EXPECT_GT(check("onetrait_example_dominant", 1.2e6), 0);
}
TEST_F(OneTraitExpected, EdgeCases) {
  EXPECT_GT(check("onetrait_edges", 1e9), 0);
  EXPECT_GT(check("onetrait_maf_ub", 1e9), 0);
  EXPECT_GT(check("onetrait_t5_only", 1e9), 0);
}
// A genotype that the covariates span in the naive sample (its naive scores are zero), and a
// trait that the covariates fit exactly there (no naive result at all).
TEST_F(OneTraitExpected, NaiveSampleWithoutInformation) {
  EXPECT_GT(check("onetrait_naive_spanned", 1e9), 0);
  EXPECT_GT(check("onetrait_naive_exact", 1e9), 0);
}
TEST_F(OneTraitExpected, OneTraitCompleteDataAndPValueBeyondRange) {
  EXPECT_GT(check("onetrait_k1", 1e9), 0);
  EXPECT_GT(check("onetrait_p0", 1e9), 0);
}

}  // namespace

namespace {

// One trait, observed for every sequenced subject and for no other: the constrained fit is the
// least-squares fit of the covariates with the variance RSS/m (the non-sequenced subjects, with
// nothing observed, carry no information), so the efficient score is the least-squares score U.
// Its variance is the least-squares one less 2 U U' / m: at the constrained fit the score of the
// genetic coefficients and that of the variance s2 are correlated (I_G,s2 = U / s2, I_s2,s2 =
// m / (2 s2^2)), and the efficient variance subtracts I_G,s2 I_s2,s2^-1 I_s2,G = 2 U U' / m.
// Agreement is to the fit's accuracy and the printed digits (relative 1e-5).
TEST(OneTraitClosedForm, CompleteDataOneTrait) {
  for (const std::string name : {"onetrait_k1", "onetrait_p0"}) {
    const Case cs = read_case(name);
    const fs::path files = cs.dir / "expected" / "files";
    const double m = static_cast<double>(cs.m());
    auto rows_of = [&](const std::string &file) {
      std::vector<Strings> rows;
      for (const std::string &text : read_lines(files / file)) rows.push_back(split(text));
      return rows;
    };
    // SKAT: the MLE and naive rows of each gene, U and the covariance rows up to the diagonal.
    const auto mle = rows_of(cs.out.at("-SKAT")), naive = rows_of("naive_" + cs.out.at("-SKAT"));
    ASSERT_EQ(mle.size(), naive.size()) << name;
    for (size_t a = 0, first = 0; a < mle.size(); ++a) {
      first = mle[a][0] == mle[first][0] ? first : a;  // the gene's first row
      const std::string what = name + " " + mle[a][0] + " SKAT " + mle[a][1];
      ASSERT_EQ(mle[a][1], naive[a][1]) << what;
      const double Ua = std::stod(naive[a][4]);
      EXPECT_NEAR(std::stod(mle[a][4]), Ua, 1e-5 * std::fabs(Ua)) << what;
      for (size_t b = first; b <= a; ++b) {
        const double Ub = std::stod(naive[b][4]);
        const double V = std::stod(naive[a][5 + b - first]) - 2.0 * Ua * Ub / m;
        const double scale =
            std::sqrt(std::stod(naive[a][5 + a - first]) * std::stod(naive[b][5 + b - first]));
        EXPECT_NEAR(std::stod(mle[a][5 + b - first]), V, 1e-5 * scale) << what;
      }
    }
    // Burden tests: the variant-level row (MLE U, V) against the naive group of the test.
    const Strings head = split(read_lines(files / cs.out.at("-OUT_NAIVE")).at(0));
    for (const char *test : {"-T1", "-T5", "-MB"}) {
      if (!cs.out.count(test))
        continue;
      const std::string col = std::string(test + 1) + "_U";
      const size_t at = std::find(head.begin(), head.end(), col) - head.begin();
      const auto rows = rows_of(cs.out.at(test));
      const auto groups = rows_of(cs.out.at("-OUT_NAIVE"));
      for (size_t g = 0; g < rows.size(); ++g) {
        const Strings &r = rows[g], &n = groups.at(g + 1);
        ASSERT_EQ(r[0], n[0]);
        const double U = std::stod(n[at]), V = std::stod(n[at + 1]) - 2.0 * U * U / m;
        const std::string what = name + " " + r[0] + " " + test;
        if (r[2] == "NA") {  // no result: V <= 0 or a p-value beyond the double range
          EXPECT_FALSE(V > 0.0 && chisq1_tail(U * U / V) > 0.0) << what;
          continue;
        }
        EXPECT_NEAR(std::stod(r[2]), U, 1e-5 * std::fabs(U)) << what;
        EXPECT_NEAR(std::stod(r[3]), V, 1e-5 * std::fabs(V)) << what;
      }
    }
  }
}

}  // namespace

namespace {

// Every fit of onetrait_edges stopped after one iteration: each test with a usable design gets
// its "EM algorithm does not converge!" message and "NA" for its statistic and p-value, the SKAT
// file no row and the burden files "NA" rows; the naive side (tables and naive SKAT file) is
// that of the converged run, byte for byte.
TEST(OneTraitPipeline, FitsThatDoNotConvergeKeepTheNaiveSide) {
  const fs::path cases = fs::path(__FILE__).parent_path().parent_path() / "e2e" / "onetrait_edges";
  const fs::path work = varnosta_test::temp_path("edges");
  fs::create_directories(work);
  for (const char *file : {"pheno_seq.tab", "pheno_nonseq.tab", "geno.tab", "map.tab"})
    fs::copy_file(cases / "inputs" / file, work / file, fs::copy_options::overwrite_existing);
  // The run uses the default file names, in its own folder (the naive SKAT file is "naive_"
  // followed by the whole -SKAT argument).
  const fs::path cwd = fs::current_path();
  fs::current_path(work);
  Strings args{"varnosta"};
  for (const std::string &a : read_lines(cases / "args")) args.push_back(a);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());

  set_defaults();
  parse_options(static_cast<int>(argv.size()), argv.data());
  DriverLocals d;
  ::testing::internal::CaptureStdout();
  read_input(d.trait_names, d.token);
  {
    engine_test::IterationLimit cap(1);
    run_gene_onetrait(d);
  }
  ::testing::internal::GetCapturedStdout();
  release_arrays();
  fs::current_path(cwd);

  auto got = [&](const std::string &file) { return read_lines(work / file); };
  auto want = [&](const std::string &file) { return read_lines(cases / "expected/files" / file); };
  EXPECT_EQ(got("naive.tab"), want("naive.tab"));
  EXPECT_EQ(got("naive_skat.tab"), want("naive_skat.tab"));
  EXPECT_TRUE(got("skat.tab").empty());
  for (const char *file : {"t1.tab", "t5.tab", "mb.tab"}) {
    Strings rows = want(file);
    for (std::string &row : rows) {
      const Strings f = split(row);
      row = f[0] + "\t" + f[1] + "\tNA\tNA";
    }
    EXPECT_EQ(got(file), rows) << file;
  }
  // The gene-level table with every statistic and p-value "NA"; the warning lines with the
  // message of every test whose design was usable.
  const Strings mle = got("mle.tab"), mle_want = want("mle.tab"), warn = got("warning.txt");
  const Strings warn_want = want("warning.txt");
  ASSERT_EQ(mle.size(), mle_want.size());
  EXPECT_EQ(mle[0], mle_want[0]);
  for (size_t g = 1; g < mle.size(); ++g) {
    Strings f = split(mle_want[g]);
    for (size_t at = 2; at < f.size(); at += 3) f[at] = f[at + 1] = "NA";
    std::string row = f[0], line = split(warn_want[g - 1])[0];
    for (size_t at = 1; at < f.size(); ++at) row += "\t" + f[at];
    EXPECT_EQ(mle[g], row);
    const std::string &before = warn_want[g - 1];
    if (before.find("No eligible SNP") != std::string::npos) {
      EXPECT_EQ(warn.at(g - 1), before);
      continue;
    }
    for (const char *test : {"SKAT", "T1", "T5", "MB"}) {
      const std::string singular = std::string("(") + test + ") The design matrix is singular!";
      line += "\t" + (before.find(singular) != std::string::npos
                          ? singular
                          : std::string("(") + test + ") EM algorithm does not converge!");
    }
    EXPECT_EQ(warn.at(g - 1), line);
  }
  fs::remove_all(work);
}

}  // namespace
