#include "SimSupport.h"

#include <filesystem>
#include <fstream>

#include "common/LittleEndian.h"
#include "protocol/HostCommMsg.h"
#include "transport/storage/SummaryRecord.h"

SimDeviceOptions QuietDevice() {
  SimDeviceOptions options;
  options.status_interval_ms = 0;
  return options;
}

std::string MakeImage(const std::string& name, uint64_t size) {
  const std::string path = (std::filesystem::current_path() / name).string();
  return CreateImage(path, size) == 0 ? path : std::string();
}

std::vector<uint8_t> Peek(const std::string& path, uint64_t offset, uint32_t len) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> out(len);
  in.seekg(static_cast<std::streamoff>(offset)).read(reinterpret_cast<char*>(out.data()), len);
  return in && in.gcount() == static_cast<std::streamsize>(len) ? out : std::vector<uint8_t>();
}

std::vector<uint8_t> RecordBytes(uint64_t seq_no, uint32_t start, uint32_t data_len,
                                 uint16_t msg_type) {
  std::vector<uint8_t> bytes(SummaryRecord::kSize);
  SummaryRecord{seq_no, start, data_len, msg_type}.Encode(bytes.data());
  return bytes;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
