// Plays the device's side of a capture back to a host: each captured connection's device-to-host
// bytes go out on one connection of the simulator's TCP half, at their captured pace (or at once
// with `fast`), and the connection is dropped where the capture's ended, so the host reconnects for
// the next. The device meanwhile answers only the host's heartbeats
// (SimDeviceOptions::heartbeats_only), so the link stays up. Bytes go out in stretches that end at
// frame boundaries, so a heartbeat ACK never lands inside a replayed frame.
//
// Thread safety: Load, Start and Stop on the owner's thread; the replay runs on a worker of its
// own, joined by Stop. `server` must remain live until Stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "SimNetworkServer.h"

class SimReplay {
 public:
  explicit SimReplay(SimNetworkServer& server) : m_server(server) {}
  ~SimReplay() { Stop(); }

  // Reads the capture's device-to-host bytes. 0, or -1 with `error` set.
  int Load(const std::string& path, std::string& error);
  void Start(bool fast);
  void Stop();
  bool Done() const { return m_done.load(); }  // every connection played
  size_t ConnectionCount() const { return m_connections.size(); }

 private:
  struct Stretch {
    uint64_t time_us;
    std::vector<uint8_t> bytes;
  };  // ends at a frame boundary
  void Play(bool fast);

  SimNetworkServer& m_server;
  std::vector<std::vector<Stretch>> m_connections;
  std::atomic<bool> m_stop{false}, m_done{false};
  std::thread m_worker;
};
