// Data-preparation routines: table counting, missing-pattern scores, the unique covariate table,
// the variant design checks and the standardisation of columns, against hand-worked values and
// computations written here.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

using varnosta_test::IVec;
using varnosta_test::Mat;
using varnosta_test::Rows;

const double kMiss = -999.0;

struct DimCase {
  const char *content;
  char header;
  int rows, cols;                // dim
  int record_rows, record_cols;  // dimRecords
};

TEST(DataProcessDim, WorkedExamples) {
  // clang-format off
  const DimCase cases[] = {
      {"a\tb\n1\t2\n", 'T', 1, 2, 1, 2},
      {"a\tb\n1\t2", 'T', 1, 2, 1, 2},              // no final line end
      {"a\tb\n1\t2\n\n", 'T', 2, 1, 1, 2},          // an empty last line is a row: 2 tabs, 3 lines
      {"a\tb\n1\t2\n", 'F', 2, 2, 2, 2},            // any flag but 'T' keeps every row
      {"a\tb\n1\t2\n", 't', 2, 2, 2, 2},
      {"\tx\n", 'F', 1, 2, 1, 2},                   // a first tab or newline counts
      {"\n1\t2\n", 'F', 2, 1, 2, 1},
      {"1\t2\t3\n1\t2\n", 'F', 2, 2, 2, 2},         // ragged: the truncated average
      {"", 'T', 0, 0, 0, 0},                        // no line, so no header to drop
      {"a\tb\n1\t2\n  \t \r\n\t\n", 'T', 3, 2, 1, 2},  // trailing blank lines
      {"1\t2\t3\r\n4\t5\t6\r\n\r\n", 'F', 3, 2, 2, 3},
      {"\n\n \n", 'F', 3, 1, 0, 0},
      {"h\n\n", 'T', 1, 1, 0, 1},
      {"1\t2\n\n3\t4\n", 'F', 3, 1, 3, 1},          // a blank line inside is still a line
  };
  // clang-format on
  const std::string path = varnosta_test::temp_path("table.tab");
  for (const DimCase &c : cases) {
    std::ofstream(path, std::ios::binary) << c.content;
    int row = -1, col = -1;
    dim(&row, &col, path.c_str(), c.header);
    EXPECT_EQ(std::make_pair(row, col), std::make_pair(c.rows, c.cols)) << c.content;
    dimRecords(&row, &col, path.c_str(), c.header);
    EXPECT_EQ(std::make_pair(row, col), std::make_pair(c.record_rows, c.record_cols)) << c.content;
  }
  std::remove(path.c_str());
}

TEST(DataProcessDimDeathTest, MissingFileStops) {
  int row = 0, col = 0;
  const char *report =
      "^Error: Cannot open file /nonexistent/dir/t.tab\n"
      "Program was stopped due to error\\(s\\) listed above.\n$";
  EXPECT_EXIT(dim(&row, &col, "/nonexistent/dir/t.tab", 'F'), ::testing::ExitedWithCode(1), report);
  EXPECT_EXIT(dimRecords(&row, &col, "/nonexistent/dir/t.tab", 'F'), ::testing::ExitedWithCode(1),
              report);
}

TEST(DataProcessPattern, ScoresAndRanks) {
  Mat y({{1, kMiss, 2}, {kMiss, kMiss, kMiss}, {1, 2, 3}, {kMiss + 5e-11, 0, kMiss + 1e-9}});
  IVec score(4);
  MisPatternDetect(y.m, 4, 3, kMiss, score.v);
  // Within 1e-10 of the code is missing; 1e-9 away is observed.
  EXPECT_EQ(score.values(), (std::vector<int>{5, 0, 7, 6}));

  Rows all(2, std::vector<double>(31, 1.0));
  all[1][30] = kMiss;
  Mat wide(all);
  IVec wscore(2);
  MisPatternDetect(wide.m, 2, 31, kMiss, wscore.v);
  EXPECT_EQ(wscore.values(), (std::vector<int>{INT_MAX, (1 << 30) - 1}));

  IVec ind{3, 1, 2}, rank(3);
  indToRank(3, ind.v, rank.v);
  EXPECT_EQ(rank.values(), (std::vector<int>{2, 3, 1}));
}

// Builds the table the way the pipelines do (sort, count, create) and checks it: distinct rows
// ascending, their multiplicities, and the map from each row of X to its distinct row.
void expect_unique_table(const Rows &x, const Rows &distinct, const std::vector<int> &mult,
                         const std::vector<int> &map) {
  Mat X(x), wuni(X.r, X.c);
  IVec index(X.r), ind_uni(X.r), n_uni(X.r);
  indexx_Array(X.c, X.r, X.m, index.v);
  int J = 0;
  NumUniCov(X.m, X.c, X.r, index.v, &J);
  CreateUniCov(X.m, X.c, X.r, index.v, wuni.m, ind_uni.v, n_uni.v);
  ASSERT_EQ(J, static_cast<int>(distinct.size()));
  for (int j = 1; j <= J; j++) {
    EXPECT_EQ(std::vector<double>(wuni[j] + 1, wuni[j] + X.c + 1), distinct[j - 1]);
    EXPECT_EQ(n_uni[j], mult[j - 1]);
  }
  EXPECT_EQ(ind_uni.values(), map);
}

TEST(DataProcessUniCov, EqualRowsShareADistinctRow) {
  expect_unique_table({{1, 1, 0.5}, {0, 1, 2}, {1, 1, 0.5}, {2, 1, -1}},
                      {{0, 1, 2}, {1, 1, 0.5}, {2, 1, -1}}, {1, 2, 1}, {2, 1, 2, 3});
  // Exact comparison: a difference in the last column, or of 1e-12, makes a distinct row.
  expect_unique_table({{1, 1, 3}, {1, 1, 4}, {1, 1 + 1e-12, 3}},
                      {{1, 1, 3}, {1, 1, 4}, {1, 1 + 1e-12, 3}}, {1, 1, 1}, {1, 2, 3});
  // Nine rows, three values each three times, past the insertion length of the sort.
  expect_unique_table({{2, 1}, {0, 1}, {1, 1}, {2, 1}, {0, 1}, {1, 1}, {2, 1}, {0, 1}, {1, 1}},
                      {{0, 1}, {1, 1}, {2, 1}}, {3, 3, 3}, {3, 1, 2, 3, 1, 2, 3, 1, 2});
  expect_unique_table({{5, 1}}, {{5, 1}}, {1}, {1});
}

struct CheckCase {
  Rows w;
  int start_mac, lower;
  int mac;
  bool low, novar, singular;
};

TEST(DataProcessCheck, VariantFilters) {
  const CheckCase cases[] = {
      // All genotypes 0: carrier count unchanged, no variation, column 1 zero so W'W singular.
      {{{0, 1, 0.3}, {0, 1, 1.2}, {0, 1, -0.7}}, 4, 0, 4, false, true, true},
      // 0, 1, 2 adds two carriers; full rank; the bound is strict (2 < 2 is false).
      {{{0, 1, 0.3}, {1, 1, 1.2}, {2, 1, -0.7}, {0, 1, 2.0}}, 0, 2, 2, false, false, false},
      {{{0, 1, 0.3}, {1, 1, 1.2}, {2, 1, -0.7}, {0, 1, 2.0}}, 0, 3, 2, true, false, false},
      // Covariate equal to the genotype: singular although it varies (last pivot exactly 0).
      {{{0, 1, 0}, {0, 1, 0}, {2, 1, 2}, {0, 1, 0}}, 0, 0, 1, false, false, true},
      // 0.999 is not a carrier; a constant 1 is a carrier in every row but does not vary.
      {{{0.999, 1}, {1, 1}, {1, 1}}, 0, 0, 2, false, false, false},
      {{{1, 1}, {1, 1}, {1, 1}, {1, 1}}, 0, 0, 4, false, true, true},
  };
  for (const CheckCase &c : cases) {
    Mat W(c.w);
    int mac = c.start_mac;
    bool low = !c.low, novar = !c.novar, singular = !c.singular, null_singular = !c.singular;
    checkWarning(W.r, W.c, c.lower, W.m, &mac, &low, &novar, &singular);
    checkWarningNull(W.r, W.c, W.m, &null_singular);
    EXPECT_EQ(std::make_tuple(mac, low, novar, singular, null_singular),
              std::make_tuple(c.mac, c.low, c.novar, c.singular, c.singular));
  }
}

TEST(DataProcessScale, ThreeOrMoreDistinctValuesOnly) {
  // Columns: 1, 2, 3 and a missing entry; a 0/1 code; a constant; two values 4.4e-16 apart plus
  // a third, which count as two distinct values; four values with mean 5 and variance 20/3.
  const double close = 1.0 + 4.440892098500626e-16;
  Mat a({{1, 0, 7, 1, 2}, {2, 1, 7, close, 4}, {kMiss, 1, kMiss, 3, 6}, {3, 0, 7, 1, 8}});
  ScaleCovariates(a.m, 4, 1, 5, kMiss);
  const double s = std::sqrt(20.0 / 3.0);
  const Rows scaled = {{-1, 0, 7, 1, -3 / s},
                       {0, 1, 7, close, -1 / s},
                       {kMiss, 1, kMiss, 3, 1 / s},
                       {1, 0, 7, 1, 3 / s}};
  EXPECT_LT(varnosta_test::max_error(a.rows(), scaled), 1e-15);
  // Only the columns asked for; none when the first exceeds the last.
  Mat b({{1, 1}, {2, 2}, {3, 3}});
  ScaleCovariates(b.m, 3, 2, 2, kMiss);
  ScaleCovariates(b.m, 3, 2, 1, kMiss);
  EXPECT_EQ(b.rows(), (Rows{{1, -1}, {2, 0}, {3, 1}}));
}

// Values close together relative to their size: the one-pass variance cancels to zero or below
// for both examples (x^2 near 1e16 and 1e18 against squared deviations near 1e-8 and 1e-10), and
// the two-pass variance takes over. Squares beyond the range of a double give no finite variance
// in either form: that column is left unchanged rather than turned into zeros.
TEST(DataProcessScale, CancellationFallsBackToTwoPasses) {
  for (double base : {1e8, 1e9}) {
    const double step = base == 1e8 ? 1e-4 : 1e-5;
    Mat a({{base}, {kMiss}, {base + step}, {base + 2 * step}});
    ScaleCovariates(a.m, 4, 1, 1, kMiss);
    EXPECT_NEAR(a[1][1], -1.0, 1e-3);
    EXPECT_EQ(a[2][1], kMiss);
    EXPECT_NEAR(a[3][1], 0.0, 1e-3);
    EXPECT_NEAR(a[4][1], 1.0, 1e-3);
  }
  Mat big({{1e200}, {2e200}, {3e200}});
  ScaleCovariates(big.m, 3, 1, 1, kMiss);
  EXPECT_EQ(big.column(1), (std::vector<double>{1e200, 2e200, 3e200}));
}

// Column 1: 2, 4, 4, 4, 5, 5, 7, 9 with two missing entries between them: mean 5, squared
// deviations 9+1+1+1+0+0+4+16 = 32 over 8 - 1, so the standard deviation is sqrt(32/7). Column
// 2: one observed value, no spread. Column 3: 1e8, 1e8 + 0.5, 1e8 + 1, where the sums of squares
// (near 3e16) would cancel: 0.5. Values 1e-9 from -999 are no missing code and count.
TEST(DataProcessScale, ColumnStandardDeviation) {
  Mat a({{2, kMiss, 1e8},
         {4, 3, 1e8 + 0.5},
         {kMiss, kMiss, kMiss},
         {4, kMiss, 1e8 + 1},
         {4, kMiss, kMiss},
         {5, kMiss, kMiss},
         {kMiss, kMiss, kMiss},
         {5, kMiss, kMiss},
         {7, kMiss, kMiss},
         {9, kMiss, kMiss}});
  EXPECT_NEAR(ColumnSD(a.m, 10, 1, kMiss), std::sqrt(32.0 / 7.0), 1e-15);
  EXPECT_EQ(ColumnSD(a.m, 10, 2, kMiss), 0.0);
  EXPECT_EQ(ColumnSD(a.m, 10, 3, kMiss), 0.5);
  Mat b({{kMiss + 1e-9}, {kMiss}, {kMiss - 1e-9}});
  EXPECT_NEAR(ColumnSD(b.m, 3, 1, kMiss), std::sqrt(2e-18), 1e-12);
}

// The first differing element decides; equal arrays are neither bigger nor smaller.
TEST(DataProcessArrays, LexicographicComparisons) {
  double a[] = {0, 1, 2, 3}, b[] = {0, 1, 2, 4}, c[] = {0, 2, 0, 0};
  EXPECT_TRUE(SmallArray(a, b, 3) && BigArray(b, a, 3) && BigArray(c, b, 3) && SmallArray(b, c, 3));
  EXPECT_FALSE(SmallArray(b, a, 3) || BigArray(a, b, 3) || BigArray(a, a, 3) ||
               SmallArray(a, a, 3));
  EXPECT_TRUE(EqualArray(a, a, 3) && EqualArray(a, b, 2));
  EXPECT_FALSE(EqualArray(a, b, 3) || EqualArray(a, c, 3));
}

}  // namespace
