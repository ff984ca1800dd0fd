// The plain clients the library is compared with, against the same device: a recv loop that
// only counts bytes, a one-copy parser that cuts frames and copies each piece's data once into
// a frame buffer, a blocking order/ACK client, an idle connected socket, and positioned reads
// of the disk image.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Device.h"

namespace bench {

// A blocking TCP connection to 127.0.0.1:port with `timeout_ms` send and receive timeouts; -1.
int ConnectLoopback(uint16_t port, int timeout_ms);

// A client thread reading the device's stream until Stop: counting wire bytes only, or also
// cutting and reassembling frames into `tally`.
class StreamClient {
 public:
  StreamClient(uint16_t port, bool parse);
  ~StreamClient();
  bool Start();
  void Stop();
  uint64_t WireBytes() const { return m_wire_bytes.load(); }
  const FrameTally& Tally() const { return m_tally; }
  uint64_t BadPieces() const { return m_bad_pieces.load(); }

 private:
  void RecvLoop();
  void ParseLoop();

  const uint16_t m_port;
  const bool m_parse;
  int m_fd = -1;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_wire_bytes{0};
  std::atomic<uint64_t> m_bad_pieces{0};
  FrameTally m_tally;
  std::thread m_thread;
};

// Sends `count` orders one at a time after `warmup` unrecorded ones, each waiting for its ACK;
// the round trips in microseconds. False when an ACK did not come within a second.
bool PlainRoundTrips(uint16_t port, uint32_t warmup, uint32_t count, std::vector<double>* us);

// A connected socket whose thread blocks in recv until Stop.
class IdleSocket {
 public:
  explicit IdleSocket(uint16_t port) : m_port(port) {}
  ~IdleSocket();
  bool Start();
  void Stop();

 private:
  const uint16_t m_port;
  int m_fd = -1;
  std::thread m_thread;
};

struct ReadStats {
  double per_second = 0;
  double p50_us = 0, p99_us = 0;
  bool direct = false;  // opened with O_DIRECT
};
// Positioned reads of `block` bytes cycling through the device-to-host data area of the image,
// opened as the library opens it; `count` reads or `max_ms`, whichever ends first.
ReadStats PlainReads(const std::string& image, uint32_t block, uint32_t count, int64_t max_ms);

}  // namespace bench
