// Counters of how healthy the link is, kept by whichever layer sees each event (the transports, the
// engine, the service) and read by the service's log-report worker (one line a minute and at Stop)
// and by the tools.
//
// Thread safety: every counter is an atomic that writers bump with relaxed order, so counting on
// the receive path costs one uncontended add and never a lock. Readers see each counter whole, not
// all of them at one instant.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct LinkHealth {
  using Counter = std::atomic<uint64_t>;
  Counter bytes_in{0}, bytes_out{0}, frames_in{0}, frames_out{0};
  Counter checksum_errors{0}, resyncs{0}, bytes_skipped{0}, oversize_frames{0};
  Counter reconnects{0}, heartbeats_sent{0}, orders_sent{0}, orders_acked{0}, last_rtt_us{0};
  Counter image_frames{0}, image_frames_dropped{0}, records_skipped{0};
  // Most items ever waiting: for the application (received) and for the link (sent).
  Counter recv_queue_high{0}, send_queue_high{0};
  // Received messages dropped because the application had not taken the earlier ones.
  Counter messages_dropped{0};

  static void Add(Counter& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }
  static void Set(Counter& counter, uint64_t value) {
    counter.store(value, std::memory_order_relaxed);
  }
  static void Raise(Counter& counter, uint64_t value) {  // keeps the highest value ever set
    for (uint64_t seen = counter.load(std::memory_order_relaxed);
         value > seen && !counter.compare_exchange_weak(seen, value, std::memory_order_relaxed);) {
    }
  }
  static uint64_t Get(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

  static constexpr size_t kCounters = 19;
  // Every counter's value, in declaration order.
  void CopyTo(uint64_t (&values)[kCounters]) const;
  // One line of every counter, "name=value" separated by spaces, in declaration order.
  std::string Line() const;
  // The same line written into `line`, which it returns: no allocation (the log-report worker
  // writes it once a minute).
  using LineBuffer = char[704];
  const char* Write(LineBuffer& line) const;
  void Reset();  // a fresh start of the service
};
