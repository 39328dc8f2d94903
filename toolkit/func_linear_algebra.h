// Offset-indexed arrays, the run-time error report, and dense symmetric linear algebra.
//
// Arrays are addressed from the lower bound given at allocation: v[nl..nh], m[nrl..nrh][ncl..nch],
// t[nrl..nrh][ncl..nch][ndl..ndh]. They carry no size; release each with the routine of the
// same family and the same bounds. Every matrix row and every three-way leaf is its own heap
// block, with no spare element at either end.
#ifndef VARNOSTA_TOOLKIT_FUNC_LINEAR_ALGEBRA_H
#define VARNOSTA_TOOLKIT_FUNC_LINEAR_ALGEBRA_H

// Set by cal_ainvBa and cal_ainvBa_UV (and by the engine's information-matrix and score
// routines): false when the matrix to be inverted was not positive definite. Defined by the
// driver.
extern bool flag_positiveQ1;

// Writes the three-line run-time error report to stderr and exits with status 1.
[[noreturn]] void nrerror(const char *error_text);

double *dvector(int nl, int nh);
int *ivector(int nl, int nh);
char *cvector(int nl, int nh);
double **dmatrix(int nrl, int nrh, int ncl, int nch);
int **imatrix(int nrl, int nrh, int ncl, int nch);
char **cmatrix(int nrl, int nrh, int ncl, int nch);
double ***dmatrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh);
int ***imatrix3(int nrl, int nrh, int ncl, int nch, int ndl, int ndh);

void free_dvector(double *v, int nl, int nh);
void free_ivector(int *v, int nl, int nh);
void free_cvector(char *v, int nl, int nh);
void free_dmatrix(double **m, int nrl, int nrh, int ncl, int nch);
void free_imatrix(int **m, int nrl, int nrh, int ncl, int nch);
void free_cmatrix(char **m, int nrl, int nrh, int ncl, int nch);
void free_dmatrix3(double ***t, int nrl, int nrh, int ncl, int nch, int ndl, int ndh);
void free_imatrix3(int ***t, int nrl, int nrh, int ncl, int nch, int ndl, int ndh);

#endif  // VARNOSTA_TOOLKIT_FUNC_LINEAR_ALGEBRA_H
