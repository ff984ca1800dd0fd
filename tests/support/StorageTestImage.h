// Raw bytes of a disk image for the storage transport's tests (Peek: empty when the image is shorter), and
// the record bytes it should hold.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "transport/storage/SummaryRecord.h"

namespace storage_test {

inline std::vector<uint8_t> Peek(const std::string& path, uint64_t offset, uint32_t len) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> out(len);
  in.seekg(static_cast<std::streamoff>(offset)).read(reinterpret_cast<char*>(out.data()), len);
  return in && in.gcount() == static_cast<std::streamsize>(len) ? out : std::vector<uint8_t>();
}

inline bool Poke(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset))
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(io.flush());
}

inline std::vector<uint8_t> RecordBytes(uint64_t seq_no, uint32_t start, uint32_t data_len, uint16_t msg_type) {
  std::vector<uint8_t> bytes(SummaryRecord::kSize);
  SummaryRecord{seq_no, start, data_len, msg_type}.Encode(bytes.data());
  return bytes;
}

}  // namespace storage_test
