// A host application's view: only the exported headers, only the shared library.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "kestal/KestalHostCommService.h"
#include "kestal/kestal_c.h"

TEST(ExportedApi, SequenceNumbersAndTheReceiveCallback) {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  EXPECT_EQ(service.GetMsgSeqNo(), 1);  // the first number drawn; 65535 later it wraps through 0
  unsigned short last = 1;
  for (int i = 0; i < 65535; ++i) last = service.GetMsgSeqNo();
  EXPECT_EQ(last, 0);
  EXPECT_EQ(service.GetMsgSeqNo(), 1);
  EXPECT_EQ(service.SendUpdateFirmware(1, nullptr, 0), 0);
  struct Call {
    unsigned short type;
    unsigned char* data;
    unsigned int len;
    void* user_data;
    int count;
  } call{};
  unsigned char payload[3] = {1, 2, 3};
  service.RecvHostCommMsg(6, payload, 3);  // nothing registered yet
  service.SetRecvHostCommMsgCallBack(
      [](unsigned short type, unsigned char* data, unsigned int len, void* user_data) {
        *static_cast<Call*>(user_data) = {type, data, len, user_data,
                                          static_cast<Call*>(user_data)->count + 1};
      },
      &call);
  service.RecvHostCommMsg(6, payload, 3);
  service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
  service.RecvHostCommMsg(6, payload, 3);
  EXPECT_EQ(call.count, 1);
  EXPECT_TRUE(call.type == 6 && call.data == payload && call.len == 3 && call.user_data == &call);
}

// The C interface on the same service: one counter, checked arguments, callbacks with their own
// user data that reach the application only while registered.
TEST(ExportedApi, TheCInterfaceForwardsToTheService) {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  const unsigned short seq_no = service.GetMsgSeqNo();
  EXPECT_EQ(kestal_next_seq_no(), static_cast<unsigned short>(seq_no + 1));
  EXPECT_EQ(kestal_set_comm_type(3) + kestal_set_comm_type(-1), -2);
  EXPECT_EQ(kestal_set_comm_type(KESTAL_COMM_STORAGE), 0);
  const std::string overlong(256, 'a');
  for (auto [type, host, port] : {std::tuple<int, const char*, int>{0, "127.0.0.1", 1},
                                  {1, nullptr, 1},
                                  {1, "", 1},
                                  {2, "127.0.0.1", 0},
                                  {1, overlong.c_str(), 1},
                                  {1, "999.1.1.1", 1},
                                  {1, "1.2.3", 1},
                                  {1, "a..b", 1},
                                  {1, "-a.b", 1},
                                  {1, "a b", 1},
                                  {1, "::g", 1},
                                  {1, "10.0.0.1:80", 1}})
    EXPECT_EQ(kestal_set_network_endpoint(type, host, static_cast<unsigned short>(port)), -1)
        << (host ? host : "null") << " " << port;
  for (const char* host : {"localhost", "scan-head.local.", "::1", "127.0.0.1"})
    EXPECT_EQ(kestal_set_network_endpoint(KESTAL_COMM_NETWORK_ALT, host, 9), 0) << host;
  struct Call {
    unsigned short type;
    const unsigned char* data;
    unsigned int len;
    void* user_data;
    int count;
  } call{};
  kestal_set_message_callback(
      [](unsigned short type, const unsigned char* data, unsigned int len, void* user_data) {
        *static_cast<Call*>(user_data) = {type, data, len, user_data,
                                          static_cast<Call*>(user_data)->count + 1};
      },
      &call);
  unsigned char payload[2] = {7, 8};
  service.RecvHostCommMsg(9, payload, 2);
  kestal_set_message_callback(nullptr, &call);
  service.RecvHostCommMsg(9, payload, 2);
  EXPECT_EQ(call.count, 1);
  EXPECT_TRUE(call.type == 9 && call.data == payload && call.len == 2 && call.user_data == &call);
}
