// Cost of the dense kernels at orders 10, 100 and 1000: Cholesky factor plus inverse, a sweep
// of every pivot, and the nuisance correction a B^-1 a' with a B^-1 u (ten tested columns).
#include <benchmark/benchmark.h>

#include <random>

#include "toolkit/func_linear_algebra.h"

namespace {

const int kTested = 10;  // rows of a in the products, as for a gene with ten variants

// Random positive definite G G' / n + I in both triangles of a[1..n][1..n].
void fill_spd(double **a, int n) {
  std::mt19937 gen(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  double **g = dmatrix(1, n, 1, n);
  for (int i = 1; i <= n; i++)
    for (int j = 1; j <= n; j++) g[i][j] = u(gen);
  for (int i = 1; i <= n; i++) {
    for (int j = 1; j <= i; j++) {
      double s = 0.0;
      for (int k = 1; k <= n; k++) s += g[i][k] * g[j][k];
      a[i][j] = a[j][i] = s / n + (i == j ? 1.0 : 0.0);
    }
  }
  free_dmatrix(g, 1, n, 1, n);
}

// A positive definite matrix and a work copy whose upper triangle each iteration restores
// (O(n^2) beside the O(n^3) work timed).
struct SpdWork {
  int n;
  double **orig, **a;
  explicit SpdWork(int order) : n(order), orig(dmatrix(1, n, 1, n)), a(dmatrix(1, n, 1, n)) {
    fill_spd(orig, n);
  }
  ~SpdWork() {
    free_dmatrix(a, 1, n, 1, n);
    free_dmatrix(orig, 1, n, 1, n);
  }
  void reset() {
    for (int i = 1; i <= n; i++)
      for (int j = i; j <= n; j++) a[i][j] = orig[i][j];
  }
};

void BM_CholdcCholinv(benchmark::State &state) {
  SpdWork w(static_cast<int>(state.range(0)));
  double *p = dvector(1, w.n);
  for (auto _ : state) {
    w.reset();
    choldc(w.a, w.n, p);
    cholinv(w.a, p, w.n);
    benchmark::DoNotOptimize(w.a[1][1]);
  }
  free_dvector(p, 1, w.n);
}

void BM_SweepAllPivots(benchmark::State &state) {
  SpdWork w(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    w.reset();
    for (int k = 1; k <= w.n; k++) swp(w.a, w.n, k);
    benchmark::DoNotOptimize(w.a[1][1]);
  }
}

void BM_CalAinvBaUV(benchmark::State &state) {
  const int n = static_cast<int>(state.range(0));
  double **B = dmatrix(1, n, 1, n);
  double **a = dmatrix(1, kTested, 1, n);
  double **outM = dmatrix(1, kTested, 1, kTested);
  double *u = dvector(1, n);
  double *outV = dvector(1, kTested);
  fill_spd(B, n);
  std::mt19937 gen(2);
  std::uniform_real_distribution<double> unif(-1.0, 1.0);
  for (int i = 1; i <= n; i++) {
    u[i] = unif(gen);
    for (int c = 1; c <= kTested; c++) a[c][i] = unif(gen);
  }
  for (auto _ : state) {  // B's upper triangle is only read, so no reset is needed
    cal_ainvBa_UV(a, B, u, n, kTested, outM, outV);
    benchmark::DoNotOptimize(outM[1][1]);
  }
  free_dvector(outV, 1, kTested);
  free_dvector(u, 1, n);
  free_dmatrix(outM, 1, kTested, 1, kTested);
  free_dmatrix(a, 1, kTested, 1, n);
  free_dmatrix(B, 1, n, 1, n);
}

}  // namespace

BENCHMARK(BM_CholdcCholinv)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepAllPivots)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalAinvBaUV)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
