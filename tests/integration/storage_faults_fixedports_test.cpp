// A device writing faster than the host reads, end to end through the service: a record caught in
// writing is delivered once, and a burst that laps the reader costs messages but never order, and
// no link error.
#include <algorithm>
#include <vector>

#include "ServiceFixture.h"
#include "protocol/HostCommMsg.h"

using namespace std::chrono;
using Bytes = std::vector<uint8_t>;

namespace {
constexpr int kIntact = -2;  // SendFaulty's torn time otherwise

// An order ACK of a sub type nothing claims, numbered, its fill from the number.
Bytes Message(uint16_t n) {
  Bytes m(24);
  m[0] = static_cast<uint8_t>(n), m[1] = static_cast<uint8_t>(n >> 8), m[2] = 0xFF, m[3] = 0x7F;
  for (size_t i = 4; i < m.size(); ++i) m[i] = static_cast<uint8_t>(n * 7 + i);
  return m;
}
}  // namespace

TEST_F(ServiceFixture, StorageWriterLappingTheReaderCostsOnlyTheMessagesOverwritten) {
  SimRig& sim = StartSim(SimLink::Storage, QuietDevice());
  SimStorageDevice& device = sim.StorageHalf();
  uint16_t next = 0;
  std::vector<uint16_t> kept;
  auto send = [&](int fault, int count = 1) {
    for (int i = 0; i < count; ++i, ++next) {
      const Bytes m = Message(next);
      ASSERT_EQ(fault == kIntact ? device.Send(Order, m.data(), 24)
                                 : device.SendFaulty(Order, m.data(), 24, fault),
                0);
      kept.push_back(next);
    }
  };
  // The numbers of the test's messages, in the order delivered; each must be whole.
  auto received = [&] {
    std::vector<uint16_t> numbers;
    for (const AppMessage& m : m_app.Messages(Order)) {
      if (m.payload.size() != 24 || m.payload[2] != 0xFF || m.payload[3] != 0x7F) continue;
      numbers.push_back(static_cast<uint16_t>(m.payload[0] | m.payload[1] << 8));
      EXPECT_EQ(m.payload, Message(numbers.back()));
    }
    return numbers;
  };
  // Damaged records and skipped numbers are the reader's unit tests; here the device's writer and
  // the host's reader race over a record caught in writing for 40 ms.
  send(kIntact, 3), send(40), send(kIntact, 3);
  ASSERT_TRUE(WaitUntil([&] { return received().size() >= kept.size(); }, 5000ms));
  EXPECT_EQ(received(), kept);

  // A burst that takes the writer a whole ring (4096 records) past the reader: what arrives of it
  // is in order, and the messages after it all arrive.
  std::vector<Bytes> burst;
  std::vector<SimStorageDevice::Message> list;
  for (int i = 0; i < 4200; ++i) burst.push_back(Message(next++));
  for (const Bytes& b : burst) list.push_back({b.data(), 24});
  ASSERT_EQ(device.SendMany(Order, list.data(), static_cast<uint32_t>(list.size())), 0);
  const uint16_t after = next;
  send(kIntact, 3);
  ASSERT_TRUE(
      WaitUntil([&] { return !received().empty() && received().back() == next - 1; }, 5000ms));
  const std::vector<uint16_t> all = received();
  EXPECT_TRUE(std::adjacent_find(all.begin(), all.end(), std::greater_equal<uint16_t>()) ==
              all.end());
  EXPECT_TRUE(std::includes(all.begin(), all.end(), kept.begin(), kept.end()));
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [&](uint16_t n) { return n >= after; }), 3);
  EXPECT_EQ(m_app.CountEvents(CommError), 0);
  StopAndCheck();
}
