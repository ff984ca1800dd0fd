// The capture file's layout: a classic pcap file (microsecond timestamps, Ethernet link type) whose
// packets are Ethernet II + IPv4 (20-byte header) + TCP (20-byte header) + the bytes the link
// carried. pcap's own fields are little-endian as written here; the network headers are big-endian
// as on a wire.
#pragma once

#include <cstdint>

namespace pcap {

constexpr uint32_t kMagic = 0xA1B2C3D4;
constexpr uint32_t kSnapLength = 262144;
constexpr uint32_t kLinkEthernet = 1;
constexpr uint32_t kFileHeaderLength = 24, kRecordHeaderLength = 16;
constexpr uint32_t kEthernetLength = 14, kIpLength = 20, kTcpLength = 20;
constexpr uint32_t kHeadersLength = kEthernetLength + kIpLength + kTcpLength;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;

// One TCP segment of the capture.
struct Segment {
  uint64_t time_us;  // since the epoch
  uint32_t src_ip, dst_ip;
  uint16_t src_port, dst_port;
  uint32_t seq, ack;
  uint8_t flags;
  uint16_t ip_id;
  bool to_device;  // written only: picks the Ethernet addresses
};

void WriteFileHeader(uint8_t* out);  // kFileHeaderLength bytes
// Writes the record header, the three network headers and `len` bytes of `data`:
// kRecordHeaderLength + kHeadersLength + len bytes.
void WritePacket(uint8_t* out, const Segment& segment, const uint8_t* data, uint32_t len);

// Reads the segment of one record's packet (`len` bytes, the record header already read): false
// when it is not Ethernet + IPv4 + TCP; else the segment's fields and where its payload lies within
// `packet`.
bool ParsePacket(const uint8_t* packet, uint32_t len, Segment& segment, uint32_t& payload_at,
                 uint32_t& payload_len);

}  // namespace pcap
