#include "AppCallbacks.h"

#include <algorithm>
#include <thread>

#include "TestWait.h"
#include "common/LittleEndian.h"
#include "common/ThreadName.h"

static AppCallbacks* g_live = nullptr;  // the one registered recorder

void AppCallbacks::Register(AppCallbacks* self) {
  g_live = self;
  KestalHostCommService& service = KestalHostCommService::GetInstance();
  service.SetDeviceEventCallBack(self ? &OnEvent : nullptr, self);
  service.SetRecvHostCommMsgCallBack(self ? &OnMessage : nullptr, self);
  service.SetScanerStatusCallBack(self ? &OnScanner : nullptr, self);
  service.SetArmStatusCallBack(self ? &OnArm : nullptr, self);
  service.SetLogCallBack(self ? &OnStatusLine : nullptr, self);
}

template <typename Record>
void AppCallbacks::Note(void* user_data, Record record) {
  AppCallbacks* self = g_live;
  if (!self) return;
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_wrong_user_data |= user_data != self;  // a callback must pass back what was registered
    record(*self);
    hook = self->m_hook;
  }
  if (hook) hook();
}

void AppCallbacks::OnEvent(HostCommDeviceEvent event, const char* text, void* user_data) {
  Note(user_data, [&](AppCallbacks& a) { a.m_events.push_back({event, text ? text : "(null)"}); });
}
void AppCallbacks::OnMessage(unsigned short type, unsigned char* data, unsigned int len,
                             void* user_data) {
  int delay_ms = 0;
  std::function<void(uint16_t)> hook;
  Note(user_data, [&](AppCallbacks& a) {
    a.m_messages.push_back(
        {type, std::vector<uint8_t>(data, data + len), kestal::ThisThreadName()}),
        delay_ms = a.m_message_delay_ms, hook = a.m_message_hook;
  });
  if (hook) hook(type);
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

int AppCallbacks::CountEvents(HostCommDeviceEvent event) const {
  int n = 0;
  for (const AppEvent& e : Events()) n += e.event == event;
  return n;
}

std::vector<AppMessage> AppCallbacks::Messages(int type) const {
  std::vector<AppMessage> out = Copy(m_messages);
  out.erase(std::remove_if(out.begin(), out.end(),
                           [&](const AppMessage& m) { return type >= 0 && m.type != type; }),
            out.end());
  return out;
}

void AppCallbacks::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_events.clear(), m_messages.clear(), m_scanner_states.clear(), m_arm_states.clear(),
      m_status_lines.clear();
}

bool AppCallbacks::WaitForEvent(HostCommDeviceEvent event, int times,
                                std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return CountEvents(event) >= times; }, timeout);
}

bool AppCallbacks::WaitForMessage(uint16_t type, const Match& match,
                                  std::chrono::milliseconds timeout, AppMessage* out) const {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const AppMessage& m : m_messages) {
          if (m.type != type || (match && !match(m.payload))) continue;
          if (out) *out = m;
          return true;
        }
        return false;
      },
      timeout);
}

bool AppCallbacks::WaitForMessages(uint16_t type, size_t count,
                                   std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return Messages(type).size() >= count; }, timeout);
}

AppCallbacks::Match AckOf(uint16_t seq_no) {
  return [seq_no](const std::vector<uint8_t>& p) {
    return p.size() >= 4 && kestal::LoadU16(p.data()) == seq_no;
  };
}
