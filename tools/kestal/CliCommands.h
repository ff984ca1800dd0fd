// The tool's commands, given their parsed arguments. Each returns the process exit code: 0
// success, 1 a failure at run time (timeout, refused connection, missing device or file), 2 bad
// arguments that only the command can judge. Errors are printed as one line on stderr.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CliSession.h"

class CliCommands {
 public:
  static int RunWatch(const CliOptions& options, uint32_t seconds, bool stats);
  static int RunOrder(const CliOptions& options, const std::string& name, const std::vector<uint32_t>& params,
                      int timeout_ms);
  static int RunCapture(const CliOptions& options, uint32_t count, const std::string& out_dir, uint32_t width,
                        int timeout_ms);
  static int RunFirmware(const CliOptions& options, const std::string& path, uint16_t type, int timeout_ms);
  static int RunDumpVolume(const CliOptions& options);
  static int RunDemo(const CliOptions& options);
  static int RunReplay(const std::string& path);

  // Order names and their parameters, one a line, for the help text.
  static std::string OrderNames();
};
