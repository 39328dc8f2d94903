// An independent reading of the end-to-end cases, shared by the checks of their expected files:
// the inputs and options of a case, the genotype counts and the coded genes, least squares, and
// the observed-data log-likelihood of the joint model with its gradient, maximised directly
// (BFGS, GSL) with tested coefficients held at zero and differentiated numerically. Nothing here
// calls the program's routines.
#ifndef VARNOSTA_TESTS_INDEPENDENT_MODEL_H
#define VARNOSTA_TESTS_INDEPENDENT_MODEL_H

#include <gsl/gsl_eigen.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_multimin.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/qfc.h"

namespace indep {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using Vec = std::vector<double>;
using Mat = std::vector<Vec>;

inline Strings read_lines(const fs::path &file) {
  std::ifstream in(file);
  Strings lines;
  for (std::string text; std::getline(in, text);) lines.push_back(text);
  return lines;
}

// Fields split at each `sep`, or at runs of blanks when sep is ' '.
inline Strings split(const std::string &text, char sep = '\t') {
  Strings fields;
  std::istringstream in(text);
  if (sep == ' ')
    for (std::string field; in >> field;) fields.push_back(field);
  else
    for (std::string field; std::getline(in, field, sep);) fields.push_back(field);
  return fields;
}

inline Vec numbers(const std::string &text) {
  Vec v;
  for (const std::string &field : split(text, ' ')) v.push_back(std::stod(field));
  return v;
}

inline bool missing(double x) { return std::fabs(x + 999.0) < 1e-10; }

// ---------------------------------------------------------------------------------------------
// A case: its options (the last value of each) and its inputs under the default names.

struct Case {
  std::string name;
  fs::path dir;
  std::map<std::string, std::string> opt;
  Strings traits;
  Mat y, cov, non;  // sequenced traits and covariates, non-sequenced traits; -999 = missing
  Strings geno;     // lines of the genotype table
  size_t K() const { return traits.size(); }
  size_t m() const { return y.size(); }
  double num(const std::string &o, double fallback) const {
    return opt.count(o) ? std::stod(opt.at(o)) : fallback;
  }
  size_t trait() const { return static_cast<size_t>(num("-TRAIT", 1)) - 1; }  // 0-based
  std::string file(const std::string &o, const std::string &fallback) const {
    return opt.count(o) ? opt.at(o) : fallback;
  }
  Strings expected(const std::string &file) const {
    const fs::path path = dir / "expected/files" / file;
    EXPECT_TRUE(fs::exists(path)) << name << " " << file;
    return read_lines(path);
  }
};

inline Case read_case(const std::string &name) {
  Case cs;
  cs.name = name;
  cs.dir = fs::path(__FILE__).parent_path() / "e2e" / name;
  const Strings args = read_lines(cs.dir / "args");
  for (size_t i = 0; i + 1 < args.size(); ++i)  // a flag takes the next word: never looked up
    if (args[i][0] == '-')
      cs.opt[args[i]] = args[i + 1];
  const fs::path in = cs.dir / "inputs";
  for (const std::string &text : read_lines(in / "pheno_nonseq.tab"))
    cs.non.push_back(numbers(text));
  const Strings seq = read_lines(in / "pheno_seq.tab"), head = split(seq.at(0), ' ');
  const long K = static_cast<long>(cs.non.at(0).size());
  cs.traits.assign(head.begin(), head.begin() + K);
  for (size_t i = 1; i < seq.size(); ++i) {
    const Vec v = numbers(seq[i]);
    cs.y.emplace_back(v.begin(), v.begin() + K);
    cs.cov.emplace_back(v.begin() + K, v.end());
  }
  cs.geno = read_lines(in / "geno.tab");
  return cs;
}

// A genotype line: identifier, genotypes, counts.
struct Variant {
  std::string id;
  Vec g;
  int n0 = 0, n1 = 0, n2 = 0, nmiss = 0, mac = 0;
  int m1() const { return static_cast<int>(g.size()) - nmiss; }
  double maf() const { return (n1 + 2.0 * n2) / (2.0 * m1()); }
};

inline Variant count(const std::string &text) {
  Variant v;
  const Strings f = split(text, ' ');
  v.id = f.at(0);
  for (size_t i = 1; i < f.size(); ++i) {
    const double x = std::stod(f[i]);
    v.g.push_back(x);
    v.nmiss += missing(x);
    v.n0 += x == 0.0;
    v.n1 += x == 1.0;
    v.n2 += x == 2.0;
    v.mac += !missing(x) && x >= 1.0;
  }
  return v;
}

// A map record of a gene: its variant's first genotype line, coded (Dominant: carriers 1;
// missing genotypes of an eligible variant imputed by 2f, Dominant f(2 - f)).
struct GeneVariant {
  std::string id;
  double maf = 0.0;
  Vec g;
  int cnt = 0;
  bool eligible = false;
};

// Records whose variant heads a genotype line and whose MAF is in (0, 1), by gene name, each
// gene's records in map order.
inline std::map<std::string, std::vector<GeneVariant>> genes_of(const Case &cs) {
  std::map<std::string, Variant> first;
  for (const std::string &text : cs.geno) {
    const Variant v = count(text);
    first.emplace(v.id, v);
  }
  const bool dominant = cs.file("-MODEL", "") == "Dominant";
  std::map<std::string, std::vector<GeneVariant>> genes;
  for (const std::string &text : read_lines(cs.dir / "inputs/map.tab")) {
    const Strings f = split(text, ' ');
    if (f.empty() || !first.count(f.at(1)) || !(std::stod(f.at(2)) > 0.0 && std::stod(f[2]) < 1.0))
      continue;
    const Variant &v = first.at(f[1]);
    GeneVariant gv{f[1], std::stod(f[2]), v.g, v.mac, false};
    gv.eligible = gv.cnt > cs.num("-SNP_MAC_LB", 0) && v.m1() > 0;
    const double a = gv.eligible ? v.maf() : 0.0;
    for (double &x : gv.g) {
      if (gv.eligible && missing(x))
        x = dominant ? a * (2.0 - a) : 2.0 * a;
      else if (dominant && x > 0.5)
        x = 1.0;
    }
    genes[f[0]].push_back(gv);
  }
  return genes;
}

// ---------------------------------------------------------------------------------------------
// Dense helpers (GSL Cholesky)

// Solves A X = B for a symmetric positive definite A; false (X untouched) when A is not.
inline bool spd_solve(const Mat &A, Mat &B) {
  const size_t n = A.size();
  gsl_matrix *g = gsl_matrix_alloc(n, n);
  gsl_vector *x = gsl_vector_alloc(n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) gsl_matrix_set(g, i, j, A[i][j]);
  const bool ok = gsl_linalg_cholesky_decomp1(g) == GSL_SUCCESS;
  for (size_t c = 0; ok && c < (B.empty() ? 0 : B[0].size()); ++c) {
    for (size_t i = 0; i < n; ++i) gsl_vector_set(x, i, B[i][c]);
    gsl_linalg_cholesky_svx(g, x);
    for (size_t i = 0; i < n; ++i) B[i][c] = gsl_vector_get(x, i);
  }
  gsl_vector_free(x);
  gsl_matrix_free(g);
  return ok;
}

// Least squares of y on the columns of X. Singular when a Cholesky pivot of X'X keeps no more
// than 1e-10 of its diagonal entry (collinear columns up to rounding, too few rows).
struct Ls {
  bool singular = true;
  Vec coef, resid;
  Mat inv;  // (X'X)^-1
  double rss = 0.0, yy = 0.0;
  // No residual degrees of freedom, or residuals at rounding level.
  bool exact() const { return resid.size() <= coef.size() || rss <= 1e-24 * yy; }
};

inline Ls least_squares(const Mat &X, const Vec &y) {
  Ls r;
  const size_t p = X.empty() ? 0 : X[0].size();
  gsl_matrix *A = gsl_matrix_calloc(std::max<size_t>(p, 1), std::max<size_t>(p, 1));
  Vec diag(p);
  Mat b(p, Vec(1, 0.0));
  for (size_t s = 0; s < X.size(); ++s) {
    r.yy += y[s] * y[s];
    for (size_t i = 0; i < p; ++i) {
      b[i][0] += X[s][i] * y[s];
      for (size_t j = 0; j < p; ++j) *gsl_matrix_ptr(A, i, j) += X[s][i] * X[s][j];
    }
  }
  for (size_t i = 0; i < p; ++i) diag[i] = gsl_matrix_get(A, i, i);
  r.singular = p == 0 || gsl_linalg_cholesky_decomp1(A) != GSL_SUCCESS;
  for (size_t i = 0; i < p && !r.singular; ++i)
    r.singular = std::pow(gsl_matrix_get(A, i, i), 2) <= 1e-10 * diag[i];
  if (!r.singular) {
    gsl_linalg_cholesky_invert(A);
    r.inv.assign(p, Vec(p));
    for (size_t i = 0; i < p; ++i)
      for (size_t j = 0; j < p; ++j) r.inv[i][j] = gsl_matrix_get(A, i, j);
    r.coef.assign(p, 0.0);
    for (size_t i = 0; i < p; ++i)
      for (size_t j = 0; j < p; ++j) r.coef[i] += r.inv[i][j] * b[j][0];
    for (size_t s = 0; s < X.size(); ++s) {
      double e = y[s];
      for (size_t j = 0; j < p; ++j) e -= X[s][j] * r.coef[j];
      r.resid.push_back(e);
      r.rss += e * e;
    }
  }
  gsl_matrix_free(A);
  return r;
}

inline bool singular(const Mat &X) { return least_squares(X, Vec(X.size(), 0.0)).singular; }

struct Scores {
  Vec U;
  Mat V;
};

// Least-squares score test of the columns X given Z (Z'Z regular) over the rows of y: r the
// residuals of y on Z, s2 = r'r / n, U = X'r / s2, V = X~'X~ / s2 with X~ the residuals of X on Z.
inline Scores ls_score(const Mat &X, const Mat &Z, const Vec &y) {
  const Ls fit = least_squares(Z, y);
  const double s2 = fit.rss / static_cast<double>(y.size());
  const size_t G = X[0].size();
  Mat Xr;
  for (size_t a = 0; a < G; ++a) {
    Vec col;
    for (const Vec &row : X) col.push_back(row[a]);
    Xr.push_back(least_squares(Z, col).resid);
  }
  Scores out{Vec(G, 0.0), Mat(G, Vec(G, 0.0))};
  for (size_t a = 0; a < G; ++a)
    for (size_t s = 0; s < y.size(); ++s) {
      out.U[a] += X[s][a] * fit.resid[s] / s2;
      for (size_t b = 0; b < G; ++b) out.V[a][b] += Xr[a][s] * Xr[b][s] / s2;
    }
  return out;
}

// ---------------------------------------------------------------------------------------------
// The joint model: every sequenced subject has a known design row, a non-sequenced one one of
// the J distinct rows, with unknown masses. Trait k's mean is rows[k][j] . beta_k, its row being
// the full row or a function of it. Parameters, unconstrained: the coefficients trait by trait,
// the Cholesky factor of Sigma row by row with its diagonal on the log scale, and J - 1 mass
// logits (the last is 0).
struct Joint {
  size_t K = 0, J = 0;
  std::vector<size_t> width, offset;  // of each trait's coefficients
  std::vector<Mat> rows;              // rows[k][j]
  Mat y, non;
  std::vector<size_t> row_of, pat_y, pat_non;  // distinct row; observed-trait pattern
  std::vector<std::vector<size_t>> patterns;   // the observed traits of each pattern
  std::vector<int> count;                      // sequenced subjects of each row
  size_t chol() const { return offset[K - 1] + width[K - 1]; }
  size_t masses() const { return chol() + K * (K + 1) / 2; }
  size_t size() const { return masses() + J - 1; }

  size_t pattern(const Vec &obs_y) {
    std::vector<size_t> obs;
    for (size_t k = 0; k < obs_y.size(); ++k)
      if (!missing(obs_y[k]))
        obs.push_back(k);
    const auto it = std::find(patterns.begin(), patterns.end(), obs);
    if (it != patterns.end())
      return static_cast<size_t>(it - patterns.begin());
    patterns.push_back(obs);
    return patterns.size() - 1;
  }
};

// design[i]: the full row of sequenced subject i, y[i] its traits; trait_row(k, row) gives
// trait k's row (default: the full row).
inline Joint make_joint(const Mat &design, const Mat &y, const Mat &non,
                        const std::function<Vec(size_t, const Vec &)> &trait_row = {}) {
  Joint d;
  d.K = y.at(0).size();
  d.y = y;
  d.non = non;
  std::map<Vec, size_t> index;
  Mat full;
  for (size_t i = 0; i < design.size(); ++i) {
    if (index.emplace(design[i], full.size()).second) {
      full.push_back(design[i]);
      d.count.push_back(0);
    }
    d.row_of.push_back(index[design[i]]);
    d.count[d.row_of.back()]++;
    d.pat_y.push_back(d.pattern(y[i]));
  }
  for (const Vec &t : non) d.pat_non.push_back(d.pattern(t));
  d.J = full.size();
  d.rows.resize(d.K);
  for (size_t k = 0; k < d.K; ++k) {
    for (const Vec &r : full) d.rows[k].push_back(trait_row ? trait_row(k, r) : r);
    d.width.push_back(d.rows[k][0].size());
    d.offset.push_back(k ? d.offset[k - 1] + d.width[k - 1] : 0);
  }
  return d;
}

// The parameters of d from the coefficients (in d's order), Sigma (K x K) and the J masses.
inline Vec unconstrained(const Joint &d, const Vec &coef, const Mat &Sigma, const Vec &q) {
  Vec t = coef;
  t.resize(d.size(), 0.0);
  Mat L(d.K, Vec(d.K, 0.0));
  for (size_t a = 0, at = d.chol(); a < d.K; ++a)
    for (size_t b = 0; b <= a; ++b, ++at) {
      double v = Sigma[a][b];
      for (size_t c = 0; c < b; ++c) v -= L[a][c] * L[b][c];
      L[a][b] = a == b ? std::sqrt(v) : v / L[b][b];
      t[at] = a == b ? std::log(L[a][b]) : L[a][b];
    }
  for (size_t j = 0; j + 1 < d.J; ++j) t[d.masses() + j] = std::log(q[j] / q[d.J - 1]);
  return t;
}

// Inverse and log determinant of the block of Sigma = L L' on the traits obs.
inline std::pair<Mat, double> sigma_block(const Mat &L, const std::vector<size_t> &obs) {
  const size_t n = obs.size();
  Mat inv(n, Vec(n));
  if (n == 0)
    return {inv, 0.0};
  gsl_matrix *S = gsl_matrix_calloc(n, n);
  for (size_t a = 0; a < n; ++a)
    for (size_t b = 0; b < n; ++b)
      for (size_t c = 0; c < L.size(); ++c) *gsl_matrix_ptr(S, a, b) += L[obs[a]][c] * L[obs[b]][c];
  gsl_linalg_cholesky_decomp1(S);
  double logdet = 0.0;
  for (size_t a = 0; a < n; ++a) logdet += 2.0 * std::log(gsl_matrix_get(S, a, a));
  gsl_linalg_cholesky_invert(S);
  for (size_t a = 0; a < n; ++a)
    for (size_t b = 0; b < n; ++b) inv[a][b] = gsl_matrix_get(S, a, b);
  gsl_matrix_free(S);
  return {inv, logdet};
}

// Minus the observed-data log-likelihood (constants dropped) at t and, when g is given, its
// gradient. A sequenced subject adds log q_row + log N(y_obs; mean_obs, Sigma_obs), a
// non-sequenced one log sum_j q_j N(y_obs; mean_j, Sigma_obs). The gradient of a normal term
// is s = Sigma_obs^-1 r for the mean and (s s' - Sigma_obs^-1) / 2 for Sigma_obs; a
// non-sequenced subject weights each row's term by its posterior weight.
inline double minus_loglik(const Joint &d, const double *t, double *g) {
  const size_t K = d.K, J = d.J, lo = d.masses();
  Mat L(K, Vec(K, 0.0)), mean(J, Vec(K, 0.0)), dS(K, Vec(K, 0.0));
  for (size_t a = 0, at = d.chol(); a < K; ++a)
    for (size_t b = 0; b <= a; ++b, ++at) L[a][b] = a == b ? std::exp(t[at]) : t[at];
  Vec logq(J, 0.0), dt(d.size(), 0.0), terms(J);
  for (size_t j = 0; j + 1 < J; ++j) logq[j] = t[lo + j];
  const double big_q = *std::max_element(logq.begin(), logq.end());
  double norm = 0.0;
  for (double x : logq) norm += std::exp(x - big_q);
  norm = big_q + std::log(norm);
  for (size_t j = 0; j < J; ++j) {
    logq[j] -= norm;
    for (size_t k = 0; k < K; ++k)
      for (size_t l = 0; l < d.width[k]; ++l) mean[j][k] += d.rows[k][j][l] * t[d.offset[k] + l];
  }
  Mat sj(J, Vec(K));  // Sigma_obs^-1 r of the last density of row j
  std::vector<std::pair<Mat, double>> blocks;
  for (const auto &obs : d.patterns) blocks.push_back(sigma_block(L, obs));
  auto log_density = [&](const Vec &y, size_t pat, size_t j) {
    const std::vector<size_t> &obs = d.patterns[pat];
    Vec &s = sj[j];
    double quad = 0.0;
    for (size_t a = 0; a < obs.size(); ++a) {
      s[a] = 0.0;
      for (size_t b = 0; b < obs.size(); ++b)
        s[a] += blocks[pat].first[a][b] * (y[obs[b]] - mean[j][obs[b]]);
      quad += (y[obs[a]] - mean[j][obs[a]]) * s[a];
    }
    return -0.5 * (blocks[pat].second + quad);
  };
  // The coefficient gradient is sum_j rows[k][j] (sum of the weighted s of the terms of row j):
  // the inner sums are gathered per row first.
  Mat row_sum(J, Vec(K, 0.0));
  auto add_gradient = [&](size_t pat, size_t j, double w) {
    const std::vector<size_t> &obs = d.patterns[pat];
    const Vec &s = sj[j];
    for (size_t a = 0; a < obs.size(); ++a) {
      row_sum[j][obs[a]] += w * s[a];
      for (size_t b = 0; b < obs.size(); ++b)
        dS[obs[a]][obs[b]] += 0.5 * w * (s[a] * s[b] - blocks[pat].first[a][b]);
    }
    if (j + 1 < J)
      dt[lo + j] += w;
  };
  double total = 0.0;
  for (size_t i = 0; i < d.y.size(); ++i) {
    total += logq[d.row_of[i]] + log_density(d.y[i], d.pat_y[i], d.row_of[i]);
    if (g)
      add_gradient(d.pat_y[i], d.row_of[i], 1.0);
  }
  for (size_t i = 0; i < d.non.size(); ++i) {
    double big = -HUGE_VAL, sum = 0.0;
    for (size_t j = 0; j < J; ++j) {
      terms[j] = logq[j] + log_density(d.non[i], d.pat_non[i], j);
      big = std::max(big, terms[j]);
    }
    for (size_t j = 0; j < J; ++j) sum += (terms[j] = std::exp(terms[j] - big));
    total += big + std::log(sum);
    for (size_t j = 0; g && j < J; ++j) add_gradient(d.pat_non[i], j, terms[j] / sum);
  }
  if (!g)
    return -total;
  for (size_t j = 0; j < J; ++j)
    for (size_t k = 0; k < K; ++k)
      for (size_t l = 0; l < d.width[k]; ++l)
        dt[d.offset[k] + l] += d.rows[k][j][l] * row_sum[j][k];
  const double subjects = static_cast<double>(d.y.size() + d.non.size());
  for (size_t j = 0; j + 1 < J; ++j) dt[lo + j] -= subjects * std::exp(logq[j]);
  for (size_t a = 0, at = d.chol(); a < K; ++a)  // Sigma = L L': d/dL = 2 dS L
    for (size_t b = 0; b <= a; ++b, ++at) {
      for (size_t c = 0; c < K; ++c) dt[at] += 2.0 * dS[a][c] * L[c][b];
      dt[at] *= a == b ? L[a][a] : 1.0;
    }
  for (size_t i = 0; i < dt.size(); ++i) g[i] = -dt[i];
  return -total;
}

inline Vec gradient(const Joint &d, const Vec &t) {
  Vec g(t.size());
  minus_loglik(d, t.data(), g.data());
  return g;
}

// Hessian of minus the log-likelihood: central differences (step 1e-5) of the gradient,
// symmetrised.
inline Mat hessian(const Joint &d, const Vec &t) {
  const double h = 1e-5;
  Mat H(t.size(), Vec(t.size()));
  for (size_t a = 0; a < t.size(); ++a) {
    Vec u = t;
    u[a] += h;
    const Vec up = gradient(d, u);
    u[a] -= 2 * h;
    const Vec down = gradient(d, u);
    for (size_t b = 0; b < t.size(); ++b) H[a][b] = (up[b] - down[b]) / (2 * h);
  }
  for (size_t a = 0; a < t.size(); ++a)
    for (size_t b = 0; b < a; ++b) H[a][b] = H[b][a] = 0.5 * (H[a][b] + H[b][a]);
  return H;
}

// The maximum with the coefficients at `fixed` held at 0. Rows whose free coefficient columns
// agree have the same density for every subject, so their masses enter the non-sequenced
// subjects' terms only through their sum, and for a given sum the sequenced subjects' terms are
// largest with masses in proportion to the rows' sequenced counts. So BFGS runs over the free
// coefficients, L and one logit per class of rows (that of the last row's class held at 0),
// from zero coefficients, Sigma = I and the classes' counts, until the gradient norm is below
// 1e-7.
struct Fit {
  const Joint *d;
  std::vector<size_t> free;      // free coefficient and L positions
  std::vector<size_t> class_of;  // of each row
  Vec offset;                    // of each row's logit
  size_t classes = 0;
  Vec full(const gsl_vector *x) const {
    Vec t(d->size(), 0.0);
    for (size_t i = 0; i < free.size(); ++i) t[free[i]] = gsl_vector_get(x, i);
    for (size_t j = 0; j + 1 < d->J; ++j)
      t[d->masses() + j] =
          offset[j] +
          (class_of[j] + 1 < classes ? gsl_vector_get(x, free.size() + class_of[j]) : 0);
    return t;
  }
};

inline double fit_f(const gsl_vector *x, void *p) {
  const Fit &f = *static_cast<Fit *>(p);
  return minus_loglik(*f.d, f.full(x).data(), nullptr);
}
inline void fit_df(const gsl_vector *x, void *p, gsl_vector *g) {
  const Fit &f = *static_cast<Fit *>(p);
  const Vec grad = gradient(*f.d, f.full(x));
  gsl_vector_set_zero(g);
  for (size_t i = 0; i < f.free.size(); ++i) gsl_vector_set(g, i, grad[f.free[i]]);
  for (size_t j = 0; j + 1 < f.d->J; ++j)
    if (f.class_of[j] + 1 < f.classes)
      *gsl_vector_ptr(g, f.free.size() + f.class_of[j]) += grad[f.d->masses() + j];
}
inline void fit_fdf(const gsl_vector *x, void *p, double *v, gsl_vector *g) {
  *v = fit_f(x, p);
  fit_df(x, p, g);
}

inline Vec maximise(const Joint &d, const std::vector<size_t> &fixed) {
  Fit fit{&d, {}, {}, {}, 0};
  std::vector<bool> held(d.chol(), false);
  for (size_t x : fixed) held[x] = true;
  for (size_t x = 0; x < d.masses(); ++x)
    if (x >= d.chol() || !held[x])
      fit.free.push_back(x);
  std::map<Vec, size_t> index;  // classes numbered from the last row's, the reference
  std::vector<size_t> cls(d.J);
  for (size_t n = 0; n < d.J; ++n) {
    const size_t j = d.J - 1 - n;
    Vec key;
    for (size_t k = 0; k < d.K; ++k)
      for (size_t l = 0; l < d.width[k]; ++l)
        if (!held[d.offset[k] + l])
          key.push_back(d.rows[k][j][l]);
    cls[j] = index.emplace(key, index.size()).first->second;
  }
  fit.classes = index.size();
  Vec n_class(fit.classes, 0.0);
  for (size_t j = 0; j < d.J; ++j) {
    cls[j] = fit.classes - 1 - cls[j];
    n_class[cls[j]] += d.count[j];
  }
  fit.class_of = cls;
  const size_t last = d.J - 1;
  for (size_t j = 0; j < last; ++j)
    fit.offset.push_back(std::log(d.count[j] / n_class[cls[j]]) -
                         std::log(d.count[last] / n_class[cls[last]]));
  const size_t nf = fit.free.size() + fit.classes - 1;
  gsl_vector *x = gsl_vector_calloc(nf);
  for (size_t c = 0; c + 1 < fit.classes; ++c)
    gsl_vector_set(x, fit.free.size() + c, std::log(n_class[c] / n_class[fit.classes - 1]));
  gsl_multimin_function_fdf fn{fit_f, fit_df, fit_fdf, nf, &fit};
  gsl_multimin_fdfminimizer *m =
      gsl_multimin_fdfminimizer_alloc(gsl_multimin_fdfminimizer_vector_bfgs2, nf);
  gsl_multimin_fdfminimizer_set(m, &fn, x, 0.01, 0.1);
  for (int it = 0; it < 20000 && gsl_multimin_test_gradient(m->gradient, 1e-7); ++it)
    if (gsl_multimin_fdfminimizer_iterate(m))
      break;  // no further progress in double precision
  const Vec t = fit.full(m->x);
  gsl_multimin_fdfminimizer_free(m);
  gsl_vector_free(x);
  return t;
}

// The efficient score of the parameters `tested` (in the order of U) from the gradient g and
// Hessian H of minus a log-likelihood, N being every other parameter: U = -(g_T - H_TN H_NN^-1
// g_N) (the correction removes what is left of the nuisance score) and V = H_TT - H_TN H_NN^-1
// H_NT, which at a maximum do not depend on how the nuisance parameters are parametrised;
// step = H_NN^-1 g_N, the Newton step of N. `ok` false: H_NN is not positive definite.
struct Efficient : Scores {
  bool ok = true;
  std::vector<size_t> N;
  Vec step;
};

inline Efficient schur(const Vec &g, const Mat &H, const std::vector<size_t> &tested) {
  Efficient out;
  for (size_t x = 0; x < g.size(); ++x)
    if (std::find(tested.begin(), tested.end(), x) == tested.end())
      out.N.push_back(x);
  const std::vector<size_t> &N = out.N;
  const size_t G = tested.size();
  Mat HNN(N.size(), Vec(N.size())), X(N.size(), Vec(G + 1));
  for (size_t a = 0; a < N.size(); ++a) {
    for (size_t b = 0; b < N.size(); ++b) HNN[a][b] = H[N[a]][N[b]];
    for (size_t b = 0; b < G; ++b) X[a][b] = H[N[a]][tested[b]];
    X[a][G] = g[N[a]];
  }
  out.U.assign(G, 0.0);
  out.V.assign(G, Vec(G, 0.0));
  const Mat HNT = X;
  out.ok = spd_solve(HNN, X);
  for (size_t z = 0; z < N.size(); ++z) out.step.push_back(X[z][G]);
  for (size_t a = 0; a < G; ++a) {
    out.U[a] = -g[tested[a]];
    for (size_t z = 0; out.ok && z < N.size(); ++z) out.U[a] += HNT[z][a] * X[z][G];
    for (size_t b = 0; b < G; ++b) {
      out.V[a][b] = H[tested[a]][tested[b]];
      for (size_t z = 0; out.ok && z < N.size(); ++z) out.V[a][b] -= HNT[z][a] * X[z][b];
    }
  }
  return out;
}

// The efficient score of the coefficients `tested` of d at the maximum with them held at 0
// (BFGS, then two Newton steps in the other parameters), or at the point `at`.
inline Efficient efficient_score(const Joint &d, const std::vector<size_t> &tested,
                                 const Vec *at = nullptr) {
  Vec t = at ? *at : maximise(d, tested);
  for (int step = 0;; ++step) {
    const Efficient e = schur(gradient(d, t), hessian(d, t), tested);
    if (at || step == 2 || !e.ok)
      return e;
    for (size_t z = 0; z < e.N.size(); ++z) t[e.N[z]] -= e.step[z];
  }
}

// ---------------------------------------------------------------------------------------------
// Tests from scores

inline double chisq1_tail(double T) { return std::erfc(std::sqrt(T / 2.0)); }

// SKAT of U, V with weights w: the entries with a positive variance; Q = sum w U^2; the
// eigenvalues of diag(sqrt w) V diag(sqrt w) above 1e-5 of the mean of the non-negative ones;
// P = 1 - Davies(Q) (the routine has its own tests), below 1e-6 (or none) the positive mixture
// series of the test support instead. P = -999 without a result.
struct Skat {
  double Q = 0.0, P = -999.0;
  int fault = 0;
};

// Eigenvalues of diag(sqrt w) V diag(sqrt w) over the entries `keep`, in the solver's order.
inline Vec weighted_eigenvalues(const Mat &V, const Vec &w, const std::vector<size_t> &keep) {
  const size_t n = keep.size();
  gsl_matrix *A = gsl_matrix_alloc(n, n);
  for (size_t a = 0; a < n; ++a)
    for (size_t b = 0; b < n; ++b)
      gsl_matrix_set(A, a, b, std::sqrt(w[keep[a]] * w[keep[b]]) * V[keep[a]][keep[b]]);
  gsl_vector *ev = gsl_vector_alloc(n);
  gsl_eigen_symm_workspace *ws = gsl_eigen_symm_alloc(n);
  gsl_eigen_symm(A, ev, ws);
  gsl_eigen_symm_free(ws);
  Vec values(n);
  for (size_t a = 0; a < n; ++a) values[a] = gsl_vector_get(ev, a);
  gsl_vector_free(ev);
  gsl_matrix_free(A);
  return values;
}

inline Skat skat(const Vec &U, const Mat &V, const Vec &w) {
  std::vector<size_t> keep;
  for (size_t a = 0; a < U.size(); ++a)
    if (V[a][a] > 0.0)
      keep.push_back(a);
  Skat s;
  const size_t n = keep.size();
  if (n == 0)
    return s;
  for (size_t a = 0; a < n; ++a) s.Q += w[keep[a]] * U[keep[a]] * U[keep[a]];
  const Vec ev = weighted_eigenvalues(V, w, keep);
  double sum = 0.0;
  int count = 0;
  for (double e : ev)
    if (e >= 0.0)
      sum += e, count++;
  Vec lambda;
  for (double e : ev)
    if (count > 0 && e > sum / count / 100000.0)
      lambda.push_back(e);
  if (count == 0)
    return s;
  int r = static_cast<int>(lambda.size()), lim = 1000000000;
  Vec nc(r, 0.0), trace(7, 0.0);
  std::vector<int> df(r, 1);
  double sigma = 0.0, acc = 1e-8, res = 0.0, Q = s.Q;
  qfc(lambda.data(), nc.data(), df.data(), &r, &sigma, &Q, &lim, &acc, trace.data(), &s.fault,
      &res);
  s.P = 1.0 - res;
  if ((s.fault == 0 || s.fault == 2) && s.P < 1e-6)
    s.P = static_cast<double>(varnosta_test::mixture_upper_tail(lambda, s.Q));
  return s;
}

// Whether SKAT may use V with the weights w: over the entries with a positive weight, no
// negative variance, and diag(sqrt w) V diag(sqrt w) over those with a positive variance has no
// eigenvalue below -1e-5 of its largest (the printed digits leave about 5e-8).
inline bool skat_semidefinite(const Mat &V, const Vec &w) {
  std::vector<size_t> keep;
  for (size_t a = 0; a < w.size(); ++a) {
    if (!(w[a] > 0.0))
      continue;
    if (V[a][a] < 0.0)
      return false;
    if (V[a][a] > 0.0)
      keep.push_back(a);
  }
  if (keep.empty())
    return true;
  const Vec ev = weighted_eigenvalues(V, w, keep);
  const double lo = *std::min_element(ev.begin(), ev.end());
  const double hi = *std::max_element(ev.begin(), ev.end());
  return lo >= -1e-5 * hi;
}

// The tolerance of a SKAT p-value recomputed from the printed U and V (seven digits): below
// 1e-6, where the tail changes by about Q / (2 lambda_max) times the relative change of Q,
// relative 1e-3.
inline double skat_p_tolerance(double P) { return P < 1e-6 ? 1e-3 * P : 1e-5 * P + 1e-9; }

// ---------------------------------------------------------------------------------------------
// Comparisons with printed fields

// A real field printed as %.6e, within tol of want.
inline void expect_close(const std::string &got, double want, double tol, const std::string &what) {
  ASSERT_NE(got, "NA") << what;
  char text[40];
  std::snprintf(text, sizeof text, "%.6e", std::stod(got));
  EXPECT_EQ(got, text) << what;
  EXPECT_NEAR(std::stod(got), want, tol) << what;
}

inline void expect_na(const Strings &r, size_t from, size_t count, const std::string &what) {
  ASSERT_GE(r.size(), from + count) << what;
  for (size_t f = from; f < from + count; ++f) EXPECT_EQ(r[f], "NA") << what << " field " << f;
}

// ---------------------------------------------------------------------------------------------
// Single-variant tables

// Design row (genotype, intercept, covariates) of sequenced subject i.
inline Vec design_row(const Case &cs, const Variant &v, size_t i) {
  Vec row{v.g[i], 1.0};
  row.insert(row.end(), cs.cov[i].begin(), cs.cov[i].end());
  return row;
}

// The joint model of a variant: the sequenced subjects with a known genotype and every
// non-sequenced subject.
inline Joint variant_joint(const Case &cs, const Variant &v) {
  Mat design, y;
  for (size_t i = 0; i < v.g.size(); ++i)
    if (!missing(v.g[i])) {
      design.push_back(design_row(cs, v, i));
      y.push_back(cs.y[i]);
    }
  return make_joint(design, y, cs.non);
}

// The naive sample of trait k: design rows and trait of the subjects with both known.
inline void naive_sample(const Case &cs, const Variant &v, size_t k, Mat &X, Vec &y) {
  for (size_t i = 0; i < v.g.size(); ++i)
    if (!missing(v.g[i]) && !missing(cs.y[i][k])) {
      X.push_back(design_row(cs, v, i));
      y.push_back(cs.y[i][k]);
    }
}

// Field count with `groups` result groups, format of the real fields (six-digit scientific) and
// the statistics tail.
inline void check_layout(const Strings &r, const Variant &v, size_t groups,
                         const std::string &what) {
  ASSERT_EQ(r.size(), 1 + 3 * groups + 6) << what;
  for (size_t f = 1; f <= 3 * groups + 2; ++f) {
    if (f == 3 * groups + 1 || r[f] == "NA")
      continue;  // the carrier count is an integer
    char text[32];
    std::snprintf(text, sizeof text, "%.6e", std::stod(r[f]));
    EXPECT_EQ(r[f], text) << what << " field " << f;
  }
  const size_t t = 1 + 3 * groups;
  EXPECT_EQ(r[t], std::to_string(v.mac)) << what;
  if (v.m1() == 0) {
    EXPECT_EQ(r[t + 1], "NA") << what;
  } else {
    expect_close(r[t + 1], v.maf(), 1e-6 * v.maf(), what + " MAF");
  }
  const Strings counts{std::to_string(v.n0), std::to_string(v.n1), std::to_string(v.n2),
                       std::to_string(v.nmiss)};
  EXPECT_EQ(Strings(r.begin() + t + 2, r.end()), counts) << what;
}

inline std::string filter_message(const Case &cs, const Variant &v) {
  if (v.m1() > 0 && cs.num("-MAF_LB", 0.0) > v.maf())
    return "MAF lower than MAF_LB!";
  if (v.mac < cs.num("-MAC_LB", 0))
    return "MAC lower than MAC_LB!";
  Mat X;
  for (size_t i = 0; i < v.g.size(); ++i)
    if (!missing(v.g[i]))
      X.push_back(design_row(cs, v, i));
  if (std::all_of(X.begin(), X.end(), [&](const Vec &row) { return row[0] == X[0][0]; }))
    return "No genetic variation in this sample!";
  if (singular(X))
    return "Covariate design matrix is singular!";
  return "";
}

// Checks the header and row identifiers of the naive, MLE and warning tables of a
// single-variant case, the layout of every row and the filtered rows; calls check(v, naive
// row, MLE row, warning row) for every variant that passes the filters.
inline void check_variant_tables(
    const Case &cs, const std::string &columns,
    const std::function<void(const Variant &, const Strings &, const Strings &, const Strings &)>
        &check) {
  const Strings naive = cs.expected("naive.tab"), mle = cs.expected("mle.tab");
  const Strings warn = cs.expected("warning.txt");
  EXPECT_EQ(naive.at(0), "VARIANT_ID\t" + columns + "MAC\tMAF\tN0\tN1\tN2\tNMISS");
  EXPECT_EQ(mle.at(0), naive[0]);
  ASSERT_EQ(warn.size() + 1, naive.size());
  ASSERT_EQ(mle.size(), naive.size());
  const size_t groups = (split(naive[0]).size() - 7) / 3;
  for (size_t v_no = 0; v_no < warn.size(); ++v_no) {
    const Variant v = count(cs.geno.at(v_no));
    const std::string what = cs.name + " " + v.id;
    const Strings nr = split(naive[v_no + 1]), mr = split(mle[v_no + 1]), wr = split(warn[v_no]);
    ASSERT_EQ(nr[0], v.id);
    ASSERT_EQ(mr[0], v.id);
    ASSERT_EQ(wr[0], v.id);
    check_layout(nr, v, groups, what);
    check_layout(mr, v, groups, what);
    const std::string filter = filter_message(cs, v);
    if (filter.empty()) {
      check(v, nr, mr, wr);
      continue;
    }
    EXPECT_EQ(wr, Strings({v.id, filter})) << what;
    expect_na(nr, 1, 3 * groups, what);
    expect_na(mr, 1, 3 * groups, what);
  }
}

}  // namespace indep

#endif  // VARNOSTA_TESTS_INDEPENDENT_MODEL_H
