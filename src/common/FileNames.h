// File names made from other file names: the log's rolled-over and numbered files, and the tool's
// capture file of each further device.
#pragma once

#include <string>

namespace kestal {

// `path` with `mark` before its extension ("Log.txt", ".1": "Log.1.txt"); at the end when the
// file name has no extension or is all extension (".txt", "dir.d/log").
inline std::string WithMark(const std::string& path, const std::string& mark) {
  const std::size_t dot = path.rfind('.');
  const std::size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
    return path + mark;
  return path.substr(0, dot) + mark + path.substr(dot);
}

}  // namespace kestal
