#include "transport/storage/BlockDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "transport/storage/AlignedBuffer.h"

namespace {

constexpr const char* kSysBlock = "/sys/block";
constexpr int64_t kSysfsSectorSize = 512;  // sysfs counts in 512-byte units whatever the disk

// A sysfs "size" file: the length in 512-byte sectors; -1 when unreadable.
int64_t ReadSysfsSize(const std::string& size_file) {
  FILE* f = std::fopen(size_file.c_str(), "re");
  if (!f) return -1;
  long long sectors = -1;
  if (std::fscanf(f, "%lld", &sectors) != 1) sectors = -1;
  std::fclose(f);
  return sectors < 0 ? -1 : static_cast<int64_t>(sectors) * kSysfsSectorSize;
}

bool IsAligned(const void* p) {
  return reinterpret_cast<uintptr_t>(p) % BlockDevice::kBufferAlignment == 0;
}

// pread/pwrite until the whole range is done; a short transfer that makes no progress (the
// end of the disk) is a failure.
template <typename Op>
int TransferAll(Op op, uint64_t offset, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = op(done, static_cast<off_t>(offset + done), length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return -1;
    done += static_cast<uint32_t>(n);
  }
  return 0;
}

}  // namespace

BlockDevice::~BlockDevice() { Close(); }

std::vector<std::string> BlockDevice::DefaultCandidates() {
  // /sys/block lists whole disks only (partitions sit below their disk). Entries without
  // media (unattached loop devices, empty card readers) are no disks to try.
  std::vector<std::string> names;
  if (DIR* dir = opendir(kSysBlock)) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> candidates;
  for (const std::string& name : names) {
    if (candidates.size() >= kMaxCandidates) break;
    if (ReadSysfsSize(std::string(kSysBlock) + "/" + name + "/size") <= 0) continue;
    candidates.push_back("/dev/" + name);
  }
  return candidates;
}

std::string BlockDevice::SearchPattern() { return "/sys/block/*"; }

int64_t BlockDevice::ProbeSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  if (S_ISREG(st.st_mode)) return static_cast<int64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    char size_file[96];
    std::snprintf(size_file, sizeof size_file, "/sys/dev/block/%u:%u/size", major(st.st_rdev),
                  minor(st.st_rdev));
    return ReadSysfsSize(size_file);
  }
  return -1;
}

int BlockDevice::Open(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_DIRECT);
  bool unbuffered = fd >= 0;
  if (fd >= 0) {
    // Some file systems accept O_DIRECT at open but refuse 512-byte transfers (4096-byte
    // sectors); the first sector tells.
    AlignedBuffer probe(512);
    if (probe.Data() && pread(fd, probe.Data(), 512, 0) < 0 && errno == EINVAL) {
      ::close(fd);
      fd = -1;
      unbuffered = false;
    }
  }
  if (fd < 0) {
    // tmpfs and the like refuse O_DIRECT: a page-cached file is coherent between the
    // processes of one host anyway.
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    unbuffered = false;
  }
  if (fd < 0) return -1;
  m_handle = fd;
  m_unbuffered = unbuffered;
  return 0;
}

void BlockDevice::Close() {
  if (m_handle != kInvalidHandle) ::close(static_cast<int>(m_handle));
  m_handle = kInvalidHandle;
  m_unbuffered = false;
}

int BlockDevice::Read(uint64_t offset, uint8_t* buffer, uint32_t length) {
  if (!IsOpen()) return -1;
  if (length == 0) return 0;
  const int fd = static_cast<int>(m_handle);
  if (m_unbuffered && !IsAligned(buffer)) {
    AlignedBuffer staging(length);
    if (!staging.Data()) return -1;
    if (Read(offset, staging.Data(), length) < 0) return -1;
    std::memcpy(buffer, staging.Data(), length);
    return 0;
  }
  return TransferAll(
      [&](uint32_t done, off_t at, uint32_t left) { return pread(fd, buffer + done, left, at); },
      offset, length);
}

int BlockDevice::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
  if (!IsOpen()) return -1;
  if (length == 0) return 0;
  const int fd = static_cast<int>(m_handle);
  if (m_unbuffered && !IsAligned(data)) {
    AlignedBuffer staging(length);
    if (!staging.Data()) return -1;
    std::memcpy(staging.Data(), data, length);
    return Write(offset, staging.Data(), length);
  }
  return TransferAll(
      [&](uint32_t done, off_t at, uint32_t left) { return pwrite(fd, data + done, left, at); },
      offset, length);
}
