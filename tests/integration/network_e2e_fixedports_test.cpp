// The exported service end to end over TCP against the device simulator on 127.0.0.1.
//
// Every test points the library's device address at the simulator (127.0.0.1 and its
// ephemeral port) before Start; the library never dials its default device addresses here.
// Start binds the arm link's fixed UDP port, hence the file name.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/LittleEndian.h"
#include "devsim/SimDevice.h"
#include "devsim/SimNetworkServer.h"
#include "kestal/KestalHostCommService.h"
#include "protocol/HostCommMsg.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceGlobals.h"

using kestal::LoadU16;
using kestal::LoadU32;
using kestal::StoreU16;
using kestal::StoreU32;
using namespace std::chrono_literals;
using Access = KestalHostCommServiceAccess;

namespace {

struct Received {
  uint16_t type;
  std::vector<uint8_t> payload;
};

// What the application sees through its callbacks.
class AppSide {
 public:
  static void OnEvent(HostCommDeviceEvent event, const char* text, void* user) {
    auto* self = static_cast<AppSide*>(user);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_events.emplace_back(event, text ? text : "");
    self->m_signal.notify_all();
  }
  static void OnMsg(unsigned short type, unsigned char* data, unsigned int len, void* user) {
    auto* self = static_cast<AppSide*>(user);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_msgs.push_back({type, std::vector<uint8_t>(data, data + len)});
    self->m_signal.notify_all();
  }
  static void OnScanner(unsigned short state, void* user) {
    auto* self = static_cast<AppSide*>(user);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_scanner_states.push_back(state);
    self->m_signal.notify_all();
  }

  int CountEvents(HostCommDeviceEvent event) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (auto& e : m_events) n += e.first == event;
    return n;
  }
  std::vector<std::pair<HostCommDeviceEvent, std::string>> Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  bool WaitEvent(HostCommDeviceEvent event, int times, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_signal.wait_for(lock, timeout, [&] {
      int n = 0;
      for (auto& e : m_events) n += e.first == event;
      return n >= times;
    });
  }
  // Waits for a message of `type` that `match` accepts; returns a copy of the first one.
  template <typename Match>
  bool WaitMsg(uint16_t type, Match match, std::chrono::milliseconds timeout, Received* out = nullptr) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_signal.wait_for(lock, timeout, [&] {
      for (auto& m : m_msgs)
        if (m.type == type && match(m.payload)) {
          if (out) *out = m;
          return true;
        }
      return false;
    });
  }
  bool WaitScannerState(unsigned short state, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_signal.wait_for(lock, timeout, [&] {
      return std::find(m_scanner_states.begin(), m_scanner_states.end(), state) != m_scanner_states.end();
    });
  }
  std::vector<Received> Msgs(uint16_t type) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Received> out;
    for (auto& m : m_msgs)
      if (m.type == type) out.push_back(m);
    return out;
  }

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_signal;
  std::vector<std::pair<HostCommDeviceEvent, std::string>> m_events;
  std::vector<Received> m_msgs;
  std::vector<unsigned short> m_scanner_states;
};

// An order ACK with this sequence number.
auto AckOf(uint16_t seq_no) {
  return [seq_no](const std::vector<uint8_t>& p) { return p.size() >= 4 && LoadU16(p.data()) == seq_no; };
}

std::vector<uint8_t> MakeOrder(uint16_t seq_no, uint16_t sub_type, std::vector<uint8_t> params = {}) {
  std::vector<uint8_t> order(8 + params.size());
  StoreU16(order.data(), seq_no);
  StoreU16(order.data() + 2, sub_type);
  StoreU32(order.data() + 4, static_cast<uint32_t>(params.size()));
  if (!params.empty()) std::memcpy(order.data() + 8, params.data(), params.size());
  return order;
}

size_t CommTypeOrders(const SimDevice& device) {
  size_t n = 0;
  for (auto& m : device.HostMessages())
    n += m.type == Order && m.payload.size() >= 4 && LoadU16(m.payload.data() + 2) == SetCommType;
  return n;
}

bool WaitForCommTypeOrders(const SimDevice& device, size_t count, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (CommTypeOrders(device) >= count) return true;
    std::this_thread::sleep_for(20ms);
  }
  return CommTypeOrders(device) >= count;
}

SimDeviceOptions QuietDevice() {
  SimDeviceOptions o;
  o.status_interval_ms = 0;
  return o;
}

class NetworkE2E : public ::testing::Test {
 protected:
  KestalHostCommService& m_service = KestalHostCommService::GetInstance();
  AppSide m_app;
  bool m_started = false;

  void SetUp() override {
    // The library dials only the simulator on loopback, whatever comm type a test picks.
    auto& net = Access::Engine().m_comm_dev_via_network;
    net.m_device_ip_type1 = "127.0.0.1";
    net.m_device_ip_type3 = "127.0.0.1";
    m_service.SetDeviceEventCallBack(&AppSide::OnEvent, &m_app);
    m_service.SetRecvHostCommMsgCallBack(&AppSide::OnMsg, &m_app);
    m_service.SetScanerStatusCallBack(&AppSide::OnScanner, &m_app);
  }

  void TearDown() override {
    if (m_started) m_service.Stop();
    m_service.SetDeviceEventCallBack(nullptr, nullptr);
    m_service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
    m_service.SetScanerStatusCallBack(nullptr, nullptr);
  }

  // Starts the library against the simulator and waits for the connection.
  void StartAgainst(SimNetworkServer& server) {
    auto& engine = Access::Engine();
    ASSERT_EQ(engine.m_comm_dev_via_network.m_device_ip_type1, "127.0.0.1");
    ASSERT_EQ(server.Address(), "127.0.0.1");
    engine.m_device_port_type1 = server.Port();
    engine.m_device_port_type3 = server.Port();
    m_service.SetCommType(HostCommDeviceNetwork);
    ASSERT_EQ(m_service.Start(), 0);
    m_started = true;
    ASSERT_TRUE(m_app.WaitEvent(ConnectedOk, 1, 5000ms)) << "no connection to the simulator";
    ASSERT_TRUE(server.WaitForConnections(1, 1000));
  }

  // Sends an order through the exported interface; returns its sequence number.
  uint16_t SendOrder(uint16_t sub_type, std::vector<uint8_t> params = {}) {
    const uint16_t seq = m_service.GetMsgSeqNo();
    auto order = MakeOrder(seq, sub_type, std::move(params));
    EXPECT_EQ(m_service.SendHostCommMsg(Order, order.data(), static_cast<unsigned>(order.size())), 0);
    return seq;
  }

  void StopAndCheck() {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(m_service.Stop(), 0);
    m_started = false;
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1000ms);
    EXPECT_FALSE(Access::WorkersRunning());
  }
};

}  // namespace

TEST_F(NetworkE2E, ConnectsThenSendsCommTypeAndHeartbeatsWithValidFrames) {
  LogCapture log;
  SimDevice device(QuietDevice());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  StartAgainst(server);

  auto events = m_app.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].first, Connecting);
  EXPECT_EQ(events[0].second, "Connecting...");
  auto ok = std::find_if(events.begin(), events.end(), [](auto& e) { return e.first == ConnectedOk; });
  ASSERT_NE(ok, events.end());
  EXPECT_EQ(ok->second, "Connected OK");

  // The comm-type order tells the device "network" (1); heartbeats follow once a second.
  ASSERT_TRUE(device.WaitForHostMessages(Order, 3, 4000));
  std::vector<SimHostMessage> heartbeats;
  std::vector<SimHostMessage> comm_types;
  for (auto& m : device.HostMessages()) {
    ASSERT_EQ(m.type, Order);
    ASSERT_GE(m.payload.size(), 8u);
    (LoadU16(m.payload.data() + 2) == SetCommType ? comm_types : heartbeats).push_back(m);
  }
  ASSERT_EQ(comm_types.size(), 1u);
  EXPECT_EQ(comm_types[0].payload.size(), 12u);
  EXPECT_EQ(LoadU32(comm_types[0].payload.data() + 4), 4u);
  EXPECT_EQ(LoadU32(comm_types[0].payload.data() + 8), 1u);
  ASSERT_GE(heartbeats.size(), 2u);
  for (size_t i = 0; i < heartbeats.size(); ++i) {
    EXPECT_EQ(heartbeats[i].payload.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(heartbeats[i].payload.begin() + 2, heartbeats[i].payload.end()),
              std::vector<uint8_t>(6, 0));
    if (i > 0) {
      EXPECT_GT(LoadU16(heartbeats[i].payload.data()), LoadU16(heartbeats[i - 1].payload.data()));
    }
  }
  // Every frame checked out at the device: no bad checksum, no stray byte.
  EXPECT_EQ(server.CrcErrors(), 0u);
  EXPECT_EQ(server.OversizeErrors(), 0u);
  EXPECT_EQ(server.SkippedBytes(), 0u);
  EXPECT_EQ(server.FramesReceived(), device.HostMessages().size());
  // The device's ACKs came back: the heartbeat ACK is forwarded like any other.
  EXPECT_TRUE(m_app.WaitMsg(Order, AckOf(LoadU16(heartbeats[0].payload.data())), 2000ms));
  EXPECT_TRUE(log.WaitFor("Recv order to set comm type ACK:" + std::to_string(LoadU16(comm_types[0].payload.data())),
                          2000ms));

  StopAndCheck();
  // Nothing reaches the device once the library has stopped.
  const size_t after_stop = device.HostMessages().size();
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(device.HostMessages().size(), after_stop);
  EXPECT_TRUE(server.WaitForDisconnected(1000));
}

TEST_F(NetworkE2E, OrdersAreAnsweredDecodedAndForwarded) {
  LogCapture log;
  SimDeviceOptions o;
  o.status_interval_ms = 200;
  o.scanner_state = 4;
  SimDevice device(o);
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  StartAgainst(server);

  const uint16_t temp_seq = SendOrder(GetFpgaTemp);
  const uint16_t info_seq = SendOrder(GetDeviceStaticInfo);
  const uint16_t map_seq = SendOrder(GetSensorRegMap);
  Received temp;
  ASSERT_TRUE(m_app.WaitMsg(Order, AckOf(temp_seq), 3000ms, &temp));
  ASSERT_EQ(temp.payload.size(), 14u);
  EXPECT_EQ(LoadU16(temp.payload.data() + 2), GetFpgaTemp);
  EXPECT_EQ(LoadU32(temp.payload.data() + 10), 6500u);
  Received map;
  ASSERT_TRUE(m_app.WaitMsg(Order, AckOf(map_seq), 3000ms, &map));
  EXPECT_EQ(std::vector<uint8_t>(map.payload.begin() + 10, map.payload.end()), device.SensorMap());
  EXPECT_TRUE(m_app.WaitMsg(Order, AckOf(info_seq), 3000ms));
  EXPECT_TRUE(log.WaitFor("Fpga temp:25.00", 1000ms));
  EXPECT_TRUE(log.Contains("Recv order to get fpga temp ACK:" + std::to_string(temp_seq)));
  EXPECT_TRUE(log.Contains("Static fpga version:2.0.7.0012, app version:1.2.3.0045"));
  EXPECT_TRUE(log.Contains("Recv order to get sensor reg map ACK:" + std::to_string(map_seq)));

  // Configuration written, then read back through the library.
  std::vector<uint8_t> file(130);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 3);
  auto write = MakeOrder(m_service.GetMsgSeqNo(), 1, file);
  ASSERT_EQ(m_service.SendHostCommMsg(WriteConfig, write.data(), static_cast<unsigned>(write.size())), 0);
  ASSERT_TRUE(m_app.WaitMsg(WriteConfig, AckOf(LoadU16(write.data())), 3000ms));
  auto read = MakeOrder(m_service.GetMsgSeqNo(), 1);
  ASSERT_EQ(m_service.SendHostCommMsg(ReadConfig, read.data(), static_cast<unsigned>(read.size())), 0);
  Received config;
  ASSERT_TRUE(m_app.WaitMsg(ReadConfig, AckOf(LoadU16(read.data())), 3000ms, &config));
  EXPECT_EQ(std::vector<uint8_t>(config.payload.begin() + 10, config.payload.end()), file);
  EXPECT_TRUE(log.WaitFor("Recv a read config ACK, seq_no:" + std::to_string(LoadU16(read.data())) +
                              ", sub_msg_type:1, ack_code:0, config_file_len:130",
                          1000ms));
  EXPECT_EQ(log.MessagesStartingWith("0128: ").size(), 1u);

  // The controller status reaches the application's scanner-status callback.
  EXPECT_TRUE(m_app.WaitMsg(ControllerStatus, [](auto& p) { return p.size() == 56; }, 2000ms));
  EXPECT_TRUE(m_app.WaitScannerState(4, 3000ms));
  StopAndCheck();
}

TEST_F(NetworkE2E, MultiPieceImagesArriveWhole) {
  LogCapture log;
  SimDeviceOptions o = QuietDevice();
  o.image_size = 200000;  // pieces of 60000, 60000, 60000 and 20000 bytes
  o.frame_rate = 20;
  SimDevice device(o);
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  StartAgainst(server);

  const uint16_t start_seq = SendOrder(StartScan);
  ASSERT_TRUE(m_app.WaitMsg(OriginalImagePiece, [](auto&) { return true; }, 3000ms));
  ASSERT_TRUE(device.WaitForFramesSent(3, 3000));
  const uint16_t y_seq = SendOrder(EnterYImage);
  ASSERT_TRUE(m_app.WaitMsg(YOriginalImagePiece, [](auto&) { return true; }, 3000ms));
  const uint16_t stop_seq = SendOrder(StopScan);
  ASSERT_TRUE(m_app.WaitMsg(Order, AckOf(stop_seq), 3000ms));
  EXPECT_TRUE(log.Contains("Recv order to start scan ACK:" + std::to_string(start_seq)));
  EXPECT_TRUE(log.Contains("Recv order to enter Y image ACK:" + std::to_string(y_seq)));
  EXPECT_TRUE(log.WaitFor("Recv order to stop scan ACK:" + std::to_string(stop_seq), 1000ms));

  // Every frame the application got is exactly a frame the device built, header included.
  size_t original = 0;
  size_t y_original = 0;
  for (uint16_t type : {OriginalImagePiece, YOriginalImagePiece}) {
    for (auto& frame : m_app.Msgs(type)) {
      ASSERT_EQ(frame.payload.size(), 200080u);
      const uint32_t frame_no = LoadU32(frame.payload.data());
      ASSERT_EQ(frame.payload, device.ExpectedFrame(frame_no, type)) << "frame " << frame_no;
      ++(type == OriginalImagePiece ? original : y_original);
    }
  }
  EXPECT_GE(original, 2u);
  EXPECT_GE(y_original, 1u);
  // Nothing was lost on the way: the library delivered every frame the device sent.
  EXPECT_EQ(original + y_original, device.FramesSent());
  EXPECT_EQ(log.MessagesStartingWith("Recv a completed frame of original image:").size(), original);
  EXPECT_TRUE(log.Contains("Recv a completed frame of original image:2"));
  StopAndCheck();
}

TEST_F(NetworkE2E, FirmwareFileArrivesIntactEvenWhenTheDeviceStallsReading) {
  LogCapture log;
  SimDevice device(QuietDevice());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  StartAgainst(server);

  std::vector<uint8_t> file(200000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>((i * 7919u) >> 3);
  ASSERT_EQ(m_service.SendUpdateFirmware(3, file.data(), static_cast<unsigned>(file.size())), 0);
  Received done;
  ASSERT_TRUE(m_app.WaitMsg(UpdateFirmware, [](auto& p) { return p.size() >= 8 && p[6] == 100; }, 5000ms, &done));
  EXPECT_EQ(LoadU16(done.payload.data() + 2), 3);
  EXPECT_EQ(LoadU16(done.payload.data() + 4), SimDevice::kFirmwareAckOk);
  EXPECT_TRUE(device.FirmwareComplete());
  EXPECT_TRUE(device.FirmwareCheckOk());
  EXPECT_EQ(device.FirmwareImage(), file);
  EXPECT_EQ(m_app.Msgs(UpdateFirmware).size(), 4u);  // one ACK per chunk of 65496 bytes
  EXPECT_TRUE(log.WaitFor("Recv a update firmware ACK, seq_no:" + std::to_string(LoadU16(done.payload.data())) +
                              ", type:3, ack_code:0, progress:100, step:2",
                          1000ms));

  // While the device does not read, the chunks wait in the link; they arrive whole after.
  std::vector<uint8_t> second(file.rbegin(), file.rend());
  server.StallReading(1500);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(m_service.SendUpdateFirmware(4, second.data(), static_cast<unsigned>(second.size())), 0);
  std::this_thread::sleep_for(700ms);
  EXPECT_NE(device.FirmwareImage(), second);
  ASSERT_TRUE(m_app.WaitMsg(UpdateFirmware, [](auto& p) { return p.size() >= 8 && LoadU16(p.data() + 2) == 4 && p[6] == 100; },
                            5000ms));
  EXPECT_EQ(device.FirmwareImage(), second);
  EXPECT_TRUE(device.FirmwareCheckOk());
  EXPECT_EQ(server.CrcErrors(), 0u);
  StopAndCheck();
}

TEST_F(NetworkE2E, CorruptStreamIsDroppedAndTheLinkRecovers) {
  LogCapture log;
  SimDevice device(QuietDevice());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  StartAgainst(server);

  // An order ACK the device volunteers, told apart by its sequence number.
  auto ack = [](uint16_t seq) {
    std::vector<uint8_t> p(14, 0);
    StoreU16(p.data(), seq);
    StoreU16(p.data() + 2, GetFpgaTemp);
    StoreU32(p.data() + 10, 7000);
    return p;
  };

  // Garbage before a frame: skipped, noted, the frame still delivered.
  auto a = ack(60001);
  ASSERT_EQ(server.SendGarbageThenFrame(3, Order, a.data(), static_cast<uint32_t>(a.size())), 0);
  EXPECT_TRUE(m_app.WaitMsg(Order, AckOf(60001), 3000ms));
  EXPECT_FALSE(log.MessagesStartingWith("Found discontinue start at").empty());

  // A bad checksum: the frame is refused and never reaches the application.
  auto b = ack(60002);
  ASSERT_EQ(server.SendBadChecksumFrame(Order, b.data(), static_cast<uint32_t>(b.size())), 0);
  ASSERT_TRUE(log.WaitFor("Clear recv_cache_len at 0", 3000ms));
  EXPECT_FALSE(log.MessagesStartingWith("Build message, CRC error:").empty());

  // A length above the limit: refused at its header.
  ASSERT_EQ(server.SendOversizeFrame(70000), 0);
  EXPECT_TRUE(log.WaitFor("Build message, payload_length is too large:70000", 3000ms));

  // The link stays up and carries the next message.
  std::this_thread::sleep_for(100ms);
  auto c = ack(60003);
  ASSERT_EQ(server.SendMessage(Order, c.data(), static_cast<uint32_t>(c.size())), 0);
  EXPECT_TRUE(m_app.WaitMsg(Order, AckOf(60003), 3000ms));
  EXPECT_FALSE(m_app.WaitMsg(Order, AckOf(60002), 0ms));
  EXPECT_EQ(server.Connections(), 1u);
  EXPECT_EQ(m_app.CountEvents(ConnectedOk), 1);
  StopAndCheck();
}

TEST_F(NetworkE2E, ConnectionDroppedMidFrameIsReestablished) {
  LogCapture log;
  SimDevice device(QuietDevice());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  StartAgainst(server);
  ASSERT_TRUE(WaitForCommTypeOrders(device, 1, 2000));

  std::vector<uint8_t> ack(14, 0);
  StoreU16(ack.data(), 60010);
  StoreU16(ack.data() + 2, GetFpgaTemp);
  ASSERT_EQ(server.DropMidFrame(Order, ack.data(), static_cast<uint32_t>(ack.size()), 20), 0);
  ASSERT_TRUE(server.WaitForConnections(2, 5000)) << "the library did not dial again";
  ASSERT_TRUE(m_app.WaitEvent(ConnectedOk, 2, 3000ms));
  EXPECT_GE(log.Count("Connected OK"), 2);
  // The half frame of the lost connection never surfaces.
  EXPECT_FALSE(m_app.WaitMsg(Order, AckOf(60010), 0ms));

  // The new connection is announced to the device and carries orders both ways.
  EXPECT_TRUE(WaitForCommTypeOrders(device, 2, 3000));
  const uint16_t seq = SendOrder(GetFpgaTemp);
  EXPECT_TRUE(m_app.WaitMsg(Order, AckOf(seq), 3000ms));
  EXPECT_EQ(CommTypeOrders(device), 2u);
  StopAndCheck();
}

namespace {

// The arm companion process, on loopback UDP.
class Companion {
 public:
  Companion() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(27000);
    m_ok = ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Companion() { ::close(m_fd); }
  bool ok() const { return m_ok; }
  void SendToLink(const std::vector<uint8_t>& bytes) {
    sockaddr_in to = Loopback(26000);
    ASSERT_EQ(::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(bytes.size()));
  }
  std::vector<uint8_t> Receive(int timeout_ms) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) return {};
    uint8_t buf[2048];
    ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>{};
  }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  int m_fd = -1;
  bool m_ok = false;
};

}  // namespace

TEST_F(NetworkE2E, ArmMessagesAreRelayedBothWays) {
  Companion companion;
  ASSERT_TRUE(companion.ok());
  SimDevice device(QuietDevice());
  SimNetworkServer server(device);
  ASSERT_EQ(server.Start(), 0);
  StartAgainst(server);

  // Companion to device: always 64 bytes, zero-filled.
  companion.SendToLink({1, 2, 3, 4, 5});
  ASSERT_TRUE(device.WaitForHostMessages(ArmMsg, 1, 3000));
  std::vector<uint8_t> expected(64, 0);
  for (uint8_t i = 0; i < 5; ++i) expected[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(device.HostArmMessages()[0].payload, expected);

  // Device to companion: relayed as it is, never to the application.
  std::vector<uint8_t> from_arm(100);
  for (size_t i = 0; i < from_arm.size(); ++i) from_arm[i] = static_cast<uint8_t>(200 - i);
  ASSERT_EQ(device.SendArmMsg(from_arm.data(), static_cast<uint32_t>(from_arm.size())), 0);
  EXPECT_EQ(companion.Receive(3000), from_arm);
  EXPECT_TRUE(m_app.Msgs(ArmMsg).empty());
  StopAndCheck();
}
