// Distribution function of a weighted sum of chi-square variables by Davies' method
// (Davies 1980, Applied Statistics algorithm AS 155): numerical inversion of the characteristic
// function with bounds on every error it makes.
#ifndef VARNOSTA_TOOLKIT_QFC_H
#define VARNOSTA_TOOLKIT_QFC_H

// P(Q < c) for Q = sum_j lb[j] * chi2(n[j], nc[j]) + sigma * X, j = 0..r-1, X standard normal.
// Arrays are 0-based: lb[0..r-1], nc[0..r-1] (>= 0) and n[0..r-1] (>= 0) are read only; every
// scalar is read through its pointer. acc is the absolute accuracy wanted; lim bounds both the
// number of integration terms and the number of counted bound evaluations. r <= 0 means no
// chi-square term.
// Written: trace[0..6] (zeroed at entry; 0 error sum of the main integration, 1 integration
// terms, 2 integrations, 3 main integration interval, 4 initial truncation point, 5 sd of the
// initial convergence factor or 0, 6 counted bound evaluations), *ifault and *res = P(Q < c).
// ifault: 0 success; 1 accuracy not reachable within lim terms; 2 round-off may be significant
// (res kept); 3 invalid parameters (a negative degree of freedom or non-centrality); 4 more than
// lim counted evaluations; 5 work array not allocated. res = -1 on faults 1, 3, 4 and 5. A Q that
// is identically 0 (variance 0) gives res = 1 for c > 0, else 0, without a fault.
// Never prints or stops. Not re-entrant: the state lives at file scope and the call limit is
// left through longjmp back to this entry.
void qfc(double *lb, double *nc, int *n, int *r, double *sigma, double *c, int *lim, double *acc,
         double *trace, int *ifault, double *res);

#endif  // VARNOSTA_TOOLKIT_QFC_H
