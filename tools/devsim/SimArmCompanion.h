// The arm companion process's side of the arm link, for the simulator: it listens on
// 127.0.0.1:27000 where the library sends the device's arm messages, and sends a datagram
// to the library's port 26000 now and then, so the library knows the companion is there and
// relays the companion's messages to the device.
//
// Threads: Start / Stop on the owner's thread; one owned worker, joined by Stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class SimArmCompanion {
 public:
  SimArmCompanion(uint16_t listen_port = 27000, uint16_t library_port = 26000, uint32_t hello_interval_ms = 500);
  ~SimArmCompanion();
  SimArmCompanion(const SimArmCompanion&) = delete;
  SimArmCompanion& operator=(const SimArmCompanion&) = delete;

  // Binds 127.0.0.1:listen_port and starts the worker. 0 or -1.
  int Start();
  void Stop();

  uint64_t Received() const { return m_received.load(); }
  uint64_t Sent() const { return m_sent.load(); }

 private:
  void Loop();

  const uint16_t m_listen_port;
  const uint16_t m_library_port;
  const uint32_t m_hello_interval_ms;
  int m_fd = -1;
  std::atomic<bool> m_stop{true};
  std::thread m_thread;
  std::atomic<uint64_t> m_received{0};
  std::atomic<uint64_t> m_sent{0};
};
