#include "toolkit/func_linear_algebra.h"

#include <cstdio>
#include <cstdlib>

// ---------------------------------------------------------------------------------------------
// Run-time error report and offset-indexed arrays
// ---------------------------------------------------------------------------------------------

namespace {

// The three-line report shared by nrerror and the allocators' inner failures.
[[noreturn]] void report_and_exit(const char *error_text) {
  std::fprintf(stderr, "Numerical Recipes run-time error...\n");
  std::fprintf(stderr, "%s\n", error_text);
  std::fprintf(stderr, "...now exiting to system...\n");
  std::exit(1);
}

// Element count of one level: formed in 32-bit arithmetic, then taken as unsigned, so that
// nh = nl - 1 gives an empty (but real) block.
inline size_t count(int lo, int hi) { return static_cast<unsigned int>(hi - lo + 1); }

// One heap block of count(lo, hi) elements, moved back by lo; a zero-size request is a success.
template <typename T>
T *offset_block(int lo, int hi, const char *error_text) {
  size_t cnt = count(lo, hi);
  T *block = static_cast<T *>(std::malloc(cnt * sizeof(T)));
  if (block == nullptr && cnt > 0) report_and_exit(error_text);
  if (block == nullptr) block = static_cast<T *>(std::malloc(1));  // malloc(0) may give null
  if (block == nullptr) report_and_exit(error_text);
  return block - lo;
}

template <typename T>
void release_block(T *v, int lo) {
  std::free(v + lo);
}

template <typename T>
T **offset_matrix(int nrl, int nrh, int ncl, int nch, const char *table_error,
                  const char *row_error) {
  T **m = offset_block<T *>(nrl, nrh, table_error);
  for (int i = nrl; i <= nrh; i++) m[i] = offset_block<T>(ncl, nch, row_error);
  return m;
}

template <typename T>
void release_matrix(T **m, int nrl, int nrh, int ncl) {
  for (int i = nrh; i >= nrl; i--) release_block(m[i], ncl);
  release_block(m, nrl);
}

template <typename T>
T ***offset_matrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh) {
  const char *error_text = "error in dmatrix3";
  T ***t = offset_block<T **>(nrl, nrh, error_text);
  for (int i = nrl; i <= nrh; i++) {
    t[i] = offset_block<T *>(ncl, nch, error_text);
    for (int j = ncl; j <= nch; j++) t[i][j] = offset_block<T>(ndl, ndh, error_text);
  }
  return t;
}

// Leaves first, each level from the highest index down, then the row tables, then the top.
template <typename T>
void release_matrix3(T ***t, int nrl, int nrh, int ncl, int nch, int ndl) {
  for (int i = nrh; i >= nrl; i--)
    for (int j = nch; j >= ncl; j--) release_block(t[i][j], ndl);
  for (int i = nrh; i >= nrl; i--) release_block(t[i], ncl);
  release_block(t, nrl);
}

}  // namespace

void nrerror(const char *error_text) { report_and_exit(error_text); }

double *dvector(int nl, int nh) { return offset_block<double>(nl, nh, "allocation failure in vector()"); }
int *ivector(int nl, int nh) { return offset_block<int>(nl, nh, "allocation failure in ivector()"); }
char *cvector(int nl, int nh) { return offset_block<char>(nl, nh, "allocation failure in cvector()"); }

double **dmatrix(int nrl, int nrh, int ncl, int nch) {
  return offset_matrix<double>(nrl, nrh, ncl, nch, "allocation failure 1 in dmatrix()",
                               "allocation failure 2 in dmatrix()");
}
int **imatrix(int nrl, int nrh, int ncl, int nch) {
  return offset_matrix<int>(nrl, nrh, ncl, nch, "allocation failure 1 in imatrix()",
                            "allocation failure 2 in imatrix()");
}
char **cmatrix(int nrl, int nrh, int ncl, int nch) {
  return offset_matrix<char>(nrl, nrh, ncl, nch, "allocation failure 1 in cmatrix()",
                             "allocation failure 2 in cmatrix()");
}
double ***dmatrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh) {
  return offset_matrix3<double>(nrl, nrh, ncl, nch, ndl, ndh);
}
int ***imatrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh) {
  return offset_matrix3<int>(nrl, nrh, ncl, nch, ndl, ndh);
}

void free_dvector(double *v, int nl, int) { release_block(v, nl); }
void free_ivector(int *v, int nl, int) { release_block(v, nl); }
void free_cvector(char *v, int nl, int) { release_block(v, nl); }
void free_dmatrix(double **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_imatrix(int **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_cmatrix(char **m, int nrl, int nrh, int ncl, int) { release_matrix(m, nrl, nrh, ncl); }
void free_dmatrix3(double ***t, int nrl, int nrh, int ncl, int nch, int ndl, int) {
  release_matrix3(t, nrl, nrh, ncl, nch, ndl);
}
void free_imatrix3(int ***t, int nrl, int nrh, int ncl, int nch, int ndl, int) {
  release_matrix3(t, nrl, nrh, ncl, nch, ndl);
}
