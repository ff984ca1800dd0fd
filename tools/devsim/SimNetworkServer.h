// The TCP half of the device simulator: listens where the host library expects the device
// (127.0.0.1 and an ephemeral port unless told otherwise), takes one connection at a time
// (a newer connection replaces an older one, as after a drop the host dials again), cuts
// the received bytes into frames, feeds each message to SimDevice::OnHostMessage and sends
// the device's messages as frames. On request it misbehaves the way a faulty device or link
// would: garbage bytes, a bad checksum, an oversize length, a connection closed mid-frame,
// or a pause in reading.
//
// Threads: Start / Stop on the owner's thread. One owned io worker (joined by Stop) runs the
// asio io_context: it accepts, reads, parses and runs SimDevice::OnHostMessage. SendMessage
// and the fault operations may be called from any thread, the io worker included; one lock
// serialises whole frames on the socket. Every wait is bounded (a 3 s write deadline, 50 ms
// steps while reading is stalled).
#pragma once

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimDevice.h"
#include "SimFrameParser.h"

class SimNetworkServer {
 public:
  static constexpr int kWriteTimeoutMs = 3000;

  // `address` must be a numeric IPv4 address; port 0 picks an ephemeral port at the first Start,
  // which a later Start keeps (a device that restarts keeps its address).
  explicit SimNetworkServer(SimDevice& device, std::string address = "127.0.0.1",
                            uint16_t port = 0);
  ~SimNetworkServer();
  SimNetworkServer(const SimNetworkServer&) = delete;
  SimNetworkServer& operator=(const SimNetworkServer&) = delete;

  // Binds and listens, starts the io worker and the device (whose messages go out through
  // SendMessage). 0, or -1 when the address cannot be bound, with the reason in Error().
  int Start();
  // Stops the device, then the io worker; closes every socket. Idempotent.
  void Stop();

  uint16_t Port() const { return m_bound_port.load(); }
  const std::string& Address() const { return m_address; }
  const std::string& Error() const { return m_error; }  // why the last Start failed
  bool Connected() const { return m_connected.load(); }
  uint64_t Connections() const { return m_connections.load(); }  // accepted so far
  bool WaitForConnections(uint64_t count, int timeout_ms) const;
  bool WaitForDisconnected(int timeout_ms) const;

  // Sends one device message as a frame. 0, or -1 when there is no connection or the write
  // did not finish in time (a frame cut short closes the connection).
  int SendMessage(uint16_t type, const uint8_t* data, uint32_t len);

  // Faults. Each returns 0 when its bytes went out, -1 without a connection.
  // Raw bytes, written as they are in one write.
  int SendRaw(const uint8_t* data, uint32_t len);
  // `garbage_len` bytes that hold no start tag, then a valid frame, in one write.
  int SendGarbageThenFrame(uint32_t garbage_len, uint16_t type, const uint8_t* data, uint32_t len);
  // A frame whose checksum field is one more than it should be.
  int SendBadChecksumFrame(uint16_t type, const uint8_t* data, uint32_t len);
  // A header that announces `claimed_len` (> 65520) payload bytes, followed by 64 filler bytes.
  int SendOversizeFrame(uint32_t claimed_len);
  // Writes the first `bytes_before_close` bytes of a frame, then closes the connection.
  int DropMidFrame(uint16_t type, const uint8_t* data, uint32_t len, uint32_t bytes_before_close);
  // Ends the connection after everything written has gone out (the host reads it all, then the end
  // of the stream), reading on until the host closes: no reset can throw away bytes still in
  // flight. -1 without one.
  int EndConnection();
  // Stops reading the socket for `ms` milliseconds (the host's writes back up meanwhile).
  void StallReading(uint32_t ms);

  // What the parser saw of the host's stream.
  uint64_t FramesReceived() const { return m_parser.Frames(); }
  uint64_t CrcErrors() const { return m_parser.CrcErrors(); }
  uint64_t OversizeErrors() const { return m_parser.OversizeErrors(); }
  uint64_t SkippedBytes() const { return m_parser.SkippedBytes(); }

 private:
  using Socket = std::shared_ptr<asio::ip::tcp::socket>;  // pending handlers keep theirs alive
  void Accept();
  void Adopt(asio::ip::tcp::socket socket);
  // Arms the next wait for data on `socket` (or a short wait while reading is stalled).
  void Read(const Socket& socket);
  void CloseConnection();
  // Writes all bytes to the connection under m_write_mutex (held by the caller). 0 or -1.
  int WriteLocked(const uint8_t* data, uint32_t len);
  void ShutdownLocked();
  int64_t NowMs() const;

  SimDevice& m_device;
  const std::string m_address;
  const uint16_t m_port;
  std::atomic<uint16_t> m_bound_port{0};
  std::string m_error;  // Start's thread only

  // The io worker's: only its thread touches them while it runs.
  asio::io_context m_io;
  asio::ip::tcp::acceptor m_acceptor{m_io};
  asio::steady_timer m_stall_timer{m_io};
  Socket m_io_socket;  // the connection being read
  std::thread m_io_thread;
  std::atomic<bool> m_stop{true};
  std::atomic<int64_t> m_stall_until_ms{0};
  SimFrameParser m_parser;  // io worker only
  std::vector<uint8_t> m_read_buffer;

  // The connection as writers see it: empty once it is shut down, even before the io worker
  // has closed it; the io worker closes it under this lock, so no write overlaps a close.
  std::mutex m_write_mutex;
  Socket m_write_socket;
  std::vector<uint8_t> m_frame;  // encoding buffer, under m_write_mutex

  mutable std::mutex m_state_mutex;
  mutable std::condition_variable m_state_signal;
  std::atomic<bool> m_connected{false};
  std::atomic<uint64_t> m_connections{0};
};
