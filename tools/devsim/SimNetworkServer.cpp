#include "SimNetworkServer.h"

#include <algorithm>
#include <chrono>

#include "common/LittleEndian.h"
#include "SimLog.h"
#include "transport/network/FrameCodec.h"

namespace {

constexpr int64_t kStallStepMs = 50;
constexpr uint32_t kReadChunk = 0x10000;

bool WouldBlock(const std::error_code& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again ||
         ec == asio::error::interrupted;
}

}  // namespace

SimNetworkServer::SimNetworkServer(SimDevice& device, std::string address, uint16_t port)
    : m_device(device),
      m_address(std::move(address)),
      m_port(port),
      m_parser([this](uint32_t type, const uint8_t* payload, uint32_t len) {
        m_device.OnHostMessage(static_cast<uint16_t>(type), payload, len);
      }),
      m_read_buffer(kReadChunk),
      m_frame(FrameCodec::kMaxFrameLength) {}

SimNetworkServer::~SimNetworkServer() { Stop(); }

int64_t SimNetworkServer::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int SimNetworkServer::Start() {
  Stop();
  std::error_code ec;
  const asio::ip::address_v4 ip = asio::ip::make_address_v4(m_address, ec);
  if (ec) {
    m_error = "not an IPv4 address";
    return -1;
  }
  // A restarted device keeps its address: port 0 picks a port at the first start only.
  const asio::ip::tcp::endpoint endpoint(ip, m_port ? m_port : m_bound_port.load());
  m_acceptor.open(endpoint.protocol(), ec);
  if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) m_acceptor.bind(endpoint, ec);
  if (!ec) m_acceptor.listen(4, ec);
  if (!ec) m_bound_port = m_acceptor.local_endpoint(ec).port();
  if (ec) {
    m_error = ec.message();
    m_acceptor.close(ec);
    return -1;
  }
  m_stall_until_ms = 0;
  m_stop = false;
  m_io.restart();
  Accept();
  m_io_thread = std::thread([this] { m_io.run(); });
  m_device.Start([this](uint16_t type, const uint8_t* data, uint32_t len) {
    return SendMessage(type, data, len);
  });
  return 0;
}

void SimNetworkServer::Stop() {
  if (!m_io_thread.joinable()) return;
  m_device.Stop();
  m_stop = true;
  // Closing aborts every pending operation; no handler re-arms once m_stop is set, so run() ends.
  asio::post(m_io, [this] {
    std::error_code ec;
    m_acceptor.close(ec);
    m_stall_timer.cancel();
    if (m_io_socket) CloseConnection();
  });
  m_io_thread.join();
}

void SimNetworkServer::Accept() {
  m_acceptor.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (m_stop) return;  // an unadopted socket closes as it goes
    if (!ec) Adopt(std::move(socket));
    Accept();
  });
}

void SimNetworkServer::Adopt(asio::ip::tcp::socket socket) {
  std::error_code ec;
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  // Writers never block in the kernel: they wait in short steps up to their deadline.
  socket.non_blocking(true, ec);
  // The host dials again only when it has given up the old connection.
  if (m_io_socket) CloseConnection();
  m_parser.Reset();
  m_io_socket = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
  {
    std::lock_guard<std::mutex> lock(m_write_mutex);
    m_write_socket = m_io_socket;
  }
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_connected = true;
    ++m_connections;
  }
  m_state_signal.notify_all();
  SimLog("accepted connection %d", static_cast<int>(m_connections.load()));
  Read(m_io_socket);
}

void SimNetworkServer::Read(const Socket& socket) {
  if (m_stop || socket != m_io_socket) return;  // a replaced or closed connection's handler
  // Short steps notice a stall that was shortened.
  const int64_t stall_left = m_stall_until_ms.load() - NowMs();
  if (stall_left > 0) {
    m_stall_timer.expires_after(std::chrono::milliseconds(std::min(stall_left, kStallStepMs)));
    m_stall_timer.async_wait([this, socket](std::error_code) { Read(socket); });
    return;
  }
  // Waits for data and only then reads, so a stall asked for meanwhile holds from this read on.
  socket->async_wait(asio::socket_base::wait_read, [this, socket](std::error_code ec) {
    if (m_stop || socket != m_io_socket) return;
    size_t n = 0;
    if (!ec && m_stall_until_ms.load() <= NowMs())
      n = socket->read_some(asio::buffer(m_read_buffer), ec);
    if (n > 0) m_parser.Append(m_read_buffer.data(), static_cast<uint32_t>(n));
    if (ec && !WouldBlock(ec))
      CloseConnection();  // the end of the stream, or a failure
    else
      Read(socket);
  });
}

void SimNetworkServer::CloseConnection() {
  {
    std::lock_guard<std::mutex> lock(m_write_mutex);
    if (m_write_socket == m_io_socket) m_write_socket.reset();
    std::error_code ec;
    m_io_socket->close(ec);
  }
  m_io_socket.reset();
  m_parser.Reset();
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_connected = false;
  }
  m_state_signal.notify_all();
  SimLog("closed its connection");
}

void SimNetworkServer::ShutdownLocked() {
  if (!m_write_socket) return;
  // The io worker sees the end of the stream and closes the socket itself.
  std::error_code ec;
  m_write_socket->shutdown(asio::socket_base::shutdown_both, ec);
  m_write_socket.reset();
}

int SimNetworkServer::EndConnection() {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  if (!m_write_socket) return -1;
  std::error_code ec;
  m_write_socket->shutdown(asio::socket_base::shutdown_send, ec);
  m_write_socket.reset();
  return 0;
}

int SimNetworkServer::WriteLocked(const uint8_t* data, uint32_t len) {
  if (!m_write_socket) return -1;
  const int64_t deadline = NowMs() + kWriteTimeoutMs;
  uint32_t sent = 0;
  while (sent < len) {
    std::error_code ec;
    sent += static_cast<uint32_t>(
        m_write_socket->write_some(asio::buffer(data + sent, len - sent), ec));
    if (!ec) continue;
    if (WouldBlock(ec) && NowMs() < deadline && !m_stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    // A frame cut short leaves the stream unusable: end the connection.
    if (sent > 0 || !WouldBlock(ec)) ShutdownLocked();
    return -1;
  }
  return 0;
}

int SimNetworkServer::SendMessage(uint16_t type, const uint8_t* data, uint32_t len) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  int32_t n =
      FrameCodec::Encode(type, data, len, m_frame.data(), static_cast<uint32_t>(m_frame.size()));
  if (n < 0) return -1;
  return WriteLocked(m_frame.data(), static_cast<uint32_t>(n));
}

int SimNetworkServer::SendRaw(const uint8_t* data, uint32_t len) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  return WriteLocked(data, len);
}

int SimNetworkServer::SendGarbageThenFrame(uint32_t garbage_len, uint16_t type, const uint8_t* data,
                                           uint32_t len) {
  if (len > FrameCodec::kMaxPayloadLength) return -1;
  std::vector<uint8_t> bytes(garbage_len + len + FrameCodec::kFrameOverhead);
  // Never FF, so no start tag can form inside the garbage or across its end.
  for (uint32_t i = 0; i < garbage_len; ++i) bytes[i] = static_cast<uint8_t>((i * 37u + 5u) % 255u);
  FrameCodec::Encode(type, data, len, bytes.data() + garbage_len,
                     static_cast<uint32_t>(bytes.size() - garbage_len));
  return SendRaw(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int SimNetworkServer::SendBadChecksumFrame(uint16_t type, const uint8_t* data, uint32_t len) {
  if (len > FrameCodec::kMaxPayloadLength) return -1;
  std::vector<uint8_t> bytes(len + FrameCodec::kFrameOverhead);
  FrameCodec::Encode(type, data, len, bytes.data(), static_cast<uint32_t>(bytes.size()));
  uint8_t* crc = bytes.data() + FrameCodec::kHeaderLength + len;
  kestal::StoreU32(crc, kestal::LoadU32(crc) + 1);
  return SendRaw(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int SimNetworkServer::SendOversizeFrame(uint32_t claimed_len) {
  std::vector<uint8_t> bytes(FrameCodec::kHeaderLength + 64, 0x5A);
  kestal::StoreU32(bytes.data(), FrameCodec::kFrameStartTag);
  kestal::StoreU32(bytes.data() + 4, claimed_len);
  kestal::StoreU32(bytes.data() + 8, 6);
  return SendRaw(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int SimNetworkServer::DropMidFrame(uint16_t type, const uint8_t* data, uint32_t len,
                                   uint32_t bytes_before_close) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  if (!m_write_socket) return -1;
  int32_t n =
      FrameCodec::Encode(type, data, len, m_frame.data(), static_cast<uint32_t>(m_frame.size()));
  if (n < 0) return -1;
  if (bytes_before_close > static_cast<uint32_t>(n)) bytes_before_close = static_cast<uint32_t>(n);
  int r = bytes_before_close > 0 ? WriteLocked(m_frame.data(), bytes_before_close) : 0;
  ShutdownLocked();
  SimLog("dropped its connection after %d bytes of a frame", static_cast<int>(bytes_before_close));
  return r;
}

void SimNetworkServer::StallReading(uint32_t ms) { m_stall_until_ms = NowMs() + ms; }

bool SimNetworkServer::WaitForConnections(uint64_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_state_mutex);
  return m_state_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return m_connections.load() >= count && m_connected.load();
  });
}

bool SimNetworkServer::WaitForDisconnected(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_state_mutex);
  return m_state_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return !m_connected.load(); });
}
