// Checks the expected tables of the single-variant Wald end-to-end cases (tests/e2e/wald_*)
// against computations written here from the input files alone: the statistics tail from the
// genotype counts, the filter messages and their order, the number format, the Naive columns by
// ordinary least squares (variance RSS/n), and the MLE columns by maximising the observed-data
// likelihood of the joint model directly (BFGS, GSL) with standard errors from the inverse of
// its Hessian. The end-to-end runner checks the program against these files; this checks the
// files.
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/driver/joint_model_check.h"

namespace {

using namespace joint_check;

// The genetic coefficients at the maximum of the likelihood and their standard errors: BFGS
// until the gradient norm is below 1e-4, then one Newton step with the Hessian, whose inverse
// gives the standard errors. The coefficients are not transformed, so their block of the
// inverse does not depend on how the other parameters are.
struct Mle {
  Vec beta, se;
};

Mle independent_mle(const Case &cs, const Variant &v) {
  const Joint d = joint_data(cs, v);
  const size_t n = parameter_count(d);
  Vec t = maximise(d, n, 1e-4);
  const Mat hess = hessian(d, t);
  gsl_matrix *H = gsl_matrix_alloc(n, n);
  gsl_vector *u = gsl_vector_alloc(n);
  for (size_t a = 0; a < n; ++a)
    for (size_t b = 0; b < n; ++b) gsl_matrix_set(H, a, b, hess[a][b]);
  Mle fit;  // empty when the Hessian is not positive definite
  if (gsl_linalg_cholesky_decomp1(H) == GSL_SUCCESS) {
    const Vec g = gradient(d, t);
    std::copy(g.begin(), g.end(), u->data);
    gsl_linalg_cholesky_svx(H, u);
    gsl_linalg_cholesky_invert(H);
    for (size_t k = 0; k < d.K; ++k) {
      fit.beta.push_back(t[k * d.p] - gsl_vector_get(u, k * d.p));
      fit.se.push_back(std::sqrt(gsl_matrix_get(H, k * d.p, k * d.p)));
    }
  }
  gsl_matrix_free(H);
  gsl_vector_free(u);
  return fit;
}

// ---------------------------------------------------------------------------------------------
// Comparisons with the printed rows

// Chi-square(1) tail of (beta/se)^2 from the printed beta and se; the tolerance follows the
// rounding of the two printed values (relative 5e-7 each) through the tail.
void expect_pvalue(const Row &r, size_t at, const std::string &what) {
  const double z = std::stod(r[at]) / std::stod(r[at + 1]);
  const double want = std::erfc(std::fabs(z) / std::sqrt(2.0));
  expect_close(r[at + 2], want, (2e-6 * (1.0 + z * z) + 1e-5) * want, what + " p-value");
}

void check_naive(const Row &r, size_t at, const Ols &f, const std::string &what) {
  expect_close(r[at], f.beta, 2e-6 * std::fabs(f.beta) + 1e-12, what + " estimate");
  if (f.exact) {  // an exact fit has no usable variance
    expect_na(r, at + 1, 2, what);
    return;
  }
  expect_close(r[at + 1], std::sqrt(f.var), 2e-6 * std::sqrt(f.var), what + " se");
  expect_pvalue(r, at, what);
}

// Checks every row that the case expects (a stopped run expects only the rows before the
// stop). Only wald_nonconvergence has fits that stop at the iteration limit; elsewhere such a
// fit marks a fault. The MLE is recomputed for every converged fit among the first `mle_rows`
// variants; its Hessian must be positive definite exactly when the program's information is.
// The fit stops at an L1 step below 1e-4: on these data that leaves the estimates within
// 1.3e-3 standard errors of the maximum and the standard errors within 1e-3 of their value
// there (the slowest, wald_nonconvergence v0); a wrong model or wrong data moves them by far
// more.
void check_case(const std::string &name, size_t mle_rows = 1000) {
  const fs::path dir = fs::path(__FILE__).parent_path().parent_path() / "e2e" / name;
  const Case cs = read_case(dir);
  const size_t K = cs.names.size();
  const Row naive = read_lines(dir / "expected/files/naive.tab");
  const Row mle = read_lines(dir / "expected/files/mle.tab");
  const Row warn = read_lines(dir / "expected/files/warning.txt");
  std::string header = "VARIANT_ID\t";
  for (const std::string &t : cs.names) header += t + "_BETA\t" + t + "_SE\t" + t + "_PVAL\t";
  EXPECT_EQ(naive.at(0), header + "MAC\tMAF\tN0\tN1\tN2\tNMISS");
  EXPECT_EQ(mle.at(0), naive[0]);
  ASSERT_EQ(warn.size() + 1, naive.size());
  ASSERT_EQ(mle.size(), naive.size());

  for (size_t v_no = 0; v_no < warn.size(); ++v_no) {
    const Variant v = count(cs.geno.at(v_no));
    const std::string what = name + " " + v.id;
    const Row nr = split_tabs(naive[v_no + 1]), mr = split_tabs(mle[v_no + 1]);
    const Row wr = split_tabs(warn[v_no]);
    ASSERT_EQ(nr[0], v.id);
    ASSERT_EQ(mr[0], v.id);
    ASSERT_EQ(wr[0], v.id);
    check_layout(nr, v, K, what);
    check_layout(mr, v, K, what);
    const std::string filter = filter_message(cs, v);
    if (!filter.empty()) {
      EXPECT_EQ(wr, Row({v.id, filter})) << what;
      expect_na(nr, 1, 3 * K, what);
      expect_na(mr, 1, 3 * K, what);
      continue;
    }
    size_t w = 1;
    const bool converged = !(w < wr.size() && wr[w] == "EM algorithm does not converge!");
    w += !converged;
    const bool info_bad =
        w < wr.size() && wr[w] == "The information matrix is not positive definite!";
    w += info_bad;
    EXPECT_TRUE(converged || name == "wald_nonconvergence") << what << " did not converge";
    const bool recompute = converged && v_no < mle_rows;
    const Mle fit = recompute ? independent_mle(cs, v) : Mle();
    if (recompute) {
      EXPECT_EQ(fit.se.empty(), info_bad) << what << ": information positive definite?";
    }
    for (size_t k = 0; k < K; ++k) {
      const size_t at = 1 + 3 * k;
      const std::string wk = what + " " + cs.names[k];
      const Ols f = naive_fit(cs, v, k);
      if (f.singular) {
        expect_na(nr, at, 3, wk);
        ASSERT_LT(w, wr.size()) << wk;
        EXPECT_EQ(wr[w++], "Naive design matrix is singular for trait " + cs.names[k] + "!");
      } else {
        check_naive(nr, at, f, wk + " naive");
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
    EXPECT_EQ(w, wr.size()) << what << ": unexpected warning " << warn[v_no];
  }
}

class WaldExpected : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gsl_set_error_handler_off(); }
};

TEST_F(WaldExpected, FiltersOddAndMissingGenotypes) { check_case("wald_filters"); }
TEST_F(WaldExpected, OneTraitFourSubjects) { check_case("wald_k1_m4"); }
TEST_F(WaldExpected, NaiveSingularAndExactFit) { check_case("wald_naive_mends"); }
TEST_F(WaldExpected, RowsBeforeMalformedLines) {
  check_case("wald_malformed_value");
  check_case("wald_malformed_fields");
  check_case("wald_genotype_out_of_range");
}
TEST_F(WaldExpected, NonConvergence) { check_case("wald_nonconvergence"); }
TEST_F(WaldExpected, ConstantCovariate) { check_case("wald_constant_covariate"); }
TEST_F(WaldExpected, NaiveFitWithoutResidualDegrees) { check_case("wald_naive_no_residual_df"); }
TEST_F(WaldExpected, NoVariant) { check_case("wald_nsnp0"); }
// The MLE of the first three variants (two with missing genotypes).
TEST_F(WaldExpected, ExampleData) { check_case("wald_example", 3); }

}  // namespace
