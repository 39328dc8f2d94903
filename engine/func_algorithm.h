// Estimation and association-test engine: EM fits of the joint trait model, the observed
// information matrix, score vectors and gene-level tests.
#ifndef VARNOSTA_ENGINE_FUNC_ALGORITHM_H
#define VARNOSTA_ENGINE_FUNC_ALGORITHM_H

// Cleared by every EM fit at its start; set when the fit stops at its iteration limit.
// Defined by the driver.
extern bool flag_nonconvergence;

#endif  // VARNOSTA_ENGINE_FUNC_ALGORITHM_H
