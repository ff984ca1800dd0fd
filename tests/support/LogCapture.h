// Captures the library's log lines while it lives, so tests can check exact texts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/Log.h"

struct CapturedLine {
  kestal::LogLevel level;
  std::string function, message;
  std::chrono::steady_clock::time_point when;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture() { kestal::Log::SetTap(nullptr); }

  std::vector<CapturedLine> Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  std::vector<std::string> Messages() const { return MessagesStartingWith(""); }
  // Messages that start with `prefix`, in order.
  std::vector<std::string> MessagesStartingWith(const std::string& prefix) const;
  int Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return CountLocked(text);
  }
  bool Contains(const std::string& message) const { return Count(message) > 0; }
  // Waits until `message` has been written at least `times` times.
  bool WaitFor(const std::string& message, std::chrono::milliseconds timeout, int times = 1) const;
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
  }

 private:
  int CountLocked(const std::string& message) const;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_signal;
  std::vector<CapturedLine> m_lines;
};
