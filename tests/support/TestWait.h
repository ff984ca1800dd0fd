// Waiting in tests: every wait has a deadline, and a condition is looked at again every few
// milliseconds until it holds or the deadline passes.
#pragma once

#include <chrono>
#include <thread>

// Upper bounds on elapsed time are multiplied by this in sanitizer builds, which run several
// times slower (the build sets it); lower bounds stand as they are.
#ifndef KESTAL_TEST_TIME_SCALE
#define KESTAL_TEST_TIME_SCALE 1
#endif
constexpr int kTimeScale = KESTAL_TEST_TIME_SCALE;

// True as soon as `condition()` holds; false when `timeout` passed first (checked once more at
// the deadline, so a condition that became true meanwhile still counts).
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(step);
  }
  return true;
}
