#include "service/ServiceLifecycle.h"

#include <chrono>
#include <utility>

#include "common/Log.h"

void ServiceLifecycle::Lock() {
  m_mutex.lock();
  m_mutex_owner = std::this_thread::get_id();
}

void ServiceLifecycle::Unlock() {
  m_mutex_owner = std::thread::id();
  m_mutex.unlock();
  DeliverEvents();
}

void ServiceLifecycle::RaiseEvent(DeviceEventReport report) {
  {
    kestal::MutexLock lock(m_event_mutex);
    m_events.push_back(std::move(report));
  }
  if (m_mutex_owner.load() != std::this_thread::get_id()) DeliverEvents();
}

void ServiceLifecycle::DropEvents() {
  kestal::MutexLock lock(m_event_mutex);
  m_events.clear();
  m_delivery = 0;
}

void ServiceLifecycle::DeliverEvents() {
  uint64_t turn;
  {
    kestal::MutexLock lock(m_event_mutex);
    if (m_delivery != 0 || m_events.empty()) return;
    turn = m_delivery = ++m_turns;
  }
  // Gives the turn back however delivery ends: a callback given up by a stop ends its worker
  // right where it returns.
  struct TurnEnd {
    ServiceLifecycle& lifecycle;
    const uint64_t turn;
    ~TurnEnd() {
      kestal::MutexLock lock(lifecycle.m_event_mutex);
      if (lifecycle.m_delivery == turn) lifecycle.m_delivery = 0;
    }
  } turn_end{*this, turn};
  for (;;) {
    DeviceEventReport report;
    {
      // The queue is looked at and the turn given back in one step: an event queued meanwhile
      // is either taken here or finds nobody delivering and is delivered by its own thread.
      kestal::MutexLock lock(m_event_mutex);
      if (m_delivery != turn) return;
      if (m_events.empty()) {
        m_delivery = 0;
        return;
      }
      report = std::move(m_events.front());
      m_events.pop_front();
    }
    m_deliver(report);
  }
}

void ServiceLifecycle::RaiseStop(std::atomic<bool>& stop) {
  {
    kestal::MutexLock lock(m_worker_mutex);
    stop = true;
  }
  m_worker_signal.NotifyAll();
  kestal::Log::WakeWriter();
}

void ServiceLifecycle::Wake() {
  { kestal::MutexLock lock(m_worker_mutex); }
  m_worker_signal.NotifyAll();
}

bool ServiceLifecycle::WaitOneSecond(const std::atomic<bool>& stop) {
  kestal::MutexLock lock(m_worker_mutex);
  return !m_worker_signal.WaitFor(lock, std::chrono::seconds(1), [&] { return stop.load(); });
}
