// A host application's view: only the exported header, only the shared library.
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kestal/KestalHostCommService.h"

namespace {

struct Received {
  unsigned short type = 0;
  unsigned char* data = nullptr;
  unsigned int len = 0;
  void* user_data = nullptr;
  int calls = 0;
};

void OnRecv(unsigned short type, unsigned char* data, unsigned int len, void* user_data) {
  auto* r = static_cast<Received*>(user_data);
  r->type = type;
  r->data = data;
  r->len = len;
  r->user_data = user_data;
  ++r->calls;
}

}  // namespace

TEST(ExportedApi, GetInstanceIsOneObjectFromEveryThread) {
  KestalHostCommService* first = &KestalHostCommService::GetInstance();
  std::vector<KestalHostCommService*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &KestalHostCommService::GetInstance(); });
  for (auto& t : threads) t.join();
  for (auto* s : seen) EXPECT_EQ(first, s);
}

TEST(ExportedApi, RecvHostCommMsgReachesTheCallbackWithItsArguments) {
  auto& service = KestalHostCommService::GetInstance();
  Received r;
  unsigned char payload[3] = {1, 2, 3};
  service.RecvHostCommMsg(6, payload, 3);  // no callback yet: nothing happens
  EXPECT_EQ(r.calls, 0);

  service.SetRecvHostCommMsgCallBack(&OnRecv, &r);
  service.RecvHostCommMsg(6, payload, 3);
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(r.type, 6);
  EXPECT_EQ(r.data, payload);
  EXPECT_EQ(r.len, 3u);
  EXPECT_EQ(r.user_data, &r);

  service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
  service.RecvHostCommMsg(6, payload, 3);
  EXPECT_EQ(r.calls, 1);
}

// No other test here draws a number, so the counter starts fresh in any order.
TEST(ExportedApi, MsgSeqNoStartsAtOneAndWrapsThroughZero) {
  auto& service = KestalHostCommService::GetInstance();
  EXPECT_EQ(service.GetMsgSeqNo(), 1);
  unsigned short value = 1;
  bool saw_zero = false;
  for (int i = 0; i < 65535; ++i) {
    value = service.GetMsgSeqNo();
    saw_zero |= value == 0;
  }
  EXPECT_TRUE(saw_zero);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(service.GetMsgSeqNo(), 1);
}

TEST(ExportedApi, SendUpdateFirmwareOfNothingReturnsZero) {
  EXPECT_EQ(KestalHostCommService::GetInstance().SendUpdateFirmware(1, nullptr, 0), 0);
}
