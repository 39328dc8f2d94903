// Data preparation, index sorting and reordering, table counting, and the common stop routine.
//
// Arrays are offset-indexed (toolkit/func_linear_algebra.h) and addressed from 1 unless a
// routine says otherwise. Nothing here prints or exits except dim, dimRecords (file that cannot
// be opened), the index sorts (stack overflow, through nrerror) and kill_program.
#ifndef VARNOSTA_TOOLKIT_FUNC_DATA_PROCESS_H
#define VARNOSTA_TOOLKIT_FUNC_DATA_PROCESS_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/func_linear_algebra.h"

// Writes "Program was stopped due to error(s) listed above." to std::cerr and exits with
// status 1 through the normal exit path, so open output files are flushed and closed.
[[noreturn]] void kill_program();

// ---------------------------------------------------------------------------------------------
// Table counting
// ---------------------------------------------------------------------------------------------

// Rows and columns of a tab-separated table: rows = line ends, plus one when the last character
// is not a line end (every empty line counts); columns = tabs / rows + 1 (truncating), header
// line included; header == 'T' then drops one row. A file without any character gives 0 and 0
// (there is no line, so no header to drop). A file that cannot be opened stops the program
// ("Error: Cannot open file ..." and the stop line, status 1).
void dim(int *row, int *col, const char *file_name, char header);

// As dim, but the blank lines (whitespace only) after the last line with content are not
// records: they are neither counted as rows nor do their tabs enter the column count. Equal to
// dim on a table without trailing blank lines. Same stop on a file that cannot be opened.
void dimRecords(int *row, int *col, const char *file_name, char header);

// ---------------------------------------------------------------------------------------------
// Data preparation
// ---------------------------------------------------------------------------------------------

// score[1..n] <- sum of 2^(k-1) over the traits k = 1..K with |Y[i][k] - code| > 1e-10.
// Y[1..n][1..K] is only read. K <= 31 keeps the score inside a 32-bit int.
void MisPatternDetect(double **Y, int n, int K, double code, int *score);

// rank[ind[i]] <- i for i = 1..n; ind[1..n] must be a permutation of 1..n.
void indToRank(int n, int *ind, int *rank);

// *J <- number of distinct rows of X[1..nrow][1..ncol], walking the rows in the order
// index[1..nrow] of indexx_Array (equal rows are adjacent there). Exact comparison.
void NumUniCov(double **X, int ncol, int nrow, int *index, int *J);

// Unique covariate table of X in the order index[1..nrow]: W_Uni[1..J][1..ncol] the distinct
// rows in sorted order, ind_UniW[r] the distinct row of row r of X, n_UniW[1..J] the
// multiplicities. X and index are only read; nrow >= 1.
void CreateUniCov(double **X, int ncol, int nrow, int *index, double **W_Uni, int *ind_UniW,
                  int *n_UniW);

// Variant filters on W[1..n][1..p] (column 1 the genotype): *mac grows by the rows with
// W[i][1] >= 1 (not reset here); *lowMAC = *mac < lowerMAC; *noVariation = every W[i][1] equals
// W[1][1]; *singular = W'W is not positive definite or its columns are collinear up to
// rounding (choldcCheckNonsingular). W is only read.
void checkWarning(int n, int p, int lowerMAC, double **W, int *mac, bool *lowMAC, bool *noVariation,
                  bool *singular);

// *singular <- W'W over W[1..n][1..p] is singular, as in checkWarning. W is only read.
void checkWarningNull(int n, int p, double **W, bool *singular);

// Standardises in place, over rows 1..n, every column j = c1..c2 of A with at least three
// distinct observed values (|x - code| > 1e-10; distinct means more than 1e-15 apart); other
// columns and every missing entry are left as they are. A column whose variance is not positive
// and finite even in two passes is left unchanged too.
void ScaleCovariates(double **A, int n, int c1, int c2, double code);

// Sample standard deviation (divisor count - 1) of the observed entries of column j of A over
// rows 1..n, the spread that ScaleCovariates divides by; 0 with fewer than two observed entries.
double ColumnSD(double **A, int n, int j, double code);

// Mean of the observed entries of column j of A over rows 1..n, the centre that ScaleCovariates
// subtracts; 0 without an observed entry.
double ColumnMean(double **A, int n, int j, double code);

// Whether column j of A has at least three distinct observed values over rows 1..n, so that
// ScaleCovariates standardises it.
bool ColumnHasThreeValues(double **A, int n, int j, double code);

// Lexicographic comparisons of a[1..n] and b[1..n], exact, element 1 first (n >= 1).
bool BigArray(double *a, double *b, int n);
bool SmallArray(double *a, double *b, int n);
bool EqualArray(double *a, double *b, int n);

// ---------------------------------------------------------------------------------------------
// Index sorting and reordering
// ---------------------------------------------------------------------------------------------

// indx[1..n] <- positions 1..n of arr[1..n] in ascending key order. Not stable: equal keys come
// out in the order the steps of index_sort below leave them, and the row order of the subjects
// depends on it. n <= 0 leaves indx as it was. Stops through nrerror when more than 25 ranges
// wait.
void indexx(int n, int *arr, int *indx);
void indexxDoub(int n, double *arr, int *indx);
// As indexx over the rows arr[1..n][1..ncol], compared lexicographically (exact, column 1
// first); during insertion an equal row is moved past, so equal short runs come out reversed.
void indexx_Array(int ncol, int n, double **arr, int *indx);

// v[i] <- old v[indx[i]], i = 1..n.
void sortByIndex(double *v, int n, int *indx);
// A[i][j] <- old A[indx[i]][j] for i = 1..n and each column j = c1..c2 (none when c1 > c2).
void sortByIndex_M(double **A, int n, int c1, int c2, int *indx);

namespace data_process_detail {

// The one index sort behind indexx, indexxDoub, indexx_Array and indexxVec: a quicksort with
// median-of-three partitioning, straight insertion on ranges of at most seven positions, and a
// 50-entry stack of waiting ranges (the longer part waits). less(a, b) compares the keys at
// positions a and b (1..n). With strict_insertion the insertion pass stops only at a strictly
// smaller key, otherwise at a key that is not greater.
template <class Less>
void index_sort(int n, int *indx, Less less, bool strict_insertion, const char *overflow) {
  const int kStack = 50;
  const int kShortRange = 7;
  int *stack = ivector(1, kStack);
  int s = 0;
  for (int j = 1; j <= n; j++) {
    indx[j] = j;
  }
  int l = 1, ir = n;
  for (;;) {
    if (ir - l < kShortRange) {
      for (int j = l + 1; j <= ir; j++) {
        const int t = indx[j];
        int i = j - 1;
        for (; i >= l; i--) {
          const bool stop = strict_insertion ? less(indx[i], t) : !less(t, indx[i]);
          if (stop) {
            break;
          }
          indx[i + 1] = indx[i];
        }
        indx[i + 1] = t;
      }
      if (s == 0) {
        free_ivector(stack, 1, kStack);
        return;
      }
      ir = stack[s];
      l = stack[s - 1];
      s -= 2;
      continue;
    }
    const int k = (l + ir) / 2;
    std::swap(indx[k], indx[l + 1]);
    // Median of three: strict tests, so equal keys are never exchanged here.
    if (less(indx[ir], indx[l])) {
      std::swap(indx[l], indx[ir]);
    }
    if (less(indx[ir], indx[l + 1])) {
      std::swap(indx[l + 1], indx[ir]);
    }
    if (less(indx[l + 1], indx[l])) {
      std::swap(indx[l], indx[l + 1]);
    }
    const int t = indx[l + 1];
    int i = l + 1, j = ir;
    for (;;) {
      // Both scans stop at a key equal to the partitioning key, which splits runs of ties.
      do {
        i++;
      } while (less(indx[i], t));
      do {
        j--;
      } while (less(t, indx[j]));
      if (j < i) {
        break;
      }
      std::swap(indx[i], indx[j]);
    }
    indx[l + 1] = indx[j];
    indx[j] = t;
    s += 2;
    if (s > kStack) {
      nrerror(overflow);
    }
    if (ir - i + 1 >= j - l) {
      stack[s] = ir;
      stack[s - 1] = i;
      ir = j - 1;
    } else {
      stack[s] = j - 1;
      stack[s - 1] = l;
      l = i;
    }
  }
}

}  // namespace data_process_detail

// indx[1..N] <- the 0-based positions 0..N-1 of arr (N = arr.size()) in ascending order; for
// strings std::string::compare (bytes as unsigned char, a prefix before the longer name). The
// same steps and tie rule as indexx on the 1-based positions, each stored position less one.
template <class T>
void indexxVec(const std::vector<T> &arr, int *indx) {
  const int count = static_cast<int>(arr.size());
  data_process_detail::index_sort(
      count, indx, [&arr](int a, int b) { return arr[a - 1] < arr[b - 1]; }, false,
      "Error: NSTACK too small in indexx.");
  for (int j = 1; j <= count; j++) {
    indx[j] -= 1;
  }
}

// v[i] <- old v[indx[i + 1]] for i = 0..N-1 (N = v.size()): applies an indexxVec result.
template <class T>
void sortByIndexVec(std::vector<T> &v, int *indx) {
  const std::vector<T> old(v);
  for (std::size_t i = 0; i < v.size(); i++) {
    v[i] = old[indx[i + 1]];
  }
}

#endif  // VARNOSTA_TOOLKIT_FUNC_DATA_PROCESS_H
