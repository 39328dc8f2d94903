// Helpers shared by the unit tests.
#ifndef VARNOSTA_TESTS_TEST_SUPPORT_H
#define VARNOSTA_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace varnosta_test {

// A file path in the test's temporary directory that no other test (CTest runs them in
// parallel, each in its own process) uses: suite, test, process id and the given name.
inline std::string temp_path(const std::string &name) {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string tag = info ? std::string(info->test_suite_name()) + "_" + info->name() : "none";
  for (char &ch : tag)
    if (ch == '/')
      ch = '_';
  return ::testing::TempDir() + "varnosta_" + tag + "_" + std::to_string(getpid()) + "_" + name;
}

// Arrays still held when a stop ends the process are not leaks. Allocations made while one of
// these is alive (also in a death test's child) are kept out of the leak report of the
// sanitizer build, which would otherwise change the exit status.
struct StopLeaksIgnored {
  StopLeaksIgnored() {
#ifdef __SANITIZE_ADDRESS__
    __lsan_disable();
#endif
  }
  ~StopLeaksIgnored() {
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
  }
};

}  // namespace varnosta_test

#endif  // VARNOSTA_TESTS_TEST_SUPPORT_H
