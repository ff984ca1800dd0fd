// Hands order ACKs to the threads that wait for them (kestal_request).
//
// A request registers its order's sequence number and sub type before the order is sent, so that
// an ACK that comes back before the send returns is not missed. The engine gives every order ACK
// to Deliver, which copies it to the request waiting for it and wakes that thread. Cancel (a
// stop) ends every wait registered before it.
//
// Thread safety: every method from any thread. The waits are listed under m_mutex; Deliver costs
// one atomic load while nobody waits, so the receive path pays nothing for the feature unused.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "common/Mutex.h"
#include "protocol/OrderAck.h"

class OrderAckWaiter {
 public:
  // One request's wait, on the requesting thread's stack. It must remain live from Add until
  // Remove; `sink` receives the ACK.
  class Wait {
   public:
    Wait(uint16_t seq_no, uint16_t sub_type, AckSink sink)
        : m_seq_no(seq_no), m_sub_type(sub_type), m_sink(sink) {}

   private:
    friend class OrderAckWaiter;
    const uint16_t m_seq_no;
    const uint16_t m_sub_type;
    const AckSink m_sink;
    // Its ACK was copied; set under the mutex, also read without it while the wait looks.
    std::atomic<bool> m_done{false};
    uint64_t m_generation = 0;  // the stops counted when it was added
  };

  void Add(Wait* wait) EXCLUDES(m_mutex);
  void Remove(Wait* wait) EXCLUDES(m_mutex);
  // Waits for the ACK of an added wait: kRequestOk when it came, kRequestTimeout when `deadline`
  // passed first, kRequestStopped when Cancel ended the wait.
  int WaitUntil(Wait* wait, std::chrono::steady_clock::time_point deadline) EXCLUDES(m_mutex);
  // Copies an order ACK (seq_no, sub type, code, reply length, reply) to the wait for its sequence
  // number and sub type, if any. True when one was waiting for it.
  bool Deliver(const uint8_t* data, uint32_t len) EXCLUDES(m_mutex);
  // Ends every wait added so far.
  void Cancel() EXCLUDES(m_mutex);

 private:
  static constexpr std::chrono::microseconds kLookBeforeSleep{50};

  kestal::Mutex m_mutex;
  kestal::CondVar m_signal;
  std::vector<Wait*> m_waits GUARDED_BY(m_mutex);
  uint64_t m_generation GUARDED_BY(m_mutex) = 0;
  std::atomic<uint32_t> m_wait_count{0};
};
