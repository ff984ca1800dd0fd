#include <vector>

#include <gtest/gtest.h>

#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"

using namespace kestal;

TEST(MessageCatalogue, HeartBeatIsSeqNoThenSixZeroBytes) {
  uint8_t out[16];
  std::fill(out, out + 16, 0xCC);
  ASSERT_EQ(HostCommMsg::BuildHeartBeat(out, 0x1234), 8u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{0x34, 0x12, 0, 0, 0, 0, 0, 0}));
}

TEST(MessageCatalogue, CommTypeOrderForType3) {
  uint8_t out[12];
  ASSERT_EQ(HostCommMsg::BuildCommTypeOrder(out, 7, 3), 12u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 12), (std::vector<uint8_t>{7, 0, 70, 0, 4, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(MessageCatalogue, FirmwareCheckSums) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const uint8_t ff[] = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(HostCommMsg::FirmwareCheck(abc, 3), 294u);
  EXPECT_EQ(HostCommMsg::FirmwareCheck(ff, 3), 765u);
  EXPECT_EQ(HostCommMsg::FirmwareCheck(ff, 0), 0u);
}

TEST(MessageCatalogue, FirmwareChunkHeaderLayout) {
  uint8_t out[24];
  HostCommMsg::BuildFirmwareChunkHeader(out, 0xBEEF, 2, 65497, 0x01020304, 65496, 1);
  EXPECT_EQ(LoadU16(out + FirmwareChunkLayout::kSeqNo), 0xBEEF);
  EXPECT_EQ(LoadU16(out + FirmwareChunkLayout::kType), 2);
  EXPECT_EQ(LoadU32(out + FirmwareChunkLayout::kFileLen), 65497u);
  EXPECT_EQ(LoadU32(out + FirmwareChunkLayout::kCheck), 0x01020304u);
  EXPECT_EQ(LoadU32(out + FirmwareChunkLayout::kTotalLen), 65497u);
  EXPECT_EQ(LoadU32(out + FirmwareChunkLayout::kChunkOffset), 65496u);
  EXPECT_EQ(LoadU32(out + FirmwareChunkLayout::kChunkLen), 1u);
  EXPECT_EQ(FirmwareChunkLayout::kHeaderLength + FirmwareChunkLayout::kMaxChunkData, 65520u);
}

TEST(MessageCatalogue, FpgaTemperature) {
  EXPECT_DOUBLE_EQ(HostCommMsg::FpgaTempCelsius(6500), 25.0);
  EXPECT_DOUBLE_EQ(HostCommMsg::FpgaTempCelsius(0), -40.0);
}

TEST(MessageCatalogue, UnalignedLittleEndianAccess) {
  uint8_t buf[16] = {};
  StoreU32(buf + 6, 0xA1B2C3D4);
  StoreU64(buf + 1, 0x0102030405060708ull);
  EXPECT_EQ(buf[1], 0x08);
  EXPECT_EQ(LoadU64(buf + 1), 0x0102030405060708ull);
  StoreU32(buf + 10, 0xA1B2C3D4);
  EXPECT_EQ(LoadU32(buf + 10), 0xA1B2C3D4u);
  EXPECT_EQ(buf[10], 0xD4);
}
