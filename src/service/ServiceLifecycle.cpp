#include "service/ServiceLifecycle.h"

#include <chrono>

#include "common/Log.h"

void ServiceLifecycle::Lock() {
  m_mutex.lock();
  m_mutex_owner = std::this_thread::get_id();
}

std::vector<DeviceEventReport> ServiceLifecycle::Unlock() {
  std::vector<DeviceEventReport> events;
  events.swap(m_held_events);
  m_mutex_owner = std::thread::id();
  m_mutex.unlock();
  return events;
}

bool ServiceLifecycle::HoldIfLocked(HostCommDeviceEvent event, const std::string& detail) {
  if (m_mutex_owner.load() != std::this_thread::get_id()) return false;
  AssertHeld();  // by this very thread, as its id in m_mutex_owner says
  m_held_events.push_back({event, detail});
  return true;
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
