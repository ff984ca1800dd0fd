// The device simulator on its own: the message-level device against a recording send
// function, its frame parser, and its TCP half against a plain loopback client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "devsim/SimDevice.h"
#include "devsim/SimFrameParser.h"
#include "devsim/SimNetworkServer.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "protocol/ImageFrameAssembler.h"
#include "service/ServiceGlobals.h"
#include "protocol/HostCommProtocolImpl.h"
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

// Records every message the device sends.
class Recorder {
 public:
  SimDevice::SendFn Fn() {
    return [this](uint16_t type, const uint8_t* data, uint32_t len) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_sent.push_back({type, std::vector<uint8_t>(data, data + len)});
      m_signal.notify_all();
      return 0;
    };
  }
  std::vector<Sent> All() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sent;
  }
  std::vector<Sent> OfType(uint16_t type) const {
    std::vector<Sent> out;
    for (auto& s : All())
      if (s.type == type) out.push_back(s);
    return out;
  }
  bool WaitFor(uint16_t type, size_t count, std::chrono::milliseconds timeout = 3000ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_signal.wait_for(lock, timeout, [&] {
      size_t n = 0;
      for (auto& s : m_sent) n += s.type == type;
      return n >= count;
    });
  }
  size_t Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sent.size();
  }

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_signal;
  std::vector<Sent> m_sent;
};

std::vector<uint8_t> MakeOrder(uint16_t seq_no, uint16_t sub_type, std::vector<uint8_t> params = {}) {
  std::vector<uint8_t> order(8 + params.size());
  StoreU16(order.data(), seq_no);
  StoreU16(order.data() + 2, sub_type);
  StoreU32(order.data() + 4, static_cast<uint32_t>(params.size()));
  if (!params.empty()) std::memcpy(order.data() + 8, params.data(), params.size());
  return order;
}

void SendOrder(SimDevice& device, uint16_t seq_no, uint16_t sub_type) {
  auto order = MakeOrder(seq_no, sub_type);
  device.OnHostMessage(Order, order.data(), static_cast<uint32_t>(order.size()));
}

SimDeviceOptions QuietOptions() {
  SimDeviceOptions o;
  o.status_interval_ms = 0;
  return o;
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

std::vector<uint8_t> Pattern(size_t n, uint32_t salt) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + salt * 7 + (i >> 9)) & 0xFF);
  return v;
}

}  // namespace

// ---------------------------------------------------------------- orders

TEST(SimDeviceOrders, EveryOrderIsAcknowledgedWithItsSeqNoAndSubType) {
  SimDevice device(QuietOptions());
  Recorder rec;
  device.Start(rec.Fn());
  const uint16_t subs[] = {0, 21, 22, 27, 28, 70, 80, 99};
  uint16_t seq = 65530;
  for (uint16_t sub : subs) SendOrder(device, seq++, sub);
  auto acks = rec.OfType(Order);
  ASSERT_EQ(acks.size(), std::size(subs));
  seq = 65530;
  for (size_t i = 0; i < acks.size(); ++i) {
    ASSERT_EQ(acks[i].payload.size(), 10u) << "no reply data for sub type " << subs[i];
    EXPECT_EQ(LoadU16(acks[i].payload.data()), seq++);
    EXPECT_EQ(LoadU16(acks[i].payload.data() + 2), subs[i]);
  }
  // Everything the host sent is recorded in order.
  auto host = device.HostMessages();
  ASSERT_EQ(host.size(), std::size(subs));
  EXPECT_EQ(LoadU16(host[5].payload.data() + 2), 70);

  // Too short to carry seq_no and sub type: recorded, not answered.
  uint8_t tiny[3] = {1, 2, 3};
  device.OnHostMessage(Order, tiny, 3);
  EXPECT_EQ(rec.OfType(Order).size(), std::size(subs));
  EXPECT_EQ(device.HostMessages().size(), std::size(subs) + 1);
  device.Stop();
}

TEST(SimDeviceOrders, InformationRepliesDecodeInTheLibrary) {
  SimDeviceOptions o = QuietOptions();
  o.fpga_temp_raw = 7000;  // 30.00 degrees
  SimDevice device(o);
  Recorder rec;
  device.Start(rec.Fn());
  SendOrder(device, 7, GetSensorRegMap);
  SendOrder(device, 8, GetDeviceStaticInfo);
  SendOrder(device, 9, GetFpgaTemp);
  auto acks = rec.OfType(Order);
  ASSERT_EQ(acks.size(), 3u);

  const auto& map = acks[0].payload;
  ASSERT_GE(map.size(), 138u);
  EXPECT_EQ(std::vector<uint8_t>(map.begin() + 10, map.end()), device.SensorMap());
  EXPECT_EQ(map[11], 0x01);
  EXPECT_EQ(map[12], 0xE0);  // roi_height 480

  const auto& info = acks[1].payload;
  ASSERT_EQ(info.size(), 22u);
  EXPECT_EQ(info[10], 1);
  EXPECT_EQ(info[11], 2);
  EXPECT_EQ(LoadU16(info.data() + 12), 3);
  EXPECT_EQ(LoadU16(info.data() + 14), 45);
  EXPECT_EQ(info[16], 2);
  EXPECT_EQ(LoadU16(info.data() + 20), 12);

  ASSERT_EQ(acks[2].payload.size(), 14u);
  EXPECT_EQ(LoadU32(acks[2].payload.data() + 10), 7000u);

  // The library's own dispatcher reads the same fields.
  LogCapture log;
  auto& engine = KestalHostCommServiceAccess::Engine();
  for (auto& ack : acks) engine.DealMsg(Order, ack.payload.data(), static_cast<uint32_t>(ack.payload.size()));
  EXPECT_TRUE(log.Contains("Recv sensor map, temp:01, 9a, roi_height:01, e0, start:00, 10"));
  EXPECT_TRUE(log.Contains("Recv sensor map, flip:00, exposure:00, 27, 10, gain:20"));
  EXPECT_TRUE(log.Contains("Static fpga version:2.0.7.0012, app version:1.2.3.0045"));
  EXPECT_TRUE(log.Contains("Fpga temp:30.00"));
  EXPECT_TRUE(log.Contains("Recv order to get fpga temp ACK:9"));
  device.Stop();
}

TEST(SimDeviceOrders, ConfigurationIsReadBackAsWritten) {
  SimDevice device(QuietOptions());
  Recorder rec;
  device.Start(rec.Fn());
  auto read = MakeOrder(3, 1);
  device.OnHostMessage(ReadConfig, read.data(), static_cast<uint32_t>(read.size()));
  auto first = rec.OfType(ReadConfig);
  ASSERT_EQ(first.size(), 1u);
  const auto& ack = first[0].payload;
  ASSERT_GE(ack.size(), 10u);
  EXPECT_EQ(LoadU16(ack.data()), 3);
  EXPECT_EQ(LoadU16(ack.data() + 2), 1);
  EXPECT_EQ(LoadU16(ack.data() + 4), 0);
  EXPECT_EQ(LoadU32(ack.data() + 6), ack.size() - 10);
  EXPECT_EQ(std::vector<uint8_t>(ack.begin() + 10, ack.end()), device.ConfigFile());
  EXPECT_GT(ack.size(), 10u + 128u);  // long enough for several dump lines

  auto file = Pattern(300, 4);
  auto write = MakeOrder(4, 2, file);
  device.OnHostMessage(WriteConfig, write.data(), static_cast<uint32_t>(write.size()));
  auto bad = MakeOrder(5, 2, {1, 2, 3});
  StoreU32(bad.data() + 4, 4);  // claims one byte more than it carries
  device.OnHostMessage(WriteConfig, bad.data(), static_cast<uint32_t>(bad.size()));
  auto wacks = rec.OfType(WriteConfig);
  ASSERT_EQ(wacks.size(), 2u);
  EXPECT_EQ(wacks[0].payload, (std::vector<uint8_t>{4, 0, 2, 0, 0, 0}));
  EXPECT_EQ(wacks[1].payload, (std::vector<uint8_t>{5, 0, 2, 0, 1, 0}));

  device.OnHostMessage(ReadConfig, read.data(), static_cast<uint32_t>(read.size()));
  auto second = rec.OfType(ReadConfig);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(LoadU32(second[1].payload.data() + 6), 300u);
  EXPECT_EQ(std::vector<uint8_t>(second[1].payload.begin() + 10, second[1].payload.end()), file);
  device.Stop();
}

TEST(SimDeviceOrders, ArmMessagesAreRecordedAndRelayed) {
  SimDevice device(QuietOptions());
  Recorder rec;
  uint8_t arm[5] = {9, 8, 7, 6, 5};
  EXPECT_LT(device.SendArmMsg(arm, 5), 0);  // not started: nowhere to send
  device.Start(rec.Fn());
  auto host_arm = Pattern(64, 1);
  device.OnHostMessage(ArmMsg, host_arm.data(), 64);
  EXPECT_TRUE(rec.All().empty());  // the device does not answer arm messages
  ASSERT_EQ(device.HostArmMessages().size(), 1u);
  EXPECT_EQ(device.HostArmMessages()[0].payload, host_arm);
  EXPECT_EQ(device.SendArmMsg(arm, 5), 0);
  auto sent = rec.OfType(ArmMsg);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].payload, std::vector<uint8_t>(arm, arm + 5));
  device.Stop();
  EXPECT_LT(device.SendArmMsg(arm, 5), 0);
}

// ---------------------------------------------------------------- firmware

TEST(SimDeviceFirmware, ChunksAssembleInAnyOrderAndProgressReaches100) {
  SimDevice device(QuietOptions());
  Recorder rec;
  device.Start(rec.Fn());
  auto file = Pattern(200001, 9);  // odd length: the last byte counts in the check
  const uint32_t check = HostCommMsg::FirmwareCheck(file.data(), static_cast<uint32_t>(file.size()));
  auto chunks = FirmwareChunks(file, 77, 2, check);
  ASSERT_EQ(chunks.size(), 4u);
  // The first chunk starts the file; the rest arrive out of order, one of them twice.
  for (int i : {0, 2, 2, 1, 3}) device.OnHostMessage(UpdateFirmware, chunks[i].data(), static_cast<uint32_t>(chunks[i].size()));
  auto acks = rec.OfType(UpdateFirmware);
  ASSERT_EQ(acks.size(), 5u);
  int last_progress = -1;
  for (size_t i = 0; i < acks.size(); ++i) {
    const auto& a = acks[i].payload;
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(LoadU16(a.data()), 77);
    EXPECT_EQ(LoadU16(a.data() + 2), 2);
    EXPECT_EQ(LoadU16(a.data() + 4), SimDevice::kFirmwareAckOk);
    EXPECT_GE(a[6], last_progress);
    last_progress = a[6];
    if (i + 1 < acks.size()) {
      EXPECT_LT(a[6], 100) << "chunk " << i;
      EXPECT_EQ(a[7], SimDevice::kFirmwareStepReceiving);
    }
  }
  EXPECT_EQ(acks[2].payload[6], acks[1].payload[6]);  // the repeated chunk adds nothing
  EXPECT_EQ(acks.back().payload[6], 100);
  EXPECT_EQ(acks.back().payload[7], SimDevice::kFirmwareStepDone);
  EXPECT_TRUE(device.FirmwareComplete());
  EXPECT_TRUE(device.FirmwareCheckOk());
  EXPECT_EQ(device.FirmwareImage(), file);
  device.Stop();
}

TEST(SimDeviceFirmware, BadCheckAndBadChunksAreRefused) {
  SimDevice device(QuietOptions());
  Recorder rec;
  device.Start(rec.Fn());
  auto file = Pattern(70000, 3);
  const uint32_t check = HostCommMsg::FirmwareCheck(file.data(), 70000);
  auto chunks = FirmwareChunks(file, 5, 1, check + 1);
  for (auto& c : chunks) device.OnHostMessage(UpdateFirmware, c.data(), static_cast<uint32_t>(c.size()));
  auto acks = rec.OfType(UpdateFirmware);
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_EQ(LoadU16(acks[0].payload.data() + 4), SimDevice::kFirmwareAckOk);
  EXPECT_EQ(LoadU16(acks[1].payload.data() + 4), SimDevice::kFirmwareAckBadCheck);
  EXPECT_EQ(acks[1].payload[6], 100);
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
  acks = rec.OfType(UpdateFirmware);
  ASSERT_EQ(acks.size(), 5u);
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(LoadU16(acks[i].payload.data() + 4), SimDevice::kFirmwareAckBadChunk) << i;
  device.Stop();
}

// ---------------------------------------------------------------- streaming and status

TEST(SimDeviceStreaming, FramesArriveWholeAndSwitchKindAndStopCleanly) {
  SimDeviceOptions o = QuietOptions();
  o.image_size = 150000;  // pieces of 60000, 60000 and 30000
  o.frame_rate = 50;
  SimDevice device(o);
  Recorder rec;
  device.Start(rec.Fn());
  SendOrder(device, 1, StartScan);
  ASSERT_TRUE(device.WaitForFramesSent(2, 3000));
  EXPECT_TRUE(device.Scanning());
  SendOrder(device, 2, EnterYImage);
  const uint64_t frames_at_switch = device.FramesSent();
  ASSERT_TRUE(device.WaitForFramesSent(frames_at_switch + 2, 3000));
  SendOrder(device, 3, EnterOriginalImage);
  const uint64_t frames_back = device.FramesSent();
  ASSERT_TRUE(device.WaitForFramesSent(frames_back + 2, 3000));
  SendOrder(device, 4, StopScanAlt);
  EXPECT_FALSE(device.Scanning());
  const size_t at_stop = rec.Size();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(rec.Size(), at_stop) << "nothing is sent after the stop ACK";
  device.Stop();
  const auto all = rec.All();
  ASSERT_EQ(all.back().type, Order);

  // Walk the stream: the ACKs split it into original, Y-original, original; every piece has
  // a consistent header and every frame reassembles to exactly what the device generated.
  ImageFrameAssembler assembler;
  std::vector<uint16_t> acks;
  uint16_t expected_type = OriginalImagePiece;
  uint32_t next_offset = 0;
  int frames[2] = {0, 0};
  ASSERT_EQ(all.front().type, Order) << "the start ACK comes before the first piece";
  for (const auto& s : all) {
    if (s.type == Order) {
      acks.push_back(LoadU16(s.payload.data() + 2));
      EXPECT_EQ(next_offset, 0u) << "an ACK never splits a frame";
      if (acks.back() == EnterYImage) expected_type = YOriginalImagePiece;
      if (acks.back() == EnterOriginalImage) expected_type = OriginalImagePiece;
      continue;
    }
    ASSERT_EQ(s.type, expected_type);
    const uint8_t* p = s.payload.data();
    ASSERT_GE(s.payload.size(), 92u);
    EXPECT_EQ(LoadU32(p + 76), 150000u);
    EXPECT_EQ(LoadU32(p + 80), 150000u);
    EXPECT_EQ(LoadU32(p + 84), next_offset);
    EXPECT_EQ(s.payload.size(), 92u + LoadU32(p + 88));
    next_offset += LoadU32(p + 88);
    int64_t done = assembler.AddPiece(s.type, p, static_cast<uint32_t>(s.payload.size()));
    if (next_offset == 150000) {
      ASSERT_EQ(done, 150080);
      const uint32_t frame_no = LoadU32(assembler.Frame());
      auto expected = device.ExpectedFrame(frame_no, s.type);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), assembler.Frame())) << "frame " << frame_no;
      ++frames[s.type == YOriginalImagePiece];
      next_offset = 0;
    } else {
      EXPECT_EQ(done, 0);
    }
  }
  EXPECT_EQ(acks, (std::vector<uint16_t>{StartScan, EnterYImage, EnterOriginalImage, StopScanAlt}));
  EXPECT_EQ(next_offset, 0u) << "the stop ACK comes after the last piece";
  EXPECT_GE(frames[0], 4);
  EXPECT_GE(frames[1], 2);
  EXPECT_EQ(static_cast<uint64_t>(frames[0] + frames[1]), device.FramesSent());
}

TEST(SimDeviceStreaming, RateAndDeterminism) {
  SimDeviceOptions o = QuietOptions();
  o.image_size = 1000;
  o.frame_rate = 20;
  SimDevice device(o);
  Recorder rec;
  device.Start(rec.Fn());
  SendOrder(device, 1, StartScanAlt);
  std::this_thread::sleep_for(1000ms);
  SendOrder(device, 2, StopScan);
  const uint64_t frames = device.FramesSent();
  EXPECT_GE(frames, 10u);
  EXPECT_LE(frames, 30u);
  device.Stop();

  SimDevice same(o);
  o.seed = 2;
  SimDevice other(o);
  EXPECT_EQ(same.ExpectedFrame(3, 3), device.ExpectedFrame(3, 3));
  EXPECT_NE(other.ExpectedFrame(3, 3), device.ExpectedFrame(3, 3));
  EXPECT_NE(device.ExpectedFrame(3, 8), device.ExpectedFrame(3, 3));
  EXPECT_NE(device.ExpectedFrame(4, 3), device.ExpectedFrame(3, 3));
  EXPECT_EQ(LoadU32(device.ExpectedFrame(3, 3).data() + 76), 1000u);
}

TEST(SimDeviceStreaming, LostPiecesLoseTheFrameNotTheStream) {
  SimDeviceOptions o = QuietOptions();
  o.image_size = 3000;
  o.piece_data_len = 1000;
  o.frame_rate = 100;
  SimDevice device(o);
  std::mutex mutex;
  int pieces = 0;
  std::vector<uint32_t> offsets;
  device.Start([&](uint16_t type, const uint8_t* data, uint32_t) {
    std::lock_guard<std::mutex> lock(mutex);
    if (type != OriginalImagePiece) return 0;
    if (++pieces % 4 == 2) return -1;  // the link refuses some pieces
    offsets.push_back(LoadU32(data + 84));
    return 0;
  });
  SendOrder(device, 1, StartScan);
  std::this_thread::sleep_for(300ms);
  SendOrder(device, 2, StopScan);
  device.Stop();
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_GT(offsets.size(), 6u);
  // After a refused piece the device abandons that frame and begins the next one at 0.
  for (size_t i = 1; i < offsets.size(); ++i)
    EXPECT_TRUE(offsets[i] == 0 || offsets[i] == offsets[i - 1] + 1000) << i;
  EXPECT_EQ(device.FramesSent(), static_cast<uint64_t>(std::count(offsets.begin(), offsets.end(), 2000u)));
}

TEST(SimDeviceStatus, PeriodicRecordCarriesTheConfiguredValues) {
  SimDeviceOptions o;
  o.status_interval_ms = 100;
  o.scanner_state = 2;
  o.arm_state = 5;
  o.arm_fps = 30;
  o.fpga_temp_raw = 6600;
  o.frame_rate = 25;
  o.image_size = 500;
  SimDevice device(o);
  Recorder rec;
  const auto t0 = std::chrono::steady_clock::now();
  device.Start(rec.Fn());
  ASSERT_TRUE(rec.WaitFor(ControllerStatus, 3));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
  auto st = rec.OfType(ControllerStatus)[0].payload;
  ASSERT_EQ(st.size(), 56u);
  EXPECT_EQ(LoadU32(st.data() + 0), 2u);
  EXPECT_EQ(LoadU32(st.data() + 8), 0u);  // not scanning
  EXPECT_EQ(LoadU32(st.data() + 12), 5u);
  EXPECT_EQ(LoadU32(st.data() + 16), 30u);
  EXPECT_EQ(LoadU32(st.data() + 28), 6600u);

  device.SetStates(0, 1);
  SendOrder(device, 1, StartScan);
  const size_t seen = rec.OfType(ControllerStatus).size();
  ASSERT_TRUE(rec.WaitFor(ControllerStatus, seen + 2));
  st = rec.OfType(ControllerStatus).back().payload;
  EXPECT_EQ(LoadU32(st.data() + 0), 0u);
  EXPECT_EQ(LoadU32(st.data() + 12), 1u);
  EXPECT_EQ(LoadU32(st.data() + 8), 25u);
  EXPECT_GT(LoadU32(st.data() + 4), 0u);   // image bytes of the last period
  EXPECT_GT(LoadU32(st.data() + 20), 0u);  // bytes sent to the host
  EXPECT_EQ(LoadU32(st.data() + 24), 8u);  // the start order received
  device.Stop();

  // Once stopped nothing more is sent; status interval 0 sends none at all.
  const size_t after_stop = rec.Size();
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(rec.Size(), after_stop);
  SimDevice silent(QuietOptions());
  Recorder quiet;
  silent.Start(quiet.Fn());
  std::this_thread::sleep_for(250ms);
  silent.Stop();
  silent.Stop();  // idempotent
  EXPECT_EQ(quiet.Size(), 0u);
}

// ---------------------------------------------------------------- frame parser

namespace {

std::vector<uint8_t> Frame(uint16_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> f(payload.size() + 16);
  FrameCodec::Encode(type, payload.data(), static_cast<uint32_t>(payload.size()), f.data(), static_cast<uint32_t>(f.size()));
  return f;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

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
  const auto stream = Cat({{0, 0xFF, 0xFF, 0, 0x12}, a, {0xFF, 0xFF, 0x00}, b});
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
  auto chunk = Cat({good, bad, good});
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
    auto frame = Cat({head, rest});
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

TEST(SimNetworkServer, ServesOrdersAndFaultsOverLoopback) {
  SimDevice device(QuietOptions());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  ASSERT_NE(server.Port(), 0);
  EXPECT_LT(server.SendMessage(Order, nullptr, 0), 0);  // nobody connected yet

  Client client(server.Port());
  ASSERT_TRUE(client.ok());
  ASSERT_TRUE(server.WaitForConnections(1, 2000));
  auto order = MakeOrder(11, GetFpgaTemp);
  client.Send(Frame(Order, order));
  Sent ack = client.ReadFrame();
  ASSERT_EQ(ack.type, Order);
  EXPECT_EQ(LoadU16(ack.payload.data()), 11);
  EXPECT_EQ(LoadU32(ack.payload.data() + 10), 6500u);

  // Garbage from the host is skipped, a bad checksum counted, good frames still served.
  client.Send(Cat({{1, 2, 3}, Frame(Order, MakeOrder(12, 0))}));
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
  EXPECT_EQ(server.FramesReceived(), 3u);

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

TEST(SimNetworkServer, StallDelaysTheHostsMessagesAndNewConnectionReplacesOld) {
  SimDevice device(QuietOptions());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  Client first(server.Port());
  ASSERT_TRUE(server.WaitForConnections(1, 2000));
  server.StallReading(400);
  const auto t0 = std::chrono::steady_clock::now();
  first.Send(Frame(ArmMsg, Pattern(64, 2)));
  EXPECT_FALSE(device.WaitForHostMessages(ArmMsg, 1, 200));
  ASSERT_TRUE(device.WaitForHostMessages(ArmMsg, 1, 2000));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 350ms);
  EXPECT_EQ(device.HostArmMessages()[0].payload, Pattern(64, 2));

  Client second(server.Port());
  ASSERT_TRUE(server.WaitForConnections(2, 2000));
  EXPECT_TRUE(first.Read(1, 1000).empty());
  EXPECT_TRUE(first.Eof());
  uint8_t arm[3] = {1, 2, 3};
  ASSERT_EQ(device.SendArmMsg(arm, 3), 0);
  Sent relayed = second.ReadFrame();
  EXPECT_EQ(relayed.type, ArmMsg);
  EXPECT_EQ(relayed.payload, std::vector<uint8_t>(arm, arm + 3));
  server.Stop();
}

TEST(SimNetworkServer, RefusesAddressesItCannotBind) {
  SimDevice device(QuietOptions());
  SimNetworkServer taken(device);
  ASSERT_EQ(taken.Start(), 0);
  SimDevice other_device(QuietOptions());
  SimNetworkServer clash(other_device, "127.0.0.1", taken.Port());
  // SO_REUSEADDR does not let a second listener onto a port in LISTEN state.
  EXPECT_EQ(clash.Start(), -1);
  SimNetworkServer bogus(other_device, "localhost");
  EXPECT_EQ(bogus.Start(), -1);
  taken.Stop();
}
