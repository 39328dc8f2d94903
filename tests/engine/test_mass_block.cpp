// With many distinct design rows the information's mass block is eliminated through its
// structure instead of being formed and factored: the printed variances, efficient scores and
// verdicts must be those of the formed block.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/func_algorithm.h"
#include "tests/engine/engine_fixture.h"

using engine_test::Model;
using engine_test::Subject;

namespace engine_hooks {
extern int implicit_mass_from;
}

namespace {

// Distinct rows from J at which the structure is used, for the life of the object.
struct ImplicitFrom {
  explicit ImplicitFrom(int J) : saved(engine_hooks::implicit_mass_from) {
    engine_hooks::implicit_mass_from = J;
  }
  ~ImplicitFrom() { engine_hooks::implicit_mass_from = saved; }
  int saved;
};

// Two traits on (genotype, intercept, continuous covariate): every sequenced subject has its own
// design row.
void continuous_data(unsigned seed, int nseq, int nnon, double miss, std::vector<Subject> &seq,
                     std::vector<Subject> &nonseq) {
  engine_test::Normal z(seed);
  for (int i = 0; i < nseq + nnon; i++) {
    double u = z.uniform(), g = u < 0.5 ? 0.0 : (u < 0.85 ? 1.0 : 2.0);
    double x = z(), e1 = z(), e2 = 0.5 * e1 + std::sqrt(1.75) * z();
    Subject s{{g, 1.0, x}, {0.5 * g + 1.0 + 0.8 * x + e1, -0.3 * g + 2.0 + 0.5 * x + e2}};
    for (double &yk : s.y)
      if (z.uniform() < miss)
        yk = NAN;
    if (i >= nseq)
      s.row.clear();
    (i < nseq ? seq : nonseq).push_back(s);
  }
}

}  // namespace

TEST(EngineMassBlock, WaldVariancesEqualThoseOfTheFormedBlock) {
  std::vector<Subject> seq, nonseq;
  continuous_data(41, 120, 150, 0.15, seq, nonseq);
  Model d(2, seq, nonseq);
  ASSERT_GT(d.J, 100);
  std::vector<double> v[2];
  for (int implicit = 0; implicit < 2; implicit++) {
    ImplicitFrom from(implicit ? 2 : 1 << 30);
    d.fit();
    d.information();
    ASSERT_TRUE(flag_positiveQ1);
    for (int k = 1; k <= 2; k++) v[implicit].push_back(d.Q1[(k - 1) * d.w + 1][(k - 1) * d.w + 1]);
  }
  for (int k = 0; k < 2; k++) EXPECT_NEAR(v[1][k] / v[0][k], 1.0, 1e-12) << "trait " << k + 1;
}
