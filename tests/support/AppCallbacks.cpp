#include "AppCallbacks.h"

#include <thread>

#include "TestWait.h"
#include "common/LittleEndian.h"

namespace {
AppCallbacks* g_live = nullptr;  // the one registered recorder
}

AppCallbacks::AppCallbacks() {
  g_live = this;
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  service.SetDeviceEventCallBack(&OnEvent, this);
  service.SetRecvHostCommMsgCallBack(&OnMessage, this);
  service.SetScanerStatusCallBack(&OnScanner, this);
  service.SetArmStatusCallBack(&OnArm, this);
  service.SetLogCallBack(&OnStatusLine, this);
}

AppCallbacks::~AppCallbacks() {
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  service.SetDeviceEventCallBack(nullptr, nullptr);
  service.SetRecvHostCommMsgCallBack(nullptr, nullptr);
  service.SetScanerStatusCallBack(nullptr, nullptr);
  service.SetArmStatusCallBack(nullptr, nullptr);
  service.SetLogCallBack(nullptr, nullptr);
  g_live = nullptr;
}

template <typename Record>
void AppCallbacks::Note(void* user_data, Record record) {
  AppCallbacks* self = g_live;
  if (!self) return;
  std::lock_guard<std::mutex> lock(self->m_mutex);
  self->m_wrong_user_data |= user_data != self;  // a callback must pass back what was registered
  record(*self);
}

void AppCallbacks::OnEvent(HostCommDeviceEvent event, const char* text, void* user_data) {
  Note(user_data, [&](AppCallbacks& a) { a.m_events.push_back({event, text ? text : "(null)"}); });
}
void AppCallbacks::OnMessage(unsigned short type, unsigned char* data, unsigned int len, void* user_data) {
  int delay_ms = 0;
  Note(user_data, [&](AppCallbacks& a) {
    a.m_messages.push_back({type, std::vector<uint8_t>(data, data + len)});
    delay_ms = a.m_message_delay_ms;
  });
  if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
}
void AppCallbacks::OnScanner(unsigned short state, void* user_data) {
  Note(user_data, [&](AppCallbacks& a) { a.m_scanner_states.push_back(state); });
}
void AppCallbacks::OnArm(unsigned short state, void* user_data) {
  Note(user_data, [&](AppCallbacks& a) { a.m_arm_states.push_back(state); });
}
void AppCallbacks::OnStatusLine(const char* text, void* user_data) {
  Note(user_data, [&](AppCallbacks& a) { a.m_status_lines.emplace_back(text ? text : "(null)"); });
}

template <typename T>
std::vector<T> AppCallbacks::Copy(const std::vector<T>& list) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return list;
}
std::vector<AppEvent> AppCallbacks::Events() const { return Copy(m_events); }
std::vector<unsigned short> AppCallbacks::ScannerStates() const { return Copy(m_scanner_states); }
std::vector<unsigned short> AppCallbacks::ArmStates() const { return Copy(m_arm_states); }
std::vector<std::string> AppCallbacks::StatusLines() const { return Copy(m_status_lines); }

int AppCallbacks::CountEvents(HostCommDeviceEvent event) const {
  int n = 0;
  for (const AppEvent& e : Events()) n += e.event == event;
  return n;
}

std::vector<AppMessage> AppCallbacks::Messages(int type) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<AppMessage> out;
  for (const AppMessage& m : m_messages)
    if (type < 0 || m.type == type) out.push_back(m);
  return out;
}

bool AppCallbacks::UserDataSeenRight() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return !m_wrong_user_data;
}

void AppCallbacks::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_events.clear();
  m_messages.clear();
  m_scanner_states.clear();
  m_arm_states.clear();
  m_status_lines.clear();
}

bool AppCallbacks::WaitForEvent(HostCommDeviceEvent event, int times, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return CountEvents(event) >= times; }, timeout);
}

bool AppCallbacks::WaitForMessage(uint16_t type, const Match& match, std::chrono::milliseconds timeout,
                                  AppMessage* out) const {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const AppMessage& m : m_messages)
          if (m.type == type && (!match || match(m.payload))) {
            if (out) *out = m;
            return true;
          }
        return false;
      },
      timeout);
}

bool AppCallbacks::WaitForMessages(uint16_t type, size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return Messages(type).size() >= count; }, timeout);
}

AppCallbacks::Match AckOf(uint16_t seq_no) {
  return [seq_no](const std::vector<uint8_t>& p) { return p.size() >= 4 && kestal::LoadU16(p.data()) == seq_no; };
}
