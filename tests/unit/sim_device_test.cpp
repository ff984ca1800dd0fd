// What the end-to-end tests take from the simulator without proving it: frames that depend only on
// number, kind and seed (delivered ones are compared with ExpectedFrame), and a frame parser that
// finds the host's frames across any chunk boundary.
#include <vector>

#include <gtest/gtest.h>

#include "NetworkTestFrames.h"
#include "devsim/SimDevice.h"
#include "devsim/SimFrameParser.h"

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<std::pair<uint32_t, Bytes>>;

TEST(SimDevice, ExpectedFramesDependOnlyOnNumberKindAndSeed) {
  SimDeviceOptions options, reseeded;
  reseeded.seed = 2;
  const SimDevice device(options), same(options), other(reseeded);
  const Bytes frame = device.ExpectedFrame(3, 3);
  EXPECT_EQ(same.ExpectedFrame(3, 3), frame);
  for (const Bytes& differs : {other.ExpectedFrame(3, 3), device.ExpectedFrame(3, 8), device.ExpectedFrame(4, 3)})
    EXPECT_NE(differs, frame);
}

TEST(SimFrameParser, FindsFramesAcrossEveryChunkBoundary) {
  const Bytes a(40, 0x5A), b = {1, 2, 3, 4, 5, 6, 7};
  // Stray bytes holding partial start tags; none joins the next frame's tag into a false one.
  const Bytes stream = Concat({{0, 0xFF, 0xFF, 0, 0x12}, Frame(6, a), {0xFF, 0xFF, 0x00}, Frame(9, b)});
  Frames frames;
  SimFrameParser parser([&](uint32_t t, const uint8_t* p, uint32_t n) { frames.push_back({t, Bytes(p, p + n)}); });
  uint64_t runs = 0;
  for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
    for (size_t cut2 = cut1; cut2 <= stream.size(); cut2 += 5) {
      const size_t cuts[] = {0, cut1, cut2, stream.size()};
      frames.clear();
      for (int i = 0; i < 3; ++i) parser.Append(stream.data() + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i]));
      ASSERT_EQ(frames, (Frames{{6, a}, {9, b}})) << cut1 << "/" << cut2;
      ASSERT_EQ(parser.CachedBytes(), 0u);
      ASSERT_EQ(parser.SkippedBytes(), 8 * ++runs);
    }
  }
}
