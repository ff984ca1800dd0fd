// The ordered hand-off of device events: whatever thread raises them, and whoever holds the
// start/stop lock meanwhile, the application gets them one at a time in the order raised.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestWait.h"
#include "service/ServiceLifecycle.h"

using namespace std::chrono;

TEST(DeviceEvents, ReachTheApplicationOneAtATimeInTheOrderRaised) {
  std::mutex mutex;
  std::vector<HostCommDeviceEvent> seen;
  std::atomic<bool> hold_first{false}, release{false};
  std::atomic<int> delivering{0}, overlapped{0};
  ServiceLifecycle lifecycle([&](const DeviceEventReport& report) {
    if (delivering++ != 0) ++overlapped;
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(report.event);
    }
    if (hold_first.exchange(false)) WaitUntil([&] { return release.load(); }, 5000ms);
    --delivering;
  });
  auto seen_now = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
  };

  // Raised by the lock holder (a start's "Connected OK"), then by a worker while the lock is held:
  // the worker's event comes second, not first.
  lifecycle.Lock();
  lifecycle.RaiseEvent({ConnectedOk, ""});
  std::thread([&] { lifecycle.RaiseEvent({CommError, ""}); }).join();
  lifecycle.Unlock();
  EXPECT_EQ(seen_now(), (std::vector<HostCommDeviceEvent>{ConnectedOk, CommError}));

  // While one delivery waits in the application, the events of other threads queue behind it.
  seen.clear();
  hold_first = true;
  std::thread slow([&] { lifecycle.RaiseEvent({Connecting, ""}); });
  ASSERT_TRUE(WaitUntil([&] { return seen_now().size() == 1; }, 2000ms));
  std::thread([&] { lifecycle.RaiseEvent({NotConnected, ""}); }).join();
  lifecycle.RaiseEvent({ConnectedError, ""});
  EXPECT_EQ(seen_now().size(), 1u);
  release = true;
  slow.join();
  EXPECT_EQ(seen_now(),
            (std::vector<HostCommDeviceEvent>{Connecting, NotConnected, ConnectedError}));
  EXPECT_EQ(overlapped, 0);

  // A delivery a stop gave up holds up nothing after DropEvents.
  seen.clear();
  hold_first = true;
  release = false;
  std::thread given_up([&] { lifecycle.RaiseEvent({DeviceLeft, ""}); });
  ASSERT_TRUE(WaitUntil([&] { return seen_now().size() == 1; }, 2000ms));
  lifecycle.RaiseEvent({DeviceArrival, ""});
  lifecycle.DropEvents();
  lifecycle.RaiseEvent({ConnectedOk, ""});
  EXPECT_EQ(seen_now(), (std::vector<HostCommDeviceEvent>{DeviceLeft, ConnectedOk}));
  release = true;
  given_up.join();
  EXPECT_EQ(seen_now().size(), 2u);
}
