// A program run as a child process by the tools' tests: in a given directory, stdin from the null
// device, stdout and stderr to files there (never blocking the child, readable while it runs).
// Every wait is bounded; a child still running at its deadline or at destruction is killed and
// reaped. Used from one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class Subprocess {
 public:
  Subprocess() = default;
  ~Subprocess() { Kill(); }
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Starts argv[0] (a path) with the other entries as arguments, in the existing directory `dir`;
  // output goes to dir/<name>.stdout and dir/<name>.stderr. 0, or -1 when the child could not be
  // started (a program that exists but cannot be run exits with 127 instead).
  int Start(const std::vector<std::string>& argv, const std::string& dir, const std::string& name);

  // Waits until the child ends or `timeout` has passed; at the deadline it is killed (SIGKILL,
  // TerminateProcess) and TimedOut() becomes true. Returns ExitCode().
  int Wait(std::chrono::milliseconds timeout);
  // Asks the child to end (SIGTERM; on Windows it is ended at once, with exit code 143), waits up
  // to `grace`, then kills it. Returns ExitCode().
  int Terminate(std::chrono::milliseconds grace);
  bool Running() { return !Reap(false); }

  // The exit status, 128 + the signal number for a child ended by a signal (137 for one killed on
  // Windows), -1 before the child has ended or when nothing was started.
  int ExitCode() const { return m_exit_code; }
  bool TimedOut() const { return m_timed_out; }

  // The output written so far.
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until stdout holds `text`; false when the child ended or `timeout` passed first.
  bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout);

  // The program, arguments and directory, for failure messages.
  const std::string& Describe() const { return m_description; }

 private:
  // The platform's half (SubprocessPosix.cpp, SubprocessWin32.cpp): starting the child with its
  // three streams; reaping it once ended (waiting for that when `wait`; true when nothing runs any
  // more, with m_exit_code set); asking it to end; killing and reaping it.
  int StartChild(const std::vector<std::string>& argv, const std::string& dir);
  bool Reap(bool wait);
  void AskToEnd();
  void Kill();

  std::intptr_t m_child = -1;  // the process id, or the process handle on Windows
  int m_exit_code = -1;
  bool m_timed_out = false;
  std::string m_stdout_path, m_stderr_path, m_description;
};
