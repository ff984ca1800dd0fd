#include "service/KestalHostCommServiceImpl.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arm/ArmCommViaNetwork.h"
#include "common/CallbackGate.h"
#include "common/CallbackSlot.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "common/Log.h"
#include "common/StatusReport.h"
#include "common/ThreadName.h"
#include "kestal/kestal_protocol.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceSettings.h"
#include "transport/HostCommTransports.h"
#include "transport/network/FrameStreamParser.h"

using Impl = KestalHostCommService::Impl;

// The subsystems report the codes of common/StatusReport.h; the application knows them as the
// exported header's.
#define KESTAL_CHECK_STATUS(name, value)                                          \
  static_assert(static_cast<unsigned>(kestal::HostCommStatus##name) == (value) && \
                    static_cast<unsigned>(HostCommStatus##name) == (value),       \
                "HostCommStatus" #name);
KESTAL_HOST_COMM_STATUSES(KESTAL_CHECK_STATUS)
#undef KESTAL_CHECK_STATUS

namespace {

// The log lines of the exported operations carry their names.
constexpr const char* kStart = "KestalHostCommService::Start";
constexpr const char* kStop = "KestalHostCommService::Stop";
constexpr const char* kReportStatus = "KestalHostCommService::ReportStatus";

constexpr const char* kLoopReconnect = "KestalHostCommService::Start.ReconnectWorker";
constexpr const char* kLoopLogReport = "KestalHostCommService::Start.LogReportWorker";
constexpr uint64_t kStatusStaleMs = 3000;
constexpr unsigned kInvalidState = 7;
// The reconnect worker's wait while nothing is lost: it is woken by ReportStatus and by Stop, so
// this is only a backstop.
constexpr int kIdleWaitMs = 10000;
// How long Stop waits for application callbacks still running before it gives them up.
constexpr auto kCallbackGrace = std::chrono::seconds(2);

// Engine comm type for each HostCommDeviceType.
constexpr uint32_t kEngineCommType[] = {HostCommTypeStorage, HostCommTypeNetwork,
                                        HostCommTypeNetworkAlt};

// The device state texts and the status line "scan head: %s, %dfps; articulated arm: %s, %dfps",
// as code page 936 bytes (the class's callback) and as UTF-8 (the C interface's).
struct StatusTexts {
  const char* state[8];  // working normally, device not found, open failed, I/O error, device
                         // inserted, device removed, device communication timeout, invalid
  const char* format;
};
const StatusTexts kStatusGbk = {
    {"\xb9\xa4\xd7\xf7\xd5\xfd\xb3\xa3", "\xc9\xe8\xb1\xb8\xce\xb4\xd5\xd2\xb5\xbd",
     "\xb4\xf2\xbf\xaa\xca\xa7\xb0\xdc", "IO\xb4\xed\xce\xf3", "\xc9\xe8\xb1\xb8\xb2\xe5\xc8\xeb",
     "\xc9\xe8\xb1\xb8\xb0\xce\xb3\xf6", "\xc9\xe8\xb1\xb8\xcd\xa8\xd1\xb6\xb3\xac\xca\xb1",
     "\xce\xde\xd0\xa7"},
    "\xc9\xa8\xc3\xe8\xcd\xb7\xa3\xba%s, %dfps; \xb9\xd8\xbd\xda\xb1\xdb\xa3\xba%s, %dfps"};
const StatusTexts kStatusUtf8 = {
    {"\xe5\xb7\xa5\xe4\xbd\x9c\xe6\xad\xa3\xe5\xb8\xb8",
     "\xe8\xae\xbe\xe5\xa4\x87\xe6\x9c\xaa\xe6\x89\xbe\xe5\x88\xb0",
     "\xe6\x89\x93\xe5\xbc\x80\xe5\xa4\xb1\xe8\xb4\xa5", "IO\xe9\x94\x99\xe8\xaf\xaf",
     "\xe8\xae\xbe\xe5\xa4\x87\xe6\x8f\x92\xe5\x85\xa5",
     "\xe8\xae\xbe\xe5\xa4\x87\xe6\x8b\x94\xe5\x87\xba",
     "\xe8\xae\xbe\xe5\xa4\x87\xe9\x80\x9a\xe8\xae\xaf\xe8\xb6\x85\xe6\x97\xb6",
     "\xe6\x97\xa0\xe6\x95\x88"},
    "\xe6\x89\xab\xe6\x8f\x8f\xe5\xa4\xb4\xef\xbc\x9a%s, %dfps; "
    "\xe5\x85\xb3\xe8\x8a\x82\xe8\x87\x82\xef\xbc\x9a%s, %dfps"};

// The status line of a controller status record whose states are `s` and `a` (at most 7); no
// allocation, as it is written every second.
using StatusLineText = char[160];
void FormatStatusLine(const StatusTexts& texts, const uint8_t* record, uint32_t s, uint32_t a,
                      StatusLineText& line) {
  using L = ControllerStatusLayout;
  std::snprintf(line, sizeof line, texts.format, texts.state[s],
                static_cast<int32_t>(kestal::LoadU32(record + L::kFpgaFps)), texts.state[a],
                static_cast<int32_t>(kestal::LoadU32(record + L::kArmFps)));
}

struct StatusRow {
  int need_reconnect;  // 1 set, 0 clear, -1 unchanged
  const char* log_line;
  bool send_comm_type;
  HostCommDeviceEvent event;
};

const StatusRow kStatusTable[] = {
    {1, "Not connected", false, NotConnected},
    {-1, "Connecting...", false, Connecting},
    {1, "Connected Error:%s", false, ConnectedError},
    {0, "Connected OK", true, ConnectedOk},
    {1, "Connected Error", false, ConnectedError},
    {0, "Connected OK", true, ConnectedOk},
    {1, "Comm Error", false, CommError},
    {1, "Comm Error", false, CommError},
    {1, "Device arrival", false, DeviceArrival},
    {1, "Device left", false, DeviceLeft},
};

const char* const kEventText[] = {"Device arrival", "Device left",   "Connected Error",
                                  "Connected OK",   "Connecting...", "Not connected",
                                  "Comm Error"};

// The last failure reported on each thread, and the service it concerns: a request's own reason,
// whatever other threads report after it.
struct ThreadFailureNote {
  const Impl* service = nullptr;
  std::string reason;
};
thread_local ThreadFailureNote t_thread_failure;

}  // namespace

// Its user data comes last; the gate is the one a stop of this service closes.
template <typename Fn, typename... Args>
void Impl::CallApp(const char* name, const kestal::CallbackSlot<Fn>& slot, Args... args) {
  Fn fn = slot.Function();
  if (!fn) return;
  kestal::CallbackGate::Scope scope(m_gate, name);
  if (!scope.Admitted()) return;
  fn(args..., slot.UserData());
  scope.Leave();  // a worker whose call a stop gave up ends here
}

// Holds the start/stop lock; the device events reported meanwhile are delivered once it is
// released, which may end a worker whose callback a stop gave up (CallbackGate::GivenUp).
class SCOPED_CAPABILITY Impl::StartStopLock {
 public:
  explicit StartStopLock(Impl& service) ACQUIRE(service.m_lifecycle) : m_service(service) {
    m_service.m_lifecycle.Lock();
  }
  ~StartStopLock() noexcept(false) RELEASE() { m_service.m_lifecycle.Unlock(); }
  StartStopLock(const StartStopLock&) = delete;
  StartStopLock& operator=(const StartStopLock&) = delete;

 private:
  Impl& m_service;
};

Impl::Impl()
    : m_lifecycle(
          [this](const DeviceEventReport& report) { DeliverEvent(report.event, report.detail); }) {
  // The engine, its transports and the arm link report through the service, number their orders
  // with its counter and reach each other through the functions wired here, without knowing the
  // service or each other.
  m_arm_comm = std::make_unique<ArmCommViaNetwork>();
  HostCommProtocolConfig config;
  config.next_seq_no = [this] { return NextMsgSeqNo(); };
  config.report_status = [this](unsigned int status, const char* text) {
    ReportStatus(status, text);
  };
  config.report_failure = [this](const std::string& reason) { NoteFailure(reason); };
  config.make_transport = &MakeHostCommTransport;
  config.relay_arm_msg = [arm = m_arm_comm.get()](const uint8_t* data, uint32_t len) {
    arm->SendOrder(data, len);
  };
  m_host_comm_protocol = std::make_unique<HostCommProtocolImpl>(std::move(config));
  m_arm_comm->SetDeviceRelay(
      [engine = m_host_comm_protocol.get()](uint16_t type, const uint8_t* data, uint32_t len) {
        return engine->SendOrder(type, data, len);
      });
  kestal::Log::Init();
  m_host_comm_protocol->SetRecvMsgCallBack(&Impl::DeliverMessage, this);
}

// The process-wide service never gets here (see the header). Another one ends its workers and
// links before its parts go: the arm link's receive worker sends through the engine.
Impl::~Impl() {
  kestal::Log::Scope log_scope(m_log_file.get());
  if (m_lifecycle.WorkersRunning() || m_arm_comm->IsOpen()) Stop();
  m_arm_comm.reset();
}

void Impl::SetLogFile(const std::string& path) { m_log_file = kestal::Log::OpenFile(path); }

uint16_t Impl::NextMsgSeqNo() {
  return static_cast<uint16_t>(m_msg_seq_no.fetch_add(1, std::memory_order_relaxed) + 1);
}

// Captures the session when a tool named a file or the environment variable KESTAL_CAPTURE does; a
// capture that cannot start is logged and the session goes on without it.
void Impl::StartCapture() {
  std::string path = m_host_comm_protocol->Settings().capture_path;
  if (path.empty()) {
    const char* env = std::getenv("KESTAL_CAPTURE");
    path = env ? env : "";
  }
  if (!path.empty()) m_host_comm_protocol->StartCapture(path);
}

// The process exits without Stop. On Windows its other threads are already gone, killed
// perhaps while they held a lock or waited on a signal: touching one now could block for
// ever. So only flags: no callback starts any more, and workers that still run end by
// themselves; the process ends them in any case.
void Impl::Shut() {
  m_gate.Shut();
  m_stop_workers = true;
}

void Impl::SetCommType(HostCommDeviceType type) {
  m_comm_type = type;
  KLOG_DEBUG_AS("KestalHostCommService::SetCommType", "SetCommType to %d", static_cast<int>(type));
}

void Impl::SetDeviceEventCallBack(DeviceEventCallBack callback, void* user_data) {
  m_device_event.SetClass(callback, user_data);
}

void Impl::SetEventFn(kestal_event_fn callback, void* user_data) {
  m_device_event.SetC(callback, user_data);
}

void Impl::SetEventDetailFn(kestal_event_detail_fn callback, void* user_data) {
  m_event_detail.Set(callback, user_data);
}

void Impl::SetFrameFn(kestal_frame_fn callback, void* user_data) {
  // The engine reads the clocks for a frame only while someone takes frames.
  m_host_comm_protocol->SetFrameCallBack(
      m_frame.Set(callback, user_data) ? &Impl::DeliverFrame : nullptr, this);
}

// The frame as the C interface gives it.
void Impl::DeliverFrame(const ImageFrame& in, void* impl) {
  kestal_frame frame{};
  frame.kind = in.kind;
  frame.number = in.number;
  frame.width = in.width;
  frame.height = in.height;
  frame.header = in.data;
  frame.header_len = in.header_len;
  frame.pixels = in.data + in.header_len;
  frame.pixels_len = in.image_len;
  frame.host_time_ns = in.host_time_ns;
  frame.utc_time_ns = in.utc_time_ns;
  Impl& service = *static_cast<Impl*>(impl);
  service.CallApp<kestal_frame_fn, const kestal_frame*>("FrameCallBack", service.m_frame, &frame);
}

void Impl::SetStatusLineUtf8Fn(kestal_text_fn callback, void* user_data) {
  m_status_line_utf8.Set(callback, user_data);
}

void Impl::SetLogCallBack(LogCallBack callback, void* user_data) { m_log.Set(callback, user_data); }

void Impl::SetRecvHostCommMsgCallBack(RecvHostCommMsgCallBack callback, void* user_data) {
  m_recv_host_comm_msg.SetClass(callback, user_data);
}

void Impl::SetMessageFn(kestal_message_fn callback, void* user_data) {
  m_recv_host_comm_msg.SetC(callback, user_data);
}

void Impl::DeliverMessage(unsigned short type, unsigned char* data, unsigned int len, void* impl) {
  static_cast<Impl*>(impl)->RecvHostCommMsg(type, data, len);
}

void Impl::SetScanerStatusCallBack(StatusCallBack callback, void* user_data) {
  m_scaner_status.Set(callback, user_data);
}

void Impl::SetArmStatusCallBack(StatusCallBack callback, void* user_data) {
  m_arm_status.Set(callback, user_data);
}

int Impl::SendHostCommMsg(unsigned short type, unsigned char* data, unsigned int len) {
  return m_host_comm_protocol->SendOrder(type, data, len);
}

int Impl::SendUpdateFirmware(unsigned short type, unsigned char* data, unsigned int len) {
  return m_host_comm_protocol->SendUpdateFirmware(type, data, len);
}

void Impl::RecvHostCommMsg(unsigned short type, unsigned char* data, unsigned int len) {
  CallApp("RecvHostCommMsgCallBack", m_recv_host_comm_msg.Class(), type, data, len);
  CallApp<kestal_message_fn, unsigned short, const unsigned char*, unsigned int>(
      "RecvHostCommMsgCallBack", m_recv_host_comm_msg.C(), type, data, len);
}

unsigned short Impl::GetMsgSeqNo() { return NextMsgSeqNo(); }

void Impl::PrintVolumeRunInfo() { m_host_comm_protocol->PrintVolumeRunInfo(); }

void Impl::ReportStatus(unsigned int status, const char* text) {
  if (status >= sizeof kStatusTable / sizeof kStatusTable[0]) return;
  const StatusRow& row = kStatusTable[status];
  if (row.need_reconnect >= 0) m_need_reconnect = row.need_reconnect == 1;
  if (row.need_reconnect == 1) m_lifecycle.Wake();
  if (status == HostCommStatusStorageConnectError)
    KLOG_DEBUG_AS(kReportStatus, "Connected Error:%s", text ? text : "null");
  else
    KLOG_DEBUG_AS(kReportStatus, "%s", row.log_line);
  if (row.send_comm_type) {
    m_host_comm_protocol->SendCommTypeOrder();
    m_host_comm_protocol->ResumeScan();
  }
  m_lifecycle.RaiseEvent({row.event, TakeFailureDetail(row.event)});
}

void Impl::DeliverEvent(HostCommDeviceEvent event, const std::string& detail) {
  CallApp("DeviceEventCallBack", m_device_event.Class(), event, kEventText[event]);
  CallApp<kestal_event_fn, int, const char*>("DeviceEventCallBack", m_device_event.C(),
                                             static_cast<int>(event), kEventText[event]);
  CallApp("EventDetailCallBack", m_event_detail, event, kEventText[event], detail.c_str());
}

std::string Impl::ThreadFailure() const {
  return t_thread_failure.service == this ? t_thread_failure.reason : std::string();
}

void Impl::NoteFailure(const std::string& reason, bool for_event) {
  t_thread_failure.service = this;
  t_thread_failure.reason = reason;
  kestal::MutexLock lock(m_failure_mutex);
  m_last_failure = reason;
  m_failure_pending = for_event;
}

std::string Impl::LastFailure() const {
  kestal::MutexLock lock(m_failure_mutex);
  return m_last_failure;
}

// A failure event takes the reason noted since the last one; any other event has none.
std::string Impl::TakeFailureDetail(HostCommDeviceEvent event) {
  if (event != ConnectedError && event != CommError && event != NotConnected) return {};
  kestal::MutexLock lock(m_failure_mutex);
  if (!m_failure_pending) return {};
  m_failure_pending = false;
  return m_last_failure;
}

void Impl::StopEngine() { m_host_comm_protocol->StopLoopRecv(); }

void Impl::JoinWorkers() {
  kestal::CallbackGate::JoinWorker(m_lifecycle.ReconnectThread());
  kestal::CallbackGate::JoinWorker(m_lifecycle.LogReportThread());
}

int Impl::Start() {
  kestal::Log::Scope log_scope(m_log_file.get());  // the workers started here inherit it
  KLOG_DEBUG_AS(kStart, "Called KestalHostCommService::Start");
  if (m_gate.InOwnCallback()) return RefuseInCallback(kStart, "Start");
  const int comm_type = m_comm_type;
  if (comm_type < HostCommDeviceStorage || comm_type > HostCommDeviceNetworkAlt) {
    // No transport has this number: refuse it rather than index past the table.
    KLOG_DEBUG_AS(kStart, "Not support comm type:%d", comm_type);
    return -1;
  }
  // Workers whose callback the last Stop gave up end by themselves once it returns, touching
  // nothing of this start: this start never waits for them.
  kestal::CallbackGate::JoinEndedWorkers();
  m_host_comm_protocol->Health().Reset();
  m_host_comm_protocol->ClearControllerStatus();  // the last session's device is not this one's
  m_host_comm_protocol->ForgetScanOrder();        // nor is its scan this one's
  m_host_comm_protocol->SetHostCommType(kEngineCommType[comm_type]);
  ReportStatus(HostCommStatusConnecting, "");

  const HostCommSettings settings = Settings();
  m_arm_comm->SetPorts(settings.arm_local_port, settings.arm_peer_port);
  // Arm port 0: a service without an arm relay (one of several in a process).
  if (settings.arm_local_port != 0 && m_arm_comm->StartLoopRecv() < 0) {
    {
      StartStopLock lock(*this);
      StopEngine();
    }
    ReportStatus(HostCommStatusNotConnected, "");
    return -1;
  }

  // Workers of an earlier start have been joined by Stop; a Start after a failed Start may
  // still have them, and a callback of theirs may wait for this very thread.
  m_lifecycle.RaiseStop(m_stop_workers);
  if (m_lifecycle.WorkersRunning()) {
    GiveUpCallbacks();
    JoinWorkers();
    m_gate.Open();
  }
  m_need_reconnect = false;
  m_stop_workers = false;
  m_stopped = false;
  StartCapture();                       // like the workers, it runs until Stop
  // The log-report worker writes the log from now on.
  if (!m_log_writer.exchange(true)) kestal::Log::SetWriterRunning(true);
  m_lifecycle.ReconnectThread() = kestal::CallbackGate::StartWorker([this] { LoopReconnect(); });
  m_lifecycle.LogReportThread() = kestal::CallbackGate::StartWorker([this] { LoopLogReport(); });

  StartStopLock lock(*this);
  if (m_host_comm_protocol->StartLoopRecv() < 0) {
    ReportStatus(HostCommStatusNotConnected, "");
    return -1;
  }
  return 0;
}

int Impl::Stop() {
  kestal::Log::Scope log_scope(m_log_file.get());
  KLOG_DEBUG_AS(kStop, "Called KestalHostCommService::Stop");
  if (m_gate.InOwnCallback()) return RefuseInCallback(kStop, "Stop");
  m_stopped = true;
  m_lifecycle.RaiseStop(m_stop_workers);
  // What arrives during this second still reaches the application.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  GiveUpCallbacks();
  JoinWorkers();
  {
    StartStopLock lock(*this);
    StopEngine();
  }
  m_arm_comm->StopLoopRecv();
  m_host_comm_protocol->StopCapture();
  KLOG_DEBUG_AS(kStop, "Link health, %s", m_host_comm_protocol->Health().Line().c_str());
  // No worker of this service writes the log now: without another, every line goes straight
  // to the file.
  if (m_log_writer.exchange(false)) kestal::Log::SetWriterRunning(false);
  kestal::Log::Flush();
  kestal::CallbackGate::JoinEndedWorkers();
  m_gate.Open();
  return 0;
}

// From here on no callback starts. One still running after the grace time may wait for the
// stopping thread (an application's UI thread): it is given up, and its worker ends by itself
// when it returns. Events queued behind a given-up delivery go with it.
void Impl::GiveUpCallbacks() {
  m_gate.Close();
  for (const std::string& name : m_gate.GiveUpAfter(kCallbackGrace))
    KLOG_DEBUG_AS(kStop, "Callback %s has not returned, its thread ends when it returns",
                  name.c_str());
  m_lifecycle.DropEvents();
}

int Impl::RefuseInCallback(const char* function, const char* operation) {
  const std::string reason = std::string(operation) +
                             " called from inside a callback: refused, it would wait for "
                             "that callback to return";
  KLOG_DEBUG_AS(function, "%s", reason.c_str());
  NoteFailure(reason, false);
  return -1;
}

bool Impl::WaitOneSecond() { return m_lifecycle.WaitOneSecond(m_stop_workers); }

void Impl::LoopReconnect() {
  kestal::NameThisThread("kestal-reconn");
  KLOG_DEBUG_AS(kLoopReconnect, "loop reconnect thread started");
  while (!m_stop_workers) {
    // A network link reconnects by itself; only a lost storage link is restarted here. The worker
    // sleeps until ReportStatus says that one is lost (or the stop), not on a timer.
    auto lost = [this] { return m_need_reconnect && m_comm_type == HostCommDeviceStorage; };
    if (!lost()) {
      m_lifecycle.WaitUntil(m_stop_workers, kIdleWaitMs, lost);
      continue;
    }
    KLOG_DEBUG_AS(kLoopReconnect, "Reconnect device");
    if (m_stop_workers) {
      KLOG_DEBUG_AS(kLoopReconnect, "Reconnect already stopped, Not do stop/start");
      break;
    }
    int r;
    {
      StartStopLock lock(*this);
      StopEngine();
      if (m_stop_workers) {
        KLOG_DEBUG_AS(kLoopReconnect, "Reconnect already stopped, Not do stop/start");
        break;
      }
      r = m_host_comm_protocol->StartLoopRecv();
    }
    if (r == 0) LinkHealth::Add(m_host_comm_protocol->Health().reconnects);
    if (r < 0) {
      ReportStatus(HostCommStatusNotConnected, "");
      WaitOneSecond();
    }
  }
  KLOG_DEBUG_AS(kLoopReconnect, "loop reconnect thread stopped");
}

void Impl::LoopLogReport() {
  kestal::NameThisThread("kestal-report");
  auto next_health = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!m_stop_workers) {
    if (std::chrono::steady_clock::now() >= next_health) {
      LinkHealth::LineBuffer line;
      KLOG_DEBUG_AS(kLoopLogReport, "Link health, %s", m_host_comm_protocol->Health().Write(line));
      next_health += std::chrono::minutes(1);
    }
    ReportStates();
    // The log's writer is this worker rather than a thread of the log's own, so no thread of the
    // library outlives Stop or has to be joined while the library unloads: it flushes the log once
    // a second and, until the next report, writes the buffered lines whenever half the buffer is
    // taken.
    kestal::Log::Flush();
    const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (auto now = std::chrono::steady_clock::now(); !m_stop_workers && now < next;
         now = std::chrono::steady_clock::now())
      kestal::Log::WriteBacklog(
          static_cast<int>(
              std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) +
          1);
  }
  KLOG_DEBUG_AS(kLoopLogReport, "loop log report thread stopped");
}

void Impl::ReportStates() {
  using L = ControllerStatusLayout;
  const ControllerStatusSnapshot status = m_host_comm_protocol->GetControllerStatus();
  const bool fresh = status.time_ms != 0 && kestal::NowMs() - status.time_ms < kStatusStaleMs;
  uint32_t s = fresh ? kestal::LoadU32(status.record + L::kScannerState) : kInvalidState;
  uint32_t a = fresh ? kestal::LoadU32(status.record + L::kArmState) : kInvalidState;
  if (s > kInvalidState) s = kInvalidState;
  if (a > kInvalidState) a = kInvalidState;
  CallApp("ScanerStatusCallBack", m_scaner_status, static_cast<unsigned short>(s));
  CallApp("ArmStatusCallBack", m_arm_status, static_cast<unsigned short>(a));
  if (!fresh) return;  // no status line without a recent status
  StatusLineText line;
  if (m_log.Function()) {
    FormatStatusLine(kStatusGbk, status.record, s, a, line);
    CallApp<LogCallBack, const char*>("LogCallBack", m_log, line);
  }
  if (m_status_line_utf8.Function()) {
    FormatStatusLine(kStatusUtf8, status.record, s, a, line);
    CallApp<kestal_text_fn, const char*>("StatusLineUtf8CallBack", m_status_line_utf8, line);
  }
}

int Impl::SetSettings(const HostCommSettings& settings) {
  return m_host_comm_protocol->SetSettings(settings);
}

int Impl::SetDeviceEndpoint(bool alt, const std::string& host, uint32_t port) {
  return m_host_comm_protocol->SetDeviceEndpoint(alt, host, port);
}

int Impl::SetStoragePaths(std::vector<std::string> paths) {
  return m_host_comm_protocol->SetStoragePaths(std::move(paths));
}

HostCommSettings Impl::Settings() const { return m_host_comm_protocol->Settings(); }

std::string Impl::LinkHealthLine() const { return m_host_comm_protocol->Health().Line(); }

namespace kestal {

HostCommSettings GetServiceSettings() {
  return Impl::Of(KestalHostCommService::GetInstance()).Settings();
}

int SetServiceSettings(const HostCommSettings& settings) {
  return Impl::Of(KestalHostCommService::GetInstance()).SetSettings(settings);
}

std::string GetLinkHealthLine() {
  return Impl::Of(KestalHostCommService::GetInstance()).LinkHealthLine();
}

void DealReplayedFrame(uint8_t* frame, uint32_t length) {
  HostCommProtocolImpl& engine = Impl::Of(KestalHostCommService::GetInstance()).Engine();
  FrameStreamParser::DeliverMessage(
      frame, length, [&engine](uint16_t type, const uint8_t* data, uint32_t len) {
        engine.DealMsg(type, data, len);
      });
  engine.DeliverWaiting();
}

}  // namespace kestal
