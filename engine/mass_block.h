// Private to the engine: the mass block of the reduced information, eliminated without forming
// it.
//
// With a continuous covariate nearly every sequenced subject has a distinct design row, so J
// grows with m, and the J x J block of the masses costs (n - m) J^2 / 2 to form and J^3 / 6 to
// factor. Its structure avoids both: the block is M = P'(diag(d) + A'A)P with d_j =
// n_UniW[j] / q_j^2, A[r][j] = phi[r][j] / q_j over the non-sequenced subjects r, and P the
// sum-to-one reduction (column j of P is e_j - e_J, j < J). M is positive definite (d > 0), so
// the information is positive definite exactly when the Schur complement S = I_PP - B M^-1 B' of
// its parameter block is, and the parameter block of the inverse is S^-1. M^-1 B' comes from
// preconditioned conjugate gradients, each iteration one pass over phi.
#ifndef VARNOSTA_ENGINE_MASS_BLOCK_H
#define VARNOSTA_ENGINE_MASS_BLOCK_H

namespace engine {

// What the mass block is made of: J masses (before the reduction), phi[1..rows][1..J] of the
// non-sequenced subjects, q[1..J] and n_UniW[1..J].
struct MassBlock {
  int J, rows;
  double *const *phi;
  const double *q;
  const int *n_UniW;
};

// How many steps of the iteration to allow an information with J masses, R parameters and
// `rows` non-sequenced subjects: as many as forming and factoring the block would cost, or 0
// when that is only a handful (few distinct rows, or many more non-sequenced subjects than
// rows) and the block is better formed.
int mass_block_steps(int J, int R, int rows);

// S[1..R][1..R] (both triangles) <- I_PP - B M^-1 B', where I_PP is Q1's leading block of order R
// (upper triangle) and B = Q1[1..R][R + 1..R + J - 1] the parameter-mass columns after the
// reduction, in at most `steps` steps. False when the iteration does not reach its tolerance in
// time; S is then not usable and the caller forms the block instead.
bool mass_schur_complement(const MassBlock &mb, double **Q1, int R, int steps, double **S);

}  // namespace engine

#endif  // VARNOSTA_ENGINE_MASS_BLOCK_H
