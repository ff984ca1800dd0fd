// One run of the library for the command-line tool: starts a service on the chosen transport,
// collects what the callbacks deliver into queues the commands wait on, and stops. The service is
// the process-wide one, or one the session owns (another device watched beside the first).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kestal/KestalHostCommService.h"
#include "service/KestalHostCommServiceImpl.h"

struct CliOptions {
  std::string transport = "network";  // network, network-alt, storage
  std::string host;                   // empty: the library's default for the transport
  uint32_t port = 0;                  // 0: the library's default
  std::string disk;                   // storage: image file or block device; empty: discovery
  int connect_timeout_ms = 5000;
  std::string capture;  // capture file of the link; empty: none (unless KESTAL_CAPTURE names one)
};

struct CliMessage {
  uint16_t type;
  std::vector<uint8_t> payload;
};

class CliSession {
 public:
  using ServiceImpl = KestalHostCommService::Impl;

  // Drives `own` when given, else the process-wide service. An owned service has no arm link: the
  // process-wide one may hold its port.
  explicit CliSession(const CliOptions& options, std::unique_ptr<ServiceImpl> own = nullptr);
  ~CliSession();

  // Hands the options' device address, disks and capture file to the process-wide service for its
  // next start. 0, or -1 with `error` set when the library refuses the address (a bad argument).
  static int ApplySettings(const CliOptions& options, std::string& error);
  // Starts the library and waits for "Connected OK". 0, or -1 with `error` set: the library's
  // reason, or the system's when a disk named by --disk cannot be opened.
  int Connect(std::string& error);
  void Disconnect();

  // Next message from the device matching `pred`, waiting up to `timeout`; false on timeout.
  bool WaitMessage(const std::function<bool(const CliMessage&)>& pred,
                   std::chrono::milliseconds timeout, CliMessage& out);
  // Drains and returns everything queued so far (events and status lines as text).
  std::vector<std::string> TakeEvents();
  std::vector<CliMessage> TakeMessages();

  // Sees every message first, on the library's receive thread; a message it returns true for is not
  // queued. Set before Connect; it must return promptly.
  using MessageTap = std::function<bool(uint16_t type, const uint8_t* data, uint32_t len)>;
  void SetMessageTap(MessageTap tap) { m_tap = std::move(tap); }

  // Sees every device event, on the thread that reports it, before it is queued as text. Set before
  // Connect; it must return promptly and never call Start or Stop.
  using EventTap = std::function<void(HostCommDeviceEvent event, const char* text)>;
  void SetEventTap(EventTap tap) { m_event_tap = std::move(tap); }
  // The scan head's and the arm's state codes as the library last reported them (7: invalid, no
  // controller status for 3 s); -1 before its first report.
  int ScannerState() const { return m_scanner_state; }
  int ArmState() const { return m_arm_state; }

  ServiceImpl& Service() { return m_service; }
  std::string Endpoint() const;

 private:
  static int ApplySettings(ServiceImpl& service, const CliOptions& options, std::string& error);
  // A network transport's device address: the options' host and port over the service's own.
  static std::pair<std::string, uint32_t> NetworkAddress(const ServiceImpl& service,
                                                         const CliOptions& options, bool alt);
  // Why the storage device could not be opened: the system's error for the disk --disk names, else
  // `library_reason`.
  std::string DiskError(const std::string& library_reason) const;
  static void OnEvent(HostCommDeviceEvent event, const char* text, void* user);
  static void OnRecv(unsigned short type, unsigned char* data, unsigned int len, void* user);
  static void OnLog(const char* line, void* user);
  static void OnScannerState(unsigned short state, void* user);
  static void OnArmState(unsigned short state, void* user);

  CliOptions m_options;
  MessageTap m_tap;
  EventTap m_event_tap;
  std::atomic<int> m_scanner_state{-1}, m_arm_state{-1};
  std::unique_ptr<ServiceImpl> m_own;  // before m_service, which refers to it when given
  ServiceImpl& m_service;
  bool m_started = false;
  std::mutex m_mutex;
  std::condition_variable m_signal;
  std::deque<CliMessage> m_messages;
  std::vector<std::string> m_events;
  bool m_connected = false;
  int m_connect_errors = 0;
};
