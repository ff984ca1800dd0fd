// A host application's view: only the exported headers, only the shared library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>
#include <tuple>

#include "kestal/KestalHostCommService.h"
#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

namespace {

// What the last call of a receive callback got, and how many calls came.
struct Call {
  unsigned short type;
  const unsigned char* data;
  unsigned int len;
  void* user_data;
  int count;
};
void Record(unsigned short type, const unsigned char* data, unsigned int len, void* user_data) {
  *static_cast<Call*>(user_data) = {type, data, len, user_data,
                                    static_cast<Call*>(user_data)->count + 1};
}

}  // namespace

TEST(ExportedApi, SequenceNumbersAndTheReceiveCallbacksOfTheClassAndTheCInterface) {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  EXPECT_EQ(service.GetMsgSeqNo(), 1);  // the first number drawn; 65535 later it wraps through 0
  unsigned short last = 1;
  for (int i = 0; i < 65535; ++i) last = service.GetMsgSeqNo();
  EXPECT_EQ(last, 0);
  EXPECT_EQ(service.GetMsgSeqNo(), 1);
  EXPECT_EQ(service.SendUpdateFirmware(1, nullptr, 0), 0);
  Call call{};
  unsigned char payload[3] = {1, 2, 3};
  service.RecvHostCommMsg(6, payload, 3);  // nothing registered yet
  service.SetRecvHostCommMsgCallBack([](unsigned short type, unsigned char* data, unsigned int len,
                                        void* user_data) { Record(type, data, len, user_data); },
                                     &call);
  service.RecvHostCommMsg(6, payload, 3);
  service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
  service.RecvHostCommMsg(6, payload, 3);
  EXPECT_EQ(call.count, 1);
  EXPECT_TRUE(call.type == 6 && call.data == payload && call.len == 3 && call.user_data == &call);

  // The C interface on the same service: one counter, checked arguments, callbacks with their own
  // user data that reach the application only while registered.
  const unsigned short seq_no = service.GetMsgSeqNo();
  EXPECT_EQ(kestal_next_seq_no(), static_cast<unsigned short>(seq_no + 1));
  EXPECT_EQ(kestal_set_comm_type(3) + kestal_set_comm_type(-1), -2);
  EXPECT_EQ(kestal_set_comm_type(KESTAL_COMM_STORAGE), 0);
  const std::string overlong(256, 'a');
  // Refused: hosts that are no address or name.
  for (const char* host :
       {"", overlong.c_str(), "999.1.1.1", "1.2.3", "a..b", "-a.b", "a b", "::g", "10.0.0.1:80"})
    EXPECT_EQ(kestal_set_network_endpoint(KESTAL_COMM_NETWORK, host, 1), -1) << host;
  for (const char* host : {"localhost", "scan-head.local.", "::1", "127.0.0.1"})
    EXPECT_EQ(kestal_set_network_endpoint(KESTAL_COMM_NETWORK_ALT, host, 9), 0) << host;
  call = {};
  kestal_set_message_callback(Record, &call);
  service.RecvHostCommMsg(9, payload, 2);
  kestal_set_message_callback(nullptr, &call);
  service.RecvHostCommMsg(9, payload, 2);
  EXPECT_EQ(call.count, 1);
  EXPECT_TRUE(call.type == 9 && call.data == payload && call.len == 2 && call.user_data == &call);
}

namespace {

using Bytes = std::vector<unsigned char>;

// A little-endian field of `width` bytes at offset `at`.
using Field = std::tuple<size_t, unsigned, int>;
Field At(size_t at, unsigned value, int width) { return {at, value, width}; }

// The fields written at their offsets into a zeroed payload of `len` bytes.
Bytes Payload(size_t len, std::initializer_list<Field> fields) {
  Bytes b(len);
  for (const auto& [at, value, width] : fields)
    for (int i = 0; i < width && at + i < len; ++i)
      b[at + i] = static_cast<unsigned char>(value >> 8 * i);
  return b;
}

}  // namespace

// The decoders read the layouts the device sends, refuse what is too short (never reading past
// it) and name the versions and states.
TEST(ExportedApi, TheProtocolDecodersReadTheirLayoutsAndRefuseShortInput) {
  kestal_order_ack ack;
  Bytes temp = Payload(14, {At(0, 0x1234, 2), At(2, KESTAL_ORDER_FPGA_TEMP, 2), At(4, 3, 2),
                            At(6, 8, 4), At(10, 6500, 4)});
  ASSERT_EQ(kestal_decode_order_ack(temp.data(), 14, &ack), KESTAL_OK);
  EXPECT_TRUE(ack.seq_no == 0x1234 && ack.sub_type == 83 && ack.code == 3 &&
              ack.reply == temp.data() + 10);
  EXPECT_EQ(ack.reply_len, 4u);  // 8 announced, 4 arrived
  double celsius = 0;
  EXPECT_EQ(kestal_decode_fpga_temp(&ack, &celsius), KESTAL_OK);
  EXPECT_DOUBLE_EQ(celsius, 25.0);
  kestal_static_info info;
  EXPECT_EQ(kestal_decode_static_info(&ack, &info), KESTAL_E_INVALID);  // 12 reply bytes needed
  EXPECT_EQ(kestal_decode_order_ack(temp.data(), 9, &ack), KESTAL_E_INVALID);

  Bytes versions = Payload(22, {At(6, 12, 4), At(10, 0x0201, 2), At(12, 0x1234, 2), At(14, 10, 2),
                                At(16, 0x0403, 2), At(18, 1, 2), At(20, 42, 2)});
  ASSERT_EQ(kestal_decode_order_ack(versions.data(), 22, &ack), KESTAL_OK);
  ASSERT_EQ(kestal_decode_static_info(&ack, &info), KESTAL_OK);
  EXPECT_EQ(std::vector<unsigned>(info.app_version, info.app_version + 4),
            (std::vector<unsigned>{1, 2, 0x1234, 10}));
  EXPECT_EQ(std::vector<unsigned>(info.fpga_version, info.fpga_version + 4),
            (std::vector<unsigned>{3, 4, 1, 42}));

  // The sensor map's registers: big-endian runs at payload offsets 11, 13, 50, 52, 113, 136.
  Bytes map = Payload(138, {At(6, 128, 4), At(11, 0xE001, 2), At(13, 0x1000, 2), At(50, 1, 1),
                            At(52, 0x102700, 3), At(113, 0x20, 1), At(136, 0x9A01, 2)});
  kestal_sensor_map sensor;
  ASSERT_EQ(kestal_decode_order_ack(map.data(), 138, &ack), KESTAL_OK);
  ASSERT_EQ(kestal_decode_sensor_map(&ack, &sensor), KESTAL_OK);
  EXPECT_TRUE(sensor.roi_height == 480 && sensor.start_row == 16 && sensor.flip == 1 &&
              sensor.exposure == 10000 && sensor.gain == 0x20 && sensor.temperature == 0x019A);
  ASSERT_EQ(kestal_decode_order_ack(map.data(), 137, &ack), KESTAL_OK);
  EXPECT_EQ(kestal_decode_sensor_map(&ack, &sensor), KESTAL_E_INVALID);

  Bytes status = Payload(32, {At(0, 9, 4), At(4, 1000, 4), At(8, 25, 4), At(12, 3, 4),
                              At(16, 0xFFFFFFFFu, 4), At(20, 7, 4), At(24, 8, 4), At(28, 0, 4)});
  kestal_controller_status cs;
  ASSERT_EQ(kestal_decode_controller_status(status.data(), 32, &cs), KESTAL_OK);
  EXPECT_TRUE(cs.scanner_state == 9 && cs.fpga_bytes == 1000 && cs.fpga_fps == 25 &&
              cs.arm_state == 3 && cs.arm_fps == 0xFFFFFFFFu && cs.host_send_bytes == 7 &&
              cs.host_recv_bytes == 8);
  EXPECT_DOUBLE_EQ(cs.fpga_temp_celsius, -40.0);
  EXPECT_EQ(kestal_decode_controller_status(status.data(), 31, &cs), KESTAL_E_INVALID);

  Bytes frame = Payload(80, {At(0, 77, 4), At(4, KESTAL_MSG_Y_IMAGE_PIECE, 2), At(8, 640, 4),
                             At(12, 480, 4), At(76, 307200, 4)});
  kestal_image_header header;
  ASSERT_EQ(kestal_decode_image_header(frame.data(), 80, &header), KESTAL_OK);
  EXPECT_TRUE(header.number == 77 && header.kind == 8 && header.width == 640 &&
              header.height == 480 && header.image_size == 307200);
  EXPECT_EQ(kestal_decode_image_header(frame.data(), 79, &header), KESTAL_E_INVALID);
  EXPECT_EQ(kestal_decode_image_header(nullptr, 80, &header), KESTAL_E_INVALID);

  EXPECT_STREQ(kestal_state_name(KESTAL_STATE_WORKING), "working normally");
  EXPECT_STREQ(kestal_state_name(KESTAL_STATE_IO_ERROR), "I/O error");
  EXPECT_STREQ(kestal_state_name(KESTAL_STATE_NO_STATUS), "no status");
  EXPECT_STREQ(kestal_state_name(9), "no status");  // as the state callbacks report it
  // Names for logs and bindings: the constants' own names, "" for what the library does not know.
  EXPECT_STREQ(kestal_msg_name(KESTAL_MSG_IMAGE_PIECE), "IMAGE_PIECE");
  EXPECT_STREQ(kestal_order_name(KESTAL_ORDER_FPGA_TEMP), "FPGA_TEMP");
  EXPECT_STREQ(kestal_order_name(KESTAL_ORDER_STOP_SCAN_ALT), "STOP_SCAN_ALT");
  EXPECT_STREQ(kestal_msg_name(10), "");
  EXPECT_STREQ(kestal_order_name(5), "");
  char host[16];
  unsigned short port = 0;
  ASSERT_EQ(kestal_default_endpoint(KESTAL_COMM_NETWORK_ALT, host, sizeof host, &port), KESTAL_OK);
  // A whole dotted IPv4 address and the port; the test never connects anywhere.
  unsigned int octets[4], used = 0;
  EXPECT_TRUE(std::sscanf(host, "%u.%u.%u.%u%n", &octets[0], &octets[1], &octets[2], &octets[3],
                          &used) == 4 &&
              host[used] == '\0' && port == 29372)
      << host << ":" << port;
  EXPECT_EQ(kestal_default_endpoint(KESTAL_COMM_NETWORK, host, 12, &port), KESTAL_E_INVALID);
  EXPECT_EQ(kestal_default_endpoint(KESTAL_COMM_STORAGE, host, sizeof host, &port),
            KESTAL_E_INVALID);
  EXPECT_STREQ(kestal_version(), KESTAL_VERSION_STRING);
}

// Sessions refuse bad input with KESTAL_E_INVALID and a reason, never a crash; two sessions may not
// own one arm port or one disk; a closed handle stays refused.
TEST(ExportedApi, SessionsRefuseBadInputAndSharedResources) {
  kestal_session_config config{};
  config.size = sizeof config;
  config.comm_type = KESTAL_COMM_NETWORK;
  config.host = "127.0.0.1";
  config.port = 9;  // nothing listens: the session starts and keeps trying, on loopback only
  config.arm_port = 26500;
  kestal_session *a = nullptr, *b = nullptr;
  kestal_session_config small = config, bad_type = config;
  small.size = 8;
  bad_type.comm_type = 7;
  char reason[256];
  const struct {
    std::function<int()> call;
    const char* said;  // in the reason kestal_last_error gives right after
  } refusals[] = {
      {[&] { return kestal_session_open(nullptr, &a); }, "no config"},
      {[&] { return kestal_session_open(&config, nullptr); }, "nowhere to put"},
      {[&] { return kestal_session_open(&small, &a); }, "config size 8"},
      {[&] { return kestal_session_open(&bad_type, &a); }, "comm type 7"},
      {[&] { return kestal_session_start(nullptr); }, "no session"},
      {[&] { return kestal_session_send(nullptr, 6, nullptr, 0); }, "no session"},
      {[&] { return kestal_session_request(nullptr, 1, nullptr, 0, 10, nullptr); }, "no session"},
  };
  for (const auto& r : refusals) {
    EXPECT_EQ(r.call(), KESTAL_E_INVALID) << r.said;
    kestal_last_error(reason, sizeof reason);
    EXPECT_NE(std::string(reason).find(r.said), std::string::npos) << reason;
  }
  EXPECT_EQ(kestal_session_is_connected(nullptr), 0);
  kestal_session_close(nullptr);  // a no-op

  ASSERT_EQ(kestal_session_open(&config, &a), KESTAL_OK);
  ASSERT_EQ(kestal_session_open(&config, &b), KESTAL_OK);
  ASSERT_EQ(kestal_session_start(a), KESTAL_OK);
  EXPECT_EQ(kestal_session_start(b), KESTAL_E_INVALID);  // the same arm port
  kestal_session_last_error(b, reason, sizeof reason);
  EXPECT_NE(std::string(reason).find("arm port 26500"), std::string::npos) << reason;
  EXPECT_EQ(kestal_session_is_connected(a), 0);
  kestal_session_close(a);  // stops it: the port is free for b
  EXPECT_EQ(kestal_session_start(b), KESTAL_OK);
  kestal_session_close(b);
  kestal_session_close(b);  // twice: nothing happens
  EXPECT_EQ(kestal_session_start(a), KESTAL_E_INVALID);
  kestal_session_last_error(a, reason, sizeof reason);
  EXPECT_NE(std::string(reason).find("closed"), std::string::npos) << reason;
  // Two sessions on one disk (a 50 MiB image): the second start is refused.
  std::ofstream("sessions.img", std::ios::binary).close();
  std::filesystem::resize_file("sessions.img", 52428800);
  kestal_session_config disk{};
  disk.size = sizeof disk;
  disk.disk = "sessions.img";
  ASSERT_TRUE(kestal_session_open(&disk, &a) == KESTAL_OK && kestal_session_open(&disk, &b) == 0);
  EXPECT_EQ(kestal_session_start(a), KESTAL_OK);
  EXPECT_EQ(kestal_session_start(b), KESTAL_E_INVALID);
  kestal_session_last_error(b, reason, sizeof reason);
  EXPECT_NE(std::string(reason).find("disk sessions.img"), std::string::npos) << reason;
  kestal_session_close(a);
  kestal_session_close(b);
  EXPECT_STREQ(kestal_error_name(KESTAL_E_TIMEOUT), "KESTAL_E_TIMEOUT");
  EXPECT_STREQ(kestal_error_name(3), "");
}
