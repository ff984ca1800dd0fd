#include "common/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

namespace kestal {
namespace {

constexpr const char* kLogFileName = "LogKestalHostCommService.txt";
constexpr std::size_t kMaxFileSize = 64u * 1024 * 1024;
constexpr std::size_t kRolledFiles = 1;
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %* [%t] [%!@%#] %v";

// Opens the rolling file only when the first line arrives, so loading the library (or listing
// a test binary's tests) leaves no empty log file behind.
class LazyRotatingSink final : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (!m_file) {
      m_file = std::make_unique<spdlog::sinks::rotating_file_sink_st>(kLogFileName, kMaxFileSize,
                                                                      kRolledFiles);
      m_file->set_formatter(formatter_->clone());
    }
    m_file->log(msg);
  }
  void flush_() override {
    if (m_file) m_file->flush();
  }
  void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override {
    if (m_file) m_file->set_formatter(formatter->clone());
    formatter_ = std::move(formatter);
  }

 private:
  std::unique_ptr<spdlog::sinks::rotating_file_sink_st> m_file;
};

// "DEBUG" / "ERROR" in the severity column.
class UpperLevelFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
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

// The logger and the tap are made once and never destroyed: an application that returns from
// main without Stop leaves library workers running while the process's static objects are
// destroyed, and their last lines must find a logger, not the remains of one.
struct LogState {
  spdlog::logger* logger = nullptr;  // set once by Init
  std::mutex tap_mutex;
  Log::Tap tap;
};
LogState& State() {
  static LogState* const state = new LogState();
  return *state;
}

}  // namespace

void Log::Init() {
  std::call_once(g_init_once, [] {
    auto sink = std::make_shared<LazyRotatingSink>();
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<UpperLevelFlag>('*').set_pattern(kPattern);
    sink->set_formatter(std::move(formatter));
    spdlog::logger* logger = new spdlog::logger("KestalHostComm", sink);
    logger->set_level(spdlog::level::debug);
    // Errors reach the disk at once; everything else when the service flushes the log, once a
    // second while it runs and at the end of Stop (the log has no thread of its own).
    logger->flush_on(spdlog::level::err);
    State().logger = logger;
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
  if (g_min_level.load(std::memory_order_acquire) != 0) State().logger->flush();
}

std::string Log::FunctionName(const char* pretty_function) {
  std::string s(pretty_function ? pretty_function : "");
  // The parameter list starts at the first '(' outside template brackets.
  int depth = 0;
  std::size_t paren = std::string::npos;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '<') ++depth;
    else if (c == '>') --depth;
    else if (c == '(' && depth == 0) { paren = i; break; }
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
    spdlog::source_loc loc{"", line, name};
    state.logger->log(loc, level == LogLevel::Error ? spdlog::level::err : spdlog::level::debug,
                      spdlog::string_view_t(text, static_cast<std::size_t>(n)));
  }
  if (g_has_tap.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(state.tap_mutex);
    if (state.tap) state.tap(level, name, std::string(text, static_cast<std::size_t>(n)));
  }
}

void Log::SetTap(Tap tap) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.tap_mutex);
  state.tap = std::move(tap);
  g_has_tap.store(static_cast<bool>(state.tap), std::memory_order_release);
}

}  // namespace kestal
