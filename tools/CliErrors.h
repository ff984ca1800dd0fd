// Command-line conventions shared by the tools: the last of a repeated option counts, and every
// parse error is one line on stderr, "<program>: <what went wrong>" (exit code 2, see CliExit).
#pragma once

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

inline void UseToolConventions(CLI::App& app, const std::string& program) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.failure_message([program](const CLI::App*, const CLI::Error& e) {
    std::string line = e.what();
    for (char& c : line) c = c == '\n' ? ' ' : c;
    return program + ": " + line + "\n";
  });
}

// Why `path` cannot be opened for reading and writing, in the system's words; "" when it can.
inline std::string OpenError(const std::string& path) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "r+b");
  if (file) return std::fclose(file), "";
  return errno ? std::strerror(errno) : "cannot be opened";
}

// The exit code of a parse that threw: 0 for --help, 2 for bad arguments.
inline int CliExit(CLI::App& app, const CLI::ParseError& e) { return app.exit(e) == 0 ? 0 : 2; }
