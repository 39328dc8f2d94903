// Checks the expected files of the all-traits gene-based end-to-end cases (tests/e2e/gene_*)
// against computations written from the input files alone (tests/independent_model.h): the map
// kept and cut into genes, the genotype coding and the eligible variants, the test MACs, the row
// layouts and NA placement, and the scores U and their variances V of every test as the
// efficient scores of the tested coefficients at the maximum of the observed-data
// log-likelihood with them held at zero. T = U'V^-1U with its chi-square tail and the SKAT
// Q = sum w U^2 with its Davies tail are recomputed from the printed U and V. The end-to-end
// runner checks the program against these files; this checks the files.
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_randist.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "tests/independent_model.h"

namespace {

using namespace indep;

// The efficient scores of the first nGen columns of every trait (trait-major) in the model
// whose design rows are the tested columns, the intercept and the covariates.
Scores gene_score(const Case &cs, const std::vector<Vec> &tested_columns) {
  Mat design;
  for (size_t i = 0; i < cs.m(); ++i) {
    Vec r;
    for (const Vec &col : tested_columns) r.push_back(col[i]);
    r.push_back(1.0);
    r.insert(r.end(), cs.cov[i].begin(), cs.cov[i].end());
    design.push_back(r);
  }
  const Joint d = make_joint(design, cs.y, cs.non);
  std::vector<size_t> tested;
  for (size_t k = 0; k < d.K; ++k)
    for (size_t l = 0; l < tested_columns.size(); ++l) tested.push_back(d.offset[k] + l);
  const Efficient e = efficient_score(d, tested);
  EXPECT_TRUE(e.ok) << "nuisance information not positive definite";
  return e;
}

double num(const std::string &field) {
  EXPECT_NE(field, "NA");
  return field == "NA" ? 0.0 : std::stod(field);
}

// The printed U and the covariance row up to the diagonal against the independent values, U in
// units of its standard deviation and V[b][e] in units of sqrt(V[b][b] V[e][e]). The program's
// fits stop at an L1 step below 1e-4, not at the maximum: on these cases that moves U by at
// most 4e-5 of its standard deviation and V by 2e-5 of its scale (the printed seven digits add
// 5e-7), so 5e-4 leaves a tenfold margin, while a wrong model, wrong data, a wrong element
// order or a wrong layout moves them by far more.
const double kScoreTol = 5e-4;
void expect_score_row(const Strings &f, size_t at, const Scores &sc, size_t e, size_t L,
                      const std::string &what) {
  ASSERT_EQ(f.size(), at + 1 + L) << what;
  const double sd_e = std::sqrt(std::max(sc.V[e][e], 1e-300));
  if (sc.V[e][e] <= 1e-10) {
    EXPECT_EQ(num(f[at]), 0.0) << what << " U of a column without variation";
  } else {
    EXPECT_NEAR(num(f[at]), sc.U[e], kScoreTol * sd_e) << what << " U";
  }
  for (size_t b = 0; b < L; ++b) {
    if (b > e) {
      EXPECT_EQ(f[at + 1 + b], "0.000000e+00") << what << " padding " << b;
      continue;
    }
    const double scale = std::sqrt(std::max(sc.V[b][b], 0.0)) * sd_e;
    EXPECT_NEAR(num(f[at + 1 + b]), sc.V[b][e], kScoreTol * scale + 1e-9) << what << " V" << b;
  }
}

// One case: every gene-level line, warning line and variant-level row.
void check_case(const std::string &name) {
  const Case cs = read_case(name);
  const size_t K = cs.K();
  const auto genes = genes_of(cs);
  const double maf_ub = cs.num("-MAF_UB", 0.05);
  const std::map<std::string, double> bound{
      {"SKAT", maf_ub}, {"T1", 0.01}, {"T5", 0.05}, {"MB", maf_ub}};
  Strings tests;
  std::string header = "GENE";
  for (const std::string t : {"SKAT", "T1", "T5", "MB"})
    if (cs.opt.count("-" + t)) {
      tests.push_back(t);
      header += "\t" + t + "_MAC\t" + t + "_T\t" + t + "_PVAL";
    }
  const Strings level = cs.expected(cs.file("-OUT_MLE", "mle.tab"));
  const Strings warn = cs.expected(cs.file("-OUT_WARN", "warning.txt"));
  ASSERT_EQ(level.at(0), header);
  ASSERT_EQ(level.size(), genes.size() + 1) << "one line per gene with a kept record";
  ASSERT_EQ(warn.size(), genes.size());
  std::map<std::string, Strings> rows;  // variant-level files
  std::map<std::string, size_t> next;   // next unread row of each
  for (const std::string &t : tests) rows[t] = cs.expected(cs.opt.at("-" + t));

  size_t g_no = 0;
  for (const auto &[gene, records] : genes) {
    ++g_no;
    const Strings lf = split(level[g_no]), wf = split(warn[g_no - 1]);
    ASSERT_EQ(lf.at(0), gene);
    ASSERT_EQ(wf.at(0), gene);
    ASSERT_EQ(lf.size(), 1 + 3 * tests.size()) << gene;
    std::vector<const GeneVariant *> eligible;
    for (const GeneVariant &v : records)
      if (v.eligible)
        eligible.push_back(&v);
    if (eligible.empty()) {
      EXPECT_EQ(wf, (Strings{gene, "No eligible SNP in this gene!"}));
      for (size_t f = 1; f < lf.size(); f += 3)
        EXPECT_EQ(Strings(lf.begin() + f, lf.begin() + f + 3), (Strings{"0", "NA", "NA"})) << gene;
      continue;
    }
    EXPECT_EQ(wf, Strings{gene}) << "no warning expected";
    for (size_t t_no = 0; t_no < tests.size(); ++t_no) {
      const std::string &t = tests[t_no], what = gene + " " + t;
      const size_t at = 1 + 3 * t_no;
      int mac = 0;
      for (const GeneVariant *v : eligible) mac += v->maf <= bound.at(t) ? v->cnt : 0;
      EXPECT_EQ(lf[at], std::to_string(mac)) << what << " MAC";
      const Strings &file = rows[t];
      size_t &row = next[t];
      if (t == "SKAT") {
        // The variant order is the program's: read it from the rows of trait 1, then check that
        // they are the eligible records.
        const size_t G1 = eligible.size(), L = K * G1;
        ASSERT_LE(row + L, file.size()) << what;
        std::vector<const GeneVariant *> in_order, left = eligible;
        for (size_t l = 0; l < G1; ++l) {
          const std::string label = split(file[row + l]).at(1);
          const auto it = std::find_if(left.begin(), left.end(), [&](const GeneVariant *v) {
            return label == cs.traits[0] + "_" + v->id;
          });
          ASSERT_NE(it, left.end()) << what << ": unexpected row " << label;
          in_order.push_back(*it);
          left.erase(it);
        }
        std::vector<Vec> columns;
        for (const GeneVariant *v : in_order) columns.push_back(v->g);
        const Scores sc = gene_score(cs, columns);
        Scores printed{Vec(L), Mat(L, Vec(L))};
        Vec weights;
        for (size_t e = 0; e < L; ++e) {
          const Strings f = split(file[row + e]);
          const GeneVariant &v = *in_order[e % G1];
          const std::string wr = what + " row " + std::to_string(e + 1);
          ASSERT_EQ(f.size(), 5 + L) << wr;
          EXPECT_EQ(f[0], gene);
          EXPECT_EQ(f[1], cs.traits[e / G1] + "_" + v.id) << wr;
          EXPECT_NEAR(num(f[2]), v.maf, 5e-7 * v.maf) << wr;
          EXPECT_EQ(f[3], std::to_string(v.cnt)) << wr;
          expect_score_row(f, 4, sc, e, L, wr);
          printed.U[e] = num(f[4]);
          for (size_t b = 0; b <= e; ++b) printed.V[b][e] = printed.V[e][b] = num(f[5 + b]);
          const double density = gsl_ran_beta_pdf(v.maf, 1.0, 25.0);
          weights.push_back(v.maf <= maf_ub ? density * density : 0.0);
        }
        row += L;
        bool variance = false;
        for (size_t e = 0; e < L; ++e) variance = variance || printed.V[e][e] > 0.0;
        if (!variance) {  // every variant without variation: no result
          EXPECT_EQ(Strings(lf.begin() + at + 1, lf.begin() + at + 3), (Strings{"NA", "NA"}))
              << what;
          continue;
        }
        const Skat s = skat(printed.U, printed.V, weights);
        EXPECT_EQ(s.fault, 0) << what;
        // The printed U and V carry seven digits.
        EXPECT_NEAR(num(lf[at + 1]), s.Q, 2e-6 * s.Q) << what << " Q";
        EXPECT_NEAR(num(lf[at + 2]), s.P, skat_p_tolerance(s.P)) << what << " P";
        continue;
      }
      // Burden tests: the burden column over the eligible variants within the bound.
      Vec burden(cs.m(), 0.0);
      for (const GeneVariant *v : eligible)
        if (v->maf <= bound.at(t))
          for (size_t i = 0; i < cs.m(); ++i)
            burden[i] += t == "MB" ? v->g[i] / std::sqrt(v->maf * (1 - v->maf)) : v->g[i];
      const Scores sc = gene_score(cs, {burden});
      ASSERT_LE(row + K, file.size()) << what;
      Mat V(K, Vec(K)), x(K, Vec(1));
      for (size_t k = 0; k < K; ++k) {
        const Strings f = split(file[row + k]);
        const std::string wr = what + " row " + std::to_string(k + 1);
        ASSERT_EQ(f.size(), 4 + K) << wr;
        EXPECT_EQ(Strings(f.begin(), f.begin() + 3), (Strings{gene, cs.traits[k], lf[at]})) << wr;
        expect_score_row(f, 3, sc, k, K, wr);
        x[k][0] = num(f[3]);
        for (size_t b = 0; b <= k; ++b) V[b][k] = V[k][b] = num(f[4 + b]);
      }
      row += K;
      if (sc.V[0][0] <= 1e-10) {  // no variant within the bound: no result
        EXPECT_EQ(Strings(lf.begin() + at + 1, lf.begin() + at + 3), (Strings{"NA", "NA"})) << what;
        continue;
      }
      const Mat U = x;
      ASSERT_TRUE(spd_solve(V, x)) << what;
      double T = 0.0;
      for (size_t k = 0; k < K; ++k) T += U[k][0] * x[k][0];
      const double P = gsl_cdf_chisq_Q(T, static_cast<double>(K));
      // The printed U and V carry seven digits; the tail's relative change is about T/2 times
      // that of T.
      EXPECT_NEAR(num(lf[at + 1]), T, 2e-5 * T) << what << " T";
      EXPECT_NEAR(num(lf[at + 2]), P, 2e-5 * (1 + T) * P) << what << " P";
    }
  }
  for (const std::string &t : tests) EXPECT_EQ(next[t], rows[t].size()) << t << ": extra rows";
}

// The example with every test; Dominant coding with a MAF bound above T5's; one trait, and a
// gene without eligible variants; a burden p-value of 1e-17, which 1 - P(T) would have lost to
// rounding; variants constant over the sequenced subjects, alone and beside one that varies.
class GeneExpected : public ::testing::TestWithParam<const char *> {};
TEST_P(GeneExpected, Case) {
  gsl_set_error_handler_off();
  check_case(GetParam());
}
INSTANTIATE_TEST_SUITE_P(Cases, GeneExpected,
                         ::testing::Values("gene_example", "gene_dominant_maf_ub", "gene_k1_rows",
                                           "gene_strong_signal", "gene_sim_strong_skat",
                                           "gene_all_constant_variant"));

}  // namespace
