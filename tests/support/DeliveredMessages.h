// What a transport hands to its owner (HostCommTransportPlan::deliver), recorded for a test,
// which may hold the deliveries up as a slow owner would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "transport/HostCommTransport.h"

class DeliveredMessages {
 public:
  struct Message {
    uint16_t type;
    std::vector<uint8_t> payload;
  };

  HostCommMessageFn Fn() {
    return [this](uint16_t type, const uint8_t* data, uint32_t len) {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_signal.wait(lock, [&] { return !m_held; });
      m_messages.push_back({type, {data, data + len}});
      m_signal.notify_all();
    };
  }
  // While held, a delivery waits (the transport's reading worker with it).
  void Hold(bool held) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = held;
    m_signal.notify_all();
  }
  // Up to `n` messages, oldest first, waited for up to `wait_ms`; they are taken.
  std::vector<Message> Take(size_t n, int wait_ms = 0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_signal.wait_for(lock, std::chrono::milliseconds(wait_ms),
                      [&] { return m_messages.size() >= n; });
    const size_t k = n < m_messages.size() ? n : m_messages.size();
    std::vector<Message> out(m_messages.begin(), m_messages.begin() + k);
    m_messages.erase(m_messages.begin(), m_messages.begin() + k);
    return out;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_signal;
  bool m_held = false;
  std::vector<Message> m_messages;
};
