#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // inet_pton
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "arm/UdpSocket.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace {

sockaddr_in ToSockAddr(const UdpEndpoint& endpoint) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = endpoint.addr;
  addr.sin_port = endpoint.port;
  return addr;
}

SOCKET AsSocket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

}  // namespace

UdpSocket::~UdpSocket() { Close(); }

int UdpSocket::Startup() {
  // Winsock counts its start-ups; one for the life of the process is enough, and the library
  // is never unloaded while a socket is open.
  static std::once_flag once;
  static int result = -1;
  std::call_once(once, [] {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
  });
  return result;
}

UdpEndpoint UdpSocket::Endpoint(const char* ipv4, uint16_t port) {
  UdpEndpoint endpoint;
  in_addr addr;
  std::memset(&addr, 0, sizeof(addr));
  if (ipv4 && inet_pton(AF_INET, ipv4, &addr) == 1) endpoint.addr = addr.s_addr;
  endpoint.port = htons(port);
  return endpoint;
}

int UdpSocket::LastError() { return WSAGetLastError(); }

void UdpSocket::PrintLastError(const char* prefix) {
  const int error = WSAGetLastError();
  char text[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, text, sizeof(text), nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) text[--n] = '\0';
  std::fprintf(stderr, "%s: %s (%d)\n", prefix, n > 0 ? text : "unknown error", error);
}

bool UdpSocket::PortHeld(const UdpEndpoint& local) {
  UdpSocket probe;
  if (probe.Open() < 0 || probe.SetExclusiveAddress() < 0 || probe.Bind(local) == 0) return false;
  // An exclusive bind meets a port in use as WSAEADDRINUSE, or as WSAEACCES where the holder has
  // exclusive use itself.
  const int error = WSAGetLastError();
  return error == WSAEADDRINUSE || error == WSAEACCES;
}

int UdpSocket::Open() {
  Close();
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return -1;
  m_handle = static_cast<std::intptr_t>(s);
  return 0;
}

int UdpSocket::SetReuseAddress(bool on) {
  BOOL value = on ? TRUE : FALSE;
  return ::setsockopt(AsSocket(m_handle.load()), SOL_SOCKET, SO_REUSEADDR,
                      reinterpret_cast<const char*>(&value), sizeof(value)) == 0
             ? 0
             : -1;
}

int UdpSocket::SetExclusiveAddress() {
  BOOL value = TRUE;
  return ::setsockopt(AsSocket(m_handle.load()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&value), sizeof(value)) == 0
             ? 0
             : -1;
}

int UdpSocket::SetReportPortUnreachable(bool on) {
  BOOL value = on ? TRUE : FALSE;
  DWORD returned = 0;
  return WSAIoctl(AsSocket(m_handle.load()), SIO_UDP_CONNRESET, &value, sizeof(value), nullptr, 0,
                  &returned, nullptr, nullptr) == 0
             ? 0
             : -1;
}

int UdpSocket::Bind(const UdpEndpoint& local) {
  sockaddr_in addr = ToSockAddr(local);
  return ::bind(AsSocket(m_handle.load()), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0
             ? 0
             : -1;
}

int UdpSocket::RecvFrom(uint8_t* buf, uint32_t size, UdpEndpoint* from, int timeout_ms) {
  const SOCKET s = AsSocket(m_handle.load());
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  const int ready = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
  if (ready == SOCKET_ERROR) return -1;
  if (ready == 0) return kTimedOut;

  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  int addr_len = sizeof(addr);
  const int n = ::recvfrom(s, reinterpret_cast<char*>(buf), static_cast<int>(size), 0,
                           reinterpret_cast<sockaddr*>(&addr), &addr_len);
  if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? kTimedOut : -1;
  if (from) {
    from->addr = addr.sin_addr.s_addr;
    from->port = addr.sin_port;
  }
  return n;
}

int UdpSocket::SendTo(const uint8_t* data, uint32_t len, const UdpEndpoint& to) {
  sockaddr_in addr = ToSockAddr(to);
  const int n =
      ::sendto(AsSocket(m_handle.load()), reinterpret_cast<const char*>(data),
               static_cast<int>(len), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  return n == SOCKET_ERROR ? -1 : n;
}

// A shutdown does not wake a select waiting on a datagram socket; a close does.
void UdpSocket::Shutdown() { Close(); }

void UdpSocket::Close() {
  const std::intptr_t handle = m_handle.exchange(kInvalidHandle);
  if (handle != kInvalidHandle) ::closesocket(AsSocket(handle));
}
