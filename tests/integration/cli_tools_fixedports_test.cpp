// The command-line tools as a user runs them, as child processes in directories of their own,
// several at a time: `kestal` against devices simulated in this process (to compare what they got
// or sent) or by `kestal-devsim`.
#include <gtest/gtest.h>

#if defined(KESTAL_CLI_PATH) && defined(KESTAL_DEVSIM_PATH)

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "Subprocess.h"
#include "TestWait.h"
#include "common/LittleEndian.h"
#include "SimSupport.h"
#include "kestal/kestal_c.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceSettings.h"
#include "protocol/HostCommMsg.h"

using namespace std::chrono;

namespace {

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A tool run, started at once in the directory `name` of the working directory; its output in
// `output`.stdout and .stderr there.
struct ToolRun {
  ToolRun(const std::string& name, const std::vector<std::string>& argv,
          const std::string& output = "run")
      : dir((std::filesystem::current_path() / name).string()) {
    std::filesystem::create_directories(dir);
    EXPECT_EQ(p.Start(argv, dir, output), 0) << argv[0];
  }
  std::string File(const std::string& name) const { return FileText(dir + "/" + name); }
  // Waits for a run that must end by itself with exit 0 and nothing on stderr; its stdout.
  std::string Succeeded() {
    p.Wait(milliseconds(30000));
    EXPECT_EQ(p.ExitCode(), 0) << p.Describe() << (p.TimedOut() ? " timed out" : "");
    EXPECT_EQ(p.Stderr(), "") << p.Describe();
    return p.Stdout();
  }
  std::string dir;
  Subprocess p;
};

// `kestal` and `args`; with a port, the device is at 127.0.0.1:port.
std::vector<std::string> Kestal(uint16_t port, std::vector<std::string> args) {
  if (port != 0) args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(port)});
  args.insert(args.begin(), KESTAL_CLI_PATH);
  return args;
}

// The simulated device on 127.0.0.1 and a free port, in this process, reporting its status.
struct NetworkDevice : SimRig {
  explicit NetworkDevice(const SimDeviceOptions& options = SimDeviceOptions())
      : SimRig(SimLink::Network, options) {
    EXPECT_EQ(Start(), 0);
  }
};

// The ACK line of order `name` up to its seq_no: that of the one order that the device received
// with `tail` after the seq_no (sub type, param_len, params); otherwise how many there were.
std::string Ack(NetworkDevice& sim, const std::string& name, const std::vector<uint8_t>& tail) {
  std::vector<std::string> found;
  for (const auto& m : sim.Device().HostMessages())
    if (m.type == Order && m.payload.size() >= 2 &&
        std::vector<uint8_t>(m.payload.begin() + 2, m.payload.end()) == tail)
      found.push_back(std::to_string(kestal::LoadU16(m.payload.data())));
  return "ACK " + name + " seq_no=" +
         (found.size() == 1 ? found[0] : std::to_string(found.size()) + " such orders");
}

TEST(KestalCli, EveryCommandWorksAgainstTheSimulator) {
  // Storage: kestal-devsim on an image that it creates, an order, then the dump; the rest
  // meanwhile.
  const std::string disk = (std::filesystem::current_path() / "disk.img").string();
  ToolRun sim("storage_sim", {KESTAL_DEVSIM_PATH, "--storage", disk, "--create-image",
                              "--fpga-temp", "5555", "--quiet", "--duration-s", "60"});
  ASSERT_TRUE(sim.p.WaitForStdout("serving the mailbox on " + disk + "\n", milliseconds(5000)))
      << sim.p.Stderr();
  ToolRun storage_order(
      "storage_order", Kestal(0, {"--transport", "storage", "--disk", disk, "order", "fpga-temp"}));

  // One device per order, so that the run's order is the only one of its kind there.
  NetworkDevice exposure_device, reg_device, info_device;
  ToolRun exposure("exposure",
                   Kestal(exposure_device.Server().Port(), {"order", "exposure", "100"}));
  ToolRun reg("register", Kestal(reg_device.Server().Port(), {"--transport", "network-alt", "order",
                                                              "sensor-reg", "0x3012", "010"}));
  ToolRun info("info", Kestal(info_device.Server().Port(), {"order", "static-info"}));
  SimDeviceOptions small;  // small frames in many pieces
  small.image_size = 64 * 50;
  small.piece_data_len = 1000;
  NetworkDevice camera(small);
  ToolRun capture("capture", Kestal(camera.Server().Port(),
                                    {"capture", "3", "--width", "64", "--out", "frames"}));
  std::string file(200003, '\0');  // four chunks, the last one short
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 131 + (i >> 9));
  std::ofstream(std::filesystem::current_path() / "fw.bin", std::ios::binary) << file;
  NetworkDevice updated;
  ToolRun firmware("firmware", Kestal(updated.Server().Port(), {"firmware", "../fw.bin"}));
  NetworkDevice watched;
  ToolRun watch("watch", Kestal(watched.Server().Port(), {"watch", "--seconds", "2"}));
#ifdef KESTAL_SAMPLE_PATH
  // The C sample sets its device address through the C interface: proven here first, so that a
  // broken setter can never let the sample dial the default device address from this host.
  NetworkDevice sampled;
  ASSERT_EQ(kestal_set_network_endpoint(KESTAL_COMM_NETWORK, "127.0.0.1", sampled.Server().Port()),
            0);
  ASSERT_EQ(kestal::GetServiceSettings().device_ip_type1, "127.0.0.1");
  ASSERT_EQ(kestal::GetServiceSettings().device_port_type1, sampled.Server().Port());
  ToolRun sample("sample",
                 {KESTAL_SAMPLE_PATH, "127.0.0.1", std::to_string(sampled.Server().Port())});
#endif

  const std::string ack = storage_order.Succeeded();
  EXPECT_TRUE(std::regex_match(
      ack, std::regex("ACK fpga-temp seq_no=[0-9]+: fpga temperature 15\\.55 C\n")))
      << ack;
  ToolRun dump("storage_dump",
               Kestal(0, {"--transport", "storage", "--disk", disk, "dump-volume"}));

  // The decoded ACK of the order that reached the device with its parameters (010 is decimal).
  EXPECT_EQ(exposure.Succeeded(),
            Ack(exposure_device, "exposure", {SetExposure, 0, 4, 0, 0, 0, 100, 0, 0, 0}) + "\n");
  EXPECT_EQ(reg.Succeeded(),
            Ack(reg_device, "sensor-reg", {SetSensorReg, 0, 4, 0, 0, 0, 0x12, 0x30, 10, 0}) + "\n");
  EXPECT_EQ(info.Succeeded(),
            Ack(info_device, "static-info", {GetDeviceStaticInfo, 0, 0, 0, 0, 0}) +
                ": app version 1.2.3.0045, fpga version 2.0.7.0012\n");

  // The frames that the device sent, in a row, as raw files and as PGM; then scanning stops.
  const std::string out = capture.Succeeded();
  EXPECT_TRUE(
      std::regex_match(out, std::regex("captured 3 frames to frames: [0-9.]+ fps, 0 dropped\n")))
      << out;
  const auto first = kestal::LoadU32(
      reinterpret_cast<const uint8_t*>(capture.File("frames/frame_0001.raw").data()));
  for (uint32_t i = 0; i < 3; ++i) {
    const std::string base = "frames/frame_000" + std::to_string(i + 1);
    const std::string raw = capture.File(base + ".raw");
    const std::vector<uint8_t> frame = camera.Device().ExpectedFrame(first + i, OriginalImagePiece);
    EXPECT_TRUE(raw == std::string(frame.begin(), frame.end()))
        << base << " is not frame " << first + i;
    EXPECT_EQ(capture.File(base + ".pgm"),
              "P5\n64 50\n255\n" + raw.substr(ImagePieceLayout::kImageHeaderLength));
  }
  EXPECT_FALSE(camera.Device().Scanning());
  // Those frames are refused to a second run; with --overwrite, one frame replaces them all, as PGM
  // of the image header's width (640), and no rate is made up from one frame.
  ToolRun refused("capture/refused",
                  Kestal(camera.Server().Port(), {"capture", "1", "--out", "../frames"}));
  EXPECT_EQ(refused.p.Wait(milliseconds(30000)), 2) << refused.p.Describe();
  EXPECT_NE(refused.p.Stderr().find("already holds frames (frame_0001."), std::string::npos)
      << refused.p.Stderr();
  ToolRun again("capture/again",
                Kestal(camera.Server().Port(), {"capture", "1", "--overwrite", "--out=../frames"}));
  EXPECT_EQ(again.Succeeded(), "captured 1 frame to ../frames, 0 dropped\n");
  const std::string raw = capture.File("frames/frame_0001.raw"),
                    pgm = capture.File("frames/frame_0001.pgm");
  EXPECT_TRUE(pgm == "P5\n640 5\n255\n" + raw.substr(ImagePieceLayout::kImageHeaderLength))
      << pgm.substr(0, 16);
  EXPECT_FALSE(std::filesystem::exists(capture.dir + "/frames/frame_0002.raw"))
      << "an earlier frame is left";

  EXPECT_NE(firmware.Succeeded().find("] 100%\nfirmware of 200003 bytes sent\n"),
            std::string::npos);
  EXPECT_TRUE(updated.Device().FirmwareImage() == std::vector<uint8_t>(file.begin(), file.end()))
      << "another file";

  // Connection events, then the decoded controller status, until the time is up.
  const std::string seen = watch.Succeeded();
  EXPECT_NE(seen.find("\ncontroller: scanner=0 arm=0 ", seen.find("event: Connected OK\n")),
            std::string::npos)
      << seen;

#ifdef KESTAL_SAMPLE_PATH
  const std::string c_out = sample.Succeeded();
  EXPECT_TRUE(std::regex_match(
      c_out, std::regex("event: Connecting...\nevent: Connected OK\n(status: [^\n]+\n)+"
                        "ACK fpga-temp seq_no=[0-9]+: fpga temperature 25.00 C\n")))
      << c_out;
#endif

  // The dump: two files of one line per mailbox slot (4096 each way).
  const std::string names = dump.Succeeded();
  const std::string name = "(volume[0-9]{8}_[0-9]{6}_[01]\\.txt)\n";
  std::smatch m;
  ASSERT_TRUE(std::regex_match(names, m, std::regex(name + name))) << names;
  for (int i : {1, 2}) EXPECT_EQ(Count(dump.File(m[i]), "\r\n"), 4096) << m[i];
}

TEST(KestalCli, WatchesSeveralDevicesEachLineNamingItsDevice) {
  // Two devices and one that refuses: that one is reported, the others are watched, exit 1.
  std::deque<NetworkDevice> devices(2);
  const std::string closed = std::to_string(NetworkDevice().Server().Port());
  ToolRun watch("watch_several",
                Kestal(devices[0].Server().Port(),
                       {"--host", "127.0.0.1", "--port", std::to_string(devices[1].Server().Port()),
                        "--host", "127.0.0.1", "--port", closed, "--connect-timeout-ms", "1500",
                        "watch", "--seconds", "2"}));
  EXPECT_EQ(watch.p.Wait(milliseconds(30000)), 1) << watch.p.Describe();
  EXPECT_EQ(watch.p.Stderr(), "kestal: [127.0.0.1:" + closed + "] connect 127.0.0.1:" + closed +
                                  ": connection refused\n");
  const std::string seen = watch.p.Stdout();
  for (auto& device : devices) {
    const std::string tag = "[127.0.0.1:" + std::to_string(device.Server().Port()) + "] ";
    EXPECT_NE(seen.find("\n" + tag + "controller: scanner=0 arm=0 ",
                        seen.find(tag + "event: Connected OK\n")),
              std::string::npos)
        << seen;
  }
}

TEST(KestalCli, ExitCodesAndOneLineErrors) {
  const uint16_t closed = NetworkDevice().Server().Port();  // nothing listens there once it is gone
  NetworkDevice silent;  // takes the connection, then reads nothing
  silent.Server().StallReading(60000);
  struct Case {
    std::vector<std::string> argv;  // every run that could dial names 127.0.0.1
    int code;
    std::string text;  // a regular expression, in stdout for exit 0, else in the one line on stderr
  };
  const std::vector<Case> cases = {
      {Kestal(0, {"--help"}), 0,
       "network \\(default device [0-9.]+:[0-9]+\\), network-alt \\([0-9.]+:[0-9]+\\)"},
      {Kestal(0, {"order", "--help"}), 0, "sensor-reg REGISTER VALUE"},
      {{KESTAL_DEVSIM_PATH, "--help"},
       0,
       "--fault TEXT:\\{drop,garbage,bad-checksum,oversize,stall\\}"},
      // The library's own reason, and the system's for a file or disk.
      {Kestal(closed, {"--connect-timeout-ms", "1500", "watch"}), 1,
       "^kestal: connect 127\\.0\\.0\\.1:[0-9]+: connection refused\n"},
      {Kestal(silent.Server().Port(), {"order", "heartbeat", "--timeout-ms", "500"}), 1,
       "timed out waiting for the ACK"},
      {Kestal(0, {"--transport", "storage", "--disk", "no-such-dir/disk.img", "watch"}), 1,
       "no storage device found \\(no-such-dir/disk.img\\): No such file or directory\n"},
      {Kestal(1, {"firmware", "missing.bin"}), 1, "cannot read missing.bin: No such file or"},
      {{KESTAL_CLI_PATH, "--host", "999.1.1.1", "--port", "1", "watch"}, 2, "'999.1.1.1'"},
      {Kestal(1, {}), 2, "a command is needed"},
      {Kestal(1, {"frobnicate"}), 2, "frobnicate"},
      {{KESTAL_CLI_PATH, "--host", "127.0.0.1", "--port", "70000", "watch"}, 2, "70000"},
      {Kestal(1, {"order", "bogus"}), 2, "unknown order 'bogus'"},
      {Kestal(1, {"order", "exposure"}), 2, "exposure takes 1 parameter"},
      {Kestal(1, {"order", "sensor-reg", "1", "70000"}), 2, "70000"},
      {Kestal(1, {"order", "gain", "-1"}), 2, "-1"},
      {Kestal(1, {"dump-volume"}), 2, "dump-volume needs --transport storage"},
      {{KESTAL_DEVSIM_PATH, "--fault", "nope"}, 2, "nope"},
      {{KESTAL_DEVSIM_PATH, "--storage", "x.img", "--fault", "drop"}, 2, "excludes"},
  };
  std::deque<ToolRun> runs;
  for (size_t i = 0; i < cases.size(); ++i)
    runs.emplace_back("case" + std::to_string(i), cases[i].argv);
  // Each run is reaped as soon as it ends, so its time is its own and not that of the runs before
  // it.
  WaitUntil(
      [&] {
        return std::none_of(runs.begin(), runs.end(), [](ToolRun& r) { return r.p.Running(); });
      },
      30s);
  for (size_t i = 0; i < cases.size(); ++i) {
    Subprocess& p = runs[i].p;
    p.Wait(milliseconds(30000));
    SCOPED_TRACE(p.Describe());
    const bool ok = cases[i].code == 0;
    const std::string out = ok ? p.Stdout() : p.Stderr();
    EXPECT_EQ(p.ExitCode(), cases[i].code);
    EXPECT_EQ(ok ? p.Stderr() : p.Stdout(), "");
    EXPECT_TRUE(std::regex_search(out, std::regex(cases[i].text))) << out;
    EXPECT_TRUE(ok || std::regex_match(out, std::regex("kestal(-devsim)?: [^\n]+\n")))
        << "one line: " << out;
    // Bad arguments are refused before the library starts (it would have logged its start).
    EXPECT_TRUE(cases[i].code != 2 ||
                Count(runs[i].File("LogKestalHostCommService.txt"), "::Start") == 0)
        << "the library ran";
  }
}

#if defined(KESTAL_GRAB_FRAMES_C_PATH) && defined(KESTAL_GRAB_FRAMES_CPP_PATH)
// The frame-grabbing examples, in C and in C++ on kestal.hpp, each against a device of its own:
// the temperature, then five of the device's frames as PGM files, their times rising.
TEST(KestalExamples, GrabFramesSavesTheDevicesFramesAsPgm) {
  std::deque<NetworkDevice> devices(2);
  // As for the sample: the setter the examples use is proven first.
  ASSERT_EQ(
      kestal_set_network_endpoint(KESTAL_COMM_NETWORK, "127.0.0.1", devices[0].Server().Port()), 0);
  ASSERT_EQ(kestal::GetServiceSettings().device_port_type1, devices[0].Server().Port());
  std::deque<ToolRun> runs;
  for (const char* program : {KESTAL_GRAB_FRAMES_C_PATH, KESTAL_GRAB_FRAMES_CPP_PATH})
    runs.emplace_back(
        std::to_string(runs.size()),
        std::vector<std::string>{program, "127.0.0.1",
                                 std::to_string(devices[runs.size()].Server().Port()), "frames"});
  const std::string frame =
      "frame ([0-9]+): 640x480, 307200 bytes, host time ([0-9]+\\.[0-9]{9}) s, "
      "UTC [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z\n";
  const std::regex frame_line(frame);
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string out = runs[i].Succeeded();
    SCOPED_TRACE(runs[i].p.Describe());
    EXPECT_TRUE(std::regex_match(out, std::regex("FPGA temperature 25\\.00 C\n(" + frame + "){5}")))
        << out;
    double last_time = -1;
    for (std::sregex_iterator m(out.begin(), out.end(), frame_line), end; m != end; ++m) {
      EXPECT_GT(std::stod((*m)[2]), last_time) << (*m)[0];
      last_time = std::stod((*m)[2]);
      const auto expected =
          devices[i].Device().ExpectedFrame(std::stoul((*m)[1]), OriginalImagePiece);
      EXPECT_TRUE(
          runs[i].File("frames/frame_" + (*m)[1].str() + ".pgm") ==
          "P5\n640 480\n255\n" +
              std::string(expected.begin() + ImagePieceLayout::kImageHeaderLength, expected.end()))
          << (*m)[0];
    }
    EXPECT_FALSE(devices[i].Device().Scanning());
  }
}
#endif

TEST(KestalDevsim, DemoRunsThroughAnInjectedFaultThatTheLibraryRepairs) {
  // As scripts/demo.sh runs it, with garbage before a frame every second on the wire.
  ToolRun sim("demo_sim", {KESTAL_DEVSIM_PATH, "--port", "0", "--quiet", "--duration-s", "60",
                           "--fault", "garbage", "--fault-every-ms", "1000"});
  ASSERT_TRUE(sim.p.WaitForStdout("\n", milliseconds(5000))) << sim.p.Stderr();
  unsigned port = 0;
  ASSERT_EQ(
      std::sscanf(sim.p.Stdout().c_str(), "kestal-devsim: listening on 127.0.0.1:%5u\n", &port), 1);
  // In the simulator's folder, as an application and the simulator often share one.
  ToolRun demo("demo_sim", Kestal(static_cast<uint16_t>(port), {"demo"}), "demo");
  const std::string out = demo.Succeeded();
  size_t at = 0;
  for (const char* step :
       {"  event: Connected OK\n", "  status: 扫描头：工作正常, 0fps; 关节臂：工作正常, 0fps\n",
        "  ACK sensor-map ", "  frame 10: type 3", "] 100%\n", "== demo finished\n"}) {
    at = out.find(step, at);
    ASSERT_NE(at, std::string::npos) << "'" << step << "' missing or out of order in:\n" << out;
  }
  [[maybe_unused]] const int sim_exit = sim.p.Terminate(milliseconds(5000));
#ifndef _WIN32
  EXPECT_EQ(sim_exit, 0) << "the simulator did not end cleanly when asked";  // Windows cannot ask
#endif
  EXPECT_GE(Count(sim.p.Stdout(), "kestal-devsim: injected fault garbage\n"), 3) << sim.p.Stdout();
  // The library skipped the bytes before the start tag each time, on the same connection. The
  // simulator's own lines are on its stderr, not in the library's file.
  const std::string log = demo.File("LogKestalHostCommService.txt");
  EXPECT_EQ(Count(log, "[Sim"), 0) << log;
  EXPECT_EQ(Count(sim.p.Stderr(), "accepted connection 1\n"), 1) << sim.p.Stderr();
  EXPECT_GE(Count(log, "Found discontinue start at "), 3) << log;
  // Every line of the file in its layout, with the platform's own line end.
  const std::string eol = std::filesystem::path::preferred_separator == '\\' ? "\r\n" : "\n";
  EXPECT_EQ(Count(log, "] Connected OK" + eol), 1) << log;
  const std::regex layout(
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} (DEBUG|ERROR) \\[[0-9]+\\] "
      "\\[[A-Za-z0-9_]+::[A-Za-z0-9_.]+@[0-9]+\\] [^\r\n]*" +
      eol);
  size_t lines = 0;
  for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1, ++lines)
    ASSERT_TRUE(std::regex_match(log.substr(at, end + 1 - at), layout))
        << log.substr(at, end + 1 - at);
  EXPECT_TRUE(lines > 20 && log.back() == '\n') << lines << " lines";
}

}  // namespace

#else
TEST(KestalCli, NeedsTheToolTargets) {
  GTEST_SKIP() << "built without the kestal and kestal-devsim targets";
}
#endif
