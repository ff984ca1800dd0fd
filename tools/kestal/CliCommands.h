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
  // Watches every device in `devices` at once (each line then begins with "[device] ").
  static int RunWatch(const std::vector<CliOptions>& devices, uint32_t seconds, bool stats);
  static int RunOrder(const CliOptions& options, const std::string& name,
                      const std::vector<uint32_t>& params, int timeout_ms);
  static int RunCapture(const CliOptions& options, uint32_t count, const std::string& out_dir,
                        uint32_t width, bool overwrite, int timeout_ms);
  static int RunFirmware(const CliOptions& options, const std::string& path, uint16_t type,
                         int timeout_ms);
  static int RunDumpVolume(const CliOptions& options);
  static int RunDemo(const CliOptions& options);
  static int RunReplay(const std::string& path);
  // Serves the first of `devices` as a page, with /metrics of them all; with `metrics_only`, only
  // /metrics.
  static int RunView(const std::vector<CliOptions>& devices, const std::string& listen,
                     uint32_t width, uint32_t seconds, bool metrics_only);

  // Sends the order `name` with `values` on a connected session and waits for its ACK: 0 with the
  // decoded ACK line in `text`, 1 (no ACK, not sent) or 2 (unknown order, bad parameters) with the
  // error in `text`.
  static int OrderAck(CliSession& session, const std::string& name,
                      const std::vector<uint32_t>& values, int timeout_ms, std::string& text);
  // The image width of a frame (80-byte image header, then the image; `len` at least 80): `width`,
  // or when 0 the header's nominal width; 0 when that is no whole number of rows of the image.
  static uint32_t ImageWidth(const uint8_t* frame, size_t len, uint32_t width);
  // The decoded controller status line ("controller: scanner=... temp=... C").
  static std::string ControllerStatusLine(const std::vector<uint8_t>& payload);

  // Order names and their parameters, one a line, for the help text.
  static std::string OrderNames();
};
