// One service: everything a running link needs is here: the application's callbacks (those the
// exported class registers and those of the C interface, one slot each), the comm type, the
// engine and the arm link it owns and wires together, the callback gate, the message sequence
// counter, the failure reasons, the reconnect flag and the lifecycle (start/stop lock and
// workers). The exported class forwards every call to the process-wide one, so its layout is one
// pointer; others may be made and destroyed at will. Nothing big is allocated before Start.
//
// The exported class makes one Impl and never destroys it: a host that returns from main without
// Stop leaves workers that process exit may kill while they use it. Another Impl stops itself when
// destroyed; it must not be destroyed from one of its own callbacks.
//
// Thread safety: as the exported class. Start and Stop come from one application thread at a
// time; the setters, SendHostCommMsg, SendUpdateFirmware, ReportStatus and GetMsgSeqNo from any
// thread; the reconnect and log-report workers are its own. The callbacks and flags are atomics;
// engine starts and stops hold the lifecycle's start/stop lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <memory>

#include "common/CallbackGate.h"
#include "common/CallbackSlot.h"
#include "common/HostCommSettings.h"
#include "common/Log.h"
#include "common/Mutex.h"
#include "kestal/KestalHostCommService.h"
#include "kestal/kestal_c.h"
#include "service/AppCallback.h"
#include "service/ServiceLifecycle.h"

class ArmCommViaNetwork;
class HostCommProtocolImpl;
struct ImageFrame;

// Never exported, although the class it implements is.
#if defined(_WIN32)
#define KESTAL_INTERNAL
#else
#define KESTAL_INTERNAL __attribute__((visibility("hidden")))
#endif

class KESTAL_INTERNAL KestalHostCommService::Impl {
 public:
  Impl();
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // The implementation of a service; for the library's own C interface, tools and tests.
  static Impl& Of(KestalHostCommService& service) { return *service.m_impl; }

  // The exported operations, one for one.
  int Start();
  int Stop();
  void SetCommType(HostCommDeviceType type);
  void SetDeviceEventCallBack(DeviceEventCallBack callback, void* user_data);
  void SetLogCallBack(LogCallBack callback, void* user_data);
  void SetRecvHostCommMsgCallBack(RecvHostCommMsgCallBack callback, void* user_data);
  void SetScanerStatusCallBack(StatusCallBack callback, void* user_data);
  void SetArmStatusCallBack(StatusCallBack callback, void* user_data);
  int SendHostCommMsg(unsigned short type, unsigned char* data, unsigned int len);
  int SendUpdateFirmware(unsigned short type, unsigned char* data, unsigned int len);
  void RecvHostCommMsg(unsigned short type, unsigned char* data, unsigned int len);
  void ReportStatus(unsigned int status, const char* text);
  unsigned short GetMsgSeqNo();
  void PrintVolumeRunInfo();
  // The process exits without Stop: flags only (see the definition).
  void Shut();

  // The C interface's callbacks. Where the class has the same callback, the two share its slot:
  // the last one registered, through either, is the one called. Device events with the reason
  // of a failure event ("" for none), the status line as UTF-8 and the frames are the C
  // interface's alone.
  void SetEventFn(kestal_event_fn callback, void* user_data);
  void SetMessageFn(kestal_message_fn callback, void* user_data);
  // (The state and status-line callbacks have the class's types: the class's setters serve.)
  void SetStatusLineUtf8Fn(kestal_text_fn callback, void* user_data);
  void SetEventDetailFn(kestal_event_detail_fn callback, void* user_data);
  // Every complete image frame, through the callback gate, on the receive thread.
  void SetFrameFn(kestal_frame_fn callback, void* user_data);
  // Keeps `reason` as the last failure, for LastFailure and (`for_event`) the next failure event.
  void NoteFailure(const std::string& reason, bool for_event = true) EXCLUDES(m_failure_mutex);
  // The reason of the last failure that the engine, a transport or a request reported ("" for
  // none); any thread.
  std::string LastFailure() const EXCLUDES(m_failure_mutex);
  // The last failure of this service reported on the calling thread ("" for none).
  std::string ThreadFailure() const;

  // Settings of the next Start (device endpoints, disks, capture); 0, or -1 (nothing changed) for
  // one that cannot name a device. Never waits for the start/stop lock, so any callback may call
  // it.
  int SetSettings(const HostCommSettings& settings);
  int SetDeviceEndpoint(bool alt, const std::string& host, uint32_t port);
  int SetStoragePaths(std::vector<std::string> paths);
  HostCommSettings Settings() const;
  // Gives the service a log file of its own at `path` (the process's file otherwise); before
  // the first Start. Start, Stop and the workers they start write to it; a caller that wants
  // its other calls' lines there too holds a Log::Scope of LogFile() around them.
  void SetLogFile(const std::string& path);
  kestal::LogFile* LogFile() const { return m_log_file.get(); }
  // Copies of what the session counts and what the lifecycle holds.
  std::string LinkHealthLine() const;
  bool NeedReconnect() const { return m_need_reconnect.load(); }
  // True before the first Start and from a Stop until the next Start; any thread.
  bool Stopped() const { return m_stopped.load(); }
  bool WorkersRunning() const { return m_lifecycle.WorkersRunning(); }
  // True on a thread inside one of this service's callbacks (its Start and Stop refuse).
  bool InOwnCallback() const { return m_gate.InOwnCallback(); }
  // No callback of this service runs, not even one a stop gave up: the object may go.
  bool Quiet() const { return !m_gate.Busy(); }
  // The engine, for the library's own tests that drive it below the service.
  HostCommProtocolImpl& Engine() { return *m_host_comm_protocol; }

 private:
  class StartStopLock;

  void LoopReconnect();
  void LoopLogReport();
  // One pass of LoopLogReport: the states and the status line from the last controller status.
  void ReportStates();
  // Waits one second in 100 ms steps; false when the workers are told to stop.
  bool WaitOneSecond();
  void StopEngine() REQUIRES(m_lifecycle);
  void JoinWorkers();
  // Closes the callback gate and gives up the callbacks still running after the grace time; the
  // caller opens the gate again.
  void GiveUpCallbacks();
  // Start and Stop from inside a callback: -1, with the reason logged and kept.
  int RefuseInCallback(const char* function, const char* operation);
  void StartCapture();
  // Calls the device-event callback (the lock holder's events wait until it unlocks).
  void DeliverEvent(HostCommDeviceEvent event, const std::string& detail);
  // The engine's receive and frame callbacks (`impl` is this), on its receive worker.
  static void DeliverMessage(unsigned short type, unsigned char* data, unsigned int len,
                             void* impl);
  static void DeliverFrame(const ImageFrame& frame, void* impl);
  // Calls the application's callback `name` in `slot`, if any, through this service's gate.
  template <typename Fn, typename... Args>
  void CallApp(const char* name, const kestal::CallbackSlot<Fn>& slot, Args... args);
  std::string TakeFailureDetail(HostCommDeviceEvent event) EXCLUDES(m_failure_mutex);
  uint16_t NextMsgSeqNo();

  std::shared_ptr<kestal::LogFile> m_log_file;  // null: the process's; workers hold it too
  std::atomic<HostCommDeviceType> m_comm_type{HostCommDeviceStorage};
  // Declared before the engine and the arm link, whose workers call through them.
  kestal::CallbackGate m_gate;
  AppCallback<DeviceEventCallBack, kestal_event_fn> m_device_event;
  AppCallback<RecvHostCommMsgCallBack, kestal_message_fn> m_recv_host_comm_msg;
  // The class's and the C interface's types of these are the same.
  kestal::CallbackSlot<LogCallBack> m_log;
  kestal::CallbackSlot<StatusCallBack> m_scaner_status;
  kestal::CallbackSlot<StatusCallBack> m_arm_status;
  kestal::CallbackSlot<kestal_event_detail_fn> m_event_detail;
  kestal::CallbackSlot<kestal_frame_fn> m_frame;
  kestal::CallbackSlot<kestal_text_fn> m_status_line_utf8;
  mutable kestal::Mutex m_failure_mutex;
  std::string m_last_failure GUARDED_BY(m_failure_mutex);
  bool m_failure_pending GUARDED_BY(m_failure_mutex) = false;  // no failure event took it yet
  // The service's message sequence counter: the application's orders, the heartbeats, the
  // comm-type orders and the firmware files all draw their numbers from it.
  std::atomic<uint16_t> m_msg_seq_no{0};
  std::unique_ptr<ArmCommViaNetwork> m_arm_comm;
  std::unique_ptr<HostCommProtocolImpl> m_host_comm_protocol;  // relays arm messages to m_arm_comm
  std::atomic<bool> m_need_reconnect{false};
  std::atomic<bool> m_log_writer{false};  // this service counts as one of the log's writers
  std::atomic<bool> m_stop_workers{false};
  std::atomic<bool> m_stopped{true};  // see Stopped()
  ServiceLifecycle m_lifecycle;
};
