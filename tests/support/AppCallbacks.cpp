#include "AppCallbacks.h"

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

AppCallbacks* AppCallbacks::Self(void* user_data) {
  // A callback must pass back exactly what was registered with it.
  if (user_data != g_live && g_live) {
    std::lock_guard<std::mutex> lock(g_live->m_mutex);
    g_live->m_wrong_user_data = true;
  }
  return g_live;
}

void AppCallbacks::OnEvent(HostCommDeviceEvent event, const char* text, void* user_data) {
  if (AppCallbacks* self = Self(user_data)) {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_events.push_back({event, text ? text : "(null)"});
  }
}

void AppCallbacks::OnMessage(unsigned short type, unsigned char* data, unsigned int len, void* user_data) {
  if (AppCallbacks* self = Self(user_data)) {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_messages.push_back({type, std::vector<uint8_t>(data, data + len)});
  }
}

void AppCallbacks::OnScanner(unsigned short state, void* user_data) {
  if (AppCallbacks* self = Self(user_data)) {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_scanner_states.push_back(state);
  }
}

void AppCallbacks::OnArm(unsigned short state, void* user_data) {
  if (AppCallbacks* self = Self(user_data)) {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_arm_states.push_back(state);
  }
}

void AppCallbacks::OnStatusLine(const char* text, void* user_data) {
  if (AppCallbacks* self = Self(user_data)) {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_status_lines.emplace_back(text ? text : "(null)");
  }
}

std::vector<AppEvent> AppCallbacks::Events() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events;
}

int AppCallbacks::CountEvents(HostCommDeviceEvent event) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  int n = 0;
  for (const AppEvent& e : m_events) n += e.event == event;
  return n;
}

std::vector<AppMessage> AppCallbacks::Messages(int type) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<AppMessage> out;
  for (const AppMessage& m : m_messages)
    if (type < 0 || m.type == type) out.push_back(m);
  return out;
}

std::vector<unsigned short> AppCallbacks::ScannerStates() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_scanner_states;
}

std::vector<unsigned short> AppCallbacks::ArmStates() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_arm_states;
}

std::vector<std::string> AppCallbacks::StatusLines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_status_lines;
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
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const AppMessage& m : m_messages) n += m.type == type;
        return n >= count;
      },
      timeout);
}

AppCallbacks::Match AckOf(uint16_t seq_no) {
  return [seq_no](const std::vector<uint8_t>& p) { return p.size() >= 4 && kestal::LoadU16(p.data()) == seq_no; };
}
