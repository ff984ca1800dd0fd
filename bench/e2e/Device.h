// The stand-alone device of the network figures: a TCP server thread on 127.0.0.1 and an
// ephemeral port that serves one client at a time, either streaming 4 MiB image frames as fast
// as the socket takes them, or answering every order (type 6) at once with its ACK.
//
// The frames: type-3 pieces of 65428 data bytes (the last one shorter), each piece carrying the
// 80-byte image header. The frame counter (from 1 on each connection) stands in the header's
// first four bytes and in the first four data bytes of every piece; the other data bytes follow
// a fixed pattern of their image offset. FrameTally checks delivered frames against this.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace bench {

constexpr uint32_t kImageSize = 4194304;
constexpr uint32_t kImageHeader = 80;
constexpr uint32_t kPieceData = 65428;
constexpr uint32_t kPieceHeader = 92;
constexpr uint32_t kPieces = (kImageSize + kPieceData - 1) / kPieceData;
constexpr uint32_t kFrameStride =
    65536;  // wire bytes of a full piece: every piece starts at k * 65536

// The wire bytes of one frame (counter 0), and its counter set in place.
std::vector<uint8_t> EncodeImageFrame();
void StampImageFrame(uint8_t* wire, uint32_t counter);
// Image bytes per wire byte of the stream.
double ImageShareOfWire();

// Counts delivered frames (header + image), each checked whole in size and stamps and at
// sample bytes. One thread adds; any thread reads.
class FrameTally {
 public:
  void Add(const uint8_t* frame, uint32_t len);
  uint64_t Frames() const { return m_frames.load(); }
  uint64_t ImageBytes() const { return m_frames.load() * uint64_t{kImageSize}; }
  uint64_t Damaged() const { return m_damaged.load(); }
  uint64_t Lost() const { return m_lost.load(); }

 private:
  std::atomic<uint64_t> m_frames{0}, m_damaged{0}, m_lost{0};
  uint32_t m_next = 1;
};

enum class DeviceMode { Stream, Answer };

class BenchDevice {
 public:
  explicit BenchDevice(DeviceMode mode);
  ~BenchDevice();
  BenchDevice(const BenchDevice&) = delete;
  BenchDevice& operator=(const BenchDevice&) = delete;

  // Listens on 127.0.0.1:0 and starts the device thread; false when nothing could be bound.
  bool Start();
  void Stop();
  uint16_t Port() const { return m_port; }
  pthread_t Thread() { return m_thread.native_handle(); }
  int Tid() const { return m_tid.load(); }
  uint64_t OrdersAnswered() const { return m_answered.load(); }

 private:
  void Run();
  void Stream(int fd);
  void Answer(int fd);

  const DeviceMode m_mode;
  int m_listen_fd = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_tid{0};
  std::atomic<uint64_t> m_answered{0};
  std::vector<uint8_t> m_buffer;  // the encoded frame (Stream), the receive cache (Answer)
  std::thread m_thread;
};

}  // namespace bench
