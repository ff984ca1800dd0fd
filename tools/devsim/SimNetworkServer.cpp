#include "SimNetworkServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/LittleEndian.h"
#include "common/Log.h"
#include "transport/network/FrameCodec.h"

namespace {

constexpr int kPollStepMs = 50;
constexpr uint32_t kReadChunk = 0x10000;
constexpr int kReadsPerPass = 16;  // then look at the stop flag and the listener again
constexpr const char* kLoopIo = "SimNetworkServer::Start.IoWorker";

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
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(m_port);
  if (inet_pton(AF_INET, m_address.c_str(), &addr.sin_addr) != 1) {
    KLOG_DEBUG("Device simulator: not an IPv4 address:%s", m_address.c_str());
    return -1;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
    KLOG_DEBUG("Device simulator: cannot listen on %s:%d, errno %d", m_address.c_str(), m_port, errno);
    ::close(fd);
    return -1;
  }
  sockaddr_in bound{};
  socklen_t bound_len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
  m_bound_port = ntohs(bound.sin_port);
  m_listen_fd = fd;
  m_stall_until_ms = 0;
  m_stop = false;
  m_io_thread = std::thread(&SimNetworkServer::LoopIo, this);
  m_device.Start([this](uint16_t type, const uint8_t* data, uint32_t len) { return SendMessage(type, data, len); });
  KLOG_DEBUG("Device simulator listening on %s:%d", m_address.c_str(), static_cast<int>(m_bound_port.load()));
  return 0;
}

void SimNetworkServer::Stop() {
  if (m_io_thread.joinable()) {
    m_device.Stop();
    m_stop = true;
    m_io_thread.join();
  }
  if (m_io_fd >= 0) CloseConnection(m_io_fd);
  if (m_listen_fd >= 0) {
    ::close(m_listen_fd);
    m_listen_fd = -1;
  }
}

void SimNetworkServer::LoopIo() {
  while (!m_stop) {
    pollfd fds[2] = {};
    nfds_t count = 1;
    fds[0].fd = m_listen_fd;
    fds[0].events = POLLIN;
    const int64_t stall_left = m_stall_until_ms.load() - NowMs();
    if (m_io_fd >= 0 && stall_left <= 0) {
      fds[1].fd = m_io_fd;
      fds[1].events = POLLIN;
      count = 2;
    }
    int r = ::poll(fds, count, kPollStepMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      KLOG_DEBUG_AS(kLoopIo, "Device simulator: poll failed, errno %d", errno);
      break;
    }
    if (r == 0) continue;
    if (fds[0].revents & POLLIN) Accept();
    if (count == 2 && fds[1].fd == m_io_fd && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!ReadAvailable(m_io_fd)) CloseConnection(m_io_fd);
    }
  }
}

void SimNetworkServer::Accept() {
  int fd = ::accept4(m_listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // The host dials again only when it has given up the old connection.
  if (m_io_fd >= 0) CloseConnection(m_io_fd);
  m_parser.Reset();
  m_io_fd = fd;
  {
    std::lock_guard<std::mutex> lock(m_write_mutex);
    m_write_fd = fd;
  }
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_connected = true;
    ++m_connections;
  }
  m_state_signal.notify_all();
  KLOG_DEBUG_AS(kLoopIo, "Device simulator accepted connection %d", static_cast<int>(m_connections.load()));
}

bool SimNetworkServer::ReadAvailable(int fd) {
  for (int i = 0; i < kReadsPerPass; ++i) {
    // A stall asked for while poll was waiting holds from the very next read on.
    if (m_stall_until_ms.load() > NowMs()) return true;
    ssize_t n = ::recv(fd, m_read_buffer.data(), m_read_buffer.size(), 0);
    if (n > 0) {
      m_parser.Append(m_read_buffer.data(), static_cast<uint32_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
  return true;
}

void SimNetworkServer::CloseConnection(int fd) {
  {
    std::lock_guard<std::mutex> lock(m_write_mutex);
    if (m_write_fd == fd) m_write_fd = -1;
  }
  ::close(fd);
  if (m_io_fd == fd) m_io_fd = -1;
  m_parser.Reset();
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_connected = false;
  }
  m_state_signal.notify_all();
  KLOG_DEBUG_AS(kLoopIo, "Device simulator closed its connection");
}

void SimNetworkServer::ShutdownLocked() {
  if (m_write_fd < 0) return;
  // The io worker sees the end of the stream and closes the descriptor itself.
  ::shutdown(m_write_fd, SHUT_RDWR);
  m_write_fd = -1;
}

int SimNetworkServer::WriteLocked(const uint8_t* data, uint32_t len) {
  if (m_write_fd < 0) return -1;
  const int64_t deadline = NowMs() + kWriteTimeoutMs;
  uint32_t sent = 0;
  while (sent < len) {
    ssize_t n = ::send(m_write_fd, data + sent, len - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int64_t left = deadline - NowMs();
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && left > 0 && !m_stop) {
      pollfd pfd{m_write_fd, POLLOUT, 0};
      ::poll(&pfd, 1, static_cast<int>(left < kPollStepMs ? left : kPollStepMs));
      continue;
    }
    // A frame cut short leaves the stream unusable: end the connection.
    if (sent > 0 || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ShutdownLocked();
    return -1;
  }
  return 0;
}

int SimNetworkServer::SendMessage(uint16_t type, const uint8_t* data, uint32_t len) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  int32_t n = FrameCodec::Encode(type, data, len, m_frame.data(), static_cast<uint32_t>(m_frame.size()));
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
  FrameCodec::Encode(type, data, len, bytes.data() + garbage_len, static_cast<uint32_t>(bytes.size() - garbage_len));
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

int SimNetworkServer::DropMidFrame(uint16_t type, const uint8_t* data, uint32_t len, uint32_t bytes_before_close) {
  std::lock_guard<std::mutex> lock(m_write_mutex);
  if (m_write_fd < 0) return -1;
  int32_t n = FrameCodec::Encode(type, data, len, m_frame.data(), static_cast<uint32_t>(m_frame.size()));
  if (n < 0) return -1;
  if (bytes_before_close > static_cast<uint32_t>(n)) bytes_before_close = static_cast<uint32_t>(n);
  int r = bytes_before_close > 0 ? WriteLocked(m_frame.data(), bytes_before_close) : 0;
  ShutdownLocked();
  KLOG_DEBUG("Device simulator dropped its connection after %d bytes of a frame", static_cast<int>(bytes_before_close));
  return r;
}

void SimNetworkServer::StallReading(uint32_t ms) { m_stall_until_ms = NowMs() + ms; }

bool SimNetworkServer::WaitForConnections(uint64_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_state_mutex);
  return m_state_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return m_connections.load() >= count && m_connected.load(); });
}

bool SimNetworkServer::WaitForDisconnected(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_state_mutex);
  return m_state_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !m_connected.load(); });
}
