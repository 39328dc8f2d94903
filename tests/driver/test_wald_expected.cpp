// Checks the expected tables of the single-variant Wald end-to-end cases (tests/e2e/wald_*)
// against computations written from the input files alone (tests/independent_model.h): the
// statistics tail, the filter messages and their order, the number format, the Naive columns by
// ordinary least squares (variance RSS/n), and the MLE columns by maximising the observed-data
// likelihood of the joint model directly with standard errors from the inverse of its Hessian.
// The end-to-end runner checks the program against these files; this checks the files.
#include <gsl/gsl_errno.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/independent_model.h"
#include "tests/test_support.h"

namespace {

using namespace indep;

// The genetic coefficients at the maximum and their standard errors: one Newton step from the
// BFGS maximum, the inverse Hessian giving the standard errors. The coefficients are not
// transformed, so their block of the inverse does not depend on how the other parameters are.
// Empty when the Hessian is not positive definite.
struct Mle {
  Vec beta, se;
};

Mle independent_mle(const Case &cs, const Variant &v) {
  const Joint d = variant_joint(cs, v);
  const Vec t = maximise(d, {}), g = gradient(d, t);
  Mat inv = varnosta_test::identity(static_cast<int>(t.size()));
  for (size_t a = 0; a < t.size(); ++a) inv[a].push_back(g[a]);
  Mle fit;
  if (!spd_solve(hessian(d, t), inv))
    return fit;
  for (size_t k = 0; k < d.K; ++k) {
    const size_t at = d.offset[k];
    fit.beta.push_back(t[at] - inv[at][t.size()]);
    fit.se.push_back(std::sqrt(inv[at][at]));
  }
  return fit;
}

// Chi-square(1) tail of (beta/se)^2 from the printed beta and se; the tolerance follows the
// rounding of the two printed values (relative 5e-7 each) through the tail.
void expect_pvalue(const Strings &r, size_t at, const std::string &what) {
  const double z = std::stod(r[at]) / std::stod(r[at + 1]);
  const double want = std::erfc(std::fabs(z) / std::sqrt(2.0));
  expect_close(r[at + 2], want, (2e-6 * (1.0 + z * z) + 1e-5) * want, what + " p-value");
}

// Checks every row that the case expects (a stopped run expects only the rows before the
// stop). Only wald_nonconvergence has fits that stop at the iteration limit; elsewhere such a
// fit marks a fault. The MLE is recomputed for every converged fit among the first `mle_rows`
// variants; its Hessian must be positive definite exactly when the program's information is.
// The fit stops at an L1 step below 1e-4: on these data that leaves the estimates within
// 1.3e-3 standard errors of the maximum and the standard errors within 1e-3 of their value
// there (the slowest, wald_nonconvergence v0); a wrong model or wrong data moves them by far
// more.
void check_case(const std::string &name, size_t mle_rows) {
  const Case cs = read_case(name);
  std::string columns;
  for (const std::string &t : cs.traits) columns += t + "_BETA\t" + t + "_SE\t" + t + "_PVAL\t";
  size_t v_no = 0;
  check_variant_tables(
      cs, columns, [&](const Variant &v, const Strings &nr, const Strings &mr, const Strings &wr) {
        const std::string what = name + " " + v.id;
        size_t w = 1;
        const bool converged = !(w < wr.size() && wr[w] == "EM algorithm does not converge!");
        w += !converged;
        const bool info_bad =
            w < wr.size() && wr[w] == "The information matrix is not positive definite!";
        w += info_bad;
        EXPECT_TRUE(converged || name == "wald_nonconvergence") << what << " did not converge";
        const bool recompute = converged && v_no++ < mle_rows;
        const Mle fit = recompute ? independent_mle(cs, v) : Mle();
        if (recompute) {
          EXPECT_EQ(fit.se.empty(), info_bad) << what << ": information positive definite?";
        }
        for (size_t k = 0; k < cs.K(); ++k) {
          const size_t at = 1 + 3 * k;
          const std::string wk = what + " " + cs.traits[k];
          Mat X;
          Vec y;
          naive_sample(cs, v, k, X, y);
          const Ls f = least_squares(X, y);
          if (f.singular) {
            expect_na(nr, at, 3, wk);
            ASSERT_LT(w, wr.size()) << wk;
            EXPECT_EQ(wr[w++], "Naive design matrix is singular for trait " + cs.traits[k] + "!");
          } else {
            expect_close(nr[at], f.coef[0], 2e-6 * std::fabs(f.coef[0]) + 1e-12, wk + " naive");
            if (f.exact()) {  // an exact fit has no usable variance
              expect_na(nr, at + 1, 2, wk);
            } else {
              const double se = std::sqrt(f.rss / static_cast<double>(y.size()) * f.inv[0][0]);
              expect_close(nr[at + 1], se, 2e-6 * se, wk + " naive se");
              expect_pvalue(nr, at, wk + " naive");
            }
          }
          ASSERT_NE(mr[at], "NA") << wk;
          if (info_bad) {
            expect_na(mr, at + 1, 2, wk);
            continue;
          }
          expect_pvalue(mr, at, wk + " MLE");
          if (!fit.se.empty()) {
            expect_close(mr[at], fit.beta[k], 3e-3 * fit.se[k], wk + " MLE estimate");
            expect_close(mr[at + 1], fit.se[k], 2e-3 * fit.se[k], wk + " MLE se");
          }
        }
        EXPECT_EQ(w, wr.size()) << what << ": unexpected warning";
      });
}

// Filters, odd and missing genotypes; one trait and four subjects; the naive mends (singular
// design, exact fit, no residual degrees of freedom); the rows before a malformed line; fits
// that stop at the iteration limit; a constant covariate; no variant; the example data (the
// MLE of the first three variants, two with missing genotypes).
TEST(WaldExpected, EveryCase) {
  gsl_set_error_handler_off();
  for (const char *name :
       {"wald_filters", "wald_k1_m4", "wald_naive_mends", "wald_malformed_value",
        "wald_malformed_fields", "wald_genotype_out_of_range", "wald_nonconvergence",
        "wald_constant_covariate", "wald_naive_no_residual_df", "wald_nsnp0"})
    check_case(name, 1000);
  check_case("wald_example", 3);
}

}  // namespace
