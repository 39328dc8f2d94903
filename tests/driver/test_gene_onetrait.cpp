// Checks the expected files of the one-trait gene-based end-to-end cases (tests/e2e/onetrait_*)
// against computations written from the input files alone (tests/independent_model.h): gene
// blocks, coding and bounds; the singular designs, messages, NA rules and row layouts; the
// naive scores by least squares (residuals of the covariate-only fit, variance RSS/n); the MLE
// efficient scores U and V = I_GG - I_GN I_NN^-1 I_NG at the maximum of the observed-data
// log-likelihood with the tested coefficients held at zero; and Q, T and P by their formulas.
// The end-to-end runner checks the program against these files; this checks the files. Also:
// the closed form with complete data, and a run whose fits all stop at the iteration limit.
#include <gsl/gsl_errno.h>
#include <gsl/gsl_randist.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/globals.h"
#include "driver/pipelines.h"
#include "tests/engine/engine_fixture.h"
#include "tests/independent_model.h"
#include "tests/test_support.h"

namespace {

using namespace indep;

// Printing keeps seven significant digits: a relative 5e-7 per printed number.
const double kPrinted = 2e-6;

// Printed scores against independent ones: each entry within its printing error plus `tol`
// times its scale (the standard errors of the two coefficients), and V within 1e-12 for a
// column without variation (zero, up to the rounding of the independent computation).
void expect_scores(const Scores &got, const Scores &want, double tol, const std::string &what) {
  for (size_t a = 0; a < want.U.size(); ++a) {
    const double sa = std::sqrt(std::fabs(want.V[a][a]));
    EXPECT_NEAR(got.U[a], want.U[a], kPrinted * std::fabs(want.U[a]) + tol * sa)
        << what << " U" << a + 1;
    for (size_t b = 0; b < want.U.size(); ++b)
      EXPECT_NEAR(got.V[a][b], want.V[a][b],
                  kPrinted * std::fabs(want.V[a][b]) +
                      tol * sa * std::sqrt(std::fabs(want.V[b][b])) + 1e-12)
          << what << " V" << a + 1 << b + 1;
  }
}

Strings group(int mac, int na) {
  Strings g{std::to_string(mac)};
  for (int i = 0; i < na; ++i) g.push_back("NA");
  return g;
}

Strings fields(const Strings &row, size_t from, size_t count) {
  if (from + count > row.size())
    return {};
  return Strings(row.begin() + from, row.begin() + from + count);
}

struct Test {
  std::string name;
  double bound;  // map MAF bound (MB and SKAT: -MAF_UB)
  bool skat() const { return name == "SKAT"; }
  bool mb() const { return name == "MB"; }
};

// The condensed row: the sum of the G tested columns, then the intercept and covariates.
Vec condense(const Vec &r, size_t G) {
  Vec c(r.begin() + static_cast<long>(G) - 1, r.end());
  for (size_t l = 0; l + 1 < G; ++l) c[0] += r[l];
  return c;
}

// The constrained fit in the parameters of d (trait t on the full rows, G tested columns): the
// engine's EM on the condensed rows, whose stationarity its own tests check. The expected
// files hold the scores at this fit, which stops short of the maximum where the EM converges
// slowly or a trait is fitted exactly. Under the constraint the density of a full row depends
// on its condensed row only, so the masses of the full rows of one condensed row are in
// proportion to their counts.
Vec engine_fit(const Case &cs, const Joint &d, size_t t, size_t G) {
  auto traits = [](Vec y) {
    for (double &x : y) x = missing(x) ? NAN : x;
    return y;
  };
  std::vector<engine_test::Subject> seq, non;
  for (size_t i = 0; i < cs.m(); ++i)
    seq.push_back({condense(d.rows[t][d.row_of[i]], G), traits(cs.y[i])});
  for (const Vec &y : cs.non) non.push_back({{}, traits(y)});
  const int saved_K = ::K, saved_p = ::p;
  engine_test::Model e(static_cast<int>(d.K), seq, non);
  e.fit_constrained(static_cast<int>(t) + 1);
  ::K = saved_K;
  ::p = saved_p;
  EXPECT_FALSE(flag_nonconvergence);
  Vec coef(d.chol(), 0.0), q;
  Mat Sigma(d.K, Vec(d.K));
  for (size_t k = 0; k < d.K; ++k) {
    for (int l = (k == t ? 2 : 1); l <= e.w; ++l)
      coef[d.offset[k] + l - 1 + (k == t ? G - 1 : 0)] = e.eta0[l][k + 1];
    for (size_t b = 0; b < d.K; ++b) Sigma[k][b] = e.Sigma[std::min(k, b) + 1][std::max(k, b) + 1];
  }
  std::map<Vec, int> u_of;
  for (int u = 1; u <= e.J; ++u) u_of[Vec(e.W_Uni[u] + 1, e.W_Uni[u] + e.w + 1)] = u;
  for (size_t j = 0; j < d.J; ++j) {
    const int u = u_of.at(condense(d.rows[t][j], G));
    q.push_back(e.q[u] * d.count[j] / e.n_UniW[u]);
  }
  return unconstrained(d, coef, Sigma, q);
}

class Checker {
 public:
  explicit Checker(const Case &cs) : cs_(cs), t_(cs.trait()), genes_(genes_of(cs)) {
    const double maf_ub = cs.num("-MAF_UB", 0.05);
    for (const Test &t : {Test{"SKAT", maf_ub}, {"T1", 0.01}, {"T5", 0.05}, {"MB", maf_ub}})
      if (cs.opt.count("-" + t.name))
        tests_.push_back(t);
    naive_exact_ = naive_exact();
  }

  // Checks every file.
  void run() {
    const Strings mle = cs_.expected(cs_.file("-OUT_MLE", "mle.tab"));
    const Strings naive = cs_.expected(cs_.file("-OUT_NAIVE", "naive.tab"));
    const Strings warn = cs_.expected(cs_.file("-OUT_WARN", "warning.txt"));
    std::string head = "GENE", head_naive = "GENE";
    for (const Test &t : tests_) {
      const std::string &n = t.name;
      head += "\t" + n + "_MAC\t" + n + "_T\t" + n + "_PVAL";
      head_naive +=
          "\t" + n + "_MAC\t" + n + (t.skat() ? "_T\t" : "_U\t" + n + "_V\t") + n + "_PVAL";
      files_[file(t)] = cs_.expected(file(t));  // every variant-level file: no row unchecked
      if (t.skat())
        files_["naive_" + file(t)] = cs_.expected("naive_" + file(t));
    }
    EXPECT_EQ(mle.at(0), head) << cs_.name;
    EXPECT_EQ(naive.at(0), head_naive) << cs_.name;
    ASSERT_EQ(mle.size(), genes_.size() + 1) << cs_.name;
    ASSERT_EQ(naive.size(), mle.size()) << cs_.name;
    ASSERT_EQ(warn.size(), genes_.size()) << cs_.name;
    size_t g = 0;
    for (const auto &[gene, vars] : genes_) {
      g++;
      const Strings m = split(mle[g]), nv = split(naive[g]), wr = split(warn[g - 1]);
      ASSERT_EQ(m.at(0), gene);
      ASSERT_EQ(nv.at(0), gene);
      ASSERT_EQ(wr.at(0), gene);
      check_gene(gene, vars, m, nv, wr);
    }
    for (const auto &[name, rows] : files_)
      EXPECT_EQ(at_[name], rows.size()) << cs_.name << " " << name << ": rows left over";
  }

 private:
  using Vars = std::vector<const GeneVariant *>;
  std::string file(const Test &t) const { return cs_.opt.at("-" + t.name); }

  // The next row of a variant-level file when it belongs to `gene`, else none.
  Strings next_row(const std::string &file, const std::string &gene) {
    const Strings &rows = files_.at(file);
    size_t &i = at_[file];
    if (i >= rows.size() || split(rows[i]).at(0) != gene)
      return {};
    return split(rows[i++]);
  }

  // Consumes the next message of the warning line when it is `message`.
  bool take(const std::string &message) {
    if (w_ < warn_.size() && warn_[w_] == message) {
      w_++;
      return true;
    }
    return false;
  }

  // Sequenced subjects' tested columns: the SKAT variants, or one burden column.
  Mat columns(const Vars &vars, const Test &t) const {
    Mat X(cs_.m());
    for (size_t i = 0; i < cs_.m(); ++i) {
      if (t.skat()) {
        for (const GeneVariant *v : vars) X[i].push_back(v->g[i]);
        continue;
      }
      double b = 0.0;
      for (const GeneVariant *v : vars)
        b += t.mb() ? v->g[i] / std::sqrt((1.0 - v->maf) * v->maf) : v->g[i];
      X[i].push_back(b);
    }
    return X;
  }

  // Rows of subject i: the tested columns X[i] (full) or their sum (condensed), then the
  // intercept and covariates.
  Vec row(const Vec &x, size_t i, bool condensed) const {
    Vec r = x;
    if (condensed) {
      r.assign(1, 0.0);
      for (double v : x) r[0] += v;
    }
    r.push_back(1.0);
    r.insert(r.end(), cs_.cov[i].begin(), cs_.cov[i].end());
    return r;
  }

  bool design_singular(const Mat &X) const {
    Mat D;
    for (size_t i = 0; i < cs_.m(); ++i) D.push_back(row(X[i], i, true));
    return singular(D);
  }

  // The naive sample: the tested columns X, the intercept and covariates Z and the trait y of
  // the sequenced subjects with the trait observed.
  void naive_sample(const Mat &X, Mat &Xn, Mat &Zn, Vec &yn) const {
    for (size_t i = 0; i < cs_.m(); ++i) {
      if (missing(cs_.y[i][t_]))
        continue;
      Xn.push_back(X[i]);
      Zn.push_back(row({}, i, false));
      yn.push_back(cs_.y[i][t_]);
    }
  }

  // Whether Z fits the trait exactly on the naive sample: then no naive test has a result.
  bool naive_exact() const {
    Mat Xn, Zn;
    Vec yn;
    naive_sample(Mat(cs_.m()), Xn, Zn, yn);
    return least_squares(Zn, yn).exact();
  }

  // Least-squares scores of the columns X; a column that Z spans in the naive sample has score
  // and variance 0 (no information), as exact arithmetic gives. `spanned` tells whether any is.
  Scores naive_scores(const Mat &X, bool *spanned = nullptr) const {
    Mat Xn, Zn;
    Vec yn;
    naive_sample(X, Xn, Zn, yn);
    Scores ls = ls_score(Xn, Zn, yn);
    for (size_t a = 0; a < ls.U.size(); ++a) {
      Mat D = Zn;
      for (size_t s = 0; s < D.size(); ++s) D[s].insert(D[s].begin(), Xn[s][a]);
      if (!singular(D))
        continue;
      if (spanned)
        *spanned = true;
      ls.U[a] = 0.0;
      for (size_t b = 0; b < ls.U.size(); ++b) ls.V[a][b] = ls.V[b][a] = 0.0;
    }
    return ls;
  }

  // MLE scores against the efficient scores of the one-trait model at the program's fit: the
  // tested trait's coefficients belong to the full rows (tested columns, intercept,
  // covariates), every other trait's to the condensed rows. In units of the standard errors (of
  // sqrt(V_aa V_bb) for V). Agreement is to the fit's accuracy (its L1 step is below 1e-4 at
  // the end; U is corrected for the nuisance score left) and the finite differences': the gaps
  // on these data are at most 1.6e-4. The tolerance is 5e-4; a wrong trait, a wrong position of
  // the covariance entries, the first SKAT variant in place of the genotype sum or unsquared
  // SKAT weights move U, V or Q by far more.
  void check_mle(const Mat &X, const Scores &got, const std::string &what) {
    expect_scores(got, mle_model(X, what), 5e-4, what);
  }

  const Scores &mle_model(const Mat &X, const std::string &what) {
    if (!fd_scores_.count(X)) {  // tests of one gene on the same column share one model
      Mat design;
      for (size_t i = 0; i < cs_.m(); ++i) design.push_back(row(X[i], i, false));
      const size_t G = X[0].size();
      const Joint d = make_joint(design, cs_.y, cs_.non, [&](size_t k, const Vec &r) {
        return k == t_ ? r : condense(r, G);
      });
      std::vector<size_t> tested;
      for (size_t l = 0; l < G; ++l) tested.push_back(d.offset[t_] + l);
      const Vec at = engine_fit(cs_, d, t_, G);
      const Efficient e = efficient_score(d, tested, &at);
      EXPECT_TRUE(e.ok) << what << ": nuisance information not positive definite";
      fd_scores_[X] = e;
    }
    return fd_scores_[X];
  }

  // The SKAT rows of the gene in `file`: one per variant of `vars` (in any order) with its MAF
  // and carriers, U and the covariance row up to the diagonal padded with zeros. Reorders
  // `vars` as the rows are and returns the scores.
  Scores skat_rows(const std::string &file, const std::string &gene, Vars &vars,
                   const std::string &what) {
    const size_t G = vars.size();
    Vars order;
    Scores s{Vec(G), Mat(G, Vec(G))};
    for (size_t l = 0; l < G; ++l) {
      const Strings r = next_row(file, gene);
      EXPECT_EQ(r.size(), 5 + G) << what << " row " << l + 1;
      const auto v = std::find_if(vars.begin(), vars.end(),
                                  [&](auto *x) { return r.size() > 1 && x->id == r[1]; });
      EXPECT_NE(v, vars.end()) << what;
      if (r.size() != 5 + G || v == vars.end())
        return s;
      order.push_back(*v);
      expect_close(r[2], (*v)->maf, kPrinted * (*v)->maf, what + " MAF");
      EXPECT_EQ(r[3], std::to_string((*v)->cnt)) << what;
      s.U[l] = std::stod(r[4]);
      for (size_t b = 0; b < G; ++b) {
        if (b > l)
          EXPECT_EQ(r[5 + b], "0.000000e+00") << what;
        else
          s.V[b][l] = s.V[l][b] = std::stod(r[5 + b]);
      }
    }
    vars = order;
    return s;
  }

  // A SKAT or MLE burden group from the statistic and P computed here: "mac NA NA" without a
  // P >= 0 (a P of 0 is a tail beyond the double range); with the accuracy message, Q and the
  // p-value as computed or NA.
  void check_group(const Strings &row, size_t f, int mac, double stat, double P, bool accuracy,
                   const std::string &what, bool skat = false) {
    ASSERT_GE(row.size(), f + 3) << what;
    EXPECT_EQ(row[f], std::to_string(mac)) << what;
    if (accuracy) {
      expect_close(row[f + 1], stat, 1e-5 * std::fabs(stat), what + " Q");
    } else if (!(P >= 0.0)) {
      EXPECT_EQ(fields(row, f + 1, 2), Strings({"NA", "NA"})) << what;
    } else {
      expect_close(row[f + 1], stat, 1e-5 * std::fabs(stat), what + " statistic");
      expect_close(row[f + 2], P, skat ? skat_p_tolerance(P) : 1e-5 * P + 1e-10, what + " P");
    }
  }

  Vec skat_weights(const Vars &vars) const {
    Vec w;
    for (const GeneVariant *v : vars) w.push_back(std::pow(gsl_ran_beta_pdf(v->maf, 1.0, 25.0), 2));
    return w;
  }

  void check_skat(const Test &t, const std::string &gene, Vars vars, int mac) {
    const std::string what = cs_.name + " " + gene + " SKAT";
    if (vars.empty() || design_singular(columns(vars, t))) {
      EXPECT_TRUE(take("(SKAT) The design matrix is singular!")) << what;
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
      EXPECT_EQ(fields(naive_, fn_, 3), group(mac, 2)) << what;
      return;
    }
    const bool failed = take("(SKAT) EM algorithm does not converge!") ||
                        take("The information matrix is not positive definite!");
    EXPECT_FALSE(failed) << what << ": no fit of these cases is expected to fail";
    if (failed) {
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
    } else if (take("(SKAT) V is not positive semi-definite!")) {
      // No rows; the model's own variance must be indefinite (or have a negative variance).
      EXPECT_FALSE(skat_semidefinite(mle_model(columns(vars, t), what).V, skat_weights(vars)))
          << what;
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
    } else {
      skat_mle_ = skat_rows(file(t), gene, vars, what + " MLE");
      check_mle(columns(vars, t), skat_mle_, what + " MLE");
      EXPECT_TRUE(skat_semidefinite(skat_mle_.V, skat_weights(vars))) << what;
      const Skat s = skat(skat_mle_.U, skat_mle_.V, skat_weights(vars));
      const bool acc = take("(SKAT) The asymptotic p-value of the MLE method may not be accurate!");
      EXPECT_EQ(acc, s.fault > 0) << what;
      check_group(mle_, f_, mac, s.Q, s.P, acc, what + " MLE", true);
    }
    if (naive_exact_) {
      EXPECT_EQ(fields(naive_, fn_, 3), group(mac, 2)) << what;
      return;
    }
    skat_ls_ = skat_rows("naive_" + file(t), gene, vars, what + " LS");
    expect_scores(skat_ls_, naive_scores(columns(vars, t)), 1e-9, what + " LS");
    const Skat s = skat(skat_ls_.U, skat_ls_.V, skat_weights(vars));
    const bool acc = take("(SKAT) The asymptotic p-value of the LS method may not be accurate!");
    EXPECT_EQ(acc, s.fault > 0) << what;
    check_group(naive_, fn_, mac, s.Q, s.P, acc, what + " LS", true);
    skat_vars_ = vars;
  }

  void check_burden(const std::string &gene, const Test &t, const Vars &vars, int mac) {
    const std::string what = cs_.name + " " + gene + " " + t.name;
    const std::string prefix = "(" + t.name + ") ";
    const Mat X = columns(vars, t);
    const Strings row = next_row(file(t), gene);
    const Strings na_row{gene, std::to_string(mac), "NA", "NA"};
    if (design_singular(X)) {
      EXPECT_TRUE(take(prefix + "The design matrix is singular!")) << what;
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
      EXPECT_EQ(fields(naive_, fn_, 4), group(mac, 3)) << what;
      EXPECT_EQ(row, na_row) << what;
      return;
    }
    ASSERT_EQ(row.size(), 4u) << what;
    EXPECT_EQ(row[1], std::to_string(mac)) << what;
    const bool failed = take(prefix + "EM algorithm does not converge!") ||
                        take(prefix + "V is not positive definite!");
    EXPECT_FALSE(failed) << what << ": no fit of these cases is expected to fail";
    if (take(prefix + "V is not positive!") || failed || row[2] == "NA") {
      EXPECT_EQ(row, na_row) << what;
      EXPECT_EQ(fields(mle_, f_, 3), group(mac, 2)) << what;
    } else {
      const Scores got{{std::stod(row[2])}, {{std::stod(row[3])}}};
      check_mle(X, got, what + " MLE");
      const double T = got.U[0] * got.U[0] / got.V[0][0];
      check_group(mle_, f_, mac, T, chisq1_tail(T), false, what + " MLE");
      mle_burden_[t.name] = got;
    }
    // Naive: the p-value as computed, 0 included; "NA" without a positive variance.
    bool spanned = false;
    const Scores ls = naive_scores(X, &spanned);
    EXPECT_EQ(naive_.at(fn_), std::to_string(mac)) << what;
    if (naive_exact_ || spanned || !(ls.V[0][0] > 0.0)) {
      EXPECT_EQ(fields(naive_, fn_ + 1, 3), Strings({"NA", "NA", "NA"})) << what;
    } else {
      const Scores got{{std::stod(naive_.at(fn_ + 1))}, {{std::stod(naive_.at(fn_ + 2))}}};
      expect_scores(got, ls, 1e-9, what + " naive");
      const double P = chisq1_tail(ls.U[0] * ls.U[0] / ls.V[0][0]);
      expect_close(naive_.at(fn_ + 3), P, 1e-5 * P + 1e-10, what + " naive P");
      naive_burden_[t.name] = got;
    }
  }

  void check_gene(const std::string &gene, const std::vector<GeneVariant> &all, const Strings &mle,
                  const Strings &naive, const Strings &warn) {
    const std::string what = cs_.name + " " + gene;
    mle_ = mle, naive_ = naive, warn_ = warn;
    f_ = fn_ = w_ = 1;
    Vars eligible;
    for (const GeneVariant &v : all)
      if (v.eligible)
        eligible.push_back(&v);
    if (eligible.empty()) {
      EXPECT_EQ(warn, Strings({gene, "No eligible SNP in this gene!"})) << what;
      Strings want{gene}, want_naive{gene};
      for (const Test &t : tests_) {
        for (const std::string &x : group(0, 2)) want.push_back(x);
        for (const std::string &x : group(0, t.skat() ? 2 : 3)) want_naive.push_back(x);
      }
      EXPECT_EQ(mle, want) << what;
      EXPECT_EQ(naive, want_naive) << what;
      return;
    }
    EXPECT_EQ(mle.size(), 1 + 3 * tests_.size()) << what;
    mle_burden_.clear();
    naive_burden_.clear();
    skat_vars_.clear();
    for (const Test &t : tests_) {
      Vars in;
      int mac = 0;
      for (const GeneVariant *v : eligible)
        if (v->maf <= t.bound)
          in.push_back(v), mac += v->cnt;
      if (t.skat()) {
        check_skat(t, gene, in, mac);
      } else {
        check_burden(gene, t, in, mac);
        // One SKAT variant, which is also the burden column: the same scores.
        if (skat_vars_.size() == 1 && in == skat_vars_ && !t.mb()) {
          if (mle_burden_.count(t.name) && !skat_mle_.U.empty())
            expect_scores(skat_mle_, mle_burden_[t.name], 0.0, what + " SKAT = " + t.name);
          if (naive_burden_.count(t.name))
            expect_scores(skat_ls_, naive_burden_[t.name], 0.0, what + " LS SKAT = " + t.name);
        }
        fn_++;
      }
      f_ += 3;
      fn_ += 3;
    }
    EXPECT_EQ(naive.size(), fn_) << what;
    EXPECT_EQ(w_, warn.size()) << what << ": unexpected message "
                               << (w_ < warn.size() ? warn[w_] : "");
  }

  const Case &cs_;
  const size_t t_;
  const std::map<std::string, std::vector<GeneVariant>> genes_;
  std::vector<Test> tests_;
  bool naive_exact_ = false;
  std::map<std::string, Strings> files_;
  std::map<std::string, size_t> at_;
  Strings mle_, naive_, warn_;
  size_t f_ = 1, fn_ = 1, w_ = 1;
  Scores skat_mle_, skat_ls_;
  Vars skat_vars_;
  std::map<std::string, Scores> mle_burden_, naive_burden_;
  std::map<Mat, Scores> fd_scores_;
};

// The example data, additive and Dominant; edge cases; a MAF bound of 0.2 with every variant
// eligible; T5 alone; a genotype that the covariates span in the naive sample (its naive scores
// are zero), and a trait that the covariates fit exactly there (no naive result at all); one
// trait with complete data, and a p-value beyond the double range.
TEST(OneTraitExpected, EveryCase) {
  gsl_set_error_handler_off();
  for (const char *name :
       {"onetrait_example", "onetrait_example_dominant", "onetrait_edges", "onetrait_maf_ub",
        "onetrait_t5_only", "onetrait_naive_spanned", "onetrait_naive_exact", "onetrait_k1",
        "onetrait_p0", "onetrait_sim_strong_skat", "onetrait_burden_below_double",
        "onetrait_constant_variant", "onetrait_skat_indefinite_v"}) {
    const Case cs = read_case(name);
    Checker(cs).run();
  }
}

// One trait, observed for every sequenced subject and for no other: the constrained fit is the
// least-squares fit of the covariates with the variance RSS/m (the non-sequenced subjects, with
// nothing observed, carry no information), so the efficient score is the least-squares score U.
// Its variance is the least-squares one less 2 U U' / m: at the constrained fit the score of the
// genetic coefficients and that of the variance s2 are correlated (I_G,s2 = U / s2, I_s2,s2 =
// m / (2 s2^2)), and the efficient variance subtracts I_G,s2 I_s2,s2^-1 I_s2,G = 2 U U' / m.
// Agreement is to the fit's accuracy and the printed digits (relative 1e-5).
TEST(OneTraitClosedForm, CompleteDataOneTrait) {
  for (const std::string name : {"onetrait_k1", "onetrait_p0"}) {
    const Case cs = read_case(name);
    const double m = static_cast<double>(cs.m());
    auto rows_of = [&](const std::string &file) {
      std::vector<Strings> rows;
      for (const std::string &text : cs.expected(file)) rows.push_back(split(text));
      return rows;
    };
    // SKAT: the MLE and naive rows of each gene, U and the covariance rows up to the diagonal.
    const auto mle = rows_of(cs.opt.at("-SKAT")), naive = rows_of("naive_" + cs.opt.at("-SKAT"));
    ASSERT_EQ(mle.size(), naive.size()) << name;
    for (size_t a = 0, first = 0; a < mle.size(); ++a) {
      first = mle[a][0] == mle[first][0] ? first : a;  // the gene's first row
      const std::string what = name + " " + mle[a][0] + " SKAT " + mle[a][1];
      ASSERT_EQ(mle[a][1], naive[a][1]) << what;
      const double Ua = std::stod(naive[a][4]);
      EXPECT_NEAR(std::stod(mle[a][4]), Ua, 1e-5 * std::fabs(Ua)) << what;
      for (size_t b = first; b <= a; ++b) {
        const double Ub = std::stod(naive[b][4]);
        const double V = std::stod(naive[a][5 + b - first]) - 2.0 * Ua * Ub / m;
        const double scale =
            std::sqrt(std::stod(naive[a][5 + a - first]) * std::stod(naive[b][5 + b - first]));
        EXPECT_NEAR(std::stod(mle[a][5 + b - first]), V, 1e-5 * scale) << what;
      }
    }
    // Burden tests: the variant-level row (MLE U, V) against the naive group of the test.
    const auto groups = rows_of("naive.tab");
    for (const char *test : {"-T1", "-T5", "-MB"}) {
      if (!cs.opt.count(test))
        continue;
      const std::string col = std::string(test + 1) + "_U";
      const size_t at = std::find(groups[0].begin(), groups[0].end(), col) - groups[0].begin();
      const auto rows = rows_of(cs.opt.at(test));
      for (size_t g = 0; g < rows.size(); ++g) {
        const Strings &r = rows[g], &n = groups.at(g + 1);
        ASSERT_EQ(r[0], n[0]);
        const double U = std::stod(n[at]), V = std::stod(n[at + 1]) - 2.0 * U * U / m;
        const std::string what = name + " " + r[0] + " " + test;
        if (r[2] == "NA") {  // no result: V <= 0 or a p-value beyond the double range
          EXPECT_FALSE(V > 0.0 && chisq1_tail(U * U / V) > 0.0) << what;
          continue;
        }
        EXPECT_NEAR(std::stod(r[2]), U, 1e-5 * std::fabs(U)) << what;
        EXPECT_NEAR(std::stod(r[3]), V, 1e-5 * std::fabs(V)) << what;
      }
    }
  }
}

// Every fit of onetrait_edges stopped after one iteration: each test with a usable design gets
// its "EM algorithm does not converge!" message and "NA" for its statistic and p-value, the SKAT
// file no row and the burden files "NA" rows; the naive side (tables and naive SKAT file) is
// that of the converged run, byte for byte.
TEST(OneTraitPipeline, FitsThatDoNotConvergeKeepTheNaiveSide) {
  const fs::path cases = fs::path(__FILE__).parent_path().parent_path() / "e2e" / "onetrait_edges";
  const fs::path work = varnosta_test::temp_path("edges");
  fs::create_directories(work);
  for (const char *file : {"pheno_seq.tab", "pheno_nonseq.tab", "geno.tab", "map.tab"})
    fs::copy_file(cases / "inputs" / file, work / file, fs::copy_options::overwrite_existing);
  // The run uses the default file names, in its own folder (the naive SKAT file is "naive_"
  // followed by the whole -SKAT argument).
  const fs::path cwd = fs::current_path();
  fs::current_path(work);
  Strings args{"varnosta"};
  for (const std::string &a : read_lines(cases / "args")) args.push_back(a);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());

  set_defaults();
  parse_options(static_cast<int>(argv.size()), argv.data());
  DriverLocals d;
  ::testing::internal::CaptureStdout();
  read_input(d.trait_names, d.token);
  engine_hooks::em_iteration_limit = 1;
  run_gene_onetrait(d);
  engine_hooks::em_iteration_limit = 500;
  ::testing::internal::GetCapturedStdout();
  release_arrays();
  fs::current_path(cwd);

  auto got = [&](const std::string &file) { return read_lines(work / file); };
  auto want = [&](const std::string &file) { return read_lines(cases / "expected/files" / file); };
  EXPECT_EQ(got("naive.tab"), want("naive.tab"));
  EXPECT_EQ(got("naive_skat.tab"), want("naive_skat.tab"));
  EXPECT_TRUE(got("skat.tab").empty());
  for (const char *file : {"t1.tab", "t5.tab", "mb.tab"}) {
    Strings rows = want(file);
    for (std::string &row : rows) {
      const Strings f = split(row);
      row = f[0] + "\t" + f[1] + "\tNA\tNA";
    }
    EXPECT_EQ(got(file), rows) << file;
  }
  // The gene-level table with every statistic and p-value "NA"; the warning lines with the
  // message of every test whose design was usable.
  const Strings mle = got("mle.tab"), mle_want = want("mle.tab"), warn = got("warning.txt");
  const Strings warn_want = want("warning.txt");
  ASSERT_EQ(mle.size(), mle_want.size());
  EXPECT_EQ(mle[0], mle_want[0]);
  for (size_t g = 1; g < mle.size(); ++g) {
    Strings f = split(mle_want[g]);
    for (size_t at = 2; at < f.size(); at += 3) f[at] = f[at + 1] = "NA";
    std::string row = f[0], line = split(warn_want[g - 1])[0];
    for (size_t at = 1; at < f.size(); ++at) row += "\t" + f[at];
    EXPECT_EQ(mle[g], row);
    const std::string &before = warn_want[g - 1];
    if (before.find("No eligible SNP") != std::string::npos) {
      EXPECT_EQ(warn.at(g - 1), before);
      continue;
    }
    for (const char *test : {"SKAT", "T1", "T5", "MB"}) {
      const std::string singular = std::string("(") + test + ") The design matrix is singular!";
      line += "\t" + (before.find(singular) != std::string::npos
                          ? singular
                          : std::string("(") + test + ") EM algorithm does not converge!");
    }
    EXPECT_EQ(warn.at(g - 1), line);
  }
  fs::remove_all(work);
}

}  // namespace
