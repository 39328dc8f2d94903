// What reaches a result group: a value that is not finite is "NA", never "nan" or "inf", and a
// score test is written only with a usable variance, its p-value the chi-square(1) tail. (The
// layout and number format of whole rows are checked on the end-to-end tables.)
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "driver/result_output.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(ResultOutput, NotFiniteValuesAreNotAvailable) {
  std::ostringstream out;
  begin_result_row(out, "rs1");
  write_real(out, kNaN);
  write_real(out, -kInf);
  write_real(out, 1.5);
  EXPECT_EQ(out.str(), "rs1\tNA\tNA\t1.500000e+00");
}

// U = 2, V = 4: U^2 / V = 1, whose chi-square(1) tail is erfc(1 / sqrt(2)).
TEST(ResultOutput, ScoreGroupOnlyWithUsableVariance) {
  std::ostringstream out;
  begin_result_row(out, "v");
  double pvalue = -1.0;
  ASSERT_TRUE(write_score_group(out, 2.0, 4.0, &pvalue));
  EXPECT_NEAR(pvalue, std::erfc(1.0 / std::sqrt(2.0)), 1e-12);
  EXPECT_EQ(out.str(), "v\t2.000000e+00\t4.000000e+00\t3.173105e-01");
  // Zero, negative and undefined variances, a score that is not finite, and a statistic that
  // overflows: nothing is written and the tail is never evaluated.
  const double unusable[][2] = {{1.0, 0.0},  {1.0, -1e-300}, {1.0, kNaN},    {kNaN, 1.0},
                                {kInf, 1.0}, {1.0, kInf},    {1e200, 1e-200}};
  for (const auto &uv : unusable) {
    std::ostringstream none;
    pvalue = -1.0;
    EXPECT_FALSE(write_score_group(none, uv[0], uv[1], &pvalue)) << uv[0] << " " << uv[1];
    EXPECT_EQ(none.str(), "");
    EXPECT_EQ(pvalue, -1.0);
  }
}

}  // namespace
