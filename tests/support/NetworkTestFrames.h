// Helpers shared by the tests of the TCP framing: frames built with the library's codec,
// byte concatenation, the frames a transport queued for the engine, and the log lines of
// one worker.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "common/WorkFlowBufferQueue.h"
#include "transport/network/FrameCodec.h"

// One frame on the wire: start tag, length, type, payload, checksum.
inline std::vector<uint8_t> Frame(uint16_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(payload.size() + 16);
  FrameCodec::Encode(type, payload.data(), static_cast<uint32_t>(payload.size()), frame.data(),
                     static_cast<uint32_t>(frame.size()));
  return frame;
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The frames queued on `queue`, oldest first, at most `n`; their buffers go back. With a zero
// timeout only what is queued already; otherwise it waits up to `timeout` for the n frames.
inline std::vector<std::vector<uint8_t>> TakeQueuedFrames(WorkFlowBufferQueue& queue, size_t n,
                                                          std::chrono::milliseconds timeout) {
  std::vector<std::vector<uint8_t>> out;
  const bool wait = timeout.count() > 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    if (wait && std::chrono::steady_clock::now() >= deadline) break;
    WorkFlowBuffer* b = queue.GetFull(wait ? 10 : -1);
    if (!b) {
      if (!wait) break;
      continue;
    }
    out.emplace_back(b->data, b->data + b->bytes_used);
    queue.PutFree(b);
  }
  return out;
}

// The messages logged with `function` as their function field, in order.
inline std::vector<std::string> MessagesOf(const LogCapture& log, const std::string& function) {
  std::vector<std::string> out;
  for (const auto& line : log.Lines())
    if (line.function == function) out.push_back(line.message);
  return out;
}
