// Writes what the link carried to a classic pcap file: every byte the network transport sends and
// receives, and every mailbox message the storage transport writes and reads (framed as it would
// cross the network), with microsecond timestamps, inside synthetic Ethernet/IPv4/TCP headers
// between the host's and the device's endpoints. Each connection starts with a handshake and
// numbers its bytes as TCP does, so a packet analyser reassembles the frames, and kestal-devsim
// --replay and kestal replay read it back (CaptureReader).
//
// Recording copies the bytes into a buffer under a short lock; the writer thread, started by Start
// and joined by Stop, writes the buffer out. The file is bounded: at its size limit the capture
// ends with one log line. A write that fails ends it with one log line too; the link never notices
// either. While the buffer holds more than kMaxPending bytes (a disk far slower than the link)
// further bytes are not captured but still numbered, so the analyser shows the gap.
//
// Thread safety: Start and Stop on the owner's thread (the service's, under its lock); Connected
// and Record from any thread. The transports hold a pointer to it that must remain live while they
// run.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/Mutex.h"
#include "common/ProtocolCatalogue.h"

class LinkCapture {
 public:
  static constexpr uint64_t kDefaultLimit = 1ull << 30;  // bytes of the file
  static constexpr uint32_t kMaxPending = 64u << 20;
  static constexpr uint32_t kMaxSegment =
      65000;  // payload bytes per packet (an IPv4 packet holds 65535)

  LinkCapture() = default;
  ~LinkCapture();
  LinkCapture(const LinkCapture&) = delete;
  LinkCapture& operator=(const LinkCapture&) = delete;

  // Starts capturing into `path`: creates it (or empties it) with its file header unless that file
  // is already open from an earlier Start, which goes on writing to it. 0, or -1 (logged) when it
  // cannot be created.
  int Start(const std::string& path, uint64_t limit = kDefaultLimit);
  // Writes out what is buffered and joins the writer. The file stays open for the next Start.
  void Stop();
  bool Active() const { return m_active.load(std::memory_order_relaxed); }

  // A new connection between the host's and the device's endpoints (IPv4 addresses in host order):
  // writes its handshake and numbers its bytes from there.
  void Connected(uint32_t host_ip, uint16_t host_port, uint32_t device_ip, uint16_t device_port);
  // Bytes the link carried on the current connection.
  void Record(bool to_device, const uint8_t* data, uint32_t len);

 private:
  void AppendPacket(bool to_device, uint8_t flags, const uint8_t* data, uint32_t len)
      REQUIRES(m_mutex);
  void LoopWrite();
  void Close();

  std::atomic<bool> m_active{false};
  kestal::Mutex m_mutex;
  kestal::CondVar m_signal;
  std::vector<uint8_t> m_pending GUARDED_BY(m_mutex);
  std::vector<uint8_t> m_writing;  // the writer's own
  bool m_stop GUARDED_BY(m_mutex) = false;
  uint64_t m_limit GUARDED_BY(m_mutex) = kDefaultLimit;
  uint64_t m_file_bytes GUARDED_BY(m_mutex) = 0;  // written and pending
  bool m_dropping GUARDED_BY(m_mutex) = false;  // bytes are being left out; logged once per stretch
  // The current connection: endpoints, next sequence number each way, IPv4 identification.
  uint32_t m_ip[2] GUARDED_BY(m_mutex) = {0x7F000001, 0x7F000001};  // [0] host, [1] device
  uint16_t m_port[2] GUARDED_BY(m_mutex) = {50000, kestal::catalogue::kDevicePortType1};
  uint32_t m_seq[2] GUARDED_BY(m_mutex) = {0, 0};
  uint16_t m_ip_id GUARDED_BY(m_mutex) = 0;
  std::string m_path GUARDED_BY(m_mutex);
  FILE* m_file = nullptr;  // opened by Start under m_mutex; written by the writer while it runs
  std::thread m_writer;
};
