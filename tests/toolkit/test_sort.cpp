// Index sorts and reordering: hand-traced tie orders (the order of equal keys decides which
// subject lands on which row), sortedness and permutation on random keys with many ties, and the
// reordering routines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

// Owned 1-based int vector.
struct IVec {
  int n;
  int *v;
  explicit IVec(int size) : n(size), v(ivector(1, size)) {}
  ~IVec() { free_ivector(v, 1, n); }
  IVec(const IVec &) = delete;
  IVec &operator=(const IVec &) = delete;
  std::vector<int> values() const { return std::vector<int>(v + 1, v + n + 1); }
};

// Owned [1..r][1..c] matrix filled from rows given as vectors.
struct Rows {
  int r, c;
  double **m;
  explicit Rows(const std::vector<std::vector<double>> &rows)
      : r(static_cast<int>(rows.size())),
        c(static_cast<int>(rows[0].size())),
        m(dmatrix(1, r, 1, c)) {
    for (int i = 1; i <= r; i++) {
      for (int j = 1; j <= c; j++) {
        m[i][j] = rows[i - 1][j - 1];
      }
    }
  }
  ~Rows() { free_dmatrix(m, 1, r, 1, c); }
  Rows(const Rows &) = delete;
  Rows &operator=(const Rows &) = delete;
};

std::vector<int> run_indexx(const std::vector<int> &keys) {
  const int n = static_cast<int>(keys.size());
  IVec arr(n), indx(n);
  std::copy(keys.begin(), keys.end(), arr.v + 1);
  indexx(n, arr.v, indx.v);
  return indx.values();
}

std::vector<int> run_indexx_doub(const std::vector<double> &keys) {
  const int n = static_cast<int>(keys.size());
  double *arr = dvector(1, n);
  std::copy(keys.begin(), keys.end(), arr + 1);
  IVec indx(n);
  indexxDoub(n, arr, indx.v);
  free_dvector(arr, 1, n);
  return indx.values();
}

std::vector<int> run_indexx_array(const std::vector<std::vector<double>> &rows) {
  Rows x(rows);
  IVec indx(x.r);
  indexx_Array(x.c, x.r, x.m, indx.v);
  return indx.values();
}

std::vector<int> run_indexx_vec(const std::vector<std::string> &names) {
  IVec indx(static_cast<int>(names.size()));
  indexxVec(names, indx.v);
  return indx.values();
}

bool is_permutation_of_positions(const std::vector<int> &indx) {
  std::vector<int> sorted(indx);
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < sorted.size(); i++) {
    if (sorted[i] != static_cast<int>(i) + 1) {
      return false;
    }
  }
  return true;
}

TEST(SortIndexx, WorkedExample) {
  EXPECT_EQ(run_indexx({3, 1, 3, 0}), (std::vector<int>{4, 2, 1, 3}));
  EXPECT_EQ(run_indexx_doub({3.0, 1.0, 3.0, 0.0}), (std::vector<int>{4, 2, 1, 3}));
}

TEST(SortIndexx, UpToSevenEqualKeysGiveIdentityAndEqualRowsReverse) {
  for (int n = 1; n <= 7; n++) {
    std::vector<int> identity(n), reversed(n);
    for (int i = 0; i < n; i++) {
      identity[i] = i + 1;
      reversed[i] = n - i;
    }
    EXPECT_EQ(run_indexx(std::vector<int>(n, 5)), identity) << n;
    EXPECT_EQ(run_indexx_doub(std::vector<double>(n, 0.5)), identity) << n;
    EXPECT_EQ(run_indexx_array(std::vector<std::vector<double>>(n, {1.0, 2.0})), reversed) << n;
  }
}

TEST(SortIndexx, AscendingDistinctKeysGiveIdentity) {
  for (int n = 1; n <= 300; n++) {
    std::vector<int> keys(n), identity(n);
    std::vector<double> dkeys(n);
    std::vector<std::vector<double>> rows(n);
    for (int i = 0; i < n; i++) {
      keys[i] = 2 * i - 7;
      dkeys[i] = 0.25 * i;
      rows[i] = {1.0, 0.5 * i};
      identity[i] = i + 1;
    }
    ASSERT_EQ(run_indexx(keys), identity) << n;
    ASSERT_EQ(run_indexx_doub(dkeys), identity) << n;
    ASSERT_EQ(run_indexx_array(rows), identity) << n;
  }
}

// Keys 3 1 3 1 3 1 3 1 3 (n = 9), traced by hand through the steps:
//   indx = 1..9, l = 1, ir = 9; 8 >= 7, partition. k = 5: swap indx[5], indx[2] ->
//   1 5 3 4 2 6 7 8 9 (keys 3 3 3 1 1 1 3 1 3). Median of three: no strict exchange.
//   t = 5, a = 3, i = 2, j = 9.
//   i -> 3 (key 3 stops); j -> 8 (key 1 stops); swap -> 1 5 8 4 2 6 7 3 9.
//   i -> 4, 5, 6 (keys 1 pass), 7 (key 3 stops); j -> 7 (key 3 stops); swap 7 with itself.
//   i -> 8 (key 3 stops); j -> 6 (key 1 stops); j < i, leave.
//   indx[2] = indx[6] = 6, indx[6] = 5 -> 1 6 8 4 2 5 7 3 9.
//   s = 2; right part 8..9 (2) < left part 1..5 (5): push 1..5, go on with l = 8, ir = 9.
//   Insertion on 8..9: key 3 <= 3, nothing moves. Pop 1..5: 1 6 8 4 2 with keys 3 1 1 1 1;
//   each key 1 shifts the 3 right and stops at the previous 1 -> 6 8 4 2 1.
//   Result 6 8 4 2 1 5 7 3 9: the ones in the order 6 8 4 2, the threes 1 5 7 3 9.
TEST(SortIndexx, HandTracedTiesBeyondInsertionLength) {
  const std::vector<int> expected{6, 8, 4, 2, 1, 5, 7, 3, 9};
  EXPECT_EQ(run_indexx({3, 1, 3, 1, 3, 1, 3, 1, 3}), expected);
  EXPECT_EQ(run_indexx_doub({3, 1, 3, 1, 3, 1, 3, 1, 3}), expected);
  // Eight equal keys: k = 4 gives 1 4 3 2 5 6 7 8; the scans stop at every key, swapping
  // (3,7) and (4,6) and 5 with itself, and cross at i = 6, j = 4; indx[2] = 6, indx[4] = 4 ->
  // 1 6 7 4 5 2 3 8; both parts (1..3 and 6..8) are short and already in insertion order.
  EXPECT_EQ(run_indexx(std::vector<int>(8, 2)), (std::vector<int>{1, 6, 7, 4, 5, 2, 3, 8}));
}

// Rows B A B A B A B A with A = (2, 0.5) < B = (2, 1.5): column 1 ties, column 2 decides.
//   indx = 1..8, l = 1, ir = 8; k = 4: swap indx[4], indx[2] -> 1 4 3 2 5 6 7 8
//   (rows B A B A B A B A). Median of three: row 1 (B) > row 8 (A): swap -> 8 4 3 2 5 6 7 1;
//   A(4) > B(1)? no; A(8) > A(4)? no. t = 4 (A), i = 2, j = 8.
//   i -> 3 (B stops); j -> 7 (B > A passes), 6 (A stops); swap -> 8 4 6 2 5 3 7 1.
//   i -> 4 (A stops); j -> 5 (B passes), 4 (A stops); swap 4 with itself.
//   i -> 5 (B stops); j -> 3 (A stops); j < i, leave. indx[2] = indx[3] = 6, indx[3] = 4 ->
//   8 6 4 2 5 3 7 1. s = 2; right part 5..8 (4) >= left part (2): push 5..8, ir = 2.
//   Insertion on 1..2: row 8 is not smaller than row 6, so 6 moves in front -> 6 8.
//   Pop 5..8: 5 3 7 1, all B; each inserted row moves in front of every equal row -> 1 7 3 5.
//   Result 6 8 4 2 1 7 3 5.
TEST(SortIndexxArray, HandTracedTiesBeyondInsertionLength) {
  const std::vector<double> a{2.0, 0.5}, b{2.0, 1.5};
  EXPECT_EQ(run_indexx_array({b, a, b, a, b, a, b, a}), (std::vector<int>{6, 8, 4, 2, 1, 7, 3, 5}));
}

TEST(SortIndexxArray, LexicographicOverColumns) {
  // Column 1 decides first; only on a tie does column 2, then column 3.
  EXPECT_EQ(run_indexx_array({{1, 9, 0}, {0, 5, 5}, {1, 2, 7}, {1, 2, 3}}),
            (std::vector<int>{2, 4, 3, 1}));
  // One column: only it is compared.
  EXPECT_EQ(run_indexx_array({{2}, {1}, {3}}), (std::vector<int>{2, 1, 3}));
  // A difference of 1e-12 is a difference.
  EXPECT_EQ(run_indexx_array({{1.0, 1.0 + 1e-12}, {1.0, 1.0}}), (std::vector<int>{2, 1}));
}

// Random keys with many ties, sizes across the insertion threshold and many partitions: the
// result is a permutation and the keys come out ascending. All members run the same steps, so
// indexxDoub and indexxVec (on names that sort like the numbers) give indexx's tie order.
TEST(SortIndexx, RandomKeysSortedAndMembersAgree) {
  std::mt19937 rng(20240607);
  for (int n : {1, 2, 7, 8, 9, 15, 64, 257, 1000, 5000}) {
    for (int range : {1, 2, 5, 1000}) {
      std::uniform_int_distribution<int> draw(0, range - 1);
      std::vector<int> keys(n);
      std::vector<double> dkeys(n);
      std::vector<std::string> names(n);
      std::vector<std::vector<double>> rows(n);
      for (int i = 0; i < n; i++) {
        keys[i] = draw(rng);
        dkeys[i] = keys[i];
        char buf[16];
        std::snprintf(buf, sizeof buf, "g%05d", keys[i]);
        names[i] = buf;
        rows[i] = {static_cast<double>(keys[i] % 3), static_cast<double>(keys[i])};
      }
      const std::vector<int> indx = run_indexx(keys);
      ASSERT_TRUE(is_permutation_of_positions(indx));
      for (int i = 1; i < n; i++) {
        ASSERT_LE(keys[indx[i - 1] - 1], keys[indx[i] - 1]);
      }
      EXPECT_EQ(run_indexx_doub(dkeys), indx);
      std::vector<int> vec = run_indexx_vec(names);
      for (int &v : vec) {
        v += 1;
      }
      EXPECT_EQ(vec, indx);
      const std::vector<int> rindx = run_indexx_array(rows);
      ASSERT_TRUE(is_permutation_of_positions(rindx));
      for (int i = 1; i < n; i++) {
        ASSERT_LE(rows[rindx[i - 1] - 1], rows[rindx[i] - 1]);
      }
    }
  }
}

TEST(SortIndexx, EmptyAndSingle) {
  IVec arr(3), indx(3);
  indx.v[1] = 42;
  indexx(0, arr.v, indx.v);
  EXPECT_EQ(indx.v[1], 42);
  indexx(-1, arr.v, indx.v);
  EXPECT_EQ(indx.v[1], 42);
  arr.v[1] = 9;
  indexx(1, arr.v, indx.v);
  EXPECT_EQ(indx.v[1], 1);
  const std::vector<std::string> none;
  indx.v[1] = 42;
  indexxVec(none, indx.v);
  EXPECT_EQ(indx.v[1], 42);
  EXPECT_EQ(run_indexx_vec({"x"}), (std::vector<int>{0}));
}

TEST(SortIndexxVec, NamesByByteOrderPrefixesFirst) {
  std::vector<std::string> names{"beta", "alpha", "B", "al", "Alpha", "a", "ALPHA", "b1", "b"};
  IVec indx(static_cast<int>(names.size()));
  indexxVec(names, indx.v);
  for (int i = 1; i <= indx.n; i++) {
    EXPECT_GE(indx.v[i], 0);
    EXPECT_LT(indx.v[i], indx.n);
  }
  sortByIndexVec(names, indx.v);
  // Upper case (0x41..0x5A) before lower case (0x61..0x7A); a name before its extensions.
  EXPECT_EQ(names, (std::vector<std::string>{"ALPHA", "Alpha", "B", "a", "al", "alpha", "b", "b1",
                                             "beta"}));
}

TEST(SortReorder, SortByIndexMovesValuesAndColumns) {
  double *v = dvector(1, 4);
  const double vals[] = {10, 20, 30, 40};
  std::copy(vals, vals + 4, v + 1);
  IVec indx(4);
  const int order[] = {3, 1, 4, 2};
  std::copy(order, order + 4, indx.v + 1);
  sortByIndex(v, 4, indx.v);
  EXPECT_EQ(std::vector<double>(v + 1, v + 5), (std::vector<double>{30, 10, 40, 20}));
  free_dvector(v, 1, 4);

  Rows a({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}});
  sortByIndex_M(a.m, 4, 2, 2, indx.v);  // only column 2 moves
  EXPECT_EQ(a.m[1][1], 1);
  EXPECT_EQ(a.m[1][2], 8);
  EXPECT_EQ(a.m[4][2], 5);
  EXPECT_EQ(a.m[4][3], 12);
  sortByIndex_M(a.m, 4, 3, 2, indx.v);  // c1 > c2: nothing moves
  EXPECT_EQ(a.m[1][2], 8);
  EXPECT_EQ(a.m[1][3], 3);
  Rows b({{1, 2}, {3, 4}, {5, 6}, {7, 8}});
  sortByIndex_M(b.m, 4, 1, 2, indx.v);  // whole rows
  EXPECT_EQ(b.m[1][1], 5);
  EXPECT_EQ(b.m[1][2], 6);
  EXPECT_EQ(b.m[2][1], 1);
  EXPECT_EQ(b.m[3][2], 8);
  EXPECT_EQ(b.m[4][1], 3);
}

}  // namespace
