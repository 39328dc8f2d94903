// A value that is not finite reaches the result tables as "NA", never as "nan" or "inf". (The
// layout and number format of whole rows are checked on the end-to-end tables.)
#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "driver/result_output.h"

namespace {

TEST(ResultOutput, NotFiniteValuesAreNotAvailable) {
  std::ostringstream out;
  begin_result_row(out, "rs1");
  write_real(out, std::numeric_limits<double>::quiet_NaN());
  write_real(out, -std::numeric_limits<double>::infinity());
  write_real(out, 1.5);
  EXPECT_EQ(out.str(), "rs1\tNA\tNA\t1.500000e+00");
}

}  // namespace
