// Image frames reassembled from their pieces, as the application receives them.
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "common/LittleEndian.h"
#include "protocol/HostCommProtocolImpl.h"

using namespace kestal;

namespace {

std::vector<uint8_t> Piece(uint32_t image_size, uint32_t offset, uint32_t len, uint8_t header_tag = 0x11,
                           uint32_t header_size_field = UINT32_MAX) {
  std::vector<uint8_t> p(92 + len);
  std::memset(p.data(), header_tag, 76);
  StoreU32(p.data() + 76, header_size_field == UINT32_MAX ? image_size : header_size_field);
  StoreU32(p.data() + 80, image_size);
  StoreU32(p.data() + 84, offset);
  StoreU32(p.data() + 88, len);
  for (uint32_t i = 0; i < len; ++i) p[92 + i] = static_cast<uint8_t>((offset + i) * 7);
  return p;
}

class ImageFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { engine.SetRecvMsgCallBack(&ImageFrameTest::OnRecv, this); }
  static void OnRecv(unsigned short type, unsigned char* data, unsigned int len, void* user) {
    auto* self = static_cast<ImageFrameTest*>(user);
    self->types.push_back(type);
    self->frames.emplace_back(data, data + len);
  }
  void Deal(uint16_t type, const std::vector<uint8_t>& payload) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[payload.size()]);
    std::memcpy(copy.get(), payload.data(), payload.size());
    engine.DealMsg(type, copy.get(), static_cast<uint32_t>(payload.size()));
  }
  static std::vector<uint8_t> Expected(uint32_t image_size, uint8_t header_tag) {
    std::vector<uint8_t> f(80 + image_size);
    std::memset(f.data(), header_tag, 76);
    StoreU32(f.data() + 76, image_size);
    for (uint32_t i = 0; i < image_size; ++i) f[80 + i] = static_cast<uint8_t>(i * 7);
    return f;
  }

  LogCapture log;
  HostCommProtocolImpl engine;
  std::vector<uint16_t> types;
  std::vector<std::vector<uint8_t>> frames;
};

}  // namespace

TEST_F(ImageFrameTest, OnePieceFrame) {
  Deal(3, Piece(1000, 0, 1000));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(types[0], 3);
  EXPECT_EQ(frames[0], Expected(1000, 0x11));
  EXPECT_TRUE(log.Contains("Recv a completed frame of original image:2"));
}

TEST_F(ImageFrameTest, ThreePiecesInOrderDeliverTheFrameOnlyAtTheLast) {
  Deal(3, Piece(3000, 0, 1000, 0x21));
  Deal(3, Piece(3000, 1000, 1000, 0x22));
  EXPECT_TRUE(frames.empty());
  Deal(3, Piece(3000, 2000, 1000, 0x23));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Expected(3000, 0x23));  // carries the header of its last piece
}

TEST_F(ImageFrameTest, BadPiecesAreDroppedAndLeaveTheBufferAlone) {
  Deal(3, Piece(2000, 0, 1000));  // first half of a frame
  Deal(3, Piece(4194305, 0, 10));
  Deal(3, Piece(2000, 1000, 10, 0x11, 1999));
  Deal(3, Piece(2000, 1991, 10));                 // ends one byte past the image
  Deal(3, Piece(2000, 0xFFFFFFF0u, 0x20));        // offset + length wraps past 2^32
  auto truncated = Piece(2000, 1000, 1000);
  truncated.resize(92 + 999);                      // claims more data than arrived
  Deal(3, truncated);
  Deal(3, std::vector<uint8_t>(91, 0));           // too short for a piece header
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(log.Count("image is too large"), 1);
  EXPECT_EQ(log.Count("image size of pieces is not the same with header"), 1);
  EXPECT_EQ(log.Count("piece header is not correct"), 2);
  EXPECT_EQ(log.Count("piece data is beyond the message, piece_len:1000, msg_len:1091"), 1);
  EXPECT_EQ(log.Count("image piece is too short:91"), 1);
  Deal(3, Piece(2000, 1000, 1000));  // the real second half completes the frame untouched
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Expected(2000, 0x11));
}

TEST_F(ImageFrameTest, HeaderOnlyFrameAndYOriginalCountedApart) {
  Deal(8, Piece(0, 0, 0, 0x44));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].size(), 80u);
  EXPECT_EQ(types[0], 8);
  Deal(8, Piece(10, 0, 10));
  Deal(3, Piece(10, 0, 10));
  EXPECT_EQ(log.MessagesStartingWith("Recv a completed frame of Y-original image:"),
            (std::vector<std::string>{"Recv a completed frame of Y-original image:2",
                                      "Recv a completed frame of Y-original image:3"}));
  EXPECT_EQ(log.MessagesStartingWith("Recv a completed frame of original image:"),
            (std::vector<std::string>{"Recv a completed frame of original image:2"}));
}

TEST_F(ImageFrameTest, LargestImageIsDeliveredWhole) {
  constexpr uint32_t kSize = 4194304;
  constexpr uint32_t kPiece = 65428;  // largest piece data in one frame payload
  for (uint32_t offset = 0; offset < kSize; offset += kPiece)
    Deal(3, Piece(kSize, offset, std::min(kPiece, kSize - offset)));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Expected(kSize, 0x11));
}
