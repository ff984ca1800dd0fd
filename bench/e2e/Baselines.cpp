#include "Baselines.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Measure.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "transport/network/FrameCodec.h"
#include "transport/storage/VolumeArea.h"

using kestal::LoadU16;
using kestal::LoadU32;
using kestal::StoreU16;

namespace bench {

namespace {

constexpr uint32_t kReadSize = 65536;  // the library's receive buffers are this large too

bool RecvAll(int fd, uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = recv(fd, data, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int ConnectLoopback(uint16_t port, int timeout_ms) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

StreamClient::StreamClient(uint16_t port, bool parse) : m_port(port), m_parse(parse) {}

StreamClient::~StreamClient() { Stop(); }

bool StreamClient::Start() {
  m_fd = ConnectLoopback(m_port, 200);
  if (m_fd < 0) return false;
  m_thread = std::thread([this] { m_parse ? ParseLoop() : RecvLoop(); });
  return true;
}

void StreamClient::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

void StreamClient::RecvLoop() {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadSize]);
  while (!m_stop) {
    const ssize_t n = recv(m_fd, buffer.get(), kReadSize, 0);
    if (n > 0)
      m_wire_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      return;
  }
}

void StreamClient::ParseLoop() {
  const size_t capacity = 2 * FrameCodec::kMaxFrameLength + kReadSize;
  std::unique_ptr<uint8_t[]> cache(new uint8_t[capacity]);
  std::unique_ptr<uint8_t[]> frame(new uint8_t[kImageHeader + kImageSize]);
  size_t len = 0;
  uint32_t next_offset = 0;
  while (!m_stop) {
    const size_t room = capacity - len < kReadSize ? capacity - len : kReadSize;
    const ssize_t n = recv(m_fd, cache.get() + len, room, 0);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) return;
      continue;
    }
    m_wire_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    len += static_cast<size_t>(n);
    size_t pos = 0;
    while (len - pos >= FrameCodec::kHeaderLength) {
      const uint8_t* wire = cache.get() + pos;
      const uint32_t payload_len = LoadU32(wire + 4);
      if (LoadU32(wire) != FrameCodec::kFrameStartTag ||
          payload_len > FrameCodec::kMaxPayloadLength) {
        m_bad_pieces.fetch_add(1);
        return;
      }
      if (len - pos < payload_len + FrameCodec::kFrameOverhead) break;
      const uint8_t* payload = wire + FrameCodec::kHeaderLength;
      const uint32_t offset = LoadU32(payload + ImagePieceLayout::kPieceOffset);
      const uint32_t piece_len = LoadU32(payload + ImagePieceLayout::kPieceLen);
      if (LoadU32(wire + 8) != OriginalImagePiece || offset != next_offset ||
          piece_len + kPieceHeader > payload_len || offset + piece_len > kImageSize) {
        m_bad_pieces.fetch_add(1);
        return;
      }
      std::memcpy(frame.get(), payload, kImageHeader);
      std::memcpy(frame.get() + kImageHeader + offset, payload + kPieceHeader, piece_len);
      next_offset = offset + piece_len;
      if (next_offset == kImageSize) {
        m_tally.Add(frame.get(), kImageHeader + kImageSize);
        next_offset = 0;
      }
      pos += payload_len + FrameCodec::kFrameOverhead;
    }
    std::memmove(cache.get(), cache.get() + pos, len - pos);
    len -= pos;
  }
}

bool PlainRoundTrips(uint16_t port, uint32_t warmup, uint32_t count, std::vector<double>* us) {
  const int fd = ConnectLoopback(port, 1000);
  if (fd < 0) return false;
  uint8_t order[OrderLayout::kHeaderLength] = {};
  uint8_t frame[sizeof order + FrameCodec::kFrameOverhead];
  uint8_t ack[FrameCodec::kMaxFrameLength];
  StoreU16(order + OrderLayout::kSubMsgType, GetFpgaTemp);
  bool ok = true;
  for (uint32_t i = 0; ok && i < warmup + count; ++i) {
    const uint16_t seq = static_cast<uint16_t>(i + 1);
    StoreU16(order + OrderLayout::kSeqNo, seq);
    const int32_t n = FrameCodec::Encode(Order, order, sizeof order, frame, sizeof frame);
    const int64_t start = NowNs();
    ok = send(fd, frame, static_cast<size_t>(n), MSG_NOSIGNAL) == n &&
         RecvAll(fd, ack, FrameCodec::kHeaderLength);
    const uint32_t payload_len = LoadU32(ack + 4);
    ok = ok && payload_len <= FrameCodec::kMaxPayloadLength &&
         RecvAll(fd, ack + FrameCodec::kHeaderLength, payload_len + 4) &&
         LoadU32(ack + 8) == Order && LoadU16(ack + FrameCodec::kHeaderLength) == seq;
    if (ok && i >= warmup) us->push_back(static_cast<double>(NowNs() - start) / 1e3);
  }
  close(fd);
  return ok;
}

IdleSocket::~IdleSocket() { Stop(); }

bool IdleSocket::Start() {
  m_fd = ConnectLoopback(m_port, 0);
  if (m_fd < 0) return false;
  m_thread = std::thread([fd = m_fd] {
    uint8_t buffer[4096];
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  });
  return true;
}

void IdleSocket::Stop() {
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
  if (m_thread.joinable()) m_thread.join();
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

ReadStats PlainReads(const std::string& image, uint32_t block, uint32_t count, int64_t max_ms) {
  ReadStats stats;
  int fd = open(image.c_str(), O_RDWR | O_CLOEXEC | O_DIRECT);
  stats.direct = fd >= 0;
  if (fd < 0) fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
  void* buffer = nullptr;
  if (fd < 0 || posix_memalign(&buffer, 4096, block) != 0) {
    if (fd >= 0) close(fd);
    return stats;
  }
  const VolumeArea& area = kVolumeAreas[kVolumeTypeDeviceToHost];
  const uint32_t slots = area.DataSize() / block;
  std::vector<double> us;
  us.reserve(count);
  const int64_t start = NowNs(), deadline = start + max_ms * 1000000;
  for (uint32_t i = 0; i < count && NowNs() < deadline; ++i) {
    const int64_t t0 = NowNs();
    if (pread(fd, buffer, block, static_cast<off_t>(area.data_start) + off_t{i % slots} * block) !=
        block)
      break;
    us.push_back(static_cast<double>(NowNs() - t0) / 1e3);
  }
  const double seconds = Seconds(NowNs() - start);
  stats.per_second = seconds > 0 ? static_cast<double>(us.size()) / seconds : 0;
  stats.p50_us = Percentile(us, 50);
  stats.p99_us = Percentile(us, 99);
  std::free(buffer);
  close(fd);
  return stats;
}

}  // namespace bench
