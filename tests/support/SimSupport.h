// The simulator as the tests use it (a SimRig, quiet unless a test asks for the status), and the
// storage tests' raw image helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devsim/SimRig.h"

// Device options without the once-a-second status, so tests see only what they cause.
SimDeviceOptions QuietDevice();

// Makes a zero-filled (sparse) image of `size` bytes in the working directory; its absolute path or
// an empty string.
std::string MakeImage(const std::string& name, uint64_t size = 52428800);

// Bytes of an image file (empty when it is shorter).
std::vector<uint8_t> Peek(const std::string& path, uint64_t offset, uint32_t len);
// The 32 bytes of a summary record.
std::vector<uint8_t> RecordBytes(uint64_t seq_no, uint32_t start, uint32_t data_len,
                                 uint16_t msg_type);

// The whole of a file (empty when there is none).
std::string FileText(const std::string& path);
