#include "SimArmCompanion.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

SimArmCompanion::SimArmCompanion(uint16_t listen_port, uint16_t library_port, uint32_t hello_interval_ms)
    : m_listen_port(listen_port), m_library_port(library_port), m_hello_interval_ms(hello_interval_ms) {}

SimArmCompanion::~SimArmCompanion() { Stop(); }

int SimArmCompanion::Start() {
  Stop();
  m_fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (m_fd < 0) return -1;
  sockaddr_in addr = Loopback(m_listen_port);
  if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(m_fd);
    m_fd = -1;
    return -1;
  }
  m_stop = false;
  m_thread = std::thread(&SimArmCompanion::Loop, this);
  return 0;
}

void SimArmCompanion::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

void SimArmCompanion::Loop() {
  using Clock = std::chrono::steady_clock;
  const sockaddr_in library = Loopback(m_library_port);
  auto next_hello = Clock::now();
  uint8_t buffer[65536];
  uint32_t counter = 0;
  while (!m_stop) {
    if (Clock::now() >= next_hello) {
      // An arm message of the companion's own: a counter, the rest zero.
      uint8_t hello[64] = {};
      std::memcpy(hello, &++counter, sizeof counter);
      if (sendto(m_fd, hello, sizeof hello, 0, reinterpret_cast<const sockaddr*>(&library), sizeof library) ==
          static_cast<ssize_t>(sizeof hello))
        ++m_sent;
      next_hello = Clock::now() + std::chrono::milliseconds(m_hello_interval_ms);
    }
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0 && recv(m_fd, buffer, sizeof buffer, 0) >= 0) ++m_received;
  }
}
