// Reassembles original (type 3) and Y-original (type 8) image frames from their pieces into a
// frame buffer that the caller gives with each piece (the same one for every piece of a frame):
// the 80-byte image header, then image_size bytes of image data.
//
// A frame is delivered only when its pieces came in a row, each starting where the one before
// ended, from offset 0 to the image's end, all of one kind and size: a frame with a piece lost
// (a dropped connection, a skipped mailbox record) or broken into by the other image kind is
// dropped with one log line and counted, never delivered with stale bytes in its gap.
//
// One thread at a time calls it, one piece at a time (the reading side of the link). A frame
// buffer holds kFrameBufferSize bytes, 80 more than the largest image, so an image of exactly
// 4194304 bytes fits whole.
#pragma once

#include <cstdint>

class ImageFrameAssembler {
 public:
  static constexpr uint32_t kFrameBufferSize = 80 + 4194304;

  // Copies one piece into `frame` (kFrameBufferSize bytes). Returns the length of the completed
  // frame (image_size + 80) when this piece ends it, 0 when the frame is not complete yet, and -1
  // when the piece was dropped (logged, except further pieces of a frame already dropped).
  int64_t AddPiece(uint16_t msg_type, const uint8_t* data, uint32_t len, uint8_t* frame);

  uint32_t OriginalFrameCount() const { return m_original_frame_count; }
  uint32_t YOriginalFrameCount() const { return m_y_original_frame_count; }
  // Frames dropped because a piece of them was missing.
  uint32_t IncompleteFrameCount() const { return m_incomplete_frames; }

 private:
  // Number the completion log lines; both start at 1, so the first frame logs as 2.
  uint32_t m_original_frame_count = 1;
  uint32_t m_y_original_frame_count = 1;
  // The frame being assembled: its kind and size, and where its next piece must start.
  bool m_in_frame = false;
  bool m_skipping = false;  // after a drop, until a piece at offset 0 starts a frame
  uint16_t m_frame_type = 0;
  uint32_t m_frame_size = 0;
  uint32_t m_next_offset = 0;
  uint32_t m_incomplete_frames = 0;
};
