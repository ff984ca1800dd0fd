#include "SimReplay.h"

#include <chrono>

#include "common/LittleEndian.h"
#include "diag/CaptureReader.h"
#include "transport/network/FrameCodec.h"

namespace {
// Where the frames of `bytes` end, walked as the host's parser would find them: the end of the last
// whole frame (or of bytes skipped before a start tag) that leaves nothing cut.
size_t LastBoundary(const std::vector<uint8_t>& bytes) {
  size_t pos = 0, boundary = 0;
  while (pos + FrameCodec::kHeaderLength <= bytes.size()) {
    const uint32_t length = kestal::LoadU32(&bytes[pos + 4]);
    if (kestal::LoadU32(&bytes[pos]) != FrameCodec::kFrameStartTag ||
        length > FrameCodec::kMaxPayloadLength) {
      ++pos;
      continue;
    }
    if (pos + length + FrameCodec::kFrameOverhead > bytes.size()) break;
    boundary = pos += length + FrameCodec::kFrameOverhead;
  }
  return boundary;
}
}  // namespace

int SimReplay::Load(const std::string& path, std::string& error) {
  CaptureReader reader;
  if (reader.Open(path) < 0) return error = reader.Error(), -1;
  CaptureReader::Chunk chunk;
  std::vector<uint8_t> pending;  // bytes of the current connection not yet in a stretch
  uint32_t connection = 0;
  int r;
  auto cut = [&](uint64_t time_us, bool all) {
    const size_t end = all ? pending.size() : LastBoundary(pending);
    if (end == 0) return;
    m_connections.back().push_back(
        {time_us, std::vector<uint8_t>(pending.begin(), pending.begin() + end)});
    pending.erase(pending.begin(), pending.begin() + end);
  };
  uint64_t last_time = 0;
  while ((r = reader.Next(chunk)) > 0) {
    if (chunk.to_device) continue;
    if (chunk.connection != connection || m_connections.empty()) {
      if (!m_connections.empty()) cut(last_time, true);
      m_connections.emplace_back();
      connection = chunk.connection;
    }
    pending.insert(pending.end(), chunk.bytes.begin(), chunk.bytes.end());
    cut(chunk.time_us, pending.size() > (1u << 20));
    last_time = chunk.time_us;
  }
  if (!m_connections.empty()) cut(last_time, true);
  if (r < 0) return error = reader.Error(), -1;
  return 0;
}

void SimReplay::Start(bool fast) {
  Stop();
  m_stop = false, m_done = false;
  m_worker = std::thread(&SimReplay::Play, this, fast);
}

void SimReplay::Stop() {
  m_stop = true;
  if (m_worker.joinable()) m_worker.join();
}

void SimReplay::Play(bool fast) {
  using Clock = std::chrono::steady_clock;
  auto wait_until = [this](auto condition,
                           Clock::time_point deadline) {  // false when stopped first
    while (!m_stop && !condition() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !m_stop && condition();
  };
  for (size_t c = 0; c < m_connections.size() && !m_stop; ++c) {
    const uint64_t accepted = m_server.Connections();
    if (c > 0) m_server.EndConnection();  // where the captured connection ended
    // The host has 60 s to come (back); each connection is a new one.
    const auto limit = Clock::now() + std::chrono::seconds(60);
    if (!wait_until(
            [&] { return m_server.Connected() && m_server.Connections() > (c > 0 ? accepted : 0); },
            limit))
      return;
    const auto start = Clock::now();
    const uint64_t first_us = m_connections[c].empty() ? 0 : m_connections[c].front().time_us;
    for (const Stretch& s : m_connections[c]) {
      const auto due = start + std::chrono::microseconds(fast ? 0 : s.time_us - first_us);
      if (!fast) wait_until([] { return false; }, due);
      if (m_stop || m_server.SendRaw(s.bytes.data(), static_cast<uint32_t>(s.bytes.size())) < 0)
        return;
    }
  }
  m_done = true;
}
