// Index sorts and reordering: hand-traced tie orders (the order of equal keys decides which
// subject lands on which row), sortedness and permutation on random keys with many ties, and the
// reordering routines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

using varnosta_test::IVec;
using varnosta_test::Mat;
using varnosta_test::Vec;
using Ints = std::vector<int>;
using Rows = std::vector<std::vector<double>>;

Ints run_indexx(const Ints &keys) {
  IVec arr(keys), indx(static_cast<int>(keys.size()));
  indexx(arr.n, arr.v, indx.v);
  return indx.values();
}

// indexxDoub on the same keys as doubles.
Ints run_indexx_doub(const Ints &keys) {
  Vec arr(std::vector<double>(keys.begin(), keys.end()));
  IVec indx(arr.n);
  indexxDoub(arr.n, arr.v, indx.v);
  return indx.values();
}

Ints run_indexx_array(const Rows &rows) {
  Mat x(rows);
  IVec indx(x.r);
  indexx_Array(x.c, x.r, x.m, indx.v);
  return indx.values();
}

Ints run_indexx_vec(const std::vector<std::string> &names) {
  IVec indx(static_cast<int>(names.size()));
  indexxVec(names, indx.v);
  return indx.values();
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
// Eight equal keys: k = 4 gives 1 4 3 2 5 6 7 8; the scans stop at every key, swapping (3,7)
//   and (4,6) and 5 with itself, and cross at i = 6, j = 4; indx[2] = 6, indx[4] = 4 ->
//   1 6 7 4 5 2 3 8; both parts (1..3 and 6..8) are short and already in insertion order.
TEST(SortIndexx, HandTracedTieOrders) {
  struct Case {
    Ints keys, expected;
  };
  const Case cases[] = {
      {{3, 1, 3, 0}, {4, 2, 1, 3}},
      {{3, 1, 3, 1, 3, 1, 3, 1, 3}, {6, 8, 4, 2, 1, 5, 7, 3, 9}},
      {Ints(8, 2), {1, 6, 7, 4, 5, 2, 3, 8}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(run_indexx(c.keys), c.expected);
    EXPECT_EQ(run_indexx_doub(c.keys), c.expected);
  }
  // Up to seven equal keys: the identity for the scalar sorts, reversed for equal rows.
  for (int n = 1; n <= 7; n++) {
    Ints identity(n), reversed(n);
    for (int i = 0; i < n; i++) {
      identity[i] = i + 1;
      reversed[i] = n - i;
    }
    EXPECT_EQ(run_indexx(Ints(n, 5)), identity) << n;
    EXPECT_EQ(run_indexx_doub(Ints(n, 5)), identity) << n;
    EXPECT_EQ(run_indexx_array(Rows(n, {1.0, 2.0})), reversed) << n;
  }
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
TEST(SortIndexxArray, HandTracedTiesAndLexicographicOrder) {
  const std::vector<double> a{2.0, 0.5}, b{2.0, 1.5};
  EXPECT_EQ(run_indexx_array({b, a, b, a, b, a, b, a}), (Ints{6, 8, 4, 2, 1, 7, 3, 5}));
  // Column 1 decides first; only on a tie does column 2, then column 3.
  EXPECT_EQ(run_indexx_array({{1, 9, 0}, {0, 5, 5}, {1, 2, 7}, {1, 2, 3}}), (Ints{2, 4, 3, 1}));
  EXPECT_EQ(run_indexx_array({{2}, {1}, {3}}), (Ints{2, 1, 3}));
  // A difference of 1e-12 is a difference.
  EXPECT_EQ(run_indexx_array({{1.0, 1.0 + 1e-12}, {1.0, 1.0}}), (Ints{2, 1}));
}

// Random keys with many ties (and ascending distinct keys), sizes across the insertion threshold
// and many partitions: the result is a permutation and the keys come out ascending. All members
// run the same steps, so indexxDoub and indexxVec (on names that sort like the numbers) give
// indexx's tie order.
TEST(SortIndexx, RandomKeysSortedAndMembersAgree) {
  std::mt19937 rng(20240607);
  for (int n : {1, 2, 7, 8, 9, 15, 64, 257, 1000, 5000}) {
    for (int range : {0, 1, 2, 5, 1000}) {
      std::uniform_int_distribution<int> draw(0, std::max(range - 1, 0));
      Ints keys(n);
      std::vector<std::string> names(n);
      Rows rows(n);
      for (int i = 0; i < n; i++) {
        keys[i] = range == 0 ? 2 * i : draw(rng);  // range 0: ascending and distinct
        char buf[16];
        std::snprintf(buf, sizeof buf, "g%05d", keys[i]);
        names[i] = buf;
        rows[i] = {static_cast<double>(keys[i] % 3), static_cast<double>(keys[i])};
      }
      const Ints indx = run_indexx(keys), rindx = run_indexx_array(rows);
      Ints positions(n);
      std::iota(positions.begin(), positions.end(), 1);
      ASSERT_TRUE(std::is_permutation(indx.begin(), indx.end(), positions.begin()));
      ASSERT_TRUE(std::is_permutation(rindx.begin(), rindx.end(), positions.begin()));
      for (int i = 1; i < n; i++) {
        ASSERT_LE(keys[indx[i - 1] - 1], keys[indx[i] - 1]);
        ASSERT_LE(rows[rindx[i - 1] - 1], rows[rindx[i] - 1]);
      }
      if (range == 0) {
        ASSERT_EQ(indx, positions);
      }
      EXPECT_EQ(run_indexx_doub(keys), indx);
      Ints vec = run_indexx_vec(names);
      for (int &v : vec) v += 1;
      EXPECT_EQ(vec, indx);
    }
  }
}

TEST(SortIndexx, EmptyAndSingle) {
  IVec arr{9, 0, 0}, indx{42, 42, 42};
  indexx(0, arr.v, indx.v);
  indexx(-1, arr.v, indx.v);
  indexxVec(std::vector<std::string>(), indx.v);
  EXPECT_EQ(indx[1], 42);
  indexx(1, arr.v, indx.v);
  EXPECT_EQ(indx[1], 1);
  EXPECT_EQ(run_indexx_vec({"x"}), (Ints{0}));
}

TEST(SortIndexxVec, NamesByByteOrderPrefixesFirst) {
  std::vector<std::string> names{"beta", "alpha", "B", "al", "Alpha", "a", "ALPHA", "b1", "b"};
  IVec indx(static_cast<int>(names.size()));
  indexxVec(names, indx.v);
  sortByIndexVec(names, indx.v);
  // Upper case (0x41..0x5A) before lower case (0x61..0x7A); a name before its extensions.
  EXPECT_EQ(names, (std::vector<std::string>{"ALPHA", "Alpha", "B", "a", "al", "alpha", "b", "b1",
                                             "beta"}));
}

TEST(SortReorder, SortByIndexMovesValuesAndColumns) {
  Vec v{10, 20, 30, 40};
  IVec indx{3, 1, 4, 2};
  sortByIndex(v.v, 4, indx.v);
  EXPECT_EQ(v.values(), (std::vector<double>{30, 10, 40, 20}));
  Mat a({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}});
  sortByIndex_M(a.m, 4, 2, 2, indx.v);  // only column 2 moves
  sortByIndex_M(a.m, 4, 3, 2, indx.v);  // c1 > c2: nothing moves
  EXPECT_EQ(a.column(1), (std::vector<double>{1, 4, 7, 10}));
  EXPECT_EQ(a.column(2), (std::vector<double>{8, 2, 11, 5}));
  EXPECT_EQ(a.column(3), (std::vector<double>{3, 6, 9, 12}));
  sortByIndex_M(a.m, 4, 1, 3, indx.v);  // whole rows
  EXPECT_EQ(a.column(1), (std::vector<double>{7, 1, 10, 4}));
  EXPECT_EQ(a.column(3), (std::vector<double>{9, 3, 12, 6}));
}

}  // namespace
