// The device simulator's own behaviour that the end-to-end tests rely on but cannot tell
// apart from a fault of the library: its frame parser, its firmware assembly when a file or
// chunk is bad, the determinism of its frames, and its fault injection as a plain loopback
// client sees it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "NetworkTestFrames.h"
#include "common/LittleEndian.h"
#include "devsim/SimDevice.h"
#include "devsim/SimFrameParser.h"
#include "devsim/SimNetworkServer.h"
#include "protocol/HostCommMsg.h"
#include "transport/network/FrameCodec.h"

using kestal::LoadU16;
using kestal::LoadU32;
using kestal::StoreU16;
using kestal::StoreU32;
using namespace std::chrono_literals;

namespace {

struct Sent {
  uint16_t type;
  std::vector<uint8_t> payload;
};

std::vector<uint8_t> MakeOrder(uint16_t seq_no, uint16_t sub_type) {
  std::vector<uint8_t> order(8, 0);
  StoreU16(order.data(), seq_no);
  StoreU16(order.data() + 2, sub_type);
  return order;
}

SimDeviceOptions QuietOptions() {
  SimDeviceOptions o;
  o.status_interval_ms = 0;
  return o;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t salt) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + salt * 7 + (i >> 9)) & 0xFF);
  return v;
}

// The firmware chunks of one file, as the library builds them.
std::vector<std::vector<uint8_t>> FirmwareChunks(const std::vector<uint8_t>& file, uint16_t seq_no, uint16_t type,
                                                 uint32_t check) {
  using L = FirmwareChunkLayout;
  std::vector<std::vector<uint8_t>> chunks;
  const uint32_t len = static_cast<uint32_t>(file.size());
  for (uint32_t off = 0; off < len; off += L::kMaxChunkData) {
    uint32_t n = std::min(len - off, L::kMaxChunkData);
    std::vector<uint8_t> chunk(L::kHeaderLength + n);
    HostCommMsg::BuildFirmwareChunkHeader(chunk.data(), seq_no, type, len, check, off, n);
    std::memcpy(chunk.data() + L::kData, file.data() + off, n);
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

}  // namespace

// ---------------------------------------------------------------- firmware and frames

TEST(SimDeviceFirmware, BadCheckAndBadChunksAreRefused) {
  SimDevice device(QuietOptions());
  // Without status records or streaming the device answers on the calling thread.
  std::vector<std::vector<uint8_t>> acks;
  device.Start([&](uint16_t type, const uint8_t* data, uint32_t len) {
    if (type == UpdateFirmware) acks.emplace_back(data, data + len);
    return 0;
  });
  auto file = Pattern(70000, 3);
  const uint32_t check = HostCommMsg::FirmwareCheck(file.data(), 70000);
  auto chunks = FirmwareChunks(file, 5, 1, check + 1);
  for (auto& c : chunks) device.OnHostMessage(UpdateFirmware, c.data(), static_cast<uint32_t>(c.size()));
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_EQ(LoadU16(acks[0].data() + 4), SimDevice::kFirmwareAckOk);
  EXPECT_EQ(LoadU16(acks[1].data() + 4), SimDevice::kFirmwareAckBadCheck);
  EXPECT_EQ(acks[1][6], 100);
  EXPECT_TRUE(device.FirmwareComplete());
  EXPECT_FALSE(device.FirmwareCheckOk());

  // A chunk reaching past its file, one claiming more data than it carries, and a header
  // cut short: each answered with the bad-chunk code, none writes anything.
  auto good = FirmwareChunks(file, 6, 1, check);
  auto past = good[1];
  StoreU32(past.data() + FirmwareChunkLayout::kChunkOffset, 70000 - 10);
  auto overlong = good[1];
  StoreU32(overlong.data() + FirmwareChunkLayout::kChunkLen, 70000);
  std::vector<uint8_t> cut(good[0].begin(), good[0].begin() + 20);
  for (auto* c : {&past, &overlong, &cut}) device.OnHostMessage(UpdateFirmware, c->data(), static_cast<uint32_t>(c->size()));
  ASSERT_EQ(acks.size(), 5u);
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(LoadU16(acks[i].data() + 4), SimDevice::kFirmwareAckBadChunk) << i;
  device.Stop();
}

// The end-to-end tests compare delivered frames with ExpectedFrame; that only finds mix-ups
// when the frames differ by number, kind and seed.
TEST(SimDeviceStreaming, ExpectedFramesAreDeterministicAndDistinct) {
  SimDeviceOptions o = QuietOptions();
  o.image_size = 1000;
  SimDevice device(o);
  SimDevice same(o);
  o.seed = 2;
  SimDevice other(o);
  EXPECT_EQ(same.ExpectedFrame(3, 3), device.ExpectedFrame(3, 3));
  EXPECT_NE(other.ExpectedFrame(3, 3), device.ExpectedFrame(3, 3));
  EXPECT_NE(device.ExpectedFrame(3, 8), device.ExpectedFrame(3, 3));
  EXPECT_NE(device.ExpectedFrame(4, 3), device.ExpectedFrame(3, 3));
  EXPECT_EQ(LoadU32(device.ExpectedFrame(3, 3).data() + 76), 1000u);
}

// ---------------------------------------------------------------- frame parser

namespace {

struct ParsedFrames {
  std::vector<Sent> frames;
  SimFrameParser parser{[this](uint32_t type, const uint8_t* p, uint32_t n) {
    frames.push_back({static_cast<uint16_t>(type), std::vector<uint8_t>(p, p + n)});
  }};
};

}  // namespace

TEST(SimFrameParser, FindsFramesAcrossEveryChunkBoundary) {
  const auto a = Frame(6, Pattern(40, 1));
  const auto b = Frame(9, Pattern(7, 2));
  // Garbage holding partial tags; none of it joins the next frame's tag into a false one.
  const auto stream = Concat({{0, 0xFF, 0xFF, 0, 0x12}, a, {0xFF, 0xFF, 0x00}, b});
  for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
    for (size_t cut2 = cut1; cut2 <= stream.size(); cut2 += 5) {
      ParsedFrames p;
      p.parser.Append(stream.data(), static_cast<uint32_t>(cut1));
      p.parser.Append(stream.data() + cut1, static_cast<uint32_t>(cut2 - cut1));
      p.parser.Append(stream.data() + cut2, static_cast<uint32_t>(stream.size() - cut2));
      ASSERT_EQ(p.frames.size(), 2u) << cut1 << "/" << cut2;
      EXPECT_EQ(p.frames[0].payload, Pattern(40, 1));
      EXPECT_EQ(p.frames[1].type, 9);
      EXPECT_EQ(p.frames[1].payload, Pattern(7, 2));
      EXPECT_EQ(p.parser.CachedBytes(), 0u);
      EXPECT_EQ(p.parser.SkippedBytes(), 8u);
    }
  }
}

TEST(SimFrameParser, RejectsLikeTheLibrary) {
  auto good = Frame(6, Pattern(20, 1));
  auto bad = good;
  bad[bad.size() - 4] ^= 1;
  ParsedFrames p;
  // A bad checksum drops the cache, the good frame behind it included.
  auto chunk = Concat({good, bad, good});
  p.parser.Append(chunk.data(), static_cast<uint32_t>(chunk.size()));
  EXPECT_EQ(p.frames.size(), 1u);
  EXPECT_EQ(p.parser.CrcErrors(), 1u);
  EXPECT_EQ(p.parser.CachedBytes(), 0u);
  p.parser.Append(good.data(), static_cast<uint32_t>(good.size()));
  EXPECT_EQ(p.frames.size(), 2u);

  // Type 3 carries no checksum and is accepted whatever its field holds; type 2 must carry 0;
  // a type of 0x00010002 is not exempt.
  auto t3 = Frame(3, Pattern(10, 3));
  t3[t3.size() - 1] = 0x77;
  auto t2 = Frame(2, Pattern(10, 3));
  t2[t2.size() - 4] = 1;
  p.parser.Append(t3.data(), static_cast<uint32_t>(t3.size()));
  EXPECT_EQ(p.frames.size(), 3u);
  p.parser.Append(t2.data(), static_cast<uint32_t>(t2.size()));
  EXPECT_EQ(p.frames.size(), 3u);
  auto wide = Frame(2, Pattern(10, 3));
  wide[10] = 1;  // type 0x00010002 with checksum 0
  p.parser.Append(wide.data(), static_cast<uint32_t>(wide.size()));
  EXPECT_EQ(p.frames.size(), 3u);
  EXPECT_EQ(p.parser.CrcErrors(), 3u);

  // The largest payload passes, one byte more is refused at once.
  auto largest = Frame(6, Pattern(65520, 5));
  p.parser.Append(largest.data(), static_cast<uint32_t>(largest.size()));
  ASSERT_EQ(p.frames.size(), 4u);
  EXPECT_EQ(p.frames.back().payload.size(), 65520u);
  std::vector<uint8_t> over = {0xFF, 0xFF, 0xFF, 0xFF, 0xF1, 0xFF, 0, 0, 6, 0, 0, 0};
  p.parser.Append(over.data(), static_cast<uint32_t>(over.size()));
  EXPECT_EQ(p.parser.OversizeErrors(), 1u);
  EXPECT_EQ(p.parser.CachedBytes(), 0u);
}

// ---------------------------------------------------------------- TCP half

namespace {

// A minimal blocking loopback client that speaks frames.
class Client {
 public:
  explicit Client(uint16_t port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_ok = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() {
    if (m_fd >= 0) ::close(m_fd);
  }
  bool ok() const { return m_ok; }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Reads exactly n bytes; fewer when the stream ends or 2 s pass.
  std::vector<uint8_t> Read(size_t n, int timeout_ms = 2000) {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{m_fd, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      uint8_t buf[4096];
      ssize_t r = ::recv(m_fd, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) {
        m_eof = true;
        break;
      }
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  // Reads one frame; returns its type and payload (type 0xFFFF when none arrived).
  Sent ReadFrame() {
    auto head = Read(12);
    if (head.size() < 12) return {0xFFFF, {}};
    uint32_t len = LoadU32(head.data() + 4);
    auto rest = Read(len + 4);
    auto frame = Concat({head, rest});
    if (frame.size() != len + 16) return {0xFFFF, {}};
    uint32_t type = LoadU32(head.data() + 8);
    uint32_t crc = (type == 2 || type == 3) ? 0 : FrameCodec::CalcCrc(frame.data() + 4, len + 8);
    EXPECT_EQ(LoadU32(frame.data() + 12 + len), crc);
    return {static_cast<uint16_t>(type), std::vector<uint8_t>(frame.begin() + 12, frame.end() - 4)};
  }
  bool Eof() const { return m_eof; }

 private:
  int m_fd = -1;
  bool m_ok = false;
  bool m_eof = false;
};

}  // namespace

TEST(SimNetworkServer, ServesOrdersStallsAndFaultsOverLoopback) {
  SimDevice device(QuietOptions());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  ASSERT_NE(server.Port(), 0);
  EXPECT_LT(server.SendMessage(Order, nullptr, 0), 0);  // nobody connected yet

  Client client(server.Port());
  ASSERT_TRUE(client.ok());
  ASSERT_TRUE(server.WaitForConnections(1, 2000));

  // A stall holds the host's bytes back (the end-to-end firmware test relies on it).
  server.StallReading(400);
  const auto t0 = std::chrono::steady_clock::now();
  client.Send(Frame(ArmMsg, Pattern(64, 2)));
  EXPECT_FALSE(device.WaitForHostMessages(ArmMsg, 1, 200));
  ASSERT_TRUE(device.WaitForHostMessages(ArmMsg, 1, 2000));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 350ms);
  EXPECT_EQ(device.HostArmMessages()[0].payload, Pattern(64, 2));

  auto order = MakeOrder(11, GetFpgaTemp);
  client.Send(Frame(Order, order));
  Sent ack = client.ReadFrame();
  ASSERT_EQ(ack.type, Order);
  EXPECT_EQ(LoadU16(ack.payload.data()), 11);
  EXPECT_EQ(LoadU32(ack.payload.data() + 10), 6500u);

  // Garbage from the host is skipped, a bad checksum counted, good frames still served.
  client.Send(Concat({{1, 2, 3}, Frame(Order, MakeOrder(12, 0))}));
  EXPECT_EQ(client.ReadFrame().type, Order);
  auto bad = Frame(Order, MakeOrder(13, 0));
  bad.back() ^= 0x40;
  client.Send(bad);
  // Sent apart: a good frame in the same chunk as the bad one would be dropped with it.
  for (int i = 0; i < 100 && server.CrcErrors() == 0; ++i) std::this_thread::sleep_for(10ms);
  client.Send(Frame(Order, MakeOrder(14, 0)));
  Sent ack14 = client.ReadFrame();
  EXPECT_EQ(LoadU16(ack14.payload.data()), 14);
  EXPECT_EQ(server.SkippedBytes(), 3u);
  EXPECT_EQ(server.CrcErrors(), 1u);
  EXPECT_EQ(server.FramesReceived(), 4u);  // the arm message and three orders

  // Each fault as the host sees it.
  const auto payload = Pattern(100, 6);
  ASSERT_EQ(server.SendGarbageThenFrame(5, Order, payload.data(), 100), 0);
  auto garbage = client.Read(5);
  ASSERT_EQ(garbage.size(), 5u);
  for (uint8_t b : garbage) EXPECT_NE(b, 0xFF);
  EXPECT_EQ(client.ReadFrame().payload, payload);

  ASSERT_EQ(server.SendBadChecksumFrame(Order, payload.data(), 100), 0);
  auto crc_bad = client.Read(116);
  ASSERT_EQ(crc_bad.size(), 116u);
  EXPECT_EQ(LoadU32(crc_bad.data() + 112), FrameCodec::CalcCrc(crc_bad.data() + 4, 108) + 1);

  ASSERT_EQ(server.SendOversizeFrame(70000), 0);
  auto over = client.Read(76);
  ASSERT_EQ(over.size(), 76u);
  EXPECT_EQ(LoadU32(over.data()), 0xFFFFFFFFu);
  EXPECT_EQ(LoadU32(over.data() + 4), 70000u);

  ASSERT_EQ(server.DropMidFrame(Order, payload.data(), 100, 30), 0);
  EXPECT_EQ(client.Read(200).size(), 30u);
  EXPECT_TRUE(client.Eof());
  ASSERT_TRUE(server.WaitForDisconnected(2000));
  EXPECT_LT(server.SendMessage(Order, payload.data(), 100), 0);

  // The host dials again and is served from a clean parser.
  Client again(server.Port());
  ASSERT_TRUE(server.WaitForConnections(2, 2000));
  again.Send(Frame(Order, MakeOrder(15, GetDeviceStaticInfo)));
  Sent info = again.ReadFrame();
  EXPECT_EQ(LoadU16(info.payload.data()), 15);
  EXPECT_EQ(info.payload.size(), 22u);
  server.Stop();
  server.Stop();
  EXPECT_TRUE(again.Read(1, 500).empty());
  EXPECT_TRUE(again.Eof());
}
