// The host communication protocol: frames on the wire, the messages the library builds, and what
// the engine makes of the device's messages (each type, image frames from pieces), firmware chunks;
// and the simulator's frames that end-to-end tests compare with.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "NetworkTestFrames.h"
#include "common/LittleEndian.h"
#include "devsim/SimDevice.h"
#include "protocol/HostCommProtocolImpl.h"
#include "transport/network/HostCommViaNetwork.h"

using namespace kestal;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Forwarded = std::vector<std::pair<uint16_t, Bytes>>;

TEST(FrameCodec, EncodesTheWorkedExampleByteForByteWithinItsLimits) {
  const Bytes abc = {0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 1, 0, 0, 0, 'a', 'b', 'c', 0x2A, 1, 0, 0};
  EXPECT_EQ(Frame(1, {'a', 'b', 'c'}), abc);
  EXPECT_EQ(Frame(2, {9}),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0, 0}));  // no checksum
  EXPECT_EQ(Frame(3, {9}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 3, 0, 0, 0, 9, 0, 0, 0, 0}));
  Bytes payload(65521), out(65540);
  EXPECT_EQ(FrameCodec::Encode(6, payload.data(), 65520, out.data(), 65536), 65536);
  EXPECT_EQ(FrameCodec::Encode(6, payload.data(), 65520, out.data(), 65535), -1);  // does not fit
  EXPECT_EQ(FrameCodec::Encode(6, payload.data(), 65521, out.data(), 65540), -1);  // too long
}

TEST(FrameCodec, CalcCrcMatchesAPlainSumAtEveryLengthAndAlignment) {
  const Bytes data = Payload(300, 11);
  for (uint32_t offset = 0; offset < 16; ++offset) {
    for (uint32_t len = 0; len + offset <= data.size(); len += 7) {
      uint32_t sum = 0;
      for (uint32_t i = 0; i < len; ++i) sum += data[offset + i];
      ASSERT_EQ(FrameCodec::CalcCrc(data.data() + offset, len), sum) << offset << "/" << len;
    }
  }
  // Wraps past 2^32.
  EXPECT_EQ(FrameCodec::CalcCrc(Bytes(16843010, 0xFF).data(), 16843010), 0xFFu * 16843010u);
}

TEST(FrameCodec, BuildMsgVerdicts) {
  auto set = [](Bytes f, size_t at, uint8_t v) { return f[at] = v, f; };
  const Bytes order = Frame(6, Bytes(40, 7)), largest = Frame(6, Bytes(65520, 0x5A)),
              t2 = Frame(2, {1, 2, 3, 4});
  // The bytes validated, how many are there, the verdict, the first line logged.
  const std::vector<std::tuple<Bytes, uint32_t, int32_t, std::string>> rows = {
      {Frame(1, {'a', 'b', 'c'}), 19, 19, ""},
      {Bytes(11, 0x11), 11, 0, ""},
      {Bytes(12, 0x11), 12, -1, "Build message, start tag invalid:11111111"},
      {order, 55, 0, ""},
      {Concat({order, Bytes(44, 0xEE)}), 100, 56, ""},
      {largest, 65536, 65536, ""},
      {set(largest, 4, 0xF1), 65536, -2, "Build message, payload_length is too large:65521"},
      {set(Frame(1, {1, 2, 3, 4}), 16, 0x10), 20, -3, "Build message, CRC error:f,10"},  // one high
      {set(Frame(3, {1, 2, 3, 4}), 16, 0x55), 20, 20, ""},        // type 3 is not checked
      {set(t2, 16, 1), 20, -3, "Build message, CRC error:0,1"},   // type 2 must carry 0
      {set(t2, 10, 1), 20, -3, "Build message, CRC error:11,0"},  // type 0x00010002 is checked
  };
  for (const auto& [bytes, available, verdict, line] : rows) {
    LogCapture log;
    EXPECT_EQ(HostCommViaNetwork::BuildMsg(bytes.data(), available), verdict)
        << available << " bytes, " << line;
    EXPECT_EQ(log.Messages().empty() ? "" : log.Messages()[0], line);
  }
  LogCapture log;  // the dump of a checksum error shows no byte past the readable ones
  HostCommViaNetwork::BuildMsg(set(Frame(1, {1, 2, 3, 4}), 16, 0x10).data(), 20, 20);
  EXPECT_EQ(log.Messages().at(3), "HEADER 0010: 10 00 00 00 -- -- -- -- -- -- -- -- -- -- -- --");
}

TEST(MessageCatalogue, BuiltMessagesByteForByte) {
  Bytes out(32, 0xCC);
  ASSERT_EQ(HostCommMsg::BuildHeartBeat(out.data(), 0x1234), 8u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 9), (Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0, 0xCC}));
  ASSERT_EQ(HostCommMsg::BuildCommTypeOrder(out.data(), 7, 3), 12u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 13),
            (Bytes{7, 0, 70, 0, 4, 0, 0, 0, 3, 0, 0, 0, 0xCC}));
  HostCommMsg::BuildFirmwareChunkHeader(out.data(), 0xBEEF, 2, 65497, 0x01020304, 65496, 1);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 25),
            (Bytes{0xEF, 0xBE, 2, 0,    0xD9, 0xFF, 0, 0, 4, 3, 2, 1,   0xD9,
                   0xFF, 0,    0, 0xD8, 0xFF, 0,    0, 1, 0, 0, 0, 0xCC}));
}

namespace {
Bytes Piece(uint32_t image_size, uint32_t offset, uint32_t len, uint8_t tag = 0x11,
            uint32_t header_size = ~0u) {
  Bytes p(92 + len, tag);
  const uint32_t fields[] = {header_size == ~0u ? image_size : header_size, image_size, offset,
                             len};
  for (int i = 0; i < 4; ++i) StoreU32(p.data() + 76 + 4 * i, fields[i]);
  for (uint32_t i = 0; i < len; ++i) p[92 + i] = static_cast<uint8_t>((offset + i) * 7);
  return p;
}

// The frame of an image: its 80-byte header, then the image data.
Bytes Image(uint32_t image_size, uint8_t tag) {
  Bytes f = Piece(image_size, 0, image_size, tag);
  return f.erase(f.begin() + 80, f.begin() + 92), f;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.SetRecvMsgCallBack(
        [](unsigned short type, unsigned char* data, unsigned int len, void* self) {
          static_cast<EngineTest*>(self)->forwarded.push_back({type, Bytes(data, data + len)});
        },
        this);
  }
  // By value: an exactly sized heap copy, so AddressSanitizer catches a read past the payload.
  void Deal(uint16_t type, Bytes p) {
    EXPECT_EQ(engine.DealMsg(type, p.data(), static_cast<uint32_t>(p.size())), 0);
    engine.DeliverWaiting();
  }
  LogCapture log;
  HostCommProtocolImpl engine;
  Forwarded forwarded;
};
}  // namespace

// One row per message: type, forwarded to the application (1) or dropped (0), payload, lines
// logged. Short payloads read their missing bytes as zero (AddressSanitizer proves nothing past
// them is read).
TEST_F(EngineTest, EachMessageIsLoggedAndForwardedOrDropped) {
  Bytes y(80, 0), read_ack(10, 0);  // the read-config ACK claims 65 bytes of 0xAB
  StoreU32(y.data() + 68, 8), StoreU32(read_ack.data() + 6, 65), read_ack.resize(75, 0xAB);
  const std::string read =
      "Recv a read config ACK, seq_no:0, sub_msg_type:0, ack_code:0, config_file_len:65";
  const std::string firmware =
      "Recv a update firmware ACK, seq_no:9, type:1, ack_code:0, progress:100, step:0";
  const std::string status_line =
      "Controller status, device:9/0, fpga:0fps/5Bytes, arm:0fps, host send/recv:0Bytes/0Bytes, "
      "fpga temp:-40.00";
  const Bytes temp_ack = {5, 0, 83, 0, 0, 0, 0, 0, 0, 0, 0x64, 0x19};
  std::string dump64 = "0000:";
  while (dump64.size() < 5 + 64 * 3) dump64 += " ab";
  const std::vector<std::tuple<uint16_t, int, Bytes, Lines>> rows = {
      {10, 0, {1, 2, 3}, {}},
      {1, 0, Bytes(64, 7), {}},  // an unused type; an arm message without an arm link
      {2, 1, y, {}},
      {2, 0, Concat({y, {0}}), {"Y image is not correct:8/81"}},
      {2, 0, Bytes(y.begin(), y.end() - 1), {"Y image is not correct:8/79"}},
      {2, 0, Bytes(70, 0), {"Y image is not correct:0/70"}},  // its length field cut short
      {6, 1, {11, 0, 3, 0}, {"Recv order to start scan ACK:11"}},
      {6, 1, {13, 0, 99, 0}, {}},
      {6, 1, {4, 0, 0, 0}, {"Recv order to heart beat"}},
      {6, 1, {7, 0, 21, 0}, {"Recv order to set exposure:7"}},
      {6, 1, {0xFF, 0xFF, 70, 0}, {"Recv order to set comm type ACK:65535"}},
      {6, 1, temp_ack, {"Recv order to get fpga temp ACK:5", "Fpga temp:25.00"}},
      {4, 1, {1, 0, 2, 0, 3}, {"Recv a write config ACK, seq_no:1, sub_msg_type:2, ack_code:3"}},
      {9, 1, {9, 0, 1, 0, 0, 0, 100}, {firmware}},  // no step byte
      {5, 1, read_ack, {read, dump64 + " ", "0064: ab "}},
      {5, 1, Bytes(read_ack.begin(), read_ack.begin() + 13), {read, "0000: ab ab ab "}},  // short
      {7, 1, {9, 0, 0, 0, 5}, {status_line}},
  };
  for (const auto& [type, is_forwarded, payload, lines] : rows) {
    log.Clear();
    forwarded.clear();
    Deal(type, payload);
    EXPECT_EQ(log.Messages(), lines) << "type " << type;
    EXPECT_EQ(forwarded, (is_forwarded ? Forwarded{{type, payload}} : Forwarded{}))
        << "type " << type;
  }
  // A status is stored cut to 56 bytes, or zero-filled.
  Deal(7, Bytes(60, 0xA5)), Deal(7, {9, 0, 0, 0, 5});
  const ControllerStatusSnapshot status = engine.GetControllerStatus();
  EXPECT_EQ(Bytes(status.record, status.record + 56), Concat({{9, 0, 0, 0, 5}, Bytes(51, 0)}));
}

// A frame is delivered only at its last piece; bad pieces between are dropped and leave it alone.
TEST_F(EngineTest, ImageFramesFromTheirPieces) {
  const Bytes whole = Piece(3000, 2000, 1000), truncated(whole.begin(), whole.end() - 1);
  const std::vector<std::pair<Bytes, std::string>> bad_pieces = {
      {Piece(4194305, 0, 10), "image is too large"},
      {Bytes(91, 0), "image piece is too short:91"},
      {Piece(3000, 1000, 10, 0x11, 2999), "image size of pieces is not the same with header"},
      {Piece(3000, 2991, 10), "piece header is not correct"},  // ends one byte past the image
      {Piece(3000, 0xFFFFFFF0u, 0x20), "piece header is not correct"},  // wraps past 2^32
      {truncated, "piece data is beyond the message, piece_len:1000, msg_len:1091"},
  };
  Deal(3, Piece(3000, 0, 1000, 0x21)), Deal(3, Piece(3000, 1000, 1000, 0x22));
  for (auto [bad, line] : bad_pieces) {
    log.Clear();
    if (bad.size() > 92) std::fill(bad.begin() + 92, bad.end(), 0xEE);  // data that must not land
    Deal(3, bad);
    EXPECT_EQ(log.Messages(), Lines{line});
  }
  EXPECT_TRUE(forwarded.empty());
  Deal(3, Piece(3000, 2000, 1000, 0x23)), Deal(8, Piece(0, 0, 0, 0x44));  // the second: header only
  // Each frame with the header of its last piece.
  EXPECT_EQ(forwarded, (Forwarded{{3, Image(3000, 0x23)}, {8, Image(0, 0x44)}}));
  // A lost middle piece; a piece of the other kind (-1: type 8 at 0) between two of a frame.
  forwarded.clear(), log.Clear();
  for (int k : {0, 2, 1, 2, 0, -1, 1, 2, 0, 1, 2})
    Deal(k < 0 ? 8 : 3, Piece(3000, std::max(k, 0) * 1000, 1000, uint8_t(0x30 + std::max(k, 0))));
  EXPECT_TRUE(forwarded == (Forwarded{{3, Image(3000, 0x32)}})) << forwarded.size() << " frames";
  EXPECT_EQ(log.MessagesStartingWith("image frame is not complete, dropped:"),
            Lines(3, "image frame is not complete, dropped:1000/3000"));
  // A Y image (a frame of one message) between two pieces of a frame leaves that frame whole.
  Bytes y(80, 0x77), frame = Image(3000, 0x51);
  StoreU32(y.data() + 68, 8), std::fill(frame.begin() + 80, frame.end(), 0x5A), forwarded.clear();
  for (int k : {0, -1, 1, 2}) {
    Bytes piece = Piece(3000, std::max(k, 0) * 1000, 1000, 0x51);
    std::fill(piece.begin() + 92, piece.end(), 0x5A);
    k < 0 ? Deal(2, y) : Deal(3, piece);
  }
  EXPECT_TRUE(forwarded == (Forwarded{{2, y}, {3, frame}}));
  forwarded.clear();  // the largest image in the largest pieces a frame carries
  for (uint32_t offset = 0; offset < 4194304; offset += 65428)
    Deal(8, Piece(4194304, offset, std::min(65428u, 4194304 - offset)));
  ASSERT_EQ(forwarded.size(), 1u);
  EXPECT_TRUE(forwarded[0] == std::make_pair(uint16_t{8}, Image(4194304, 0x11)));
}

TEST(FirmwareChunks, AFileIsCutIntoChunksUnderItsSeqNoUntilASendFails) {
  Bytes file = Payload(65497, 5);
  const uint32_t sum = FrameCodec::CalcCrc(file.data(), 65497);  // a plain byte sum too
  Forwarded sent;
  size_t refused = 0;  // the send that fails, counted from 1; 0: none
  auto send = [&](uint16_t type, const uint8_t* data, uint32_t len) {
    sent.push_back({type, Bytes(data, data + len)});
    return sent.size() == refused ? -1 : 0;
  };
  EXPECT_EQ(HostCommProtocolImpl::SendFirmwareChunks(send, 11, 7, file.data(), 65497), 0);
  ASSERT_EQ(sent.size(), 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    const uint32_t offset = 65496 * i, len = i == 0 ? 65496 : 1;
    Bytes chunk(24);  // the header's layout is pinned byte for byte by MessageCatalogue
    HostCommMsg::BuildFirmwareChunkHeader(chunk.data(), 11, 7, 65497, sum, offset, len);
    chunk.insert(chunk.end(), file.begin() + offset, file.begin() + offset + len);
    EXPECT_TRUE(sent[i] == std::make_pair(uint16_t{9}, chunk)) << "chunk " << i;
  }
  file.resize(65496 * 3);
  sent.clear(), refused = 2;
  EXPECT_EQ(HostCommProtocolImpl::SendFirmwareChunks(send, 11, 1, file.data(), 65496 * 3), -1);
  EXPECT_EQ(sent.size(), 2u);  // nothing after the failed chunk
  LogCapture log;
  EXPECT_EQ(HostCommProtocolImpl::SendFirmwareChunks(send, 11, 1, nullptr, 0), 0);
  EXPECT_EQ(sent.size(), 2u);  // an empty file sends nothing
  EXPECT_EQ(log.Messages(), (Lines{"firmware file len:0, check:0", "Send update firmware:0"}));
}

// The simulator's frames depend only on number, kind and seed: end-to-end tests compare delivered
// frames with ExpectedFrame, which proves order and completeness only because of this.
TEST(SimDevice, ExpectedFramesDependOnlyOnNumberKindAndSeed) {
  SimDeviceOptions options, reseeded;
  reseeded.seed = 2;
  const SimDevice device(options), same(options), other(reseeded);
  const Bytes frame = device.ExpectedFrame(3, 3);
  EXPECT_EQ(same.ExpectedFrame(3, 3), frame);
  for (const Bytes& differs :
       {other.ExpectedFrame(3, 3), device.ExpectedFrame(3, 8), device.ExpectedFrame(4, 3)})
    EXPECT_NE(differs, frame);
}
