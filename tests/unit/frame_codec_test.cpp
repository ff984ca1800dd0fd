#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "transport/network/FrameCodec.h"
#include "transport/network/HostCommViaNetwork.h"

namespace {

std::vector<uint8_t> Encode(uint16_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(payload.size() + 16);
  int32_t n = FrameCodec::Encode(type, payload.data(), static_cast<uint32_t>(payload.size()), frame.data(),
                                 static_cast<uint32_t>(frame.size()));
  EXPECT_EQ(n, static_cast<int32_t>(frame.size()));
  return frame;
}

}  // namespace

TEST(FrameCodec, WorkedExampleByteForByte) {
  auto frame = Encode(1, {'a', 'b', 'c'});
  const std::vector<uint8_t> expected = {0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00,
                                         0x00, 0x00, 0x61, 0x62, 0x63, 0x2A, 0x01, 0x00, 0x00};
  EXPECT_EQ(frame, expected);
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(frame.data(), 19), 19);
}

TEST(FrameCodec, EmptyPayloadAndUncheckedTypes) {
  auto empty = Encode(1, {});
  ASSERT_EQ(empty.size(), 16u);
  EXPECT_EQ(empty[12], 1);  // crc = sum of 00 00 00 00 01 00 00 00
  for (uint16_t type : {2, 3}) {
    auto frame = Encode(type, {9, 9, 9});
    EXPECT_EQ(std::vector<uint8_t>(frame.end() - 4, frame.end()), std::vector<uint8_t>(4, 0));
  }
}

TEST(FrameCodec, PayloadLimitIsEnforcedByEncoderAndValidator) {
  std::vector<uint8_t> out(65536 + 16);
  std::vector<uint8_t> payload(65521, 0x5A);
  EXPECT_EQ(FrameCodec::Encode(6, payload.data(), 65520, out.data(), 65536), 65536);
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(out.data(), 65536), 65536);
  EXPECT_EQ(FrameCodec::Encode(6, payload.data(), 65521, out.data(), static_cast<uint32_t>(out.size())), -1);

  LogCapture log;
  out[4] = 0xF1;  // payload_length 65521
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(out.data(), 65536), -1);
  EXPECT_TRUE(log.Contains("Build message, payload_length is too large:65521"));
}

TEST(FrameCodec, CalcCrcMatchesAPlainSumAtEveryLengthAndAlignment) {
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  for (uint32_t offset = 0; offset < 16; ++offset) {
    for (uint32_t len = 0; len + offset <= data.size(); len += 7) {
      uint32_t sum = 0;
      for (uint32_t i = 0; i < len; ++i) sum += data[offset + i];
      ASSERT_EQ(FrameCodec::CalcCrc(data.data() + offset, len), sum) << offset << "/" << len;
    }
  }
  std::vector<uint8_t> ones(16843010, 0xFF);  // 0xFF * 16843010 wraps past 2^32
  EXPECT_EQ(FrameCodec::CalcCrc(ones.data(), static_cast<uint32_t>(ones.size())),
            static_cast<uint32_t>(0xFFull * ones.size()));
}

TEST(FrameCodec, BuildMsgBoundaries) {
  LogCapture log;
  std::vector<uint8_t> junk(64, 0x11);
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(junk.data(), 11), 0);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(junk.data(), 12), -1);
  EXPECT_TRUE(log.Contains("Build message, start tag invalid:11111111"));

  auto frame = Encode(6, std::vector<uint8_t>(40, 7));
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(frame.data(), 56), 56);
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(frame.data(), 55), 0);
  frame.resize(100, 0xEE);
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(frame.data(), 100), 56);
}

TEST(FrameCodec, Type3IgnoresItsChecksumButType2DoesNot) {
  auto t3 = Encode(3, {1, 2, 3, 4});
  t3[16] = 0x55;
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(t3.data(), 20), 20);

  LogCapture log;
  auto t2 = Encode(2, {1, 2, 3, 4});
  t2[16] = 0x01;
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(t2.data(), 20), -1);
  EXPECT_TRUE(log.Contains("Build message, CRC error:0,1"));

  // The exemption compares all 32 bits of the type.
  auto wide = Encode(2, {1, 2, 3, 4});
  wide[10] = 0x01;  // msg_type 0x00010002, crc field still 0
  EXPECT_EQ(HostCommViaNetwork::BuildMsg(wide.data(), 20), -1);
}

TEST(FrameCodec, CrcErrorDiagnosticsNeverShowBytesBeyondTheReadableRange) {
  LogCapture log;
  // Payload of 16 bytes holding a counter 0001, 0002, 0004 (a skip at the third word).
  std::vector<uint8_t> payload = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, 5};
  auto frame = Encode(6, payload);
  frame[28] ^= 0xFF;  // corrupt the crc
  ASSERT_EQ(FrameCodec::Check(frame.data(), 32, 32), -1);
  auto lines = log.Messages();
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0].rfind("Build message, CRC error:", 0), 0u);
  EXPECT_EQ(lines[1], "Build message, to_content_len:28, msg_len:32, else:4");
  EXPECT_EQ(lines[2], "HEADER 0000: FF FF FF FF 10 00 00 00 06 00 00 00 00 00 00 01");
  EXPECT_EQ(lines[3].substr(0, 12), "HEADER 0010:");
  EXPECT_EQ(lines[4], "HEADER 0020: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --");
  EXPECT_EQ(lines[6], "TAIL 0020: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --");
  EXPECT_EQ(lines[7], "AT 0010: 00 00 00 02 00 00 00 04 00 00 00 05 DD 00 00 00");
  EXPECT_EQ(lines[8], "AT prev:0002, next:0004");
  for (const auto& l : log.Lines()) EXPECT_EQ(l.function, "HostCommViaNetwork::BuildMsg");
}
