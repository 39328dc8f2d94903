// The arrays whose size follows the distinct design rows of the fit at hand rather than the
// number of sequenced subjects: the posterior weights phi[1..n-m][1..J], the shared
// information matrix Q1[1..dimST+J][1..dimST+J] and its score vector l1[1..dimST+J]. Each is
// one block laid out afresh for every fit, so that memory follows what a variant touches.
#ifndef VARNOSTA_DRIVER_FIT_ARRAYS_H
#define VARNOSTA_DRIVER_FIT_ARRAYS_H

// Lays phi, Q1 and l1 out for J distinct design rows and the current dimST, growing the blocks
// when they are too small; their contents are undefined. Every pipeline calls it before a fit
// whose J or dimST differs from the last one's.
void size_fit_arrays(int J);

// Releases the blocks; phi, Q1 and l1 become null.
void free_fit_arrays();

#endif  // VARNOSTA_DRIVER_FIT_ARRAYS_H
