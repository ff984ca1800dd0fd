// The C interface's requests, frames, failure reasons and health counters against the simulator,
// through the exported functions only.
#include <algorithm>
#include <functional>
#include <set>
#include <thread>

#include "ServiceFixture.h"
#include "TestWait.h"
#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

using namespace std::chrono_literals;
using Sdk = ServiceFixture;

namespace {

std::string LastError() {
  char text[256];
  kestal_last_error(text, sizeof text);
  return text;
}

int Request(uint16_t sub_type, unsigned timeout_ms, kestal_ack* ack) {
  return kestal_request(sub_type, nullptr, 0, timeout_ms, ack);
}

// What the device received but heartbeats, as (type, sequence number: the first two bytes); with
// a `sub_type`, only the orders of that sub type.
std::vector<std::pair<uint16_t, uint16_t>> Received(const SimDevice& device, int sub_type = -1) {
  std::vector<std::pair<uint16_t, uint16_t>> seen;
  for (const SimHostMessage& m : device.HostMessages()) {
    const bool order = m.type == KESTAL_MSG_ORDER && m.payload.size() >= 4;
    const int sub = order ? m.payload[2] | m.payload[3] << 8 : -1;
    if (sub == KESTAL_ORDER_HEART_BEAT || (sub_type >= 0 && sub != sub_type)) continue;
    seen.emplace_back(m.type, m.payload.size() >= 2 ? m.payload[0] | m.payload[1] << 8 : 0);
  }
  return seen;
}

}  // namespace

TEST_F(Sdk, RequestsGetTheirOwnAckOrANamedError) {
  kestal_ack ack{};
  EXPECT_EQ(Request(KESTAL_ORDER_FPGA_TEMP, 200, &ack), KESTAL_E_NOT_CONNECTED);
  EXPECT_EQ(LastError(), "request 83: not connected");
  EXPECT_EQ(kestal_is_connected(), 0);
  EXPECT_EQ(kestal_request(KESTAL_ORDER_FPGA_TEMP, nullptr, 4, 200, &ack), KESTAL_E_INVALID);
  EXPECT_EQ(Request(KESTAL_ORDER_FPGA_TEMP, 200, nullptr), KESTAL_E_INVALID);
  SimRig& sim = StartSim(SimLink::Network, QuietDevice());
  EXPECT_EQ(kestal_is_connected(), 1);
  kestal_health before{}, after{};
  ASSERT_EQ(kestal_get_health(&before), KESTAL_OK);
  ASSERT_EQ(Request(KESTAL_ORDER_FPGA_TEMP, 3000, &ack), KESTAL_OK);
  kestal_order_ack view;
  double celsius = 0;
  ASSERT_EQ(kestal_view_ack(&ack, &view), KESTAL_OK);
  EXPECT_TRUE(kestal_decode_fpga_temp(&view, &celsius) == KESTAL_OK && celsius == 25.0);
  EXPECT_TRUE(
      m_app.WaitForMessage(KESTAL_MSG_ORDER, AckOf(ack.seq_no), 3s));  // the callback still has it
  ASSERT_EQ(kestal_get_health(&after), KESTAL_OK);
  EXPECT_TRUE(after.orders_sent > before.orders_sent && after.orders_acked > before.orders_acked &&
              after.bytes_in > before.bytes_in && after.frames_out > before.frames_out &&
              after.last_rtt_us > 0);

  // Four threads at once, each order answered by its own ACK (the replies' sizes differ).
  const struct {
    uint16_t sub_type;
    unsigned reply_len;
  } orders[] = {{KESTAL_ORDER_FPGA_TEMP, 4},
                {KESTAL_ORDER_STATIC_INFO, 12},
                {KESTAL_ORDER_SENSOR_REG_MAP, 256},
                {KESTAL_ORDER_SET_GAIN, 0}};
  std::vector<std::vector<kestal_ack>> acks(4, std::vector<kestal_ack>(20));
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (kestal_ack& a : acks[t]) failed += Request(orders[t].sub_type, 5000, &a) != KESTAL_OK;
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failed, 0);
  std::set<uint16_t> seq_nos;
  for (int t = 0; t < 4; ++t)
    for (const kestal_ack& a : acks[t]) {
      EXPECT_TRUE(a.sub_type == orders[t].sub_type && a.reply_len == orders[t].reply_len &&
                  a.code == KESTAL_ACK_OK && !a.truncated);
      seq_nos.insert(a.seq_no);
    }
  EXPECT_EQ(seq_nos.size(), 80u);

  // A device that reads nothing for a while: no ACK in time, and a wait that a stop ends.
  sim.Server().StallReading(1500 * kTimeScale);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Request(KESTAL_ORDER_FPGA_TEMP, 300, &ack), KESTAL_E_TIMEOUT);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(waited >= 300ms && waited < 3s * kTimeScale);
  EXPECT_EQ(LastError(), "request 83: no ACK within 300 ms");
  // Its ACK comes late, after the next order of its sub type was sent: it completes nothing, and
  // that order gets its own ACK, not the stale one.
  ASSERT_EQ(Request(KESTAL_ORDER_FPGA_TEMP, 10000 * kTimeScale, &ack), KESTAL_OK);
  const auto temps = Received(sim.Device(), KESTAL_ORDER_FPGA_TEMP);
  ASSERT_GE(temps.size(), 2u);
  EXPECT_EQ(ack.seq_no, temps.back().second);
  EXPECT_TRUE(m_app.WaitForMessage(KESTAL_MSG_ORDER, AckOf(temps[temps.size() - 2].second), 3s));
  sim.Server().StallReading(5000);
  int stopped = 0;
  std::thread waiting([&] { stopped = Request(KESTAL_ORDER_FPGA_TEMP, 20000, &ack); });
  std::this_thread::sleep_for(200ms);
  StopAndCheck();
  waiting.join();
  EXPECT_EQ(stopped, KESTAL_E_STOPPED);
  EXPECT_EQ(kestal_is_connected(), 0);
}

// Every call refused for its arguments says why (kestal_last_error) and sends nothing.
TEST_F(Sdk, RefusedCallsSayWhyAndSendNothing) {
  SimRig& sim = StartSim(SimLink::Network, QuietDevice());
  // The comm type order is sent before the connected event but may still be on its way.
  ASSERT_TRUE(
      WaitUntil([&] { return !Received(sim.Device(), KESTAL_ORDER_SET_COMM_TYPE).empty(); }, 3s));
  auto sent = Received(sim.Device());
  const std::string long_path(4097, 'd');
  const unsigned char three[3] = {};
  kestal_ack ack{};
  kestal_order_ack view{};
  kestal_order_ack short_reply{};  // an ACK without reply data
  double celsius = 0;
  auto endpoint = [](int comm_type, const char* host, unsigned short port) {
    return [=] { return kestal_set_network_endpoint(comm_type, host, port); };
  };
  const struct {
    std::function<int()> call;
    int result;
    std::string reason;  // a part of kestal_last_error that names the problem
  } rows[] = {
      {[] { return kestal_send(KESTAL_MSG_ORDER, nullptr, 10); }, KESTAL_E_INVALID,
       "send type 6: no data for its 10 bytes"},
      {[] { return kestal_update_firmware(1, nullptr, 10); }, KESTAL_E_INVALID,
       "firmware update: no data for its 10 bytes"},
      {[&] { return m_service.SendHostCommMsg(KESTAL_MSG_ORDER, nullptr, 11); }, -1,
       "send type 6: no data for its 11 bytes"},
      {[&] { return m_service.SendUpdateFirmware(1, nullptr, 11); }, -1,
       "firmware update: no data for its 11 bytes"},
      {[&] { return kestal_request(KESTAL_ORDER_FPGA_TEMP, nullptr, 4, 200, &ack); },
       KESTAL_E_INVALID, "request 83: "},
      {[] { return kestal_set_comm_type(3); }, -1, "comm type 3"},
      {endpoint(KESTAL_COMM_STORAGE, "127.0.0.1", 1), -1, "comm type 0"},
      {endpoint(KESTAL_COMM_NETWORK, nullptr, 1), -1, "no host"},
      {endpoint(KESTAL_COMM_NETWORK, "999.1.1.1", 1), -1, "\"999.1.1.1\""},
      {endpoint(KESTAL_COMM_NETWORK, "a..b", 1), -1, "\"a..b\""},
      {endpoint(KESTAL_COMM_NETWORK_ALT, "", 1), -1, "\"\""},
      {endpoint(KESTAL_COMM_NETWORK, "[::1]", 1), -1, "\"[::1]\""},
      {endpoint(KESTAL_COMM_NETWORK, "127.0.0.1", 0), -1, "port 0"},
      {[&] { return kestal_set_storage_device(long_path.c_str()); }, -1, "4096 bytes"},
      {[] { return kestal_get_health(nullptr); }, KESTAL_E_INVALID, "health"},
      {[] { return kestal_last_error(nullptr, 5); }, KESTAL_E_INVALID, "5 bytes"},
      {[&] { return kestal_decode_order_ack(three, 3, &view); }, KESTAL_E_INVALID, "order ACK"},
      {[&] { return kestal_view_ack(nullptr, &view); }, KESTAL_E_INVALID, "view ACK"},
      {[&] { return kestal_decode_fpga_temp(&short_reply, &celsius); }, KESTAL_E_INVALID,
       "FPGA temperature"},
      {[&] { return kestal_decode_controller_status(three, 3, nullptr); }, KESTAL_E_INVALID,
       "controller status"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.call(), row.result) << row.reason;
    EXPECT_NE(LastError().find(row.reason), std::string::npos) << row.reason << ": " << LastError();
  }
  // Whatever a refused call had sent would have reached the device before this order.
  ASSERT_EQ(Request(KESTAL_ORDER_FPGA_TEMP, 3000, &ack), KESTAL_OK);
  sent.emplace_back(KESTAL_MSG_ORDER, ack.seq_no);
  EXPECT_EQ(Received(sim.Device()), sent);
  StopAndCheck();
}

// Each frame arrives with the header's size and number, its pixels, and rising times; a request
// from the frame callback gets its ACK, which the reading side matches while the callback waits.
TEST_F(Sdk, FramesCarryTheirSizeNumberAndTime) {
  struct Frame {
    kestal_frame meta;
    std::vector<uint8_t> bytes;  // header and pixels
    int request;                 // what a request from the callback gave
  };
  Seen<Frame> frames;
  SimDeviceOptions options = QuietDevice();
  options.frame_rate = 50;
  SimRig& sim = StartSim(SimLink::Network, options);
  kestal_set_frame_callback(
      [](const kestal_frame* f, void* seen) {
        Frame frame{*f, std::vector<uint8_t>(f->header, f->header + f->header_len), 0};
        frame.bytes.insert(frame.bytes.end(), f->pixels, f->pixels + f->pixels_len);
        kestal_ack ack;
        frame.request = Request(KESTAL_ORDER_FPGA_TEMP, 1000, &ack);
        static_cast<Seen<Frame>*>(seen)->Add(std::move(frame));
      },
      &frames);
  kestal_ack ack;
  ASSERT_EQ(Request(KESTAL_ORDER_START_SCAN, 3000, &ack), KESTAL_OK);
  EXPECT_TRUE(WaitUntil([&] { return frames.Copy().size() >= 5; }, 5s * kTimeScale));
  EXPECT_EQ(Request(KESTAL_ORDER_STOP_SCAN, 3000, &ack), KESTAL_OK);
  kestal_set_frame_callback(nullptr, nullptr);
  const auto utc_now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  const std::vector<Frame> seen = frames.Copy();
  for (size_t i = 0; i < seen.size(); ++i) {
    const kestal_frame& f = seen[i].meta;
    EXPECT_TRUE(f.kind == KESTAL_MSG_IMAGE_PIECE && f.width == 640 && f.height == 480 &&
                f.pixels_len == 640 * 480 && f.header_len == KESTAL_IMAGE_HEADER_LEN);
    EXPECT_TRUE(seen[i].bytes == sim.Device().ExpectedFrame(f.number, f.kind)) << f.number;
    EXPECT_EQ(seen[i].request, KESTAL_OK);
    EXPECT_TRUE(f.utc_time_ns <= utc_now && f.utc_time_ns > utc_now - 60'000'000'000LL);
    if (i > 0) {
      EXPECT_TRUE(f.number == seen[i - 1].meta.number + 1 &&
                  f.host_time_ns > seen[i - 1].meta.host_time_ns);
    }
  }
  StopAndCheck();
}

// A failure's reason reaches kestal_last_error and the detail of its event.
TEST_F(Sdk, FailuresComeWithTheirReason) {
  Seen<std::pair<int, std::string>> details;
  kestal_set_event_detail_callback(
      [](int event, const char*, const char* detail, void* seen) {
        static_cast<Seen<std::pair<int, std::string>>*>(seen)->Add({event, detail});
      },
      &details);
  const HostCommSettings saved = m_impl.Settings();
  uint16_t closed;
  {
    SimRig gone(SimLink::Network, QuietDevice());
    ASSERT_EQ(gone.Start(), 0);
    closed = gone.Server().Port();  // nothing listens there once it is gone
  }
  ASSERT_EQ(kestal_set_network_endpoint(KESTAL_COMM_NETWORK, "127.0.0.1", closed), 0);
  ASSERT_EQ(kestal_set_comm_type(KESTAL_COMM_NETWORK), 0);
  EXPECT_EQ(m_service.Start(), 0);
  m_started = true;
  ASSERT_TRUE(m_app.WaitForEvent(ConnectedError, 1, 5s));
  const std::string refused =
      "connect 127.0.0.1:" + std::to_string(closed) + ": connection refused";
  EXPECT_EQ(LastError(), refused);
  // A failed request's reason stays its thread's while the link's failures go on elsewhere.
  kestal_ack ack;
  EXPECT_EQ(Request(KESTAL_ORDER_FPGA_TEMP, 100, &ack), KESTAL_E_NOT_CONNECTED);
  ASSERT_TRUE(m_app.WaitForEvent(ConnectedError, m_app.CountEvents(ConnectedError) + 1, 5s));
  std::string elsewhere;
  std::thread([&] { elsewhere = LastError(); }).join();
  EXPECT_TRUE(LastError() == "request 83: not connected" && elsewhere == refused) << elsewhere;
  StopAndCheck();

  ASSERT_EQ(kestal_set_storage_device("no-such-disk.img"), 0);
  ASSERT_EQ(kestal_set_comm_type(KESTAL_COMM_STORAGE), 0);
  EXPECT_EQ(m_service.Start(), -1);
  m_started = true;
  const std::string no_disk = "no disk of 52428800 bytes among 1 candidates";
  EXPECT_EQ(LastError(), no_disk);
  StopAndCheck();
  kestal_set_event_detail_callback(nullptr, nullptr);
  m_impl.SetSettings(saved);
  const std::vector<std::pair<int, std::string>> seen = details.Copy();
  for (const std::string& reason : {refused, no_disk})
    EXPECT_NE(std::find(seen.begin(), seen.end(),
                        std::make_pair(int{KESTAL_EVENT_CONNECTED_ERROR}, reason)),
              seen.end())
        << reason;
  char small[8];
  EXPECT_EQ(kestal_last_error(small, sizeof small), static_cast<int>(no_disk.size()));
  EXPECT_STREQ(small, "no disk");
  EXPECT_EQ(kestal_last_error(nullptr, 0), static_cast<int>(no_disk.size()));
}
