// The constrained fit of the score tests and the efficient scores: closed forms with complete
// data, and a finite-difference check against the independent log-likelihood of the fixture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"
#include "tests/test_support.h"
#include "toolkit/func_stat.h"

using engine_test::IterationLimit;
using engine_test::Model;
using engine_test::Normal;
using engine_test::Subject;
using varnosta_test::gsl_spd_inverse;
using varnosta_test::Rows;

namespace {

// `traits` traits on the design (ngen genotype columns, intercept, binary covariate): trait k gets
// 0.6, -0.4, 0.3 times the sum of the genotypes, intercept k and 0.5 x, and correlated normal
// noise. Each trait of a subject is missing with probability miss.
void trait_data(unsigned seed, int traits, int ngen, int nseq, int nnon, double miss,
                std::vector<Subject> &seq, std::vector<Subject> &nonseq) {
  const double effect[] = {0.6, -0.4, 0.3};
  const double chol[3][3] = {{1.0, 0, 0}, {0.5, 1.3, 0}, {0.3, 0.2, 1.1}};
  Normal z(seed);
  for (int i = 0; i < nseq + nnon; i++) {
    Subject s;
    double sum = 0.0;
    for (int j = 0; j < ngen; j++) {
      double u = z.uniform(), g = u < 0.55 ? 0.0 : (u < 0.9 || j > 0 ? 1.0 : 2.0);
      s.row.push_back(g);
      sum += g;
    }
    double x = z.uniform() < 0.4 ? 1.0 : 0.0, e[3] = {z(), z(), z()};
    s.row.push_back(1.0);
    s.row.push_back(x);
    for (int k = 0; k < traits; k++) {
      double noise = 0.0;
      for (int l = 0; l <= k; l++) noise += chol[k][l] * e[l];
      s.y.push_back(z.uniform() < miss ? NAN : effect[k] * sum + (k + 1) + 0.5 * x + noise);
    }
    if (i >= nseq)
      s.row.clear();
    (i < nseq ? seq : nonseq).push_back(s);
  }
}

// Generalised least squares with complete data, written out: the coefficients B (0-based, w x K,
// B[0][t-1] = 0) that solve sum_k2 s_kk2 X_l'(y_k2 - X B_k2) = 0 for every free (k, l), with
// s = Sinv; X the sequenced design rows, Y their traits.
Rows gls(const Model &d, int t, const Rows &Sinv) {
  const int w = d.w, traits = d.nK;
  std::vector<std::pair<int, int>> free;  // (k, l), 0-based
  for (int k = 0; k < traits; k++)
    for (int l = (k == t - 1 ? 1 : 0); l < w; l++) free.push_back({k, l});
  const size_t nf = free.size();
  Rows A(nf, std::vector<double>(nf, 0.0)), rhs(nf, std::vector<double>(1, 0.0));
  for (int i = 1; i <= d.m; i++)
    for (size_t a = 0; a < nf; a++) {
      auto [k, l] = free[a];
      for (int k2 = 0; k2 < traits; k2++) rhs[a][0] += Sinv[k][k2] * d.W[i][l + 1] * d.Y[i][k2 + 1];
      for (size_t b = 0; b < nf; b++)
        A[a][b] += Sinv[k][free[b].first] * d.W[i][l + 1] * d.W[i][free[b].second + 1];
    }
  Rows x = varnosta_test::product(gsl_spd_inverse(A), rhs), B(w, std::vector<double>(traits, 0.0));
  for (size_t a = 0; a < nf; a++) B[free[a].second][free[a].first] = x[a][0];
  return B;
}

// Residual cross products of B over n (0-based K x K); every subject sequenced.
Rows residual_covariance(const Model &d, const Rows &B) {
  const int traits = d.nK;
  Rows S(traits, std::vector<double>(traits, 0.0));
  for (int i = 1; i <= d.m; i++) {
    std::vector<double> e(traits);
    for (int k = 0; k < traits; k++) {
      e[k] = d.Y[i][k + 1];
      for (int l = 0; l < d.w; l++) e[k] -= d.W[i][l + 1] * B[l][k];
    }
    for (int a = 0; a < traits; a++)
      for (int b = 0; b < traits; b++) S[a][b] += e[a] * e[b] / d.n;
  }
  return S;
}

// The efficient score (U, V) of the parameters at positions `tested` (1-based, in the order of
// U) of loglik at th from a finite-difference gradient and information (tests/independent_model.h),
// the raw score (the gradient of the tested parameters) and the largest nuisance gradient in
// units of its standard error under the nuisance information (the fit's stationarity).
struct FdScore : indep::Efficient {
  std::vector<double> raw;
  double stationarity = 0.0;
};

FdScore fd_score(const std::function<double(const std::vector<double> &)> &loglik,
                 const std::vector<double> &th, const std::vector<int> &tested) {
  std::vector<double> grad, g;
  const Rows I = engine_test::fd_information(loglik, th, grad, 1e-3);
  for (size_t i = 1; i < th.size(); i++) g.push_back(-grad[i]);
  std::vector<size_t> T;
  FdScore f;
  for (int x : tested) {
    T.push_back(x - 1);
    f.raw.push_back(grad[x]);
  }
  static_cast<indep::Efficient &>(f) = indep::schur(g, I, T);
  Rows INN;
  for (size_t a : f.N) {
    INN.emplace_back();
    for (size_t b : f.N) INN.back().push_back(I[a][b]);
  }
  const Rows inv = gsl_spd_inverse(INN);
  for (size_t a = 0; a < f.N.size(); a++)
    f.stationarity = std::max(f.stationarity, std::fabs(g[f.N[a]]) * std::sqrt(inv[a][a]));
  return f;
}

// U[1..G], V[1..G][1..G] against the reference: every score in units of its standard error
// sqrt(V_xx), every variance entry relative to sqrt(V_xx V_yy).
void expect_score(const double *U, double **V, const std::vector<double> &Uref, const Rows &Vref,
                  double tol, const std::string &what) {
  for (size_t x = 0; x < Uref.size(); x++) {
    double se = std::sqrt(Vref[x][x]);
    EXPECT_NEAR(U[x + 1] / se, Uref[x] / se, tol) << what << ", U " << x + 1;
    for (size_t y = 0; y < Uref.size(); y++)
      EXPECT_NEAR(V[x + 1][y + 1] / (se * std::sqrt(Vref[y][y])),
                  Vref[x][y] / (se * std::sqrt(Vref[y][y])), tol)
          << what << ", V " << x + 1 << ", " << y + 1;
  }
}

// The table of row pointers rows[j] = W_Uni[j] + shift: the distinct rows without their first
// `shift` columns, as the null fit reads them.
std::vector<double *> shifted_rows(const Model &d, int shift) {
  std::vector<double *> rows(d.J + 1, nullptr);
  for (int j = 1; j <= d.J; j++) rows[j] = d.W_Uni[j] + shift;
  return rows;
}

// The distinct rows of a gene design (nGen variant columns, then p - 1 covariate columns)
// condensed to p columns, the first the sum of the variant columns.
double **condensed_rows(Model &d, int nGen) {
  const int pc = d.w - nGen + 1;
  double **C = d.pool.mat(d.J, pc);
  for (int j = 1; j <= d.J; j++) {
    C[j][1] = 0.0;
    for (int l = 1; l <= nGen; l++) C[j][1] += d.W_Uni[j][l];
    for (int l = 2; l <= pc; l++) C[j][l] = d.W_Uni[j][nGen + l - 1];
  }
  return C;
}

// rareUV_indi_score_skat for trait t at the fit on C (p columns), the gene rows being W_Uni;
// the covariance entries numbered from K p + nGen on.
void gene_score(Model &d, int t, int nGen, double **C, double *U, double **V) {
  const int pc = d.w - nGen + 1, nK = d.nK, dimST = nK * pc - 1 + nGen + nK * (nK + 1) / 2;
  int **twoIND = d.pool.imat(nK, nK);
  for (int a = 1, pos = nK * pc + nGen - 1; a <= nK; a++)
    for (int b = a; b <= nK; b++) twoIND[a][b] = ++pos;
  ::K = nK;
  ::p = -1;
  rareUV_indi_score_skat(t, pc, d.n, d.m, d.N, nGen, d.J + dimST, dimST, V, U, d.Q1, d.l1, d.eta0,
                         d.Sigma, d.Sigma0, d.SigmaInv, d.q, d.phi, d.phiY, d.Weta, d.c, d.W, d.Y,
                         d.c_var, twoIND, d.c2, d.c3, d.nobs, d.nmis, d.Mis, d.Obs, d.mis_R,
                         d.mis_pats, d.mis_patn, d.J, d.n_UniW, d.ind_UniW, C, d.W, d.W_Uni);
}

}  // namespace

// One trait, every trait value observed, every subject sequenced. The fit's first iteration is
// already the least-squares fit of the covariate-only design with the covariance RSS/n (its
// first pass, with SigmaInv = I, solves the normal equations; for one trait SigmaInv is a scalar
// and the second pass repeats them); the second iteration changes nothing. The genetic
// coefficient is exactly zero.
//
// Score in closed form. With residuals e of that fit, s2 = e'e / n, g the genotypes and X the
// covariate design, the log-likelihood sum_i -log(s2) / 2 - (y_i - g_i b - x_i'c)^2 / (2 s2) has
// at b = 0 the score U = g'e / s2 and the observed information
//   I_bb = g'g / s2,  I_bc = g'X / s2,  I_cc = X'X / s2,
//   I_b,s2 = g'e / s2^2 = U / s2 (not zero: the fit leaves g out, so g'e is not zero),
//   I_c,s2 = X'e / s2^2 = 0 (normal equations),
//   I_s2,s2 = -n / (2 s2^2) + e'e / s2^3 = n / (2 s2^2),
// and the masses separate from the rest. So V = I_bb - I_bc I_cc^-1 I_cb - I_b,s2^2 / I_s2,s2
// = g'(I - X (X'X)^-1 X')g / s2 - 2 U^2 / n: the least-squares score test's variance less
// 2 U^2 / n, its score unchanged. The null fit with rareUV and the one-variant gene score give
// the same. A covariance shrunk fourfold before the score makes the nuisance block indefinite:
// with s the inverse of the shrunk variance, its variance entry is n s^2 (3/4 + 1/4 - 2) < 0.
// Then flag_positiveQ1 is false, and U and V are the uncorrected s g'e and s g'g. A second data
// set has one distinct design row (J = 1: no mass left after the reduction); there U and V
// vanish.
TEST(EngineScore, OneTraitCompleteDataInClosedForm) {
  for (bool one_row : {false, true}) {
    Normal z(23);
    std::vector<Subject> seq, none;
    for (int i = 0; i < 60; i++) {
      double g = (i % 5 == 0) ? 2.0 : (i % 3 == 0 ? 1.0 : 0.0), x = z.uniform() < 0.5;
      if (one_row)
        seq.push_back({{1.0, 1.0}, {1.0 + z()}});
      else
        seq.push_back({{g, 1.0, x}, {0.6 * g + 1.0 + 0.5 * x + z()}});
    }
    Model d(1, seq, none);
    ASSERT_EQ(d.J == 1, one_row);
    Rows b = gls(d, 1, {{1.0}}), S = residual_covariance(d, b);
    for (int limit : {1, 2}) {
      IterationLimit cap(limit);
      d.fit_constrained(1);
      EXPECT_EQ(flag_nonconvergence, limit == 1);
      EXPECT_EQ(d.eta0[1][1], 0.0);
      for (int l = 2; l <= d.w; l++) EXPECT_NEAR(d.eta0[l][1], b[l - 1][0], 1e-12);
      EXPECT_NEAR(d.Sigma[1][1], S[0][0], 1e-12);
      EXPECT_NEAR(d.SigmaInv[1][1], 1.0 / S[0][0], 1e-10);
      for (int j = 1; j <= d.J; j++) EXPECT_DOUBLE_EQ(d.q[j], double(d.n_UniW[j]) / d.n);
    }

    varnosta_test::Vec y(d.m);
    double Uls, Vls, gg = 0.0;
    for (int i = 1; i <= d.m; i++) {
      y[i] = d.Y[i][1];
      gg += d.W[i][1] * d.W[i][1];
    }
    LinearReg_beta_score(y.v, d.W, Uls, Vls, d.m, d.w);
    const double s = 1.0 / S[0][0], scale = std::sqrt(s * gg);  // sd of U under the model
    std::vector<double *> covariates = shifted_rows(d, 1);
    double **B = d.pool.mat(d.w, 1), *U = d.pool.vec(1), **V = d.pool.mat(1, 1);
    for (double shrink : {1.0, 0.25}) {
      for (int routine = 1; routine <= 3; routine++) {
        std::string what = std::string(one_row ? "J = 1" : "J > 1") + ", shrink " +
                           std::to_string(shrink) + ", routine " + std::to_string(routine);
        if (routine == 2) {
          d.fit_null(d.w - 1, covariates.data());
          B[1][1] = 0.0;
          for (int l = 2; l <= d.w; l++) B[l][1] = d.eta0[l - 1][1];
        } else {
          d.fit_constrained(1);
        }
        d.Sigma[1][1] *= shrink;
        if (routine == 1)
          d.score(1, U, V);
        else if (routine == 2)
          d.score_all_traits(1, B, U, V);
        else
          gene_score(d, 1, 1, d.W_Uni, U, V);
        EXPECT_EQ(flag_positiveQ1, shrink == 1.0) << what;
        double Uref = shrink == 1.0 ? Uls : Uls / shrink;
        double Vref = shrink == 1.0 ? Vls - 2 * Uls * Uls / d.n : s * gg / shrink;
        EXPECT_NEAR(U[1] / scale, Uref / scale, 1e-10) << what;
        EXPECT_NEAR(V[1][1] / (scale * scale), Vref / (scale * scale), 1e-10) << what;
      }
    }
  }
}

// Two traits, complete data: the first iteration makes two passes, the first from SigmaInv = I
// (ordinary least squares trait by trait) and the second from the inverse of the covariance the
// first pass produced; one pass, or a first pass from anything but the identity, gives other
// numbers after one iteration.
TEST(EngineScore, FirstIterationIsTwoPassesFromTheIdentity) {
  std::vector<Subject> seq, none;
  trait_data(5, 2, 1, 50, 0, 0.0, seq, none);
  Model d(2, seq, none);
  for (int t = 1; t <= 2; t++) {
    Rows S1 = residual_covariance(d, gls(d, t, varnosta_test::identity(2)));
    Rows B = gls(d, t, gsl_spd_inverse(S1)), S = residual_covariance(d, B);
    IterationLimit one(1);
    d.fit_constrained(t);
    for (int k = 1; k <= 2; k++) {
      for (int l = 1; l <= d.w; l++) EXPECT_NEAR(d.eta0[l][k], B[l - 1][k - 1], 1e-12);
      for (int k2 = 1; k2 <= 2; k2++) EXPECT_NEAR(d.Sigma[k][k2], S[k - 1][k2 - 1], 1e-12);
    }
  }
}

// Traits that leave no positive definite covariance pass the design check but not the fit: two
// traits equal up to a linear function (the fit then drives their covariance to singularity and
// the least-squares system stops being positive definite), a trait observed in every subject
// with one value (its variance becomes zero or negative by rounding). The fit ends with
// flag_fit_singular set instead of stopping the run, whichever trait is held; a usable fit
// clears the flag again.
TEST(EngineScore, DegenerateTraitsEndTheFitWithAFlag) {
  for (int kind = 1; kind <= 3; kind++) {
    std::vector<Subject> seq, nonseq;
    trait_data(4, 2, 1, 60, 20, kind == 1 ? 0.1 : 0.0, seq, nonseq);
    for (auto *group : {&seq, &nonseq})
      for (Subject &s : *group) {
        if (kind == 1)
          s.y[1] = 2.0 * s.y[0] + 1.0;
        else if (kind == 2)
          s.y[1] = 5.0;
        else
          s.y = {5.0};
      }
    Model d(kind == 3 ? 1 : 2, seq, nonseq);
    for (int t = 1; t <= d.nK; t++) {
      d.fit_constrained(t);
      EXPECT_TRUE(flag_fit_singular) << "kind " << kind << ", trait " << t;
    }
  }
  std::vector<Subject> seq, nonseq;
  trait_data(4, 2, 1, 60, 20, 0.1, seq, nonseq);
  Model d(2, seq, nonseq);
  d.fit_constrained(1);
  EXPECT_FALSE(flag_fit_singular);
}

// One trait tested at a time, 50 of 200 subjects non-sequenced, each trait missing with
// probability 0.15 (every pattern occurs, the one without any observed trait included), each
// trait tested in turn: one genotype column with two and three traits, and a gene's two variants
// as the tested trait's own columns while the other traits carry their sum (the one-trait SKAT
// layout: the blocks of the traits after t start one place later) with three. The constrained
// fit is a stationary point of the independent log-likelihood in every free parameter (that of
// the fixture on the full gene rows, the other traits' variant coefficients tied to one value);
// U and V of the gene score match the efficient score and its variance from a finite-difference
// gradient and Hessian there; with one column rareUV_indi_score gives the same numbers.
//
// Tolerances of the finite-difference checks (this test and the two after it). Agreement is to
// the fit's accuracy: the EM stops once its L1 step is below 1e-4, U and the information come from
// the last iterate, and the information uses identities of the fixed point. The Hessian is taken
// with steps of 1e-3 of a parameter's scale (smaller steps let the rounding error of the second
// differences, which grows as 1/step^2, dominate the Schur complement). The gaps observed are
// at most 4e-5 in units of a standard error (scores) or of sqrt(V_xx V_yy) (variances), and
// about 3e-5 remain when the fit is run to 1e-11, so most of them are the finite differences'.
// The tolerance is 2e-4; dropping the covariance-mass term, the smallest Louis term, moves V of
// the gene score by 5e-4, the other Louis terms and the two coefficient-covariance terms of the
// score move it by more than 1e-2.
TEST(EngineScore, OneTraitScoreMatchesFiniteDifferences) {
  for (const auto &[nK, nGen] : {std::pair{2, 1}, {3, 1}, {3, 2}}) {
    std::vector<Subject> seq, nonseq;
    trait_data(nGen == 1 ? 40 + nK : 14, nK, nGen, 150, 50, 0.15, seq, nonseq);
    Model d(nK, seq, nonseq);
    ASSERT_EQ(d.nobs[1], 0);
    const int pc = d.w - nGen + 1;
    double **C = condensed_rows(d, nGen), *U = d.pool.vec(nGen), **V = d.pool.mat(nGen, nGen);
    double *U1 = d.pool.vec(1), **V1 = d.pool.mat(1, 1);
    for (int t = 1; t <= nK; t++) {
      const std::string what = "K " + std::to_string(nK) + ", " + std::to_string(nGen) +
                               " column(s), trait " + std::to_string(t);
      d.fit_constrained(t, pc, C);
      ASSERT_FALSE(flag_nonconvergence);
      EXPECT_EQ(d.eta0[1][t], 0.0);
      // Gene-layout parameters: trait k's block starts at o_k (after t: nGen - 1 further on).
      auto o = [&](int k) { return (k - 1) * pc + (k > t ? nGen - 1 : 0); };
      const int dimST = nK * pc - 1 + nGen + nK * (nK + 1) / 2;
      std::vector<double> th(dimST + d.J);
      for (int k = 1; k <= nK; k++)
        for (int l = 1; l <= pc; l++) {
          if (k != t)
            th[o(k) + l] = d.eta0[l][k];
          else if (l > 1)
            th[o(k) + nGen + l - 1] = d.eta0[l][k];
        }
      for (int a = 1, pos = nK * pc + nGen - 1; a <= nK; a++)
        for (int b = a; b <= nK; b++) th[++pos] = d.Sigma[a][b];
      for (int j = 1; j < d.J; j++) th[dimST + j] = d.q[j];
      // The same point in the fixture's layout (every trait on the full rows).
      auto full = [&](const std::vector<double> &g) {
        std::vector<double> x(d.dim);
        for (int k = 1; k <= nK; k++)
          for (int l = 1; l <= d.w; l++)
            x[(k - 1) * d.w + l] = k == t ? g[o(k) + l] : g[o(k) + std::max(1, l - nGen + 1)];
        for (int i = 1; i < static_cast<int>(g.size()) - (nK * pc - 1 + nGen); i++)
          x[nK * d.w + i] = g[nK * pc - 1 + nGen + i];
        return d.loglik(x);
      };
      std::vector<int> tested;
      for (int j = 1; j <= nGen; j++) tested.push_back(o(t) + j);
      FdScore f = fd_score(full, th, tested);
      EXPECT_LT(f.stationarity, 1e-3) << what;
      gene_score(d, t, nGen, C, U, V);
      ASSERT_TRUE(flag_positiveQ1);
      expect_score(U, V, f.U, f.V, 2e-4, what);
      if (nGen > 1)
        continue;
      d.fit_constrained(t);
      d.score(t, U1, V1);
      EXPECT_NEAR(U1[1], U[1], 1e-10 * std::sqrt(V[1][1])) << what;
      EXPECT_NEAR(V1[1][1], V[1][1], 1e-10 * V[1][1]) << what;
    }
  }
}

// Away from the fit the nuisance score is not zero, and the score must be corrected for it. With
// every trait observed and every subject sequenced the Louis information is the exact observed
// information at any coefficients whose covariance is their residual cross products over n (the
// one identity it uses, sum_i z_i z_i' = n s, then holds): so with the free coefficients moved
// off the fit by about half a standard error, U and V still equal the efficient score and
// variance from finite differences, to their accuracy (tolerance as above). Without the
// nuisance-score correction U is off by up to 0.3 standard errors, without the -c_k s_ab term V
// by a fifth.
TEST(EngineScore, OneTraitScoreIsExactAwayFromTheFit) {
  std::vector<Subject> seq, none;
  trait_data(6, 2, 1, 80, 0, 0.0, seq, none);
  Model d(2, seq, none);
  double *U = d.pool.vec(1), **V = d.pool.mat(1, 1);
  for (int t = 1; t <= 2; t++) {
    d.fit_constrained(t);
    Rows B(d.w, std::vector<double>(2));
    for (int k = 1; k <= 2; k++)
      for (int l = 1; l <= d.w; l++)
        B[l - 1][k - 1] = d.eta0[l][k] += (k == t && l == 1) ? 0.0 : 0.05 * ((k + l) % 3 - 1);
    Rows S = residual_covariance(d, B);
    for (int a = 1; a <= 2; a++)
      for (int b = 1; b <= 2; b++) d.Sigma[a][b] = S[a - 1][b - 1];
    FdScore f = fd_score(d.loglik_function(), d.theta(), {(t - 1) * d.w + 1});
    EXPECT_GT(f.stationarity, 0.3);  // far from the fit in the nuisance parameters
    d.score(t, U, V);
    ASSERT_TRUE(flag_positiveQ1);
    expect_score(U, V, f.U, f.V, 2e-4, "trait " + std::to_string(t));
  }
}

// All traits, two tested columns (a gene's variants) besides the intercept and a covariate, at
// the null fit on the covariate columns: the raw score (rareUV makes no correction to U) and V
// in trait-major order against the finite-difference gradient and Schur complement.
TEST(EngineScore, AllTraitsScoreMatchesFiniteDifferences) {
  std::vector<Subject> seq, nonseq;
  trait_data(8, 2, 2, 150, 50, 0.15, seq, nonseq);
  Model d(2, seq, nonseq);
  ASSERT_EQ(d.nobs[1], 0);
  std::vector<double *> covariates = shifted_rows(d, 2);
  d.fit_null(2, covariates.data());
  ASSERT_FALSE(flag_nonconvergence);
  double **B = d.pool.mat(d.w, 2), *U = d.pool.vec(4), **V = d.pool.mat(4, 4);
  for (int k = 1; k <= 2; k++)
    for (int l = 1; l <= d.w; l++) B[l][k] = l <= 2 ? 0.0 : d.eta0[l - 2][k];
  FdScore f = fd_score(d.loglik_function(), d.theta(false, B), {1, 2, d.w + 1, d.w + 2});
  d.score_all_traits(2, B, U, V);
  ASSERT_TRUE(flag_positiveQ1);
  expect_score(U, V, f.raw, f.V, 2e-4, "rareUV");
}
