// kestal.hpp's FrameQueue, header-only: drops the oldest frame when full and counts it, copies the
// frame it is given, and pop waits no longer than asked.
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "kestal/kestal.hpp"

using namespace std::chrono;

TEST(FrameQueue, DropsTheOldestWhenFullAndPopWaitsAtMostItsTimeout) {
  kestal::FrameQueue queue(2);
  std::vector<std::uint8_t> pixels = {7, 8};
  kestal::Frame frame;
  frame.pixels = pixels.data(), frame.pixels_size = pixels.size();
  for (unsigned int number : {1u, 2u, 3u}) frame.number = number, queue.sink()(frame);
  pixels[0] = 0;  // the queue holds copies
  EXPECT_EQ(queue.dropped(), 1u);
  for (unsigned int number : {2u, 3u}) {
    const std::optional<kestal::OwnedFrame> f = queue.pop(seconds(1));
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->number, number);
    EXPECT_EQ(f->pixels, (std::vector<std::uint8_t>{7, 8}));
  }
  const auto start = steady_clock::now();
  EXPECT_FALSE(queue.pop(milliseconds(50)).has_value());
  const auto waited = steady_clock::now() - start;
  EXPECT_TRUE(waited >= milliseconds(40) && waited < seconds(5)) << waited.count();
  EXPECT_THROW(kestal::FrameQueue(0), kestal::Error);
}
