// A write to an output file that fails stops the run with the file's name and the system's
// reason, whether the row's own flush or the closing of the file wrote it. (Each output of each
// analysis on /dev/full is run end to end by tests/output_errors.)
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include "driver/output_files.h"

namespace {

const char *kFullStop = "Error: Cannot write /dev/full: No space left on device";

TEST(OutputFiles, FailedRowStopsTheRun) {
  EXPECT_EXIT(
      {
        std::ofstream out("/dev/full");
        out << "VARIANT_ID\tT1_BETA";
        end_line(out, "/dev/full");
      },
      ::testing::ExitedWithCode(1), kFullStop);
}

// A row left in the buffer is written when the file is closed.
TEST(OutputFiles, FailedCloseStopsTheRun) {
  EXPECT_EXIT(
      {
        std::ofstream out("/dev/full");
        out << "GENE1\t3\tNA\tNA";
        close_output(out, "/dev/full");
      },
      ::testing::ExitedWithCode(1), kFullStop);
}

// An errno left over from elsewhere (a range error of the arithmetic) is no write error.
TEST(OutputFiles, GoodWritesPass) {
  const std::string path = ::testing::TempDir() + "output_files_good.tab";
  std::ofstream out(path);
  errno = ERANGE;
  out << "GENE1\t3";
  end_line(out, path);
  out << "GENE2\t4";
  close_output(out, path);
  std::ifstream in(path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "GENE1\t3\nGENE2\t4");
}

}  // namespace
