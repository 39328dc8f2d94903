// The one number form of every input table: what the stream extraction of a double accepts
// as a whole field, and nothing else; the missing code within 1e-10.
#include <gtest/gtest.h>

#include "driver/fields.h"

namespace {

TEST(Fields, NumberFormsAndValues) {
  const std::pair<const char *, double> accepted[] = {
      {"0", 0.0},         {"-999", -999.0}, {"+.5", 0.5}, {"5.", 5.0},
      {"-2E+3", -2000.0}, {"1e-400", 0.0},  {"007", 7.0}};
  for (const auto &[text, want] : accepted) {
    double got = -1.0;
    EXPECT_TRUE(parse_number(text, &got)) << text;
    EXPECT_EQ(got, want) << text;
  }
  for (const char *text :
       {"", "+", ".", "1x", "1e", "1e+", "0x10", "inf", "nan", "1e999", "--1", "1,5", " 1", "1 "}) {
    double got = 0.0;
    EXPECT_FALSE(parse_number(text, &got)) << '"' << text << '"';
  }
}

TEST(Fields, MissingCodeAndFieldCount) {
  EXPECT_TRUE(is_missing(-999.0));
  EXPECT_TRUE(is_missing(-999.0 + 5e-11));
  EXPECT_FALSE(is_missing(-999.0 + 2e-10));
  EXPECT_EQ(count_fields(" a\t b  c \n"), 3);
  EXPECT_EQ(count_fields(" \t "), 0);
}

}  // namespace
