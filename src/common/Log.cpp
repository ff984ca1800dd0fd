#include "common/Log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/details/log_msg.h>

#include "common/Mutex.h"

namespace kestal {
namespace {

constexpr const char* kLogFileName = "LogKestalHostCommService.txt";
constexpr std::size_t kMaxFileSize = 64u * 1024 * 1024;
constexpr const char* kRolledFileName =
    "LogKestalHostCommService.1.txt";  // the one rolled-over file
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %* [%t] [%!@%#] %v";

// The log file, appended to; past kMaxFileSize it becomes the rolled-over file and a new one is
// begun. Writes whole buffers of formatted lines, so no line is ever split between the two.
class RollingFile {
 public:
  void Write(const char* data, std::size_t n) {
    if (!m_file && !Open("ab")) return;
    if (m_size + n > kMaxFileSize && m_size > 0) {
      std::fclose(m_file);
      m_file = nullptr;
      std::remove(kRolledFileName);
      std::rename(kLogFileName, kRolledFileName);
      if (!Open("wb")) return;
    }
    m_size += std::fwrite(data, 1, n, m_file);
  }
  void Flush() {
    if (m_file) std::fflush(m_file);
  }

 private:
  bool Open(const char* mode) {
    m_file = std::fopen(kLogFileName, mode);
    if (!m_file) return false;
    std::fseek(m_file, 0, SEEK_END);
    const long size = std::ftell(m_file);
    m_size = size > 0 ? static_cast<std::size_t>(size) : 0;
    return true;
  }

  std::FILE* m_file = nullptr;  // opened by the first write, so an unused log leaves no empty file
  std::size_t m_size = 0;
};

// "DEBUG" / "ERROR" in the severity column.
class UpperLevelFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    const char* text = msg.level == spdlog::level::err ? "ERROR" : "DEBUG";
    dest.append(text, text + 5);
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<UpperLevelFlag>();
  }
};

// 0 while no logger exists; otherwise the lowest admitted LogLevel.
std::atomic<int> g_min_level{0};
std::once_flag g_init_once;
std::atomic<bool> g_has_tap{false};
std::atomic<int> g_writers{0};  // services whose log-report worker writes the log

// Lines are formatted on the thread that writes them into `active`; the file is written by
// WriteOut, which the service's log writer runs when half of `active` is taken and its report
// worker once a second. A line that finds `active` full is written out by its own thread
// first, so nothing is lost; an error line is written out and flushed at once.
//
// Made once and never destroyed: an application that returns from main without Stop leaves
// library workers running while the process's static objects are destroyed, and their last
// lines must find a log, not the remains of one.
struct LogState {
  kestal::Mutex file_mutex;                          // taken before `mutex`
  std::vector<char> pending GUARDED_BY(file_mutex);  // swapped with `active` by WriteOut
  RollingFile file GUARDED_BY(file_mutex);

  kestal::Mutex mutex;
  std::unique_ptr<spdlog::formatter> formatter GUARDED_BY(mutex);
  spdlog::memory_buf_t scratch GUARDED_BY(mutex);
  std::vector<char> active
      GUARDED_BY(mutex);  // kBufferCapacity reserved by its first line: appending allocates nothing
  bool wake_sent GUARDED_BY(mutex) = false;  // the writer was told that half of `active` is taken
  kestal::CondVar wake;

  kestal::Mutex tap_mutex;
  Log::Tap tap GUARDED_BY(tap_mutex);
};
LogState& State() {
  static LogState* const state = new LogState();
  return *state;
}

constexpr std::size_t kBufferCapacity = 1u << 20;

void WriteOut(LogState& s, bool flush) {
  kestal::MutexLock file_lock(s.file_mutex);
  {
    kestal::MutexLock lock(s.mutex);
    s.active.swap(s.pending);
    s.wake_sent = false;
  }
  if (!s.pending.empty()) s.file.Write(s.pending.data(), s.pending.size());
  s.pending.clear();
  if (flush) s.file.Flush();
}

void Append(LogState& s, const spdlog::details::log_msg& msg) {
  for (int attempt = 0;; ++attempt) {
    {
      kestal::MutexLock lock(s.mutex);
      // Each of the two buffers is reserved by the first line that lands in it, not when the
      // logger is made at load: a process that loads the library and never logs pays nothing.
      if (s.active.capacity() < kBufferCapacity) s.active.reserve(kBufferCapacity);
      s.scratch.clear();
      s.formatter->format(msg, s.scratch);
      // After one write-out the line goes in even if other threads filled the buffer again.
      if (s.active.size() + s.scratch.size() <= kBufferCapacity || attempt > 0) {
        s.active.insert(s.active.end(), s.scratch.begin(), s.scratch.end());
        if (!s.wake_sent && s.active.size() >= kBufferCapacity / 2) {
          s.wake_sent = true;
          s.wake.NotifyOne();
        }
        return;
      }
    }
    WriteOut(s, false);
  }
}

}  // namespace

void Log::Init() {
  std::call_once(g_init_once, [] {
    LogState& s = State();
    kestal::MutexLock file_lock(s.file_mutex);
    kestal::MutexLock lock(s.mutex);
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<UpperLevelFlag>('*').set_pattern(kPattern);
    s.formatter = std::move(formatter);
    // Lines written after the last flush (after Stop, say) reach the file when the process exits
    // normally.
    std::atexit([] { WriteOut(State(), true); });
    g_min_level.store(static_cast<int>(LogLevel::Debug), std::memory_order_release);
  });
}

bool Log::Enabled(LogLevel level) {
  int min = g_min_level.load(std::memory_order_acquire);
  return min != 0 && static_cast<int>(level) >= min;
}

void Log::SetLevel(LogLevel level) {
  if (g_min_level.load() != 0) g_min_level.store(static_cast<int>(level));
}

void Log::Flush() {
  if (g_min_level.load(std::memory_order_acquire) != 0) WriteOut(State(), true);
}

void Log::WriteBacklog(int timeout_ms) {
  LogState& s = State();
  {  // waits even without a log, so that the writer's loop never spins
    kestal::MutexLock lock(s.mutex);
    if (!s.wake.WaitFor(lock, std::chrono::milliseconds(timeout_ms),
                        [&]() REQUIRES(s.mutex) { return s.wake_sent; }))
      return;
    if (g_min_level.load(std::memory_order_acquire) == 0)
      return void(s.wake_sent = false);  // nothing to write
  }
  WriteOut(s, false);
}

void Log::SetWriterRunning(bool running) {
  g_writers.fetch_add(running ? 1 : -1, std::memory_order_acq_rel);
}

void Log::WakeWriter() {
  LogState& s = State();
  {
    kestal::MutexLock lock(s.mutex);
    s.wake_sent = true;
  }
  s.wake.NotifyAll();
}

std::string Log::FunctionName(const char* pretty_function) {
  std::string s(pretty_function ? pretty_function : "");
  // The parameter list starts at the first '(' outside template brackets.
  int depth = 0;
  std::size_t paren = std::string::npos;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '<')
      ++depth;
    else if (c == '>')
      --depth;
    else if (c == '(' && depth == 0) {
      paren = i;
      break;
    }
  }
  if (paren == std::string::npos) return s;
  std::size_t begin = s.rfind(' ', paren);
  begin = begin == std::string::npos ? 0 : begin + 1;
  while (begin < paren && (s[begin] == '*' || s[begin] == '&')) ++begin;
  std::string name = s.substr(begin, paren - begin);
  if (name.compare(0, 8, "kestal::") == 0) name.erase(0, 8);
  if (s.find("::<lambda", paren) != std::string::npos) name += ".lambda";
  return name;
}

const char* Log::CallSiteName(const char* pretty_function) {
  const std::string name = FunctionName(pretty_function);
  char* kept = new char[name.size() + 1];  // never freed: see the header
  std::memcpy(kept, name.c_str(), name.size() + 1);
  return kept;
}

void Log::Write(LogLevel level, const char* function, int line, const char* format, ...) {
  char stack_buf[1024];
  std::vector<char> heap_buf;
  const char* text = stack_buf;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(stack_buf, sizeof stack_buf, format, args);
  va_end(args);
  if (n >= static_cast<int>(sizeof stack_buf)) {
    heap_buf.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(heap_buf.data(), heap_buf.size(), format, again);
    text = heap_buf.data();
  }
  va_end(again);
  if (n < 0) n = 0;

  const char* name = function ? function : "";
  LogState& state = State();
  if (g_min_level.load(std::memory_order_acquire) != 0) {
    const bool error = level == LogLevel::Error;
    Append(state,
           spdlog::details::log_msg(spdlog::source_loc{"", line, name}, "KestalHostComm",
                                    error ? spdlog::level::err : spdlog::level::debug,
                                    spdlog::string_view_t(text, static_cast<std::size_t>(n))));
    // Errors reach the disk at once, and every line while no writer runs.
    if (error || g_writers.load(std::memory_order_acquire) <= 0) WriteOut(state, true);
  }
  if (g_has_tap.load(std::memory_order_acquire)) {
    kestal::MutexLock lock(state.tap_mutex);
    if (state.tap) state.tap(level, name, std::string(text, static_cast<std::size_t>(n)));
  }
}

void Log::SetTap(Tap tap) {
  LogState& state = State();
  kestal::MutexLock lock(state.tap_mutex);
  state.tap = std::move(tap);
  g_has_tap.store(static_cast<bool>(state.tap), std::memory_order_release);
}

}  // namespace kestal
