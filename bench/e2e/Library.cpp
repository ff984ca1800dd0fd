#include "Library.h"

#include <chrono>
#include <cstdio>

#include "Measure.h"
#include "common/LittleEndian.h"
#include "kestal/KestalHostCommService.h"
#include "protocol/HostCommMsg.h"
#include "service/ServiceSettings.h"

using kestal::LoadU16;
using kestal::LoadU64;
using kestal::StoreU16;
using kestal::StoreU64;

namespace bench {

namespace {

constexpr int kConnectWaitMs = 10000;
constexpr int kStartTries = 5;

uint8_t FillByte(uint32_t i) { return static_cast<uint8_t>(i * 29 + 7); }

}  // namespace

void AckWaiter::Expect(uint16_t seq_no) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_seq_no = seq_no;
  m_arrived_ns = -1;
}

int64_t AckWaiter::Wait(int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [this] { return m_arrived_ns >= 0; });
  return m_arrived_ns;
}

void AckWaiter::Offer(uint16_t seq_no, int64_t now_ns) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (seq_no != m_seq_no || m_arrived_ns >= 0) return;
    m_arrived_ns = now_ns;
  }
  m_signal.notify_one();
}

std::vector<uint8_t> StorageSink::Payload(uint32_t len) {
  std::vector<uint8_t> payload(len);
  StoreU16(payload.data() + OrderLayout::kSubMsgType, kSubType);
  for (uint32_t i = 24; i < len; ++i) payload[i] = FillByte(i);
  return payload;
}

void StorageSink::Stamp(uint8_t* payload, uint64_t seq_no, int64_t now_ns) {
  StoreU16(payload, static_cast<uint16_t>(seq_no));
  StoreU64(payload + 8, seq_no);
  StoreU64(payload + 16, static_cast<uint64_t>(now_ns));
}

void StorageSink::Reset(uint32_t size, size_t max_latencies) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_size = size;
  m_next = m_received = m_lost = m_duplicated = m_damaged = 0;
  m_last_ns = 0;
  m_latencies_us.clear();
  m_latencies_us.reserve(max_latencies);
}

void StorageSink::Offer(const uint8_t* data, uint32_t len, int64_t now_ns) {
  if (len < 24 || LoadU16(data + OrderLayout::kSubMsgType) != kSubType) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t seq_no = LoadU64(data + 8);
    if (len != m_size || data[len - 1] != FillByte(len - 1) || data[len / 2] != FillByte(len / 2)) {
      ++m_damaged;
    } else if (seq_no < m_next) {
      ++m_duplicated;
    } else {
      m_lost += seq_no - m_next;
      m_next = seq_no + 1;
      if (m_record && m_latencies_us.size() < m_latencies_us.capacity())
        m_latencies_us.push_back(
            static_cast<double>(now_ns - static_cast<int64_t>(LoadU64(data + 16))) / 1e3);
    }
    ++m_received;
    m_last_ns = now_ns;
  }
  m_signal.notify_all();
}

bool StorageSink::WaitReceived(uint64_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return m_received >= count; });
}

StorageSink::Counts StorageSink::Count(uint64_t sent) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_received, m_lost + (sent > m_next ? sent - m_next : 0), m_duplicated, m_damaged,
          m_last_ns};
}

std::vector<double> StorageSink::TakeLatenciesUs() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<double> out = m_latencies_us;
  m_latencies_us.clear();
  return out;
}
void StorageSink::RecordLatencies(bool on) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_record = on;
}

Library& Library::Get() {
  static Library library;
  return library;
}

Library::Library() {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  service.SetRecvHostCommMsgCallBack(
      [](unsigned short type, unsigned char* data, unsigned int len, void* self) {
        static_cast<Library*>(self)->OnMessage(type, data, len);
      },
      this);
  service.SetDeviceEventCallBack([](HostCommDeviceEvent event, const char*,
                                    void* self) { static_cast<Library*>(self)->OnEvent(event); },
                                 this);
}

void Library::OnMessage(uint16_t type, const uint8_t* data, uint32_t len) {
  const int64_t now = NowNs();
  if (type == OriginalImagePiece) {
    if (FrameTally* tally = m_tally.load()) tally->Add(data, len);
  } else if (type == Order && len >= 2) {
    if (AckWaiter* acks = m_acks.load()) acks->Offer(LoadU16(data), now);
    if (StorageSink* sink = m_storage.load()) sink->Offer(data, len, now);
  }
}

void Library::OnEvent(int event) {
  if (event == ConnectedOk) m_connected_ok.fetch_add(1);
  if (event == CommError) m_comm_errors.fetch_add(1);
}

void Library::DeliverFramesTo(FrameTally* tally) { m_tally = tally; }
void Library::DeliverAcksTo(AckWaiter* waiter) { m_acks = waiter; }
void Library::DeliverStorageTo(StorageSink* sink) { m_storage = sink; }
uint64_t Library::CommErrors() const { return m_comm_errors.load(); }

bool Library::StartNetwork(uint16_t port) {
  HostCommSettings settings = kestal::GetServiceSettings();
  settings.device_ip_type1 = "127.0.0.1", settings.device_port_type1 = port;
  kestal::SetServiceSettings(settings);
  KestalHostCommService::GetInstance().SetCommType(HostCommDeviceNetwork);
  return StartAndConnect();
}

bool Library::StartStorage(const std::string& image) {
  HostCommSettings settings = kestal::GetServiceSettings();
  settings.storage_paths = {image};
  kestal::SetServiceSettings(settings);
  KestalHostCommService::GetInstance().SetCommType(HostCommDeviceStorage);
  return StartAndConnect();
}

// Start fails while another process holds the arm link's UDP port; it is tried a few times.
bool Library::StartAndConnect() {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  const uint64_t connected = m_connected_ok.load();
  for (int attempt = 1; attempt <= kStartTries; ++attempt) {
    if (service.Start() == 0) break;
    std::fprintf(stderr, "kestal-bench: Start failed (attempt %d of %d)\n", attempt, kStartTries);
    service.Stop();
    if (attempt == kStartTries) return false;
  }
  const int64_t deadline = NowNs() + int64_t{kConnectWaitMs} * 1000000;
  while (m_connected_ok.load() == connected && NowNs() < deadline) SleepMs(10);
  if (m_connected_ok.load() != connected) return true;
  std::fprintf(stderr, "kestal-bench: no \"Connected OK\" within %d ms\n", kConnectWaitMs);
  service.Stop();
  return false;
}

void Library::Stop() { KestalHostCommService::GetInstance().Stop(); }

}  // namespace bench
