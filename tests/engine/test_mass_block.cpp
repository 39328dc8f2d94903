// With many distinct design rows the information's mass block is eliminated through its
// structure instead of being formed and factored: the printed variances, efficient scores and
// verdicts must be those of the formed block, and an elimination that does not converge must
// give way to the formed block without a trace.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"

using engine_test::Model;
using engine_test::Subject;

namespace engine_hooks {
extern int implicit_mass_steps;
extern int implicit_mass_fallbacks;
}  // namespace engine_hooks

namespace {

// How the mass block is reduced while the object lives: formed, through its structure, or
// through its structure with too few iterations (which must fall back to the formed block).
enum class Path { formed, implicit, cut_short };

// Also checks at the end that the iteration gave way to the formed block exactly when cut short.
struct UsePath {
  explicit UsePath(Path path) : path_(path) {
    engine_hooks::implicit_mass_steps =
        path == Path::formed ? -1 : (path == Path::cut_short ? 1 : 1000);
    engine_hooks::implicit_mass_fallbacks = 0;
  }
  ~UsePath() {
    EXPECT_EQ(engine_hooks::implicit_mass_fallbacks > 0, path_ == Path::cut_short);
    engine_hooks::implicit_mass_steps = 0;
  }
  Path path_;
};

// Two traits on (genotype, intercept, continuous covariate, `extra` more columns): every
// sequenced subject has its own design row.
Model continuous_model(unsigned seed, int nseq, int nnon, double miss, int extra = 0) {
  std::vector<Subject> seq, nonseq;
  engine_test::two_trait_data(seed, nseq, nnon, miss, seq, nonseq, true, extra);
  return Model(2, seq, nonseq);
}

// Every number that one path gives, to be compared with the formed block's.
struct Results {
  std::vector<double> wald, U, V;
  bool positive = false, indefinite_flagged = false;
};

Results run(Model &d, Path path) {
  UsePath use(path);
  Results r;
  d.fit();
  d.information();
  r.positive = flag_positiveQ1;
  for (int k = 1; k <= 2; k++) r.wald.push_back(d.Q1[(k - 1) * d.w + 1][(k - 1) * d.w + 1]);
  // The fitted covariance shrunk fourfold makes the information indefinite (see the Wald tests).
  d.fit();
  for (int a = 1; a <= 2; a++)
    for (int b = 1; b <= 2; b++) d.Sigma[a][b] *= 0.25;
  d.information();
  r.indefinite_flagged = !flag_positiveQ1;
  double *U = d.pool.vec(2), **V = d.pool.mat(2, 2);
  for (int t = 1; t <= 2; t++) {
    d.fit_constrained(t);
    d.score(t, U, V);
    EXPECT_TRUE(flag_positiveQ1);
    r.U.push_back(U[1]);
    r.V.push_back(V[1][1]);
  }
  // All traits at the constrained fit's coefficients with the genetic ones at zero.
  d.fit_constrained(1);
  double **B = d.pool.mat(d.w, 2);
  for (int k = 1; k <= 2; k++)
    for (int l = 1; l <= d.w; l++) B[l][k] = l == 1 ? 0.0 : d.eta0[l][k];
  d.score_all_traits(1, B, U, V);
  EXPECT_TRUE(flag_positiveQ1);
  for (int x = 1; x <= 2; x++) {
    r.U.push_back(U[x]);
    for (int y = 1; y <= 2; y++) r.V.push_back(V[x][y]);
  }
  return r;
}

}  // namespace

TEST(EngineMassBlock, StructureGivesTheNumbersOfTheFormedBlock) {
  for (double miss : {0.0, 0.15}) {
    Model d = continuous_model(41, 120, 150, miss);
    ASSERT_GT(d.J, 100);
    const Results formed = run(d, Path::formed);
    ASSERT_TRUE(formed.positive);
    ASSERT_TRUE(formed.indefinite_flagged);
    for (Path path : {Path::implicit, Path::cut_short}) {
      const Results r = run(d, path);
      const std::string where = (path == Path::implicit ? "implicit" : "cut short") +
                                std::string(", missing ") + std::to_string(miss);
      EXPECT_TRUE(r.positive) << where;
      EXPECT_TRUE(r.indefinite_flagged) << where;
      for (size_t k = 0; k < formed.wald.size(); k++) {
        // Cut short, the formed block is used: the very same numbers.
        if (path == Path::cut_short) {
          EXPECT_EQ(r.wald[k], formed.wald[k]) << where;
        }
        EXPECT_NEAR(r.wald[k] / formed.wald[k], 1.0, 1e-12) << where << ", trait " << k + 1;
      }
      for (size_t x = 0; x < formed.V.size(); x++) {
        if (path == Path::cut_short) {
          EXPECT_EQ(r.V[x], formed.V[x]) << where;
        }
        EXPECT_NEAR(r.V[x], formed.V[x], 1e-12 * std::fabs(formed.V[0])) << where << ", V " << x;
      }
      for (size_t x = 0; x < formed.U.size(); x++) {
        if (path == Path::cut_short) {
          EXPECT_EQ(r.U[x], formed.U[x]) << where;
        }
        EXPECT_NEAR(r.U[x], formed.U[x], 1e-12 * std::sqrt(formed.V[0])) << where << ", U " << x;
      }
    }
  }
}

// Many parameters (43: the kernel's general width) take the same path.
TEST(EngineMassBlock, WideDesignGivesTheVariancesOfTheFormedBlock) {
  Model d = continuous_model(43, 150, 150, 0.1, 17);
  ASSERT_EQ(d.dimST, 43);
  std::vector<double> v[2];
  for (Path path : {Path::formed, Path::implicit}) {
    UsePath use(path);
    d.fit();
    d.information();
    ASSERT_TRUE(flag_positiveQ1);
    for (int k = 1; k <= 2; k++)
      v[path == Path::implicit].push_back(d.Q1[(k - 1) * d.w + 1][(k - 1) * d.w + 1]);
  }
  for (int k = 0; k < 2; k++) EXPECT_NEAR(v[1][k] / v[0][k], 1.0, 1e-12) << "trait " << k + 1;
}
