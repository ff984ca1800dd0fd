#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace {

constexpr std::chrono::milliseconds kPollStep(10);

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

Subprocess::~Subprocess() {
  if (m_pid > 0 && !Poll()) Kill();
}

int Subprocess::Start(const std::vector<std::string>& argv, const std::string& dir, const std::string& name) {
  if (m_pid > 0 || argv.empty()) return -1;
  const std::filesystem::path base = std::filesystem::absolute(dir);
  m_stdout_path = (base / (name + ".stdout")).string();
  m_stderr_path = (base / (name + ".stderr")).string();
  m_description.clear();
  for (const auto& a : argv) m_description += (m_description.empty() ? "" : " ") + a;
  m_description += " (in " + base.string() + ")";

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  int r = posix_spawn_file_actions_addchdir_np(&actions, base.c_str());
  if (r == 0) r = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (r == 0)
    r = posix_spawn_file_actions_addopen(&actions, 1, m_stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (r == 0)
    r = posix_spawn_file_actions_addopen(&actions, 2, m_stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child starts with default signal handling, whatever the test process changed.
  posix_spawnattr_t attr;
  bool attr_ok = r == 0 && posix_spawnattr_init(&attr) == 0;
  if (attr_ok) {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  pid_t pid = -1;
  if (attr_ok) r = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  if (attr_ok) posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (!attr_ok || r != 0) return -1;

  m_pid = pid;
  m_exit_code = -1;
  m_timed_out = false;
  m_started = std::chrono::steady_clock::now();
  return 0;
}

bool Subprocess::Poll() {
  if (m_pid <= 0) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(m_pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  m_ended = std::chrono::steady_clock::now();
  if (r < 0) {
    m_exit_code = -1;  // not our child any more; nothing left to reap
  } else if (WIFEXITED(status)) {
    m_exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    m_exit_code = 128 + WTERMSIG(status);
  }
  m_pid = -1;
  return true;
}

void Subprocess::Kill() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGKILL);
  int status = 0;
  pid_t r;
  do {
    r = waitpid(m_pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  m_ended = std::chrono::steady_clock::now();
  m_exit_code = r == m_pid && WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  m_pid = -1;
}

int Subprocess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Poll()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      m_timed_out = true;
      Kill();
      break;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return m_exit_code;
}

int Subprocess::Terminate(std::chrono::milliseconds grace) {
  if (m_pid > 0 && !Poll()) {
    kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!Poll()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        m_timed_out = true;
        Kill();
        break;
      }
      std::this_thread::sleep_for(kPollStep);
    }
  }
  return m_exit_code;
}

bool Subprocess::Running() { return !Poll(); }

double Subprocess::Seconds() const {
  const auto end = m_pid > 0 ? std::chrono::steady_clock::now() : m_ended;
  return std::chrono::duration<double>(end - m_started).count();
}

std::string Subprocess::Stdout() const { return m_stdout_path.empty() ? std::string() : ReadWhole(m_stdout_path); }

std::string Subprocess::Stderr() const { return m_stderr_path.empty() ? std::string() : ReadWhole(m_stderr_path); }

bool Subprocess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Stdout().find(text) != std::string::npos) return true;
    if (!Running() || std::chrono::steady_clock::now() >= deadline) return Stdout().find(text) != std::string::npos;
    std::this_thread::sleep_for(kPollStep);
  }
}
