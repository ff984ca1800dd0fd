#include <windows.h>

#include "Subprocess.h"

namespace {

// One argument as the C runtime's command-line parser reads it back. The tests' arguments hold no
// double quote; a backslash before the closing quote is doubled so it escapes nothing.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t") == std::string::npos) return arg;
  return "\"" + arg + (!arg.empty() && arg.back() == '\\' ? "\\\"" : "\"");
}

HANDLE OpenInherited(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE AsHandle(std::intptr_t child) { return reinterpret_cast<HANDLE>(child); }

}  // namespace

int Subprocess::StartChild(const std::vector<std::string>& argv, const std::string& dir) {
  std::string command_line;
  for (const auto& a : argv) command_line += (command_line.empty() ? "" : " ") + Quote(a);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = OpenInherited("NUL", false);
  startup.hStdOutput = OpenInherited(m_stdout_path, true);
  startup.hStdError = OpenInherited(m_stderr_path, true);
  PROCESS_INFORMATION process{};
  const BOOL ok = startup.hStdOutput != INVALID_HANDLE_VALUE &&
                  startup.hStdError != INVALID_HANDLE_VALUE &&
                  CreateProcessA(argv[0].c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                 nullptr, dir.c_str(), &startup, &process);
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (!ok) return -1;
  CloseHandle(process.hThread);
  m_child = reinterpret_cast<std::intptr_t>(process.hProcess);
  return 0;
}

bool Subprocess::Reap(bool wait) {
  if (m_child == -1) return true;
  if (WaitForSingleObject(AsHandle(m_child), wait ? INFINITE : 0) == WAIT_TIMEOUT) return false;
  DWORD code = 0;
  m_exit_code = GetExitCodeProcess(AsHandle(m_child), &code) ? static_cast<int>(code) : -1;
  CloseHandle(AsHandle(m_child));
  m_child = -1;
  return true;
}

// A program without a console (as every child here) gets no request to end on Windows: it is
// ended at once, with the exit code a POSIX child ended by SIGTERM has.
void Subprocess::AskToEnd() { TerminateProcess(AsHandle(m_child), 128 + 15); }

void Subprocess::Kill() {
  if (m_child != -1) TerminateProcess(AsHandle(m_child), 128 + 9);
  Reap(true);
}
