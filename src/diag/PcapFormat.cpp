#include "diag/PcapFormat.h"

#include <cstring>

#include "common/LittleEndian.h"

namespace pcap {
namespace {
void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8), p[1] = static_cast<uint8_t>(v);
}
void PutBe32(uint8_t* p, uint32_t v) { PutBe16(p, v >> 16), PutBe16(p + 2, v); }
uint32_t GetBe16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t GetBe32(const uint8_t* p) { return GetBe16(p) << 16 | GetBe16(p + 2); }

const uint8_t kHostMac[6] = {0x02, 0, 0, 0, 0, 0x01}, kDeviceMac[6] = {0x02, 0, 0, 0, 0, 0x02};
}  // namespace

void WriteFileHeader(uint8_t* out) {
  kestal::StoreU32(out, kMagic);
  kestal::StoreU16(out + 4, uint16_t{2}), kestal::StoreU16(out + 6, uint16_t{4});  // version 2.4
  kestal::StoreU32(out + 8, 0), kestal::StoreU32(out + 12, 0);
  kestal::StoreU32(out + 16, kSnapLength), kestal::StoreU32(out + 20, kLinkEthernet);
}

void WritePacket(uint8_t* out, const Segment& s, const uint8_t* data, uint32_t len) {
  const uint32_t packet = kHeadersLength + len;
  kestal::StoreU32(out, static_cast<uint32_t>(s.time_us / 1000000));
  kestal::StoreU32(out + 4, static_cast<uint32_t>(s.time_us % 1000000));
  kestal::StoreU32(out + 8, packet), kestal::StoreU32(out + 12, packet);
  uint8_t* eth = out + kRecordHeaderLength;
  std::memcpy(eth, s.to_device ? kDeviceMac : kHostMac, 6),
      std::memcpy(eth + 6, s.to_device ? kHostMac : kDeviceMac, 6);
  PutBe16(eth + 12, 0x0800);
  uint8_t* ip = eth + kEthernetLength;
  std::memset(ip, 0, kIpLength + kTcpLength);
  ip[0] = 0x45;
  PutBe16(ip + 2, kIpLength + kTcpLength + len);
  PutBe16(ip + 4, s.ip_id);
  PutBe16(ip + 6, 0x4000);  // don't fragment
  ip[8] = 64, ip[9] = 6;    // TTL, TCP
  PutBe32(ip + 12, s.src_ip), PutBe32(ip + 16, s.dst_ip);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < kIpLength; i += 2) sum += GetBe16(ip + i);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  PutBe16(ip + 10, ~sum & 0xFFFF);
  uint8_t* tcp = ip + kIpLength;
  PutBe16(tcp, s.src_port), PutBe16(tcp + 2, s.dst_port);
  PutBe32(tcp + 4, s.seq), PutBe32(tcp + 8, (s.flags & kAck) ? s.ack : 0);
  tcp[12] = (kTcpLength / 4) << 4, tcp[13] = s.flags;
  PutBe16(tcp + 14, 65535);  // window
  if (len) std::memcpy(tcp + kTcpLength, data, len);
}

bool ParsePacket(const uint8_t* p, uint32_t len, Segment& s, uint32_t& payload_at,
                 uint32_t& payload_len) {
  if (len < kEthernetLength + kIpLength || GetBe16(p + 12) != 0x0800) return false;
  const uint8_t* ip = p + kEthernetLength;
  const uint32_t ip_header = (ip[0] & 0x0F) * 4u, ip_total = GetBe16(ip + 2);
  if ((ip[0] >> 4) != 4 || ip[9] != 6 || ip_header < kIpLength ||
      ip_total < ip_header + kTcpLength || kEthernetLength + ip_total > len)
    return false;
  const uint8_t* tcp = ip + ip_header;
  const uint32_t tcp_header = (tcp[12] >> 4) * 4u;
  if (tcp_header < kTcpLength || ip_header + tcp_header > ip_total) return false;
  s.src_ip = GetBe32(ip + 12), s.dst_ip = GetBe32(ip + 16);
  s.src_port = static_cast<uint16_t>(GetBe16(tcp)),
  s.dst_port = static_cast<uint16_t>(GetBe16(tcp + 2));
  s.seq = GetBe32(tcp + 4), s.ack = GetBe32(tcp + 8), s.flags = tcp[13];
  s.ip_id = static_cast<uint16_t>(GetBe16(ip + 4));
  payload_at = kEthernetLength + ip_header + tcp_header;
  payload_len = ip_total - ip_header - tcp_header;
  return true;
}

}  // namespace pcap
