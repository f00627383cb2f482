// The default camera picture: moving bars and a readable frame number.
#include <gtest/gtest.h>

#include "lab/pattern.h"

using namespace vhublab;

TEST(Pattern, FrameNumberReadsBackAtEveryOfferedSize) {
  const std::pair<int, int> sizes[] = {{480, 360}, {640, 480}, {720, 480}, {1280, 720}, {1920, 1080}};
  const uint32_t numbers[] = {0, 7, 42, 123456, 999999};
  for (auto [w, h] : sizes)
    for (uint32_t n : numbers) {
      auto f = PatternFrame(n, w, h);
      ASSERT_EQ(f.size(), size_t(w) * h * 2);
      auto read = ReadPatternFrameNumber(f.data(), w, h);
      ASSERT_TRUE(read.has_value()) << w << "x" << h << " frame " << n;
      EXPECT_EQ(*read, n);
    }
}

TEST(Pattern, BarsMoveAndFramesDiffer) {
  const int w = 480, h = 360;
  auto a = PatternFrame(1, w, h);
  auto b = PatternFrame(2, w, h);
  ASSERT_NE(a, b);
  // Below the number box the rows differ too: the bars themselves moved.
  const size_t row = size_t(h - 1) * w * 2;
  EXPECT_FALSE(std::equal(a.begin() + row, a.end(), b.begin() + row));
}

TEST(Pattern, SplicedOrForeignPicturesHaveNoNumber) {
  const int w = 640, h = 480;
  std::vector<uint8_t> grey(size_t(w) * h * 2, 128);
  EXPECT_FALSE(ReadPatternFrameNumber(grey.data(), w, h).has_value());
  // The top of frame 111111 over the bottom of frame 999999: the digits.
  // lower rows no longer form a glyph.
  auto a = PatternFrame(111111, w, h);
  auto b = PatternFrame(999999, w, h);
  const size_t half = size_t(h / 60 * 2 + 4 * (h / 60)) * w * 2;  // inside the digits
  std::copy(b.begin() + half, b.end(), a.begin() + half);
  EXPECT_FALSE(ReadPatternFrameNumber(a.data(), w, h).has_value());
}
