// The input phase on small tables: summary lines, the row order of the subjects by missing
// pattern (hand-traced), the pattern tables, the trait names and scaling. The checks of bad
// tables and their messages are end-to-end cases (tests/e2e/input_*).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/globals.h"
#include "driver/pipelines.h"
#include "tests/test_support.h"

namespace {

const double kMiss = -999.0;
using Ints = std::vector<int>;
using Reals = std::vector<double>;

Ints ints(const int *v, int hi) { return Ints(v + 1, v + hi + 1); }

Reals column(double **A, int rows, int j) {
  Reals out;
  for (int i = 1; i <= rows; i++) out.push_back(A[i][j]);
  return out;
}

// Writes the three tables to the temporary directory, points the settings at them, runs the
// input phase and returns what it printed; the arrays are released at the end of the test.
class InputFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    release_arrays();
    for (const std::string &path : paths_) std::remove(path.c_str());
  }
  std::string run(const std::string &seq, const std::string &nonseq, const std::string &geno_text) {
    char **settings[] = {&pheno_seq, &pheno_nonseq, &geno};
    const std::string texts[] = {seq, nonseq, geno_text};
    for (int f = 0; f < 3; f++) {
      paths_[f] = varnosta_test::temp_path(std::to_string(f) + ".tab");
      std::ofstream(paths_[f]) << texts[f];
      *settings[f] = paths_[f].data();
    }
    analysis_mode = 0;
    ::testing::internal::CaptureStdout();
    read_input(names_, token_);
    return ::testing::internal::GetCapturedStdout();
  }

  std::string paths_[3];
  std::vector<std::string> names_;
  std::string token_;
};

// K = 2; sequenced subjects 1 (both traits) and 2 (trait 2 missing), non-sequenced subjects
// 3 (both) and 4 (trait 2 missing): scores 3 1 3 1, sorted 2 4 1 3 by one insertion pass.
TEST_F(InputFixture, FourSubjectOrderingAndSummary) {
  flag_scale = false;
  EXPECT_EQ(run("A\tB\tC1\n1.5\t2.5\t10\n3.5\t-999\t20\n", "5\t6\n7\t-999\n",
                "rs1\t0\t1\nrs2\t2\t1\nrs3\t0\t0\n"),
            "\nThere are 2 sequenced subjects and 2 non-sequenced subjects\n"
            "There are 2 traits and 1 covariates\nThere are 3 variants\n\n");
  EXPECT_EQ(Ints({K, m, n, p, NSNP, N_mispat, dimST, dimQ1}), Ints({2, 2, 4, 3, 3, 2, 9, 11}));
  EXPECT_EQ(names_, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(ints(mis_pats, 3), Ints({0, 1, 2}));
  EXPECT_EQ(ints(mis_patn, 3), Ints({2, 3, 4}));
  // Rows of Y: subjects 2, 1, 4, 3; rows of W: subjects 2, 1.
  EXPECT_EQ(column(Y, n, 1), Reals({3.5, 1.5, 7, 5}));
  EXPECT_EQ(column(Y, n, 2), Reals({kMiss, 2.5, kMiss, 6}));
  EXPECT_EQ(column(W, m, 2), Reals({1, 1}));
  EXPECT_EQ(column(W, m, 3), Reals({20, 10}));
  EXPECT_EQ(ints(mis_ranks, 2), Ints({2, 1}));
  EXPECT_EQ(ints(mis_R[1], 2), Ints({1, 0}));
  EXPECT_EQ(ints(mis_R[2], 2), Ints({1, 1}));
  EXPECT_EQ(ints(nobs, 2), Ints({1, 2}));
  EXPECT_EQ(ints(nmis, 2), Ints({1, 0}));
  EXPECT_EQ(Ints({Obs[1][1], Mis[1][1], Obs[2][1], Obs[2][2]}), Ints({1, 2, 1, 2}));
}

// Nine subjects with scores 3 1 3 1 3 1 3 1 3 (even subjects miss trait 2): the sort, traced
// by hand in the toolkit's sort tests, gives 6 8 4 2 | 1 5 7 3 9. Sequenced subjects 1..4,
// non-sequenced 5..9. Pattern 1 (score 1): sequenced 4 2, non-sequenced 6 8; pattern 2
// (score 3): sequenced 1 3, non-sequenced 5 7 9. Only the first K header names name traits.
TEST_F(InputFixture, PartitionOrderWithinPatterns) {
  flag_scale = false;
  std::string seq = "t1\tt2\tcov\n", nonseq;
  for (int s = 1; s <= 9; s++) {
    const std::string row = std::to_string(s) + "\t" + (s % 2 ? std::to_string(s * s) : "-999");
    if (s <= 4)
      seq += row + "\t" + std::to_string(100 * s) + "\n";
    else
      nonseq += row + "\n";
  }
  run(seq, nonseq, "");
  EXPECT_EQ(names_, (std::vector<std::string>{"t1", "t2"}));
  EXPECT_EQ(column(Y, n, 1), Reals({4, 2, 1, 3, 6, 8, 5, 7, 9}));
  EXPECT_EQ(column(Y, n, 2), Reals({kMiss, kMiss, 1, 9, kMiss, kMiss, 25, 49, 81}));
  EXPECT_EQ(column(W, m, 3), Reals({400, 200, 100, 300}));
  EXPECT_EQ(ints(mis_pats, 3), Ints({0, 2, 4}));
  EXPECT_EQ(ints(mis_patn, 3), Ints({4, 6, 9}));
  // Line i of the sequenced table sits on row mis_ranks[i].
  EXPECT_EQ(ints(mis_ranks, 4), Ints({3, 2, 4, 1}));
}

// -SCALE: trait 1 holds 1, 2, 3 and one -999 (over all subjects), trait 2 only 0/1, covariate
// 1 a 0/1 code, covariate 2 the values 10, 20, 40 (over the sequenced subjects). Scores 3 3 2 3
// sort to 3 1 2 4; the patterns are those of the unscaled values.
TEST_F(InputFixture, ScaleKeepsCodesAndPatterns) {
  flag_scale = true;
  run("a\tb\tc1\tc2\n1\t0\t0\t10\n2\t1\t1\t20\n-999\t0\t1\t40\n", "3\t1\n", "v\t0\t1\t2\n");
  flag_scale = false;
  EXPECT_EQ(column(Y, n, 1), Reals({kMiss, -1, 0, 1}));
  EXPECT_EQ(column(Y, n, 2), Reals({0, 0, 1, 1}));
  EXPECT_EQ(column(W, m, 2), Reals({1, 1, 1}));
  EXPECT_EQ(column(W, m, 3), Reals({1, 0, 1}));
  // Rows 40, 10, 20: mean 70/3, variance (sum of squared deviations) / 2.
  const Reals raw{40, 10, 20}, scaled = column(W, m, 4);
  const double mean = 70.0 / 3.0;
  double ss = 0.0;
  for (double x : raw) ss += (x - mean) * (x - mean);
  for (int i = 0; i < 3; i++) EXPECT_NEAR(scaled[i], (raw[i] - mean) / std::sqrt(ss / 2.0), 1e-12);
  EXPECT_EQ(N_mispat, 2);
  EXPECT_EQ(ints(mis_R[1], 2), Ints({0, 1}));
  EXPECT_EQ(ints(mis_R[2], 2), Ints({1, 1}));
}

// Writes the three tables (sequenced, non-sequenced, genotypes) and expects the input phase of the
// Wald analysis to stop with status 1 and a standard error stream matching `pattern`.
void expect_input_stop(const std::vector<std::string> &texts, const char *pattern) {
  char **settings[] = {&pheno_seq, &pheno_nonseq, &geno};
  std::string paths[3];
  for (int f = 0; f < 3; f++) {
    paths[f] = varnosta_test::temp_path(std::to_string(f) + ".tab");
    std::ofstream(paths[f]) << texts[f];
    *settings[f] = paths[f].data();
  }
  analysis_mode = 0;
  std::vector<std::string> names;
  std::string token;
  EXPECT_EXIT(
      {
        varnosta_test::StopLeaksIgnored guard;
        read_input(names, token);
      },
      ::testing::ExitedWithCode(1), pattern);
  for (const std::string &path : paths) std::remove(path.c_str());
}

// Two traits on one line that does not pass through the origin (B = 3 A - 2, in decimals that
// binary rounding leaves inexact) stop the input phase, as the proportional ones of the
// end-to-end case do: their covariance would be singular.
TEST(InputTraitsDeath, TraitsOnOneLineStop) {
  expect_input_stop(
      {"A\tB\tc\n0.1\t-1.7\t1\n0.7\t0.1\t2\n1.1\t1.3\t5\n", "-999\t4\n2\t-999\n", "v\t0\t1\t2\n"},
      "Error: Traits A and B are linearly related \\(one is a \\+ b times the other\\) "
      "over the subjects where both are observed\n");
}

// The spread bound on the traits: trait A holds -x, 0 and x (and two missing entries) over all
// subjects, so its standard deviation is x. Just below the bound the input phase stops with the
// message that names the trait and its standard deviation; with -SCALE, and just above the bound,
// it reads on.
const double kSpreadBound = 0.5;

std::string spread_seq(const std::string &x) {
  return "A\tB\tc\n-" + x + "\t1\t0\n0\t3\t1\n-999\t2\t1\n";
}
std::string spread_nonseq(const std::string &x) { return x + "\t2\n-999\t4\n"; }

TEST_F(InputFixture, TraitSpreadJustAboveTheBoundReads) {
  flag_scale = false;
  run(spread_seq("0.5001"), spread_nonseq("0.5001"), "v\t0\t1\t2\n");
  EXPECT_GT(0.5001, kSpreadBound);
  EXPECT_EQ(K, 2);
}

TEST_F(InputFixture, TraitSpreadBelowTheBoundReadsWhenScaled) {
  flag_scale = true;
  run(spread_seq("0.0001"), spread_nonseq("0.0001"), "v\t0\t1\t2\n");
  flag_scale = false;
  // Rows: the sequenced subjects 3, 1, 2, then the non-sequenced 5, 4 (by missing pattern).
  const Reals scaled = column(Y, n, 1), expected{kMiss, -1, 0, kMiss, 1};
  for (int i = 0; i < 5; i++) EXPECT_NEAR(scaled[i], expected[i], 1e-12);
}

TEST(InputTraitsDeath, TraitSpreadBelowTheBoundStops) {
  flag_scale = false;
  expect_input_stop(
      {spread_seq("0.4999"), spread_nonseq("0.4999"), "v\t0\t1\t2\n"},
      "^Error: Trait A has standard deviation 0\\.4999; the fits stop when estimates change by "
      "less than 1e-4, which stops them early on this scale\\. Use -SCALE, or give the trait in "
      "smaller units\\.\nProgram was stopped due to error\\(s\\) listed above\\.\n$");
}

// The offset bounds: trait A holds t - 1, t and t + 1 over all subjects and covariate d the
// values c - 1, c and c + 1 over the sequenced subjects, so each has standard deviation 1 and
// its mean as |mean| / SD. Covariate b is a 0/1 code moved to 1e9, which -SCALE would leave as
// it is, so it is never refused.
const double kTraitOffsetBound = 1e4;
const double kCovariateOffsetBound = 4e3;

std::string offset_seq(double t, double c) {
  std::ostringstream text;
  text.precision(17);
  text << "A\tB\tb\td\n"
       << t - 1 << "\t1\t1000000000\t" << c - 1 << "\n"
       << t << "\t3\t1000000001\t" << c << "\n"
       << "-999\t2\t1000000001\t" << c + 1 << "\n";
  return text.str();
}
std::string offset_nonseq(double t) {
  std::ostringstream text;
  text.precision(17);
  text << t + 1 << "\t2\n-999\t4\n";
  return text.str();
}

TEST_F(InputFixture, OffsetsJustBelowTheBoundsRead) {
  flag_scale = false;
  const double t = kTraitOffsetBound - 1, c = -(kCovariateOffsetBound - 1);
  run(offset_seq(t, c), offset_nonseq(t), "v\t0\t1\t2\n");
  // Rows: the sequenced subjects 3, 1, 2 (by missing pattern), as read.
  EXPECT_EQ(column(Y, n, 1), Reals({kMiss, t - 1, t, kMiss, t + 1}));
  EXPECT_EQ(column(W, m, 3), Reals({1000000001, 1000000000, 1000000001}));
  EXPECT_EQ(column(W, m, 4), Reals({c + 1, c - 1, c}));
}

TEST_F(InputFixture, ScaleLiftsTheOffsetBounds) {
  flag_scale = true;
  run(offset_seq(1e7, 1e7), offset_nonseq(1e7), "v\t0\t1\t2\n");
  flag_scale = false;
  EXPECT_EQ(column(Y, n, 1), Reals({kMiss, -1, 0, kMiss, 1}));
  EXPECT_EQ(column(W, m, 3), Reals({1000000001, 1000000000, 1000000001}));
  EXPECT_EQ(column(W, m, 4), Reals({1, -1, 0}));
}

TEST(InputTraitsDeath, TraitOffsetJustAboveTheBoundStops) {
  flag_scale = false;
  const double t = kTraitOffsetBound + 1;
  std::ostringstream pattern;
  pattern << "^Error: Trait A has mean " << t
          << " and standard deviation 1; the fits cannot resolve it at that offset\\. Use "
             "-SCALE, or subtract a constant\\.\nProgram was stopped due to error\\(s\\) listed "
             "above\\.\n$";
  expect_input_stop({offset_seq(t, 0), offset_nonseq(t), "v\t0\t1\t2\n"}, pattern.str().c_str());
}

// -SCALE leaves a trait of two values where it is, so its offset is still refused.
TEST(InputTraitsDeath, ScaleKeepsTheOffsetBoundOfATraitOfTwoValues) {
  flag_scale = true;
  expect_input_stop(
      {"A\tB\tc\n1e6\t1\t1\n1000002\t3\t2\n1e6\t2\t3\n", "1000002\t2\n", "v\t0\t1\t2\n"},
      "^Error: Trait A has mean 1e\\+06 and standard deviation 1\\.1547; the fits cannot "
      "resolve it at that offset");
  flag_scale = false;
}

TEST(InputTraitsDeath, CovariateOffsetJustAboveTheBoundStops) {
  flag_scale = false;
  const double c = -(kCovariateOffsetBound + 1);
  std::ostringstream pattern;
  pattern << "^Error: Covariate d has mean " << c
          << " and standard deviation 1; the fits cannot resolve it at that offset\\. Use "
             "-SCALE, or subtract a constant\\.\nProgram was stopped due to error\\(s\\) listed "
             "above\\.\n$";
  expect_input_stop({offset_seq(0, c), offset_nonseq(0), "v\t0\t1\t2\n"}, pattern.str().c_str());
}

}  // namespace
