// The arm companion process's side of the arm link, for the simulator: it listens on
// 127.0.0.1:27000 where the library sends the device's arm messages, and sends a datagram
// to the library's port 26000 now and then, so the library knows the companion is there and
// relays the companion's messages to the device.
//
// Threads: Start / Stop on the owner's thread; one owned worker runs its io_context, joined by
// Stop.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <thread>

#include "common/ProtocolCatalogue.h"

class SimArmCompanion {
 public:
  SimArmCompanion(uint16_t listen_port = kestal::catalogue::kArmCompanionPort,
                  uint16_t library_port = kestal::catalogue::kArmLibraryPort,
                  uint32_t hello_interval_ms = 500);
  ~SimArmCompanion();
  SimArmCompanion(const SimArmCompanion&) = delete;
  SimArmCompanion& operator=(const SimArmCompanion&) = delete;

  // Binds 127.0.0.1:listen_port and starts the worker. 0 or -1.
  int Start();
  void Stop();

  uint64_t Received() const { return m_received.load(); }
  uint64_t Sent() const { return m_sent.load(); }

 private:
  void Hello();
  void Receive();

  const uint16_t m_listen_port;
  const uint16_t m_library_port;
  const uint32_t m_hello_interval_ms;
  // The worker's: only its thread touches them while it runs.
  asio::io_context m_io;
  asio::ip::udp::socket m_socket{m_io};
  asio::steady_timer m_hello_timer{m_io};
  uint8_t m_buffer[65536];
  uint32_t m_counter = 0;
  std::atomic<bool> m_stop{true};
  std::thread m_thread;
  std::atomic<uint64_t> m_received{0};
  std::atomic<uint64_t> m_sent{0};
};
