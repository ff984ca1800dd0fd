#include "diag/LinkCapture.h"

#include <chrono>
#include <cstring>

#include "common/LittleEndian.h"
#include "common/Log.h"
#include "common/ThreadName.h"
#include "diag/PcapFormat.h"

LinkCapture::~LinkCapture() {
  Stop();
  Close();
}

int LinkCapture::Start(const std::string& path, uint64_t limit) {
  Stop();
  kestal::MutexLock lock(m_mutex);
  if (m_file && path != m_path) Close();
  if (!m_file) {
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file) {
      KLOG_ERROR("Capture file cannot be created: %s", path.c_str());
      return -1;
    }
    m_path = path;
    m_file_bytes = 0;
    m_pending.clear();
    uint8_t header[pcap::kFileHeaderLength];
    pcap::WriteFileHeader(header);
    m_pending.insert(m_pending.end(), header, header + sizeof header);
    m_file_bytes = sizeof header;
  }
  m_limit = limit;
  m_stop = false;
  m_dropping = false;
  m_writer = std::thread(kestal::Log::Inheriting([this] { LoopWrite(); }));
  m_active = true;
  KLOG_DEBUG("Capture the link to %s", path.c_str());
  return 0;
}

void LinkCapture::Stop() {
  {
    kestal::MutexLock lock(m_mutex);
    m_active = false;
    m_stop = true;
  }
  m_signal.NotifyAll();
  if (m_writer.joinable()) m_writer.join();
}

void LinkCapture::Close() {
  if (m_file) std::fclose(m_file);
  m_file = nullptr;
}

void LinkCapture::Connected(uint32_t host_ip, uint16_t host_port, uint32_t device_ip,
                            uint16_t device_port) {
  if (!Active()) return;
  kestal::MutexLock lock(m_mutex);
  m_ip[0] = host_ip, m_ip[1] = device_ip, m_port[0] = host_port, m_port[1] = device_port;
  m_seq[0] = 0x10000000, m_seq[1] = 0x50000000;  // each side's first number; the SYN takes one
  AppendPacket(true, pcap::kSyn, nullptr, 0);
  AppendPacket(false, pcap::kSyn | pcap::kAck, nullptr, 0);
  AppendPacket(true, pcap::kAck, nullptr, 0);
}

void LinkCapture::Record(bool to_device, const uint8_t* data, uint32_t len) {
  if (!Active()) return;
  kestal::MutexLock lock(m_mutex);
  for (uint32_t at = 0; at < len; at += kMaxSegment)
    AppendPacket(to_device, pcap::kPsh | pcap::kAck, data + at,
                 len - at < kMaxSegment ? len - at : kMaxSegment);
  if (m_pending.size() >= kMaxPending / 4) m_signal.NotifyOne();
}

void LinkCapture::AppendPacket(bool to_device, uint8_t flags, const uint8_t* data, uint32_t len) {
  const int from = to_device ? 0 : 1, to = 1 - from;
  const uint32_t seq = m_seq[from];
  m_seq[from] += len + ((flags & pcap::kSyn) ? 1 : 0);
  if (!m_active) return;
  const uint32_t record = pcap::kRecordHeaderLength + pcap::kHeadersLength + len;
  if (m_file_bytes + record > m_limit) {
    KLOG_ERROR("Capture stopped at its size limit of %llu bytes: %s",
               static_cast<unsigned long long>(m_limit), m_path.c_str());
    m_active = false;
    return;
  }
  if (m_pending.size() + record > kMaxPending) {
    if (!m_dropping)
      KLOG_ERROR("Capture falls behind the link: bytes left out of %s", m_path.c_str());
    m_dropping = true;
    return;
  }
  m_dropping = false;
  const uint64_t us = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  pcap::Segment s{us,  m_ip[from], m_ip[to], m_port[from], m_port[to],
                  seq, m_seq[to],  flags,    m_ip_id++,    to_device};
  const size_t at = m_pending.size();
  m_pending.resize(at + record);
  pcap::WritePacket(&m_pending[at], s, data, len);
  m_file_bytes += record;
}

void LinkCapture::LoopWrite() {
  kestal::NameThisThread("kestal-capture");
  kestal::MutexLock lock(m_mutex);
  for (bool last = false; !last;) {
    m_signal.WaitFor(lock, std::chrono::seconds(1), [this]() REQUIRES(m_mutex) {
      return m_stop || m_pending.size() >= kMaxPending / 4;
    });
    last = m_stop;
    m_writing.swap(m_pending);
    lock.Unlock();
    const bool ok = m_writing.empty() || (std::fwrite(m_writing.data(), 1, m_writing.size(),
                                                      m_file) == m_writing.size() &&
                                          std::fflush(m_file) == 0);
    m_writing.clear();
    lock.Lock();
    if (!ok && m_active) {
      KLOG_ERROR("Capture write error, capture stopped: %s", m_path.c_str());
      m_active = false;
    }
  }
}
