// The service singleton: its status funnel, its first orders over storage, failed starts, its
// workers without a device, and its stop. Start binds the arm link's UDP port 26000: fixed ports.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "ServiceFixture.h"
#include "kestal/kestal.hpp"
#include "kestal/kestal_c.h"
#include "arm/UdpSocket.h"
#include "common/Clock.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceSettings.h"
#include "transport/storage/SummaryRecord.h"

using namespace std::chrono;
using Texts = std::vector<std::string>;

static Texts Events(const AppCallbacks& app) {  // "<event>:<text>"
  Texts out;
  for (const AppEvent& e : app.Events()) out.push_back(std::to_string(e.event) + ":" + e.text);
  return out;
}

static std::atomic<uint64_t> g_now{0};  // the wall clock while a test replaces it
static std::string g_image;
static uint32_t OrderLength(
    uint32_t slot) {  // of the order in `slot` of the image's host-to-device ring; 0: none
  const std::vector<uint8_t> rec = Peek(g_image, slot * SummaryRecord::kSize, SummaryRecord::kSize);
  if (rec.size() != SummaryRecord::kSize || !SummaryRecord::IsValid(rec.data())) return 0;
  return SummaryRecord::Decode(rec.data()).msg_type == Order
             ? SummaryRecord::Decode(rec.data()).data_len
             : 0;
}
static uint32_t g_slot1_at_connect = 0;  // slot 0 holds the init message

// Per status: device event, reconnect flag after it (1 set, 0 clear, -1 as before), log line,
// comm-type orders.
struct StatusRow {
  const char* event;
  int reconnect;
  const char* log_line;
  size_t comm_type_orders;
};
const StatusRow kStatusRows[] = {{"5:Not connected", 1, "Not connected", 0},
                                 {"4:Connecting...", -1, "Connecting...", 0},
                                 {"2:Connected Error", 1, "Connected Error:detail", 0},
                                 {"3:Connected OK", 0, "Connected OK", 1},
                                 {"2:Connected Error", 1, "Connected Error", 0},
                                 {"3:Connected OK", 0, "Connected OK", 1},
                                 {"6:Comm Error", 1, "Comm Error", 0},
                                 {"6:Comm Error", 1, "Comm Error", 0},
                                 {"0:Device arrival", 1, "Device arrival", 0},
                                 {"1:Device left", 1, "Device left", 0},
                                 {nullptr, -1, nullptr, 0}};  // out of range: ignored

TEST_F(ServiceFixture, EveryStatusGivesItsEventReconnectFlagAndLogLine) {
  for (unsigned status : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 0xFFFFFFFFu}) {
    for (bool flag_before : {false, true}) {
      SCOPED_TRACE("status " + std::to_string(status) +
                   (flag_before ? ", flag set" : ", flag clear"));
      m_service.ReportStatus(flag_before ? 0 : 3, "");
      m_app.Clear();
      m_log.Clear();
      m_service.ReportStatus(status, "detail");
      const StatusRow& row = kStatusRows[std::min(status, 10u)];
      EXPECT_EQ(Events(m_app), row.event ? Texts{row.event} : Texts{});
      EXPECT_EQ(m_impl.NeedReconnect(), row.reconnect < 0 ? flag_before : row.reconnect == 1);
      Texts lines;
      for (const CapturedLine& l : m_log.Lines())
        if (l.function == "KestalHostCommService::ReportStatus") lines.push_back(l.message);
      EXPECT_EQ(lines, row.log_line ? Texts{row.log_line} : Texts{});
      EXPECT_EQ(m_log.MessagesStartingWith("SendCommTypeOrder:").size(), row.comm_type_orders);
    }
  }
  m_service.ReportStatus(2, nullptr);
  EXPECT_TRUE(m_log.Contains("Connected Error:null"));
  m_service.SetDeviceEventCallBack(nullptr, nullptr);  // the comm type goes out all the same
  m_service.ReportStatus(5, nullptr);
  EXPECT_EQ(m_log.MessagesStartingWith("SendCommTypeOrder:").size(), 1u);
  EXPECT_TRUE(m_app.UserDataSeenRight());
}

// Storage writes are synchronous: the comm-type order (12 bytes) is on the disk by the time the
// application hears of the connection, and the first heartbeat (8 bytes) follows at once.
TEST_F(ServiceFixture, StorageStartWritesTheCommTypeBeforeTheEventAndAHeartbeatAtOnce) {
  m_service.SetDeviceEventCallBack(
      [](HostCommDeviceEvent event, const char*, void*) {
        if (event == ConnectedOk) g_slot1_at_connect = OrderLength(1);
      },
      nullptr);
  g_image = MakeImage("engine.img");
  ASSERT_EQ(kestal_set_storage_device(g_image.c_str()), 0);
  m_impl.Engine().SetHostCommType(HostCommTypeStorage);
  ASSERT_EQ(m_impl.Engine().StartLoopRecv(), 0);
  EXPECT_TRUE(WaitUntil([] { return OrderLength(2) == 8; }, 800ms));
  m_impl.Engine().StopLoopRecv();
  EXPECT_EQ(g_slot1_at_connect, 12u);
}

// An unknown comm type or a taken arm port start nothing. Without a device Start fails but the
// workers run: states once a second (current for 3 s after a controller status), and retries.
TEST_F(ServiceFixture, FailedStartsAndAStartWithoutDevice) {
  ASSERT_EQ(kestal_set_storage_device("/nonexistent/kestal-test-disk.img"), 0);
  m_service.SetCommType(static_cast<HostCommDeviceType>(5));
  EXPECT_EQ(m_service.Start(), -1);
  EXPECT_TRUE(Events(m_app).empty() && m_log.Contains("Not support comm type:5"));
  m_service.SetCommType(HostCommDeviceStorage);
  {
    UdpSocket holder;
    ASSERT_TRUE(holder.Open() == 0 && holder.SetExclusiveAddress() == 0 &&
                holder.Bind(UdpSocket::Endpoint("0.0.0.0", 26000)) == 0);
    EXPECT_EQ(m_service.Start(), -1);
    EXPECT_EQ(Events(m_app), (Texts{"4:Connecting...", "5:Not connected"}));
    EXPECT_FALSE(m_impl.WorkersRunning());
  }
  g_now = 1'800'000'000'000ull;
  kestal::SetWallClockMs([] { return g_now.load(); });
  std::atomic<int> set_endpoint{
      1};  // from the event callbacks of a start that holds the start/stop lock
  m_app.SetHook([&] {
    set_endpoint = std::min(set_endpoint.load(), kestal_set_network_endpoint(1, "localhost", 9));
  });
  Seen<std::string> utf8;  // the status lines as the C interface gives them in UTF-8
  kestal_set_status_line_utf8_callback(
      [](const char* line, void* seen) { static_cast<Seen<std::string>*>(seen)->Add(line); },
      &utf8);
  EXPECT_EQ(m_service.Start(), -1);
  m_started = true;
  m_app.SetHook(nullptr);
  EXPECT_EQ(set_endpoint, 0);
  EXPECT_TRUE(m_app.CountEvents(Connecting) == 2 &&
              m_app.CountEvents(NotConnected) == 2);         // one more each
  using States = std::pair<unsigned short, unsigned short>;  // scanner, arm
  auto reports = [&](size_t n) {  // waits for `n` reports in all; the last one's states
    if (!WaitUntil([&] { return m_app.ArmStates().size() >= n; }, 5000ms)) return States(0, 0);
    return States(m_app.ScannerStates().back(), m_app.ArmStates().back());
  };
  std::vector<uint8_t> status(
      56, 0);  // scanner 9 (out of range: invalid), fpga 25 fps, arm 3 (I/O error), -1 fps
  for (auto [at, value] : {std::pair<int, uint32_t>{0, 9}, {8, 25}, {12, 3}, {16, 0xFFFFFFFFu}})
    kestal::StoreU32(status.data() + at, value);
  m_impl.Engine().DealMsg(ControllerStatus, status.data(), 56);
  g_now += 2999;  // still current (a pass under way may predate the status, the next one not)
  EXPECT_EQ(reports(m_app.ArmStates().size() + 2), States(7, 3));
  ASSERT_FALSE(m_app.StatusLines().empty());
  EXPECT_EQ(m_app.StatusLines().back(), std::string("\xc9\xa8\xc3\xe8\xcd\xb7\xa3\xba"
                                                    "\xce\xde\xd0\xa7, 25fps; "
                                                    "\xb9\xd8\xbd\xda\xb1\xdb\xa3\xba"
                                                    "IO\xb4\xed\xce\xf3, -1fps"));
  kestal_set_status_line_utf8_callback(nullptr, nullptr);
  ASSERT_FALSE(utf8.Copy().empty());
  EXPECT_EQ(utf8.Copy().back(),
            "\xe6\x89\xab\xe6\x8f\x8f\xe5\xa4\xb4\xef\xbc\x9a"  // scan head:
            "\xe6\x97\xa0\xe6\x95\x88, 25fps; "                 // invalid
            "\xe5\x85\xb3\xe8\x8a\x82\xe8\x87\x82\xef\xbc\x9a"  // arm:
            "IO\xe9\x94\x99\xe8\xaf\xaf, -1fps");               // I/O error
  g_now += 1;  // stale: invalid states and no more lines
  EXPECT_EQ(reports(m_app.ArmStates().size() + 2), States(7, 7));
  const size_t lines = m_app.StatusLines().size();
  ASSERT_TRUE(m_log.WaitFor("Reconnect device", 10s, 2));
  m_impl.Engine().DealMsg(ControllerStatus, status.data(), 56);  // current as the session ends
  StopAndCheck();
  EXPECT_EQ(m_app.StatusLines().size(), lines);
  // The next session reports no status until its own device sends one.
  EXPECT_EQ(m_service.Start(), -1);
  m_started = true;
  EXPECT_EQ(reports(m_app.ArmStates().size() + 1), States(7, 7));
  EXPECT_EQ(m_app.StatusLines().size(), lines);
}

// Once Stop returned, nothing reaches the application or the streaming device; an empty frame never
// did.
TEST_F(ServiceFixture, NothingReachesTheApplicationOrTheDeviceAfterStop) {
  const std::filesystem::path tasks =
      "/proc/self/task";  // the process's threads, where /proc has them
  auto threads = [&] {
    return std::filesystem::exists(tasks)
               ? std::distance(std::filesystem::directory_iterator(tasks), {})
               : 0;
  };
  std::thread([] {}).join();  // a sanitizer's runtime starts a thread of its own with the first one
  const auto threads_before = threads();
  SimRig& sim = StartSim(SimLink::Network);  // with its status every second
  EXPECT_EQ(sim.Server().SendMessage(Order, reinterpret_cast<const uint8_t*>(""), 0),
            0);  // an empty frame
  SendOrder(StartScan);
  ASSERT_TRUE(m_app.WaitForMessages(OriginalImagePiece, 2, 5000ms));
  StopAndCheck();
  auto counts = [&] {
    return std::vector<size_t>{m_app.Events().size(),        m_app.Messages().size(),
                               m_app.ScannerStates().size(), m_app.ArmStates().size(),
                               m_app.StatusLines().size(),   sim.Device().HostMessages().size()};
  };
  EXPECT_TRUE(sim.Server().WaitForDisconnected(
      1000));  // until then the device may read what was on the wire
  const std::vector<size_t> at_stop = counts();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(counts(), at_stop);
  for (const AppMessage& m : m_app.Messages()) EXPECT_FALSE(m.payload.empty());
  sim.Stop();  // no thread of the library outlives Stop (a DLL could not unload with one left)
  EXPECT_EQ(threads(), threads_before);
}

// Messages still queued for a slow application when it stops belong to that session: a restart
// delivers only what the device sends after it.
TEST_F(ServiceFixture, ARestartDeliversNothingTheStoppedSessionLeftQueued) {
  SimRig& sim = StartSim(SimLink::Network);
  m_app.DelayMessages(20ms);
  auto send = [&](uint8_t session, uint16_t count) {  // order ACKs of a sub type nothing claims
    for (uint16_t i = 0; i < count; ++i) {
      uint8_t ack[24] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0xFF, 0x7F,
                         session};
      ASSERT_EQ(sim.Server().SendMessage(Order, ack, sizeof ack), 0);
    }
  };
  auto of_session = [](uint8_t session) {
    return [session](const auto& payload) { return payload[4] == session; };
  };
  send(0xA1, 400);  // more than the receive queue holds
  ASSERT_TRUE(m_app.WaitForMessage(Order, of_session(0xA1), 5000ms));
  StopAndCheck();
  m_app.DelayMessages(0ms);
  m_app.Clear();
  StartAgainst(sim);
  send(0xB2, 1);
  ASSERT_TRUE(m_app.WaitForMessage(Order, of_session(0xB2), 5000ms));
  for (const AppMessage& m : m_app.Messages(Order))
    EXPECT_NE(m.payload[4], 0xA1) << "seq_no " << m.payload[0];
}

// A library worker and an application thread (in ReportStatus) both wait in a callback for the
// thread that calls Stop: Stop gives both up, and the next Start neither waits for them nor loses
// the application thread, which is called again; the given-up worker never calls back.
TEST_F(ServiceFixture, CallbacksWaitingForTheStoppingThreadAreGivenUpAndNeverHoldUpTheNextStart) {
  SimRig& sim = StartSim(SimLink::Network);
  std::atomic<bool> hold{true}, released{false};
  std::mutex mutex;
  std::vector<std::thread::id> blocked;  // the threads of the calls given up
  std::atomic<int> late_calls{0}, app_calls_again{0};
  std::thread::id app;
  m_app.SetHook([&] {
    const std::thread::id me = std::this_thread::get_id();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (std::find(blocked.begin(), blocked.end(), me) != blocked.end()) {
        ++(me == app ? app_calls_again : late_calls);
        return;
      }
      if (!hold) return;
      blocked.push_back(me);
    }
    WaitUntil([&] { return released.load(); }, 20s);
  });
  std::thread app_thread([&] {
    m_service.ReportStatus(HostCommStatusConnecting, "");  // waits in its callback
    WaitUntil([&] { return !hold; }, 20s);
    m_service.ReportStatus(HostCommStatusConnecting, "");  // the next session's
  });
  app = app_thread.get_id();
  auto blocked_calls = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return blocked.size();
  };
  // The application thread and the workers that call back every second (states, heartbeat ACKs).
  ASSERT_TRUE(WaitUntil([&] { return blocked_calls() >= 3; }, 5000ms));
  auto t0 = steady_clock::now();
  StopAndCheck();
  EXPECT_LT(steady_clock::now() - t0, 6s * kTimeScale);
  EXPECT_EQ(m_log.MessagesStartingWith("Callback ").size(), blocked_calls());

  hold = false;
  t0 = steady_clock::now();
  StartAgainst(sim);  // while both given-up calls still wait
  EXPECT_LT(steady_clock::now() - t0, 3s * kTimeScale);
  released = true;
  app_thread.join();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(late_calls, 0);
  EXPECT_EQ(app_calls_again, 1);
  m_app.SetHook(nullptr);
  StopAndCheck();
}

// What arrives while Stop waits its first second still reaches the application; Start and Stop
// called from inside a callback are refused at once, by the class, the C functions and the C++
// wrapper alike.
TEST_F(ServiceFixture, CallbacksRunUntilTheStopBeginsAndMayNotStartOrStopTheLibrary) {
  SimRig& sim = StartSim(SimLink::Network);
  std::thread stopper([&] { StopAndCheck(); });
  std::this_thread::sleep_for(200ms);
  const uint16_t seq = SendOrder(GetFpgaTemp);
  EXPECT_TRUE(m_app.WaitForMessage(Order, AckOf(seq), 700ms))
      << "ACK during the stop's first second";
  stopper.join();

  kestal::Session session(kestal::Config::network("", 0), kestal::process_wide);
  std::vector<int> results;
  std::string reason;
  std::atomic<bool> done{false};
  session.on_event([&](int event, std::string_view, std::string_view) {
    if (event != KESTAL_EVENT_CONNECTED_OK || !results.empty()) return;
    const auto t0 = steady_clock::now();
    results = {m_service.Stop(), m_service.Start(), kestal_stop(), kestal_start()};
    try {
      session.stop();
    } catch (const kestal::Error& e) {
      results.push_back(e.code());
      reason = e.reason();
    }
    if (steady_clock::now() - t0 > 500ms * kTimeScale) results.push_back(0);  // took its time
    done = true;
  });
  sim.PointService();
  ASSERT_TRUE(session.start());
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 5000ms));
  EXPECT_EQ(results, (std::vector<int>{-1, -1, KESTAL_E_IN_CALLBACK, KESTAL_E_IN_CALLBACK,
                                       KESTAL_E_IN_CALLBACK}));
  EXPECT_NE(reason.find("Stop called from inside a callback"), std::string::npos) << reason;
  EXPECT_TRUE(session.started());
}

// An application that returns from main without Stop: workers still running log to the very end.
TEST(ProcessExit, LinesWrittenWhileTheProcessExitsAreSafe) {
  for (int i = 0; i < 30; ++i)
    EXPECT_EXIT((kestal::Log::Init(), std::thread([] {
                                        for (;;) KLOG_DEBUG("a line as the process exits");
                                      }).detach(),
                 std::this_thread::sleep_for(20ms), std::exit(0)),
                testing::ExitedWithCode(0), "")
        << "run " << i;
}

// A device that restarts forgets its scan. With resume_scan the service orders it again once the
// link is back, and the frames return; without it they stay away until the application orders it.
TEST(ServiceReconnect, ResumeScanOrdersTheScanAgainAfterTheDeviceRestarts) {
  SimDeviceOptions options = QuietDevice();
  options.frame_rate = 30;
  for (const bool resume : {false, true}) {
    SimRig rig(SimLink::Network, options);
    ASSERT_EQ(rig.Start(), 0);
    KestalHostCommService::Impl service;
    rig.PointService(service);
    HostCommSettings settings = service.Settings();
    settings.arm_local_port = 0;
    settings.resume_scan = resume;
    ASSERT_EQ(service.SetSettings(settings), 0);
    std::atomic<uint64_t> frames{0};
    service.SetFrameFn(
        [](const kestal_frame*, void* n) { ++*static_cast<std::atomic<uint64_t>*>(n); }, &frames);
    ASSERT_EQ(service.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return service.Engine().IsConnected(); }, 5000ms));
    std::vector<uint8_t> order = HostCommMsg::BuildOrder(service.GetMsgSeqNo(), StartScan, {});
    ASSERT_EQ(service.SendHostCommMsg(Order, order.data(), static_cast<unsigned>(order.size())), 0);
    ASSERT_TRUE(WaitUntil([&] { return frames >= 5; }, 5000ms));
    rig.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !service.Engine().IsConnected(); }, 5000ms));
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return service.Engine().IsConnected(); }, 10000ms));
    const uint64_t at_reconnect = frames;
    EXPECT_EQ(WaitUntil([&] { return frames >= at_reconnect + 5; }, 3000ms), resume)
        << "resume_scan " << resume;
    EXPECT_EQ(service.Stop(), 0);
  }
}

// Two devices at once through the C++ wrapper, each a session of its own: one over TCP, one over a
// disk image, with different image sizes. Each has its own counter, gets only its own frames, and
// streams on when the other stops.
TEST(TwoServices, RunSideBySideAndOneStopsAlone) {
  SimDeviceOptions large = QuietDevice(), small = QuietDevice();
  large.image_size = 640 * 480, small.image_size = 320 * 240;
  large.frame_rate = small.frame_rate = 30;
  SimRigPlace image;
  image.image = "two-services.img";
  SimRig tcp(SimLink::Network, large), disk(SimLink::Storage, small, image);
  ASSERT_TRUE(tcp.Start() == 0 && disk.Start() == 0);
  const uint32_t sizes[] = {large.image_size, small.image_size};
  std::deque<kestal::FrameQueue> frames(2);  // outlives the sessions that fill it
  kestal::Session sessions[] = {
      kestal::Session(kestal::Config::network("127.0.0.1", tcp.Server().Port())),
      kestal::Session(kestal::Config::storage(disk.ImagePath()))};
  // Each queue holds `count` frames of its own device's size, and none of the other's.
  auto own_frames = [&](size_t i, int count) {
    for (int n = 0; n < count; ++n) {
      const std::optional<kestal::OwnedFrame> f = frames[i].pop(5s);
      if (!f || f->pixels.size() != sizes[i]) return false;
    }
    for (std::optional<kestal::OwnedFrame> f; (f = frames[i].try_pop());)
      if (f->pixels.size() != sizes[i]) return false;
    return true;
  };
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(kestal_session_next_seq_no(sessions[i].handle()), 1);  // a counter of its own
    sessions[i].on_frame(frames[i].sink());
    ASSERT_TRUE(sessions[i].start()) << sessions[i].last_error();
    ASSERT_TRUE(sessions[i].wait_connected(10s)) << sessions[i].last_error();
    EXPECT_DOUBLE_EQ(sessions[i].fpga_temperature(), 25.0);
    EXPECT_TRUE(sessions[i].request(KESTAL_ORDER_START_SCAN).ok());
  }
  for (size_t i = 0; i < 2; ++i) EXPECT_TRUE(own_frames(i, 3)) << "session " << i;
  sessions[0].stop();
  EXPECT_FALSE(sessions[0].connected());
  while (frames[0].try_pop()) {
  }
  EXPECT_TRUE(own_frames(1, 10)) << "the disk's device, after the other session stopped";
  EXPECT_TRUE(sessions[1].connected());
  EXPECT_FALSE(frames[0].try_pop()) << "a frame after its session stopped";
}
