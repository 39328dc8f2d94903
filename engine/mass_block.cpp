// The Schur complement of the mass block by preconditioned conjugate gradients; see the header.
#include "engine/mass_block.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "toolkit/vector_clones.h"

namespace engine_hooks {
// Fixes the path for the tests: 0 lets the cost decide; a positive value takes the structure
// with at most that many steps whatever the size; a negative one always forms the block.
int implicit_mass_steps = 0;
// Eliminations that gave way to the formed block, counted for the tests.
int implicit_mass_fallbacks = 0;
}  // namespace engine_hooks

namespace engine {

namespace {

// Right-hand sides are processed in groups of four, at most this many groups.
constexpr int kMaxGroups = 64;
// A column stops when its preconditioned residual norm has fallen by 1e-12 (the square of the
// ratio is compared). The Schur complement is then taken in a form whose error is quadratic in
// the residual, far below rounding.
constexpr double kResidualRatio2 = 1e-24;
// The structure is tried only when forming the block costs at least this many steps: about
// six are needed when n - m is near m, more when n - m is many times m or the covariates
// predict the traits strongly (up to some tens).
constexpr double kMinSteps = 8.0;

// Four doubles moved as one, from any double-aligned address.
using v4 = double __attribute__((vector_size(32), aligned(8), may_alias));

// y[j] += sum over subjects r of phi[r][j] z_r with z_r = sum over j2 of phi[r][j2] x[j2], for
// j = 1..J and 4 nv right-hand sides side by side (x[j], y[j] at j * 4 nv): y += phi' phi x.
// Four subjects share each pass over y; their z are formed two at a time.
template <int NV>
ROW_LOOPS void gram_product(int rows, int J, int nv_runtime, double *const *phi,
                            const double *__restrict x, double *__restrict y) {
  const int nv = NV > 0 ? NV : nv_runtime;
  const std::size_t stride = 4 * static_cast<std::size_t>(nv);
  constexpr int kSize = NV > 0 ? NV : kMaxGroups;
  v4 z[4][kSize];
  for (int r = 1; r <= rows; r += 4) {
    const int nr = rows - r + 1 < 4 ? rows - r + 1 : 4;
    const double *p[4];
    for (int a = 0; a < 4; a++) p[a] = phi[a < nr ? r + a : r];
    for (int a = 0; a < 4; a += 2) {
      v4 z0[kSize], z1[kSize];
#pragma GCC unroll 16
      for (int v = 0; v < nv; v++) z0[v] = z1[v] = v4{};
      const double *p0 = p[a], *p1 = p[a + 1];
      for (int j = 1; j <= J; j++) {
        const v4 *xj = reinterpret_cast<const v4 *>(x + j * stride);
        const v4 f0 = v4{p0[j], p0[j], p0[j], p0[j]}, f1 = v4{p1[j], p1[j], p1[j], p1[j]};
#pragma GCC unroll 16
        for (int v = 0; v < nv; v++) {
          z0[v] += f0 * xj[v];
          z1[v] += f1 * xj[v];
        }
      }
      for (int v = 0; v < nv; v++) {
        z[a][v] = a < nr ? z0[v] : v4{};
        z[a + 1][v] = a + 1 < nr ? z1[v] : v4{};
      }
    }
    for (int j = 1; j <= J; j++) {
      v4 *yj = reinterpret_cast<v4 *>(y + j * stride);
      const v4 f0 = v4{p[0][j], p[0][j], p[0][j], p[0][j]},
               f1 = v4{p[1][j], p[1][j], p[1][j], p[1][j]},
               f2 = v4{p[2][j], p[2][j], p[2][j], p[2][j]},
               f3 = v4{p[3][j], p[3][j], p[3][j], p[3][j]};
#pragma GCC unroll 16
      for (int v = 0; v < nv; v++)
        yj[v] += (f0 * z[0][v] + f1 * z[1][v]) + (f2 * z[2][v] + f3 * z[3][v]);
    }
  }
}

using GramProduct = void (*)(int, int, int, double *const *, const double *, double *);

GramProduct gram_for(int nv) {
  switch (nv) {
    case 1:
      return gram_product<1>;
    case 2:
      return gram_product<2>;
    case 3:
      return gram_product<3>;
    case 4:
      return gram_product<4>;
    case 5:
      return gram_product<5>;
    case 6:
      return gram_product<6>;
    case 7:
      return gram_product<7>;
    case 8:
      return gram_product<8>;
    default:
      return gram_product<0>;
  }
}

// Work arrays of one elimination, kept from call to call. Vectors of J - 1 reduced masses by
// 4 nv columns are stored mass-major: entry (j, c) at j * 4 nv + c, j = 1..J - 1.
struct Work {
  std::vector<double> x, r, z, p, w, full, prod, last, g, rho, rho0;
  std::vector<char> active;

  void reserve(int J, int columns) {
    const std::size_t n = (static_cast<std::size_t>(J) + 1) * columns;
    for (auto *v : {&x, &r, &z, &p, &w, &full, &prod}) v->assign(n, 0.0);
    g.assign(static_cast<std::size_t>(J) + 1, 0.0);
    last.assign(columns, 0.0);
    rho.assign(columns, 0.0);
    rho0.assign(columns, 0.0);
    active.assign(columns, 0);
  }
};

Work &work() {
  static Work w;
  return w;
}

// out = M in over the reduced masses 1..J-1 (all columns): in goes to the J masses through P
// (the last takes minus the sum of the others), then diag(d) + A'A, then back through P'.
void apply_block(const MassBlock &mb, int columns, GramProduct gram, const double *in, double *out,
                 Work &w) {
  const int J = mb.J;
  const std::size_t C = columns;
  double *full = w.full.data(), *prod = w.prod.data(), *last = w.last.data();
  for (std::size_t c = 0; c < C; c++) last[c] = 0.0;
  for (int j = 1; j < J; j++)
    for (std::size_t c = 0; c < C; c++) last[c] -= in[j * C + c];
  // A x = phi (x / q): the columns scaled once instead of phi.
  for (int j = 1; j <= J; j++) {
    const double *v = j < J ? in + j * C : last;
    for (std::size_t c = 0; c < C; c++) full[j * C + c] = v[c] / mb.q[j];
  }
  for (std::size_t i = C; i < (static_cast<std::size_t>(J) + 1) * C; i++) prod[i] = 0.0;
  gram(mb.rows, J, static_cast<int>(C / 4), mb.phi, full, prod);
  for (int j = 1; j <= J; j++) {
    const double q = mb.q[j], d = mb.n_UniW[j] / (q * q);
    const double *v = j < J ? in + j * C : last;
    for (std::size_t c = 0; c < C; c++) prod[j * C + c] = prod[j * C + c] / q + d * v[c];
  }
  const double *pl = prod + J * C;
  for (int j = 1; j < J; j++)
    for (std::size_t c = 0; c < C; c++) out[j * C + c] = prod[j * C + c] - pl[c];
}

// z = C^-1 r for the preconditioner C = P' diag(e) P = diag(e_1..e_{J-1}) + e_J 1 1', e the
// diagonal of diag(d) + A'A, by Sherman and Morrison: z = g (r - gamma g'r) with g = 1 / e.
void precondition(int J, int columns, const double *g, double gamma, const double *r, double *z) {
  const std::size_t C = columns;
  for (std::size_t c = 0; c < C; c++) {
    double t = 0.0;
    for (int j = 1; j < J; j++) t += g[j] * r[j * C + c];
    for (int j = 1; j < J; j++) z[j * C + c] = g[j] * (r[j * C + c] - gamma * t);
  }
}

double column_dot(int J, int columns, int c, const double *a, const double *b) {
  double s = 0.0;
  for (int j = 1; j < J; j++)
    s +=
        a[static_cast<std::size_t>(j) * columns + c] * b[static_cast<std::size_t>(j) * columns + c];
  return s;
}

bool schur_by_iteration(const MassBlock &mb, double **Q1, int R, int steps, double **S) {
  for (int a = 1; a <= R; a++)
    for (int b = a; b <= R; b++) S[a][b] = S[b][a] = Q1[a][b];
  const int J = mb.J;
  if (J < 2)
    return true;  // the reduction left no mass
  const int nv = (R + 3) / 4, C = 4 * nv;
  const GramProduct gram = gram_for(nv);
  Work &w = work();
  w.reserve(J, C);
  const std::size_t Cs = C;

  // The preconditioner: e_j = d_j + sum_r (phi_rj / q_j)^2.
  for (int j = 1; j <= J; j++) w.g[j] = 0.0;
  for (int r = 1; r <= mb.rows; r++) {
    const double *pr = mb.phi[r];
    for (int j = 1; j <= J; j++) w.g[j] += pr[j] * pr[j];
  }
  double sum_g = 0.0;
  for (int j = 1; j <= J; j++) {
    const double q = mb.q[j];
    w.g[j] = 1.0 / ((mb.n_UniW[j] + w.g[j]) / (q * q));
    if (j < J)
      sum_g += w.g[j];
  }
  const double eJ = 1.0 / w.g[J], gamma = eJ / (1.0 + eJ * sum_g);

  // Start from x = 0: r = B', p = z = C^-1 r.
  for (int j = 1; j < J; j++)
    for (int c = 0; c < C; c++) w.r[j * Cs + c] = c < R ? Q1[c + 1][R + j] : 0.0;
  precondition(J, C, w.g.data(), gamma, w.r.data(), w.z.data());
  w.p = w.z;
  int active = 0;
  for (int c = 0; c < C; c++) {
    w.rho[c] = w.rho0[c] = column_dot(J, C, c, w.r.data(), w.z.data());
    if (!std::isfinite(w.rho[c]) || w.rho[c] < 0.0)
      return false;
    w.active[c] = w.rho[c] > 0.0;
    active += w.active[c];
  }
  for (int it = 1; active > 0; it++) {
    if (it > steps)
      return false;
    apply_block(mb, C, gram, w.p.data(), w.w.data(), w);
    for (int c = 0; c < C; c++) {
      if (!w.active[c])
        continue;
      const double pw = column_dot(J, C, c, w.p.data(), w.w.data());
      if (!(pw > 0.0) || !std::isfinite(pw))
        return false;
      const double alpha = w.rho[c] / pw;
      for (int j = 1; j < J; j++) {
        w.x[j * Cs + c] += alpha * w.p[j * Cs + c];
        w.r[j * Cs + c] -= alpha * w.w[j * Cs + c];
      }
    }
    precondition(J, C, w.g.data(), gamma, w.r.data(), w.z.data());
    for (int c = 0; c < C; c++) {
      if (!w.active[c])
        continue;
      const double rho = column_dot(J, C, c, w.r.data(), w.z.data());
      if (!std::isfinite(rho))
        return false;
      if (rho <= kResidualRatio2 * w.rho0[c]) {
        w.active[c] = 0;
        active--;
        continue;
      }
      const double beta = rho / w.rho[c];
      w.rho[c] = rho;
      for (int j = 1; j < J; j++) w.p[j * Cs + c] = w.z[j * Cs + c] + beta * w.p[j * Cs + c];
    }
  }

  // S = I_PP - B X - X'B' + X'M X: exact at X = M^-1 B', and off it by (X - M^-1 B')' M (...),
  // so the iteration's error enters only squared.
  apply_block(mb, C, gram, w.x.data(), w.w.data(), w);
  for (int a = 1; a <= R; a++) {
    for (int b = a; b <= R; b++) {
      double cross = 0.0, quad = 0.0;
      for (int j = 1; j < J; j++) {
        const double *xj = w.x.data() + j * Cs, *wj = w.w.data() + j * Cs;
        cross += Q1[a][R + j] * xj[b - 1] + Q1[b][R + j] * xj[a - 1];
        quad += xj[a - 1] * wj[b - 1] + xj[b - 1] * wj[a - 1];
      }
      S[a][b] = S[b][a] = S[a][b] - cross + 0.5 * quad;
    }
  }
  return true;
}

}  // namespace

// A step streams phi once for 4 nv right-hand sides: 2 C (n - m) J multiply-adds with C = 4 nv.
// Forming the block costs (n - m) J^2 / 2 and factoring it J^3 / 6, at about 1.5 and 0.9 times a
// step's rate (measured). The budget is the number of steps that cost as much, so that an
// iteration that gives way costs at most twice the formed block.
int mass_block_steps(int J, int R, int rows) {
  const int groups = (R + 3) / 4;
  if (groups > kMaxGroups)
    return 0;
  if (engine_hooks::implicit_mass_steps != 0)
    return std::max(engine_hooks::implicit_mass_steps, 0);
  const double C = 4.0 * groups,
               budget = J / (6.0 * C) + static_cast<double>(J) * J / (10.0 * C * std::max(rows, 1));
  return budget >= kMinSteps ? static_cast<int>(budget) : 0;
}

bool mass_schur_complement(const MassBlock &mb, double **Q1, int R, int steps, double **S) {
  if (schur_by_iteration(mb, Q1, R, steps, S))
    return true;
  engine_hooks::implicit_mass_fallbacks++;
  return false;
}

}  // namespace engine
