// The C++ class through the installed header and library: the sequence counter starts at 1 and
// counts up.
#include <cstdio>

#include <kestal/KestalHostCommService.h>

int main() {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  const unsigned first = service.GetMsgSeqNo(), second = service.GetMsgSeqNo();
  std::printf("seq_no %u %u\n", first, second);
  return first == 1 && second == 2 ? 0 : 1;
}
