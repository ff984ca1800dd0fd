#include "transport/storage/HostCommViaStorage.h"

#include <chrono>
#include <utility>

#include "common/CallbackGate.h"
#include "common/Clock.h"
#include "common/Log.h"
#include "common/ProtocolCatalogue.h"
#include "common/ThreadName.h"

namespace {

using kestal::HostCommStatusStorageConnected;
using kestal::HostCommStatusStorageConnectError;

constexpr const char* kRecvWorker = "HostCommViaStorage::StartLoopRecv.RecvWorker";
constexpr int kStopWaitMs = 200;
constexpr int kPollIntervalMs = 1;
constexpr auto kBusyPollInterval = std::chrono::microseconds(100);
constexpr auto kBusyPollSpell = std::chrono::milliseconds(50);

static_assert(HostCommTransportPlan::kMaxDisks == BlockDevice::kMaxCandidates,
              "a plan names no more disks than discovery tries");

}  // namespace

HostCommViaStorage::HostCommViaStorage(HostCommTransportConfig config)
    : m_report_status(std::move(config.report_status)),
      m_report_failure(std::move(config.report_failure)),
      m_health(config.health ? config.health : &m_own_health) {}

HostCommViaStorage::~HostCommViaStorage() {
  m_stop = true;
  kestal::CallbackGate::JoinWorker(m_recv_thread);
  m_disk.Close();
}

int HostCommViaStorage::SendOrder(uint16_t msg_type, const uint8_t* data, uint32_t length,
                                  const SendWait&) {
  if (length > kMaxMsgLen) {
    KLOG_DEBUG("Send message len:%d to host error", static_cast<int>(length));
    return -1;
  }
  return m_mailbox.WriteMsg(kVolumeTypeHostToDevice, msg_type, data, length);
}

// ---------------------------------------------------------------------------------------
// Start and stop

int HostCommViaStorage::StartLoopRecv(const HostCommTransportPlan& plan) {
  // A worker that ended by itself (a failed pass) is joined before a new one starts.
  if (m_recv_thread.joinable()) {
    m_stop = true;
    kestal::CallbackGate::JoinWorker(m_recv_thread);
  }
  m_stop = false;
  m_mailbox.SetCapture(plan.capture);
  m_deliver = plan.deliver;
  if (m_disk.OpenStorageDevice(plan.disks) < 0) {
    KLOG_DEBUG("Open dev:%s failed", m_disk.DevicePath().c_str());
    ReportStatusTo(m_report_status, HostCommStatusStorageConnectError, "");
    return -1;
  }
  KLOG_DEBUG("Open dev:%s successfully", m_disk.DevicePath().c_str());
  // The mailbox has no endpoints: its messages are captured as if they crossed the device's first
  // network port.
  if (plan.capture) plan.capture->Connected(0x7F000001, 50000, 0x7F000001,
                                      kestal::catalogue::kDevicePortType1);
  const int r0 = m_mailbox.RepositionVolume(kVolumeTypeHostToDevice);
  const int r1 = m_mailbox.RepositionVolume(kVolumeTypeDeviceToHost);
  if (r0 < 0 || r1 < 0) {
    // A disk that cannot be read or written is no connection: reporting one would clear the
    // failure just reported and leave nobody to retry.
    m_disk.Close();
    KLOG_DEBUG("Reposition dev:%s failed", m_disk.DevicePath().c_str());
    ReportFailureTo(m_report_failure,
                    "the mailbox of " + m_disk.DevicePath() + " cannot be read or written");
    ReportStatusTo(m_report_status, HostCommStatusStorageConnectError, "");
    return -1;
  }
  ReportStatusTo(m_report_status, HostCommStatusStorageConnected, "");
  m_recv_thread = kestal::CallbackGate::StartWorker([this] { LoopRecv(); });  // reports states
  return 0;
}

void HostCommViaStorage::LoopRecv() {
  kestal::NameThisThread("kestal-disk");
  // An idle mailbox is looked at once a millisecond; while messages come, the next one is
  // likely close behind, so it is looked at every 100 us for a while after the last.
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_message = Clock::now() - kBusyPollSpell;
  while (!m_stop) {
    const uint64_t seq_no = m_mailbox.RunInfo(kVolumeTypeDeviceToHost).seq_no;
    if (m_mailbox.ReadMsg(m_deliver) < 0) {
      KLOG_DEBUG_AS(kRecvWorker, "ReadMsg FAILED");
      break;
    }
    const Clock::time_point now = Clock::now();
    if (m_mailbox.RunInfo(kVolumeTypeDeviceToHost).seq_no != seq_no) last_message = now;
    std::this_thread::sleep_for(now - last_message < kBusyPollSpell
                                    ? kBusyPollInterval
                                    : std::chrono::microseconds(kPollIntervalMs * 1000));
  }
  KLOG_DEBUG_AS(kRecvWorker, "loop recv thread stopped");
}

// The stop takes at least 400 ms whatever it waits for: a reconnect that follows at once relies on
// it to pace its attempts on a disk that keeps failing.
int HostCommViaStorage::StopLoopRecv() {
  const auto done = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * kStopWaitMs);
  m_stop = true;
  // A pass in progress (at most a 200 ms queue wait) finishes before the disk is closed.
  kestal::CallbackGate::JoinWorker(m_recv_thread);
  const std::string path = m_disk.Close();
  KLOG_DEBUG("Close dev:%s", path.c_str());
  kestal::SleepUntil(done);
  return 0;
}
