// What a host application sees: registers all five callbacks of the service singleton while it
// lives (one at a time: the service has one slot per callback) and records every call. The
// callbacks run on library threads; every accessor may be called from any thread and returns a
// copy.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kestal/KestalHostCommService.h"

struct AppMessage {
  uint16_t type = 0;
  std::vector<uint8_t> payload;
  std::string thread;  // the name of the library's thread that delivered it
};
struct AppEvent {
  HostCommDeviceEvent event;
  std::string text;
};

class AppCallbacks {
 public:
  using Match = std::function<bool(const std::vector<uint8_t>& payload)>;

  AppCallbacks() { Register(this); }
  ~AppCallbacks() { Register(nullptr); }

  std::vector<AppEvent> Events() const { return Copy(m_events); }
  int CountEvents(HostCommDeviceEvent event) const;
  // Messages of `type` (all types when negative), in the order they were delivered.
  std::vector<AppMessage> Messages(int type = -1) const;
  std::vector<unsigned short> ScannerStates() const { return Copy(m_scanner_states); }
  std::vector<unsigned short> ArmStates() const { return Copy(m_arm_states); }
  std::vector<std::string> StatusLines() const { return Copy(m_status_lines); }
  // False when a callback was called with user data other than this object.
  bool UserDataSeenRight() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_wrong_user_data;
  }
  void Clear();
  // Each message callback returns only after `delay`: a slow application.
  void DelayMessages(std::chrono::milliseconds delay) {
    m_message_delay_ms = static_cast<int>(delay.count());
  }
  // Runs `hook` in every callback once it was recorded, on the library's thread (none: nullptr).
  void SetHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hook = std::move(hook);
  }
  // Runs `hook` with the type of every message once it was recorded, on the library's thread.
  void SetMessageHook(std::function<void(uint16_t type)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_message_hook = std::move(hook);
  }

  bool WaitForEvent(HostCommDeviceEvent event, int times, std::chrono::milliseconds timeout) const;
  // Waits for a message of `type` whose payload `match` accepts (any, without `match`); copies the
  // first to `out`.
  bool WaitForMessage(uint16_t type, const Match& match, std::chrono::milliseconds timeout,
                      AppMessage* out = nullptr) const;
  bool WaitForMessages(uint16_t type, size_t count, std::chrono::milliseconds timeout) const;

 private:
  // Registers all five callbacks with `self` as their user data, or unregisters them (nullptr).
  static void Register(AppCallbacks* self);
  static void OnEvent(HostCommDeviceEvent event, const char* text, void* user_data);
  static void OnMessage(unsigned short type, unsigned char* data, unsigned int len,
                        void* user_data);
  static void OnScanner(unsigned short state, void* user_data);
  static void OnArm(unsigned short state, void* user_data);
  static void OnStatusLine(const char* text, void* user_data);
  // Runs `record` on the live recorder under its lock; notes user data that is not it.
  template <typename Record>
  static void Note(void* user_data, Record record);
  template <typename T>
  std::vector<T> Copy(const std::vector<T>& list) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return list;
  }

  mutable std::mutex m_mutex;
  std::vector<AppEvent> m_events;
  std::vector<AppMessage> m_messages;
  std::vector<unsigned short> m_scanner_states, m_arm_states;
  std::vector<std::string> m_status_lines;
  bool m_wrong_user_data = false;
  std::function<void()> m_hook;
  std::function<void(uint16_t)> m_message_hook;
  std::atomic<int> m_message_delay_ms{0};
};

// Order ACKs carry the order's sequence number in their first two bytes.
AppCallbacks::Match AckOf(uint16_t seq_no);

// What a callback saw, under a lock: it runs on a library thread.
template <typename T>
struct Seen {
  std::mutex mutex;
  std::vector<T> items;
  void Add(T item) {
    std::lock_guard<std::mutex> lock(mutex);
    items.push_back(std::move(item));
  }
  std::vector<T> Copy() {
    std::lock_guard<std::mutex> lock(mutex);
    return items;
  }
};
