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

// ---------------------------------------------------------------------------------------------
// Symmetric linear algebra and sweep operators. Matrices are [1..n][1..n]; a symmetric matrix
// is read from its upper triangle (i <= j) only.
// ---------------------------------------------------------------------------------------------

// Cholesky factor of a: strict lower part into a's strict lower triangle, diagonal into
// p[1..n]; upper triangle unchanged. Stops with "choldc failed" when a is not positive definite.
void choldc(double **a, int n, double *p);
// Same recurrence on a private copy of a: true when a is positive definite. a is never changed;
// p[1..i-1] hold the factor's diagonal up to the failing step i.
bool choldcCheckPositive(double **a, int n, double *p);
// As choldcCheckPositive, and false also when a pivot keeps less than 1e-10 of its diagonal
// entry: a cross product of exactly collinear columns, which rounding can leave positive.
bool choldcCheckNonsingular(double **a, int n, double *p);
// choldc that reports instead of stopping, on the matrix itself (no copy): true when a is
// positive definite, with choldc's factor (the same numbers) in a's strict lower triangle and
// p; false at the first diagonal sum <= 0, with p[1..i-1] the factor's diagonal so far (the
// strict lower triangle then holds part of the factor). The upper triangle is only read.
bool choldcPositive(double **a, int n, double *p);
// Solves B x = b from the factor left by choldc in (a, p); x may be b.
void cholsl(double **a, int n, double *p, double *b, double *x);
// From the factor left by choldc: upper triangle <- B^-1, strict lower <- strict lower of L^-1,
// p[i] <- 1/p[i].
void cholinv(double **a, double *p, int n);
// Diagonal entry i of B^-1 from the factor left by choldc in (a, p), equal to the one cholinv
// forms, at O((n - i)^2) instead of O(n^3); the factor is only read, x[1..n] is work space.
double cholinvDiagonal(double **a, double *p, int n, int i, double *x);
// Crout LU with implicit pivoting, in place; indx[1..n] records the row exchanges.
void ludcmp(double **a, int n, int *indx);
// Solves from the LU form of ludcmp; b[1..n] is overwritten with the solution.
void lubksb(double **a, int n, int *indx, double *b);
// a <- a^-1 (whole matrix in, whole matrix out) by LU.
void invv(double **a, int n);
// Sweep and reverse sweep of the upper triangle on pivot k; the strict lower triangle is never
// touched. Stop when the pivot is not positive (swp) or not negative (rsw).
void swp(double **a, int n, int k);
void rsw(double **a, int n, int k);
// a[1..m][1..n], B[1..n][1..n]: out's upper triangle <- a B^-1 a' when B is positive definite.
// Sets flag_positiveQ1; when false, B and out are left as they were.
void cal_ainvBa(double **a, double **B, int n, int m, double **out);
// As cal_ainvBa, plus outV[1..m] <- a B^-1 u; outM[1..m][1..m] is written in both triangles.
void cal_ainvBa_UV(double **a, double **B, double *u, int n, int m, double **outM, double *outV);
// cal_ainvBa and cal_ainvBa_UV with B factored once, in place (choldcPositive), instead of tested
// on a private copy and factored again: the same results and flag. When B is not positive
// definite, its strict lower triangle holds part of the factor (the upper triangle and the
// outputs are left as they were).
void cal_ainvBa_once(double **a, double **B, int n, int m, double **out);
void cal_ainvBa_UV_once(double **a, double **B, double *u, int n, int m, double **outM,
                        double *outV);

#endif  // VARNOSTA_TOOLKIT_FUNC_LINEAR_ALGEBRA_H
