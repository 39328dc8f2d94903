// Test support for the engine: small data sets laid out as the driver lays them out (subjects
// grouped by missing pattern, unique covariate table built by hand), the engine's arrays, and an
// independent observed-data log-likelihood of the joint model written from the model itself.
#ifndef VARNOSTA_TESTS_ENGINE_ENGINE_FIXTURE_H
#define VARNOSTA_TESTS_ENGINE_ENGINE_FIXTURE_H

#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "engine/func_algorithm.h"
#include "toolkit/func_linear_algebra.h"

extern int K;
extern int p;

namespace engine_hooks {
extern int em_iteration_limit;
}

namespace engine_test {

constexpr double kMissing = -999.0;

// A subject: its design row (empty for a non-sequenced subject) and traits (NaN = missing).
struct Subject {
  std::vector<double> row;
  std::vector<double> y;
};

// Restores the EM iteration limit when a test that lowered it ends.
struct IterationLimit {
  explicit IterationLimit(int limit) { engine_hooks::em_iteration_limit = limit; }
  ~IterationLimit() { engine_hooks::em_iteration_limit = 500; }
};

// Everything one fit and its information matrix need, sized as the driver sizes them.
struct Model {
  int nK = 0, w = 0, m = 0, n = 0, N = 0, J = 0, dimST = 0, dim = 0, nphi = 0, dimQ1 = 0;
  double **Y = nullptr, **W = nullptr, **W_Uni = nullptr;
  int *mis_pats = nullptr, *mis_patn = nullptr, *nobs = nullptr, *nmis = nullptr;
  int **mis_R = nullptr, **Mis = nullptr, **Obs = nullptr, **twoIND = nullptr;
  int *n_UniW = nullptr, *ind_UniW = nullptr;
  double *Sigma0 = nullptr, **Sigma = nullptr, **eta0 = nullptr, *q = nullptr, *q0 = nullptr;
  double **phi = nullptr, **phiY = nullptr, **T = nullptr, *Tobs = nullptr, **Weta = nullptr;
  double *c = nullptr, **Q1 = nullptr, *l1 = nullptr, **c_var = nullptr, **c2 = nullptr;
  double **WW = nullptr, ***c3 = nullptr, *se = nullptr, *pval = nullptr;

  Model(int traits, const std::vector<Subject> &seq, const std::vector<Subject> &nonseq) {
    nK = traits;
    w = static_cast<int>(seq.front().row.size());
    m = static_cast<int>(seq.size());
    n = m + static_cast<int>(nonseq.size());
    allocate_patterns(seq, nonseq);
    build_unique_rows(seq);
    dimST = nK * w + nK * (nK + 1) / 2;
    dim = dimST + J;
    dimQ1 = dimST + m;
    allocate_model();
  }
  Model(const Model &) = delete;
  Model &operator=(const Model &) = delete;

  ~Model() {
    int N1 = N + 1;
    free_dmatrix(Y, 1, n, 1, nK);
    free_dmatrix(W, 1, m, 1, w);
    free_dmatrix(W_Uni, 1, m, 1, w);
    free_ivector(mis_pats, 1, N1);
    free_ivector(mis_patn, 1, N1);
    free_ivector(nobs, 1, N);
    free_ivector(nmis, 1, N);
    free_imatrix(mis_R, 1, N, 1, nK);
    free_imatrix(Mis, 1, N, 1, nK);
    free_imatrix(Obs, 1, N, 1, nK);
    free_imatrix(twoIND, 1, nK, 1, nK);
    free_ivector(n_UniW, 1, m);
    free_ivector(ind_UniW, 1, m);
    free_dvector(Sigma0, 1, nK);
    free_dmatrix(Sigma, 1, nK, 1, nK);
    free_dmatrix(eta0, 1, w, 1, nK);
    free_dvector(q, 1, m);
    free_dvector(q0, 1, m);
    free_dmatrix(phi, 1, nphi, 1, m);
    free_dmatrix(phiY, 1, m, 1, nK);
    free_dmatrix(T, 1, w + nK, 1, w + nK);
    free_dvector(Tobs, 1, w + nK);
    free_dmatrix(Weta, 1, m, 1, nK);
    free_dvector(c, 1, nK);
    free_dmatrix(Q1, 1, dimQ1, 1, dimQ1);
    free_dvector(l1, 1, dimQ1);
    free_dmatrix(c_var, 1, nK, 1, nK);
    free_dmatrix(c2, 1, nK, 1, nK);
    free_dmatrix(WW, 1, w, 1, w);
    free_dmatrix3(c3, 1, nK, 1, nK, 1, nK);
    free_dvector(se, 1, nK);
    free_dvector(pval, 1, nK);
  }

  void fit() {
    ::K = nK;
    ::p = w;
    EM_algorithm_v5(m, n, N, Sigma0, Sigma, eta0, q, q0, phi, phiY, T, Tobs, Weta, c, Y, W,
                    mis_pats, mis_patn, mis_R, Mis, Obs, nobs, nmis, J, n_UniW, ind_UniW, W_Uni);
  }
  void information() {
    ::K = nK;
    ::p = w;
    Variance_v3(n, m, N, dim, dimST, Q1, l1, eta0, Sigma, Sigma0, q, phi, phiY, Weta, c, W, Y,
                c_var, T, twoIND, c2, WW, c3, nobs, nmis, Mis, Obs, mis_R, mis_pats, mis_patn, J,
                n_UniW, ind_UniW, W_Uni);
  }

  // The fitted parameters in the order of the information matrix, the last mass left out.
  std::vector<double> theta() const {
    std::vector<double> th(dim);  // th[1..dim-1]
    for (int k = 1; k <= nK; k++)
      for (int l = 1; l <= w; l++) th[(k - 1) * w + l] = eta0[l][k];
    for (int a = 1; a <= nK; a++)
      for (int b = a; b <= nK; b++) th[twoIND[a][b]] = Sigma[a][b];
    for (int j = 1; j < J; j++) th[dimST + j] = q[j];
    return th;
  }

  // Observed-data log-likelihood at th (as from theta()), written directly from the model:
  // sequenced subjects log N(y_obs; mean_obs, Sigma_obs) + log q_u, non-sequenced subjects
  // log sum_j q_j N(y_obs; W_Uni[j] B, Sigma_obs). Constants are dropped.
  double loglik(const std::vector<double> &th) const {
    std::vector<double> mass(J + 1);
    double last = 1.0;
    for (int j = 1; j < J; j++) {
      mass[j] = th[dimST + j];
      last -= mass[j];
    }
    mass[J] = last;
    double total = 0.0;
    for (int t = 1; t <= N; t++) {
      for (int i = mis_pats[t] + 1; i <= mis_pats[t + 1]; i++)
        total += log_density(th, t, Y[i], ind_UniW[i]) + std::log(mass[ind_UniW[i]]);
      for (int i = mis_patn[t] + 1; i <= mis_patn[t + 1]; i++) {
        std::vector<double> terms(J + 1);
        double big = -INFINITY;
        for (int j = 1; j <= J; j++) {
          terms[j] = log_density(th, t, Y[i], j) + std::log(mass[j]);
          big = std::max(big, terms[j]);
        }
        double sum = 0.0;
        for (int j = 1; j <= J; j++) sum += std::exp(terms[j] - big);
        total += big + std::log(sum);
      }
    }
    return total;
  }

 private:
  double log_density(const std::vector<double> &th, int t, const double *y, int j) const {
    int d = nobs[t];
    if (d == 0)
      return 0.0;
    gsl_matrix *S = gsl_matrix_alloc(d, d);
    gsl_vector *r = gsl_vector_alloc(d);
    for (int a = 0; a < d; a++) {
      int oa = Obs[t][a + 1];
      double mu = 0.0;
      for (int l = 1; l <= w; l++) mu += W_Uni[j][l] * th[(oa - 1) * w + l];
      gsl_vector_set(r, a, y[oa] - mu);
      for (int b = 0; b < d; b++) {
        int ob = Obs[t][b + 1];
        gsl_matrix_set(S, a, b, th[twoIND[std::min(oa, ob)][std::max(oa, ob)]]);
      }
    }
    gsl_linalg_cholesky_decomp1(S);
    double logdet = 0.0;
    for (int a = 0; a < d; a++) logdet += 2.0 * std::log(gsl_matrix_get(S, a, a));
    gsl_vector *x = gsl_vector_alloc(d);
    gsl_linalg_cholesky_solve(S, r, x);
    double quad = 0.0;
    for (int a = 0; a < d; a++) quad += gsl_vector_get(r, a) * gsl_vector_get(x, a);
    gsl_vector_free(x);
    gsl_vector_free(r);
    gsl_matrix_free(S);
    return -0.5 * (logdet + quad);
  }

  static int pattern_code(const Subject &s) {
    int code = 0;
    for (size_t k = 0; k < s.y.size(); k++)
      if (!std::isnan(s.y[k]))
        code += 1 << k;
    return code;
  }

  // Subjects grouped by pattern code in ascending order, sequenced rows first.
  void allocate_patterns(const std::vector<Subject> &seq, const std::vector<Subject> &nonseq) {
    std::set<int> codes;
    for (const auto &s : seq) codes.insert(pattern_code(s));
    for (const auto &s : nonseq) codes.insert(pattern_code(s));
    N = static_cast<int>(codes.size());
    Y = dmatrix(1, n, 1, nK);
    W = dmatrix(1, m, 1, w);
    mis_pats = ivector(1, N + 1);
    mis_patn = ivector(1, N + 1);
    nobs = ivector(1, N);
    nmis = ivector(1, N);
    mis_R = imatrix(1, N, 1, nK);
    Mis = imatrix(1, N, 1, nK);
    Obs = imatrix(1, N, 1, nK);
    mis_pats[1] = 0;
    mis_patn[1] = m;
    int t = 0, is = 0, in = m;
    for (int code : codes) {
      t++;
      nobs[t] = nmis[t] = 0;
      for (int k = 1; k <= nK; k++) {
        mis_R[t][k] = (code >> (k - 1)) & 1;
        if (mis_R[t][k])
          Obs[t][++nobs[t]] = k;
        else
          Mis[t][++nmis[t]] = k;
      }
      for (const auto &s : seq)
        if (pattern_code(s) == code) {
          copy_traits(s, Y[++is]);
          for (int l = 1; l <= w; l++) W[is][l] = s.row[l - 1];
        }
      for (const auto &s : nonseq)
        if (pattern_code(s) == code)
          copy_traits(s, Y[++in]);
      mis_pats[t + 1] = is;
      mis_patn[t + 1] = in;
    }
  }

  void copy_traits(const Subject &s, double *y) const {
    for (int k = 1; k <= nK; k++) y[k] = std::isnan(s.y[k - 1]) ? kMissing : s.y[k - 1];
  }

  // Distinct rows of W in order of first appearance.
  void build_unique_rows(const std::vector<Subject> &) {
    W_Uni = dmatrix(1, m, 1, w);
    n_UniW = ivector(1, m);
    ind_UniW = ivector(1, m);
    std::map<std::vector<double>, int> seen;
    J = 0;
    for (int i = 1; i <= m; i++) {
      std::vector<double> row(W[i] + 1, W[i] + w + 1);
      auto it = seen.find(row);
      if (it == seen.end()) {
        it = seen.emplace(row, ++J).first;
        for (int l = 1; l <= w; l++) W_Uni[J][l] = row[l - 1];
        n_UniW[J] = 0;
      }
      ind_UniW[i] = it->second;
      n_UniW[it->second]++;
    }
  }

  void allocate_model() {
    nphi = std::max(1, n - m);
    twoIND = imatrix(1, nK, 1, nK);
    int pos = nK * w;
    for (int a = 1; a <= nK; a++)
      for (int b = a; b <= nK; b++) twoIND[a][b] = ++pos;
    Sigma0 = dvector(1, nK);
    Sigma = dmatrix(1, nK, 1, nK);
    eta0 = dmatrix(1, w, 1, nK);
    q = dvector(1, m);
    q0 = dvector(1, m);
    phi = dmatrix(1, nphi, 1, m);
    phiY = dmatrix(1, m, 1, nK);
    T = dmatrix(1, w + nK, 1, w + nK);
    Tobs = dvector(1, w + nK);
    Weta = dmatrix(1, m, 1, nK);
    c = dvector(1, nK);
    Q1 = dmatrix(1, dimQ1, 1, dimQ1);
    l1 = dvector(1, dimQ1);
    c_var = dmatrix(1, nK, 1, nK);
    c2 = dmatrix(1, nK, 1, nK);
    WW = dmatrix(1, w, 1, w);
    c3 = dmatrix3(1, nK, 1, nK, 1, nK);
    se = dvector(1, nK);
    pval = dvector(1, nK);
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
// a trait of a subject is missing with probability miss (each trait on its own).
inline void two_trait_data(unsigned seed, int nseq, int nnon, double miss,
                           std::vector<Subject> &seq, std::vector<Subject> &nonseq) {
  Normal z(seed);
  const double B[3][2] = {{0.5, -0.3}, {1.0, 2.0}, {0.4, 0.2}};
  for (int i = 0; i < nseq + nnon; i++) {
    double u = z.uniform();
    double g = u < 0.5 ? 0.0 : (u < 0.85 ? 1.0 : 2.0);
    double x = z.uniform() < 0.4 ? 1.0 : 0.0;
    double e1 = z(), e2 = 0.5 * e1 + std::sqrt(1.75) * z();
    Subject s;
    s.row = {g, 1.0, x};
    s.y = {B[0][0] * g + B[1][0] + B[2][0] * x + e1, B[0][1] * g + B[1][1] + B[2][1] * x + e2};
    for (double &yk : s.y)
      if (z.uniform() < miss)
        yk = NAN;
    if (i < nseq) {
      seq.push_back(s);
    } else {
      s.row.clear();
      nonseq.push_back(s);
    }
  }
}

}  // namespace engine_test

#endif  // VARNOSTA_TESTS_ENGINE_ENGINE_FIXTURE_H
