// Far upper tail of a positive weighted sum of chi-square(1) variables with relative accuracy,
// where 1 - P(X < Q) has no digits left.
#ifndef VARNOSTA_TOOLKIT_CHISQ_SUM_TAIL_H
#define VARNOSTA_TOOLKIT_CHISQ_SUM_TAIL_H

// P(sum_j lambda[j] chi2(1) > Q), lambda[0..r-1] all > 0 (read only), by inverting the moment
// generating function through its saddle point. Meant for Q above the mean sum_j lambda[j]
// (the upper tail): there the result carries about ten significant digits, down to the smallest
// positive double; a tail below that is 0. r < 1, Q not above the mean, or a sum that does not
// settle (seen only just above the mean): -1 (no result).
// Never prints or stops.
double chisq_sum_upper_tail(int r, const double *lambda, double Q);

#endif  // VARNOSTA_TOOLKIT_CHISQ_SUM_TAIL_H
