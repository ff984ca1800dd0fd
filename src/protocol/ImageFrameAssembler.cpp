#include "protocol/ImageFrameAssembler.h"

#include <cstring>

#include "common/LittleEndian.h"
#include "common/Log.h"
#include "protocol/HostCommMsg.h"

using kestal::LoadU32;

namespace {
constexpr const char* kDealMsg = "HostCommProtocolImpl::DealMsg";
}

int64_t ImageFrameAssembler::AddPiece(uint16_t msg_type, const uint8_t* data, uint32_t len,
                                      uint8_t* frame) {
  using L = ImagePieceLayout;
  if (len < L::kPieceData) {
    KLOG_DEBUG_AS(kDealMsg, "image piece is too short:%u", len);
    return -1;
  }
  const uint32_t image_size = LoadU32(data + L::kImageSize);
  const uint32_t piece_offset = LoadU32(data + L::kPieceOffset);
  const uint32_t piece_len = LoadU32(data + L::kPieceLen);
  if (image_size > L::kMaxImageSize) {
    KLOG_DEBUG_AS(kDealMsg, "image is too large");
    return -1;
  }
  if (image_size != LoadU32(data + L::kHeaderImageSize)) {
    KLOG_DEBUG_AS(kDealMsg, "image size of pieces is not the same with header");
    return -1;
  }
  const uint64_t piece_end = static_cast<uint64_t>(piece_offset) + piece_len;
  if (piece_end > image_size) {
    KLOG_DEBUG_AS(kDealMsg, "piece header is not correct");
    return -1;
  }
  if (static_cast<uint64_t>(L::kPieceData) + piece_len > len) {
    KLOG_DEBUG_AS(kDealMsg, "piece data is beyond the message, piece_len:%u, msg_len:%u", piece_len,
                  len);
    return -1;
  }

  const bool continues = m_in_frame && msg_type == m_frame_type && image_size == m_frame_size &&
                         piece_offset == m_next_offset;
  if (!continues) {
    if (m_in_frame || (piece_offset != 0 && !m_skipping)) {
      ++m_incomplete_frames;
      KLOG_DEBUG_AS(kDealMsg, "image frame is not complete, dropped:%u/%u",
                    m_in_frame ? m_next_offset : 0u, m_in_frame ? m_frame_size : image_size);
    }
    m_in_frame = piece_offset == 0;
    m_skipping = !m_in_frame;
    if (m_skipping) return -1;
    m_frame_type = msg_type;
    m_frame_size = image_size;
  }
  std::memcpy(frame, data, L::kImageHeaderLength);
  std::memcpy(frame + L::kImageHeaderLength + piece_offset, data + L::kPieceData, piece_len);
  m_next_offset = static_cast<uint32_t>(piece_end);
  if (piece_end < image_size) return 0;
  m_in_frame = false;

  if (msg_type == OriginalImagePiece) {
    ++m_original_frame_count;
    KLOG_DEBUG_AS(kDealMsg, "Recv a completed frame of original image:%d",
                  static_cast<int>(m_original_frame_count));
  } else {
    ++m_y_original_frame_count;
    KLOG_DEBUG_AS(kDealMsg, "Recv a completed frame of Y-original image:%d",
                  static_cast<int>(m_y_original_frame_count));
  }
  return static_cast<int64_t>(image_size) + L::kImageHeaderLength;
}
