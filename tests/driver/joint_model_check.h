// An independent reading of the single-variant end-to-end cases, shared by the checks of the
// Wald and score tables: the inputs of a case, the genotype counts, least squares, and the
// observed-data log-likelihood of the joint model with its gradient, maximised directly (BFGS,
// GSL) and differentiated numerically. Nothing here calls the program's routines.
#ifndef VARNOSTA_TESTS_DRIVER_JOINT_MODEL_CHECK_H
#define VARNOSTA_TESTS_DRIVER_JOINT_MODEL_CHECK_H

#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_multimin.h>
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

namespace joint_check {

namespace fs = std::filesystem;
using Row = std::vector<std::string>;
using Vec = std::vector<double>;
using Mat = std::vector<Vec>;

inline Row read_lines(const fs::path &file) {
  std::ifstream in(file);
  Row lines;
  for (std::string text; std::getline(in, text);) lines.push_back(text);
  return lines;
}

inline Row split_tabs(const std::string &text) {
  Row fields;
  std::istringstream in(text);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

inline Vec numbers(const std::string &text) {
  std::istringstream in(text);
  Vec v;
  for (double x; in >> x;) v.push_back(x);
  return v;
}

inline bool missing(double x) { return std::fabs(x + 999.0) < 1e-10; }

inline double log_sum_exp(const Vec &terms) {
  const double big = *std::max_element(terms.begin(), terms.end());
  double sum = 0.0;
  for (double t : terms) sum += std::exp(t - big);
  return big + std::log(sum);
}

// The inputs of one case (default file names; -MAF_LB and -MAC_LB are the only options used).
struct Case {
  Row names;
  Mat y, cov, non;  // sequenced traits and covariates, non-sequenced traits
  Row geno;
  double maf_lb = 0.0;
  int mac_lb = 0;
  size_t trait = 0;  // -TRAIT, 0-based
};

inline Case read_case(const fs::path &dir) {
  Case cs;
  const Row args = read_lines(dir / "args");
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "-MAF_LB")
      cs.maf_lb = std::stod(args[i + 1]);
    if (args[i] == "-MAC_LB")
      cs.mac_lb = std::stoi(args[i + 1]);
    if (args[i] == "-TRAIT")
      cs.trait = std::stoul(args[i + 1]) - 1;
  }
  for (const std::string &text : read_lines(dir / "inputs/pheno_nonseq.tab"))
    cs.non.push_back(numbers(text));
  const size_t K = cs.non.at(0).size();
  const Row seq = read_lines(dir / "inputs/pheno_seq.tab");
  std::istringstream head(seq.at(0));
  for (std::string name; cs.names.size() < K && head >> name;) cs.names.push_back(name);
  for (size_t i = 1; i < seq.size(); ++i) {
    const Vec v = numbers(seq[i]);
    cs.y.emplace_back(v.begin(), v.begin() + K);
    cs.cov.emplace_back(v.begin() + K, v.end());
  }
  cs.geno = read_lines(dir / "inputs/geno.tab");
  return cs;
}

struct Variant {
  std::string id;
  Vec g;
  int n0 = 0, n1 = 0, n2 = 0, nmiss = 0, mac = 0;
  int m1() const { return static_cast<int>(g.size()) - nmiss; }
  double maf() const { return (n1 + 2.0 * n2) / (2.0 * m1()); }
};

inline Variant count(const std::string &text) {
  Variant v;
  const size_t tab = text.find('\t');
  v.id = text.substr(0, tab);
  v.g = numbers(text.substr(tab));
  for (double x : v.g) {
    v.nmiss += missing(x);
    v.n0 += std::fabs(x) < 1e-10;
    v.n1 += std::fabs(x - 1) < 1e-10;
    v.n2 += std::fabs(x - 2) < 1e-10;
    v.mac += !missing(x) && x >= 1.0;
  }
  return v;
}

// Design row (genotype, intercept, covariates) of sequenced subject i.
inline Vec design_row(const Case &cs, const Variant &v, size_t i) {
  Vec row{v.g[i], 1.0};
  row.insert(row.end(), cs.cov[i].begin(), cs.cov[i].end());
  return row;
}

// Least squares of y on the p columns of X: the first coefficient, its variance
// RSS/n [(X'X)^-1]_11, RSS. Singular when a Cholesky pivot of X'X falls below 1e-10 of its diagonal
// entry (collinear columns, too few rows).
struct Ols {
  bool singular = true;
  double beta = 0.0, var = 0.0, rss = 0.0, yy = 0.0;
  bool exact = false;  // no residual degrees of freedom, or residuals at rounding level
};

inline Ols ols(const Mat &X, const Vec &y, size_t p) {
  Ols r;
  gsl_matrix *A = gsl_matrix_calloc(p, p);
  gsl_vector *b = gsl_vector_calloc(p), *beta = gsl_vector_alloc(p);
  for (size_t s = 0; s < X.size(); ++s) {
    r.yy += y[s] * y[s];
    for (size_t i = 0; i < p; ++i) {
      *gsl_vector_ptr(b, i) += X[s][i] * y[s];
      for (size_t j = 0; j < p; ++j) *gsl_matrix_ptr(A, i, j) += X[s][i] * X[s][j];
    }
  }
  Vec diag(p);
  for (size_t i = 0; i < p; ++i) diag[i] = gsl_matrix_get(A, i, i);
  r.singular = gsl_linalg_cholesky_decomp1(A) != GSL_SUCCESS;
  for (size_t i = 0; i < p && !r.singular; ++i)
    r.singular = std::pow(gsl_matrix_get(A, i, i), 2) <= 1e-10 * diag[i];
  if (!r.singular) {
    gsl_linalg_cholesky_solve(A, b, beta);
    r.beta = gsl_vector_get(beta, 0);
    for (size_t s = 0; s < X.size(); ++s) {
      double e = y[s];
      for (size_t j = 0; j < p; ++j) e -= X[s][j] * gsl_vector_get(beta, j);
      r.rss += e * e;
    }
    gsl_linalg_cholesky_invert(A);
    r.var = r.rss / static_cast<double>(X.size()) * gsl_matrix_get(A, 0, 0);
    r.exact = X.size() <= p || r.rss <= 1e-24 * r.yy;
  }
  gsl_vector_free(beta);
  gsl_vector_free(b);
  gsl_matrix_free(A);
  return r;
}

// ---------------------------------------------------------------------------------------------
// The joint model of one variant: the sequenced subjects with a known genotype (design rows
// observed) and every non-sequenced subject (design row one of the J distinct rows, with
// unknown masses). Parameters, unconstrained: the coefficients (trait-major, p per trait), the
// Cholesky factor of Sigma row by row with its diagonal on the log scale, and J - 1 mass
// logits (the last is 0).
struct Joint {
  size_t K = 0, p = 0;
  Mat rows, y, non;
  std::vector<size_t> row_of, pat_y, pat_non;  // distinct row; observed-trait pattern
  std::vector<std::vector<size_t>> patterns;   // the observed traits of each pattern
};

inline size_t pattern_of(Joint &d, const Vec &y) {
  std::vector<size_t> obs;
  for (size_t k = 0; k < y.size(); ++k)
    if (!missing(y[k]))
      obs.push_back(k);
  const auto it = std::find(d.patterns.begin(), d.patterns.end(), obs);
  if (it != d.patterns.end())
    return static_cast<size_t>(it - d.patterns.begin());
  d.patterns.push_back(obs);
  return d.patterns.size() - 1;
}

inline Joint joint_data(const Case &cs, const Variant &v) {
  Joint d;
  d.K = cs.names.size();
  d.p = 2 + cs.cov[0].size();
  d.non = cs.non;
  std::map<Vec, size_t> index;
  for (size_t i = 0; i < v.g.size(); ++i) {
    if (missing(v.g[i]))
      continue;
    const Vec row = design_row(cs, v, i);
    if (index.emplace(row, d.rows.size()).second)
      d.rows.push_back(row);
    d.row_of.push_back(index[row]);
    d.y.push_back(cs.y[i]);
    d.pat_y.push_back(pattern_of(d, cs.y[i]));
  }
  for (const Vec &y : d.non) d.pat_non.push_back(pattern_of(d, y));
  return d;
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

// Minus the observed-data log-likelihood (constants dropped) and, when g is given, its
// gradient. A sequenced subject adds log q_row + log N(y_obs; mean_obs, Sigma_obs), a
// non-sequenced one log sum_j q_j N(y_obs; mean_j, Sigma_obs). The gradient of a normal term
// is s = Sigma_obs^-1 r for the mean and (s s' - Sigma_obs^-1) / 2 for Sigma_obs; a
// non-sequenced subject weights each row's term by its posterior weight.
inline double minus_loglik(const gsl_vector *t, void *data, gsl_vector *g) {
  const Joint &d = *static_cast<const Joint *>(data);
  const size_t K = d.K, p = d.p, J = d.rows.size(), lo = K * p + K * (K + 1) / 2;
  Mat L(K, Vec(K, 0.0)), mean(J, Vec(K, 0.0)), dS(K, Vec(K, 0.0));
  for (size_t a = 0, at = K * p; a < K; ++a)
    for (size_t b = 0; b <= a; ++b, ++at)
      L[a][b] = a == b ? std::exp(gsl_vector_get(t, at)) : gsl_vector_get(t, at);
  Vec logq(J, 0.0), dt(t->size, 0.0), terms(J);
  for (size_t j = 0; j + 1 < J; ++j) logq[j] = gsl_vector_get(t, lo + j);
  const double norm = log_sum_exp(logq);
  for (size_t j = 0; j < J; ++j) {
    logq[j] -= norm;
    for (size_t k = 0; k < K; ++k)
      for (size_t l = 0; l < p; ++l) mean[j][k] += d.rows[j][l] * gsl_vector_get(t, k * p + l);
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
  // The coefficient gradient is sum_j rows[j] (sum of the weighted s of the terms of row j):
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
      for (size_t l = 0; l < p; ++l) dt[k * p + l] += d.rows[j][l] * row_sum[j][k];
  const double subjects = static_cast<double>(d.y.size() + d.non.size());
  for (size_t j = 0; j + 1 < J; ++j) dt[lo + j] -= subjects * std::exp(logq[j]);
  for (size_t a = 0, at = K * p; a < K; ++a)  // Sigma = L L': d/dL = 2 dS L
    for (size_t b = 0; b <= a; ++b, ++at) {
      for (size_t c = 0; c < K; ++c) dt[at] += 2.0 * dS[a][c] * L[c][b];
      dt[at] *= a == b ? L[a][a] : 1.0;
    }
  for (size_t i = 0; i < t->size; ++i) gsl_vector_set(g, i, -dt[i]);
  return -total;
}

inline double minus_f(const gsl_vector *t, void *d) { return minus_loglik(t, d, nullptr); }
inline void minus_df(const gsl_vector *t, void *d, gsl_vector *g) { minus_loglik(t, d, g); }
inline void minus_fdf(const gsl_vector *t, void *d, double *f, gsl_vector *g) {
  *f = minus_loglik(t, d, g);
}

inline size_t parameter_count(const Joint &d) {
  return d.K * d.p + d.K * (d.K + 1) / 2 + d.rows.size() - 1;
}

// Minus the log-likelihood over the parameters other than `fixed`, which is held at 0.
struct Restricted {
  const Joint *d;
  size_t fixed;  // index into the full vector, or n (none)
  gsl_vector *full, *grad;
};

inline void expand(const gsl_vector *r, Restricted &rs) {
  for (size_t a = 0, b = 0; a < rs.full->size; ++a)
    gsl_vector_set(rs.full, a, a == rs.fixed ? 0.0 : gsl_vector_get(r, b++));
}
inline void restricted_fdf(const gsl_vector *r, void *p, double *f, gsl_vector *g) {
  Restricted &rs = *static_cast<Restricted *>(p);
  expand(r, rs);
  const double value = minus_loglik(rs.full, const_cast<Joint *>(rs.d), g ? rs.grad : nullptr);
  if (f)
    *f = value;
  for (size_t a = 0, b = 0; g && a < rs.full->size; ++a)
    if (a != rs.fixed)
      gsl_vector_set(g, b++, gsl_vector_get(rs.grad, a));
}
inline double restricted_f(const gsl_vector *r, void *p) {
  double f = 0.0;
  restricted_fdf(r, p, &f, nullptr);
  return f;
}
inline void restricted_df(const gsl_vector *r, void *p, gsl_vector *g) {
  restricted_fdf(r, p, nullptr, g);
}

// The maximum of the likelihood with parameter `fixed` held at 0 (none when fixed is the
// parameter count): BFGS from zero coefficients, Sigma = I and equal masses until the gradient
// norm is below `tol`. Returns the full parameter vector.
inline Vec maximise(const Joint &d, size_t fixed, double tol) {
  const size_t n = parameter_count(d), free = fixed < n ? n - 1 : n;
  Restricted rs{&d, fixed, gsl_vector_alloc(n), gsl_vector_alloc(n)};
  gsl_vector *t = gsl_vector_calloc(free);
  gsl_multimin_function_fdf fn{restricted_f, restricted_df, restricted_fdf, free, &rs};
  gsl_multimin_fdfminimizer *s =
      gsl_multimin_fdfminimizer_alloc(gsl_multimin_fdfminimizer_vector_bfgs2, free);
  gsl_multimin_fdfminimizer_set(s, &fn, t, 0.01, 0.1);
  for (int it = 0; it < 10000 && gsl_multimin_test_gradient(s->gradient, tol); ++it)
    if (gsl_multimin_fdfminimizer_iterate(s))
      break;  // no further progress in double precision
  expand(s->x, rs);
  Vec out(rs.full->data, rs.full->data + n);
  gsl_multimin_fdfminimizer_free(s);
  for (gsl_vector *x : {t, rs.full, rs.grad}) gsl_vector_free(x);
  return out;
}

// Gradient of minus the log-likelihood at t.
inline Vec gradient(const Joint &d, const Vec &t) {
  gsl_vector_const_view tv = gsl_vector_const_view_array(t.data(), t.size());
  gsl_vector *g = gsl_vector_alloc(t.size());
  minus_df(&tv.vector, const_cast<Joint *>(&d), g);
  Vec out(g->data, g->data + t.size());
  gsl_vector_free(g);
  return out;
}

// Hessian of minus the log-likelihood at t: central differences (step 1e-5) of the gradient.
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
  return H;
}

// ---------------------------------------------------------------------------------------------
// Comparisons with the printed rows

inline void expect_close(const std::string &got, double want, double tol, const std::string &what) {
  ASSERT_NE(got, "NA") << what;
  EXPECT_NEAR(std::stod(got), want, tol) << what;
}

inline void expect_na(const Row &r, size_t from, size_t count, const std::string &what) {
  for (size_t f = from; f < from + count; ++f) EXPECT_EQ(r[f], "NA") << what << " field " << f;
}

// Field count with `groups` result groups, format of the real fields (six-digit scientific) and
// the statistics tail.
inline void check_layout(const Row &r, const Variant &v, size_t groups, const std::string &what) {
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
  const Row counts{std::to_string(v.n0), std::to_string(v.n1), std::to_string(v.n2),
                   std::to_string(v.nmiss)};
  EXPECT_EQ(Row(r.begin() + t + 2, r.end()), counts) << what;
}

inline std::string filter_message(const Case &cs, const Variant &v) {
  if (v.m1() > 0 && cs.maf_lb > v.maf())
    return "MAF lower than MAF_LB!";
  if (v.mac < cs.mac_lb)
    return "MAC lower than MAC_LB!";
  Mat X;
  for (size_t i = 0; i < v.g.size(); ++i)
    if (!missing(v.g[i]))
      X.push_back(design_row(cs, v, i));
  if (std::all_of(X.begin(), X.end(), [&](const Vec &row) { return row[0] == X[0][0]; }))
    return "No genetic variation in this sample!";
  if (ols(X, Vec(X.size(), 0.0), X[0].size()).singular)
    return "Covariate design matrix is singular!";
  return "";
}

inline Ols naive_fit(const Case &cs, const Variant &v, size_t k) {
  Mat X;
  Vec y;
  for (size_t i = 0; i < v.g.size(); ++i)
    if (!missing(v.g[i]) && !missing(cs.y[i][k])) {
      X.push_back(design_row(cs, v, i));
      y.push_back(cs.y[i][k]);
    }
  return ols(X, y, 2 + cs.cov[0].size());
}

}  // namespace joint_check

#endif  // VARNOSTA_TESTS_DRIVER_JOINT_MODEL_CHECK_H
