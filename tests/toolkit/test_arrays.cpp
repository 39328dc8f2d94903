// Offset-indexed arrays and the two stops. Out-of-bounds addressing and a wrong release order
// show up under the sanitizer build, since the blocks carry no spare elements.
#include <gtest/gtest.h>

#include "tests/test_support.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

TEST(ArraysAlloc, EmptyBoundsAreRealArrays) {
  double *v = dvector(1, 0);
  free_dvector(v, 1, 0);
  double **none = dmatrix(1, 0, 1, 5);  // row table only
  free_dmatrix(none, 1, 0, 1, 5);
  double **empty_rows = dmatrix(1, 3, 1, 0);  // three rows, each its own empty block
  EXPECT_NE(empty_rows[1], empty_rows[2]);
  EXPECT_NE(empty_rows[2], empty_rows[3]);
  free_dmatrix(empty_rows, 1, 3, 1, 0);
  double ***leafless = dmatrix3(1, 2, 1, 0, 1, 5);  // row tables without leaves
  free_dmatrix3(leafless, 1, 2, 1, 0, 1, 5);
}

// Every element from the lower to the upper bound is addressable and keeps its own value.
TEST(ArraysAlloc, EveryFamilyAddressedFromItsLowerBound) {
  for (int nl : {0, 1, -2}) {
    const int nh = nl + 4;
    double *v = dvector(nl, nh);
    int *iv = ivector(nl, nh);
    char *cv = cvector(nl, nh);
    double **m = dmatrix(nl, nh, 1, 3);
    int **im = imatrix(1, 2, nl, nh);
    char **cm = cmatrix(nl, nl + 1, nl, nl + 1);
    double ***t = dmatrix3(nl, nh, 0, 2, 1, 4);
    int ***it = imatrix3(0, 1, nl, nh, 0, 0);
    // Visits every element with a value of its own: first to write, then to read back.
    auto each = [&](auto &&visit) {
      for (int i = nl; i <= nh; i++) {
        visit(v[i], 0.5 * i);
        visit(iv[i], 3 * i);
        visit(cv[i], static_cast<char>('a' + i - nl));
        for (int j = 1; j <= 3; j++) visit(m[i][j], 10.0 * i + j);
        for (int j = 1; j <= 2; j++) visit(im[j][i], 10 * j + i);
        for (int j = 0; j <= 2; j++)
          for (int k = 1; k <= 4; k++) visit(t[i][j][k], 100.0 * i + 10 * j + k);
        for (int j = 0; j <= 1; j++) visit(it[j][i][0], 10 * j + i);
      }
    };
    each([](auto &slot, auto value) { slot = value; });
    each([](auto &slot, auto value) { EXPECT_EQ(slot, value); });
    for (int i = nl; i <= nl + 1; i++)
      for (int j = nl; j <= nl + 1; j++) cm[i][j] = 'x';
    EXPECT_EQ(&v[nh] - &v[nl], 4);  // one contiguous block from nl to nh
    free_imatrix3(it, 0, 1, nl, nh, 0, 0);
    free_dmatrix3(t, nl, nh, 0, 2, 1, 4);
    free_cmatrix(cm, nl, nl + 1, nl, nl + 1);
    free_imatrix(im, 1, 2, nl, nh);
    free_dmatrix(m, nl, nh, 1, 3);
    free_cvector(cv, nl, nh);
    free_ivector(iv, nl, nh);
    free_dvector(v, nl, nh);
  }
}

TEST(ArraysStopDeathTest, ReportsAndExitStatus) {
  EXPECT_EXIT(nrerror("choldc failed"), ::testing::ExitedWithCode(1),
              varnosta_test::nr_report("choldc failed"));
  EXPECT_EXIT(kill_program(), ::testing::ExitedWithCode(1),
              "^Program was stopped due to error\\(s\\) listed above\\.\n$");
}

}  // namespace
