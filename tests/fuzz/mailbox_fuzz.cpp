// Fuzzes the mailbox reader, HostCommViaStorage::ReadMsg, on a sparse disk image whose device-to-host summary ring
// (its last block and first 2048 bytes) and data ring start hold the input. Started at positions the reader itself
// could hold (slots of the ring), a pass on a healthy image must never report a disk failure, must keep the
// positions on slots of the ring, and may deliver only messages that a valid record describes (type and length).
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "FuzzFormats.h"
#include "transport/storage/HostCommViaStorage.h"

namespace {
// The transport on a sparse image of the disk's size. The image's name goes as soon as the transport has it open
// (the open disk keeps it), so not even a crash or a failed check leaves it behind.
HostCommViaStorage& Storage() {
  static HostCommViaStorage storage;
  static bool made = false;
  if (std::exchange(made, true)) return storage;
  char image[128];
  std::snprintf(image, sizeof image, "%s/kestal-mailbox-fuzz-%d.img", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ".",
                static_cast<int>(getpid()));
  const int fd = open(image, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, kStorageDeviceSize) != 0 || close(fd) != 0) Fail("cannot make the disk image");
  storage.SetCandidatePaths({image});
  const int opened = storage.OpenStorageDevice();
  unlink(image);
  if (opened != 0) Fail("cannot open the disk image");
  return storage;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int kType = kVolumeTypeDeviceToHost;
  constexpr uint32_t kSlot = SummaryRecord::kSize;
  static size_t s_data_written = 0;  // data ring bytes that the last input wrote
  HostCommViaStorage& storage = Storage();
  const VolumeArea& area = HostCommViaStorage::Area(kType);
  const auto on_slot = [&](uint32_t a) { return a >= area.summary_start && a < area.summary_end && a % kSlot == 0; };
  const auto write = [&](uint32_t address, const uint8_t* bytes, size_t n) {
    if (storage.WriteStorageDevice(address, bytes, static_cast<uint32_t>(n)) != 0) Fail("image write failed");
  };
  FuzzReader in{data, size};
  const uint8_t mode = in.Get<uint8_t>();
  // Slots of the ring only: ReadMsg refuses (fails on) a window that starts outside it, which no pass leads to.
  const auto slot = [&] { return area.summary_start + in.Get<uint16_t>() % (area.SummarySize() / kSlot) * kSlot; };
  const VolumeRunInfo info{slot(), 0, in.Get<uint64_t>(), slot(), in.Get<uint64_t>()};  // read in this order
  // Every input writes the same summary bytes and at least the data bytes that the one before wrote.
  size_t n = kMailboxSummaryBytes;
  const uint8_t* bytes = in.Take(n);
  Bytes summary(bytes, bytes + n), ring(in.m_data, in.m_data + in.m_left);
  summary.resize(kMailboxSummaryBytes);
  ring.resize(std::max(ring.size(), std::exchange(s_data_written, ring.size())));
  write(area.summary_end - kMailboxLead, summary.data(), kMailboxLead);
  write(area.summary_start, &summary[kMailboxLead], summary.size() - kMailboxLead);
  write(area.data_start, ring.data(), ring.size());

  std::vector<SummaryRecord> records(1);  // may be delivered: the init message (type 0, one block), valid records
  records[0].data_len = kStorageBlockSize;
  for (size_t at = 0; at < summary.size(); at += kSlot)
    if (SummaryRecord::IsValid(&summary[at])) records.push_back(SummaryRecord::Decode(&summary[at]));
  if (mode & 1)
    storage.SetRunInfo(kType, info);
  else if (storage.RepositionVolume(kType) != 0)
    Fail("repositioning on a healthy image failed");
  for (int pass = 0; pass < 4; ++pass) {
    if (storage.ReadMsg() < 0) Fail("a pass on a healthy image reported a disk failure");
    while (WorkFlowBuffer* msg = storage.m_recv_msg_queue.GetFull(-1)) {
      // The queue cuts what is longer than its buffers (65536 bytes): such a message would match no record.
      if (std::none_of(records.begin(), records.end(), [&](const SummaryRecord& r) {
            return r.msg_type == msg->msg_type && r.data_len == msg->bytes_used;
          }))
        Fail("a message was delivered that no valid record describes");
      storage.m_recv_msg_queue.PutFree(msg);
    }
    const VolumeRunInfo now = storage.RunInfo(kType);
    if (!on_slot(now.summary_addr) || !on_slot(now.last_summary_addr)) Fail("the reader's positions left the ring");
  }
  return 0;
}
