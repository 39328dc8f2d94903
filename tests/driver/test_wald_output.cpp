// Layout of the single-variant result rows: number format, NA for values that are not finite
// (a variance that was not usable must never reach the table as "nan" or "inf") and an
// undefined frequency.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "driver/wald_output.h"

namespace {

TEST(WaldOutput, OneTraitHeader) {
  std::ostringstream out;
  write_result_header(out, {"y"});
  EXPECT_EQ(out.str(), "VARIANT_ID\ty_BETA\ty_SE\ty_PVAL\tMAC\tMAF\tN0\tN1\tN2\tNMISS\n");
}

TEST(WaldOutput, RowFormatAndNotAvailableValues) {
  std::ostringstream out;
  begin_result_row(out, "rs1");
  write_real(out, 1.5);
  write_real(out, std::numeric_limits<double>::quiet_NaN());
  write_real(out, std::numeric_limits<double>::infinity());
  write_na_group(out);
  end_result_row(out, 2, 0.5, true, 1, 1, 1, 1);
  EXPECT_EQ(out.str(), "rs1\t1.500000e+00\tNA\tNA\tNA\tNA\tNA\t2\t5.000000e-01\t1\t1\t1\t1\n");
}

TEST(WaldOutput, FrequencyOfAnAllMissingVariant) {
  std::ostringstream out;
  begin_result_row(out, "gone");
  end_result_row(out, 0, 0.0, false, 0, 0, 0, 4);
  EXPECT_EQ(out.str(), "gone\t0\tNA\t0\t0\t0\t4\n");
}

TEST(WaldOutput, SmallAndNegativeNumbers) {
  std::ostringstream out;
  begin_result_row(out, "v");
  write_real(out, -2.257177e-19);
  write_real(out, 0.0);
  EXPECT_EQ(out.str(), "v\t-2.257177e-19\t0.000000e+00");
}

}  // namespace
