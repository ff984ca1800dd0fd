// The library as an application uses it: the one service, started against the benchmark's
// device (127.0.0.1:port, or a disk image as the only disk) and stopped again between phases.
// Every message the service delivers goes to the sink of the running phase.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Device.h"

namespace bench {

// Waits for the ACK of one order at a time; the time of arrival is taken in the callback.
class AckWaiter {
 public:
  void Expect(uint16_t seq_no);
  // Arrival time in ns, or -1 when the ACK did not come within `timeout_ms`.
  int64_t Wait(int timeout_ms);
  void Offer(uint16_t seq_no, int64_t now_ns);

 private:
  std::mutex m_mutex;
  std::condition_variable m_signal;
  uint16_t m_seq_no = 0;
  int64_t m_arrived_ns = -1;
};

// Storage messages: type 6 with an unassigned sub type (the library forwards them without a
// log line), seq_no (u64) at 8, the device's send time (ns) at 16, then a fill pattern.
class StorageSink {
 public:
  static constexpr uint16_t kSubType = 0x7FFF;
  // A message of `len` (>= 24) bytes with its fill; Stamp sets its number and send time.
  static std::vector<uint8_t> Payload(uint32_t len);
  static void Stamp(uint8_t* payload, uint64_t seq_no, int64_t now_ns);

  void Reset(uint32_t size, size_t max_latencies);
  void Offer(const uint8_t* data, uint32_t len, int64_t now_ns);
  struct Counts {
    uint64_t received, lost, duplicated,
        damaged;  // lost: gaps in the numbers and messages never come
    int64_t last_arrival_ns;
  };
  Counts Count(uint64_t sent);
  // Waits until `count` messages have arrived; false after `timeout_ms`.
  bool WaitReceived(uint64_t count, int timeout_ms);
  std::vector<double> TakeLatenciesUs();
  void RecordLatencies(bool on);

 private:
  std::mutex m_mutex;
  std::condition_variable m_signal;
  uint32_t m_size = 0;
  uint64_t m_next = 0, m_received = 0, m_lost = 0, m_duplicated = 0, m_damaged = 0;
  int64_t m_last_ns = 0;
  bool m_record = false;
  std::vector<double> m_latencies_us;
};

class Library {
 public:
  static Library& Get();

  bool StartNetwork(uint16_t port);
  bool StartStorage(const std::string& image);
  void Stop();

  // The sinks; only the one set receives.
  void DeliverFramesTo(FrameTally* tally);
  void DeliverAcksTo(AckWaiter* waiter);
  void DeliverStorageTo(StorageSink* sink);
  uint64_t CommErrors() const;

  void OnMessage(uint16_t type, const uint8_t* data, uint32_t len);
  void OnEvent(int event);

 private:
  Library();
  bool StartAndConnect();

  std::atomic<FrameTally*> m_tally{nullptr};
  std::atomic<AckWaiter*> m_acks{nullptr};
  std::atomic<StorageSink*> m_storage{nullptr};
  std::atomic<uint64_t> m_connected_ok{0};
  std::atomic<uint64_t> m_comm_errors{0};
};

}  // namespace bench
