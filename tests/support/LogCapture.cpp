#include "LogCapture.h"

LogCapture::LogCapture() {
  kestal::Log::Init();
  kestal::Log::SetTap(
      [this](kestal::LogLevel level, const std::string& function, const std::string& message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({level, function, message, std::chrono::steady_clock::now()});
        m_signal.notify_all();
      });
}

std::vector<std::string> LogCapture::MessagesStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const CapturedLine& line : Lines())
    if (line.message.compare(0, prefix.size(), prefix) == 0) out.push_back(line.message);
  return out;
}

int LogCapture::CountLocked(const std::string& message) const {
  int n = 0;
  for (const CapturedLine& line : m_lines) n += line.message == message;
  return n;
}

bool LogCapture::WaitFor(const std::string& message, std::chrono::milliseconds timeout,
                         int times) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_signal.wait_for(lock, timeout, [&] { return CountLocked(message) >= times; });
}
