#include "LogCapture.h"

LogCapture::LogCapture() {
  kestal::Log::Init();
  kestal::Log::SetTap([this](kestal::LogLevel level, const std::string& function, const std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({level, function, message, std::chrono::steady_clock::now()});
    m_signal.notify_all();
  });
}

LogCapture::~LogCapture() { kestal::Log::SetTap(nullptr); }

std::vector<CapturedLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

std::vector<std::string> LogCapture::Messages() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> out;
  for (const auto& line : m_lines) out.push_back(line.message);
  return out;
}

std::vector<std::string> LogCapture::MessagesStartingWith(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> out;
  for (const auto& line : m_lines)
    if (line.message.compare(0, prefix.size(), prefix) == 0) out.push_back(line.message);
  return out;
}

int LogCapture::Count(const std::string& message) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  int n = 0;
  for (const auto& line : m_lines) n += line.message == message;
  return n;
}

bool LogCapture::WaitFor(const std::string& message, std::chrono::milliseconds timeout, int times) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_signal.wait_for(lock, timeout, [&] {
    int n = 0;
    for (const auto& line : m_lines) n += line.message == message;
    return n >= times;
  });
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
}
