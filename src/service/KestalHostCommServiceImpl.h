// The service's implementation: the application's callbacks, the comm type, the engine and the
// arm link it owns, the reconnect flag and the lifecycle (start/stop lock and workers). The
// exported class forwards every call here, so its layout is one pointer.
//
// The service makes one Impl and never destroys it, nor the engine and the arm link: a host that
// returns from main without Stop leaves workers that process exit may kill while they use them.
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

#include "common/CallbackSlot.h"
#include "common/HostCommSettings.h"
#include "common/Mutex.h"
#include "kestal/KestalHostCommService.h"
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
  // `service` is the exported object that this implements; the engine's receive callback goes
  // through it.
  explicit Impl(KestalHostCommService& service);
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

  // Beside the exported callbacks, for the C interface: device events with the reason of a failure
  // event ("" for none), and the status line as UTF-8.
  using EventDetailCallBack = void (*)(HostCommDeviceEvent event, const char* text,
                                       const char* detail, void* user_data);
  void SetEventDetailCallBack(EventDetailCallBack callback, void* user_data);
  void SetStatusLineUtf8CallBack(LogCallBack callback, void* user_data);
  // Every complete image frame, through the callback gate, on the receive thread.
  using FrameCallBack = void (*)(const ImageFrame& frame, void* user_data);
  void SetFrameCallBack(FrameCallBack callback, void* user_data);
  // Keeps `reason` as the last failure, for LastFailure and (`for_event`) the next failure event.
  void NoteFailure(const std::string& reason, bool for_event = true) EXCLUDES(m_failure_mutex);
  // The reason of the last failure that the engine, a transport or a request reported ("" for
  // none); any thread.
  std::string LastFailure() const EXCLUDES(m_failure_mutex);
  // The last failure reported on the calling thread ("" for none).
  static std::string ThreadFailure();

  // Settings of the next Start (device endpoints, disks, capture); 0, or -1 (nothing changed) for
  // one that cannot name a device. Never waits for the start/stop lock, so any callback may call
  // it.
  int SetSettings(const HostCommSettings& settings);
  int SetDeviceEndpoint(bool alt, const std::string& host, uint32_t port);
  int SetStoragePaths(std::vector<std::string> paths);
  HostCommSettings Settings() const;
  // Copies of what the session counts and what the lifecycle holds.
  std::string LinkHealthLine() const;
  bool NeedReconnect() const { return m_need_reconnect.load(); }
  bool WorkersRunning() const { return m_lifecycle.WorkersRunning(); }
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
  static void DeliverFrame(const ImageFrame& frame, void* impl);
  std::string TakeFailureDetail(HostCommDeviceEvent event) EXCLUDES(m_failure_mutex);

  std::atomic<HostCommDeviceType> m_comm_type{HostCommDeviceStorage};
  kestal::CallbackSlot<DeviceEventCallBack> m_device_event;
  kestal::CallbackSlot<LogCallBack> m_log;
  kestal::CallbackSlot<RecvHostCommMsgCallBack> m_recv_host_comm_msg;
  kestal::CallbackSlot<StatusCallBack> m_scaner_status;
  kestal::CallbackSlot<StatusCallBack> m_arm_status;
  kestal::CallbackSlot<EventDetailCallBack> m_event_detail;
  kestal::CallbackSlot<FrameCallBack> m_frame;
  kestal::CallbackSlot<LogCallBack> m_status_line_utf8;
  mutable kestal::Mutex m_failure_mutex;
  std::string m_last_failure GUARDED_BY(m_failure_mutex);
  bool m_failure_pending GUARDED_BY(m_failure_mutex) = false;  // no failure event took it yet
  HostCommProtocolImpl* m_host_comm_protocol;                  // owned, never destroyed
  ArmCommViaNetwork* m_arm_comm;                               // owned, never destroyed
  std::atomic<bool> m_need_reconnect{false};
  std::atomic<bool> m_stop_workers{false};
  ServiceLifecycle m_lifecycle;
};
