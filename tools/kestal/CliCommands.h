// The tool's commands. Each returns the process exit code: 0 success, 1 a failure at run time
// (timeout, refused connection, missing device or file), 2 bad arguments. Errors are printed
// as one line on stderr.
#pragma once

#include <string>
#include <vector>

#include "CliSession.h"

class CliCommands {
 public:
  static int RunWatch(const CliOptions& options, const std::vector<std::string>& args);
  static int RunOrder(const CliOptions& options, const std::vector<std::string>& args);
  static int RunCapture(const CliOptions& options, const std::vector<std::string>& args);
  static int RunFirmware(const CliOptions& options, const std::vector<std::string>& args);
  static int RunDumpVolume(const CliOptions& options, const std::vector<std::string>& args);
  static int RunDemo(const CliOptions& options, const std::vector<std::string>& args);

  // Order names and their sub types, for help texts.
  static std::string OrderNames();
};
