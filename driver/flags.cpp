// The result flags that carry failure signals from the engine and the toolkit back to
// the driver (see the headers that declare them).
bool flag_nonconvergence = false;  // set by an EM fit that stopped at its iteration limit
bool flag_positiveQ1 = true;       // false when a matrix to be inverted was not positive definite
bool flag_fit_singular = false;    // set by an EM fit that stopped on a singular covariance
