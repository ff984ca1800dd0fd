#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestWait.h"

extern char** environ;

namespace {

std::string ReadWhole(const std::string& path) {
  std::ostringstream text;
  if (!path.empty()) text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

}  // namespace

Subprocess::~Subprocess() {
  if (!Poll()) Kill();
}

int Subprocess::Start(const std::vector<std::string>& argv, const std::string& dir, const std::string& name) {
  if (m_pid > 0 || argv.empty()) return -1;
  const std::filesystem::path base = std::filesystem::absolute(dir);
  m_stdout_path = (base / (name + ".stdout")).string();
  m_stderr_path = (base / (name + ".stderr")).string();
  m_description.clear();
  std::vector<char*> args;
  for (const auto& a : argv) {
    m_description += a + " ";
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  m_description += "(in " + base.string() + ")";

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  int r = posix_spawn_file_actions_addchdir_np(&actions, base.c_str());
  if (r == 0) r = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (r == 0) r = posix_spawn_file_actions_addopen(&actions, 1, m_stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (r == 0) r = posix_spawn_file_actions_addopen(&actions, 2, m_stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child starts with default signal handling and no blocked signals, whatever the test changed.
  sigset_t defaults, none;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  if (r == 0) r = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) return -1;

  m_pid = pid;
  m_exit_code = -1;
  m_timed_out = false;
  m_started = std::chrono::steady_clock::now();
  return 0;
}

bool Subprocess::Reap(int options) {
  if (m_pid <= 0) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(m_pid, &status, options);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  m_ended = std::chrono::steady_clock::now();
  // A child no longer ours (r < 0) leaves nothing to reap.
  m_exit_code = r < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  m_pid = -1;
  return true;
}

bool Subprocess::Poll() { return Reap(WNOHANG); }

void Subprocess::Kill() {
  if (m_pid > 0) kill(m_pid, SIGKILL);
  Reap(0);
}

int Subprocess::WaitOrKill(std::chrono::milliseconds timeout) {
  if (!WaitUntil([this] { return Poll(); }, timeout, std::chrono::milliseconds(10))) {
    m_timed_out = true;
    Kill();
  }
  return m_exit_code;
}

int Subprocess::Wait(std::chrono::milliseconds timeout) { return WaitOrKill(timeout); }

int Subprocess::Terminate(std::chrono::milliseconds grace) {
  if (!Poll()) kill(m_pid, SIGTERM);
  return WaitOrKill(grace);
}

bool Subprocess::Running() { return !Poll(); }

double Subprocess::Seconds() const {
  const auto end = m_pid > 0 ? std::chrono::steady_clock::now() : m_ended;
  return std::chrono::duration<double>(end - m_started).count();
}

std::string Subprocess::Stdout() const { return ReadWhole(m_stdout_path); }

std::string Subprocess::Stderr() const { return ReadWhole(m_stderr_path); }

bool Subprocess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
  const auto found = [&] { return Stdout().find(text) != std::string::npos; };
  WaitUntil([&] { return found() || !Running(); }, timeout, std::chrono::milliseconds(10));
  return found();
}
