#include "toolkit/qfc.h"

#include <cmath>
#include <csetjmp>
#include <cstdlib>

// Davies (1980): P(Q < c) = 1/2 - (1/pi) int_0^inf Im[phi(u) exp(-iuc)] / u du, evaluated by the
// midpoint rule at u = (k + 1/2) * interval. The interval is set from Chernoff bounds on the tails
// of Q (discretisation error), the number of terms from a bound on the truncation error, and when
// the integrand decays slowly a normal convergence factor exp(-tausq u^2 / 2) is added, either
// outright (its error bounded by cfe) or after an auxiliary integration of phi(u) (1 - factor).
// With x_j = 2 lb_j u the characteristic function has
//   log|phi(u)| = -sigsq u^2 / 2 - sum_j [n_j log(1 + x_j^2) / 4 + nc_j x_j^2 / (2 (1 + x_j^2))],
//   arg phi(u)  = sum_j [n_j atan(x_j) / 2 + nc_j x_j / (2 (1 + x_j^2))].

namespace {
namespace davies {

// The published constants, kept as printed there (pi to 15 digits, log(2)/8 to three): the
// printed p-values depend on them.
constexpr double kPi = 3.14159265358979;
constexpr double kTwoPi = 6.28318530717958;
constexpr double kLog28 = 0.0866;
// Above this exponent sum the convergence-factor bound is useless (2^25 times too loose).
constexpr double kCfeExponentLimit = 100.0;
// exp of anything below this is far beneath any accuracy that can be asked for.
constexpr double kExpCutoff = -50.0;

// State of one qfc call, set up afresh at its entry.
int r;             // number of chi-square terms
int lim;           // limit on counted bound evaluations
double c;          // point of evaluation
double *lb;        // coefficients
double *nc;        // non-centralities
int *n;            // degrees of freedom
double sigsq;      // sigma^2 plus every convergence factor adopted
double lmax;       // largest coefficient, at least 0
double lmin;       // smallest coefficient, at most 0
double mean;       // mean of Q
double intl;       // accumulated integral
double ersm;       // accumulated round-off error scale
int count;         // counted bound evaluations
bool ndtsrt;       // th not yet sorted
bool fail;         // cfe could not bound the convergence-factor error
int *th;           // term indices by decreasing |lb|
std::jmp_buf env;  // return point for the call limit

double square(double x) { return x * x; }

double exp1(double x) { return x < kExpCutoff ? 0.0 : std::exp(x); }

// log(1 + x) when first, log(1 + x) - x otherwise. Near 0 the library form loses digits (1 + x
// is rounded, and the subtraction cancels), so there we sum log(1 + x) = 2 (y + y^3/3 + ...) with
// y = x / (2 + x), starting the second form from 2y - x = -xy.
double log1(double x, bool first) {
  if (std::fabs(x) > 0.1)
    return first ? std::log(1.0 + x) : std::log(1.0 + x) - x;
  double y = x / (2.0 + x);
  double term = 2.0 * y * y * y;
  double k = 3.0;
  double s = (first ? 2.0 : -x) * y;
  y = square(y);
  for (double s1 = s + term / k; s1 != s; s1 = s + term / k) {
    k = k + 2.0;
    term = term * y;
    s = s1;
  }
  return s;
}

// Every bound evaluation counts against lim; past it the search is abandoned at qfc's entry.
void counter() {
  count = count + 1;
  if (count > lim)
    std::longjmp(env, 1);
}

// th[0..r-1] <- term indices by decreasing |lb|; an entry moves only past strictly smaller ones,
// so equal coefficients keep index order.
void order() {
  for (int j = 0; j < r; j++) {
    double lj = std::fabs(lb[j]);
    int k = j - 1;
    for (; k >= 0 && lj > std::fabs(lb[th[k]]); k--) th[k + 1] = th[k];
    th[k + 1] = j;
  }
  ndtsrt = false;
}

// Chernoff bound exp(K(u) - u K'(u)) on P(Q > cx) for u > 0, on P(Q < cx) for u < 0, with K the
// cumulant generating function of Q; the cut-off cx = K'(u) is returned through *cx. Needs
// 1 - 2 u lb[j] > 0 for every j (ctff keeps u inside that range).
double errbd(double u, double *cx) {
  counter();
  double xconst = u * sigsq;
  double sum1 = u * xconst;
  u = 2.0 * u;
  for (int j = r - 1; j >= 0; j--) {
    int nj = n[j];
    double lj = lb[j];
    double ncj = nc[j];
    double x = u * lj;
    double y = 1.0 - x;
    xconst = xconst + lj * (ncj / y + nj) / y;
    sum1 = sum1 + ncj * square(x / y) + nj * (square(x) / y + log1(-x, false));
  }
  *cx = xconst;
  return exp1(-0.5 * sum1);
}

// Cut-off c2 with P(Q > c2) < accx when *upn > 0, P(Q < c2) < accx when *upn < 0. The Chernoff
// parameter t is used as t / (1 + t rb), which keeps 1 - 2 u lb[j] positive; t is doubled until
// the bound holds, then the bracket is bisected until its inner cut-off reaches 0.9 of the outer
// one (measured from the mean), so the cut-off is not much wider than needed. *upn returns the
// final t, from which the next search starts.
double ctff(double accx, double *upn) {
  double u2 = *upn;
  double u1 = 0.0;
  double c1 = mean;
  double c2 = 0.0;
  double rb = 2.0 * ((u2 > 0.0) ? lmax : lmin);
  while (errbd(u2 / (1.0 + u2 * rb), &c2) > accx) {
    u1 = u2;
    c1 = c2;
    u2 = 2.0 * u2;
  }
  while ((c1 - mean) / (c2 - mean) < 0.9) {
    double u = (u1 + u2) / 2.0;
    double xconst = 0.0;
    if (errbd(u / (1.0 + u * rb), &xconst) > accx) {
      u1 = u;
      c1 = xconst;
    } else {
      u2 = u;
      c2 = xconst;
    }
  }
  *upn = u2;
  return c2;
}

// Bound on (1/pi) int_u^inf |phi(v)| exp(-tausq v^2 / 2) / v dv, the error of truncating the
// integral at u, as the least of three bounds (Davies 1973, 1980): the power decay of the terms
// with 4 lb^2 u^2 > 1 (integral 2/s), the decay of the whole product once its log exceeds 1
// (factor 2.5), and the decay of the normal factor alone.
double truncation(double u, double tausq) {
  counter();
  double sum1 = 0.0;
  double prod2 = 0.0;
  double prod3 = 0.0;
  int s = 0;
  double sum2 = (sigsq + tausq) * square(u);
  double prod1 = 2.0 * sum2;
  u = 2.0 * u;
  for (int j = 0; j < r; j++) {
    double lj = lb[j];
    double ncj = nc[j];
    int nj = n[j];
    double x = square(u * lj);
    sum1 = sum1 + ncj * x / (1.0 + x);
    if (x > 1.0) {
      prod2 = prod2 + nj * std::log(x);
      prod3 = prod3 + nj * log1(x, true);
      s = s + nj;
    } else {
      prod1 = prod1 + nj * log1(x, true);
    }
  }
  sum1 = 0.5 * sum1;
  prod2 = prod1 + prod2;
  prod3 = prod1 + prod3;
  double x = exp1(-sum1 - 0.25 * prod2) / kPi;
  double y = exp1(-sum1 - 0.25 * prod3) / kPi;
  double err1 = (s == 0) ? 1.0 : x * 2.0 / s;
  double err2 = (prod3 > 1.0) ? 2.5 * y : 1.0;
  if (err2 < err1)
    err1 = err2;
  x = 0.5 * sum2;
  err2 = (x <= y) ? 1.0 : y / x;
  return (err1 < err2) ? err1 : err2;
}

// *utx <- a truncation point whose bound is within accx: from a quarter of *utx, multiply or
// divide by 4 until the bound changes side, then shave it by 2.0, 1.4, 1.2 and 1.1 in turn.
void findu(double *utx, double accx) {
  static const double divis[] = {2.0, 1.4, 1.2, 1.1};
  double ut = *utx;
  double u = ut / 4.0;
  if (truncation(u, 0.0) > accx) {
    for (u = ut; truncation(u, 0.0) > accx; u = ut) ut = ut * 4.0;
  } else {
    ut = u;
    for (u = u / 4.0; truncation(u, 0.0) <= accx; u = u / 4.0) ut = u;
  }
  for (double d : divis) {
    u = ut / d;
    if (truncation(u, 0.0) <= accx)
      ut = u;
  }
  *utx = ut;
}

// Coefficient of tausq in Davies' bound on |P(Q < x) - P(Q + tau X < x)|: the means of the terms
// of x's sign are taken off |x|, smallest |lb| first, while what is left stays above
// |lb| / (8 log 2); the degrees of freedom not taken off enter as 2^(sum/4). Sets fail and gives
// 1 when that exponent sum exceeds 100.
double cfe(double x) {
  counter();
  if (ndtsrt)
    order();
  double axl = std::fabs(x);
  double sxl = (x > 0.0) ? 1.0 : -1.0;
  double sum1 = 0.0;
  for (int j = r - 1; j >= 0; j--) {
    int t = th[j];
    if (lb[t] * sxl <= 0.0)
      continue;
    double lj = std::fabs(lb[t]);
    double axl1 = axl - lj * (n[t] + nc[t]);
    double axl2 = lj / kLog28;
    if (axl1 > axl2) {
      axl = axl1;
      continue;
    }
    if (axl > axl2)
      axl = axl2;
    sum1 = (axl - axl1) / lj;
    for (int k = j - 1; k >= 0; k--) sum1 = sum1 + (n[th[k]] + nc[th[k]]);
    break;
  }
  if (sum1 > kCfeExponentLimit) {
    fail = true;
    return 1.0;
  }
  return std::pow(2.0, sum1 / 4.0) / (kPi * square(axl));
}

// Adds the terms k = nterm..0 (high frequencies first, so the small terms are summed before the
// large ones) at u = (k + 1/2) interv to intl, and their round-off scale (magnitude times the
// summed absolute phases) to ersm. The auxiliary form integrates phi(u) (1 - exp(-tausq u^2/2)),
// i.e. P(Q < c) - P(Q + tau X < c).
void integrate(int nterm, double interv, double tausq, bool mainx) {
  double inpi = interv / kPi;
  for (int k = nterm; k >= 0; k--) {
    double u = (k + 0.5) * interv;
    double sum1 = -2.0 * u * c;
    double sum2 = std::fabs(sum1);
    double sum3 = -0.5 * sigsq * square(u);
    for (int j = r - 1; j >= 0; j--) {
      int nj = n[j];
      double x = 2.0 * lb[j] * u;
      double y = square(x);
      sum3 = sum3 - 0.25 * nj * log1(y, true);
      y = nc[j] * x / (1.0 + y);
      double z = nj * std::atan(x) + y;
      sum1 = sum1 + z;
      sum2 = sum2 + std::fabs(z);
      sum3 = sum3 - 0.5 * x * y;
    }
    double x = inpi * exp1(sum3) / u;
    if (!mainx)
      x = x * (1.0 - exp1(-0.5 * tausq * square(u)));
    sum1 = std::sin(0.5 * sum1) * x;
    sum2 = 0.5 * sum2 * x;
    intl = intl + sum1;
    ersm = ersm + sum2;
  }
}

// sigsq, mean, lmax, lmin from the terms; *var <- variance of Q. False on a negative degree of
// freedom or non-centrality.
bool moments(double sigma, double *var) {
  sigsq = square(sigma);
  double sd = sigsq;
  for (int j = 0; j < r; j++) {
    int nj = n[j];
    double lj = lb[j];
    double ncj = nc[j];
    if (nj < 0 || ncj < 0.0)
      return false;
    sd = sd + square(lj) * (2 * nj + 4.0 * ncj);
    mean = mean + lj * (nj + ncj);
    if (lmax < lj) {
      lmax = lj;
    } else if (lmin > lj) {
      lmin = lj;
    }
  }
  *var = sd;
  return true;
}

// A convergence factor at the outset, adopted when both its own error (through cfe) and the
// truncation error it leaves are small; the truncation point is then found again.
void initial_factor(double *utx, double acc1, double *trace) {
  double tausq = 0.25 * acc1 / cfe(c);
  if (fail) {
    fail = false;
  } else if (truncation(*utx, tausq) < 0.2 * acc1) {
    sigsq = sigsq + tausq;
    findu(utx, 0.25 * acc1);
    trace[5] = std::sqrt(tausq);
  }
}

// One auxiliary integration of ntm + 1 terms, after which a normal factor of variance tausq is
// part of sigsq and the truncation point shrinks. False when it cannot be done (the coarse grid
// would alias c itself, or cfe fails); the main integration then follows directly.
bool auxiliary_integration(double xntm, double *utx, double *acc1, double *xlim, double *trace) {
  int ntm = static_cast<int>(std::floor(xntm + 0.5));
  double intv1 = *utx / ntm;
  double x = kTwoPi / intv1;
  if (x <= std::fabs(c))
    return false;
  double lower = cfe(c - x);
  double upper = cfe(c + x);
  double tausq = 0.33 * *acc1 / (1.1 * (lower + upper));
  if (fail)
    return false;
  *acc1 = 0.67 * *acc1;
  integrate(ntm, intv1, tausq, false);
  *xlim = *xlim - xntm;
  sigsq = sigsq + tausq;
  trace[2] = trace[2] + 1;
  trace[1] = trace[1] + ntm + 1;
  findu(utx, 0.25 * *acc1);
  *acc1 = 0.75 * *acc1;
  return true;
}

// ersm so large that acc/10 vanishes when added to it: the sum may have lost the accuracy asked
// for. The factors 1, 2, 4, 8 are exact, and defeat comparisons made in wider registers.
bool roundoff_significant(double acc) {
  double x = ersm + acc / 10.0;
  static const double factors[] = {1.0, 2.0, 4.0, 8.0};
  for (double f : factors) {
    if (f * x == f * ersm)
      return true;
  }
  return false;
}

// The main integration of about xnt terms at interval intv, unless that exceeds the term budget
// xlim (ifault 1, result -1). Returns P(Q < c); ifault 2 when round-off may matter.
double main_integration(double intv, double xnt, double xlim, double acc, double *trace,
                        int *ifault) {
  trace[3] = intv;
  if (xnt > xlim) {
    *ifault = 1;
    return -1.0;
  }
  int nt = static_cast<int>(std::floor(xnt + 0.5));
  integrate(nt, intv, 0.0, true);
  trace[2] = trace[2] + 1;
  trace[1] = trace[1] + nt + 1;
  double qfval = 0.5 - intl;
  trace[0] = ersm;
  if (roundoff_significant(acc))
    *ifault = 2;
  return qfval;
}

// Steps after the set-up: moments, truncation point, convergence factors, integration interval
// from the tail cut-offs, auxiliary integrations while the main one would need too many terms,
// then the main integration. Returns P(Q < c), or -1 with *ifault set.
double evaluate(double sigma, double acc, double *trace, int *ifault) {
  double acc1 = acc;
  double xlim = lim;
  double sd = 0.0;
  if (!moments(sigma, &sd)) {
    *ifault = 3;
    return -1.0;
  }
  // Q is the constant 0.
  if (sd == 0.0)
    return (c > 0.0) ? 1.0 : 0.0;
  if (lmin == 0.0 && lmax == 0.0 && sigma == 0.0) {
    *ifault = 3;
    return -1.0;
  }
  sd = std::sqrt(sd);
  double almx = (lmax < -lmin) ? -lmin : lmax;
  double utx = 16.0 / sd;
  double up = 4.5 / sd;
  double un = -up;
  findu(&utx, 0.5 * acc1);
  // A dominant coefficient makes phi decay slowly; a convergence factor then saves terms.
  if (c != 0.0 && almx > 0.07 * sd)
    initial_factor(&utx, acc1, trace);
  trace[4] = utx;
  acc1 = 0.5 * acc1;
  for (;;) {
    // The grid's alias period 2 pi / intv must reach past both tail cut-offs from c; a c beyond
    // a cut-off is decided without integrating.
    double d1 = ctff(acc1, &up) - c;
    if (d1 < 0.0)
      return 1.0;
    double d2 = c - ctff(acc1, &un);
    if (d2 < 0.0)
      return 0.0;
    double intv = kTwoPi / ((d1 > d2) ? d1 : d2);
    double xnt = utx / intv;
    double xntm = 3.0 / std::sqrt(acc1);
    if (xnt > 1.5 * xntm) {
      if (xntm > xlim) {
        *ifault = 1;
        return -1.0;
      }
      if (auxiliary_integration(xntm, &utx, &acc1, &xlim, trace))
        continue;
    }
    return main_integration(intv, xnt, xlim, acc, trace, ifault);
  }
}

// Common exit, also after a fault or the jump back: releases th and stores the results.
void finish(double qfval, double *trace, double *res) {
  std::free(th);
  th = nullptr;
  trace[6] = count;
  *res = qfval;
}

}  // namespace davies
}  // namespace

// Contract in qfc.h. Only file-scope state and the unmodified arguments are used after the
// jump back, so nothing here is clobbered by longjmp.
void qfc(double *lb, double *nc, int *n, int *r, double *sigma, double *c, int *lim, double *acc,
         double *trace, int *ifault, double *res) {
  if (setjmp(davies::env) != 0) {
    // The call limit was passed inside a bound evaluation.
    *ifault = 4;
    davies::finish(-1.0, trace, res);
    return;
  }
  davies::r = *r;
  davies::lim = *lim;
  davies::c = *c;
  davies::lb = lb;
  davies::nc = nc;
  davies::n = n;
  for (int j = 0; j < 7; j++) trace[j] = 0.0;
  *ifault = 0;
  davies::count = 0;
  davies::intl = 0.0;
  davies::ersm = 0.0;
  davies::mean = 0.0;
  davies::lmax = 0.0;
  davies::lmin = 0.0;
  davies::ndtsrt = true;
  davies::fail = false;
  // One element at least: malloc(0) may give null, which must not read as a failure.
  int cells = (*r > 0) ? *r : 1;
  davies::th = static_cast<int *>(std::malloc(static_cast<size_t>(cells) * sizeof(int)));
  if (davies::th == nullptr) {
    *ifault = 5;
    davies::finish(-1.0, trace, res);
    return;
  }
  double qfval = davies::evaluate(*sigma, *acc, trace, ifault);
  davies::finish(qfval, trace, res);
}
