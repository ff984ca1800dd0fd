#include "common/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <mutex>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/details/log_msg.h>

#include "common/FileNames.h"
#include "common/Mutex.h"

namespace kestal {
namespace {

constexpr const char* kLogFileName = "LogKestalHostCommService.txt";
constexpr std::size_t kMaxFileSize = 64u * 1024 * 1024;
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %* [%t] [%!@%#] %v";

// A log file, appended to; past kMaxFileSize it becomes the rolled-over file (".1" before the
// extension: "LogKestalHostCommService.1.txt") and a new one is begun. Writes whole buffers of
// formatted lines, so no line is ever split between the two.
class RollingFile {
 public:
  explicit RollingFile(std::string path)
      : m_path(std::move(path)), m_rolled(kestal::WithMark(m_path, ".1")) {}
  ~RollingFile() {
    if (m_file) std::fclose(m_file);
  }
  void Write(const char* data, std::size_t n) {
    if (!m_file && !Open("ab")) return;
    if (m_size + n > kMaxFileSize && m_size > 0) {
      std::fclose(m_file);
      m_file = nullptr;
      std::remove(m_rolled.c_str());
      std::rename(m_path.c_str(), m_rolled.c_str());
      if (!Open("wb")) return;
    }
    m_size += std::fwrite(data, 1, n, m_file);
  }
  void Flush() {
    if (m_file) std::fflush(m_file);
  }

 private:
  bool Open(const char* mode) {
    m_file = std::fopen(m_path.c_str(), mode);
    if (!m_file) return false;
    std::fseek(m_file, 0, SEEK_END);
    const long size = std::ftell(m_file);
    m_size = size > 0 ? static_cast<std::size_t>(size) : 0;
    return true;
  }

  const std::string m_path, m_rolled;
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

constexpr std::size_t kBufferCapacity = 1u << 20;

}  // namespace

// Lines are formatted on the thread that writes them into `m_active`; the file is written by
// WriteOut, which the service's log writer runs when half of `m_active` is taken and its report
// worker once a second. A line that finds `m_active` full is written out by its own thread
// first, so nothing is lost; an error line is written out and flushed at once.
class LogFile : public std::enable_shared_from_this<LogFile> {
 public:
  explicit LogFile(std::string path);
  // Writes out what is buffered: a service's file goes once nothing writes to it any more.
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  void Append(const spdlog::details::log_msg& msg);
  void WriteOut(bool flush);
  void WriteBacklog(int timeout_ms);
  void Wake();
  void CountWriter(bool running) { m_writers.fetch_add(running ? 1 : -1); }
  // A writer runs: lines may wait in the buffer for it.
  bool Buffered() const { return m_writers.load(std::memory_order_acquire) > 0; }

 private:
  kestal::Mutex m_file_mutex;                            // taken before `m_mutex`
  std::vector<char> m_pending GUARDED_BY(m_file_mutex);  // swapped with `m_active` by WriteOut
  RollingFile m_file GUARDED_BY(m_file_mutex);

  kestal::Mutex m_mutex;
  std::unique_ptr<spdlog::formatter> m_formatter GUARDED_BY(m_mutex);
  spdlog::memory_buf_t m_scratch GUARDED_BY(m_mutex);
  // kBufferCapacity reserved by its first line: appending allocates nothing.
  std::vector<char> m_active GUARDED_BY(m_mutex);
  bool m_wake_sent GUARDED_BY(m_mutex) = false;  // the writer was told half of m_active is taken
  kestal::CondVar m_wake;
  std::atomic<int> m_writers{0};  // services whose log-report worker writes this file
};

namespace {

// Every log file that exists, written out when the process exits normally (lines written after
// the last flush, after Stop say, reach the disk then).
struct OpenFiles {
  kestal::Mutex mutex;  // never taken while a file's mutexes are held
  std::vector<LogFile*> files GUARDED_BY(mutex);
};
OpenFiles& Files() {
  static OpenFiles* const files = new OpenFiles();
  return *files;
}

// The process's file. Made once and never destroyed: an application that returns from main
// without Stop leaves library workers running while the process's static objects are destroyed,
// and their last lines must find a log, not the remains of one.
LogFile& ProcessFile() {
  static LogFile* const file = new LogFile(kLogFileName);
  return *file;
}

// The file of the service the calling thread works for; null: the process's.
thread_local LogFile* t_file = nullptr;

LogFile& Current() { return t_file ? *t_file : ProcessFile(); }

struct TapState {
  kestal::Mutex mutex;
  Log::Tap tap GUARDED_BY(mutex);
};
TapState& Taps() {
  static TapState* const tap = new TapState();
  return *tap;
}

}  // namespace

LogFile::LogFile(std::string path) : m_file(std::move(path)) {
  auto formatter = std::make_unique<spdlog::pattern_formatter>();
  formatter->add_flag<UpperLevelFlag>('*').set_pattern(kPattern);
  {
    kestal::MutexLock lock(m_mutex);
    m_formatter = std::move(formatter);
  }
  OpenFiles& open = Files();
  kestal::MutexLock lock(open.mutex);
  open.files.push_back(this);
}

LogFile::~LogFile() {
  {
    OpenFiles& open = Files();
    kestal::MutexLock lock(open.mutex);
    open.files.erase(std::remove(open.files.begin(), open.files.end(), this), open.files.end());
  }
  WriteOut(true);
}

void LogFile::WriteOut(bool flush) {
  kestal::MutexLock file_lock(m_file_mutex);
  {
    kestal::MutexLock lock(m_mutex);
    m_active.swap(m_pending);
    m_wake_sent = false;
  }
  if (!m_pending.empty()) m_file.Write(m_pending.data(), m_pending.size());
  m_pending.clear();
  if (flush) m_file.Flush();
}

void LogFile::Append(const spdlog::details::log_msg& msg) {
  for (int attempt = 0;; ++attempt) {
    {
      kestal::MutexLock lock(m_mutex);
      // Each of the two buffers is reserved by the first line that lands in it, not when the
      // logger is made at load: a process that loads the library and never logs pays nothing.
      if (m_active.capacity() < kBufferCapacity) m_active.reserve(kBufferCapacity);
      m_scratch.clear();
      m_formatter->format(msg, m_scratch);
      // After one write-out the line goes in even if other threads filled the buffer again.
      if (m_active.size() + m_scratch.size() <= kBufferCapacity || attempt > 0) {
        m_active.insert(m_active.end(), m_scratch.begin(), m_scratch.end());
        if (!m_wake_sent && m_active.size() >= kBufferCapacity / 2) {
          m_wake_sent = true;
          m_wake.NotifyOne();
        }
        return;
      }
    }
    WriteOut(false);
  }
}

void LogFile::WriteBacklog(int timeout_ms) {
  {  // waits even without a log, so that the writer's loop never spins
    kestal::MutexLock lock(m_mutex);
    if (!m_wake.WaitFor(lock, std::chrono::milliseconds(timeout_ms),
                        [&]() REQUIRES(m_mutex) { return m_wake_sent; }))
      return;
    if (g_min_level.load(std::memory_order_acquire) == 0)
      return void(m_wake_sent = false);  // nothing to write
  }
  WriteOut(false);
}

void LogFile::Wake() {
  {
    kestal::MutexLock lock(m_mutex);
    m_wake_sent = true;
  }
  m_wake.NotifyAll();
}

void Log::Init() {
  std::call_once(g_init_once, [] {
    ProcessFile();
    std::atexit([] {
      OpenFiles& open = Files();
      kestal::MutexLock lock(open.mutex);
      for (LogFile* file : open.files) file->WriteOut(true);
    });
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
  if (g_min_level.load(std::memory_order_acquire) != 0) Current().WriteOut(true);
}

void Log::WriteBacklog(int timeout_ms) { Current().WriteBacklog(timeout_ms); }

void Log::SetWriterRunning(bool running) { Current().CountWriter(running); }

void Log::WakeWriter() { Current().Wake(); }

std::shared_ptr<LogFile> Log::OpenFile(const std::string& path) {
  return std::make_shared<LogFile>(path);
}

std::string Log::NumberedFileName(int n) {
  return kestal::WithMark(kLogFileName, "-" + std::to_string(n));
}

Log::Scope::Scope(LogFile* file) : m_previous(t_file) { t_file = file; }

Log::Scope::~Scope() { t_file = m_previous; }

std::function<void()> Log::Inheriting(std::function<void()> body) {
  std::shared_ptr<LogFile> file = t_file ? t_file->shared_from_this() : nullptr;
  return [file = std::move(file), body = std::move(body)] {
    Scope scope(file.get());
    body();
  };
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
  if (g_min_level.load(std::memory_order_acquire) != 0) {
    LogFile& file = Current();
    const bool error = level == LogLevel::Error;
    file.Append(spdlog::details::log_msg(spdlog::source_loc{"", line, name}, "KestalHostComm",
                                         error ? spdlog::level::err : spdlog::level::debug,
                                         spdlog::string_view_t(text, static_cast<std::size_t>(n))));
    // Errors reach the disk at once, and every line while no writer runs.
    if (error || !file.Buffered()) file.WriteOut(true);
  }
  if (g_has_tap.load(std::memory_order_acquire)) {
    TapState& tap = Taps();
    kestal::MutexLock lock(tap.mutex);
    if (tap.tap) tap.tap(level, name, std::string(text, static_cast<std::size_t>(n)));
  }
}

void Log::SetTap(Log::Tap tap) {
  TapState& state = Taps();
  kestal::MutexLock lock(state.mutex);
  state.tap = std::move(tap);
  g_has_tap.store(static_cast<bool>(state.tap), std::memory_order_release);
}

}  // namespace kestal
