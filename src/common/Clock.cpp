#include "common/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kestal {
namespace {

uint64_t SystemNowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::atomic<WallClockMsFn> g_wall_clock{&SystemNowMs};

}  // namespace

uint64_t NowMs() { return g_wall_clock.load(std::memory_order_acquire)(); }

void SetWallClockMs(WallClockMsFn fn) {
  g_wall_clock.store(fn ? fn : &SystemNowMs, std::memory_order_release);
}

uint64_t MonotonicUs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void SleepUntil(std::chrono::steady_clock::time_point until) {
  for (auto now = std::chrono::steady_clock::now(); now < until;
       now = std::chrono::steady_clock::now())
    std::this_thread::sleep_for(until - now);
}

}  // namespace kestal
