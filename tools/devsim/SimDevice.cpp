#include "SimDevice.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"

namespace {

using kestal::LoadU16;
using kestal::LoadU32;
using kestal::StoreU16;
using kestal::StoreU32;
using kestal::StoreU64;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxMessagePayload = 65520;
constexpr uint32_t kOrderAckHeader = OrderLayout::kAckReplyData;  // seq, sub type, 6 bytes

// Small, fast and reproducible: the same seed gives the same bytes on every platform.
class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : m_state(seed) {}
  uint64_t Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  void Fill(uint8_t* out, size_t len) {
    size_t i = 0;
    for (; i + 8 <= len; i += 8) StoreU64(out + i, Next());
    if (i < len) {
      uint64_t v = Next();
      for (; i < len; ++i, v >>= 8) out[i] = static_cast<uint8_t>(v);
    }
  }

 private:
  uint64_t m_state;
};

uint64_t Mix(uint64_t seed, uint64_t a, uint64_t b) {
  SplitMix64 g(seed ^ (a * 0xD6E8FEB86659FD93ull) ^ (b << 48));
  return g.Next();
}

}  // namespace

SimDevice::SimDevice(const SimDeviceOptions& options)
    : m_options(options), m_scanner_state(options.scanner_state), m_arm_state(options.arm_state) {
  if (m_options.piece_data_len == 0) m_options.piece_data_len = 1;
  if (m_options.piece_data_len > kMaxPieceDataLen) m_options.piece_data_len = kMaxPieceDataLen;
  if (!(m_options.frame_rate > 0.0)) m_options.frame_rate = 1.0;

  // Register map: seeded filler with plausible values at the places the host decodes
  // (offsets below are relative to the reply data, i.e. ACK offset - 10).
  m_sensor_map.resize(kSensorMapLength);
  SplitMix64 g(Mix(m_options.seed, 81, 0));
  g.Fill(m_sensor_map.data(), m_sensor_map.size());
  const uint8_t fixed[][2] = {
      {1, 0x01},   {2, 0xE0},                // roi_height 480, big-endian register pair
      {3, 0x00},   {4, 0x10},                // start row 16
      {40, 0x00},                            // flip off
      {42, 0x00},  {43, 0x27},  {44, 0x10},  // exposure 10000
      {103, 0x20},                           // gain
      {126, 0x01}, {127, 0x9A},              // sensor temperature register
  };
  for (const auto& f : fixed) m_sensor_map[f[0]] = f[1];

  char text[256];
  int n =
      std::snprintf(text, sizeof text,
                    "[device]\nmodel=scan-head-sim\nseed=%llu\n[sensor]\nroi_height=480\nstart=16\n"
                    "exposure=10000\ngain=32\nflip=0\n[stream]\npiece_len=%u\nframe_rate=%.2f\n",
                    static_cast<unsigned long long>(m_options.seed), m_options.piece_data_len,
                    m_options.frame_rate);
  m_config_file.assign(text, text + std::max(0, std::min(n, static_cast<int>(sizeof text) - 1)));
}

SimDevice::~SimDevice() { Stop(); }

void SimDevice::JoinWorkersLocked() {
  {
    std::lock_guard<std::mutex> lock(m_wait_mutex);
    m_stop = true;
  }
  WakeWorkers();
  if (m_status_thread.joinable()) m_status_thread.join();
  if (m_image_thread.joinable()) m_image_thread.join();
}

void SimDevice::Start(SendFn send) {
  std::lock_guard<std::mutex> start_lock(m_start_mutex);
  JoinWorkersLocked();
  {
    std::lock_guard<std::mutex> lock(m_send_mutex);
    m_send = std::move(send);
  }
  {
    std::lock_guard<std::mutex> lock(m_wait_mutex);
    m_stop = false;
    m_scanning = false;  // a start is a power-up: no scan until the host orders one
  }
  m_status_thread = std::thread(&SimDevice::LoopStatus, this);
  m_image_thread = std::thread(&SimDevice::LoopImage, this);
}

void SimDevice::Stop() {
  std::lock_guard<std::mutex> start_lock(m_start_mutex);
  JoinWorkersLocked();
  // A reply from the transport's thread may be in flight; it finishes before the send
  // function goes, and none starts afterwards.
  std::lock_guard<std::mutex> lock(m_send_mutex);
  m_send = nullptr;
}

void SimDevice::WakeWorkers() { m_wait_signal.notify_all(); }

void SimDevice::NoteSent(std::atomic<uint64_t>& counter) {
  // Counted under the observers' lock so a waiter never misses the change.
  {
    std::lock_guard<std::mutex> lock(m_observe_mutex);
    ++counter;
  }
  m_observe_signal.notify_all();
}

int SimDevice::Send(uint16_t type, const uint8_t* data, uint32_t len) {
  std::lock_guard<std::mutex> lock(m_send_mutex);
  if (!m_send) return -1;
  int r = m_send(type, data, len);
  if (r >= 0) m_host_send_bytes += len;
  return r;
}

void SimDevice::SetStates(uint32_t scanner_state, uint32_t arm_state) {
  m_scanner_state = scanner_state;
  m_arm_state = arm_state;
}

int SimDevice::SendArmMsg(const uint8_t* data, uint32_t len) { return Send(ArmMsg, data, len); }

void SimDevice::OnHostMessage(uint16_t type, const uint8_t* data, uint32_t len) {
  m_host_recv_bytes += len;
  {
    std::lock_guard<std::mutex> lock(m_observe_mutex);
    if (m_options.keep_host_messages)
      m_host_messages.push_back({type, std::vector<uint8_t>(data, data + len)});
  }
  m_observe_signal.notify_all();
  if (m_options.heartbeats_only &&
      (type != Order || len < 4 || LoadU16(data + OrderLayout::kSubMsgType) != HeartBeat))
    return;

  switch (type) {
    case Order: HandleOrder(data, len); break;
    case UpdateFirmware: HandleFirmwareChunk(data, len); break;
    case WriteConfig: HandleWriteConfig(data, len); break;
    case ReadConfig: HandleReadConfig(data, len); break;
    default: break;  // arm messages and anything else are only recorded
  }
}

void SimDevice::HandleOrder(const uint8_t* data, uint32_t len) {
  // An order too short to carry its sequence number and sub type cannot be acknowledged.
  if (len < 4) return;
  const uint16_t seq_no = LoadU16(data + OrderLayout::kSeqNo);
  const uint16_t sub_type = LoadU16(data + OrderLayout::kSubMsgType);

  std::vector<uint8_t> reply;
  switch (sub_type) {
    case GetSensorRegMap: reply = m_sensor_map; break;
    case GetDeviceStaticInfo: {
      reply.resize(12);
      const uint8_t* versions[2] = {m_options.app_version, m_options.fpga_version};
      for (int i = 0; i < 2; ++i) {
        uint8_t* out = reply.data() + 6 * i;
        out[0] = versions[i][0];
        out[1] = versions[i][1];
        StoreU16(out + 2, versions[i][2]);
        StoreU16(out + 4, versions[i][3]);
      }
      break;
    }
    case GetFpgaTemp:
      reply.resize(4);
      StoreU32(reply.data(), m_options.fpga_temp_raw);
      break;
    default: break;
  }

  // seq_no, sub_msg_type, then six bytes the host does not interpret: the device puts its
  // ack code (0) and the length of the reply data there.
  std::vector<uint8_t> ack(kOrderAckHeader + reply.size());
  StoreU16(ack.data(), seq_no);
  StoreU16(ack.data() + 2, sub_type);
  StoreU16(ack.data() + 4, 0);
  StoreU32(ack.data() + 6, static_cast<uint32_t>(reply.size()));
  if (!reply.empty()) std::memcpy(ack.data() + kOrderAckHeader, reply.data(), reply.size());

  // Orders that change the stream wait for the frame in flight, so the ACK separates the old
  // stream from the new one: no piece of an earlier frame follows it, and the first piece
  // after it belongs to a frame begun under the new state.
  const bool start = sub_type == StartScan || sub_type == StartScanAlt;
  const bool stop = sub_type == StopScan || sub_type == StopScanAlt;
  const bool mode = sub_type == EnterOriginalImage || sub_type == EnterYImage;
  if (!start && !stop && !mode) {
    Send(Order, ack.data(), static_cast<uint32_t>(ack.size()));
    return;
  }
  {
    std::lock_guard<std::mutex> frame_lock(m_frame_mutex);
    if (sub_type == EnterOriginalImage) m_image_type = OriginalImagePiece;
    if (sub_type == EnterYImage) m_image_type = YOriginalImagePiece;
    if (stop) {
      std::lock_guard<std::mutex> lock(m_wait_mutex);
      m_scanning = false;
    }
    Send(Order, ack.data(), static_cast<uint32_t>(ack.size()));
    if (start) {
      std::lock_guard<std::mutex> lock(m_wait_mutex);
      m_scanning = true;
    }
  }
  WakeWorkers();
}

void SimDevice::SendFirmwareAck(uint16_t seq_no, uint16_t type, uint16_t ack_code, uint8_t progress,
                                uint8_t step) {
  uint8_t ack[FirmwareAckLayout::kLength];
  StoreU16(ack + FirmwareAckLayout::kSeqNo, seq_no);
  StoreU16(ack + FirmwareAckLayout::kType, type);
  StoreU16(ack + FirmwareAckLayout::kAckCode, ack_code);
  ack[FirmwareAckLayout::kProgress] = progress;
  ack[FirmwareAckLayout::kStep] = step;
  Send(UpdateFirmware, ack, sizeof ack);
}

void SimDevice::HandleFirmwareChunk(const uint8_t* data, uint32_t len) {
  using L = FirmwareChunkLayout;
  if (len < 4) return;
  const uint16_t seq_no = LoadU16(data + L::kSeqNo);
  const uint16_t type = LoadU16(data + L::kType);
  if (len < L::kHeaderLength) {
    SendFirmwareAck(seq_no, type, kFirmwareAckBadChunk, 0, kFirmwareStepReceiving);
    return;
  }
  const uint32_t file_len = LoadU32(data + L::kFileLen);
  const uint32_t check = LoadU32(data + L::kCheck);
  const uint32_t total_len = LoadU32(data + L::kTotalLen);
  const uint32_t chunk_offset = LoadU32(data + L::kChunkOffset);
  const uint32_t chunk_len = LoadU32(data + L::kChunkLen);

  uint16_t ack_code = kFirmwareAckOk;
  uint8_t progress = 0;
  uint8_t step = kFirmwareStepReceiving;
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    FirmwareAssembly& fw = m_firmware;
    // A new file begins with its first chunk or whenever the chunk belongs to another file.
    const bool same_file = fw.active && fw.seq_no == seq_no && fw.type == type &&
                           fw.file_len == file_len && fw.check == check;
    const bool valid_header = total_len == file_len && file_len <= m_options.max_firmware_len;
    if (valid_header && (!same_file || chunk_offset == 0)) {
      fw = FirmwareAssembly();
      fw.active = true;
      fw.seq_no = seq_no;
      fw.type = type;
      fw.file_len = file_len;
      fw.check = check;
      fw.data.assign(file_len, 0);
    }
    const bool chunk_fits = static_cast<uint64_t>(chunk_offset) + chunk_len <= file_len &&
                            static_cast<uint64_t>(chunk_len) + L::kHeaderLength <= len;
    if (!valid_header || !chunk_fits || !fw.active) {
      ack_code = kFirmwareAckBadChunk;
    } else {
      if (chunk_len > 0) std::memcpy(fw.data.data() + chunk_offset, data + L::kData, chunk_len);
      // Merge [chunk_offset, end) into the received ranges so a repeated chunk counts once.
      uint32_t start = chunk_offset;
      uint32_t end = chunk_offset + chunk_len;
      auto it = fw.ranges.upper_bound(start);
      if (it != fw.ranges.begin() && std::prev(it)->second >= start) --it;
      while (it != fw.ranges.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        fw.received -= it->second - it->first;
        it = fw.ranges.erase(it);
      }
      if (end > start) {
        fw.ranges[start] = end;
        fw.received += end - start;
      }
      if (fw.received == fw.file_len && !fw.complete) {
        fw.complete = true;
        fw.check_ok = HostCommMsg::FirmwareCheck(fw.data.data(), fw.file_len) == fw.check;
      }
    }
    if (fw.active) {
      if (fw.complete) {
        progress = 100;
        step = kFirmwareStepDone;
        if (ack_code == kFirmwareAckOk && !fw.check_ok) ack_code = kFirmwareAckBadCheck;
      } else if (fw.file_len > 0) {
        progress = static_cast<uint8_t>(std::min<uint64_t>(99, fw.received * 100 / fw.file_len));
      }
    }
  }
  SendFirmwareAck(seq_no, type, ack_code, progress, step);
}

void SimDevice::HandleWriteConfig(const uint8_t* data, uint32_t len) {
  if (len < 4) return;
  // Laid out like an order: seq_no, sub_msg_type, param_len, then the configuration file.
  uint16_t ack_code = 1;
  if (len >= OrderLayout::kHeaderLength) {
    const uint32_t file_len = LoadU32(data + OrderLayout::kParamLen);
    if (file_len <= len - OrderLayout::kHeaderLength &&
        file_len <= kMaxMessagePayload - ConfigAckLayout::kConfigFile) {
      std::lock_guard<std::mutex> lock(m_state_mutex);
      m_config_file.assign(data + OrderLayout::kParams, data + OrderLayout::kParams + file_len);
      ack_code = 0;
    }
  }
  uint8_t ack[6];
  StoreU16(ack + ConfigAckLayout::kSeqNo, LoadU16(data));
  StoreU16(ack + ConfigAckLayout::kSubMsgType, LoadU16(data + 2));
  StoreU16(ack + ConfigAckLayout::kAckCode, ack_code);
  Send(WriteConfig, ack, sizeof ack);
}

void SimDevice::HandleReadConfig(const uint8_t* data, uint32_t len) {
  if (len < 4) return;
  std::vector<uint8_t> file = ConfigFile();
  std::vector<uint8_t> ack(ConfigAckLayout::kConfigFile + file.size());
  StoreU16(ack.data() + ConfigAckLayout::kSeqNo, LoadU16(data));
  StoreU16(ack.data() + ConfigAckLayout::kSubMsgType, LoadU16(data + 2));
  StoreU16(ack.data() + ConfigAckLayout::kAckCode, 0);
  StoreU32(ack.data() + ConfigAckLayout::kConfigFileLen, static_cast<uint32_t>(file.size()));
  if (!file.empty())
    std::memcpy(ack.data() + ConfigAckLayout::kConfigFile, file.data(), file.size());
  Send(ReadConfig, ack.data(), static_cast<uint32_t>(ack.size()));
}

void SimDevice::LoopStatus() {
  using L = ControllerStatusLayout;
  if (m_options.status_interval_ms == 0) return;
  const auto period = std::chrono::milliseconds(m_options.status_interval_ms);
  auto due = Clock::now() + period;
  std::unique_lock<std::mutex> lock(m_wait_mutex);
  while (!m_stop) {
    if (m_wait_signal.wait_until(lock, due, [this] { return m_stop; })) break;
    due += period;
    if (due < Clock::now()) due = Clock::now() + period;  // no burst after a stall
    const bool scanning = m_scanning;
    lock.unlock();

    uint8_t record[L::kLength] = {};
    StoreU32(record + L::kScannerState, m_scanner_state);
    StoreU32(record + L::kFpgaBytes, static_cast<uint32_t>(m_image_bytes.exchange(0)));
    StoreU32(record + L::kFpgaFps,
             scanning ? static_cast<uint32_t>(std::lround(m_options.frame_rate)) : 0);
    StoreU32(record + L::kArmState, m_arm_state);
    StoreU32(record + L::kArmFps, m_options.arm_fps);
    StoreU32(record + L::kHostSendBytes, static_cast<uint32_t>(m_host_send_bytes.load()));
    StoreU32(record + L::kHostRecvBytes, static_cast<uint32_t>(m_host_recv_bytes.load()));
    StoreU32(record + L::kFpgaTemp, m_options.fpga_temp_raw);
    StoreU32(record + 32, static_cast<uint32_t>(m_status_sent.load() + 1));  // record counter
    if (Send(ControllerStatus, record, sizeof record) >= 0) NoteSent(m_status_sent);
    lock.lock();
  }
}

void SimDevice::FillFrame(uint32_t frame_no, uint16_t type, uint8_t* out) const {
  using L = ImagePieceLayout;
  SplitMix64 g(Mix(m_options.seed, frame_no, type));
  g.Fill(out, L::kImageHeaderLength + m_options.image_size);
  StoreU32(out, frame_no);
  StoreU16(out + 4, type);
  StoreU16(out + 6, 0);
  StoreU32(out + 8, 640);  // nominal width and height
  StoreU32(out + 12, 480);
  StoreU64(out + 16, m_options.seed);
  StoreU32(out + L::kHeaderImageSize, m_options.image_size);
}

std::vector<uint8_t> SimDevice::ExpectedFrame(uint32_t frame_no, uint16_t type) const {
  std::vector<uint8_t> frame(ImagePieceLayout::kImageHeaderLength + m_options.image_size);
  FillFrame(frame_no, type, frame.data());
  return frame;
}

void SimDevice::SendFrame(uint32_t frame_no) {
  using L = ImagePieceLayout;
  std::lock_guard<std::mutex> frame_lock(m_frame_mutex);
  if (!m_scanning) return;  // stopped while this frame waited for its turn
  const uint16_t type = m_image_type;
  std::vector<uint8_t> frame(L::kImageHeaderLength + m_options.image_size);
  FillFrame(frame_no, type, frame.data());
  const uint32_t size = m_options.image_size;
  const uint32_t piece_max = m_options.piece_data_len;
  std::vector<uint8_t> piece(L::kPieceData + std::min(size, piece_max));
  uint32_t offset = 0;
  do {
    const uint32_t piece_len = std::min(size - offset, piece_max);
    std::memcpy(piece.data(), frame.data(), L::kImageHeaderLength);
    StoreU32(piece.data() + L::kImageSize, size);
    StoreU32(piece.data() + L::kPieceOffset, offset);
    StoreU32(piece.data() + L::kPieceLen, piece_len);
    std::memcpy(piece.data() + L::kPieceData, frame.data() + L::kImageHeaderLength + offset,
                piece_len);
    // A piece that cannot be sent loses the frame; the rest of it is not sent either.
    if (Send(type, piece.data(), L::kPieceData + piece_len) < 0) return;
    offset += piece_len;
  } while (offset < size);
  m_image_bytes += size;
  NoteSent(m_frames_sent);
}

void SimDevice::LoopImage() {
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / m_options.frame_rate));
  uint32_t frame_no = 0;
  auto due = Clock::now();
  std::unique_lock<std::mutex> lock(m_wait_mutex);
  while (!m_stop) {
    if (!m_scanning) {
      m_wait_signal.wait(lock, [this] { return m_stop || m_scanning.load(); });
      due = Clock::now();
      continue;
    }
    if (Clock::now() < due) {
      m_wait_signal.wait_until(lock, due, [this] { return m_stop || !m_scanning.load(); });
      continue;
    }
    lock.unlock();
    SendFrame(++frame_no);
    lock.lock();
    due += period;
    if (due < Clock::now()) due = Clock::now();  // a slow link lowers the rate, no burst
  }
}

std::vector<uint8_t> SimDevice::SensorMap() const { return m_sensor_map; }

std::vector<uint8_t> SimDevice::ConfigFile() const {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  return m_config_file;
}

std::vector<SimHostMessage> SimDevice::HostMessages() const {
  std::lock_guard<std::mutex> lock(m_observe_mutex);
  return m_host_messages;
}

std::vector<SimHostMessage> SimDevice::HostArmMessages() const {
  std::lock_guard<std::mutex> lock(m_observe_mutex);
  std::vector<SimHostMessage> out;
  for (const auto& m : m_host_messages)
    if (m.type == ArmMsg) out.push_back(m);
  return out;
}

std::vector<uint8_t> SimDevice::FirmwareImage() const {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  return m_firmware.data;
}

bool SimDevice::FirmwareComplete() const {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  return m_firmware.complete;
}

bool SimDevice::FirmwareCheckOk() const {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  return m_firmware.complete && m_firmware.check_ok;
}

bool SimDevice::WaitForHostMessages(uint16_t type, size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_observe_mutex);
  return m_observe_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    size_t n = 0;
    for (const auto& m : m_host_messages) n += m.type == type;
    return n >= count;
  });
}

bool SimDevice::WaitForFramesSent(uint64_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_observe_mutex);
  return m_observe_signal.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [&] { return m_frames_sent.load() >= count; });
}
