// A minimal IPv4 UDP socket: what the arm link needs of the platform's socket interface.
// UdpSocketPosix.cpp (BSD sockets) and UdpSocketWin32.cpp (Winsock) implement it.
//
// Threads: Open, the options, Bind and Close belong to the owner while no other thread uses
// the socket. Once open and bound, one thread may receive while others send, and the owner may
// Shutdown it meanwhile.
#pragma once

#include <atomic>
#include <cstdint>

// An IPv4 address and port exactly as a socket address holds them: both in network byte
// order, read as native integers (127.0.0.1 reads as 0x100007f on a little-endian host).
struct UdpEndpoint {
  uint32_t addr = 0;
  uint16_t port = 0;
};

class UdpSocket {
 public:
  // RecvFrom's result when nothing arrived within the timeout.
  static constexpr int kTimedOut = -2;

  UdpSocket() = default;
  ~UdpSocket();  // closes
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Initialises the platform's socket library (Windows Sockets 2.2); 0 or -1. Repeatable.
  static int Startup();
  // The endpoint of a dotted IPv4 address and a port in host byte order; an address that
  // does not parse gives address 0 (every local address).
  static UdpEndpoint Endpoint(const char* ipv4, uint16_t port);
  // The platform's last socket error (errno, WSAGetLastError).
  static int LastError();
  // Writes "<prefix>: <description of the last socket error>" to the standard error stream.
  static void PrintLastError(const char* prefix);
  // Whether another socket holds the port of `local` already, also one bound with address reuse:
  // a probe socket that does not share (no reuse on POSIX, exclusive use on Windows) is refused
  // as "address in use". The probe is closed at once. Any thread.
  static bool PortHeld(const UdpEndpoint& local);

  // Creates an IPv4 datagram socket, closing any earlier one; 0 or -1.
  int Open();
  // Address reuse (SO_REUSEADDR); 0 or -1.
  int SetReuseAddress(bool on);
  // Makes the port this socket binds unavailable to every other socket, even those that ask
  // for address reuse; 0 or -1. On POSIX a socket without address reuse already is.
  int SetExclusiveAddress();
  // Whether an ICMP port-unreachable reply to an earlier send fails a later receive (it does
  // on Windows unless turned off; an unconnected POSIX socket never reports it, so there only
  // `false` succeeds). 0 or -1.
  int SetReportPortUnreachable(bool on);
  int Bind(const UdpEndpoint& local);
  // Receives one datagram of at most `size` bytes: its length (0 for an empty datagram),
  // kTimedOut when none came within timeout_ms (negative: wait without limit), -1 on error.
  // `from` receives the source.
  int RecvFrom(uint8_t* buf, uint32_t size, UdpEndpoint* from, int timeout_ms);
  // Sends one datagram; the number of bytes sent or -1.
  int SendTo(const uint8_t* data, uint32_t len, const UdpEndpoint& to);
  // Ends the socket's use by other threads for good: a RecvFrom waiting in one returns at once
  // (-1 or 0), and so does every later call; Close still follows. Unlike a datagram, nothing that
  // shares the port can take this wake-up. On POSIX a shutdown (a close would not wake the
  // waiting poll); on Windows the socket is closed at once, which is what wakes a waiting select
  // there.
  void Shutdown();
  void Close();

  bool IsOpen() const { return m_handle.load() != kInvalidHandle; }
  // The platform handle (for log lines); -1 when closed.
  std::intptr_t Handle() const { return m_handle.load(); }

 private:
  // -1 is both POSIX's invalid descriptor and Winsock's INVALID_SOCKET (~0) as a signed value.
  static constexpr std::intptr_t kInvalidHandle = -1;
  std::atomic<std::intptr_t> m_handle{kInvalidHandle};
};
