// The log file: lines are buffered and written off the callers' paths, yet none is lost or torn
// when many threads outrun the writer, and an error line is on the disk as soon as it is logged.
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SimSupport.h"
#include "TestWait.h"
#include "common/Log.h"

static std::string LogFileText() { return FileText("LogKestalHostCommService.txt"); }

// First in this process, before any test makes the log: without one, the writer's wait still lasts
// its timeout (and a wake-up is spent once), so the service's log-report worker never spins.
TEST(LogFile, TheWritersWaitLastsItsTimeoutEvenWithoutALog) {
  const auto t0 = std::chrono::steady_clock::now();
  kestal::Log::WakeWriter();
  for (int i = 0; i < 3; ++i) kestal::Log::WriteBacklog(100);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
}

// While no writer runs (before Start, after Stop) a line is on the disk at once; while one runs,
// lines are buffered and overflow the buffer without loss.
TEST(LogFile, EveryLineOfRacingThreadsArrivesWholeAndInOrderAndErrorsAtOnce) {
  kestal::Log::Init();
  KLOG_DEBUG("a line before the service starts");
  EXPECT_TRUE(WaitUntil(
      [] { return LogFileText().find("a line before the service starts") != std::string::npos; },
      std::chrono::milliseconds(2000)));
  kestal::Log::SetWriterRunning(true);
  // About 2.5 MiB: the buffer (1 MiB) overflows many times.
  constexpr int kThreads = 4, kLines = 6000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        KLOG_DEBUG("racer %d line %d of a test that fills the log's buffer", t, i);
    });
  for (std::thread& thread : threads) thread.join();
  KLOG_ERROR("an error line, on the disk at once");
  EXPECT_NE(LogFileText().find("an error line, on the disk at once"), std::string::npos);
  kestal::Log::Flush();
  std::istringstream text(LogFileText());
  std::vector<int> next(kThreads, 0);
  int bad = 0;
  for (std::string line; std::getline(text, line);) {
    const size_t at = line.find("] racer ");
    if (at == std::string::npos) continue;
    int t = -1, i = -1;
    const bool whole =
        std::sscanf(line.c_str() + at, "] racer %d line %d of a test", &t, &i) == 2 &&
        line.find("DEBUG [") == 24 &&
        line.rfind("fills the log's buffer") + 22 == line.size() - (line.back() == '\r');
    if (!whole || t < 0 || t >= kThreads || i != next[t]++) ++bad;
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}
