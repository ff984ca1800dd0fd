#include "protocol/OrderAckWaiter.h"

#include <algorithm>
#include <thread>

void OrderAckWaiter::Add(Wait* wait) {
  kestal::MutexLock lock(m_mutex);
  wait->m_generation = m_generation;
  m_waits.push_back(wait);
  m_wait_count.store(static_cast<uint32_t>(m_waits.size()), std::memory_order_release);
}

void OrderAckWaiter::Remove(Wait* wait) {
  kestal::MutexLock lock(m_mutex);
  m_waits.erase(std::remove(m_waits.begin(), m_waits.end(), wait), m_waits.end());
  m_wait_count.store(static_cast<uint32_t>(m_waits.size()), std::memory_order_release);
}

// The thread that reads the ACK wakes the waiting one; a thread asleep on a condition variable
// takes tens of microseconds to run again on a virtual machine, more than the device's answer on
// a quick link. So the wait first looks for the ACK for a few microseconds, giving its core to any
// other thread that is ready (the reading one, on a machine with few cores), and only then sleeps.
int OrderAckWaiter::WaitUntil(Wait* wait, std::chrono::steady_clock::time_point deadline) {
  // Never past the caller's deadline: a request that may not wait gets its timeout.
  const auto look_until = std::min(std::chrono::steady_clock::now() + kLookBeforeSleep, deadline);
  while (!wait->m_done.load(std::memory_order_acquire) &&
         std::chrono::steady_clock::now() < look_until)
    std::this_thread::yield();
  kestal::MutexLock lock(m_mutex);
  // A wait may end a little early on some systems: it is repeated until the clock says so.
  for (;;) {
    if (wait->m_done) return kRequestOk;
    if (wait->m_generation != m_generation) return kRequestStopped;
    if (std::chrono::steady_clock::now() >= deadline) return kRequestTimeout;
    m_signal.WaitUntil(lock, deadline, [&]() REQUIRES(m_mutex) {
      return wait->m_done || wait->m_generation != m_generation;
    });
  }
}

bool OrderAckWaiter::Deliver(const uint8_t* data, uint32_t len) {
  OrderAck view;
  if (m_wait_count.load(std::memory_order_acquire) == 0 || DecodeOrderAck(data, len, &view) != 0)
    return false;
  {
    kestal::MutexLock lock(m_mutex);
    auto it = std::find_if(m_waits.begin(), m_waits.end(), [&](const Wait* w) {
      return !w->m_done && w->m_seq_no == view.seq_no && w->m_sub_type == view.sub_type;
    });
    if (it == m_waits.end()) return false;
    (*it)->m_sink.fill((*it)->m_sink.target, view);
    (*it)->m_done.store(true, std::memory_order_release);
  }
  m_signal.NotifyAll();
  return true;
}

void OrderAckWaiter::Cancel() {
  {
    kestal::MutexLock lock(m_mutex);
    ++m_generation;
  }
  m_signal.NotifyAll();
}
