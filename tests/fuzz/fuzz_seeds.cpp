// kestal-fuzz-seeds DIR: writes seed inputs into DIR/stream_fuzz, DIR/dealmsg_fuzz,
// DIR/mailbox_fuzz and DIR/capture_fuzz, made with the library's message builders, record encoding
// and capture layout, in the layouts of FuzzFormats.h (a capture seed is a capture file).
#include <filesystem>
#include <fstream>

#include "FuzzFormats.h"
#include "diag/PcapFormat.h"
#include "../support/NetworkTestFrames.h"
#include "transport/storage/SummaryRecord.h"
#include "transport/storage/VolumeArea.h"

namespace {
// Records in the input's summary slots from `first` on (slot 16 is the ring's first), the first
// taken as the last consumed; their data one after another in whole blocks from the data ring's
// start (the input holds 8 KiB of it). Record `torn` is only half written.
Bytes Mailbox(uint8_t mode, uint32_t first, std::vector<SummaryRecord> records,
              size_t torn = SIZE_MAX) {
  const VolumeArea& area = kVolumeAreas[kVolumeTypeDeviceToHost];
  constexpr uint32_t kSlot = SummaryRecord::kSize, kLeadSlots = kMailboxLead / kSlot,
                     kDataBytes = 8192;
  Bytes summary(kMailboxSummaryBytes), data(kDataBytes, 0xD0), out;
  uint32_t offset = 0;
  for (size_t i = 0; i < records.size(); offset += RoundUpToBlock(records[i++].data_len)) {
    records[i].start = area.data_start + offset;
    records[i].Encode(&summary[(first + i) * kSlot]);
    if (i == torn) std::fill_n(&summary[(first + i) * kSlot + kSlot / 2], kSlot / 2, 0);
  }
  data.resize(std::min(offset, kDataBytes));
  const auto ring_slot = [&](uint32_t slot) {
    return static_cast<uint16_t>((area.SummarySize() / kSlot + slot - kLeadSlots) %
                                 (area.SummarySize() / kSlot));
  };
  Put(out, mode, ring_slot(first + 1), records[0].seq_no + 1, ring_slot(first), records[0].seq_no,
      summary, data);
  return out;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return std::fprintf(stderr, "usage: kestal-fuzz-seeds DIR\n"), 2;
  int count = 0;
  const auto save = [&](const char* fuzzer, const Bytes& seed) {
    std::filesystem::create_directories(std::filesystem::path(argv[1]) / fuzzer);
    std::ofstream(std::filesystem::path(argv[1]) / fuzzer / ("seed-" + std::to_string(count++)),
                  std::ios::binary)
        .write(reinterpret_cast<const char*>(seed.data()),
               static_cast<std::streamsize>(seed.size()));
  };
  // A heartbeat order, an order ACK, a controller status, a Y image, the two pieces of an image
  // frame.
  Bytes heart_beat(OrderLayout::kHeaderLength), y_image(YImageLayout::kHeaderLength + 40, 0x59);
  HostCommMsg::BuildHeartBeat(heart_beat.data(), 1);
  kestal::StoreU32(&y_image[YImageLayout::kYDataLen], 40);
  const Bytes ack = HostCommMsg::BuildOrder(2, GetFpgaTemp, {0, 0, 0x10, 0x27, 0, 0});
  const Bytes status(ControllerStatusLayout::kLength, 0x21);
  const std::vector<Bytes> pieces = BuildImagePieces(Bytes(600, 0xA5), 2);
  const uint16_t types[] = {
      Order, Order, ControllerStatus, YImage, OriginalImagePiece, OriginalImagePiece};
  const Bytes payloads[] = {heart_beat, ack, status, y_image, pieces[0], pieces[1]};
  // Back to back; garbage and FF bytes between; FF at the end.
  for (uint8_t variant = 0; variant < 3; ++variant) {
    Bytes s = {static_cast<uint8_t>(variant * 77)};
    for (uint8_t i = 0; i < 6; ++i) {
      if (variant > 0)
        Put(s, static_cast<uint8_t>((i + variant) % 8 * 2), uint8_t{9}, Bytes(9, 0xFF));
      Put(s, uint8_t{1}, types[i], Len16(payloads[i]), payloads[i]);
    }
    if (variant == 2) Put(s, uint8_t{3 * 2}, uint8_t{0});
    save("stream_fuzz", s);
  }
  // A small frame in pieces, an ACK, a status; a Y-original frame, a Y image, an unknown type; the
  // pieces of a frame dealt one by one, the second one first (out of turn).
  const auto pick = [](uint16_t type) {
    return static_cast<uint8_t>(std::find(kDealTypes, kDealTypes + 9, type) - kDealTypes);
  };
  Bytes d[3];
  Put(d[0], kDealImagePick, uint8_t{0}, uint16_t{500}, uint8_t{2}, Bytes(500, 0x11), pick(Order),
      Len16(ack), ack);
  Put(d[0], pick(ControllerStatus), Len16(status), status);
  Put(d[1], kDealImagePick, uint8_t{1}, uint16_t{64}, uint8_t{3}, Bytes(64, 0x22), pick(YImage),
      Len16(y_image), y_image);
  Put(d[1], pick(kDealTypes[8]), uint16_t{10}, Bytes(10, 0x33));
  for (const Bytes& piece : {pieces[1], pieces[0], pieces[1]})
    Put(d[2], pick(OriginalImagePiece), Len16(piece), piece);
  for (const Bytes& seed : d) save("dealmsg_fuzz", seed);
  // Records (seq_no, start, length, type): in a run; one torn; a sequence gap; repositioned; across
  // the ring's end, one of them too long to deliver.
  const std::vector<SummaryRecord> run = {{0, 0, 512, 0},
                                          {1, 0, 14, Order},
                                          {2, 0, 56, ControllerStatus},
                                          {3, 0, 392, OriginalImagePiece}};
  std::vector<SummaryRecord> wrap;
  for (uint32_t seq_no = 5; seq_no < 13; ++seq_no)
    wrap.push_back({seq_no, 0, seq_no == 6 ? 70000 : 40 * seq_no, Order});
  for (const Bytes& seed :
       {Mailbox(1, 16, run), Mailbox(1, 16, run, 2), Mailbox(1, 16, {run[0], run[1], run[3]}),
        Mailbox(0, 16, run), Mailbox(1, 10, wrap)})
    save("mailbox_fuzz", seed);
  // A capture: a handshake, an order, the ACK and the image pieces in one segment, a second
  // connection's status.
  Bytes capture(pcap::kFileHeaderLength);
  pcap::WriteFileHeader(capture.data());
  auto packet = [&](bool to_device, uint8_t flags, const Bytes& payload) {
    const uint16_t from = to_device ? 50000 : 28992, to = to_device ? 28992 : 50000;
    const pcap::Segment s{1767225600000000, 0x7F000001, 0x7F000001, from, to, 1, 1, flags, 0,
                          to_device};
    const size_t at = capture.size();
    capture.resize(at + pcap::kRecordHeaderLength + pcap::kHeadersLength + payload.size());
    pcap::WritePacket(&capture[at], s, payload.data(), static_cast<uint32_t>(payload.size()));
  };
  Bytes device_side = Frame(Order, ack);
  for (const Bytes& piece : pieces) Put(device_side, Frame(OriginalImagePiece, piece));
  packet(true, pcap::kSyn, {}), packet(false, pcap::kSyn | pcap::kAck, {}),
      packet(true, pcap::kAck, {});
  packet(true, pcap::kPsh | pcap::kAck, Frame(Order, heart_beat)),
      packet(false, pcap::kPsh | pcap::kAck, device_side);
  packet(true, pcap::kSyn, {}),
      packet(false, pcap::kPsh | pcap::kAck, Frame(ControllerStatus, status));
  save("capture_fuzz", capture);
  return 0;
}
