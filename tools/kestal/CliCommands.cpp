#include "CliCommands.h"

#ifdef KESTAL_VIEW
#include "ViewServer.h"
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <algorithm>
#include <memory>
#include <thread>

#include "common/LittleEndian.h"
#include "diag/CaptureReader.h"
#include "protocol/HostCommMsg.h"
#include "service/ServiceSettings.h"
#include "transport/network/FrameCodec.h"
#include "transport/network/FrameStreamParser.h"

using namespace std::chrono;
using kestal::LoadU16;
using kestal::LoadU32;

namespace {

std::atomic<bool> g_interrupted{false};
void OnSigint(int) { g_interrupted = true; }

struct OrderName {
  const char* name;
  uint16_t sub_type;
  int params;  // number of numeric parameters
  const char* param_help;
};

const OrderName kOrders[] = {
    {"heartbeat", HeartBeat, 0, ""},
    {"start-scan", StartScan, 0, ""},
    {"stop-scan", StopScan, 0, ""},
    {"exposure", SetExposure, 1, "VALUE (u32)"},
    {"gain", SetGain, 1, "VALUE (u32)"},
    {"trigger-single", TriggerSingle, 0, ""},
    {"trigger-continue", TriggerContinue, 0, ""},
    {"enter-original", EnterOriginalImage, 0, ""},
    {"enter-y", EnterYImage, 0, ""},
    {"sensor-reg", SetSensorReg, 2, "REGISTER VALUE (u16 each)"},
    {"sensor-map", GetSensorRegMap, 0, ""},
    {"static-info", GetDeviceStaticInfo, 0, ""},
    {"fpga-temp", GetFpgaTemp, 0, ""},
};

// Runs `work` for 0 to `count` - 1, each on a thread of its own, and waits for all of them.
void AtOnce(size_t count, const std::function<void(size_t)>& work) {
  std::vector<std::thread> threads;
  for (size_t i = 1; i < count; ++i) threads.emplace_back(work, i);
  if (count > 0) work(0);
  for (auto& thread : threads) thread.join();
}

int Fail(const std::string& message, int code = 1) {
  std::fprintf(stderr, "kestal: %s\n", message.c_str());
  return code;
}

// One session per device: the first on the process-wide service, each other one on a service of
// its own.
std::vector<std::unique_ptr<CliSession>> OpenSessions(const std::vector<CliOptions>& devices) {
  std::vector<std::unique_ptr<CliSession>> sessions;
  for (const CliOptions& device : devices)
    sessions.push_back(std::make_unique<CliSession>(
        device, sessions.empty() ? nullptr : std::make_unique<CliSession::ServiceImpl>()));
  return sessions;
}

// "[host:port] " before each line of a device when there are several; "" for one.
std::string Prefix(const std::vector<std::unique_ptr<CliSession>>& sessions, size_t i) {
  return sessions.size() > 1 ? "[" + sessions[i]->Endpoint() + "] " : "";
}

// Connects the devices at once, so one that cannot costs its timeout once, not once per device;
// reports each failure with its device. Which of them connected.
std::vector<bool> ConnectAll(const std::vector<std::unique_ptr<CliSession>>& sessions) {
  std::vector<std::string> errors(sessions.size());
  std::vector<int> results(sessions.size());
  AtOnce(sessions.size(), [&](size_t i) { results[i] = sessions[i]->Connect(errors[i]); });
  std::vector<bool> connected(sessions.size());
  for (size_t i = 0; i < sessions.size(); ++i)
    if (!(connected[i] = results[i] == 0)) Fail(Prefix(sessions, i) + errors[i]);
  return connected;
}

std::string DecodeAck(const OrderName& order, const std::vector<uint8_t>& ack) {
  char text[256];
  auto at = [&](size_t i) -> unsigned { return i < ack.size() ? ack[i] : 0u; };
  auto u16 = [&](size_t i) -> unsigned { return at(i) | at(i + 1) << 8; };
  int n = std::snprintf(text, sizeof text, "ACK %s seq_no=%u", order.name, u16(0));
  switch (order.sub_type) {
    case GetSensorRegMap:
      std::snprintf(
          text + n, sizeof text - n,
          ": roi_height=%02x %02x start=%02x %02x flip=%02x exposure=%02x %02x %02x gain=%02x "
          "temp=%02x %02x",
          at(11), at(12), at(13), at(14), at(50), at(52), at(53), at(54), at(113), at(136),
          at(137));
      break;
    case GetDeviceStaticInfo:
      std::snprintf(text + n, sizeof text - n,
                    ": app version %u.%u.%u.%04u, fpga version %u.%u.%u.%04u", at(10), at(11),
                    u16(12), u16(14), at(16), at(17), u16(18), u16(20));
      break;
    case GetFpgaTemp: {
      uint32_t raw = static_cast<uint32_t>(u16(10)) | static_cast<uint32_t>(u16(12)) << 16;
      std::snprintf(text + n, sizeof text - n, ": fpga temperature %.2f C",
                    HostCommMsg::FpgaTempCelsius(raw));
      break;
    }
    default: break;
  }
  return text;
}

std::string DecodeControllerStatus(const std::vector<uint8_t>& p) {
  uint8_t r[ControllerStatusLayout::kLength] = {};
  std::memcpy(r, p.data(), std::min<size_t>(p.size(), sizeof r));
  char text[256];
  std::snprintf(
      text, sizeof text,
      "controller: scanner=%u arm=%u fpga=%ufps/%uB arm=%ufps host send/recv=%u/%uB temp=%.2f C",
      LoadU32(r + 0), LoadU32(r + 12), LoadU32(r + 8), LoadU32(r + 4), LoadU32(r + 16),
      LoadU32(r + 20), LoadU32(r + 24), HostCommMsg::FpgaTempCelsius(LoadU32(r + 28)));
  return text;
}

const OrderName* FindOrder(const std::string& name) {
  for (const auto& o : kOrders)
    if (name == o.name) return &o;
  return nullptr;
}

// Sends one order and waits for the ACK that echoes its seq_no and sub type.
bool SendOrderAndWait(CliSession& session, const OrderName& order,
                      const std::vector<uint8_t>& params, int timeout_ms, CliMessage& ack,
                      std::string& error) {
  const uint16_t seq_no = session.Service().GetMsgSeqNo();
  std::vector<uint8_t> payload = HostCommMsg::BuildOrder(seq_no, order.sub_type, params);
  if (session.Service().SendHostCommMsg(Order, payload.data(),
                                        static_cast<unsigned>(payload.size())) < 0) {
    error = std::string("the ") + order.name + " order could not be sent";
    return false;
  }
  const bool got = session.WaitMessage(
      [&](const CliMessage& m) {
        return m.type == Order && m.payload.size() >= 4 && LoadU16(m.payload.data()) == seq_no &&
               LoadU16(m.payload.data() + 2) == order.sub_type;
      },
      milliseconds(timeout_ms), ack);
  if (!got) error = std::string("timed out waiting for the ACK of ") + order.name;
  return got;
}

// The order `name` and its parameters as the order's bytes; nullptr with `text` set when either is
// bad.
const OrderName* PrepareOrder(const std::string& name, const std::vector<uint32_t>& values,
                              std::vector<uint8_t>& params, std::string& text) {
  const OrderName* order = FindOrder(name);
  if (!order) return text = "unknown order '" + name + "' (see kestal order --help)", nullptr;
  if (static_cast<int>(values.size()) != order->params)
    return text = std::string(order->name) + " takes " + std::to_string(order->params) +
                  " parameter(s)",
           nullptr;
  const bool u16 = order->sub_type == SetSensorReg;
  for (uint32_t value : values) {
    if (u16 && value > 0xFFFF)
      return text = "bad parameter '" + std::to_string(value) + "'", nullptr;
    uint8_t bytes[4];
    kestal::StoreU32(bytes, value);
    params.insert(params.end(), bytes, bytes + (u16 ? 2 : 4));
  }
  return order;
}

struct CaptureResult {
  double fps = -1;       // below 0: unknown (one frame, or all in the same instant)
  uint64_t dropped = 0;  // gaps in the frame counter at header offset 0
};

// Starts scanning, hands `count` complete frames to `on_frame` (false there aborts with the
// error it set), stops scanning.
bool CaptureFrames(CliSession& session, uint64_t count, int timeout_ms,
                   const std::function<bool(uint64_t index, const CliMessage& frame,
                                            std::string& error)>& on_frame,
                   CaptureResult& result, std::string& error) {
  CliMessage ack;
  if (!SendOrderAndWait(session, *FindOrder("start-scan"), {}, timeout_ms, ack, error))
    return false;
  bool have_last = false;
  uint32_t last_counter = 0;
  steady_clock::time_point first_frame, last_frame;
  bool ok = true;
  for (uint64_t i = 0; i < count && ok; ++i) {
    CliMessage frame;
    if (!session.WaitMessage(
            [](const CliMessage& m) {
              return (m.type == OriginalImagePiece || m.type == YOriginalImagePiece) &&
                     m.payload.size() >= 80;
            },
            milliseconds(timeout_ms), frame)) {
      error = "timed out waiting for frame " + std::to_string(i + 1);
      ok = false;
      break;
    }
    last_frame = steady_clock::now();
    if (i == 0) first_frame = last_frame;
    const uint32_t counter = LoadU32(frame.payload.data());
    if (have_last && counter > last_counter + 1) result.dropped += counter - last_counter - 1;
    have_last = true;
    last_counter = counter;
    ok = on_frame(i, frame, error);
  }
  std::vector<uint8_t> stop =
      HostCommMsg::BuildOrder(session.Service().GetMsgSeqNo(), StopScan, {});
  session.Service().SendHostCommMsg(Order, stop.data(), static_cast<unsigned>(stop.size()));
  const double span = duration<double>(last_frame - first_frame).count();
  if (count > 1 && span > 0) result.fps = (count - 1) / span;
  return ok;
}

// The files of an earlier capture in `dir` (frame_NNNN.raw and .pgm); none when `dir` does not
// exist.
std::vector<std::filesystem::path> FrameFiles(const std::string& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string(), ext = it->path().extension().string();
    if (name.rfind("frame_", 0) == 0 && (ext == ".raw" || ext == ".pgm"))
      files.push_back(it->path());
  }
  return files;
}

// The whole file at `path`: 0, or -1 with errno telling why it cannot be read (a directory too).
int ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
  errno = 0;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return -1;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  return failed ? -1 : 0;
}

// Sends a firmware file and draws the device's progress until it reports 100 %.
bool SendFirmware(CliSession& session, const std::vector<uint8_t>& file, uint16_t type,
                  int timeout_ms, std::string& error) {
  if (session.Service().SendUpdateFirmware(type, const_cast<uint8_t*>(file.data()),
                                           static_cast<unsigned>(file.size())) < 0) {
    error = "the firmware file could not be sent whole";
    return false;
  }
  int progress = -1;
  while (progress < 100) {
    CliMessage ack;
    if (!session.WaitMessage(
            [](const CliMessage& m) { return m.type == UpdateFirmware && m.payload.size() >= 8; },
            milliseconds(timeout_ms), ack)) {
      std::printf("\n");
      error = "timed out waiting for the device's firmware progress";
      return false;
    }
    const unsigned ack_code = LoadU16(ack.payload.data() + FirmwareAckLayout::kAckCode);
    progress = ack.payload[FirmwareAckLayout::kProgress];
    if (ack_code != 0) {
      std::printf("\n");
      error = "the device refused the firmware (ack code " + std::to_string(ack_code) + ")";
      return false;
    }
    const int bar = progress > 100 ? 40 : progress * 40 / 100;
    std::printf("\r[%.*s%.*s] %3d%%", bar, "########################################", 40 - bar,
                "........................................", progress);
    std::fflush(stdout);
  }
  std::printf("\n");
  return true;
}

}  // namespace

std::string CliCommands::OrderNames() {
  std::string out;
  for (const auto& o : kOrders) {
    out += "  ";
    out += o.name;
    if (o.params) out += std::string(" ") + o.param_help;
    out += "\n";
  }
  return out;
}

int CliCommands::RunWatch(const std::vector<CliOptions>& devices, uint32_t seconds, bool stats) {
  // With several devices, every line names its device.
  std::vector<std::unique_ptr<CliSession>> sessions = OpenSessions(devices);
  std::vector<std::string> prefixes(sessions.size());
  for (size_t i = 0; i < sessions.size(); ++i) prefixes[i] = Prefix(sessions, i);
  std::signal(SIGINT, OnSigint);
  const std::vector<bool> connected = ConnectAll(sessions);
  std::vector<size_t> watched;  // those that connected
  for (size_t i = 0; i < sessions.size(); ++i)
    if (connected[i]) watched.push_back(i);
  if (watched.empty()) return 1;
  auto print_events = [&](size_t i) {
    for (const auto& e : sessions[i]->TakeEvents())
      std::printf("%s%s\n", prefixes[i].c_str(), e.c_str());
  };
  auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
  auto next_stats = steady_clock::now() + std::chrono::seconds(1);
  while (!g_interrupted && (seconds == 0 || steady_clock::now() < deadline)) {
    const bool stats_due = stats && steady_clock::now() >= next_stats;
    for (size_t i : watched) {
      print_events(i);
      for (const auto& m : sessions[i]->TakeMessages())
        if (m.type == ControllerStatus)
          std::printf("%s%s\n", prefixes[i].c_str(), DecodeControllerStatus(m.payload).c_str());
      if (stats_due)
        std::printf("%sstats: %s\n", prefixes[i].c_str(),
                    sessions[i]->Service().LinkHealthLine().c_str());
    }
    if (stats_due) next_stats += std::chrono::seconds(1);
    std::fflush(stdout);
    std::this_thread::sleep_for(milliseconds(100));
  }
  AtOnce(watched.size(), [&](size_t n) { sessions[watched[n]]->Disconnect(); });
  for (size_t i : watched) print_events(i);
  return watched.size() == sessions.size() ? 0 : 1;
}

int CliCommands::OrderAck(CliSession& session, const std::string& name,
                          const std::vector<uint32_t>& values, int timeout_ms, std::string& text) {
  std::vector<uint8_t> params;
  const OrderName* order = PrepareOrder(name, values, params, text);
  if (!order) return 2;
  CliMessage ack;
  if (!SendOrderAndWait(session, *order, params, timeout_ms, ack, text)) return 1;
  text = DecodeAck(*order, ack.payload);
  return 0;
}

uint32_t CliCommands::ImageWidth(const uint8_t* frame, size_t len, uint32_t width) {
  if (len <= ImagePieceLayout::kImageHeaderLength) return 0;  // no image behind the header
  const size_t size = len - ImagePieceLayout::kImageHeaderLength;
  if (!width) width = LoadU32(frame + 8);  // the image header's nominal width
  return width && size && size % width == 0 ? width : 0;
}

std::string CliCommands::ControllerStatusLine(const std::vector<uint8_t>& payload) {
  return DecodeControllerStatus(payload);
}

int CliCommands::RunOrder(const CliOptions& options, const std::string& name,
                          const std::vector<uint32_t>& values, int timeout_ms) {
  std::vector<uint8_t> params;
  std::string text;
  if (!PrepareOrder(name, values, params, text)) return Fail(text, 2);  // before the library starts
  CliSession session(options);
  if (session.Connect(text) < 0) return Fail(text);
  const int r = OrderAck(session, name, values, timeout_ms, text);
  if (r != 0) return Fail(text, r);
  std::printf("%s\n", text.c_str());
  return 0;
}

int CliCommands::RunCapture(const CliOptions& options, uint32_t count, const std::string& out_dir,
                            uint32_t width, bool overwrite, int timeout_ms) {
  // The frames of an earlier run are never replaced unasked, nor mixed with this run's when they
  // are.
  std::vector<std::filesystem::path> earlier = FrameFiles(out_dir);
  if (!earlier.empty() && !overwrite)
    return Fail(out_dir + " already holds frames (" + earlier.front().filename().string() +
                    " ...): choose another --out, or --overwrite to replace them",
                2);
  std::error_code ec;
  std::filesystem::create_directories(out_dir, ec);
  if (ec) return Fail("cannot create " + out_dir + ": " + ec.message());

  CliSession session(options);
  std::string error;
  if (session.Connect(error) < 0) return Fail(error);
  for (const auto& file : earlier)
    if (!std::filesystem::remove(file, ec) && ec)
      return Fail("cannot remove " + file.string() + ": " + ec.message());
  CaptureResult result;
  auto save = [&](uint64_t i, const CliMessage& frame, std::string& save_error) {
    char name[64];
    std::snprintf(name, sizeof name, "/frame_%04u", static_cast<unsigned>(i + 1));
    std::ofstream raw(out_dir + name + ".raw", std::ios::binary);
    raw.write(reinterpret_cast<const char*>(frame.payload.data()),
              static_cast<std::streamsize>(frame.payload.size()));
    const uint64_t image_size = frame.payload.size() - 80;
    const uint32_t w = ImageWidth(frame.payload.data(), frame.payload.size(), width);
    if (w == 0 && i == 0)
      std::fprintf(stderr,
                   "kestal: warning: %llu image bytes are not rows of %u (%s); no PGM written\n",
                   static_cast<unsigned long long>(image_size),
                   width ? width : LoadU32(frame.payload.data() + 8),
                   width ? "--width" : "the image header's width");
    if (w) {
      std::ofstream pgm(out_dir + name + ".pgm", std::ios::binary);
      pgm << "P5\n" << w << " " << image_size / w << "\n255\n";
      pgm.write(reinterpret_cast<const char*>(frame.payload.data() + 80),
                static_cast<std::streamsize>(image_size));
    }
    if (!raw) save_error = std::string("cannot write ") + out_dir + name + ".raw";
    return static_cast<bool>(raw);
  };
  if (!CaptureFrames(session, count, timeout_ms, save, result, error)) return Fail(error);
  char rate[32] = "";
  if (result.fps >= 0) std::snprintf(rate, sizeof rate, ": %.1f fps", result.fps);
  std::printf("captured %u frame%s to %s%s, %llu dropped\n", count, count == 1 ? "" : "s",
              out_dir.c_str(), rate, static_cast<unsigned long long>(result.dropped));
  return 0;
}

int CliCommands::RunFirmware(const CliOptions& options, const std::string& path, uint16_t type,
                             int timeout_ms) {
  std::vector<uint8_t> file;
  if (ReadFile(path, file) != 0)
    return Fail("cannot read " + path + ": " + std::strerror(errno ? errno : EIO));
  if (file.empty()) return Fail(path + " is empty");
  if (file.size() > 0xFFFFFFFFu) return Fail(path + " is too large");

  CliSession session(options);
  std::string error;
  if (session.Connect(error) < 0) return Fail(error);
  if (!SendFirmware(session, file, type, timeout_ms, error)) return Fail(error);
  std::printf("firmware of %zu bytes sent\n", file.size());
  return 0;
}

int CliCommands::RunDumpVolume(const CliOptions& options) {
  if (options.transport != "storage") return Fail("dump-volume needs --transport storage", 2);
  CliSession session(options);
  std::string error;
  if (session.Connect(error) < 0) return Fail(error);
  auto before = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(1);
  session.Service().PrintVolumeRunInfo();
  int written = 0;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("volume", 0) == 0 && entry.last_write_time() >= before) {
      std::printf("%s\n", name.c_str());
      ++written;
    }
  }
  return written == 2 ? 0 : Fail("the volume dump was not written");
}

int CliCommands::RunDemo(const CliOptions& options) {
  CliSession session(options);
  std::string error;
  auto print_events = [&session] {
    for (const auto& e : session.TakeEvents()) std::printf("  %s\n", e.c_str());
    std::fflush(stdout);
  };
  std::printf("== connecting to %s\n", session.Endpoint().c_str());
  if (session.Connect(error) < 0) return Fail(error);
  print_events();

  std::printf("== status line, once a second\n");
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(milliseconds(100));
    print_events();
  }

  std::printf("== orders\n");
  for (const char* name : {"static-info", "fpga-temp", "sensor-map"}) {
    CliMessage ack;
    if (!SendOrderAndWait(session, *FindOrder(name), {}, 3000, ack, error)) return Fail(error);
    std::printf("  %s\n", DecodeAck(*FindOrder(name), ack.payload).c_str());
  }

  std::printf("== ten image frames\n");
  CaptureResult result;
  auto show = [](uint64_t i, const CliMessage& frame, std::string&) {
    std::printf("  frame %llu: type %u, counter %u, %zu bytes\n",
                static_cast<unsigned long long>(i + 1), frame.type, LoadU32(frame.payload.data()),
                frame.payload.size());
    return true;
  };
  if (!CaptureFrames(session, 10, 10000, show, result, error)) return Fail(error);
  std::printf("  %.1f frames per second, %llu dropped\n", result.fps,
              static_cast<unsigned long long>(result.dropped));

  std::printf("== firmware update of 300000 bytes\n");
  std::vector<uint8_t> firmware(300000);
  for (size_t i = 0; i < firmware.size(); ++i)
    firmware[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  if (!SendFirmware(session, firmware, 1, 10000, error)) return Fail(error);

  std::printf("== stopping\n");
  session.Disconnect();
  print_events();
  std::printf("== demo finished\n");
  return 0;
}

// The capture's device-to-host bytes go through the network transport's parser as its reads would
// have brought them, and its frames through the service's dispatcher (never started) to the
// application's receive callback. A new connection in the capture starts a new stream, as a
// reconnect does.
int CliCommands::RunReplay(const std::string& path) {
  CaptureReader reader;
  if (reader.Open(path) < 0) return Fail(reader.Error());
  uint64_t messages = 0;
  KestalHostCommService::GetInstance().SetRecvHostCommMsgCallBack(
      [](unsigned short type, unsigned char* data, unsigned int len, void* count) {
        std::printf("message %u %u %08x\n", type, len, FrameCodec::CalcCrc(data, len));
        ++*static_cast<uint64_t*>(count);
      },
      &messages);
  FrameStreamParser parser;
  auto deal = [](uint8_t* frame, uint32_t length) {
    return kestal::DealReplayedFrame(frame, length), true;
  };
  std::vector<uint8_t> kept;  // what the parser has not consumed yet, then the next chunk
  CaptureReader::Chunk chunk;
  uint32_t connection = 0, connections = 0;
  int r;
  while ((r = reader.Next(chunk)) > 0) {
    if (chunk.to_device) continue;
    if (chunk.connection != connection)
      parser.Reset(), kept.clear(), connection = chunk.connection, ++connections;
    kept.insert(kept.end(), chunk.bytes.begin(), chunk.bytes.end());
    kept.erase(kept.begin(),
               kept.begin() + parser.Scan(kept.data(), static_cast<uint32_t>(kept.size()), deal));
  }
  KestalHostCommService::GetInstance().SetRecvHostCommMsgCallBack(nullptr, nullptr);
  if (r < 0) return Fail(path + ": " + reader.Error());
  std::printf("replayed %s: %u connection(s), %llu messages\n", path.c_str(), connections,
              static_cast<unsigned long long>(messages));
  return 0;
}

#ifdef KESTAL_VIEW
int CliCommands::RunView(const std::vector<CliOptions>& devices, const std::string& listen,
                         uint32_t width, uint32_t seconds, bool metrics_only) {
  const size_t colon = listen.rfind(':');
  char* end = nullptr;
  const long port =
      colon == std::string::npos ? -1 : std::strtol(listen.c_str() + colon + 1, &end, 10);
  if (colon == 0 || port < 0 || port > 65535 || end == listen.c_str() + colon + 1 || *end != '\0')
    return Fail("--listen wants HOST:PORT, not '" + listen + "'", 2);
  std::string host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);  // [::]:8080 as in a URL
  std::vector<std::unique_ptr<CliSession>> sessions = OpenSessions(devices);
  std::vector<CliSession*> views;
  for (const auto& session : sessions) views.push_back(session.get());
  ViewServer view(views, width, !metrics_only);
  for (size_t i = 0; i < sessions.size(); ++i)
    sessions[i]->SetMessageTap([&view, i](uint16_t type, const uint8_t* data, uint32_t len) {
      return view.OnMessage(i, type, data, len);
    });
  sessions.front()->SetEventTap(
      [&view](HostCommDeviceEvent event, const char* text) { view.OnEvent(event, text); });
  std::string error;
  // The address is taken first: one that cannot be served never starts the library.
  if (view.Listen(host, static_cast<int>(port), error) != 0) return Fail(error);
  std::signal(SIGINT, OnSigint);
  // The library's callbacks reach the view until Stop returns: every session stops while it lives.
  auto stop = [&] { AtOnce(sessions.size(), [&](size_t i) { sessions[i]->Disconnect(); }); };
  // Every device or none: one missing from the start would be missing from the metrics unnoticed.
  const std::vector<bool> each = ConnectAll(sessions);
  const bool connected = std::find(each.begin(), each.end(), false) == each.end();
  if (!connected) {
    stop();
    return 1;
  }
  view.Run(seconds, g_interrupted);
  stop();
  return 0;
}
#endif
