// What the engine makes of each message the device sends.
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommProtocolImpl.h"

using namespace kestal;

namespace {

struct Forwarded {
  uint16_t type;
  std::vector<uint8_t> data;
};

class DealMsgTest : public ::testing::Test {
 protected:
  void SetUp() override { engine.SetRecvMsgCallBack(&DealMsgTest::OnRecv, this); }
  void TearDown() override { Log::SetLevel(LogLevel::Debug); }

  static void OnRecv(unsigned short type, unsigned char* data, unsigned int len, void* user) {
    static_cast<DealMsgTest*>(user)->forwarded.push_back({type, std::vector<uint8_t>(data, data + len)});
  }

  // Hands DealMsg a heap copy of exactly the payload's size, so a read past its end is caught
  // by AddressSanitizer.
  void Deal(uint16_t type, const std::vector<uint8_t>& payload) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[payload.size()]);
    std::memcpy(copy.get(), payload.data(), payload.size());
    EXPECT_EQ(engine.DealMsg(type, copy.get(), static_cast<uint32_t>(payload.size())), 0);
  }

  static std::vector<uint8_t> OrderAck(uint16_t seq_no, uint16_t sub_type, size_t len = 10) {
    std::vector<uint8_t> ack(len, 0);
    StoreU16(ack.data(), seq_no);
    StoreU16(ack.data() + 2, sub_type);
    return ack;
  }

  LogCapture log;
  HostCommProtocolImpl engine;
  std::vector<Forwarded> forwarded;
};

}  // namespace

TEST_F(DealMsgTest, UnusedTypesReachNobody) {
  Deal(0, {1, 2, 3});
  Deal(10, {1, 2, 3});
  Deal(0xFFFF, {1});
  EXPECT_TRUE(forwarded.empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(DealMsgTest, ArmMessagesWithoutArmLinkAreDropped) {
  Deal(1, std::vector<uint8_t>(64, 7));
  EXPECT_TRUE(forwarded.empty());
}

TEST_F(DealMsgTest, YImageMustHaveExactlyItsDeclaredLength) {
  std::vector<uint8_t> y(72 + 8, 0);
  StoreU32(y.data() + 68, 8);
  Deal(2, y);
  ASSERT_EQ(forwarded.size(), 1u);
  EXPECT_EQ(forwarded[0].data, y);

  y.pop_back();
  Deal(2, y);
  EXPECT_EQ(forwarded.size(), 1u);
  EXPECT_TRUE(log.Contains("Y image is not correct:8/79"));

  // A header cut short reads its missing length bytes as zero: still no match.
  Deal(2, std::vector<uint8_t>(70, 0));
  EXPECT_EQ(forwarded.size(), 1u);
  EXPECT_TRUE(log.Contains("Y image is not correct:0/70"));
}

TEST_F(DealMsgTest, OrderAckLinesBySubType) {
  Deal(6, OrderAck(11, 3));
  Deal(6, OrderAck(12, 4));
  Deal(6, OrderAck(13, 99));
  Deal(6, OrderAck(14, 0));
  Deal(6, OrderAck(15, 21));
  Deal(6, OrderAck(65535, 70));
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "Recv order to start scan ACK:11", "Recv order to stop scan ACK:12",
                                "Recv order to heart beat", "Recv order to set exposure:15",
                                "Recv order to set comm type ACK:65535"}));
  ASSERT_EQ(forwarded.size(), 6u);  // every ACK is forwarded, 99 and heartbeat included
  EXPECT_EQ(forwarded[2].data, OrderAck(13, 99));
  for (const auto& line : log.Lines()) EXPECT_EQ(line.function, "HostCommProtocolImpl::DealMsg");
}

TEST_F(DealMsgTest, DecodedReplies) {
  auto temp = OrderAck(5, 83, 14);
  StoreU32(temp.data() + 10, 6500);
  Deal(6, temp);
  auto info = OrderAck(6, 82, 22);
  const uint8_t versions[] = {1, 2, 0x34, 0x12, 7, 0, 3, 4, 5, 0, 6, 0};
  std::memcpy(info.data() + 10, versions, sizeof versions);
  Deal(6, info);
  auto map = OrderAck(7, 81, 138);
  for (size_t i = 10; i < map.size(); ++i) map[i] = static_cast<uint8_t>(i);
  Deal(6, map);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "Recv order to get fpga temp ACK:5", "Fpga temp:25.00",
                                "Recv order to get device static info ACK:6",
                                "Static fpga version:3.4.5.0006, app version:1.2.4660.0007",
                                "Recv order to get sensor reg map ACK:7",
                                "Recv sensor map, temp:88, 89, roi_height:0b, 0c, start:0d, 0e",
                                "Recv sensor map, flip:32, exposure:34, 35, 36, gain:71"}));
}

TEST_F(DealMsgTest, ConfigAndFirmwareAcks) {
  std::vector<uint8_t> write_ack = {1, 0, 2, 0, 3, 0};
  Deal(4, write_ack);
  std::vector<uint8_t> fw_ack = {9, 0, 1, 0, 0, 0, 100, 2};
  Deal(9, fw_ack);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "Recv a write config ACK, seq_no:1, sub_msg_type:2, ack_code:3",
                                "Recv a update firmware ACK, seq_no:9, type:1, ack_code:0, progress:100, step:2"}));
  EXPECT_EQ(forwarded.size(), 2u);
}

TEST_F(DealMsgTest, ReadConfigDumpIsBoundedByThePayload) {
  struct Case {
    uint32_t file_len;
    std::vector<std::string> labels;
    size_t last_values;
  };
  for (const Case& c : {Case{0, {}, 0}, Case{64, {"0000"}, 64}, Case{65, {"0000", "0064"}, 1},
                        Case{130, {"0000", "0064", "0128"}, 2}}) {
    log.Clear();
    std::vector<uint8_t> ack(10 + c.file_len, 0xAB);
    StoreU32(ack.data() + 6, c.file_len);
    Deal(5, ack);
    auto dump = log.Messages();
    ASSERT_EQ(dump.size(), 1 + c.labels.size()) << c.file_len;
    for (size_t i = 0; i < c.labels.size(); ++i) EXPECT_EQ(dump[1 + i].substr(0, 6), c.labels[i] + ": ");
    if (!c.labels.empty()) {
      const std::string& last = dump.back();
      EXPECT_EQ((last.size() - 6) / 3, c.last_values);
      EXPECT_EQ(last.substr(6, 3), "ab ");
    }
  }
  // A file length claiming more than arrived prints only what arrived.
  log.Clear();
  std::vector<uint8_t> liar(10 + 10, 0x01);
  StoreU32(liar.data() + 6, 100000);
  Deal(5, liar);
  auto dump = log.Messages();
  ASSERT_EQ(dump.size(), 2u);
  EXPECT_EQ(dump[1], "0000: 01 01 01 01 01 01 01 01 01 01 ");
}

TEST_F(DealMsgTest, ControllerStatusIsStoredEvenWithDebugOff) {
  SetWallClockMs([] { return uint64_t{1700000000123}; });
  Log::SetLevel(LogLevel::Error);
  std::vector<uint8_t> status(56);
  for (size_t i = 0; i < status.size(); ++i) status[i] = static_cast<uint8_t>(i + 1);
  Deal(7, status);
  SetWallClockMs(nullptr);
  EXPECT_TRUE(log.Lines().empty());
  ControllerStatusSnapshot snapshot = engine.GetControllerStatus();
  EXPECT_EQ(snapshot.time_ms, 1700000000123u);
  EXPECT_EQ(std::vector<uint8_t>(snapshot.record, snapshot.record + 56), status);
  EXPECT_EQ(forwarded.size(), 1u);

  // A short status is kept as far as it arrived, zeros after.
  Log::SetLevel(LogLevel::Debug);
  Deal(7, {9, 0, 0, 0, 5});
  snapshot = engine.GetControllerStatus();
  EXPECT_EQ(snapshot.record[0], 9);
  EXPECT_EQ(snapshot.record[4], 5);
  EXPECT_EQ(snapshot.record[5], 0);
  EXPECT_EQ(log.Messages().at(0),
            "Controller status, device:9/0, fpga:0fps/5Bytes, arm:0fps, host send/recv:0Bytes/0Bytes, fpga temp:-40.00");
}

// Every type with every short length and random content: nothing is read past the payload
// (run under AddressSanitizer to make that a hard check), and nothing crashes.
TEST_F(DealMsgTest, ShortAndRandomPayloadsOfEveryType) {
  std::mt19937 rng(1234);
  for (uint16_t type = 0; type <= 11; ++type) {
    for (uint32_t len = 1; len <= 200; ++len) {
      std::vector<uint8_t> payload(len);
      for (auto& b : payload) b = static_cast<uint8_t>(rng());
      Deal(type, payload);
      if (type == 6 && len >= 4) {  // the decoded sub types with payloads too short for them
        for (uint16_t sub : {81, 82, 83}) {
          StoreU16(payload.data() + 2, sub);
          Deal(type, payload);
        }
      }
    }
  }
  EXPECT_FALSE(forwarded.empty());
}
