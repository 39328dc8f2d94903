// Option parsing: exact names, values taken whatever they look like, last occurrence wins,
// test flags stay set, numeric conversion as strtol/strtod do it, with a warning when a value
// is not wholly a number.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/globals.h"

namespace {

void parse(std::vector<std::string> words) {
  static std::vector<std::string> storage;  // values keep pointing into argv, as on a real run
  storage = std::move(words);
  storage.insert(storage.begin(), "varnosta");
  static std::vector<char *> argv;
  argv.clear();
  for (std::string &w : storage) argv.push_back(w.data());
  set_defaults();
  parse_options(static_cast<int>(argv.size()), argv.data());
}

TEST(DriverOptions, DefaultsWithoutArguments) {
  parse({});
  EXPECT_EQ(analysis_mode, 0);
  EXPECT_STREQ(pheno_seq, "pheno_seq.tab");
  EXPECT_STREQ(pheno_nonseq, "pheno_nonseq.tab");
  EXPECT_STREQ(geno, "geno.tab");
  EXPECT_STREQ(out_test, "mle.tab");
  EXPECT_STREQ(out_naive, "naive.tab");
  EXPECT_STREQ(out_warn, "warning.txt");
  EXPECT_STREQ(map_file, "map.tab");
  EXPECT_EQ(MAC_LB, 0);
  EXPECT_EQ(MAF_LB, 0.0);
  EXPECT_EQ(MAF_UB, 0.05);
  EXPECT_EQ(TRAIT, 1);
  EXPECT_FALSE(flag_scale || flag_skat || flag_t1 || flag_t5 || flag_mb);
}

TEST(DriverOptions, LastModeWinsAndValuesAreNeverOptions) {
  parse({"-RARE_ALL", "-COM"});
  EXPECT_EQ(analysis_mode, 0);
  parse({"-COM", "-RARE_ALL"});
  EXPECT_EQ(analysis_mode, 3);
  parse({"-MAP", "-COM", "-RARE_ONETRAIT"});
  EXPECT_STREQ(map_file, "-COM");
  EXPECT_EQ(analysis_mode, 2);
}

// A value that is not wholly a number converts all the same, with one warning line saying
// what was taken; a whole number (leading blanks allowed) passes silently.
TEST(DriverOptions, NumbersConvertLikeStrtolAndStrtod) {
  ::testing::internal::CaptureStderr();
  parse({"-MAC_LB", "3x", "-MAF_LB", "1e-3", "-SNP_MAC_LB", " 7", "-TRAIT", "-2"});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Warning: -MAC_LB 3x is read as 3\n");
  EXPECT_EQ(MAC_LB, 3);
  EXPECT_DOUBLE_EQ(MAF_LB, 0.001);
  EXPECT_EQ(SNP_MAC_LB, 7);
  EXPECT_EQ(TRAIT, -2);
  ::testing::internal::CaptureStderr();
  parse({"-MAC_LB", "x", "-MAF_UB", "abc", "-MAC_LB", "5", "-MAC_LB", "x", "-MAF_LB", "0,05",
         "-TRAIT", "4294967298", "-SNP_MAC_LB", ""});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: -MAC_LB x is read as 0\n"
            "Warning: -MAF_UB abc is read as 0\n"
            "Warning: -MAC_LB x is read as 0\n"
            "Warning: -MAF_LB 0,05 is read as 0\n"
            "Warning: -TRAIT 4294967298 is read as 2147483647\n"
            "Warning: -SNP_MAC_LB  is read as 0\n");
  EXPECT_EQ(MAC_LB, 0);
  EXPECT_EQ(MAF_UB, 0.0);
  EXPECT_EQ(TRAIT, 2147483647);
  // Out of the int range, or of the long range, a value is clamped to the nearest int: a huge
  // bound stays huge instead of wrapping to a negative one.
  ::testing::internal::CaptureStderr();
  parse({"-SNP_MAC_LB", "3000000000", "-MAC_LB", "-3000000000", "-TRAIT", "99999999999999999999"});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: -SNP_MAC_LB 3000000000 is read as 2147483647\n"
            "Warning: -MAC_LB -3000000000 is read as -2147483648\n"
            "Warning: -TRAIT 99999999999999999999 is read as 2147483647\n");
  EXPECT_EQ(SNP_MAC_LB, 2147483647);
  EXPECT_EQ(MAC_LB, -2147483647 - 1);
  EXPECT_EQ(TRAIT, 2147483647);
}

TEST(DriverOptions, TestFlagsStaySetAndNaiveSkatNameKeepsTheDirectory) {
  parse({"-SKAT", "out/s.tab", "-T5", "a", "-T1", "b"});
  EXPECT_TRUE(flag_skat && flag_t1 && flag_t5);
  EXPECT_FALSE(flag_mb);
  EXPECT_STREQ(out_skat, "out/s.tab");
  EXPECT_EQ(out_naive_skat, "naive_out/s.tab");
  parse({"-SKAT", "out/s.tab", "-MODEL", "Dominant", "-SKAT", "t.tab"});
  EXPECT_STREQ(out_skat, "t.tab");
  EXPECT_EQ(out_naive_skat, "naive_t.tab");
  EXPECT_EQ(genetic_model, 1);
}

TEST(DriverOptionsDeath, BadCommandLinesStopWithStatusOne) {
  EXPECT_EXIT(parse({"-com"}), ::testing::ExitedWithCode(1),
              "^Program was stopped due to error\\(s\\) listed above.\n$");
  EXPECT_EXIT(parse({"-COM="}), ::testing::ExitedWithCode(1), "Program was stopped");
  EXPECT_EXIT(parse({""}), ::testing::ExitedWithCode(1), "Program was stopped");
  EXPECT_EXIT(parse({"-MODEL", "additive"}), ::testing::ExitedWithCode(1),
              "^Error: Unknown option in -MODEL!\nProgram was stopped");
  EXPECT_EXIT(parse({"-COM", "-TRAIT"}), ::testing::ExitedWithCode(1),
              "^Error: Missing value for command line option -TRAIT\nProgram was stopped");
  // A NaN bound compares false with everything; it stops the run instead of filtering nothing.
  EXPECT_EXIT(
      parse({"-MAF_UB", "nan"}), ::testing::ExitedWithCode(1),
      "^Error: Value nan of command line option -MAF_UB is not a number\nProgram was stopped");
  EXPECT_EXIT(parse({"-MAF_LB", "-NAN(1)"}), ::testing::ExitedWithCode(1),
              "^Error: Value -NAN\\(1\\) of command line option -MAF_LB is not a number\n");
}

}  // namespace
