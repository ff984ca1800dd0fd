// Reads a capture file (LinkCapture's layout; any classic pcap of Ethernet/IPv4/TCP) back as the
// bytes each connection carried each way, in the order captured. A SYN without ACK starts a
// connection and names its host side; in a capture without one, the side away from the device's
// ports (28992, 29372) is the host. Damaged or hostile files end the reading with an error text,
// never with a read past the data.
//
// Thread safety: one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class CaptureReader {
 public:
  struct Chunk {
    uint64_t time_us = 0;  // since the epoch
    bool to_device = false;
    uint32_t connection = 0;  // 1 for the first connection
    std::vector<uint8_t> bytes;
  };

  CaptureReader() = default;
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  // 0, or -1 with Error() set.
  int Open(const std::string& path);
  // The next packet that carries bytes: 1, 0 at the end of the file, -1 with Error() set.
  int Next(Chunk& out);
  const std::string& Error() const { return m_error; }

 private:
  int Fail(const std::string& text);

  FILE* m_file = nullptr;
  std::string m_error;
  std::vector<uint8_t> m_packet;
  uint64_t m_record = 0;
  uint32_t m_connection = 0;
  uint32_t m_host_ip = 0;
  uint16_t m_host_port = 0;
  bool m_host_known = false;
};
