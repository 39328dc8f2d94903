// Data-preparation routines: table counting, missing-pattern scores, the unique covariate table,
// the variant design checks and the standardisation of columns, against hand-worked values and
// computations written here.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

const double kMiss = -999.0;

struct Mat {
  int r, c;
  double **m;
  explicit Mat(const std::vector<std::vector<double>> &rows)
      : r(static_cast<int>(rows.size())),
        c(static_cast<int>(rows[0].size())),
        m(dmatrix(1, r, 1, c)) {
    for (int i = 1; i <= r; i++) {
      for (int j = 1; j <= c; j++) {
        m[i][j] = rows[i - 1][j - 1];
      }
    }
  }
  ~Mat() { free_dmatrix(m, 1, r, 1, c); }
  Mat(const Mat &) = delete;
  Mat &operator=(const Mat &) = delete;
};

struct IVec {
  int n;
  int *v;
  explicit IVec(int size) : n(size), v(ivector(1, size)) {}
  ~IVec() { free_ivector(v, 1, n); }
  IVec(const IVec &) = delete;
  IVec &operator=(const IVec &) = delete;
  std::vector<int> values() const { return std::vector<int>(v + 1, v + n + 1); }
};

std::string write_temp(const std::string &name, const std::string &content) {
  const std::string path = varnosta_test::temp_path(name);
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::pair<int, int> run_dim(const std::string &content, char header, bool records = false) {
  const std::string path = write_temp("table.tab", content);
  int row = -1, col = -1;
  if (records) {
    dimRecords(&row, &col, path.c_str(), header);
  } else {
    dim(&row, &col, path.c_str(), header);
  }
  std::remove(path.c_str());
  return {row, col};
}

TEST(DataProcessDim, WorkedExamples) {
  using P = std::pair<int, int>;
  EXPECT_EQ(run_dim("a\tb\n1\t2\n", 'T'), P(1, 2));
  EXPECT_EQ(run_dim("a\tb\n1\t2", 'T'), P(1, 2));
  // An empty line at the end is a row: 2 tabs over 3 lines.
  EXPECT_EQ(run_dim("a\tb\n1\t2\n\n", 'T'), P(2, 1));
  // Any flag other than 'T' keeps every row.
  EXPECT_EQ(run_dim("a\tb\n1\t2\n", 'F'), P(2, 2));
  EXPECT_EQ(run_dim("a\tb\n1\t2\n", 't'), P(2, 2));
  // A tab or a newline as the very first character counts.
  EXPECT_EQ(run_dim("\tx\n", 'F'), P(1, 2));
  EXPECT_EQ(run_dim("\n1\t2\n", 'F'), P(2, 1));
  // Ragged: the truncated average (3 tabs over 2 lines).
  EXPECT_EQ(run_dim("1\t2\t3\n1\t2\n", 'F'), P(2, 2));
  // No character at all: no line, so no header to drop.
  EXPECT_EQ(run_dim("", 'T'), P(0, 0));
  EXPECT_EQ(run_dim("", 'F'), P(0, 0));
}

TEST(DataProcessDim, RecordsDiscountTrailingBlankLines) {
  using P = std::pair<int, int>;
  EXPECT_EQ(run_dim("a\tb\n1\t2\n\n\n", 'T', true), P(1, 2));
  EXPECT_EQ(run_dim("a\tb\n1\t2\n  \t \r\n\t\n", 'T', true), P(1, 2));
  EXPECT_EQ(run_dim("1\t2\t3\n4\t5\t6", 'F', true), P(2, 3));
  EXPECT_EQ(run_dim("1\t2\t3\r\n4\t5\t6\r\n\r\n", 'F', true), P(2, 3));
  EXPECT_EQ(run_dim("", 'F', true), P(0, 0));
  EXPECT_EQ(run_dim("\n\n \n", 'F', true), P(0, 0));
  EXPECT_EQ(run_dim("h\n\n", 'T', true), P(0, 1));
  // A blank line inside is still a line (the input phase refuses it).
  EXPECT_EQ(run_dim("1\t2\n\n3\t4\n", 'F', true), P(3, 1));
  // Equal to dim when nothing trails.
  EXPECT_EQ(run_dim("x\t1\t2\ny\t0\t1\n", 'F', true), run_dim("x\t1\t2\ny\t0\t1\n", 'F'));
}

TEST(DataProcessDimDeath, MissingFileStops) {
  int row = 0, col = 0;
  EXPECT_EXIT(dim(&row, &col, "/nonexistent/dir/t.tab", 'F'), ::testing::ExitedWithCode(1),
              "Error: Cannot open file /nonexistent/dir/t.tab\nProgram was stopped due to "
              "error\\(s\\) listed above.\n");
  EXPECT_EXIT(dimRecords(&row, &col, "/nonexistent/dir/t.tab", 'F'), ::testing::ExitedWithCode(1),
              "Error: Cannot open file /nonexistent/dir/t.tab");
}

TEST(DataProcessPattern, ScoresAndRanks) {
  Mat y({{1, kMiss, 2}, {kMiss, kMiss, kMiss}, {1, 2, 3}, {kMiss + 5e-11, 0, kMiss + 1e-9}});
  IVec score(4);
  MisPatternDetect(y.m, 4, 3, kMiss, score.v);
  // Within 1e-10 of the code is missing; 1e-9 away is observed.
  EXPECT_EQ(score.values(), (std::vector<int>{5, 0, 7, 6}));

  std::vector<std::vector<double>> all(2, std::vector<double>(31, 1.0));
  all[1][30] = kMiss;
  Mat wide(all);
  IVec wscore(2);
  MisPatternDetect(wide.m, 2, 31, kMiss, wscore.v);
  EXPECT_EQ(wscore.v[1], INT_MAX);
  EXPECT_EQ(wscore.v[2], (1 << 30) - 1);

  IVec ind(3), rank(3);
  ind.v[1] = 3;
  ind.v[2] = 1;
  ind.v[3] = 2;
  indToRank(3, ind.v, rank.v);
  EXPECT_EQ(rank.values(), (std::vector<int>{2, 3, 1}));
}

// Builds the table the way the pipelines do: sort, count, create.
struct UniqueTable {
  int J = 0;
  std::vector<std::vector<double>> rows;
  std::vector<int> map, mult;
};

UniqueTable unique_table(const std::vector<std::vector<double>> &x) {
  Mat X(x);
  IVec index(X.r), map(X.r), mult(X.r);
  indexx_Array(X.c, X.r, X.m, index.v);
  UniqueTable u;
  NumUniCov(X.m, X.c, X.r, index.v, &u.J);
  double **wuni = dmatrix(1, X.r, 1, X.c);
  CreateUniCov(X.m, X.c, X.r, index.v, wuni, map.v, mult.v);
  for (int j = 1; j <= u.J; j++) {
    u.rows.emplace_back(wuni[j] + 1, wuni[j] + X.c + 1);
    u.mult.push_back(mult.v[j]);
  }
  u.map = map.values();
  free_dmatrix(wuni, 1, X.r, 1, X.c);
  return u;
}

TEST(DataProcessUniCov, EqualRowsShareADistinctRow) {
  const UniqueTable u = unique_table({{1, 1, 0.5}, {0, 1, 2}, {1, 1, 0.5}, {2, 1, -1}});
  EXPECT_EQ(u.J, 3);
  // Distinct rows ascending, numbered in that order.
  EXPECT_EQ(u.rows, (std::vector<std::vector<double>>{{0, 1, 2}, {1, 1, 0.5}, {2, 1, -1}}));
  EXPECT_EQ(u.mult, (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(u.map, (std::vector<int>{2, 1, 2, 3}));
}

TEST(DataProcessUniCov, ExactComparison) {
  // Rows that differ only in the last column, or by 1e-12, are distinct.
  UniqueTable u = unique_table({{1, 1, 3}, {1, 1, 4}, {1, 1 + 1e-12, 3}});
  EXPECT_EQ(u.J, 3);
  EXPECT_EQ(u.mult, (std::vector<int>{1, 1, 1}));
  // Nine rows, three values each three times: multiplicities and map agree with a count.
  u = unique_table({{2, 1}, {0, 1}, {1, 1}, {2, 1}, {0, 1}, {1, 1}, {2, 1}, {0, 1}, {1, 1}});
  EXPECT_EQ(u.J, 3);
  EXPECT_EQ(u.mult, (std::vector<int>{3, 3, 3}));
  EXPECT_EQ(u.map, (std::vector<int>{3, 1, 2, 3, 1, 2, 3, 1, 2}));
  // One row.
  u = unique_table({{5, 1}});
  EXPECT_EQ(u.J, 1);
  EXPECT_EQ(u.mult, (std::vector<int>{1}));
  EXPECT_EQ(u.map, (std::vector<int>{1}));
}

struct Verdict {
  int mac;
  bool low, novar, singular;
};

Verdict check(const std::vector<std::vector<double>> &w, int start_mac, int lower) {
  Mat W(w);
  Verdict v{start_mac, true, false, false};
  checkWarning(W.r, W.c, lower, W.m, &v.mac, &v.low, &v.novar, &v.singular);
  return v;
}

TEST(DataProcessCheck, VariantFilters) {
  // All genotypes 0: carrier count unchanged, no variation, column 1 zero so W'W singular.
  Verdict v = check({{0, 1, 0.3}, {0, 1, 1.2}, {0, 1, -0.7}}, 4, 0);
  EXPECT_EQ(v.mac, 4);
  EXPECT_TRUE(v.novar);
  EXPECT_TRUE(v.singular);
  EXPECT_FALSE(v.low);
  // 0, 1, 2 adds two carriers; the design has full rank.
  v = check({{0, 1, 0.3}, {1, 1, 1.2}, {2, 1, -0.7}, {0, 1, 2.0}}, 0, 2);
  EXPECT_EQ(v.mac, 2);
  EXPECT_FALSE(v.novar);
  EXPECT_FALSE(v.singular);
  EXPECT_FALSE(v.low);  // strict: 2 < 2 is false
  v = check({{0, 1, 0.3}, {1, 1, 1.2}, {2, 1, -0.7}, {0, 1, 2.0}}, 0, 3);
  EXPECT_TRUE(v.low);
  // Covariate equal to the genotype: singular although the genotype varies. (Values chosen so
  // that the factorisation is exact and its last pivot is exactly zero.)
  v = check({{0, 1, 0}, {0, 1, 0}, {2, 1, 2}, {0, 1, 0}}, 0, 0);
  EXPECT_EQ(v.mac, 1);
  EXPECT_FALSE(v.novar);
  EXPECT_TRUE(v.singular);
  // A genotype of 0.999 is not a carrier; constant 1 is a carrier but no variation.
  v = check({{0.999, 1}, {1, 1}, {1, 1}}, 0, 0);
  EXPECT_EQ(v.mac, 2);
  EXPECT_FALSE(v.novar);
  v = check({{1, 1}, {1, 1}, {1, 1}, {1, 1}}, 0, 0);
  EXPECT_EQ(v.mac, 4);
  EXPECT_TRUE(v.novar);
  EXPECT_TRUE(v.singular);

  Mat good({{1, 0.5}, {1, 1.5}, {1, -2}});
  Mat bad({{1, 2}, {1, 2}, {1, 2}, {1, 2}});
  bool singular = true;
  checkWarningNull(3, 2, good.m, &singular);
  EXPECT_FALSE(singular);
  checkWarningNull(4, 2, bad.m, &singular);
  EXPECT_TRUE(singular);
}

std::vector<double> column(const Mat &a, int j) {
  std::vector<double> out;
  for (int i = 1; i <= a.r; i++) {
    out.push_back(a.m[i][j]);
  }
  return out;
}

TEST(DataProcessScale, ThreeOrMoreDistinctValuesOnly) {
  // Columns: 1, 2, 3 and a missing entry; a 0/1 code; a constant; two values 4.4e-16 apart plus
  // a third, which count as two distinct values; four values with mean 5 and variance 20/3.
  const double close = 1.0 + 4.440892098500626e-16;
  Mat a({{1, 0, 7, 1, 2}, {2, 1, 7, close, 4}, {kMiss, 1, kMiss, 3, 6}, {3, 0, 7, 1, 8}});
  ScaleCovariates(a.m, 4, 1, 5, kMiss);
  EXPECT_EQ(column(a, 1), (std::vector<double>{-1, 0, kMiss, 1}));
  EXPECT_EQ(column(a, 2), (std::vector<double>{0, 1, 1, 0}));
  EXPECT_EQ(column(a, 3), (std::vector<double>{7, 7, kMiss, 7}));
  EXPECT_EQ(column(a, 4), (std::vector<double>{1, close, 3, 1}));
  const double sd = std::sqrt(20.0 / 3.0);
  const std::vector<double> got = column(a, 5);
  const double want[] = {-3 / sd, -1 / sd, 1 / sd, 3 / sd};
  for (int i = 0; i < 4; i++) {
    EXPECT_NEAR(got[i], want[i], 1e-14);
  }
  // Only the columns asked for; none when the first exceeds the last.
  Mat b({{1, 1}, {2, 2}, {3, 3}});
  ScaleCovariates(b.m, 3, 2, 2, kMiss);
  EXPECT_EQ(column(b, 1), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(column(b, 2), (std::vector<double>{-1, 0, 1}));
  ScaleCovariates(b.m, 3, 2, 1, kMiss);
  EXPECT_EQ(column(b, 1), (std::vector<double>{1, 2, 3}));
}

// Values close together relative to their size: the one-pass variance cancels to zero or below,
// and the two-pass variance takes over.
TEST(DataProcessScale, CancellationFallsBackToTwoPasses) {
  for (double base : {1e8, 1e9}) {
    const double step = base == 1e8 ? 1e-4 : 1e-5;
    const std::vector<double> x{base, base + step, base + 2 * step};
    double sum = 0.0, sum_sq = 0.0;
    for (double v : x) {
      sum += v;
      sum_sq += v * v;
    }
    const double mean = sum / 3;
    ASSERT_LE((sum_sq - 3 * mean * mean) / 2, 0.0) << "example no longer cancels";
    double ss = 0.0;
    for (double v : x) {
      ss += (v - mean) * (v - mean);
    }
    const double sd = std::sqrt(ss / 2);
    Mat a({{x[0]}, {kMiss}, {x[1]}, {x[2]}});
    ScaleCovariates(a.m, 4, 1, 1, kMiss);
    EXPECT_DOUBLE_EQ(a.m[1][1], (x[0] - mean) / sd);
    EXPECT_EQ(a.m[2][1], kMiss);
    EXPECT_DOUBLE_EQ(a.m[3][1], (x[1] - mean) / sd);
    EXPECT_DOUBLE_EQ(a.m[4][1], (x[2] - mean) / sd);
    EXPECT_NEAR(a.m[1][1], -1.0, 1e-3);
    EXPECT_NEAR(a.m[4][1], 1.0, 1e-3);
  }
  // Squares beyond the range of a double: no finite variance in either form, column unchanged
  // rather than turned into zeros.
  Mat big({{1e200}, {2e200}, {3e200}});
  ScaleCovariates(big.m, 3, 1, 1, kMiss);
  EXPECT_EQ(column(big, 1), (std::vector<double>{1e200, 2e200, 3e200}));
}

TEST(DataProcessArrays, LexicographicComparisons) {
  double a[] = {0, 1, 2, 3}, b[] = {0, 1, 2, 4}, c[] = {0, 2, 0, 0};
  EXPECT_TRUE(SmallArray(a, b, 3));
  EXPECT_FALSE(SmallArray(b, a, 3));
  EXPECT_TRUE(BigArray(b, a, 3));
  EXPECT_FALSE(BigArray(a, a, 3));
  EXPECT_FALSE(SmallArray(a, a, 3));
  EXPECT_TRUE(EqualArray(a, a, 3));
  EXPECT_FALSE(EqualArray(a, b, 3));
  EXPECT_TRUE(EqualArray(a, b, 2));
  // The first differing element decides.
  EXPECT_TRUE(BigArray(c, b, 3));
  EXPECT_TRUE(SmallArray(b, c, 3));
}

}  // namespace
