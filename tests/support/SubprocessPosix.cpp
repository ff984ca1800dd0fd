#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "Subprocess.h"

extern char** environ;

int Subprocess::StartChild(const std::vector<std::string>& argv, const std::string& dir) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) return posix_spawn_file_actions_destroy(&actions), -1;
  constexpr int kOut = O_WRONLY | O_CREAT | O_TRUNC;
  int r = posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  if (r == 0) r = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (r == 0) r = posix_spawn_file_actions_addopen(&actions, 1, m_stdout_path.c_str(), kOut, 0644);
  if (r == 0) r = posix_spawn_file_actions_addopen(&actions, 2, m_stderr_path.c_str(), kOut, 0644);
  // The child starts with default signal handling and no blocked signals, whatever the test
  // changed.
  sigset_t defaults, none;
  sigemptyset(&none), sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  if (r == 0) r = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) return -1;
  m_child = pid;
  return 0;
}

bool Subprocess::Reap(bool wait) {
  if (m_child == -1) return true;
  int status = 0;
  pid_t r;
  do r = waitpid(static_cast<pid_t>(m_child), &status, wait ? 0 : WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  // A child no longer ours (r < 0) leaves nothing to reap.
  m_exit_code = r < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  m_child = -1;
  return true;
}

void Subprocess::AskToEnd() { kill(static_cast<pid_t>(m_child), SIGTERM); }

void Subprocess::Kill() {
  if (m_child != -1) kill(static_cast<pid_t>(m_child), SIGKILL);
  Reap(true);
}
