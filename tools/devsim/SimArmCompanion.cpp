#include "SimArmCompanion.h"

#include <chrono>
#include <cstring>

SimArmCompanion::SimArmCompanion(uint16_t listen_port, uint16_t library_port,
                                 uint32_t hello_interval_ms)
    : m_listen_port(listen_port),
      m_library_port(library_port),
      m_hello_interval_ms(hello_interval_ms) {}

SimArmCompanion::~SimArmCompanion() { Stop(); }

int SimArmCompanion::Start() {
  Stop();
  std::error_code ec;
  m_socket.open(asio::ip::udp::v4(), ec);
  if (!ec) m_socket.bind({asio::ip::address_v4::loopback(), m_listen_port}, ec);
  if (ec) {
    m_socket.close(ec);
    return -1;
  }
  m_counter = 0;
  m_stop = false;
  m_io.restart();
  Hello();
  Receive();
  m_thread = std::thread([this] { m_io.run(); });
  return 0;
}

void SimArmCompanion::Stop() {
  if (!m_thread.joinable()) return;
  m_stop = true;
  // Closing aborts the pending receive and the timer; no handler re-arms, so run() ends.
  asio::post(m_io, [this] {
    std::error_code ec;
    m_socket.close(ec);
    m_hello_timer.cancel();
  });
  m_thread.join();
}

void SimArmCompanion::Hello() {
  if (m_stop) return;
  // An arm message of the companion's own: a counter, the rest zero.
  uint8_t hello[64] = {};
  ++m_counter;
  std::memcpy(hello, &m_counter, sizeof m_counter);
  std::error_code ec;
  const asio::ip::udp::endpoint library(asio::ip::address_v4::loopback(), m_library_port);
  if (m_socket.send_to(asio::buffer(hello), library, 0, ec) == sizeof hello) ++m_sent;
  // At least 1 ms apart, so a zero interval cannot flood the loopback.
  m_hello_timer.expires_after(
      std::chrono::milliseconds(m_hello_interval_ms ? m_hello_interval_ms : 1));
  m_hello_timer.async_wait([this](std::error_code) { Hello(); });
}

void SimArmCompanion::Receive() {
  m_socket.async_receive(asio::buffer(m_buffer), [this](std::error_code ec, size_t) {
    if (m_stop) return;
    // An error counts as nothing received: on Windows a receive after a send to a closed port
    // reports the reset, and the companion goes on listening.
    if (!ec) ++m_received;
    Receive();
  });
}
