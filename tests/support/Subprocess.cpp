#include "Subprocess.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "TestWait.h"

// A Windows program's text-mode output ends its lines with CR LF; the tests compare lines.
static std::string ReadWhole(const std::string& path) {
  std::ostringstream text;
  if (!path.empty()) text << std::ifstream(path, std::ios::binary).rdbuf();
#ifdef _WIN32
  return std::regex_replace(text.str(), std::regex("\r\n"), "\n");
#else
  return text.str();
#endif
}

int Subprocess::Start(const std::vector<std::string>& argv, const std::string& dir,
                      const std::string& name) {
  if (m_child != -1 || argv.empty()) return -1;
  const std::filesystem::path base = std::filesystem::absolute(dir);
  m_stdout_path = (base / (name + ".stdout")).string();
  m_stderr_path = (base / (name + ".stderr")).string();
  m_description.clear();
  for (const auto& a : argv) m_description += a + " ";
  m_description += "(in " + base.string() + ")";
  if (StartChild(argv, base.string()) != 0) return -1;
  m_exit_code = -1;
  m_timed_out = false;
  return 0;
}

int Subprocess::Wait(std::chrono::milliseconds timeout) {
  m_timed_out = !WaitUntil([this] { return Reap(false); }, timeout, std::chrono::milliseconds(10));
  Kill();
  return m_exit_code;
}

int Subprocess::Terminate(std::chrono::milliseconds grace) {
  if (Running()) AskToEnd();
  return Wait(grace);
}

std::string Subprocess::Stdout() const { return ReadWhole(m_stdout_path); }
std::string Subprocess::Stderr() const { return ReadWhole(m_stderr_path); }

bool Subprocess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
  const auto found = [&] { return Stdout().find(text) != std::string::npos; };
  WaitUntil([&] { return found() || !Running(); }, timeout, std::chrono::milliseconds(10));
  return found();
}
