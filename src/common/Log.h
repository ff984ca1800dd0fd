// The library's log: a rolling file "LogKestalHostCommService.txt" in the working directory, and
// one more file for each service that was given one (OpenFile): a thread writes to the file of the
// service it works for (Scope), and the workers a service starts inherit it (Inheriting).
//
// Lines are printf-style. KLOG_DEBUG / KLOG_ERROR test the level first, so the arguments of a
// suppressed line are never formatted. The function field of a line is "Class::Method", taken
// from the calling function; worker bodies name themselves with the *_AS forms
// ("Class::StartingMethod.Worker"). Any thread may log at any time, also while the process
// exits: the logger is never destroyed, so a worker still running then loses nothing but its
// unflushed lines. Lines are formatted by the thread that writes them; while the service runs
// they are buffered and written off the callers' paths by its workers (see WriteBacklog).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestal {

class LogFile;

enum class LogLevel { Debug = 1, Error = 4 };

class Log {
 public:
  // Creates the logger (debug level, 64 MiB a file, one rolled-over file). The file itself is
  // opened, and the line buffers (1 MiB each) reserved, when the first lines are written. Called
  // by the service's constructor; idempotent.
  static void Init();
  // True when the logger exists and admits lines of this level.
  static bool Enabled(LogLevel level);
  // Lowest level written; tests turn debug off with LogLevel::Error.
  static void SetLevel(LogLevel level);
  // Writes the buffered lines to the file and flushes it; the service's log-report worker calls
  // it once a second and Stop at its end.
  static void Flush();
  // The log writer's wait: returns after `timeout_ms`, or writes the buffered lines once half of
  // the buffer is taken (or WakeWriter was called). Lines never wait for it: a line that finds the
  // buffer full is written by its own thread, an error line is written and flushed at once.
  static void WriteBacklog(int timeout_ms);
  // Ends the writer's current wait (a stop).
  static void WakeWriter();
  // One writer (a service's log-report worker) more (true) or less (false) writes the buffered
  // lines at least once a second. Without any, each line goes to the file as it is written, so
  // that the lines before Start and after Stop are on the disk at once, where a crash cannot
  // take them. Each service calls it once as its writer starts and once as it stops.
  static void SetWriterRunning(bool running);

  // A rolling file of its own at `path` (its rolled-over file has ".1" before the extension),
  // opened by its first line; lines buffered in it are written out when the last owner lets it go.
  static std::shared_ptr<LogFile> OpenFile(const std::string& path);
  // "LogKestalHostCommService-<n>.txt": the default file of the n-th session of a process.
  static std::string NumberedFileName(int n);
  // While it lasts, the calling thread's lines (and the flushes, waits and writer counts above) go
  // to `file`; null means the process's file. `file` must remain live until the scope ends.
  // Scopes nest: the previous file is the thread's again afterwards.
  class Scope {
   public:
    explicit Scope(LogFile* file);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    LogFile* m_previous;
  };
  // `body`, run with the calling thread's current file, which it keeps live while it runs: every
  // worker a service starts is started through it, so its lines land in the service's file.
  static std::function<void()> Inheriting(std::function<void()> body);

  // Formats and writes one line under the function field `function`. Once the first lines have
  // reserved the buffers, allocates nothing for a line of up to 1 KiB while no tap is set.
  static void Write(LogLevel level, const char* function, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // "Class::Method" out of a compiler's pretty function signature.
  static std::string FunctionName(const char* pretty_function);
  // The same, made once per call site and kept for the life of the process (lines may still be
  // written while the process exits).
  static const char* CallSiteName(const char* pretty_function);

  // Observes every written line (level, function field, message); tests use it to check the
  // exact texts. Pass nullptr to remove it. Not for production use: it runs under a lock.
  using Tap =
      std::function<void(LogLevel, const std::string& function, const std::string& message)>;
  static void SetTap(Tap tap);
};

}  // namespace kestal

#define KLOG_AT_(level, ...)                                                    \
  do {                                                                          \
    if (::kestal::Log::Enabled(level)) {                                        \
      static const char* const kestal_log_function_ =                           \
          ::kestal::Log::CallSiteName(__PRETTY_FUNCTION__);                     \
      ::kestal::Log::Write(level, kestal_log_function_, __LINE__, __VA_ARGS__); \
    }                                                                           \
  } while (0)

#define KLOG_AS_(level, function, ...)                              \
  do {                                                              \
    if (::kestal::Log::Enabled(level))                              \
      ::kestal::Log::Write(level, function, __LINE__, __VA_ARGS__); \
  } while (0)

#define KLOG_DEBUG(...) KLOG_AT_(::kestal::LogLevel::Debug, __VA_ARGS__)
#define KLOG_ERROR(...) KLOG_AT_(::kestal::LogLevel::Error, __VA_ARGS__)
#define KLOG_DEBUG_AS(function, ...) KLOG_AS_(::kestal::LogLevel::Debug, function, __VA_ARGS__)
#define KLOG_ERROR_AS(function, ...) KLOG_AS_(::kestal::LogLevel::Error, function, __VA_ARGS__)
