// EM fits of the joint model (Dempster, Laird & Rubin 1977): one loop whose M-step is its
// variable part. The full fits sweep the expected cross products on the design pivots; the
// constrained fit of the score tests replaces the sweep by two conditional-maximisation passes
// (Meng & Rubin 1993): generalised least squares for the free coefficients given the inverse
// covariance, then the covariance given the coefficients.
#include "engine/em.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/func_algorithm.h"
#include "toolkit/func_linear_algebra.h"

// Iteration limit of the EM fits. Deliberately left out of the header: only the engine's tests
// lower it, to look at the iterates one at a time.
namespace engine_hooks {
int em_iteration_limit = 500;
}

namespace engine {

// Sweeps Sigma's upper triangle exactly on the traits with observed[k] = 1, starting from the
// pivots that are swept now, so only traits whose state changes are touched and the swept state
// carries over from one missing pattern to the next. A zero diagonal entry is left alone.
void toggle_sigma(double **Sigma, int K, const int *observed) {
  for (int k = 1; k <= K; k++) {
    if (Sigma[k][k] > 0 && observed[k] == 1)
      swp(Sigma, K, k);
    if (Sigma[k][k] < 0 && observed[k] == 0)
      rsw(Sigma, K, k);
  }
}

void fitted_means(int w, int K, int J, double **rows, double **B, double **Weta) {
  for (int j = 1; j <= J; j++) {
    for (int k = 1; k <= K; k++) {
      double sum = 0.0;
      for (int l = 1; l <= w; l++) sum += rows[j][l] * B[l][k];
      Weta[j][k] = sum;
    }
  }
}

namespace {

// The fits stop once the L1 step over covariance entries, coefficients and masses falls strictly
// below this absolute bound; being absolute, the stopping iteration (and so the printed digits)
// depends on the data alone.
constexpr double kEmTolerance = 0.0001;

// ---------------------------------------------------------------------------------------------
// Start
// ---------------------------------------------------------------------------------------------

// Sigma = I in both triangles, Sigma0 = 1, B[1..w][1..K] = 0, q = q0 = n_UniW / m.
void em_initial_values(const EmData &d, const FitState &f) {
  for (int k = 1; k <= d.K; k++) {
    f.Sigma0[k] = 1.0;
    for (int k2 = 1; k2 <= d.K; k2++) f.Sigma[k][k2] = (k == k2) ? 1.0 : 0.0;
  }
  for (int l = 1; l <= d.w; l++)
    for (int k = 1; k <= d.K; k++) f.B[l][k] = 0.0;
  for (int j = 1; j <= d.J; j++) f.q[j] = f.q0[j] = static_cast<double>(d.n_UniW[j]) / d.m;
}

// Squares of one subject's observed traits into Tobs[w + o], their products into T's strict
// lower triangle (T[w + o_a][w + o_b] for o_b < o_a).
void add_observed_crossproducts(int w, const double *y, const int *obs, int nob, double **T,
                                double *Tobs) {
  for (int a = 1; a <= nob; a++) {
    int oa = obs[a];
    Tobs[w + oa] += y[oa] * y[oa];
    for (int b = 1; b < a; b++) T[w + oa][w + obs[b]] += y[oa] * y[obs[b]];
  }
}

// The part of T that no iteration changes: Tobs[1..w+K] and T's strict lower triangle are
// cleared, then filled with the cross products of the observed trait values, pattern by pattern,
// sequenced rows before non-sequenced rows.
void em_constant_crossproducts(const EmData &d, const FitState &f) {
  const int w = d.w;
  for (int l = 1; l <= w + d.K; l++) {
    f.Tobs[l] = 0.0;
    for (int s = 1; s < l; s++) f.T[l][s] = 0.0;
  }
  for (int t = 1; t <= d.N_mispat; t++) {
    for (int i = d.mis_pats[t] + 1; i <= d.mis_pats[t + 1]; i++)
      add_observed_crossproducts(w, d.Y[i], d.Obs[t], d.nobs[t], f.T, f.Tobs);
    for (int i = d.mis_patn[t] + 1; i <= d.mis_patn[t + 1]; i++)
      add_observed_crossproducts(w, d.Y[i], d.Obs[t], d.nobs[t], f.T, f.Tobs);
  }
}

// ---------------------------------------------------------------------------------------------
// E-step
// ---------------------------------------------------------------------------------------------

// Upper triangle of T <- the fixed part: diagonal from Tobs, the rest mirrored from the strict
// lower triangle. The design rows and columns become zero.
void em_restore_crossproducts(int w, int K, double **T, const double *Tobs) {
  for (int l = 1; l <= w + K; l++) {
    T[l][l] = Tobs[l];
    for (int s = 1; s < l; s++) T[s][l] = T[l][s];
  }
}

// At most this many traits (the input checks hold K to it).
constexpr int kMaxTraits = 31;

// Up to this many observed traits the E-step of a non-sequenced subject runs unrolled.
constexpr int kMaxObservedUnrolled = 4;

// Trait-major copies of the per-row arrays that a non-sequenced subject's E-step runs through
// J times: the fitted means and the sums phiY, one contiguous row of J + 1 entries (index
// 0 unused) per trait, so that the loops over the distinct rows run over contiguous memory and
// vectorise; plus the per-subject rows of those loops. Every loop keeps, for each distinct row,
// the operations of the row-by-row form in their order, so the results do not change. Grown on
// demand and kept from fit to fit.
class TraitMajor {
 public:
  void reserve(int K, int J) {
    K_ = K;
    J_ = J;
    size_t row = static_cast<size_t>(J) + 1;
    // Fitted means, phiY, residuals d of the observed traits and conditional means of the
    // missing ones (one row per trait), then the log kernels.
    size_t need = row * (4 * static_cast<size_t>(K) + 1);
    if (store_.size() < need)
      store_.resize(need);
  }
  double *mean(int k) { return row(0, k); }
  double *phiY(int k) { return row(1, k); }
  // Residual y_o - mean of the a-th observed trait, or conditional mean of the a-th missing one.
  double *residual(int a) { return row(2, a); }
  double *conditional(int a) { return row(3, a); }
  double *kernel() { return store_.data() + static_cast<size_t>(J_ + 1) * 4 * K_; }

 private:
  double *row(int block, int k) {
    return store_.data() + static_cast<size_t>(J_ + 1) * (static_cast<size_t>(block) * K_ + k - 1);
  }
  int K_ = 0, J_ = 0;
  std::vector<double> store_;
};

TraitMajor &trait_major() {
  static TraitMajor work;
  return work;
}

// Fitted means of the current coefficients (row by row into Weta, and trait-major); phiY = 0;
// q[j] = n_UniW[j], the sequenced part of the expected design counts.
void em_prepare_estep(const EmData &d, const FitState &f, TraitMajor &tm) {
  fitted_means(d.w, d.K, d.J, d.W_Uni, f.B, f.Weta);
  for (int k = 1; k <= d.K; k++) {
    double *mean = tm.mean(k), *py = tm.phiY(k);
    for (int j = 1; j <= d.J; j++) {
      mean[j] = f.Weta[j][k];
      py[j] = 0.0;
    }
  }
  for (int j = 1; j <= d.J; j++) f.q[j] = d.n_UniW[j];
}

// Conditional means of one subject's missing traits given its observed ones, for mean mu, with
// Sigma swept on the observed traits: c[m] = mu_m + sum over o of (y_o - mu_o) S(o, m). Obs is
// ascending, so S(o, m) sits in row o for a leading run of o < m and in row m after it.
void conditional_means(const double *y, const double *mu, const int *obs, int nob, const int *mis,
                       int nmi, double **Sigma, double *c) {
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    double sum = mu[mk];
    int b = 1;
    for (; b <= nob && obs[b] < mk; b++) sum += (y[obs[b]] - mu[obs[b]]) * Sigma[obs[b]][mk];
    for (; b <= nob; b++) sum += (y[obs[b]] - mu[obs[b]]) * Sigma[mk][obs[b]];
    c[mk] = sum;
  }
}

// E-step of a sequenced subject on distinct row u with fitted mean mu: observed values and
// conditional moments of the missing traits into the sums phiY of row u and the trait block of
// T.
void estep_sequenced_row(int w, int u, const double *y, const double *mu, const int *obs, int nob,
                         const int *mis, int nmi, double **Sigma, double *c, TraitMajor &tm,
                         double **T) {
  conditional_means(y, mu, obs, nob, mis, nmi, Sigma, c);
  for (int b = 1; b <= nob; b++) tm.phiY(obs[b])[u] += y[obs[b]];
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    tm.phiY(mk)[u] += c[mk];
    for (int b = 1; b <= nob; b++) {
      int o = obs[b];
      T[w + std::min(o, mk)][w + std::max(o, mk)] += c[mk] * y[o];
    }
    T[w + mk][w + mk] += c[mk] * c[mk] + Sigma[mk][mk];
    for (int a2 = 1; a2 < a; a2++) {
      int m2 = mis[a2];
      T[w + m2][w + mk] += c[m2] * c[mk] + Sigma[m2][mk];
    }
  }
}

// The observed traits of a pattern as the E-step of a non-sequenced subject reads them: their
// fitted means over the distinct rows, their sums phiY, and from Sigma swept on them (its swept
// block is -Sigma_OO^-1) half the diagonal and the entries above it.
struct ObservedBlock {
  int nob;
  const double *mean[kMaxObservedUnrolled + 1];
  double *phiY[kMaxObservedUnrolled + 1];
  double half[kMaxObservedUnrolled + 1];
  double s[kMaxObservedUnrolled + 1][kMaxObservedUnrolled + 1];
};

// A_j = -1/2 d' Sigma_OO^-1 d for d = y - mu_j on the observed traits, j = 1..J: for each
// observed trait in turn its square term, then its products with the earlier ones; 0 when no
// trait is observed. NOB observed traits, unrolled; the residuals are recomputed where needed.
template <int NOB>
ROW_LOOPS void log_kernels_fixed(int J, const double *yo, const ObservedBlock &ob,
                                 double *__restrict A) {
  // Local copies, so that the loop over the rows reads nothing but the means and vectorises.
  const double *__restrict mean[NOB + 1];
  double half[NOB + 1], s[NOB + 1][NOB + 1], y[NOB + 1];
#pragma GCC unroll 8
  for (int a = 1; a <= NOB; a++) {
    mean[a] = ob.mean[a];
    half[a] = ob.half[a];
    y[a] = yo[a];
#pragma GCC unroll 8
    for (int b = 1; b < a; b++) s[b][a] = ob.s[b][a];
  }
  for (int j = 1; j <= J; j++) {
    double d[NOB + 1];
    double sum = 0.0;
#pragma GCC unroll 8
    for (int a = 1; a <= NOB; a++) {
      d[a] = y[a] - mean[a][j];
      sum += half[a] * d[a] * d[a];
#pragma GCC unroll 8
      for (int b = 1; b < a; b++) sum += s[b][a] * d[b] * d[a];
    }
    A[j] = sum;
  }
}

// The same for any number of observed traits, one trait at a time over all rows; the residuals
// go to tm.residual(a).
ROW_LOOPS void log_kernels_any(int J, const double *y, const int *obs, int nob, double **Sigma,
                               TraitMajor &tm, double *__restrict A) {
  for (int j = 1; j <= J; j++) A[j] = 0.0;
  for (int a = 1; a <= nob; a++) {
    int oa = obs[a];
    const double *__restrict mu = tm.mean(oa);
    double *__restrict da = tm.residual(a);
    const double ya = y[oa], half = 0.5 * Sigma[oa][oa];
    for (int j = 1; j <= J; j++) {
      da[j] = ya - mu[j];
      A[j] += half * da[j] * da[j];
    }
    for (int b = 1; b < a; b++) {
      const double s = Sigma[obs[b]][oa];
      const double *__restrict db = tm.residual(b);
      for (int j = 1; j <= J; j++) A[j] += s * db[j] * da[j];
    }
  }
}

// Unnormalised posterior weights phi_r[j] = exp(A_j) q0[j] of a non-sequenced subject over the
// distinct rows; returns their total. When every term underflows (or the total is not finite)
// the weights are formed as exp(A_j - max A) q0[j]: the same weights after normalisation,
// without the underflow that would otherwise turn them into 0/0.
double posterior_weights(int J, const double *A, const double *q0, double *__restrict phi_r) {
  double total = 0.0;
  for (int j = 1; j <= J; j++) {
    phi_r[j] = std::exp(A[j]) * q0[j];
    total += phi_r[j];
  }
  if (total > 0.0 && std::isfinite(total))
    return total;
  double largest = -std::numeric_limits<double>::infinity();
  for (int j = 1; j <= J; j++) largest = std::max(largest, A[j]);
  total = 0.0;
  for (int j = 1; j <= J; j++) {
    phi_r[j] = std::exp(A[j] - largest) * q0[j];
    total += phi_r[j];
  }
  return total;
}

// Normalises the weights and adds them to the expected counts q and, times the observed
// values, to the sums phiY of the observed traits.
template <int NOB>
ROW_LOOPS void add_weights_fixed(int J, double total, const double *yo, const ObservedBlock &ob,
                                 double *__restrict phi_r, double *__restrict q) {
  double *__restrict py[NOB + 1];
  double y[NOB + 1];
#pragma GCC unroll 8
  for (int a = 1; a <= NOB; a++) {
    py[a] = ob.phiY[a];
    y[a] = yo[a];
  }
  for (int j = 1; j <= J; j++) {
    const double wt = phi_r[j] / total;
    phi_r[j] = wt;
    q[j] += wt;
#pragma GCC unroll 8
    for (int a = 1; a <= NOB; a++) py[a][j] += wt * y[a];
  }
}

ROW_LOOPS void add_weights_any(int J, double total, const double *y, const int *obs, int nob,
                               TraitMajor &tm, double *__restrict phi_r, double *__restrict q) {
  for (int j = 1; j <= J; j++) {
    phi_r[j] = phi_r[j] / total;
    q[j] += phi_r[j];
  }
  for (int b = 1; b <= nob; b++) {
    const double yo = y[obs[b]];
    double *__restrict py = tm.phiY(obs[b]);
    for (int j = 1; j <= J; j++) py[j] += phi_r[j] * yo;
  }
}

// Weights of a non-sequenced subject with NOB observed traits (NOB < 0: any number).
template <int NOB>
void estep_weights(int J, const double *y, const double *q0, const int *obs, int nob,
                   double **Sigma, const ObservedBlock &ob, TraitMajor &tm, double *phi_r,
                   double *q) {
  double *A = tm.kernel();
  if constexpr (NOB >= 0) {
    double yo[NOB + 1];
    for (int a = 1; a <= NOB; a++) yo[a] = y[obs[a]];
    log_kernels_fixed<NOB>(J, yo, ob, A);
    add_weights_fixed<NOB>(J, posterior_weights(J, A, q0, phi_r), yo, ob, phi_r, q);
  } else {
    log_kernels_any(J, y, obs, nob, Sigma, tm, A);
    add_weights_any(J, posterior_weights(J, A, q0, phi_r), y, obs, nob, tm, phi_r, q);
  }
}

// The sums of one missing trait m of a non-sequenced subject over the distinct rows, with its
// conditional means cm and the weights phi_r: phiY_m += phi_r cm row by row, and the running
// sums of T's entries, each in row order: sums[b] (b < nob) += (phi_r cm) y_o for the observed
// traits, sums[nob] += (phi_r cm) cm, sums[nob + 1 + x] += (phi_r cross[x]) cm for the missing
// traits before m.
struct MissingSums {
  int J;
  const double *phi_r, *cm;
  const double *const *cross;
  const double *yo;  // yo[0..nob-1]
  double *phiY;
  double *const *sums;
};

template <int NOB, int NX>
void missing_sums(const MissingSums &job) {
  double acc[NOB + 1 + NX], yo[NOB + 1];
  const double *cross[NX + 1];
#pragma GCC unroll 8
  for (int x = 0; x < NOB + 1 + NX; x++) acc[x] = *job.sums[x];
#pragma GCC unroll 8
  for (int b = 0; b < NOB; b++) yo[b] = job.yo[b];
#pragma GCC unroll 8
  for (int x = 0; x < NX; x++) cross[x] = job.cross[x];
  const double *__restrict phi = job.phi_r, *__restrict cm = job.cm;
  double *__restrict py = job.phiY;
  for (int j = 1; j <= job.J; j++) {
    const double wc = phi[j] * cm[j];
    py[j] += wc;
#pragma GCC unroll 8
    for (int b = 0; b < NOB; b++) acc[b] += wc * yo[b];
    acc[NOB] += wc * cm[j];
#pragma GCC unroll 8
    for (int x = 0; x < NX; x++) acc[NOB + 1 + x] += phi[j] * cross[x][j] * cm[j];
  }
#pragma GCC unroll 8
  for (int x = 0; x < NOB + 1 + NX; x++) *job.sums[x] = acc[x];
}

void missing_sums_any(const MissingSums &job, int nob, int nx) {
  double acc[2 * kMaxTraits + 1];
  const int count = nob + 1 + nx;
  for (int x = 0; x < count; x++) acc[x] = *job.sums[x];
  for (int j = 1; j <= job.J; j++) {
    const double wc = job.phi_r[j] * job.cm[j];
    job.phiY[j] += wc;
    for (int b = 0; b < nob; b++) acc[b] += wc * job.yo[b];
    acc[nob] += wc * job.cm[j];
    for (int x = 0; x < nx; x++) acc[nob + 1 + x] += job.phi_r[j] * job.cross[x][j] * job.cm[j];
  }
  for (int x = 0; x < count; x++) *job.sums[x] = acc[x];
}

// The missing traits of a non-sequenced subject with normalised weights phi_r: their
// conditional means given the observed traits for every row, and the weighted conditional
// moments into phiY and T. The conditional covariance enters once, as the weights sum to one.
// Each entry of T sums its terms over the distinct rows in ascending order.
ROW_LOOPS void estep_missing_traits(int w, int J, const double *y, const int *obs, int nob,
                                    const int *mis, int nmi, double **Sigma, TraitMajor &tm,
                                    const double *__restrict phi_r, double **T) {
  // Conditional means of the missing traits for every row: mu_m + sum over o of d_o S(o, m).
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    const double *__restrict mu = tm.mean(mk);
    double *__restrict cm = tm.conditional(a);
    for (int j = 1; j <= J; j++) cm[j] = mu[j];
    for (int b = 1; b <= nob; b++) {
      const double s = upper(Sigma, obs[b], mk), yo = y[obs[b]];
      const double *__restrict muo = tm.mean(obs[b]);
      for (int j = 1; j <= J; j++) cm[j] += (yo - muo[j]) * s;
    }
  }
  // One pass over the rows per missing trait, with one running sum per entry of T (each entry
  // in row order), so that the sums advance side by side.
  double *sums[2 * kMaxTraits + 1];
  const double *cross[kMaxTraits + 1];
  double yo[kMaxTraits + 1];
  for (int b = 1; b <= nob; b++) yo[b] = y[obs[b]];
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    int count = 0;
    for (int b = 1; b <= nob; b++) {
      int o = obs[b];
      sums[count++] = &T[w + std::min(o, mk)][w + std::max(o, mk)];
    }
    sums[count++] = &T[w + mk][w + mk];
    for (int a2 = 1; a2 < a; a2++) {
      sums[count++] = &T[w + mis[a2]][w + mk];
      cross[a2 - 1] = tm.conditional(a2);
    }
    const MissingSums job{J, phi_r, tm.conditional(a), cross, yo + 1, tm.phiY(mk), sums};
    // Unrolled for up to four traits in all; (nob, a - 1) = (4, 0) or larger take the loop.
    switch (nob + a - 1 <= 3 ? nob * 4 + (a - 1) : -1) {
      case 0:
        missing_sums<0, 0>(job);
        break;
      case 1:
        missing_sums<0, 1>(job);
        break;
      case 2:
        missing_sums<0, 2>(job);
        break;
      case 3:
        missing_sums<0, 3>(job);
        break;
      case 4:
        missing_sums<1, 0>(job);
        break;
      case 5:
        missing_sums<1, 1>(job);
        break;
      case 6:
        missing_sums<1, 2>(job);
        break;
      case 8:
        missing_sums<2, 0>(job);
        break;
      case 9:
        missing_sums<2, 1>(job);
        break;
      case 12:
        missing_sums<3, 0>(job);
        break;
      default:
        missing_sums_any(job, nob, a - 1);
        break;
    }
  }
  for (int a = 1; a <= nmi; a++) {
    int mk = mis[a];
    T[w + mk][w + mk] += Sigma[mk][mk];
    for (int a2 = 1; a2 < a; a2++) T[w + mis[a2]][w + mk] += Sigma[mis[a2]][mk];
  }
}

// E-step of a non-sequenced subject: posterior weights over the J distinct rows into phi_r, the
// weights added to the expected counts q, and the weighted observed values and conditional
// moments into phiY and T.
void estep_nonsequenced_row(int w, int J, const double *y, const double *q0, const int *obs,
                            int nob, const int *mis, int nmi, double **Sigma,
                            const ObservedBlock &ob, TraitMajor &tm, double *__restrict phi_r,
                            double *__restrict q, double **T) {
  switch (nob) {
    case 0:
      estep_weights<0>(J, y, q0, obs, nob, Sigma, ob, tm, phi_r, q);
      break;
    case 1:
      estep_weights<1>(J, y, q0, obs, nob, Sigma, ob, tm, phi_r, q);
      break;
    case 2:
      estep_weights<2>(J, y, q0, obs, nob, Sigma, ob, tm, phi_r, q);
      break;
    case 3:
      estep_weights<3>(J, y, q0, obs, nob, Sigma, ob, tm, phi_r, q);
      break;
    case 4:
      estep_weights<4>(J, y, q0, obs, nob, Sigma, ob, tm, phi_r, q);
      break;
    default:
      estep_weights<-1>(J, y, q0, obs, nob, Sigma, ob, tm, phi_r, q);
      break;
  }
  if (nmi > 0)
    estep_missing_traits(w, J, y, obs, nob, mis, nmi, Sigma, tm, phi_r, T);
}

// The observed block of a pattern, for up to kMaxObservedUnrolled observed traits.
ObservedBlock observed_block(const int *obs, int nob, double **Sigma, TraitMajor &tm) {
  ObservedBlock ob{};
  ob.nob = nob;
  for (int a = 1; a <= nob && a <= kMaxObservedUnrolled; a++) {
    ob.mean[a] = tm.mean(obs[a]);
    ob.phiY[a] = tm.phiY(obs[a]);
    ob.half[a] = 0.5 * Sigma[obs[a]][obs[a]];
    for (int b = 1; b < a; b++) ob.s[b][a] = Sigma[obs[b]][obs[a]];
  }
  return ob;
}

// E-step over all subjects, pattern by pattern: adds the expected trait cross products to T's
// trait block, the expected design counts to q, the per-row sums of observed and expected traits
// to phiY, and writes the posterior weights phi[i - m][1..J]. Reads the fitted means and the
// previous masses q0; leaves Sigma's upper triangle swept on the observed traits of the last
// pattern.
void em_estep(const EmData &d, const FitState &f, TraitMajor &tm) {
  for (int t = 1; t <= d.N_mispat; t++) {
    toggle_sigma(f.Sigma, d.K, d.mis_R[t]);
    for (int i = d.mis_pats[t] + 1; i <= d.mis_pats[t + 1]; i++) {
      int u = d.ind_UniW[i];
      estep_sequenced_row(d.w, u, d.Y[i], f.Weta[u], d.Obs[t], d.nobs[t], d.Mis[t], d.nmis[t],
                          f.Sigma, f.c, tm, f.T);
    }
    const ObservedBlock ob = observed_block(d.Obs[t], d.nobs[t], f.Sigma, tm);
    for (int i = d.mis_patn[t] + 1; i <= d.mis_patn[t + 1]; i++)
      estep_nonsequenced_row(d.w, d.J, d.Y[i], f.q0, d.Obs[t], d.nobs[t], d.Mis[t], d.nmis[t],
                             f.Sigma, ob, tm, f.phi[i - d.m], f.q, f.T);
  }
}

// Expected design cross products and design-trait products into T's upper triangle (rows
// 1..w), then the expected counts q[j] become masses (they sum to n, so the masses sum to 1).
// The sums phiY go to the caller's rows.
void em_accumulate_design(const EmData &d, const FitState &f, TraitMajor &tm) {
  const int w = d.w;
  for (int j = 1; j <= d.J; j++) {
    for (int k = 1; k <= d.K; k++) f.phiY[j][k] = tm.phiY(k)[j];
    const double *row = d.W_Uni[j];
    for (int l = 1; l <= w; l++) {
      double qr = f.q[j] * row[l];
      for (int l2 = l; l2 <= w; l2++) f.T[l][l2] += qr * row[l2];
    }
    for (int l = 1; l <= w; l++) {
      for (int k = 1; k <= d.K; k++) f.T[l][w + k] += f.phiY[j][k] * row[l];
    }
    f.q[j] = f.q[j] / d.n;
  }
}

// ---------------------------------------------------------------------------------------------
// The loop
// ---------------------------------------------------------------------------------------------

// Where an M-step leaves the new coefficients: at[l][col0 + k] for design column l, trait k.
struct NewCoefficients {
  double **at = nullptr;
  int col0 = 0;
};

// L1 step between the previous iterate (Sigma's lower triangle, Sigma0, B, q0) and the new one
// (Sigma's upper triangle, the new coefficients, q), summed trait by trait (covariance entries,
// then coefficients) and then over the masses.
double em_distance(const EmData &d, const FitState &f, NewCoefficients b) {
  double D = 0.0;
  for (int k = 1; k <= d.K; k++) {
    D += std::fabs(f.Sigma[k][k] - f.Sigma0[k]);
    for (int k2 = 1; k2 < k; k2++) D += std::fabs(f.Sigma[k2][k] - f.Sigma[k][k2]);
    for (int l = 1; l <= d.w; l++) D += std::fabs(f.B[l][k] - b.at[l][b.col0 + k]);
  }
  for (int j = 1; j <= d.J; j++) D += std::fabs(f.q[j] - f.q0[j]);
  return D;
}

// The new iterate becomes the previous one: Sigma0 and Sigma's lower triangle from its upper
// triangle, B from the new coefficients, q0 from q.
void em_copy_back(const EmData &d, const FitState &f, NewCoefficients b) {
  for (int k = 1; k <= d.K; k++) {
    f.Sigma0[k] = f.Sigma[k][k];
    for (int k2 = 1; k2 < k; k2++) f.Sigma[k][k2] = f.Sigma[k2][k];
    for (int l = 1; l <= d.w; l++) f.B[l][k] = b.at[l][b.col0 + k];
  }
  for (int j = 1; j <= d.J; j++) f.q0[j] = f.q[j];
}

// The EM iterations, at most em_iteration_limit of them. maximise(d, f, b) is the M-step: it
// reads the expected cross products of the E-step (T's upper triangle) and the masses q, writes
// the new covariance into Sigma's upper triangle (the lower keeps the previous iterate) and sets
// b to where the new coefficients are; it returns false when it cannot (the fit then stops and
// returns false).
template <class MStep>
bool em_fit(const EmData &d, const FitState &f, MStep &maximise) {
  em_initial_values(d, f);
  flag_nonconvergence = false;
  em_constant_crossproducts(d, f);
  TraitMajor &tm = trait_major();
  tm.reserve(d.K, d.J);
  for (int iter = 1; iter <= engine_hooks::em_iteration_limit; iter++) {
    em_restore_crossproducts(d.w, d.K, f.T, f.Tobs);
    em_prepare_estep(d, f, tm);
    em_estep(d, f, tm);
    em_accumulate_design(d, f, tm);
    NewCoefficients b;
    if (!maximise(d, f, b))
      return false;
    double D = em_distance(d, f, b);
    em_copy_back(d, f, b);
    if (D < kEmTolerance)
      return true;
  }
  flag_nonconvergence = true;
  return true;
}

// ---------------------------------------------------------------------------------------------
// M-steps
// ---------------------------------------------------------------------------------------------

// Sweeping T on the design pivots leaves the new coefficients in T[1..w][w+1..w+K] and the
// residual cross products in the trait block, whose division by n gives the new covariance.
//
// As in the constrained step, the design check before the fit does not keep the covariance
// positive definite: traits that the covariates and the other traits fit exactly, or trait
// values whose spread is lost to rounding against their mean (a trait near 1e9 with unit
// variance), leave a covariance that is singular, indefinite or not finite. The next E-step and
// the information after the fit sweep it, which would stop the run, so the step reports such a
// covariance (or a design pivot that is no longer positive) by returning false. The covariance
// test has the same relative floor as the design check: a pivot within rounding of zero would
// pass a plain Cholesky test and still fail a later sweep taken in another order.
struct SweptStep {
  bool operator()(const EmData &d, const FitState &f, NewCoefficients &b) const {
    const int w = d.w;
    for (int l = 1; l <= w; l++) {
      if (!(f.T[l][l] > 0.0))
        return false;
      swp(f.T, w + d.K, l);
    }
    for (int k = 1; k <= d.K; k++) {
      for (int k2 = k; k2 <= d.K; k2++) {
        f.Sigma[k][k2] = f.T[w + k][w + k2] / d.n;
        if (!std::isfinite(f.Sigma[k][k2]))
          return false;
      }
    }
    double pivots[kMaxTraits + 1];
    if (!choldcCheckNonsingular(f.Sigma, d.K, pivots))
      return false;
    b = {f.T, w};
    return true;
  }
};

// With one coefficient held at zero the coefficients of different traits no longer separate, so
// the M-step alternates two conditional maximisations, each pass on the same expected cross
// products: the free coefficients by generalised least squares given SigmaInv (one system of
// order pK - 1, by Cholesky), then Sigma as the expected residual cross products over n and
// SigmaInv its inverse. The work arrays live as long as the object, one fit.
//
// The design check before the fit keeps the expected design cross products G positive definite,
// but not the covariance: traits that are exact linear functions of each other and of the
// covariates, or a trait the covariates fit exactly, drive it towards singularity, and then
// SigmaInv (x) G is not positive definite or Sigma has a zero or non-finite row. Each pass tests
// for this before the factorisation and the inversion (which would stop the run) and reports it
// by returning false.
class ConstrainedStep {
 public:
  ConstrainedStep(int K, int p, int fixedTrait, double **SigmaInv)
      : K_(K), p_(p), t_(fixedTrait), order_(p * K - 1), SigmaInv_(SigmaInv) {
    G_ = dmatrix(1, p_, 1, p_);
    B_ = dmatrix(1, p_, 1, K_);
    A_ = dmatrix(1, order_, 1, order_);
    rhs_ = dvector(1, order_);
    x_ = dvector(1, order_);
    diag_ = dvector(1, order_);
    pivots_ = dvector(1, K_);
    for (int k = 1; k <= K_; k++)
      for (int k2 = 1; k2 <= K_; k2++) SigmaInv_[k][k2] = (k == k2) ? 1.0 : 0.0;
  }
  ~ConstrainedStep() {
    free_dvector(pivots_, 1, K_);
    free_dvector(diag_, 1, order_);
    free_dvector(x_, 1, order_);
    free_dvector(rhs_, 1, order_);
    free_dmatrix(A_, 1, order_, 1, order_);
    free_dmatrix(B_, 1, p_, 1, K_);
    free_dmatrix(G_, 1, p_, 1, p_);
  }
  ConstrainedStep(const ConstrainedStep &) = delete;
  ConstrainedStep &operator=(const ConstrainedStep &) = delete;

  bool operator()(const EmData &d, const FitState &f, NewCoefficients &b) {
    for (int l = 1; l <= p_; l++)
      for (int l2 = l; l2 <= p_; l2++) G_[l][l2] = G_[l2][l] = f.T[l][l2];
    for (int pass = 1; pass <= 2; pass++) {
      if (!least_squares(f.T) || !covariance(d.n, f.T, f.Sigma))
        return false;
    }
    b = {B_, 0};
    return true;
  }

 private:
  // System position of the coefficient of design column l for trait k (not (1, t)).
  int position(int k, int l) const { return (k - 1) * p_ + l - (k >= t_ ? 1 : 0); }
  // The first design column of trait k that is free.
  int first(int k) const { return k == t_ ? 2 : 1; }

  // B <- the free coefficients solving (SigmaInv (x) G) b = (SigmaInv (x) I) vec(T_WY), the
  // system filled in its upper block triangle; B[1][t] = 0. False when the system is not
  // positive definite.
  bool least_squares(double **T) {
    for (int k = 1; k <= K_; k++) {
      for (int k2 = k; k2 <= K_; k2++) {
        double s = SigmaInv_[k][k2];
        for (int l = first(k); l <= p_; l++) {
          for (int l2 = first(k2); l2 <= p_; l2++)
            A_[position(k, l)][position(k2, l2)] = s * G_[l][l2];
        }
      }
      for (int l = first(k); l <= p_; l++) {
        double sum = 0.0;
        for (int k2 = 1; k2 <= K_; k2++) sum += SigmaInv_[k][k2] * T[l][p_ + k2];
        rhs_[position(k, l)] = sum;
      }
    }
    if (!choldcCheckPositive(A_, order_, diag_))
      return false;
    choldc(A_, order_, diag_);
    cholsl(A_, order_, diag_, rhs_, x_);
    for (int k = 1; k <= K_; k++)
      for (int l = first(k); l <= p_; l++) B_[l][k] = x_[position(k, l)];
    B_[1][t_] = 0.0;
    return true;
  }

  // Sigma's upper triangle <- the expected residual cross products of B over n; SigmaInv <- the
  // inverse of Sigma (both triangles). False when Sigma is not finite and positive definite.
  bool covariance(int n, double **T, double **Sigma) {
    for (int k = 1; k <= K_; k++) {
      for (int k2 = k; k2 <= K_; k2++) {
        double by_k = 0.0, by_k2 = 0.0, diagonal = 0.0, off = 0.0;
        for (int l = 1; l <= p_; l++) {
          by_k += B_[l][k] * T[l][p_ + k2];
          by_k2 += B_[l][k2] * T[l][p_ + k];
          diagonal += B_[l][k] * T[l][l] * B_[l][k2];
        }
        for (int l = 1; l <= p_; l++) {
          for (int l2 = l + 1; l2 <= p_; l2++)
            off += (B_[l][k] * B_[l2][k2] + B_[l][k2] * B_[l2][k]) * T[l][l2];
        }
        Sigma[k][k2] = (T[p_ + k][p_ + k2] - by_k - by_k2 + diagonal + off) / n;
      }
    }
    for (int k = 1; k <= K_; k++) {
      SigmaInv_[k][k] = Sigma[k][k];
      for (int k2 = k + 1; k2 <= K_; k2++) SigmaInv_[k][k2] = SigmaInv_[k2][k] = Sigma[k][k2];
    }
    for (int k = 1; k <= K_; k++)
      for (int k2 = k; k2 <= K_; k2++)
        if (!std::isfinite(Sigma[k][k2]))
          return false;
    if (!choldcCheckPositive(SigmaInv_, K_, pivots_))
      return false;
    invv(SigmaInv_, K_);
    return true;
  }

  int K_, p_, t_, order_;
  double **SigmaInv_, **G_, **B_, **A_, *rhs_, *x_, *diag_, *pivots_;
};

}  // namespace

bool em_fit_swept(const EmData &d, const FitState &f) {
  SweptStep step;
  return em_fit(d, f, step);
}

bool em_fit_constrained(const EmData &d, const FitState &f, int fixedTrait, double **SigmaInv) {
  ConstrainedStep step(d.K, d.w, fixedTrait, SigmaInv);
  return em_fit(d, f, step);
}

}  // namespace engine
