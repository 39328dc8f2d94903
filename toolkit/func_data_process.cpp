#include "toolkit/func_data_process.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <vector>

void kill_program() {
  std::cerr << "Program was stopped due to error(s) listed above." << std::endl;
  std::exit(1);
}

// ---------------------------------------------------------------------------------------------
// Table counting
// ---------------------------------------------------------------------------------------------

namespace {

// Everything dim and dimRecords need from one pass over the file.
struct TableCounts {
  long tabs = 0;
  long newlines = 0;
  bool empty = true;
  char last = '\0';
  long record_lines = 0;  // lines up to the last line with content
  long record_tabs = 0;   // tabs on those lines
};

bool is_blank_char(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\v' || ch == '\f';
}

TableCounts count_table(const char *file_name) {
  std::ifstream in(file_name, std::ios::binary);
  if (!in.is_open()) {
    std::cerr << "Error: Cannot open file " << file_name << std::endl;
    kill_program();
  }
  TableCounts t;
  bool line_has_content = false;
  // Block reads: the genotype table may be large, and every character is looked at.
  std::vector<char> buffer(1 << 16);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    const std::streamsize got = in.gcount();
    for (std::streamsize b = 0; b < got; b++) {
      const char ch = buffer[b];
      if (ch == '\t') {
        t.tabs++;
      }
      if (ch == '\n') {
        t.newlines++;
        if (line_has_content) {
          t.record_lines = t.newlines;
          t.record_tabs = t.tabs;
        }
        line_has_content = false;
      } else if (!is_blank_char(ch)) {
        line_has_content = true;
      }
    }
    if (got > 0) {
      t.empty = false;
      t.last = buffer[got - 1];
    }
  }
  if (line_has_content) {
    t.record_lines = t.newlines + 1;
    t.record_tabs = t.tabs;
  }
  return t;
}

void set_counts(long rows, long tabs, char header, int *row, int *col) {
  if (rows == 0) {
    *row = 0;
    *col = 0;
    return;
  }
  // The column count averages the tabs over every line, header included.
  *col = static_cast<int>(tabs / rows + 1);
  *row = static_cast<int>(header == 'T' ? rows - 1 : rows);
}

}  // namespace

// Every line end is a row, an empty last line included; see the header for the empty file.
void dim(int *row, int *col, const char *file_name, char header) {
  const TableCounts t = count_table(file_name);
  const long rows = t.empty ? 0 : t.newlines + (t.last != '\n' ? 1 : 0);
  set_counts(rows, t.tabs, header, row, col);
}

// As dim, with the blank lines after the last line with content left out of both counts.
void dimRecords(int *row, int *col, const char *file_name, char header) {
  const TableCounts t = count_table(file_name);
  set_counts(t.record_lines, t.record_tabs, header, row, col);
}

// ---------------------------------------------------------------------------------------------
// Data preparation
// ---------------------------------------------------------------------------------------------

namespace {

// Observed when farther than 1e-10 from the code: values read from text that stand for the
// code are exactly it, while real measurements never come that close.
bool observed(double x, double code) { return std::fabs(x - code) > 1e-10; }

// W'W over W[1..n][1..p], both triangles, into a new p x p matrix.
double **cross_product(int n, int p, double **W) {
  double **WtW = dmatrix(1, p, 1, p);
  for (int a = 1; a <= p; a++) {
    for (int b = a; b <= p; b++) {
      double sum = 0.0;
      for (int i = 1; i <= n; i++) {
        sum += W[i][a] * W[i][b];
      }
      WtW[a][b] = sum;
      WtW[b][a] = sum;
    }
  }
  return WtW;
}

bool cross_product_singular(int n, int p, double **W) {
  double **WtW = cross_product(n, p, W);
  double *work = dvector(1, p);
  const bool singular = !choldcCheckNonsingular(WtW, p, work);
  free_dvector(work, 1, p);
  free_dmatrix(WtW, 1, p, 1, p);
  return singular;
}

struct ColumnStats {
  int count = 0;
  double sum = 0.0;
  double sum_sq = 0.0;
  bool three_distinct = false;
};

// One scan of column j: count, sum and sum of squares of the observed entries, and whether at
// least three values lie more than 1e-15 apart (two-valued codes such as 0/1 are not scaled).
ColumnStats column_stats(double **A, int n, int j, double code) {
  const double kDistinct = 1e-15;
  ColumnStats s;
  int ndistinct = 0;
  double first = 0.0, second = 0.0;
  for (int i = 1; i <= n; i++) {
    const double x = A[i][j];
    if (!observed(x, code)) {
      continue;
    }
    s.count++;
    s.sum += x;
    s.sum_sq += x * x;
    if (ndistinct == 0) {
      first = x;
      ndistinct = 1;
    } else if (ndistinct == 1) {
      if (std::fabs(x - first) > kDistinct) {
        second = x;
        ndistinct = 2;
      }
    } else if (ndistinct == 2) {
      if (std::fabs(x - first) > kDistinct && std::fabs(x - second) > kDistinct) {
        ndistinct = 3;
      }
    }
  }
  s.three_distinct = ndistinct == 3;
  return s;
}

// Sum of squared deviations from the mean: the two-pass form, free of the cancellation that
// makes the one-pass form zero or negative for values close together relative to their size.
double two_pass_variance(double **A, int n, int j, double code, double mean, int count) {
  double ss = 0.0;
  for (int i = 1; i <= n; i++) {
    if (observed(A[i][j], code)) {
      const double d = A[i][j] - mean;
      ss += d * d;
    }
  }
  return ss / (count - 1);
}

}  // namespace

// Y[1..n][1..K] read; score[1..n] written. Bit k-1 set when trait k is observed.
void MisPatternDetect(double **Y, int n, int K, double code, int *score) {
  for (int i = 1; i <= n; i++) {
    score[i] = 0;
  }
  int weight = 1;
  for (int k = 1; k <= K; k++) {
    for (int i = 1; i <= n; i++) {
      if (observed(Y[i][k], code)) {
        score[i] += weight;
      }
    }
    // Unsigned doubling: after trait 31 the weight is not used again.
    weight = static_cast<int>(static_cast<unsigned>(weight) * 2u);
  }
}

// ind[1..n] read, rank[1..n] written: the inverse permutation.
void indToRank(int n, int *ind, int *rank) {
  for (int i = 1; i <= n; i++) {
    rank[ind[i]] = i;
  }
}

// X[1..nrow][1..ncol] and index[1..nrow] read; *J written. Neighbours in sorted order only.
void NumUniCov(double **X, int ncol, int nrow, int *index, int *J) {
  *J = 1;
  for (int i = 1; i < nrow; i++) {
    if (!EqualArray(X[index[i]], X[index[i + 1]], ncol)) {
      (*J)++;
    }
  }
}

// X and index[1..nrow] read; W_Uni[1..J][1..ncol], ind_UniW[rows of X], n_UniW[1..J] written.
void CreateUniCov(double **X, int ncol, int nrow, int *index, double **W_Uni, int *ind_UniW,
                  int *n_UniW) {
  int u = 1;
  for (int j = 1; j <= ncol; j++) {
    W_Uni[1][j] = X[index[1]][j];
  }
  ind_UniW[index[1]] = 1;
  n_UniW[1] = 1;
  // Equal rows are adjacent in the sorted order, so comparing neighbours suffices.
  for (int i = 2; i <= nrow; i++) {
    if (EqualArray(X[index[i]], X[index[i - 1]], ncol)) {
      ind_UniW[index[i]] = u;
      n_UniW[u]++;
    } else {
      u++;
      for (int j = 1; j <= ncol; j++) {
        W_Uni[u][j] = X[index[i]][j];
      }
      ind_UniW[index[i]] = u;
      n_UniW[u] = 1;
    }
  }
}

// W[1..n][1..p] read; *mac increased (never reset here); the three flags written.
void checkWarning(int n, int p, int lowerMAC, double **W, int *mac, bool *lowMAC, bool *noVariation,
                  bool *singular) {
  *lowMAC = false;
  *noVariation = true;
  *singular = false;
  const double g = W[1][1];
  for (int i = 1; i <= n; i++) {
    if (W[i][1] >= 1.0) {
      (*mac)++;
    }
    if (W[i][1] != g) {
      *noVariation = false;
    }
  }
  *lowMAC = *mac < lowerMAC;
  *singular = cross_product_singular(n, p, W);
}

// W[1..n][1..p] read; *singular written. Never stops.
void checkWarningNull(int n, int p, double **W, bool *singular) {
  *singular = cross_product_singular(n, p, W);
}

// A[1..n][c1..c2] overwritten column by column; missing entries and columns with fewer than
// three distinct observed values are kept.
void ScaleCovariates(double **A, int n, int c1, int c2, double code) {
  for (int j = c1; j <= c2; j++) {
    const ColumnStats s = column_stats(A, n, j, code);
    if (!s.three_distinct) {
      continue;
    }
    const double mean = s.sum / s.count;
    double var = (s.sum_sq - s.count * mean * mean) / (s.count - 1);
    if (!(var > 0.0) || !std::isfinite(var)) {
      var = two_pass_variance(A, n, j, code, mean, s.count);
      if (!(var > 0.0) || !std::isfinite(var)) {
        continue;
      }
    }
    const double sd = std::sqrt(var);
    for (int i = 1; i <= n; i++) {
      if (observed(A[i][j], code)) {
        A[i][j] = (A[i][j] - mean) / sd;
      }
    }
  }
}

// A[1..n][j] read. Two passes, so that values close together relative to their size keep their
// spread.
double ColumnSD(double **A, int n, int j, double code) {
  int count = 0;
  double sum = 0.0;
  for (int i = 1; i <= n; i++) {
    if (observed(A[i][j], code)) {
      count++;
      sum += A[i][j];
    }
  }
  if (count < 2) {
    return 0.0;
  }
  return std::sqrt(two_pass_variance(A, n, j, code, sum / count, count));
}

double ColumnMean(double **A, int n, int j, double code) {
  const ColumnStats s = column_stats(A, n, j, code);
  return s.count == 0 ? 0.0 : s.sum / s.count;
}

bool ColumnHasThreeValues(double **A, int n, int j, double code) {
  return column_stats(A, n, j, code).three_distinct;
}

// a[1..n], b[1..n] read; the first differing element decides (exact).
bool BigArray(double *a, double *b, int n) {
  for (int i = 1; i <= n; i++) {
    if (a[i] != b[i]) {
      return a[i] > b[i];
    }
  }
  return false;
}

bool SmallArray(double *a, double *b, int n) {
  for (int i = 1; i <= n; i++) {
    if (a[i] != b[i]) {
      return a[i] < b[i];
    }
  }
  return false;
}

bool EqualArray(double *a, double *b, int n) {
  for (int i = 1; i <= n; i++) {
    if (a[i] != b[i]) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Index sorting and reordering
// ---------------------------------------------------------------------------------------------

// arr[1..n] read, indx[1..n] written. Ties keep their order within an insertion pass only.
void indexx(int n, int *arr, int *indx) {
  data_process_detail::index_sort(
      n, indx, [arr](int a, int b) { return arr[a] < arr[b]; }, false,
      "NSTACK too small in indexx.");
}

// As indexx on double keys.
void indexxDoub(int n, double *arr, int *indx) {
  data_process_detail::index_sort(
      n, indx, [arr](int a, int b) { return arr[a] < arr[b]; }, false,
      "NSTACK too small in indexx.");
}

// arr[1..n][1..ncol] read, indx[1..n] written. The strict insertion test moves each row in
// front of the equal rows before it, which fixes the numbering of equal design rows.
void indexx_Array(int ncol, int n, double **arr, int *indx) {
  data_process_detail::index_sort(
      n, indx, [arr, ncol](int a, int b) { return SmallArray(arr[a], arr[b], ncol); }, true,
      "NSTACK too small in indexx.");
}

// v[1..n] overwritten through a copy, so every read sees the old values.
void sortByIndex(double *v, int n, int *indx) {
  double *old = dvector(1, n);
  for (int i = 1; i <= n; i++) {
    old[i] = v[i];
  }
  for (int i = 1; i <= n; i++) {
    v[i] = old[indx[i]];
  }
  free_dvector(old, 1, n);
}

// A[1..n][c1..c2] overwritten column by column through one copy; other columns untouched.
void sortByIndex_M(double **A, int n, int c1, int c2, int *indx) {
  double *old = dvector(1, n);
  for (int j = c1; j <= c2; j++) {
    for (int i = 1; i <= n; i++) {
      old[i] = A[i][j];
    }
    for (int i = 1; i <= n; i++) {
      A[i][j] = old[indx[i]];
    }
  }
  free_dvector(old, 1, n);
}
