// The command-line tools as a user runs them. `kestal` talks to a simulated device that runs
// in this process wherever the test compares bytes (what the device received, the frames it
// sent, the firmware it assembled); `kestal-devsim` runs as a program of its own where its
// options are under test. Every tool run is a child process in its own directory under the
// test's working directory, so each `kestal` run leaves its own log file to look at.
//
// Each `kestal` run starts the library, whose arm link binds UDP 26000 (shared, so several
// runs may overlap), and takes a few seconds because starting and stopping the library take
// at least a second each; runs that do not depend on each other go in parallel.
#include <gtest/gtest.h>

#if defined(KESTAL_CLI_PATH) && defined(KESTAL_DEVSIM_PATH)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Subprocess.h"
#include "common/LittleEndian.h"
#include "devsim/SimDevice.h"
#include "devsim/SimNetworkServer.h"
#include "devsim/SimStorageDevice.h"
#include "protocol/HostCommMsg.h"

using namespace std::chrono;
using kestal::LoadU16;
using kestal::LoadU32;

namespace {

constexpr milliseconds kRunTimeout(30000);
constexpr uint64_t kDiskSize = 52428800;

std::string MakeDir(const std::string& name) {
  const std::filesystem::path path = std::filesystem::current_path() / name;
  std::filesystem::create_directories(path);
  return path.string();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& separator = "\n") {
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = std::min(text.find(separator, begin), text.size());
    lines.push_back(text.substr(begin, end - begin));
    begin = end + separator.size();
  }
  return lines;
}

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// True when sscanf fills every argument from `line` and consumes all of it.
template <typename... Args>
bool ScanWhole(const std::string& line, const std::string& format, Args*... args) {
  int consumed = -1;
  const int filled = std::sscanf(line.c_str(), (format + "%n").c_str(), args..., &consumed);
  return filled == static_cast<int>(sizeof...(Args)) && consumed == static_cast<int>(line.size());
}

// The argument vector of a `kestal` run against 127.0.0.1:port.
std::vector<std::string> Kestal(uint16_t port, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {KESTAL_CLI_PATH, "--host", "127.0.0.1", "--port", std::to_string(port)};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// One tool run in its own directory.
struct ToolRun {
  std::string dir;
  Subprocess process;

  int Start(const std::string& name, const std::vector<std::string>& argv) {
    dir = MakeDir(name);
    return process.Start(argv, dir, "run");
  }
  std::string Log() const { return ReadText(dir + "/LogKestalHostCommService.txt"); }
  std::string Path(const std::string& file) const { return dir + "/" + file; }
};
using Runs = std::vector<std::unique_ptr<ToolRun>>;

// Waits for runs that go on in parallel, noting each one's end as it comes (so their
// durations are their own); those still running after kRunTimeout are killed.
void WaitAll(const Runs& runs) {
  const auto deadline = steady_clock::now() + kRunTimeout;
  for (;;) {
    bool running = false;
    for (const auto& run : runs) running = run->process.Running() || running;
    if (!running || steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(milliseconds(10));
  }
  for (const auto& run : runs) run->process.Wait(milliseconds(0));
}

// Starts `argv` as a new entry of `runs`; fails the test when it cannot be started. Call
// through ASSERT_NO_FATAL_FAILURE.
void StartRun(Runs& runs, const std::string& name, const std::vector<std::string>& argv) {
  runs.push_back(std::make_unique<ToolRun>());
  ASSERT_EQ(runs.back()->Start(name, argv), 0) << "cannot start " << argv[0];
}

// The simulated device on TCP 127.0.0.1 and an ephemeral port, in this process.
struct NetworkDevice {
  explicit NetworkDevice(const SimDeviceOptions& options = SimDeviceOptions()) : device(options), server(device) {}
  SimDevice device;
  SimNetworkServer server;  // stops the device when it stops
};

// The simulated device behind the storage mailbox on a disk image, in this process.
struct StorageDevice {
  StorageDevice(const SimDeviceOptions& options, const std::string& path) : device(options), disk(path) {}
  ~StorageDevice() {
    // The device's workers write through the disk: they go first.
    device.Stop();
    disk.Stop();
  }
  int Start() {
    if (disk.Start([this](uint16_t t, const uint8_t* p, uint32_t l) { device.OnHostMessage(t, p, l); }) < 0) return -1;
    device.Start([this](uint16_t t, const uint8_t* p, uint32_t l) { return disk.Send(t, p, l); });
    return 0;
  }
  SimDevice device;
  SimStorageDevice disk;
};

// A kestal-devsim process on 127.0.0.1 and a free port. Call StartDevsim through
// ASSERT_NO_FATAL_FAILURE.
struct DevsimRun {
  ToolRun run;
  uint16_t port = 0;
};

void StartDevsim(DevsimRun& sim, const std::string& name, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {KESTAL_DEVSIM_PATH, "--listen",     "127.0.0.1", "--port", "0",
                                   "--quiet",          "--duration-s", "60"};
  argv.insert(argv.end(), options.begin(), options.end());
  ASSERT_EQ(sim.run.Start(name, argv), 0);
  ASSERT_TRUE(sim.run.process.WaitForStdout("\n", milliseconds(5000))) << sim.run.process.Stderr();
  const std::string out = sim.run.process.Stdout();
  unsigned port = 0;
  ASSERT_TRUE(ScanWhole(out.substr(0, out.find('\n')), "kestal-devsim: listening on 127.0.0.1:%5u", &port)) << out;
  ASSERT_TRUE(port != 0 && port <= 0xFFFF) << out;
  sim.port = static_cast<uint16_t>(port);
}

// An order as the device received it.
struct SeenOrder {
  uint16_t seq_no;
  uint32_t param_len;
  std::vector<uint8_t> params;
};

std::vector<SeenOrder> OrdersOfType(const SimDevice& device, uint16_t sub_type) {
  std::vector<SeenOrder> out;
  for (const auto& m : device.HostMessages()) {
    if (m.type != Order || m.payload.size() < OrderLayout::kHeaderLength) continue;
    const uint8_t* p = m.payload.data();
    if (LoadU16(p + OrderLayout::kSubMsgType) != sub_type) continue;
    out.push_back({LoadU16(p + OrderLayout::kSeqNo), LoadU32(p + OrderLayout::kParamLen),
                   std::vector<uint8_t>(m.payload.begin() + OrderLayout::kParams, m.payload.end())});
  }
  return out;
}

// A listener on 127.0.0.1 that takes connections (the kernel completes them) but never reads
// or answers: a device that is there and silent. Once destroyed its port is a closed one.
class SilentListener {
 public:
  SilentListener() {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(m_fd, 8) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      m_port = ntohs(addr.sin_port);
  }
  ~SilentListener() {
    if (m_fd >= 0) close(m_fd);
  }
  uint16_t Port() const { return m_port; }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

// Expects a failed run: exit `code`, nothing on stdout, exactly `line` (one line) on stderr.
void ExpectErrorLine(const ToolRun& run, int code, const std::string& line) {
  SCOPED_TRACE(run.process.Describe());
  EXPECT_EQ(run.process.ExitCode(), code);
  EXPECT_EQ(run.process.Stdout(), "");
  EXPECT_EQ(run.process.Stderr(), "kestal: " + line + "\n");
}

// Expects a run that ended by itself with exit 0 and nothing on stderr.
void ExpectSuccess(const ToolRun& run) {
  EXPECT_FALSE(run.process.TimedOut()) << run.process.Describe();
  EXPECT_EQ(run.process.ExitCode(), 0) << run.process.Describe();
  EXPECT_EQ(run.process.Stderr(), "") << run.process.Describe();
}

// ---------------------------------------------------------------------------------------------
// Orders

struct OrderCase {
  std::vector<std::string> args;  // after --host and --port
  uint16_t sub_type;
  std::vector<uint8_t> params;  // what the device must receive after the order header
  uint8_t comm_type = 1;        // what the library tells the device when it connects
};

SimDeviceOptions OrderDeviceOptions() {
  SimDeviceOptions o;
  o.image_size = 4096;  // start-scan leaves the device streaming; keep it light
  o.piece_data_len = 4096;
  o.fpga_temp_raw = 6789;
  const uint8_t app[4] = {3, 1, 200, 26};
  const uint8_t fpga[4] = {9, 8, 77, 5};
  std::memcpy(o.app_version, app, sizeof app);
  std::memcpy(o.fpga_version, fpga, sizeof fpga);
  return o;
}

// The one line `kestal order` prints, with the detail decoded from the device's own data.
std::string ExpectedAck(const std::string& name, uint16_t seq_no, uint16_t sub_type, const SimDevice& device) {
  std::string line = "ACK " + name + " seq_no=" + std::to_string(seq_no);
  if (sub_type == GetDeviceStaticInfo) line += ": app version 3.1.200.0026, fpga version 9.8.77.0005";
  if (sub_type == GetFpgaTemp) line += ": fpga temperature 27.89 C";
  if (sub_type == GetSensorRegMap) {
    // The reply data starts at ACK offset 10; the decoded bytes are at these ACK offsets.
    const std::vector<uint8_t> map = device.SensorMap();
    auto at = [&](size_t ack_offset) -> unsigned { return map.at(ack_offset - 10); };
    char text[160];
    std::snprintf(text, sizeof text,
                  ": roi_height=%02x %02x start=%02x %02x flip=%02x exposure=%02x %02x %02x gain=%02x temp=%02x %02x",
                  at(11), at(12), at(13), at(14), at(50), at(52), at(53), at(54), at(113), at(136), at(137));
    line += text;
  }
  return line + "\n";
}

TEST(KestalCli, EveryOrderPrintsItsDecodedAckAndReachesTheDeviceWithItsParameters) {
  // Every order name of the tool (one case each), plus parameters at their edges.
  const std::vector<OrderCase> cases = {
      {{"order", "heartbeat"}, HeartBeat, {}},
      {{"order", "start-scan"}, StartScan, {}},
      {{"order", "stop-scan"}, StopScan, {}},
      {{"order", "exposure", "100"}, SetExposure, {100, 0, 0, 0}},
      {{"order", "gain", "0x12345"}, SetGain, {0x45, 0x23, 0x01, 0x00}},
      {{"order", "trigger-single"}, TriggerSingle, {}},
      {{"order", "trigger-continue"}, TriggerContinue, {}},
      {{"order", "enter-original"}, EnterOriginalImage, {}},
      {{"order", "enter-y"}, EnterYImage, {}},
      {{"order", "sensor-reg", "1", "2"}, SetSensorReg, {1, 0, 2, 0}},
      {{"order", "sensor-map"}, GetSensorRegMap, {}},
      {{"order", "static-info"}, GetDeviceStaticInfo, {}},
      {{"order", "fpga-temp"}, GetFpgaTemp, {}},
      {{"order", "exposure", "4294967295", "--timeout-ms", "5000"}, SetExposure, {0xFF, 0xFF, 0xFF, 0xFF}},
      {{"order", "sensor-reg", "0x3012", "0xFFFF"}, SetSensorReg, {0x12, 0x30, 0xFF, 0xFF}},
      // The second network endpoint.
      {{"--transport", "network-alt", "order", "heartbeat"}, HeartBeat, {}, 3},
  };
  // One device and one run per case.
  std::vector<std::unique_ptr<NetworkDevice>> devices;
  Runs runs;
  for (size_t i = 0; i < cases.size(); ++i) {
    devices.push_back(std::make_unique<NetworkDevice>(OrderDeviceOptions()));
    ASSERT_EQ(devices.back()->server.Start(), 0);
    ASSERT_NO_FATAL_FAILURE(
        StartRun(runs, "order_" + std::to_string(i), Kestal(devices.back()->server.Port(), cases[i].args)));
  }
  WaitAll(runs);

  for (size_t i = 0; i < cases.size(); ++i) {
    const OrderCase& c = cases[i];
    const std::string name = *(std::find(c.args.begin(), c.args.end(), "order") + 1);
    const SimDevice& device = devices[i]->device;
    SCOPED_TRACE(runs[i]->process.Describe());
    ExpectSuccess(*runs[i]);

    // The device got the order once, with the printed sequence number and its parameters
    // (the library's own heartbeats come with other numbers).
    const std::string out = runs[i]->process.Stdout();
    const auto all = OrdersOfType(device, c.sub_type);
    std::vector<SeenOrder> seen;
    for (const auto& o : all)
      if (out == ExpectedAck(name, o.seq_no, c.sub_type, device)) seen.push_back(o);
    ASSERT_EQ(seen.size(), 1u) << "stdout: " << out;
    if (c.sub_type != HeartBeat) {
      EXPECT_EQ(all.size(), 1u);
    }
    EXPECT_EQ(seen[0].param_len, static_cast<uint32_t>(c.params.size()));
    EXPECT_EQ(seen[0].params, c.params);
    // The library told the device which transport it uses when it connected.
    const auto comm_type = OrdersOfType(device, SetCommType);
    ASSERT_GE(comm_type.size(), 1u);
    EXPECT_EQ(comm_type[0].params, (std::vector<uint8_t>{c.comm_type, 0, 0, 0}));
    if (c.sub_type == StartScan) {
      EXPECT_TRUE(device.Scanning());
    }
    if (c.sub_type == EnterYImage) {
      EXPECT_EQ(device.ImageType(), YOriginalImagePiece);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Image frames

struct CaptureCheck {
  uint32_t count;
  uint16_t type;
  uint32_t width;  // of the PGM files
  uint32_t image_size;
};

// `device` computes the expected frames; `observed`, when given, is the device that the run
// talked to, and must have been told to start and to stop scanning.
void CheckCapture(const ToolRun& run, const SimDevice& device, const SimDevice* observed, const std::string& out_dir,
                  const CaptureCheck& c) {
  SCOPED_TRACE(run.process.Describe());
  ExpectSuccess(run);
  const std::string out = run.process.Stdout();
  unsigned count = 0, dropped = 0;
  char dir[256] = {};
  double fps = 0;
  ASSERT_TRUE(!out.empty() && out.back() == '\n' &&
              ScanWhole(out.substr(0, out.size() - 1), "captured %u frames to %255[^:]: %lf fps, %u dropped", &count,
                        dir, &fps, &dropped))
      << out;
  EXPECT_EQ(count, c.count);
  EXPECT_EQ(std::string(dir), out_dir);
  EXPECT_GT(fps, 0.0);
  EXPECT_EQ(dropped, 0u);

  // frame_0001 ... frame_000N: what the device sent, in order. Scanning may have begun
  // before the first frame that was saved, so the frame numbers start wherever the device's
  // counter (header offset 0) stood.
  uint32_t previous = 0;
  const std::string header = "P5\n" + std::to_string(c.width) + " " + std::to_string(c.image_size / c.width) + "\n255\n";
  for (uint32_t i = 1; i <= c.count + 1; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%04u", i);
    const std::string base = run.dir + "/" + out_dir + name;
    if (i > c.count) {
      EXPECT_FALSE(std::filesystem::exists(base + ".raw"));
      break;
    }
    const std::string text = ReadText(base + ".raw");
    const std::vector<uint8_t> raw(text.begin(), text.end());
    ASSERT_EQ(raw.size(), ImagePieceLayout::kImageHeaderLength + c.image_size) << base;
    const uint32_t frame_no = LoadU32(raw.data());
    if (i > 1) {
      EXPECT_EQ(frame_no, previous + 1) << base;
    }
    previous = frame_no;
    EXPECT_EQ(LoadU16(raw.data() + 4), c.type);
    EXPECT_TRUE(raw == device.ExpectedFrame(frame_no, c.type)) << base << " differs from frame " << frame_no;
    EXPECT_EQ(ReadText(base + ".pgm"), header + text.substr(ImagePieceLayout::kImageHeaderLength)) << base;
  }
  if (observed) {
    // Scanning was started and stopped again.
    EXPECT_EQ(OrdersOfType(*observed, StartScan).size(), 1u);
    EXPECT_EQ(OrdersOfType(*observed, StopScan).size(), 1u);
    EXPECT_FALSE(observed->Scanning());
    EXPECT_GE(observed->FramesSent(), c.count);
  }
}

TEST(KestalCli, CaptureWritesTheFramesTheDeviceSentAsRawAndPgmFiles) {
  // Full-size original frames, small Y-original frames cut into many pieces, and the frames of
  // a kestal-devsim process with its seed, image and piece size given on its command line.
  SimDeviceOptions original;
  original.seed = 4242;
  original.frame_rate = 20;
  NetworkDevice a(original);
  SimDeviceOptions y;
  y.seed = 77;
  y.image_size = 64 * 50;
  y.piece_data_len = 1000;
  y.frame_rate = 20;
  NetworkDevice b(y);
  ASSERT_EQ(a.server.Start(), 0);
  ASSERT_EQ(b.server.Start(), 0);
  // The second device streams Y-original frames from the start.
  uint8_t enter_y[8] = {};
  kestal::StoreU16(enter_y + OrderLayout::kSubMsgType, EnterYImage);
  b.device.OnHostMessage(Order, enter_y, sizeof enter_y);
  ASSERT_EQ(b.device.ImageType(), YOriginalImagePiece);
  DevsimRun sim;
  ASSERT_NO_FATAL_FAILURE(
      StartDevsim(sim, "sim_frames", {"--seed", "5", "--image-size", "6400", "--piece-size", "1000", "--fps", "25"}));

  Runs runs;
  ASSERT_NO_FATAL_FAILURE(StartRun(runs, "capture_original",
                                   Kestal(a.server.Port(), {"capture", "3", "--width", "640", "--out", "frames"})));
  ASSERT_NO_FATAL_FAILURE(
      StartRun(runs, "capture_y", Kestal(b.server.Port(), {"capture", "4", "--out", "y", "--width", "64"})));
  ASSERT_NO_FATAL_FAILURE(
      StartRun(runs, "capture_devsim", Kestal(sim.port, {"capture", "3", "--width", "80", "--out", "frames"})));
  WaitAll(runs);
  EXPECT_EQ(sim.run.process.Terminate(milliseconds(5000)), 0);
  {
    SCOPED_TRACE("original frames");
    CheckCapture(*runs[0], a.device, &a.device, "frames", {3, OriginalImagePiece, 640, original.image_size});
  }
  {
    SCOPED_TRACE("Y-original frames");
    CheckCapture(*runs[1], b.device, &b.device, "y", {4, YOriginalImagePiece, 64, y.image_size});
  }
  {
    // The same frames as a device with that seed and image size, whatever the piece size.
    SCOPED_TRACE("kestal-devsim frames");
    SimDeviceOptions same;
    same.seed = 5;
    same.image_size = 6400;
    CheckCapture(*runs[2], SimDevice(same), nullptr, "frames", {3, OriginalImagePiece, 80, same.image_size});
  }
}

// ---------------------------------------------------------------------------------------------
// Firmware

// The progress values drawn on stdout ("[####....]  42%"), in order.
std::vector<int> ProgressValues(const std::string& out) {
  std::vector<int> values;
  for (const auto& line : SplitLines(out, "\r")) {
    for (const auto& part : SplitLines(line)) {
      int value = -1;
      if (part.size() > 41 && part[0] == '[' && ScanWhole(part.substr(41), "] %d%%", &value)) values.push_back(value);
    }
  }
  return values;
}

TEST(KestalCli, FirmwareReachesOneHundredPercentWithAByteIdenticalFileOnTheDevice) {
  NetworkDevice accepting;
  SimDeviceOptions small;
  small.max_firmware_len = 100000;
  NetworkDevice refusing(small);
  ASSERT_EQ(accepting.server.Start(), 0);
  ASSERT_EQ(refusing.server.Start(), 0);

  std::vector<uint8_t> file(200003);  // four chunks, the last one short
  uint32_t x = 11;
  for (auto& b : file) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  WriteBytes(MakeDir("firmware_ok") + "/fw.bin", file);
  WriteBytes(MakeDir("firmware_refused") + "/fw.bin", file);
  Runs runs;
  ASSERT_NO_FATAL_FAILURE(
      StartRun(runs, "firmware_ok", Kestal(accepting.server.Port(), {"firmware", "fw.bin", "--type", "5"})));
  ASSERT_NO_FATAL_FAILURE(StartRun(runs, "firmware_refused", Kestal(refusing.server.Port(), {"firmware", "fw.bin"})));
  WaitAll(runs);
  {
    const ToolRun& ok = *runs[0];
    SCOPED_TRACE(ok.process.Describe());
    ExpectSuccess(ok);
    const std::string out = ok.process.Stdout();
    const std::vector<int> progress = ProgressValues(out);
    ASSERT_FALSE(progress.empty()) << out;
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << out;
    EXPECT_EQ(progress.back(), 100);
    EXPECT_EQ(std::count(progress.begin(), progress.end(), 100), 1) << "100 % only once the file is whole";
    EXPECT_NE(out.find("] 100%\nfirmware of 200003 bytes sent\n"), std::string::npos) << out;

    EXPECT_TRUE(accepting.device.FirmwareComplete());
    EXPECT_TRUE(accepting.device.FirmwareCheckOk());
    EXPECT_TRUE(accepting.device.FirmwareImage() == file) << "the device assembled a different file";
    // One update: every chunk carries the same sequence number and the requested type.
    std::set<uint16_t> seq_nos, types;
    for (const auto& m : accepting.device.HostMessages()) {
      if (m.type != UpdateFirmware) continue;
      seq_nos.insert(LoadU16(m.payload.data() + FirmwareChunkLayout::kSeqNo));
      types.insert(LoadU16(m.payload.data() + FirmwareChunkLayout::kType));
    }
    EXPECT_EQ(seq_nos.size(), 1u);
    EXPECT_EQ(types, std::set<uint16_t>{5});
  }
  // A device that refuses the file: the refusal, not a success and not a timeout.
  const Subprocess& refused = runs[1]->process;
  SCOPED_TRACE(refused.Describe());
  EXPECT_FALSE(refused.TimedOut());
  EXPECT_EQ(refused.ExitCode(), 1);
  EXPECT_EQ(refused.Stderr(), "kestal: the device refused the firmware (ack code 2)\n");
  EXPECT_EQ(refused.Stdout().find("100%"), std::string::npos);
  EXPECT_FALSE(refusing.device.FirmwareComplete());
}

// ---------------------------------------------------------------------------------------------
// The storage transport

struct DumpLine {
  uint32_t tag;
  uint32_t seq_no;
  uint32_t seq_no_inv;
  uint32_t msg_type;
  uint32_t data_len;
};

// The records of a volume dump file: one line per 32-byte slot, each ending in CR LF.
std::vector<DumpLine> ParseDump(const std::string& path) {
  const std::string text = ReadText(path);
  EXPECT_EQ(text.substr(text.size() < 2 ? 0 : text.size() - 2), "\r\n") << path;
  std::vector<DumpLine> out;
  for (const auto& l : SplitLines(text, "\r\n")) {
    unsigned slot, tag, seq_no, seq_no_inv, start, msg_type, data_len, crc;
    if (!ScanWhole(l, "0x%x: tag[%x], seq_no[%x/%x], start[%x], msg[%x/%x], crc[%x]", &slot, &tag, &seq_no,
                   &seq_no_inv, &start, &msg_type, &data_len, &crc) ||
        slot != out.size() * 32) {
      ADD_FAILURE() << path << ": unexpected line '" << l << "'";
      break;
    }
    out.push_back({tag, seq_no, seq_no_inv, msg_type, data_len});
  }
  return out;
}

TEST(KestalCli, StorageTransportCarriesAnOrderAndDumpsTheMailbox) {
  const std::string image = (std::filesystem::current_path() / "disk.img").string();
  { std::ofstream create(image, std::ios::binary | std::ios::trunc); }
  std::filesystem::resize_file(image, kDiskSize);
  SimDeviceOptions options;
  options.fpga_temp_raw = 5555;
  StorageDevice sim(options, image);
  ASSERT_EQ(sim.Start(), 0);

  // kestal-devsim's own storage mode on an image that it creates, at the same time.
  const std::string devsim_image = (std::filesystem::current_path() / "devsim-disk.img").string();
  ToolRun devsim;
  ASSERT_EQ(devsim.Start("sim_storage", {KESTAL_DEVSIM_PATH, "--storage", devsim_image, "--create-image", "--quiet",
                                         "--duration-s", "60"}),
            0);
  ASSERT_TRUE(
      devsim.process.WaitForStdout("kestal-devsim: serving the mailbox on " + devsim_image + "\n", milliseconds(5000)))
      << devsim.process.Stdout() << devsim.process.Stderr();
  EXPECT_EQ(std::filesystem::file_size(devsim_image), kDiskSize);

  // The network options are given but unused: the storage transport dials nothing.
  Runs runs;
  ASSERT_NO_FATAL_FAILURE(
      StartRun(runs, "storage_order", Kestal(1, {"--transport", "storage", "--disk", image, "order", "fpga-temp"})));
  ASSERT_NO_FATAL_FAILURE(StartRun(
      runs, "storage_devsim_order", Kestal(1, {"--transport", "storage", "--disk", devsim_image, "order", "static-info"})));
  WaitAll(runs);
  EXPECT_EQ(devsim.process.Terminate(milliseconds(5000)), 0);
  const auto seen = OrdersOfType(sim.device, GetFpgaTemp);
  ASSERT_EQ(seen.size(), 1u);
  ExpectSuccess(*runs[0]);
  EXPECT_EQ(runs[0]->process.Stdout(),
            "ACK fpga-temp seq_no=" + std::to_string(seen[0].seq_no) + ": fpga temperature 15.55 C\n");
  const auto comm_type = OrdersOfType(sim.device, SetCommType);
  ASSERT_GE(comm_type.size(), 1u);
  EXPECT_EQ(comm_type[0].params, std::vector<uint8_t>(4, 0));
  EXPECT_EQ(runs[1]->process.ExitCode(), 0) << runs[1]->process.Stderr();
  EXPECT_TRUE(std::regex_match(runs[1]->process.Stdout(),
                               std::regex("ACK static-info seq_no=[0-9]{1,5}: app version 1\\.2\\.3\\.0045, "
                                          "fpga version 2\\.0\\.7\\.0012\n")))
      << runs[1]->process.Stdout();
  size_t orders_before_dump = 0;
  for (const auto& m : sim.device.HostMessages()) orders_before_dump += m.type == Order;

  Runs dumps;
  ASSERT_NO_FATAL_FAILURE(
      StartRun(dumps, "storage_dump", Kestal(1, {"--transport", "storage", "--disk", image, "dump-volume"})));
  WaitAll(dumps);
  const ToolRun& dump = *dumps[0];
  SCOPED_TRACE(dump.process.Describe());
  ExpectSuccess(dump);
  std::vector<std::string> names = SplitLines(dump.process.Stdout());
  ASSERT_EQ(names.size(), 2u) << dump.process.Stdout();
  std::sort(names.begin(), names.end());
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(std::regex_match(names[i], std::regex("volume[0-9]{8}_[0-9]{6}_" + std::to_string(i) + "\\.txt")))
        << names[i];
  }

  // Host to device (type 0): the init record, then the orders, numbered in sequence.
  const auto host_to_device = ParseDump(dump.Path(names[0]));
  const auto device_to_host = ParseDump(dump.Path(names[1]));
  ASSERT_EQ(host_to_device.size(), 4096u);
  ASSERT_EQ(device_to_host.size(), 4096u);
  constexpr uint32_t kTag = 0x234973a1;
  size_t host_orders = 0;
  for (uint32_t i = 0; i < host_to_device.size(); ++i) {
    const DumpLine& l = host_to_device[i];
    if (l.tag != kTag) continue;
    EXPECT_EQ(l.seq_no, i) << "slot " << i;
    EXPECT_EQ(l.seq_no_inv, ~l.seq_no) << "slot " << i;
    // The init record, then orders, and arm messages when something sends to the arm link's
    // port meanwhile.
    EXPECT_TRUE(i == 0 ? l.msg_type == 0u : l.msg_type == Order || l.msg_type == ArmMsg)
        << "slot " << i << ": type " << l.msg_type;
    host_orders += i > 0 && l.msg_type == Order;
  }
  EXPECT_GE(host_orders, orders_before_dump);
  size_t orders_seen = 0;
  for (const auto& m : sim.device.HostMessages()) orders_seen += m.type == Order;
  EXPECT_LE(host_orders, orders_seen);
  // Device to host: ACKs and controller status records of 56 bytes.
  size_t acks = 0, status = 0;
  for (const DumpLine& l : device_to_host) {
    if (l.tag != kTag) continue;
    EXPECT_EQ(l.seq_no_inv, ~l.seq_no);
    acks += l.msg_type == Order;
    status += l.msg_type == ControllerStatus && l.data_len == ControllerStatusLayout::kLength;
  }
  EXPECT_GE(acks, orders_before_dump);
  EXPECT_GE(status, 1u);
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST(KestalCli, EveryErrorPrintsOneLineAndExitsNonZero) {
  uint16_t closed = 0;
  {
    SilentListener gone;
    closed = gone.Port();
  }
  ASSERT_NE(closed, 0);
  SilentListener silent;
  ASSERT_NE(silent.Port(), 0);
  const std::string missing_disk = (std::filesystem::current_path() / "no-such-dir" / "disk.img").string();

  struct ErrorCase {
    std::string dir;
    std::vector<std::string> argv;
    int code;
    std::string line;
  };
  const std::string cli = KESTAL_CLI_PATH;
  const std::vector<ErrorCase> cases = {
      // Failures at run time: exit 1.
      {"no_storage_device",
       Kestal(1, {"--transport", "storage", "--disk", missing_disk, "--connect-timeout-ms", "1000", "order", "heartbeat"}),
       1, "no storage device found (" + missing_disk + ")"},
      {"port_closed", Kestal(closed, {"--connect-timeout-ms", "1500", "order", "heartbeat"}), 1,
       "cannot connect to 127.0.0.1:" + std::to_string(closed) + " (connection refused or unreachable)"},
      {"device_silent", Kestal(silent.Port(), {"order", "heartbeat", "--timeout-ms", "500"}), 1,
       "timed out waiting for the ACK of heartbeat"},
      {"firmware_missing", Kestal(1, {"firmware", "missing.bin"}), 1, "cannot read missing.bin"},
      {"firmware_empty", Kestal(1, {"firmware", "empty.bin"}), 1, "empty.bin is empty"},
      // Bad arguments: exit 2, before anything is started.
      {"bad_order", Kestal(1, {"order", "bogus"}), 2, "unknown order 'bogus' (see kestal order --help)"},
      {"missing_parameter", Kestal(1, {"order", "exposure"}), 2, "exposure takes 1 parameter(s)"},
      {"parameter_too_large", Kestal(1, {"order", "sensor-reg", "1", "70000"}), 2, "bad parameter '70000'"},
      {"negative_parameter", Kestal(1, {"order", "gain", "-1"}), 2, "bad parameter '-1'"},
      {"bad_option", {cli, "--host", "127.0.0.1", "--port", "1", "--bogus", "order", "heartbeat"}, 2,
       "unknown option '--bogus'"},
      {"bad_transport", {cli, "--transport", "usb", "--host", "127.0.0.1", "--port", "1", "watch"}, 2,
       "unknown transport 'usb'"},
      {"bad_port", {cli, "--host", "127.0.0.1", "--port", "70000", "watch"}, 2, "bad --port '70000'"},
      {"missing_value", {cli, "--host"}, 2, "--host needs a value"},
      {"bad_command", Kestal(1, {"frobnicate"}), 2, "unknown command 'frobnicate' (see kestal --help)"},
      {"dump_needs_storage", Kestal(1, {"dump-volume"}), 2, "dump-volume needs --transport storage"},
      {"capture_zero", Kestal(1, {"capture", "0"}), 2, "capture takes one frame count above 0"},
      {"capture_bad_width", Kestal(1, {"capture", "2", "--width", "0"}), 2, "bad --width '0'"},
      {"watch_bad_seconds", Kestal(1, {"watch", "--seconds", "soon"}), 2, "bad --seconds 'soon'"},
      {"bad_timeout", Kestal(1, {"order", "heartbeat", "--timeout-ms", "x"}), 2, "bad --timeout-ms 'x'"},
  };

  WriteBytes(MakeDir("firmware_empty") + "/empty.bin", {});
  Runs runs;
  for (const auto& c : cases) ASSERT_NO_FATAL_FAILURE(StartRun(runs, c.dir, c.argv));
  WaitAll(runs);
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_FALSE(runs[i]->process.TimedOut()) << runs[i]->process.Describe();
    ExpectErrorLine(*runs[i], cases[i].code, cases[i].line);
    // Bad arguments are refused before the library starts: no connection, no lengthy stop.
    if (cases[i].code == 2) {
      EXPECT_LT(runs[i]->process.Seconds(), 1.0) << runs[i]->process.Describe();
    }
  }

  // What the library saw behind the one-line messages.
  const std::string refused_log = runs[1]->Log();
  EXPECT_NE(refused_log.find("Connected Error"), std::string::npos);
  EXPECT_EQ(refused_log.find("Connected OK"), std::string::npos);
  EXPECT_NE(runs[2]->Log().find("Connected OK"), std::string::npos) << "the silent device was connected";
}

// ---------------------------------------------------------------------------------------------
// The simulator program and its faults

TEST(KestalDevsim, FaultOptionsShowInWhatTheLibraryLogsAndDelivers) {
  const auto begin = steady_clock::now();
  // Faults every second during a four-second watch; the stall case is separate (below).
  struct FaultCase {
    std::string name;
    std::vector<std::string> options;
    std::string log_line;  // what the library logs, at least `times` times
    int times;
  };
  const std::vector<FaultCase> cases = {
      {"garbage", {"--fault", "garbage", "--fault-every-ms", "1000"}, "Found discontinue start at 16\n", 2},
      {"bad-checksum", {"--fault", "bad-checksum", "--fault-every-ms", "1000"}, "Build message, CRC error:", 2},
      {"oversize", {"--fault", "oversize", "--fault-every-ms", "1000"},
       "Build message, payload_length is too large:70000\n", 2},
      {"drop", {"--fault", "drop", "--fault-every-ms", "1000"}, "] Connected OK\n", 2},  // dialled again
      {"states", {"--scanner-state", "3", "--arm-state", "6", "--status-ms", "200", "--fpga-temp", "7000"},
       "] Connected OK\n", 1},
  };

  // The stall lasts half the period and begins once a host is connected after the first
  // period: the host connects after 6 s, and the device then reads nothing for 3 s.
  DevsimRun stall;
  ASSERT_NO_FATAL_FAILURE(StartDevsim(stall, "sim_stall", {"--fault", "stall", "--fault-every-ms", "6000"}));
  std::vector<std::unique_ptr<DevsimRun>> sims;
  for (const auto& c : cases) {
    sims.push_back(std::make_unique<DevsimRun>());
    ASSERT_NO_FATAL_FAILURE(StartDevsim(*sims.back(), "sim_" + c.name, c.options));
  }
  Runs watches;
  for (size_t i = 0; i < cases.size(); ++i)
    ASSERT_NO_FATAL_FAILURE(
        StartRun(watches, "watch_" + cases[i].name, Kestal(sims[i]->port, {"watch", "--seconds", "4"})));
  std::this_thread::sleep_until(begin + milliseconds(6300));
  ASSERT_NO_FATAL_FAILURE(
      StartRun(watches, "order_stalled", Kestal(stall.port, {"order", "heartbeat", "--timeout-ms", "1000"})));
  WaitAll(watches);
  // Devsim ends cleanly on SIGTERM and only then flushes its fault lines.
  for (auto& s : sims) s->run.process.Terminate(milliseconds(5000));
  stall.run.process.Terminate(milliseconds(5000));

  for (size_t i = 0; i < cases.size(); ++i) {
    const FaultCase& c = cases[i];
    const ToolRun& w = *watches[i];
    const Subprocess& s = sims[i]->run.process;
    SCOPED_TRACE(c.name + ": " + w.process.Describe());
    ASSERT_FALSE(w.process.TimedOut());
    EXPECT_EQ(w.process.ExitCode(), 0) << w.process.Stderr();
    EXPECT_EQ(s.ExitCode(), 0) << s.Stderr();
    EXPECT_NE(s.Stdout().find("kestal-devsim: stopped\n"), std::string::npos);
    const std::string out = w.process.Stdout();
    const std::string log = w.Log();
    EXPECT_GE(Count(log, c.log_line), c.times) << log;
    if (c.name != "drop") {
      EXPECT_EQ(Count(log, "] Connected OK\n"), 1) << log;
      EXPECT_EQ(out.rfind("event: Connecting...\nevent: Connected OK\n", 0), 0u) << out;
    }
    if (c.name != "states") {
      EXPECT_GE(Count(s.Stdout(), "kestal-devsim: injected fault " + c.name + "\n"), 2) << s.Stdout();
    }
    if (c.name == "garbage") {
      // The bytes before the start tag are skipped and the frame behind them delivered: the
      // fault's all-zero status record reaches the application.
      EXPECT_NE(out.find("temp=-40.00 C\n"), std::string::npos) << out;
    } else if (c.name == "bad-checksum" || c.name == "oversize") {
      // The frame is dropped with the rest of the receive cache; the connection stays.
      EXPECT_GE(Count(log, "Clear recv_cache_len at 0\n"), 2) << log;
      EXPECT_EQ(out.find("temp=-40.00 C"), std::string::npos) << out;
    } else if (c.name == "drop") {
      // A connection closed mid-frame is dialled again.
      EXPECT_GE(Count(out, "event: Connected OK\n"), 2) << out;
    } else {
      // The device's states reach the status line in the terminal's encoding, and a
      // controller status comes every 200 ms with the given temperature.
      EXPECT_NE(out.find("status: 扫描头：IO错误, 0fps; 关节臂：设备通讯超时, 0fps\n"), std::string::npos) << out;
      EXPECT_NE(out.find("controller: scanner=3 arm=6 "), std::string::npos) << out;
      const int records = Count(out, "\ncontroller: ");
      EXPECT_GE(records, 6) << out;
      EXPECT_EQ(Count(out, " temp=30.00 C\n"), records) << out;
    }
  }

  // The stalled device reads the order only after the order has timed out.
  const ToolRun& stalled = *watches.back();
  SCOPED_TRACE(stalled.process.Describe());
  ASSERT_FALSE(stalled.process.TimedOut());
  ExpectErrorLine(stalled, 1, "timed out waiting for the ACK of heartbeat");
  EXPECT_NE(stalled.Log().find("Connected OK"), std::string::npos);
  EXPECT_NE(stall.run.process.Stdout().find("kestal-devsim: injected fault stall\n"), std::string::npos)
      << stall.run.process.Stdout();
}

// ---------------------------------------------------------------------------------------------
// The demo

TEST(KestalCli, DemoRunsEveryStepAgainstTheSimulator) {
  NetworkDevice sim;
  ASSERT_EQ(sim.server.Start(), 0);
  ToolRun demo;
  ASSERT_EQ(demo.Start("demo", Kestal(sim.server.Port(), {"demo"})), 0);
  demo.process.Wait(milliseconds(60000));
  SCOPED_TRACE(demo.process.Describe());
  ExpectSuccess(demo);
  const std::string out = demo.process.Stdout();

  // The sections in order.
  size_t at = 0;
  for (const std::string& section :
       {"== connecting to 127.0.0.1:" + std::to_string(sim.server.Port()) + "\n",
        std::string("  event: Connected OK\n"), std::string("== status line, once a second\n"),
        std::string("  status: 扫描头：工作正常, 0fps; 关节臂：工作正常, 0fps\n"), std::string("== orders\n"),
        std::string("  ACK static-info seq_no="), std::string("  ACK fpga-temp seq_no="),
        std::string("  ACK sensor-map seq_no="), std::string("== ten image frames\n"),
        std::string(" frames per second, 0 dropped\n"), std::string("== firmware update of 300000 bytes\n"),
        std::string("] 100%\n"), std::string("== stopping\n"), std::string("== demo finished\n")}) {
    const size_t found = out.find(section, at);
    ASSERT_NE(found, std::string::npos) << "'" << section << "' missing or out of order in:\n" << out;
    at = found + section.size();
  }

  // Ten frames with consecutive counters, each the size of a whole frame.
  std::vector<uint32_t> counters;
  for (const auto& line : SplitLines(out)) {
    unsigned index = 0, counter = 0;
    if (ScanWhole(line, "  frame %u: type 3, counter %u, 307280 bytes", &index, &counter)) {
      EXPECT_EQ(index, counters.size() + 1);
      counters.push_back(counter);
    }
  }
  ASSERT_EQ(counters.size(), 10u) << out;
  for (size_t i = 1; i < counters.size(); ++i) EXPECT_EQ(counters[i], counters[i - 1] + 1);

  for (uint16_t sub_type : {GetDeviceStaticInfo, GetFpgaTemp, GetSensorRegMap})
    EXPECT_EQ(OrdersOfType(sim.device, sub_type).size(), 1u) << sub_type;
  EXPECT_FALSE(sim.device.Scanning());
  EXPECT_TRUE(sim.device.FirmwareComplete());
  EXPECT_TRUE(sim.device.FirmwareCheckOk());
  EXPECT_EQ(sim.device.FirmwareImage().size(), 300000u);
}

}  // namespace

#else

TEST(KestalCli, NeedsTheToolTargets) { GTEST_SKIP() << "built without the kestal and kestal-devsim targets"; }

#endif
