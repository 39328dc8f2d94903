// P(X > Q) for X = sum_j lambda_j chi2(1), lambda_j > 0, with the cumulant generating function
// K(z) = -1/2 sum_j log(1 - 2 z lambda_j):
//   P = 1/(2 pi i) int exp(K(z) - z Q) / z dz
// along any path from conj to upward infinity that crosses the real axis at 0 < s < 1/(2
// lambda_max) and keeps Re z > 0. Crossing at the saddle point K'(s) = Q makes the integrand
// peak there without cancellation. A vertical line leaves an oscillating tail that decays only
// like t^(-r/2-1); the parabola z = s + beta tau^2 + i tau, bent along the steepest descent
// direction at s, adds the decay exp(-beta Q tau^2). Its integrand is even in tau and analytic,
// so the trapezoid rule converges fast. exp(K(s) - s Q) is kept apart in logarithms, so tails
// far below 1e-300 are still numbers.
#include "toolkit/chisq_sum_tail.h"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <complex>

#include "toolkit/func_linear_algebra.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// Trapezoid steps per standard deviation 1/sqrt(K''(s)) of the peak at the start: with the
// nearest singularity of the integrand in the complex tau-plane about one standard deviation
// away, the discretisation error is about exp(-2 pi * 4) ~ 1e-11; closer ones need finer steps.
constexpr double kStepsPerSd = 4.0;
// The integral is cut where the rest is below this fraction of it.
constexpr double kTruncation = 1e-15;
constexpr int kMaxSteps = 100000;
// The samples' absolute sum may exceed their sum by at most this factor (six of the sixteen
// digits lost); on the way it may exceed the peak sample by at most this factor.
constexpr double kCancellation = 1e6;
// Bends tried, each half the one before.
constexpr int kMaxBends = 60;
// Two trapezoid sums, the second with half the step, must agree to this (the second, converging
// exponentially, is then far closer); at most this many halvings.
constexpr double kAgreement = 1e-9;
constexpr int kMaxRefinements = 8;

// The saddle point: the root s of K'(s) = sum_j lambda_j / (1 - 2 s lambda_j) = Q, by Newton
// steps from the left (K' is increasing and convex, so they never overshoot) kept inside the
// bracket that 1 - 2 s lambda_max in [lambda_max / Q, sum / Q] gives, with bisection when a
// step would leave it.
double saddle_point(int r, const double *lambda, double lmax, double sum, double Q) {
  double lo = std::max(0.0, (1.0 - sum / Q) / (2.0 * lmax));
  double hi = (1.0 - lmax / Q) / (2.0 * lmax);
  double s = lo;
  for (int iter = 0; iter < 200; iter++) {
    double k1 = 0.0, k2 = 0.0;
    for (int j = 0; j < r; j++) {
      const double b = lambda[j] / (1.0 - 2.0 * s * lambda[j]);
      k1 += b;
      k2 += 2.0 * b * b;
    }
    if (k1 >= Q) {
      hi = s;
      if (k1 == Q)
        return s;
    } else {
      lo = s;
    }
    double next = s - (k1 - Q) / k2;
    if (!(next > lo && next < hi))
      next = 0.5 * (lo + hi);
    if (std::fabs(next - s) <= 1e-15 * next)
      return next;
    s = next;
  }
  return s;
}

enum class PathSum {
  kDone,       // *result holds the sum
  kCancelled,  // the samples cancel by more than kCancellation: a weaker bend is needed
  kTooCoarse,  // the sum ends below 0, which only a too coarse step explains
  kNoCut,      // no sound cut within kMaxSteps
};

// The trapezoid sum with step h over tau >= 0 along z = s + beta tau^2 + i tau, in units of
// exp(K(s) - s Q) and times pi, into *result.
PathSum integrate_path(int r, const double *a, double s, double Q, double beta, double h,
                       double *result) {
  // A sound cut at tau = T. Along the path |integrand| <= exp(psi(tau^2)) 2 / tau, psi(v) the
  // real part of the exponent: -beta Q v - 1/4 sum_j log g_j(v), g_j(v) = |1 - a_j (beta v +
  // i tau)|^2 = (1 - c_j v)^2 + a_j^2 v with c_j = a_j beta. Every g_j is at least its minimum
  // over v >= 0, so beyond v = V the part is at most exp(G - beta Q V) / (beta Q V), G the sum
  // of -1/4 log of those minima. On [T^2, V], -g_j'/g_j = (2 c_j w - a_j^2) / g_j with w = 1 -
  // c_j v is at most beta / tau (as g_j >= 2 w a_j tau) and at most 2 c_j / (1 - c_j V) (when
  // c_j V < 1); with D = beta Q - 1/4 sum_j of these bounds > 0 the part there is at most
  // exp(psi(T^2)) / (D T^2).
  double growth = 0.0;
  for (int j = 0; j < r; j++)
    if (a[j] < 2.0 * beta) {
      const double rho = a[j] / beta;
      growth -= 0.25 * std::log(rho * (1.0 - 0.25 * rho));
    }
  auto cut_error = [&](double T, double factor, double wanted) {
    const double bq = beta * Q;
    const double V = std::max(T * T, (growth - std::log(wanted * bq * T * T)) / bq);
    double d = bq;
    for (int j = 0; j < r; j++) {
      const double cv = a[j] * beta * V;
      double slope = beta / T;
      if (cv < 1.0)
        slope = std::min(slope, 2.0 * a[j] * beta / (1.0 - cv));
      d -= 0.25 * slope;
    }
    return d > 0.0 ? factor / (d * T * T) + wanted : HUGE_VAL;
  };

  double total = 0.5 / s;  // the peak, tau = 0, with the trapezoid's half weight
  double magnitude = total;
  for (int k = 1; k <= kMaxSteps; k++) {
    const double tau = k * h;
    const double shift = beta * tau * tau;
    double log_modulus = 0.0, phase = 0.0;
    for (int j = 0; j < r; j++) {
      // 1 - a_j (shift + i tau) = re - i u; log1p keeps the digits near the peak.
      const double u = a[j] * tau, d = a[j] * shift, re = 1.0 - d;
      log_modulus += std::log1p(u * u - d * (2.0 - d));
      phase += std::atan2(-u, re);
    }
    const std::complex<double> exponent(-0.25 * log_modulus - shift * Q, -0.5 * phase - tau * Q);
    const std::complex<double> z(s + shift, tau), dz(2.0 * beta * tau, 1.0);
    const std::complex<double> value = std::exp(exponent) * dz / z;
    total += value.imag();
    magnitude += std::fabs(value.imag());
    if (!(magnitude <= kCancellation * 0.5 / s))
      return PathSum::kCancelled;
    const double factor = std::exp(exponent.real());
    if (total <= 0.0 && factor * std::abs(dz) / std::abs(z) < -kTruncation * total)
      return PathSum::kTooCoarse;
    if (factor * std::abs(dz) / std::abs(z) < kTruncation * total &&
        cut_error(tau, factor, 0.5 * kTruncation * h * total) + h * factor * 2.0 / tau <
            kTruncation * h * total) {
      *result = h * total;
      return magnitude <= kCancellation * total ? PathSum::kDone : PathSum::kCancelled;
    }
  }
  return PathSum::kNoCut;
}

}  // namespace

double chisq_sum_upper_tail(int r, const double *lambda, double Q) {
  if (r < 1)
    return -1.0;
  double lmax = 0.0, sum = 0.0;
  for (int j = 0; j < r; j++) {
    lmax = std::max(lmax, lambda[j]);
    sum += lambda[j];
  }
  if (!(Q > sum))
    return -1.0;
  // X <= lambda_max chi2(r): a tail that underflows there is 0 here, and beyond it the saddle
  // point would come closer to the pole than doubles resolve.
  if (gsl_cdf_chisq_Q(Q / lmax, r) == 0.0)
    return 0.0;

  const double s = saddle_point(r, lambda, lmax, sum, Q);
  // a_j = 2 lambda_j / (1 - 2 s lambda_j): K''(s) = sum a_j^2 / 2, K'''(s) = sum a_j^3.
  double *a = dvector(0, r - 1);
  double log_scale = -s * Q, k2 = 0.0, k3 = 0.0;
  for (int j = 0; j < r; j++) {
    const double y = 1.0 - 2.0 * s * lambda[j];
    a[j] = 2.0 * lambda[j] / y;
    log_scale -= 0.5 * std::log(y);
    k2 += 0.5 * a[j] * a[j];
    k3 += a[j] * a[j] * a[j];
  }
  const double h = 1.0 / (std::sqrt(k2) * kStepsPerSd);
  // The bend k3 / (6 k2) follows the steepest descent at s, but far from s it can carry the
  // path past the zeros of the factors with small a_j, where the integrand grows by many orders
  // and the sum cancels them away: a weaker bend is taken until the samples cancel little.
  // With beta <= a_min / 2 no factor grows at all. Many equal small a_j also put a branch point
  // of high order near the path, and the step that suits the peak can then be too coarse: the
  // step is halved until two sums agree.
  double beta = k3 / (6.0 * k2), fine = -1.0;
  for (int attempt = 0; attempt < kMaxBends; attempt++, beta *= 0.5) {
    PathSum outcome = PathSum::kNoCut;
    double step = h, coarse = -1.0;
    for (int refine = 0; refine <= kMaxRefinements; refine++, step *= 0.5) {
      double value = -1.0;
      outcome = integrate_path(r, a, s, Q, beta, step, &value);
      if (outcome == PathSum::kCancelled || outcome == PathSum::kNoCut)
        break;
      if (outcome == PathSum::kTooCoarse)
        value = -1.0;
      else if (coarse > 0.0 && std::fabs(value - coarse) <= kAgreement * value) {
        fine = value;
        break;
      }
      coarse = value;
    }
    if (outcome != PathSum::kCancelled)
      break;
  }
  free_dvector(a, 0, r - 1);
  if (!(fine > 0.0))
    return -1.0;
  return std::exp(log_scale + std::log(fine / kPi));
}
