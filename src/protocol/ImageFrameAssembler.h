// Reassembles original (type 3) and Y-original (type 8) image frames from their pieces into
// one frame buffer: the 80-byte image header, then image_size bytes of image data.
//
// Only the engine's receive worker calls it, one piece at a time. The buffer holds 80 bytes
// more than the largest image, so an image of exactly 4194304 bytes fits whole.
#pragma once

#include <cstdint>
#include <memory>

class ImageFrameAssembler {
 public:
  static constexpr uint32_t kFrameBufferSize = 80 + 4194304;

  ImageFrameAssembler();

  // Copies one piece into the frame buffer. Returns the length of the completed frame
  // (image_size + 80) when this piece ends it, 0 when the frame is not complete yet, and -1
  // when the piece was dropped (logged).
  int64_t AddPiece(uint16_t msg_type, const uint8_t* data, uint32_t len);

  uint8_t* Frame() { return m_image_frame_buf.get(); }
  uint32_t OriginalFrameCount() const { return m_original_frame_count; }
  uint32_t YOriginalFrameCount() const { return m_y_original_frame_count; }

 private:
  std::unique_ptr<uint8_t[]> m_image_frame_buf;
  // Number the completion log lines; both start at 1, so the first frame logs as 2.
  uint32_t m_original_frame_count = 1;
  uint32_t m_y_original_frame_count = 1;
};
