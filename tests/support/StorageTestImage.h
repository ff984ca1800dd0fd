// Helpers of the storage transport's tests: sparse disk images in the test's working
// directory, raw access to their bytes, and a recorder of the service's device events.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kestal/KestalHostCommService.h"
#include "transport/storage/SummaryRecord.h"

namespace storage_test {

constexpr uint64_t kImageSize = 52428800;

// A zero-filled (sparse where the file system allows) image of `size` bytes in the working
// directory; returns its absolute path, or an empty string.
inline std::string MakeImage(const std::string& name, uint64_t size = kImageSize) {
  const std::filesystem::path path = std::filesystem::current_path() / name;
  { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
  std::error_code ec;
  std::filesystem::resize_file(path, size, ec);
  return ec ? std::string() : path.string();
}

inline std::vector<uint8_t> Peek(const std::string& path, uint64_t offset, uint32_t len) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> out(len);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out.data()), len);
  if (!in || in.gcount() != static_cast<std::streamsize>(len)) return {};
  return out;
}

inline bool Poke(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset));
  io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  io.flush();
  return static_cast<bool>(io);
}

inline std::vector<uint8_t> RecordBytes(uint64_t seq_no, uint32_t start, uint32_t data_len, uint16_t msg_type) {
  SummaryRecord r;
  r.seq_no = seq_no;
  r.start = start;
  r.data_len = data_len;
  r.msg_type = msg_type;
  std::vector<uint8_t> bytes(SummaryRecord::kSize);
  r.Encode(bytes.data());
  return bytes;
}

// Device events that the service delivers while it lives (registered on the singleton).
class EventRecorder {
 public:
  EventRecorder() { KestalHostCommService::GetInstance().SetDeviceEventCallBack(&EventRecorder::OnEvent, this); }
  ~EventRecorder() { KestalHostCommService::GetInstance().SetDeviceEventCallBack(nullptr, nullptr); }

  std::vector<std::pair<HostCommDeviceEvent, std::string>> Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  int Count(HostCommDeviceEvent event) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& e : m_events) n += e.first == event;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
  }

 private:
  static void OnEvent(HostCommDeviceEvent event, const char* text, void* user_data) {
    auto* self = static_cast<EventRecorder*>(user_data);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_events.emplace_back(event, text ? text : "");
  }

  mutable std::mutex m_mutex;
  std::vector<std::pair<HostCommDeviceEvent, std::string>> m_events;
};

}  // namespace storage_test
