// Test support for the engine: small data sets laid out as the driver lays them out (subjects
// grouped by missing pattern, unique covariate table built by hand), the engine's arrays, and the
// observed-data log-likelihood of the joint model written for the end-to-end checks.
#ifndef VARNOSTA_TESTS_ENGINE_ENGINE_FIXTURE_H
#define VARNOSTA_TESTS_ENGINE_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/independent_model.h"
#include "tests/test_support.h"
#include "toolkit/func_linear_algebra.h"

extern int K;
extern int p;

namespace engine_hooks {
extern int em_iteration_limit;
}

namespace engine_test {

using varnosta_test::Rows;

// A subject: its design row (empty for a non-sequenced subject) and traits (NaN = missing).
struct Subject {
  std::vector<double> row;
  std::vector<double> y;
};

// Caps the EM at `limit` iterations while alive.
struct IterationLimit {
  explicit IterationLimit(int limit) { engine_hooks::em_iteration_limit = limit; }
  ~IterationLimit() { engine_hooks::em_iteration_limit = 500; }
};

// 1-based arrays from the toolkit's allocators, each released with its own bounds at the end.
class ArrayPool {
 public:
  ArrayPool() = default;
  ArrayPool(const ArrayPool &) = delete;
  ArrayPool &operator=(const ArrayPool &) = delete;
  ~ArrayPool() {
    for (auto it = release_.rbegin(); it != release_.rend(); ++it) (*it)();
  }
  double *vec(int n) {
    return keep(dvector(1, n), [=](double *v) { free_dvector(v, 1, n); });
  }
  int *ivec(int n) {
    return keep(ivector(1, n), [=](int *v) { free_ivector(v, 1, n); });
  }
  double **mat(int r, int c) {
    return keep(dmatrix(1, r, 1, c), [=](double **a) { free_dmatrix(a, 1, r, 1, c); });
  }
  int **imat(int r, int c) {
    return keep(imatrix(1, r, 1, c), [=](int **a) { free_imatrix(a, 1, r, 1, c); });
  }
  double ***cube(int n) {
    return keep(dmatrix3(1, n, 1, n, 1, n),
                [=](double ***a) { free_dmatrix3(a, 1, n, 1, n, 1, n); });
  }

 private:
  template <class T, class F>
  T keep(T a, F free) {
    release_.push_back([=] { free(a); });
    return a;
  }
  std::vector<std::function<void()>> release_;
};

// Everything one fit and its information matrix need, sized as the driver sizes them.
struct Model {
  ArrayPool pool;
  int nK, w, m, n, N = 0, J = 0, dimST, dim;
  double **Y, **W, **W_Uni;
  int *mis_pats, *mis_patn, *nobs, *nmis, **mis_R, **Mis, **Obs, **twoIND, *n_UniW, *ind_UniW;
  double *Sigma0, **Sigma, **eta0, *q, *q0, **phi, **phiY, **T, *Tobs, **Weta, *c, **Q1, *l1;
  double **c_var, **c2, **WW, ***c3, **SigmaInv;

  Model(int traits, const std::vector<Subject> &seq, const std::vector<Subject> &nonseq)
      : nK(traits),
        w(static_cast<int>(seq.front().row.size())),
        m(static_cast<int>(seq.size())),
        n(m + static_cast<int>(nonseq.size())) {
    lay_out_patterns(seq, nonseq);
    dimST = nK * w + nK * (nK + 1) / 2;
    dim = dimST + J;
    twoIND = pool.imat(nK, nK);
    for (int a = 1, pos = nK * w; a <= nK; a++)
      for (int b = a; b <= nK; b++) twoIND[a][b] = ++pos;
    Sigma0 = pool.vec(nK), Sigma = pool.mat(nK, nK), eta0 = pool.mat(w, nK);
    q = pool.vec(m), q0 = pool.vec(m), phi = pool.mat(std::max(1, n - m), m);
    phiY = pool.mat(m, nK), T = pool.mat(w + nK, w + nK), Tobs = pool.vec(w + nK);
    Weta = pool.mat(m, nK), c = pool.vec(nK), Q1 = pool.mat(dimST + m, dimST + m);
    l1 = pool.vec(dimST + m), c_var = pool.mat(nK, nK), c2 = pool.mat(nK, nK);
    WW = pool.mat(w, w), c3 = pool.cube(nK), SigmaInv = pool.mat(nK, nK);
    lay_out_joint();
  }

  void fit() {
    ::K = nK;
    ::p = w;
    EM_algorithm_v5(m, n, N, Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c, Y, W,
                    mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J, n_UniW, ind_UniW, W_Uni);
  }
  // On the first p0 columns of `rows` (default W_Uni); the global p is made useless.
  void fit_null(int p0, double **rows = nullptr) {
    ::K = nK;
    ::p = -1;
    EM_algorithm_null(p0, m, n, N, Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c, Y, W,
                      mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J, n_UniW, ind_UniW,
                      rows ? rows : W_Uni);
  }
  // Genetic coefficient (column 1) of trait t held at zero, on the distinct rows `rows` of width
  // `width` (default W_Uni); the global p is made useless.
  void fit_constrained(int t, int width = 0, double **rows = nullptr) {
    ::K = nK;
    ::p = -1;
    EM_algorithm_indi_score(t, width ? width : w, m, n, N, Sigma0, Sigma, eta0, q, q0, phi, phiY, T,
                            Tobs, Weta, c, Y, W, mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J,
                            n_UniW, ind_UniW, rows ? rows : W_Uni, SigmaInv);
  }
  // Efficient score U[1] and variance V[1][1] of trait t's genetic coefficient at the fit of
  // fit_constrained(t).
  void score(int t, double *U, double **V) {
    ::K = nK;
    ::p = -1;
    rareUV_indi_score(t, w, n, m, N, dim, dimST, 1, V, U, Q1, l1, eta0, Sigma, Sigma0, SigmaInv, q,
                      phi, phiY, Weta, c, W, Y, c_var, twoIND, c2, c3, nobs, nmis, Mis, Obs, mis_R,
                      mis_pats, mis_patn, J, n_UniW, ind_UniW, W_Uni);
  }
  // Scores of the first nGen columns of every trait at coefficients B (w x K, rows 1..nGen 0).
  void score_all_traits(int nGen, double **B, double *U, double **V) {
    ::K = nK;
    ::p = -1;
    rareUV(w, n, m, N, dim, dimST, nGen, V, U, Q1, l1, B, Sigma, Sigma0, SigmaInv, q, phi, phiY,
           Weta, c, W, Y, c_var, twoIND, c2, c3, nobs, nmis, Mis, Obs, mis_R, mis_pats, mis_patn, J,
           n_UniW, ind_UniW, W_Uni);
  }
  void information() {
    ::K = nK;
    ::p = w;
    Variance_v3(n, m, N, dim, dimST, Q1, l1, eta0, Sigma, Sigma0, q, phi, phiY, Weta, c, W, Y,
                c_var, T, twoIND, c2, WW, c3, nobs, nmis, Mis, Obs, mis_R, mis_pats, mis_patn, J,
                n_UniW, ind_UniW, W_Uni);
  }

  // The whole covariance of the estimates, by cholinv from the factor that information() leaves,
  // into Q1's upper triangle; the genetic variances that information() formed alone must be
  // the very numbers of the whole inverse.
  void full_covariance() {
    std::vector<double> variance(nK + 1);
    for (int k = 1; k <= nK; k++) variance[k] = Q1[(k - 1) * w + 1][(k - 1) * w + 1];
    cholinv(Q1, l1, dim - 1);
    for (int k = 1; k <= nK; k++)
      EXPECT_EQ(Q1[(k - 1) * w + 1][(k - 1) * w + 1], variance[k]) << "trait " << k;
  }

  // The fitted parameters in the order of the information matrix (1-based), the last mass left
  // out unless `all_masses`; coefficients from B (default eta0).
  std::vector<double> theta(bool all_masses = false, double **B = nullptr) const {
    std::vector<double> th(all_masses ? dim + 1 : dim);
    for (int k = 1; k <= nK; k++)
      for (int l = 1; l <= w; l++) th[(k - 1) * w + l] = (B ? B : eta0)[l][k];
    for (int a = 1; a <= nK; a++)
      for (int b = a; b <= nK; b++) th[twoIND[a][b]] = Sigma[a][b];
    for (int j = 1; j < static_cast<int>(th.size()) - dimST; j++) th[dimST + j] = q[j];
    return th;
  }

  // The log-likelihood below as a function of th.
  std::function<double(const std::vector<double> &)> loglik_function() const {
    return [this](const std::vector<double> &th) { return loglik(th); };
  }

  // Observed-data log-likelihood at th (as from theta()): that of the joint model of the
  // end-to-end checks (tests/independent_model.h) on this data set.
  double loglik(const std::vector<double> &th) const {
    indep::Vec coef(th.begin() + 1, th.begin() + nK * w + 1), mass(J, 1.0);
    indep::Mat S(nK, indep::Vec(nK));
    for (int a = 1; a <= nK; a++)
      for (int b = 1; b <= nK; b++) S[a - 1][b - 1] = th[twoIND[std::min(a, b)][std::max(a, b)]];
    for (int j = 1; j < J; j++) mass[J - 1] -= (mass[j - 1] = th[dimST + j]);
    return -indep::minus_loglik(joint, indep::unconstrained(joint, coef, S, mass).data(), nullptr);
  }

 private:
  indep::Joint joint;

  // The same data as the joint model of the shared checks, distinct rows as in W_Uni.
  void lay_out_joint() {
    joint.K = nK;
    joint.J = J;
    joint.rows.assign(nK, {});
    for (int k = 0; k < nK; k++) {
      joint.width.push_back(w);
      joint.offset.push_back(k * w);
      for (int j = 1; j <= J; j++) joint.rows[k].emplace_back(W_Uni[j] + 1, W_Uni[j] + w + 1);
    }
    for (int j = 1; j <= J; j++) joint.count.push_back(n_UniW[j]);
    for (int i = 1; i <= n; i++) {
      indep::Vec y(Y[i] + 1, Y[i] + nK + 1);
      (i <= m ? joint.pat_y : joint.pat_non).push_back(joint.pattern(y));
      (i <= m ? joint.y : joint.non).push_back(y);
      if (i <= m)
        joint.row_of.push_back(ind_UniW[i] - 1);
    }
  }

  static int pattern_code(const Subject &s) {
    int code = 0;
    for (size_t k = 0; k < s.y.size(); k++) code += std::isnan(s.y[k]) ? 0 : 1 << k;
    return code;
  }

  // Subjects grouped by pattern code in ascending order (every trait observed comes last),
  // sequenced rows first; missing traits become -999. The distinct design rows are numbered in
  // order of first appearance.
  void lay_out_patterns(const std::vector<Subject> &seq, const std::vector<Subject> &nonseq) {
    std::set<int> codes;
    for (const auto *group : {&seq, &nonseq})
      for (const auto &s : *group) codes.insert(pattern_code(s));
    N = static_cast<int>(codes.size());
    Y = pool.mat(n, nK), W = pool.mat(m, w), W_Uni = pool.mat(m, w);
    n_UniW = pool.ivec(m), ind_UniW = pool.ivec(m);
    std::map<std::vector<double>, int> distinct;
    mis_pats = pool.ivec(N + 1), mis_patn = pool.ivec(N + 1), nobs = pool.ivec(N);
    nmis = pool.ivec(N), mis_R = pool.imat(N, nK), Mis = pool.imat(N, nK), Obs = pool.imat(N, nK);
    mis_pats[1] = 0;
    mis_patn[1] = m;
    int t = 0, is = 0, in = m;
    for (int code : codes) {
      t++;
      nobs[t] = nmis[t] = 0;
      for (int k = 1; k <= nK; k++) {
        mis_R[t][k] = (code >> (k - 1)) & 1;
        (mis_R[t][k] ? Obs[t][++nobs[t]] : Mis[t][++nmis[t]]) = k;
      }
      for (const auto *group : {&seq, &nonseq})
        for (const auto &s : *group) {
          if (pattern_code(s) != code)
            continue;
          int i = (group == &seq) ? ++is : ++in;
          for (int k = 1; k <= nK; k++) Y[i][k] = std::isnan(s.y[k - 1]) ? -999.0 : s.y[k - 1];
          if (group == &seq) {
            int u = distinct.emplace(s.row, J + 1).first->second;
            if (u > J)
              n_UniW[++J] = 0;
            n_UniW[u]++;
            ind_UniW[i] = u;
            for (int l = 1; l <= w; l++) W[i][l] = W_Uni[u][l] = s.row[l - 1];
          }
        }
      mis_pats[t + 1] = is;
      mis_patn[t + 1] = in;
    }
  }
};

// Normal deviates by Box-Muller on a fixed generator, so the data do not depend on the standard
// library's distributions.
struct Normal {
  std::mt19937_64 gen;
  explicit Normal(unsigned seed) : gen(seed) {}
  double uniform() { return (gen() >> 11) * (1.0 / 9007199254740992.0); }
  double operator()() {
    double u = uniform(), v = uniform();
    return std::sqrt(-2.0 * std::log(1.0 - u)) * std::cos(2.0 * M_PI * v);
  }
};

// Two traits on the design (genotype 0/1/2, intercept, binary covariate), Sigma = [1 .5; .5 2];
// a trait of a subject is missing with probability miss (each trait on its own). With
// `continuous` the covariate is standard normal (every sequenced subject a design row of its
// own), and `extra` further standard normal columns without effect follow it.
inline void two_trait_data(unsigned seed, int nseq, int nnon, double miss,
                           std::vector<Subject> &seq, std::vector<Subject> &nonseq,
                           bool continuous = false, int extra = 0) {
  Normal z(seed);
  for (int i = 0; i < nseq + nnon; i++) {
    double u = z.uniform(), g = u < 0.5 ? 0.0 : (u < 0.85 ? 1.0 : 2.0);
    double x = continuous ? z() : (z.uniform() < 0.4 ? 1.0 : 0.0);
    double e1 = z(), e2 = 0.5 * e1 + std::sqrt(1.75) * z();
    Subject s{{g, 1.0, x}, {0.5 * g + 1.0 + 0.4 * x + e1, -0.3 * g + 2.0 + 0.2 * x + e2}};
    for (int l = 0; l < extra; l++) s.row.push_back(z());
    for (double &yk : s.y)
      if (z.uniform() < miss)
        yk = NAN;
    if (i >= nseq)
      s.row.clear();
    (i < nseq ? seq : nonseq).push_back(s);
  }
}

// Observed information -d2 l / d theta2 of a log-likelihood by central differences (step `step`
// times the parameter's scale) at th[1..np], and its gradient into `gradient` (both 1-based),
// by central differences with a step a hundred times smaller: a gradient has less rounding error
// to fear than a second difference, whose rounding error grows as 1/step^2.
inline Rows fd_information(const std::function<double(const std::vector<double> &)> &loglik,
                           const std::vector<double> &th, std::vector<double> &gradient,
                           double step = 1e-4) {
  int np = static_cast<int>(th.size()) - 1;
  std::vector<double> h(np + 1);
  for (int i = 1; i <= np; i++) h[i] = step * std::max(0.1, std::fabs(th[i]));
  auto at = [&](int i, double di, int j, double dj) {
    std::vector<double> x = th;
    x[i] += di;
    x[j] += dj;
    return loglik(x);
  };
  gradient.assign(np + 1, 0.0);
  Rows info(np, std::vector<double>(np));
  double l0 = loglik(th);
  for (int i = 1; i <= np; i++) {
    double hg = 0.01 * h[i];
    gradient[i] = (at(i, hg, i, 0.0) - at(i, -hg, i, 0.0)) / (2 * hg);
    info[i - 1][i - 1] = -(at(i, h[i], i, 0.0) - 2 * l0 + at(i, -h[i], i, 0.0)) / (h[i] * h[i]);
    for (int j = 1; j < i; j++)
      info[i - 1][j - 1] = info[j - 1][i - 1] = -(at(i, h[i], j, h[j]) - at(i, h[i], j, -h[j]) -
                                                  at(i, -h[i], j, h[j]) + at(i, -h[i], j, -h[j])) /
                                                (4 * h[i] * h[j]);
  }
  return info;
}

// Checks the covariance matrix held in Q1's upper triangle over 1..order against ref (0-based):
// standard errors to a relative tol, the other entries as correlations to an absolute tol.
inline void expect_covariance(double **Q1, const Rows &ref, int order, double tol) {
  for (int i = 1; i <= order; i++) {
    double se = std::sqrt(ref[i - 1][i - 1]);
    EXPECT_NEAR(std::sqrt(Q1[i][i]) / se, 1.0, tol) << "parameter " << i;
    for (int j = i + 1; j <= order; j++) {
      double scale = se * std::sqrt(ref[j - 1][j - 1]);
      EXPECT_NEAR(Q1[i][j] / scale, ref[i - 1][j - 1] / scale, tol)
          << "parameters " << i << ", " << j;
    }
  }
}

}  // namespace engine_test

#endif  // VARNOSTA_TESTS_ENGINE_ENGINE_FIXTURE_H
