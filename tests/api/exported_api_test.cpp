// A host application's view: only the exported header, only the shared library.
#include <gtest/gtest.h>

#include "kestal/KestalHostCommService.h"

TEST(ExportedApi, SequenceNumbersAndTheReceiveCallback) {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  EXPECT_EQ(service.GetMsgSeqNo(), 1);  // the first number drawn; 65535 later it wraps through 0
  unsigned short last = 1;
  for (int i = 0; i < 65535; ++i) last = service.GetMsgSeqNo();
  EXPECT_EQ(last, 0);
  EXPECT_EQ(service.GetMsgSeqNo(), 1);
  EXPECT_EQ(service.SendUpdateFirmware(1, nullptr, 0), 0);
  struct Call { unsigned short type; unsigned char* data; unsigned int len; void* user_data; int count; } call{};
  auto record = [](unsigned short type, unsigned char* data, unsigned int len, void* user_data) {
    *static_cast<Call*>(user_data) = {type, data, len, user_data, static_cast<Call*>(user_data)->count + 1};
  };
  unsigned char payload[3] = {1, 2, 3};
  service.RecvHostCommMsg(6, payload, 3);  // nothing registered yet
  service.SetRecvHostCommMsgCallBack(record, &call);
  service.RecvHostCommMsg(6, payload, 3);
  service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
  service.RecvHostCommMsg(6, payload, 3);
  EXPECT_EQ(call.count, 1);
  EXPECT_TRUE(call.type == 6 && call.data == payload && call.len == 3 && call.user_data == &call);
}
