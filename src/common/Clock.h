// The library's clocks. Wall-clock milliseconds (engine and service) come from one function
// that tests may replace; the microsecond counter paces the arm link.
#pragma once

#include <chrono>
#include <cstdint>

namespace kestal {

using WallClockMsFn = uint64_t (*)();

// Milliseconds since 1970-01-01 UTC, from the replaceable source.
uint64_t NowMs();
// Replaces the source of NowMs; nullptr restores the system clock.
void SetWallClockMs(WallClockMsFn fn);
// Monotonic high-resolution counter in microseconds.
uint64_t MonotonicUs();
// Returns once the steady clock has reached `until`, never before: a platform's sleep may end a
// little early (Windows rounds to its timer tick), and the stops' minimum times are promises.
void SleepUntil(std::chrono::steady_clock::time_point until);

}  // namespace kestal
