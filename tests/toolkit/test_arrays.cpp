// Offset-indexed arrays and the two stops. Out-of-bounds addressing and a wrong release order
// show up under the sanitizer build, since the blocks carry no spare elements.
#include <gtest/gtest.h>

#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

TEST(ArraysAlloc, EmptyBoundsAreRealArrays) {
  double *v = dvector(1, 0);
  ASSERT_NE(v + 1, nullptr);
  free_dvector(v, 1, 0);

  double **none = dmatrix(1, 0, 1, 5);  // row table only
  free_dmatrix(none, 1, 0, 1, 5);

  double **empty_rows = dmatrix(1, 3, 1, 0);  // three rows, each its own empty block
  EXPECT_NE(empty_rows[1], empty_rows[2]);
  EXPECT_NE(empty_rows[2], empty_rows[3]);
  free_dmatrix(empty_rows, 1, 3, 1, 0);
}

TEST(ArraysAlloc, LowerBoundsZeroOneAndNegative) {
  for (int nl : {0, 1, -2}) {
    const int nh = nl + 4;
    double *v = dvector(nl, nh);
    int *iv = ivector(nl, nh);
    char *cv = cvector(nl, nh);
    for (int i = nl; i <= nh; i++) {
      v[i] = 0.5 * i;
      iv[i] = 3 * i;
      cv[i] = static_cast<char>('a' + i - nl);
    }
    for (int i = nl; i <= nh; i++) {
      EXPECT_EQ(v[i], 0.5 * i);
      EXPECT_EQ(iv[i], 3 * i);
      EXPECT_EQ(cv[i], 'a' + i - nl);
    }
    EXPECT_EQ(&v[nh] - &v[nl], 4);  // one contiguous block from nl to nh
    free_cvector(cv, nl, nh);
    free_ivector(iv, nl, nh);
    free_dvector(v, nl, nh);

    double **m = dmatrix(nl, nh, 1, 3);
    int **im = imatrix(1, 2, nl, nh);
    char **cm = cmatrix(nl, nl + 1, nl, nl + 1);
    for (int i = nl; i <= nh; i++)
      for (int j = 1; j <= 3; j++) m[i][j] = 10.0 * i + j;
    for (int i = 1; i <= 2; i++)
      for (int j = nl; j <= nh; j++) im[i][j] = 10 * i + j;
    for (int i = nl; i <= nl + 1; i++)
      for (int j = nl; j <= nl + 1; j++) cm[i][j] = 'x';
    for (int i = nl; i <= nh; i++)
      for (int j = 1; j <= 3; j++) EXPECT_EQ(m[i][j], 10.0 * i + j);
    for (int i = 1; i <= 2; i++)
      for (int j = nl; j <= nh; j++) EXPECT_EQ(im[i][j], 10 * i + j);
    free_cmatrix(cm, nl, nl + 1, nl, nl + 1);
    free_imatrix(im, 1, 2, nl, nh);
    free_dmatrix(m, nl, nh, 1, 3);
  }
}

TEST(ArraysAlloc, ThreeWayArrays) {
  double ***t = dmatrix3(1, 3, 0, 2, 1, 4);
  int ***it = imatrix3(0, 1, 1, 2, 0, 0);
  for (int i = 1; i <= 3; i++)
    for (int j = 0; j <= 2; j++)
      for (int k = 1; k <= 4; k++) t[i][j][k] = 100.0 * i + 10.0 * j + k;
  for (int i = 0; i <= 1; i++)
    for (int j = 1; j <= 2; j++) it[i][j][0] = 10 * i + j;
  for (int i = 1; i <= 3; i++)
    for (int j = 0; j <= 2; j++)
      for (int k = 1; k <= 4; k++) EXPECT_EQ(t[i][j][k], 100.0 * i + 10.0 * j + k);
  for (int i = 0; i <= 1; i++)
    for (int j = 1; j <= 2; j++) EXPECT_EQ(it[i][j][0], 10 * i + j);
  free_imatrix3(it, 0, 1, 1, 2, 0, 0);
  free_dmatrix3(t, 1, 3, 0, 2, 1, 4);

  double ***empty = dmatrix3(1, 2, 1, 0, 1, 5);  // row tables without leaves
  free_dmatrix3(empty, 1, 2, 1, 0, 1, 5);
}

TEST(ArraysStopDeathTest, ReportsAndExitStatus) {
  EXPECT_EXIT(nrerror("choldc failed"), ::testing::ExitedWithCode(1),
              "^Numerical Recipes run-time error\\.\\.\\.\ncholdc failed\n"
              "\\.\\.\\.now exiting to system\\.\\.\\.\n$");
  EXPECT_EXIT(kill_program(), ::testing::ExitedWithCode(1),
              "^Program was stopped due to error\\(s\\) listed above\\.\n$");
}

}  // namespace
