// Inside a fresh network namespace (nothing but its own loopback) made by a forked child, the
// library unchanged dials its default device address 192.168.66.1:28992 and reaches the simulator,
// names an unresolvable device host in its failure, and gives up an attempt that nothing answers
// after 3 s; skips without one.
#include <gtest/gtest.h>

#ifdef __linux__
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "ForkedChild.h"
#include "ServiceFixture.h"
#include "kestal/kestal_c.h"
#include "protocol/HostCommMsg.h"
#include "service/KestalHostCommServiceImpl.h"

using namespace std::chrono_literals;

namespace {

ino_t NetNamespace() {
  struct stat st {};
  return ::stat("/proc/self/ns/net", &st) == 0 ? st.st_ino : 0;
}

class NetworkNamespace : public ServiceFixture {
 protected:
  // The child's part: nothing dials unless the child is in a namespace other than `host`'s.
  void InNamespace(ino_t host) {
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
      ::_exit(77);  // skip
    ASSERT_NE(NetNamespace(), host);
    ifreq lo{}, alias{};  // the loopback, up, and the device's address on it
    std::snprintf(lo.ifr_name, IFNAMSIZ, "lo");
    std::snprintf(alias.ifr_name, IFNAMSIZ, "lo:1");
    alias.ifr_addr.sa_family = AF_INET;
    inet_pton(AF_INET, "192.168.66.1",
              &reinterpret_cast<sockaddr_in*>(&alias.ifr_addr)->sin_addr);  // namespace lo
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::ioctl(s, SIOCGIFFLAGS, &lo), 0);
    lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
    ASSERT_TRUE(::ioctl(s, SIOCSIFFLAGS, &lo) == 0 && ::ioctl(s, SIOCSIFADDR, &alias) == 0);
    SimDevice device(QuietDevice());
    SimNetworkServer server(device, "192.168.66.1", 28992);  // on the namespace's own loopback
    ASSERT_EQ(server.Start(), 0);
    m_service.SetCommType(HostCommDeviceNetwork);
    ASSERT_EQ(m_service.Start(), 0);
    ASSERT_TRUE(m_app.WaitForEvent(ConnectedOk, 1, 5s));
    EXPECT_TRUE(m_app.WaitForMessage(Order, AckOf(SendOrder(GetFpgaTemp)), 3s));
    StopAndCheck();
    // A name that no resolver here knows (none but the namespace's loopback can be asked).
    ASSERT_EQ(kestal_set_network_endpoint(KESTAL_COMM_NETWORK, "nosuchhost", 28992), 0);
    ASSERT_EQ(m_service.Start(), 0);
    m_started = true;
    ASSERT_TRUE(m_app.WaitForEvent(ConnectedError, 1, 30s));
    char reason[128];
    kestal_last_error(reason, sizeof reason);
    EXPECT_STREQ(reason, "resolve nosuchhost: host not found");
    StopAndCheck();
    // The second device address is routed to the loopback but owned by nobody: its connection
    // attempts vanish unanswered, and each is given up after 3 s, not after the system's minutes.
    rtentry route{};
    for (sockaddr* a : {&route.rt_dst, &route.rt_genmask}) a->sa_family = AF_INET;
    inet_pton(AF_INET, "192.168.60.1", &reinterpret_cast<sockaddr_in*>(&route.rt_dst)->sin_addr);
    reinterpret_cast<sockaddr_in*>(&route.rt_genmask)->sin_addr.s_addr = 0xFFFFFFFF;
    route.rt_flags = RTF_UP | RTF_HOST;
    route.rt_dev = lo.ifr_name;
    ASSERT_EQ(::ioctl(s, SIOCADDRT, &route), 0);
    m_service.SetCommType(HostCommDeviceNetworkAlt);
    const int errors = m_app.CountEvents(ConnectedError);
    ASSERT_EQ(m_service.Start(), 0);
    m_started = true;
    ASSERT_TRUE(m_app.WaitForEvent(ConnectedError, errors + 1, 6s * kTimeScale));
    kestal_last_error(reason, sizeof reason);
    EXPECT_STREQ(reason, "connect 192.168.60.1:29372: timed out");
    StopAndCheck();
  }
};

TEST_F(NetworkNamespace, LibraryReachesItsDefaultDeviceAddressInsideAPrivateNamespace) {
  // The fork wants this thread alone: no library worker runs.
  const ino_t host = NetNamespace();
  ASSERT_TRUE(
      host != 0 &&
      !KestalHostCommService::Impl::Of(KestalHostCommService::GetInstance()).WorkersRunning() &&
      m_log.Lines().empty());
  RunInForkedChild([&] { InNamespace(host); }, "no private network namespace available");
}

}  // namespace

#else
TEST(NetworkNamespace, NeedsLinux) { GTEST_SKIP() << "network namespaces are Linux's"; }
#endif
