#include "diag/CaptureReader.h"

#include "common/LittleEndian.h"
#include "common/ProtocolCatalogue.h"
#include "diag/PcapFormat.h"

CaptureReader::~CaptureReader() {
  if (m_file) std::fclose(m_file);
}

int CaptureReader::Fail(const std::string& text) {
  m_error = text;
  return -1;
}

int CaptureReader::Open(const std::string& path) {
  m_file = std::fopen(path.c_str(), "rb");
  if (!m_file) return Fail("cannot open " + path);
  uint8_t header[pcap::kFileHeaderLength];
  if (std::fread(header, 1, sizeof header, m_file) != sizeof header)
    return Fail(path + " is too short for a capture");
  if (kestal::LoadU32(header) != pcap::kMagic ||
      kestal::LoadU32(header + 20) != pcap::kLinkEthernet)
    return Fail(path +
                " is not a capture of Ethernet packets with microsecond times (classic pcap)");
  return 0;
}

int CaptureReader::Next(Chunk& out) {
  for (;;) {
    uint8_t record[pcap::kRecordHeaderLength];
    const size_t got = m_file ? std::fread(record, 1, sizeof record, m_file) : 0;
    if (got == 0) return 0;
    ++m_record;
    const uint32_t len = kestal::LoadU32(record + 8);
    if (got != sizeof record || len > pcap::kSnapLength)
      return Fail("record " + std::to_string(m_record) + " is damaged");
    m_packet.resize(len);
    if (std::fread(m_packet.data(), 1, len, m_file) != len)
      return Fail("record " + std::to_string(m_record) + " is cut short");
    pcap::Segment s{};
    uint32_t at = 0, n = 0;
    if (!pcap::ParsePacket(m_packet.data(), len, s, at, n))
      continue;  // not a TCP segment: not the link's
    if ((s.flags & pcap::kSyn) && !(s.flags & pcap::kAck)) {
      m_host_ip = s.src_ip, m_host_port = s.src_port, m_host_known = true;
      ++m_connection;
    }
    if (!m_host_known) {
      const bool from_device = s.src_port == kestal::catalogue::kDevicePortType1 ||
                               s.src_port == kestal::catalogue::kDevicePortType3;
      m_host_ip = from_device ? s.dst_ip : s.src_ip,
      m_host_port = from_device ? s.dst_port : s.src_port;
      m_host_known = true;
      m_connection = 1;
    }
    if (n == 0) continue;
    out.time_us = uint64_t{kestal::LoadU32(record)} * 1000000 + kestal::LoadU32(record + 4);
    out.to_device = s.src_ip == m_host_ip && s.src_port == m_host_port;
    out.connection = m_connection;
    out.bytes.assign(m_packet.begin() + at, m_packet.begin() + at + n);
    return 1;
  }
}
