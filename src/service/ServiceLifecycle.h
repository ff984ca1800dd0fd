// What the service's Start and Stop share with its workers: the start/stop lock with the device
// events held while it is taken, the two workers and the signal they wait on. Part of the service's
// implementation, which is made once and never destroyed (see KestalHostCommServiceImpl.h).
//
// Thread safety: every operation may be called from any thread; the worker threads are the
// service's lifecycle calls' own (Start, Stop, and the tests' look at them).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  // The start/stop lock m_mutex, around every engine start and stop sequence.
  void Lock() ACQUIRE();
  // Releases it; returns the device events reported meanwhile by its holder, which the caller
  // delivers now: a callback that waits for a thread which itself waits for this lock can then
  // never hang.
  std::vector<DeviceEventReport> Unlock() RELEASE();
  // True when the calling thread holds the lock: the event is kept for Unlock.
  bool HoldIfLocked(HostCommDeviceEvent event, const std::string& detail);
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

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
  std::mutex m_mutex;
  std::atomic<std::thread::id> m_mutex_owner{};
  std::vector<DeviceEventReport> m_held_events GUARDED_BY(this);

  // The reconnect and log-report workers of one Start, joined by Stop (or the next Start).
  std::thread m_reconnect_thread;
  std::thread m_log_report_thread;
  kestal::Mutex m_worker_mutex;
  kestal::CondVar m_worker_signal;
};
