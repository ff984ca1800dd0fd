// What the service's Start and Stop share with its workers: the start/stop lock, the two
// workers and the signal they wait on, and the device events held while the lock is taken.
// The service makes it once and never destroys it (see KestalHostCommService.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "kestal/KestalHostCommService.h"

struct KestalHostCommService::Lifecycle {
  // Serialises every engine start and stop sequence. Taken only through StartStopLock, so that
  // the device events reported meanwhile reach the application after it is released: a
  // callback that waits for a thread which itself waits for this lock can then never hang.
  std::mutex m_mutex;
  std::atomic<std::thread::id> m_mutex_owner{};
  std::vector<HostCommDeviceEvent> m_held_events;  // the owner's only

  // The reconnect and log-report workers of one Start, joined by Stop (or the next Start).
  std::thread m_reconnect_thread;
  std::thread m_log_report_thread;
  std::mutex m_worker_mutex;  // with m_worker_signal: the reconnect worker's one-second wait
  std::condition_variable m_worker_signal;
};
