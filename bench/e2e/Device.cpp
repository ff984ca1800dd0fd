#include "Device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Measure.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "transport/network/FrameCodec.h"

using kestal::LoadU16;
using kestal::LoadU32;
using kestal::StoreU16;
using kestal::StoreU32;

namespace bench {

namespace {

constexpr int kPollMs = 200;
constexpr size_t kAnswerCache = 4 * FrameCodec::kMaxFrameLength;

uint8_t Pattern(uint32_t offset) { return static_cast<uint8_t>(offset * 131 ^ offset >> 9); }

uint32_t PieceLen(uint32_t k) { return k + 1 < kPieces ? kPieceData : kImageSize - k * kPieceData; }

bool SendAll(int fd, const uint8_t* data, size_t len, const std::atomic<bool>& stop) {
  while (len > 0) {
    const ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR) && !stop) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<uint8_t> EncodeImageFrame() {
  std::vector<uint8_t> wire(static_cast<size_t>(kPieces - 1) * kFrameStride +
                            PieceLen(kPieces - 1) + kPieceHeader + FrameCodec::kFrameOverhead);
  std::vector<uint8_t> payload(kPieceHeader + kPieceData);
  for (uint32_t k = 0; k < kPieces; ++k) {
    const uint32_t offset = k * kPieceData, len = PieceLen(k);
    std::fill(payload.begin(), payload.end(), 0);
    StoreU16(payload.data() + 4, OriginalImagePiece);
    StoreU32(payload.data() + ImagePieceLayout::kHeaderImageSize, kImageSize);
    StoreU32(payload.data() + ImagePieceLayout::kImageSize, kImageSize);
    StoreU32(payload.data() + ImagePieceLayout::kPieceOffset, offset);
    StoreU32(payload.data() + ImagePieceLayout::kPieceLen, len);
    for (uint32_t i = 0; i < len; ++i) payload[kPieceHeader + i] = Pattern(offset + i);
    FrameCodec::Encode(OriginalImagePiece, payload.data(), kPieceHeader + len,
                       wire.data() + size_t{k} * kFrameStride,
                       kPieceHeader + len + FrameCodec::kFrameOverhead);
  }
  return wire;
}

void StampImageFrame(uint8_t* wire, uint32_t counter) {
  for (uint32_t k = 0; k < kPieces; ++k) {
    uint8_t* payload = wire + size_t{k} * kFrameStride + FrameCodec::kHeaderLength;
    StoreU32(payload, counter);
    StoreU32(payload + kPieceHeader, counter);
  }
}

double ImageShareOfWire() {
  const double wire =
      static_cast<double>(kPieces) * (kPieceHeader + FrameCodec::kFrameOverhead) + kImageSize;
  return kImageSize / wire;
}

void FrameTally::Add(const uint8_t* frame, uint32_t len) {
  const uint32_t counter = len >= kImageHeader ? LoadU32(frame) : 0;
  bool whole = len == kImageHeader + kImageSize &&
               LoadU32(frame + ImagePieceLayout::kHeaderImageSize) == kImageSize &&
               counter >= m_next;
  const uint8_t* image = frame + kImageHeader;
  for (uint32_t k = 0; whole && k < kPieces; ++k)
    whole = LoadU32(image + k * kPieceData) == counter;
  for (uint32_t j = 0; whole && j < 16; ++j) {
    uint32_t at = (counter * 2654435761u + j * 262139u) % kImageSize;
    if (at % kPieceData < 4) at += 4;
    whole = image[at] == Pattern(at);
  }
  if (!whole) {
    m_damaged.fetch_add(1);
    return;
  }
  m_lost.fetch_add(counter - m_next);
  m_next = counter + 1;
  m_frames.fetch_add(1);
}

BenchDevice::BenchDevice(DeviceMode mode)
    : m_mode(mode),
      m_buffer(mode == DeviceMode::Stream ? EncodeImageFrame()
                                          : std::vector<uint8_t>(kAnswerCache)) {}

BenchDevice::~BenchDevice() { Stop(); }

bool BenchDevice::Start() {
  m_listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t addr_len = sizeof addr;
  if (m_listen_fd < 0 || bind(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(m_listen_fd, 4) != 0 ||
      getsockname(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0)
    return false;
  m_port = ntohs(addr.sin_port);
  m_thread = std::thread([this] { Run(); });
  return true;
}

void BenchDevice::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_listen_fd >= 0) close(m_listen_fd);
  m_listen_fd = -1;
}

void BenchDevice::Run() {
  m_tid = CurrentTid();
  while (!m_stop) {
    pollfd pfd{m_listen_fd, POLLIN, 0};
    if (poll(&pfd, 1, kPollMs) <= 0) continue;
    const int fd = accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    const timeval timeout{0, kPollMs * 1000};
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (m_mode == DeviceMode::Stream)
      Stream(fd);
    else
      Answer(fd);
    close(fd);
  }
}

void BenchDevice::Stream(int fd) {
  for (uint32_t counter = 1; !m_stop; ++counter) {
    StampImageFrame(m_buffer.data(), counter);
    if (!SendAll(fd, m_buffer.data(), m_buffer.size(), m_stop)) return;
  }
}

void BenchDevice::Answer(int fd) {
  std::vector<uint8_t>& cache = m_buffer;
  size_t len = 0;
  while (!m_stop) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, kPollMs) <= 0) continue;
    const ssize_t n = recv(fd, cache.data() + len, cache.size() - len, 0);
    if (n <= 0) return;
    len += static_cast<size_t>(n);
    size_t pos = 0;
    while (len - pos >= FrameCodec::kHeaderLength) {
      const uint8_t* frame = cache.data() + pos;
      if (LoadU32(frame) != FrameCodec::kFrameStartTag) {
        ++pos;
        continue;
      }
      const uint32_t payload_len = LoadU32(frame + 4);
      if (payload_len > FrameCodec::kMaxPayloadLength) {
        ++pos;
        continue;
      }
      if (len - pos < payload_len + FrameCodec::kFrameOverhead) break;
      const uint8_t* payload = frame + FrameCodec::kHeaderLength;
      if (LoadU32(frame + 8) == Order && payload_len >= 4) {
        const uint16_t sub_type = LoadU16(payload + OrderLayout::kSubMsgType);
        uint8_t ack[OrderLayout::kAckReplyData + 4] = {};
        StoreU16(ack, LoadU16(payload + OrderLayout::kSeqNo));
        StoreU16(ack + OrderLayout::kSubMsgType, sub_type);
        const uint32_t reply_len = sub_type == GetFpgaTemp ? 4 : 0;
        StoreU32(ack + 6, reply_len);
        if (reply_len) StoreU32(ack + OrderLayout::kAckReplyData, 6500);
        uint8_t out[sizeof ack + FrameCodec::kFrameOverhead];
        const int32_t out_len =
            FrameCodec::Encode(Order, ack, OrderLayout::kAckReplyData + reply_len, out, sizeof out);
        if (!SendAll(fd, out, static_cast<size_t>(out_len), m_stop)) return;
        m_answered.fetch_add(1);
      }
      pos += payload_len + FrameCodec::kFrameOverhead;
    }
    std::memmove(cache.data(), cache.data() + pos, len - pos);
    len -= pos;
  }
}

}  // namespace bench
