// The input phase on small tables: summary lines, the row order of the subjects by missing
// pattern (hand-traced), the pattern tables, the trait names, scaling, and the release.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "driver/globals.h"
#include "driver/pipelines.h"
#include "tests/test_support.h"

namespace {

const double kMiss = -999.0;

// Writes the three tables to the temporary directory and points the settings at them.
class InputFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    seq_ = varnosta_test::temp_path("pheno_seq.tab");
    nonseq_ = varnosta_test::temp_path("pheno_nonseq.tab");
    geno_ = varnosta_test::temp_path("geno.tab");
    pheno_seq = seq_.data();
    pheno_nonseq = nonseq_.data();
    geno = geno_.data();
    flag_scale = false;
    analysis_mode = 3;
    TRAIT = 1;
  }
  void TearDown() override {
    std::remove(seq_.c_str());
    std::remove(nonseq_.c_str());
    std::remove(geno_.c_str());
  }
  void write(const std::string &seq, const std::string &nonseq, const std::string &geno_text) {
    std::ofstream(seq_) << seq;
    std::ofstream(nonseq_) << nonseq;
    std::ofstream(geno_) << geno_text;
  }
  // Runs the phase and returns what it printed.
  std::string run() {
    ::testing::internal::CaptureStdout();
    read_input(names_, token_);
    return ::testing::internal::GetCapturedStdout();
  }
  std::vector<double> y_column(int k) const {
    std::vector<double> out;
    for (int i = 1; i <= n; i++) {
      out.push_back(Y[i][k]);
    }
    return out;
  }
  std::vector<double> w_column(int j) const {
    std::vector<double> out;
    for (int i = 1; i <= m; i++) {
      out.push_back(W[i][j]);
    }
    return out;
  }
  static std::vector<int> ints(const int *v, int lo, int hi) {
    return std::vector<int>(v + lo, v + hi + 1);
  }

  std::string seq_, nonseq_, geno_;
  std::vector<std::string> names_;
  std::string token_;
};

// K = 2; sequenced subjects 1 (both traits) and 2 (trait 2 missing), non-sequenced subjects
// 3 (both) and 4 (trait 2 missing): scores 3 1 3 1, sorted 2 4 1 3 by one insertion pass.
TEST_F(InputFixture, FourSubjectOrderingAndSummary) {
  write("A\tB\tC1\n1.5\t2.5\t10\n3.5\t-999\t20\n", "5\t6\n7\t-999\n",
        "rs1\t0\t1\nrs2\t2\t1\nrs3\t0\t0\n");
  const std::string out = run();
  EXPECT_EQ(out,
            "\nThere are 2 sequenced subjects and 2 non-sequenced subjects\n"
            "There are 2 traits and 1 covariates\nThere are 3 variants\n\n");
  EXPECT_EQ(K, 2);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(p, 3);
  EXPECT_EQ(NSNP, 3);
  EXPECT_EQ(dimST, 2 * 3 + 3);
  EXPECT_EQ(dimQ1, 9 + 2);
  EXPECT_EQ(names_, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(N_mispat, 2);
  EXPECT_EQ(ints(mis_pats, 1, 3), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(ints(mis_patn, 1, 3), (std::vector<int>{2, 3, 4}));
  // Rows of Y: subjects 2, 1, 4, 3; rows of W: subjects 2, 1.
  EXPECT_EQ(y_column(1), (std::vector<double>{3.5, 1.5, 7, 5}));
  EXPECT_EQ(y_column(2), (std::vector<double>{kMiss, 2.5, kMiss, 6}));
  EXPECT_EQ(w_column(2), (std::vector<double>{1, 1}));
  EXPECT_EQ(w_column(3), (std::vector<double>{20, 10}));
  EXPECT_EQ(ints(mis_ranks, 1, 2), (std::vector<int>{2, 1}));
  EXPECT_EQ(ints(mis_R[1], 1, 2), (std::vector<int>{1, 0}));
  EXPECT_EQ(ints(mis_R[2], 1, 2), (std::vector<int>{1, 1}));
  EXPECT_EQ(ints(nobs, 1, 2), (std::vector<int>{1, 2}));
  EXPECT_EQ(ints(nmis, 1, 2), (std::vector<int>{1, 0}));
  EXPECT_EQ(Obs[1][1], 1);
  EXPECT_EQ(Mis[1][1], 2);
  EXPECT_EQ(ints(Obs[2], 1, 2), (std::vector<int>{1, 2}));
  release_arrays();
}

// Nine subjects with scores 3 1 3 1 3 1 3 1 3 (even subjects miss trait 2): the sort, traced
// by hand in the toolkit's sort tests, gives 6 8 4 2 | 1 5 7 3 9. Sequenced subjects 1..4,
// non-sequenced 5..9. Pattern 1 (score 1): sequenced 4 2, non-sequenced 6 8; pattern 2
// (score 3): sequenced 1 3, non-sequenced 5 7 9.
TEST_F(InputFixture, PartitionOrderWithinPatterns) {
  std::string seq = "t1 t2 extra\tsecond\tcov\n";  // only the first two tokens name traits
  std::string nonseq;
  for (int s = 1; s <= 9; s++) {
    const std::string y2 = s % 2 == 0 ? "-999" : std::to_string(10 * s);
    const std::string row = std::to_string(s) + "\t" + y2;
    if (s <= 4) {
      seq += row + "\t" + std::to_string(100 * s) + "\n";
    } else {
      nonseq += row + "\n";
    }
  }
  write(seq, nonseq, "");
  run();
  EXPECT_EQ(names_, (std::vector<std::string>{"t1", "t2"}));
  EXPECT_EQ(NSNP, 0);
  EXPECT_EQ(N_mispat, 2);
  EXPECT_EQ(y_column(1), (std::vector<double>{4, 2, 1, 3, 6, 8, 5, 7, 9}));
  EXPECT_EQ(y_column(2), (std::vector<double>{kMiss, kMiss, 10, 30, kMiss, kMiss, 50, 70, 90}));
  EXPECT_EQ(w_column(3), (std::vector<double>{400, 200, 100, 300}));
  EXPECT_EQ(ints(mis_pats, 1, 3), (std::vector<int>{0, 2, 4}));
  EXPECT_EQ(ints(mis_patn, 1, 3), (std::vector<int>{4, 6, 9}));
  // Line i of the sequenced table sits on row mis_ranks[i].
  EXPECT_EQ(ints(mis_ranks, 1, 4), (std::vector<int>{3, 2, 4, 1}));
  for (int i = 1; i <= 4; i++) {
    EXPECT_EQ(W[mis_ranks[i]][3], 100.0 * i);
  }
  release_arrays();
}

// -SCALE: trait 1 holds 1, 2, 3 and one -999 (over all subjects), trait 2 only 0/1, covariate 1
// a 0/1 code, covariate 2 the values 10, 20, 40 (over the sequenced subjects). Scores 3 3 2 3
// sort to 3 1 2 4.
TEST_F(InputFixture, ScaleKeepsCodesAndPatterns) {
  const std::string seq = "a\tb\tc1\tc2\n1\t0\t0\t10\n2\t1\t1\t20\n-999\t0\t1\t40\n";
  const std::string nonseq = "3\t1\n";
  write(seq, nonseq, "v\t0\t1\t2\n");
  run();
  std::vector<std::vector<int>> unscaled_R;
  for (int t = 1; t <= N_mispat; t++) {
    unscaled_R.push_back(ints(mis_R[t], 1, K));
  }
  const std::vector<double> unscaled_c2 = w_column(4);
  release_arrays();

  flag_scale = true;
  run();
  EXPECT_EQ(y_column(1), (std::vector<double>{kMiss, -1, 0, 1}));
  EXPECT_EQ(y_column(2), (std::vector<double>{0, 0, 1, 1}));
  EXPECT_EQ(w_column(2), (std::vector<double>{1, 1, 1}));
  EXPECT_EQ(w_column(3), (std::vector<double>{1, 0, 1}));
  // Mean 70/3, variance (sum of squared deviations)/2, computed on the row order 40 10 20.
  EXPECT_EQ(unscaled_c2, (std::vector<double>{40, 10, 20}));
  const double mean = 70.0 / 3.0;
  const double sd = std::sqrt(
      ((40 - mean) * (40 - mean) + (10 - mean) * (10 - mean) + (20 - mean) * (20 - mean)) / 2.0);
  const std::vector<double> c2 = w_column(4);
  for (int i = 0; i < 3; i++) {
    EXPECT_NEAR(c2[i], (unscaled_c2[i] - mean) / sd, 1e-12);
  }
  std::vector<std::vector<int>> scaled_R;
  for (int t = 1; t <= N_mispat; t++) {
    scaled_R.push_back(ints(mis_R[t], 1, K));
  }
  EXPECT_EQ(scaled_R, unscaled_R);
  EXPECT_EQ(scaled_R, (std::vector<std::vector<int>>{{0, 1}, {1, 1}}));
  release_arrays();
}

// Blank lines after the last record are not records; a subject without any observed trait is
// pattern 1 with every trait missing.
TEST_F(InputFixture, TrailingBlankLinesAndAllMissingSubject) {
  write("y1\ty2\n1\t2\n-999\t-999\n\n\n", "-999\t4\n\n", "s1\t1\t0\n\n \n");
  const std::string out = run();
  EXPECT_EQ(out,
            "\nThere are 2 sequenced subjects and 1 non-sequenced subjects\n"
            "There are 2 traits and 0 covariates\nThere are 1 variants\n\n");
  EXPECT_EQ(p, 2);
  EXPECT_EQ(N_mispat, 3);
  EXPECT_EQ(ints(nobs, 1, 3), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(ints(nmis, 1, 3), (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(ints(Mis[1], 1, 2), (std::vector<int>{1, 2}));
  EXPECT_EQ(Obs[2][1], 2);
  EXPECT_EQ(ints(mis_pats, 1, 4), (std::vector<int>{0, 1, 1, 2}));
  EXPECT_EQ(ints(mis_patn, 1, 4), (std::vector<int>{2, 2, 3, 3}));
  EXPECT_EQ(ints(mis_ranks, 1, 2), (std::vector<int>{2, 1}));
  release_arrays();
}

}  // namespace
