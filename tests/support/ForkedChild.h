// Runs part of a test in a forked child (Linux), for work that changes the process for good, such
// as entering a network namespace of its own. The child's failures are the test's; a child that
// hangs ends after 30 s; a child that exits 77 skips the test with `skip_reason`. Fork from a
// thread that is alone: no library worker running.
#pragma once

#ifdef __linux__
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

template <typename Body>
void RunInForkedChild(Body body, const char* skip_reason) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(30);
    body();
    std::fflush(nullptr);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended abnormally (or hung), status " << status;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << skip_reason;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures are listed above";
}
#endif
