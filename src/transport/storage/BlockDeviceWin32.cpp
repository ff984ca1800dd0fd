#include "transport/storage/BlockDevice.h"

#include <windows.h>
#include <winioctl.h>

#include <cstdio>

namespace {

constexpr int kNameMax = 256;

HANDLE ToHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Opens a drive (or an image file) for reading and writing, shared with other readers and
// writers, without overlapped I/O: every transfer completes before it returns. An image file
// may also be removed or replaced while open, as a disk goes away under the library.
HANDLE OpenDrive(const std::string& path) {
  wchar_t wide[kNameMax];
  if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, kNameMax) == 0)
    return INVALID_HANDLE_VALUE;
  return CreateFileW(wide, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     0, nullptr);
}

// Positions a transfer: the offset travels with the call, the handle has no shared position.
OVERLAPPED At(uint64_t offset) {
  OVERLAPPED ov = {};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

}  // namespace

BlockDevice::~BlockDevice() { Close(); }

std::vector<std::string> BlockDevice::DefaultCandidates() {
  std::vector<std::string> candidates;
  for (std::size_t i = 0; i < kMaxCandidates; ++i) {
    char name[kNameMax];
    std::snprintf(name, sizeof name, "\\\\.\\PHYSICALDRIVE%d", static_cast<int>(i));
    candidates.emplace_back(name);
  }
  return candidates;
}

std::string BlockDevice::SearchPattern() { return "\\\\.\\PHYSICALDRIVE*"; }

int64_t BlockDevice::ProbeSize(const std::string& path) {
  HANDLE h = OpenDrive(path);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int64_t size = -1;
  GET_LENGTH_INFORMATION info = {};
  DWORD returned = 0;
  if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &returned,
                      nullptr)) {
    size = static_cast<int64_t>(info.Length.QuadPart);
  } else {
    // An image file named in an explicit candidate list has no disk geometry.
    LARGE_INTEGER file_size;
    if (GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &file_size))
      size = static_cast<int64_t>(file_size.QuadPart);
  }
  CloseHandle(h);
  return size;
}

int BlockDevice::Open(const std::string& path) {
  Close();
  HANDLE h = OpenDrive(path);
  if (h == INVALID_HANDLE_VALUE) return -1;
  m_handle = reinterpret_cast<intptr_t>(h);
  // Raw physical drives are not cached by the system; image files are, coherently.
  m_unbuffered = false;
  return 0;
}

void BlockDevice::Close() {
  if (m_handle != kInvalidHandle) CloseHandle(ToHandle(m_handle));
  m_handle = kInvalidHandle;
  m_unbuffered = false;
}

int BlockDevice::Read(uint64_t offset, uint8_t* buffer, uint32_t length) {
  if (!IsOpen()) return -1;
  if (length == 0) return 0;
  OVERLAPPED ov = At(offset);
  DWORD done = 0;
  if (!ReadFile(ToHandle(m_handle), buffer, length, &done, &ov) || done != length) return -1;
  return 0;
}

int BlockDevice::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
  if (!IsOpen()) return -1;
  if (length == 0) return 0;
  OVERLAPPED ov = At(offset);
  DWORD done = 0;
  if (!WriteFile(ToHandle(m_handle), data, length, &done, &ov) || done != length) return -1;
  return 0;
}
