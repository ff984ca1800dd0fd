#include "arm/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

sockaddr_in ToSockAddr(const UdpEndpoint& endpoint) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = endpoint.addr;
  addr.sin_port = endpoint.port;
  return addr;
}

}  // namespace

UdpSocket::~UdpSocket() { Close(); }

int UdpSocket::Startup() { return 0; }

UdpEndpoint UdpSocket::Endpoint(const char* ipv4, uint16_t port) {
  UdpEndpoint endpoint;
  in_addr addr{};
  if (ipv4 && inet_pton(AF_INET, ipv4, &addr) == 1) endpoint.addr = addr.s_addr;
  endpoint.port = htons(port);
  return endpoint;
}

int UdpSocket::LastError() { return errno; }

void UdpSocket::PrintLastError(const char* prefix) { std::perror(prefix); }

bool UdpSocket::PortHeld(const UdpEndpoint& local) {
  UdpSocket probe;
  if (probe.Open() < 0 || probe.SetExclusiveAddress() < 0) return false;
  return probe.Bind(local) < 0 && errno == EADDRINUSE;
}

int UdpSocket::Open() {
  Close();
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  m_handle = fd;
  return 0;
}

int UdpSocket::SetReuseAddress(bool on) {
  int value = on ? 1 : 0;
  return ::setsockopt(static_cast<int>(m_handle.load()), SOL_SOCKET, SO_REUSEADDR, &value,
                      sizeof(value)) == 0
             ? 0
             : -1;
}

int UdpSocket::SetExclusiveAddress() { return SetReuseAddress(false); }

int UdpSocket::SetReportPortUnreachable(bool on) {
  // An unconnected socket hears of ICMP errors only with IP_RECVERR, which stays off.
  return on ? -1 : 0;
}

int UdpSocket::Bind(const UdpEndpoint& local) {
  sockaddr_in addr = ToSockAddr(local);
  return ::bind(static_cast<int>(m_handle.load()), reinterpret_cast<sockaddr*>(&addr),
                sizeof(addr)) == 0
             ? 0
             : -1;
}

int UdpSocket::RecvFrom(uint8_t* buf, uint32_t size, UdpEndpoint* from, int timeout_ms) {
  const int fd = static_cast<int>(m_handle.load());
  pollfd pfd{};
  pfd.fd = fd;
  pfd.events = POLLIN;
  int ready;
  do {
    ready = ::poll(&pfd, 1, timeout_ms < 0 ? -1 : timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  if (ready == 0) return kTimedOut;

  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  socklen_t addr_len = sizeof(addr);
  ssize_t n;
  do {
    n = ::recvfrom(fd, buf, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr), &addr_len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? kTimedOut : -1;
  if (from) {
    from->addr = addr.sin_addr.s_addr;
    from->port = addr.sin_port;
  }
  return static_cast<int>(n);
}

int UdpSocket::SendTo(const uint8_t* data, uint32_t len, const UdpEndpoint& to) {
  sockaddr_in addr = ToSockAddr(to);
  ssize_t n;
  do {
    n = ::sendto(static_cast<int>(m_handle.load()), data, len, 0,
                 reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

void UdpSocket::Shutdown() {
  const std::intptr_t handle = m_handle.load();
  // An unconnected datagram socket answers ENOTCONN but is shut down all the same, and its
  // waiters are woken.
  if (handle != kInvalidHandle) ::shutdown(static_cast<int>(handle), SHUT_RDWR);
}

void UdpSocket::Close() {
  const std::intptr_t handle = m_handle.exchange(kInvalidHandle);
  if (handle != kInvalidHandle) ::close(static_cast<int>(handle));
}
