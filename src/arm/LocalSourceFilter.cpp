#include "arm/LocalSourceFilter.h"

#include "arm/UdpSocket.h"

bool LocalSourceFilter::FromThisHost(uint32_t addr) {
  if (reinterpret_cast<const uint8_t*>(&addr)[0] == 127)
    return true;  // 127.0.0.0/8, in network byte order
  if (addr == 0) return false;
  if (addr == m_last_local) return true;
  // Only an address of one of this host's interfaces can be bound: the platforms' portable way
  // to ask, with no interface listing.
  UdpSocket probe;
  if (probe.Open() != 0 || probe.Bind(UdpEndpoint{addr, 0}) != 0) return false;
  m_last_local = addr;
  return true;
}

bool LocalSourceFilter::FirstSighting(uint32_t addr) {
  const uint32_t known = m_foreign_count < kRemembered ? m_foreign_count : kRemembered;
  for (uint32_t i = 0; i < known; ++i)
    if (m_foreign[i] == addr) return false;
  m_foreign[m_foreign_count++ % kRemembered] = addr;
  return true;
}
