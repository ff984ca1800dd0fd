// What the service's Start and Stop share with its workers: the start/stop lock, the ordered
// hand-off of device events, the two workers and the signal they wait on. Part of the service's
// implementation, which is made once and never destroyed (see KestalHostCommServiceImpl.h).
//
// Device events reach the application one at a time and in the order they were raised, whatever
// thread raises them: each is queued, and the thread that finds nobody delivering delivers the
// queue until it is empty. The holder of the start/stop lock only queues (a callback that waits
// for a thread which itself waits for the lock could otherwise never return); it delivers once it
// lets the lock go.
//
// Thread safety: every operation may be called from any thread; the worker threads are the
// service's lifecycle calls' own (Start, Stop, and the tests' look at them).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/Mutex.h"
#include "kestal/KestalHostCommService.h"

// A device event and the reason of its failure ("" for none).
struct DeviceEventReport {
  HostCommDeviceEvent event;
  std::string detail;
};

// The lifecycle is itself the start/stop lock for the thread-safety analysis.
class CAPABILITY("start/stop lock") ServiceLifecycle {
 public:
  // `deliver` hands one event to the application; it may throw CallbackGate::GivenUp.
  explicit ServiceLifecycle(std::function<void(const DeviceEventReport&)> deliver)
      : m_deliver(std::move(deliver)) {}

  // The start/stop lock m_mutex, around every engine start and stop sequence.
  void Lock() ACQUIRE();
  // Releases it, then delivers the events queued meanwhile.
  void Unlock() RELEASE();
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
  // Queues `report` and delivers the queue, unless this thread holds the start/stop lock or
  // another thread is delivering (which then delivers this one too).
  void RaiseEvent(DeviceEventReport report) EXCLUDES(m_event_mutex);
  // Forgets the queued events and any delivery that a stop gave up, which would hold up the rest.
  void DropEvents() EXCLUDES(m_event_mutex);

  // Sets `stop` and wakes the reconnect worker's wait (the log-report worker waits on the log).
  void RaiseStop(std::atomic<bool>& stop);
  // Waits a second; false when `stop` was set meanwhile.
  bool WaitOneSecond(const std::atomic<bool>& stop);
  // Waits until `stop` is set, `wanted()` holds (checked under the lock, so a Wake after the change
  // is never missed) or `ms` have passed; false when `stop` was set.
  template <typename Wanted>
  bool WaitUntil(const std::atomic<bool>& stop, int ms, Wanted wanted) {
    kestal::MutexLock lock(m_worker_mutex);
    m_worker_signal.WaitFor(lock, std::chrono::milliseconds(ms),
                            [&] { return stop.load() || wanted(); });
    return !stop.load();
  }
  // Wakes WaitUntil to look at its condition again; call after changing what it waits for.
  void Wake();

  std::thread& ReconnectThread() { return m_reconnect_thread; }
  std::thread& LogReportThread() { return m_log_report_thread; }
  bool WorkersRunning() const {
    return m_reconnect_thread.joinable() || m_log_report_thread.joinable();
  }

 private:
  void DeliverEvents() EXCLUDES(m_event_mutex);

  std::mutex m_mutex;
  std::atomic<std::thread::id> m_mutex_owner{};

  const std::function<void(const DeviceEventReport&)> m_deliver;
  kestal::Mutex m_event_mutex;
  std::deque<DeviceEventReport> m_events GUARDED_BY(m_event_mutex);
  // The turn of the thread delivering m_events (0: none); a dropped turn ends at its next event.
  uint64_t m_delivery GUARDED_BY(m_event_mutex) = 0;
  uint64_t m_turns GUARDED_BY(m_event_mutex) = 0;

  // The reconnect and log-report workers of one Start, joined by Stop (or the next Start).
  std::thread m_reconnect_thread;
  std::thread m_log_report_thread;
  kestal::Mutex m_worker_mutex;
  kestal::CondVar m_worker_signal;
};
