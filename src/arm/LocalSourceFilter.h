// Which datagrams the arm link relays: only those from this host (a loopback address, or an
// address of one of its own interfaces), since the companion runs beside the library and the
// link's port is bound on every local address. Also remembers the foreign sources already
// logged, so that each is logged once however much it sends.
//
// Threads: the arm link's receive worker only.
#pragma once

#include <cstdint>

class LocalSourceFilter {
 public:
  // True when `addr` (network byte order, as UdpEndpoint holds it) belongs to this host.
  bool FromThisHost(uint32_t addr);
  // True the first time a foreign source is reported (the last kRemembered are remembered).
  bool FirstSighting(uint32_t addr);

 private:
  static constexpr uint32_t kRemembered = 32;
  uint32_t m_last_local = 0;  // the source last found local, so a steady companion costs no lookup
  uint32_t m_foreign[kRemembered] = {};
  uint32_t m_foreign_count = 0;
};
