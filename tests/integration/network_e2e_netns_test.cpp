// The library unchanged, dialing its default device address 192.168.66.1:28992, against the
// device simulator listening there, all inside a private network namespace that the test
// makes in a forked child. The namespace holds nothing but its own loopback interface, so no
// packet can leave it; the child checks that before anything dials. Where no namespace can be
// made the test skips: it never runs on the host's network.
//
// The fixed ports used here (28992, and the arm link's 26000) belong to the child's namespace,
// so this file does not contend with the *_fixedports tests for the host's ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/LittleEndian.h"
#include "devsim/SimDevice.h"
#include "devsim/SimNetworkServer.h"
#include "kestal/KestalHostCommService.h"
#include "protocol/HostCommMsg.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceGlobals.h"

using namespace std::chrono_literals;

namespace {

// Exit codes of the child.
enum ChildResult : int {
  kPassed = 0,
  kNoNamespace = 77,     // skip
  kNotIsolated = 10,     // the namespace is not a fresh one: nothing was dialed
  kLoopbackFailed = 11,
  kAddressFailed = 12,
  kSimulatorFailed = 13,
  kDefaultsChanged = 14,
  kStartFailed = 15,
  kNotConnected = 16,
  kNoAck = 17,
  kStopFailed = 18,
};

const char* Describe(int code) {
  switch (code) {
    case kNotIsolated: return "the child's network namespace was not a fresh one";
    case kLoopbackFailed: return "could not bring up lo in the namespace";
    case kAddressFailed: return "could not add 192.168.66.1/32 to lo in the namespace";
    case kSimulatorFailed: return "the simulator could not listen on 192.168.66.1:28992";
    case kDefaultsChanged: return "the library's default device address was not 192.168.66.1:28992";
    case kStartFailed: return "Start failed";
    case kNotConnected: return "no \"Connected OK\" within 5 s";
    case kNoAck: return "the order ACK did not reach the receive callback";
    case kStopFailed: return "Stop failed or left workers running";
    default: return "unexpected exit";
  }
}

ino_t NetNamespaceInode() {
  struct stat st {};
  return ::stat("/proc/self/ns/net", &st) == 0 ? st.st_ino : 0;
}

// A fresh namespace shows exactly one interface, its own loopback.
bool OnlyLoopbackExists() {
  struct if_nameindex* list = if_nameindex();
  if (!list) return false;
  int count = 0;
  bool only_lo = true;
  for (struct if_nameindex* i = list; i->if_index != 0; ++i) {
    ++count;
    only_lo = only_lo && std::strcmp(i->if_name, "lo") == 0;
  }
  if_freenameindex(list);
  return count == 1 && only_lo;
}

bool BringUpLoopback(int s) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) return false;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  return ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
}

bool AddDeviceAddress(int s) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo:1", IFNAMSIZ - 1);
  auto* addr = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
  addr->sin_family = AF_INET;
  if (inet_pton(AF_INET, "192.168.66.1", &addr->sin_addr) != 1 || ::ioctl(s, SIOCSIFADDR, &ifr) != 0) return false;
  auto* mask = reinterpret_cast<sockaddr_in*>(&ifr.ifr_netmask);
  mask->sin_family = AF_INET;
  mask->sin_addr.s_addr = 0xFFFFFFFFu;
  return ::ioctl(s, SIOCSIFNETMASK, &ifr) == 0;
}

// What the application sees; the child's callbacks write it.
struct ChildApp {
  std::mutex mutex;
  std::condition_variable signal;
  int connected_ok = 0;
  uint16_t wanted_seq = 0;
  bool got_ack = false;

  static void OnEvent(HostCommDeviceEvent event, const char*, void* user) {
    auto* self = static_cast<ChildApp*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->connected_ok += event == ConnectedOk;
    self->signal.notify_all();
  }
  static void OnMsg(unsigned short type, unsigned char* data, unsigned int len, void* user) {
    auto* self = static_cast<ChildApp*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (type == Order && len >= 14 && kestal::LoadU16(data) == self->wanted_seq &&
        kestal::LoadU16(data + 2) == GetFpgaTemp && kestal::LoadU32(data + 10) == 6500)
      self->got_ack = true;
    self->signal.notify_all();
  }
};

// Runs in the forked child; the result is its exit code.
int RunInNamespace(ino_t host_namespace) {
  // A user namespace lets an unprivileged user own a network namespace; either way the
  // child ends up in a namespace of its own or gives up.
  if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return kNoNamespace;
  const ino_t own = NetNamespaceInode();
  if (own == 0 || own == host_namespace || !OnlyLoopbackExists()) return kNotIsolated;

  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0 || !BringUpLoopback(s)) return kLoopbackFailed;
  const bool address_ok = AddDeviceAddress(s);
  ::close(s);
  if (!address_ok) return kAddressFailed;

  SimDeviceOptions options;
  options.status_interval_ms = 0;
  SimDevice device(options);
  SimNetworkServer server(device, "192.168.66.1", 28992);
  if (server.Start() != 0) return kSimulatorFailed;

  auto& engine = KestalHostCommServiceAccess::Engine();
  if (engine.m_comm_dev_via_network.m_device_ip_type1 != "192.168.66.1" || engine.m_device_port_type1 != 28992)
    return kDefaultsChanged;

  ChildApp app;
  auto& service = KestalHostCommService::GetInstance();
  service.SetDeviceEventCallBack(&ChildApp::OnEvent, &app);
  service.SetRecvHostCommMsgCallBack(&ChildApp::OnMsg, &app);
  service.SetCommType(HostCommDeviceNetwork);
  int result = kPassed;
  if (service.Start() != 0) {
    result = kStartFailed;
  } else {
    std::unique_lock<std::mutex> lock(app.mutex);
    if (!app.signal.wait_for(lock, 5000ms, [&] { return app.connected_ok > 0; })) {
      result = kNotConnected;
    } else {
      app.wanted_seq = service.GetMsgSeqNo();
      uint8_t order[8] = {};
      kestal::StoreU16(order, app.wanted_seq);
      kestal::StoreU16(order + 2, GetFpgaTemp);
      lock.unlock();
      service.SendHostCommMsg(Order, order, sizeof order);
      lock.lock();
      if (!app.signal.wait_for(lock, 3000ms, [&] { return app.got_ack; })) result = kNoAck;
    }
  }
  if (service.Stop() != 0 || KestalHostCommServiceAccess::WorkersRunning()) {
    if (result == kPassed) result = kStopFailed;
  }
  service.SetDeviceEventCallBack(nullptr, nullptr);
  service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
  server.Stop();
  return result;
}

}  // namespace

TEST(NetworkE2ENamespace, LibraryReachesItsDefaultDeviceAddressInsideAPrivateNamespace) {
  const ino_t host_namespace = NetNamespaceInode();
  ASSERT_NE(host_namespace, 0u) << "cannot identify the host's network namespace";
  // The child must be the process's only thread at fork: nothing of the library runs yet.
  ASSERT_FALSE(KestalHostCommServiceAccess::WorkersRunning());

  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = kNotIsolated;
    try {
      code = RunInNamespace(host_namespace);
    } catch (...) {
      code = 99;
    }
    std::fflush(nullptr);
    ::_exit(code);
  }

  int status = 0;
  bool ended = false;
  for (int waited_ms = 0; waited_ms < 30000; waited_ms += 20) {
    if (::waitpid(child, &status, WNOHANG) == child) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the child did not finish within 30 s";
  }
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended abnormally, status " << status;
  const int code = WEXITSTATUS(status);
  if (code == kNoNamespace) GTEST_SKIP() << "no private network namespace available (needs CAP_SYS_ADMIN or user namespaces)";
  EXPECT_EQ(code, kPassed) << Describe(code);
}
