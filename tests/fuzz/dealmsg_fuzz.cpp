// Fuzzes HostCommProtocolImpl::DealMsg over runs of device messages, image frames reassembled
// across calls. Checks each message handed to the receive callback: every byte readable; a Y image
// or image frame as long as its own length field says (image frames within the frame buffer); an
// image frame sent whole, in pieces in a row, delivered exactly once, at its last piece, with the
// bytes that were sent.
#include "FuzzFormats.h"
#include "protocol/HostCommProtocolImpl.h"

namespace {
const Bytes* g_expected = nullptr;  // the frame that the piece being dealt completes
uint32_t g_images = 0;              // image frames delivered
volatile uint32_t g_sum = 0;

void OnMessage(unsigned short type, unsigned char* data, unsigned int len, void*) {
  using L = ImagePieceLayout;
  const bool image = type == OriginalImagePiece || type == YOriginalImagePiece;
  for (unsigned int i = 0; i < len; ++i) g_sum += data[i];
  if (type == YImage &&
      (len < YImageLayout::kHeaderLength ||
       kestal::LoadU32(data + YImageLayout::kYDataLen) + YImageLayout::kHeaderLength !=
           uint64_t{len}))
    Fail("a Y image delivered with a length other than its data length + 72");
  if (image &&
      (len < L::kImageHeaderLength || len > ImageFrameAssembler::kFrameBufferSize ||
       kestal::LoadU32(data + L::kHeaderImageSize) + L::kImageHeaderLength != uint64_t{len}))
    Fail("an image frame delivered with a length other than its image size + 80");
  if (image && g_expected &&
      (len != g_expected->size() || std::memcmp(data, g_expected->data(), len) != 0))
    Fail("an image frame sent whole came out with other bytes");
  g_images += image;
}

void DealImage(HostCommProtocolImpl& engine, uint16_t type, const Bytes& image, uint32_t pieces) {
  std::vector<Bytes> all = BuildImagePieces(image, pieces);
  Bytes frame(all.back().begin(), all.back().begin() + ImagePieceLayout::kImageHeaderLength);
  frame.insert(frame.end(), image.begin(), image.end());
  for (size_t k = 0; k < all.size(); ++k) {
    const uint32_t before = g_images;
    g_expected = k + 1 == all.size() ? &frame : nullptr;
    engine.DealMsg(type, all[k].data(), static_cast<uint32_t>(all[k].size()));
    engine.DeliverWaiting();
    if (g_images != before + (g_expected != nullptr))
      Fail("a frame sent whole was not delivered once, at its end");
  }
  g_expected = nullptr;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HostCommProtocolImpl engine;
  engine.SetRecvMsgCallBack(OnMessage, nullptr);
  // A whole one-byte frame first: no input's pieces reach the next one.
  DealImage(engine, OriginalImagePiece, {7}, 1);
  FuzzReader in{data, size};
  while (in.m_left > 0) {
    const uint8_t pick = in.Get<uint8_t>();
    const bool image = pick >= kDealImagePick;
    const uint16_t image_type =
        image && (in.Get<uint8_t>() & 1) ? YOriginalImagePiece : OriginalImagePiece;
    size_t n = in.Get<uint16_t>();
    const uint8_t pieces = image ? in.Get<uint8_t>() : 0;
    const uint8_t* bytes = in.Take(n);
    Bytes msg(bytes, bytes + n);  // exactly the message: a read past it is caught
    if (image) DealImage(engine, image_type, msg, 1 + pieces % 4);
    if (!image && n > 0)
      engine.DealMsg(kDealTypes[pick % 9], msg.data(), static_cast<uint32_t>(n));  // never empty
    engine.DeliverWaiting();
  }
  return 0;
}
