// Firmware files cut into chunks: layout, one seq_no per file, stop at the first failure.
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommProtocolImpl.h"

using namespace kestal;

namespace {
struct Sent {
  uint16_t type;
  std::vector<uint8_t> payload;
};
}  // namespace

TEST(FirmwareChunks, A65497ByteFileIsTwoChunksWithOneSeqNo) {
  LogCapture log;
  std::vector<uint8_t> file(65497);
  uint32_t sum = 0;
  for (size_t i = 0; i < file.size(); ++i) sum += file[i] = static_cast<uint8_t>(i * 13 + 5);
  std::vector<Sent> sent;
  auto send = [&](uint16_t t, const uint8_t* d, uint32_t l) {
    sent.push_back({t, std::vector<uint8_t>(d, d + l)});
    return 0;
  };
  EXPECT_EQ(HostCommProtocolImpl::SendFirmwareChunks(send, 11, 7, file.data(), 65497), 0);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].payload.size(), 65520u);
  EXPECT_EQ(sent[1].payload.size(), 25u);
  for (const Sent& s : sent) {
    EXPECT_EQ(s.type, 9);
    EXPECT_EQ(LoadU16(s.payload.data()), LoadU16(sent[0].payload.data()));
    EXPECT_EQ(LoadU16(s.payload.data() + 2), 7);
    EXPECT_EQ(LoadU32(s.payload.data() + 4), 65497u);
    EXPECT_EQ(LoadU32(s.payload.data() + 8), sum);
    EXPECT_EQ(LoadU32(s.payload.data() + 12), 65497u);
  }
  EXPECT_EQ(LoadU32(sent[0].payload.data() + 16), 0u);
  EXPECT_EQ(LoadU32(sent[0].payload.data() + 20), 65496u);
  EXPECT_EQ(LoadU32(sent[1].payload.data() + 16), 65496u);
  EXPECT_EQ(LoadU32(sent[1].payload.data() + 20), 1u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].payload.begin() + 24, sent[0].payload.end()),
            std::vector<uint8_t>(file.begin(), file.begin() + 65496));
  EXPECT_EQ(sent[1].payload[24], file.back());
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"firmware file len:65497, check:" + std::to_string(static_cast<int>(sum)),
                                                      "Send update firmware:65497"}));
  EXPECT_EQ(log.Lines()[0].function, "HostCommProtocolImpl::SendUpdateFirmware");
}

TEST(FirmwareChunks, AFailedChunkStopsTheRest) {
  std::vector<uint8_t> file(65496 * 3, 1);
  int calls = 0;
  auto send = [&](uint16_t, const uint8_t*, uint32_t) { return ++calls == 2 ? -1 : 0; };
  EXPECT_EQ(HostCommProtocolImpl::SendFirmwareChunks(send, 11, 1, file.data(), static_cast<uint32_t>(file.size())), 0);
  EXPECT_EQ(calls, 2);
}

TEST(FirmwareChunks, AnEmptyFileSendsNothingButLogsBothLines) {
  LogCapture log;
  int calls = 0;
  auto send = [&](uint16_t, const uint8_t*, uint32_t) { return ++calls, 0; };
  EXPECT_EQ(HostCommProtocolImpl::SendFirmwareChunks(send, 11, 1, nullptr, 0), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"firmware file len:0, check:0", "Send update firmware:0"}));
}

TEST(FirmwareChunks, ConsecutiveFilesTakeConsecutiveSeqNos) {
  std::vector<uint16_t> seqs;
  auto send = [&](uint16_t, const uint8_t* d, uint32_t) { return seqs.push_back(LoadU16(d)), 0; };
  uint8_t byte = 1;
  HostCommProtocolImpl::SendFirmwareChunks(send, 11, 1, &byte, 1);
  HostCommProtocolImpl::SendFirmwareChunks(send, 12, 1, &byte, 1);
  ASSERT_EQ(seqs.size(), 2u);
  EXPECT_EQ(static_cast<uint16_t>(seqs[0] + 1), seqs[1]);
}
