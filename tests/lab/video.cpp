// Y4M files and the YUY2 <-> planar conversion that carries camera frames
// into them and back out.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "lab/pattern.h"
#include "lab/source.h"
#include "lab/video.h"
#include "support/files.h"

using namespace vhublab;
using namespace labtest;

TEST(Yuy2, PlanarRoundTripKeepsEverySample) {
  const int w = 6, h = 3;
  std::vector<uint8_t> packed(Yuy2FrameBytes(w, h));
  for (size_t i = 0; i < packed.size(); ++i) packed[i] = uint8_t(i * 7 + 3);
  Planar422 p;
  Yuy2ToPlanar(packed.data(), w, h, p);
  // Y0 U Y1 V: the first pair's samples land in the planes' first places.
  EXPECT_EQ(p.y[0], packed[0]);
  EXPECT_EQ(p.u[0], packed[1]);
  EXPECT_EQ(p.y[1], packed[2]);
  EXPECT_EQ(p.v[0], packed[3]);
  ASSERT_EQ(p.u.size(), size_t(w / 2 * h));
  std::vector<uint8_t> back(packed.size());
  PlanarToYuy2(p, back.data());
  EXPECT_EQ(back, packed);
}

TEST(Y4m, WriterHeaderFramesAndReadBack) {
  TempDir dir;
  const int w = 480, h = 360;
  {
    Y4mWriter wr(dir.File("a.y4m"), w, h, 30, 1);
    for (uint32_t n = 0; n < 3; ++n) {
      auto f = PatternFrame(n, w, h);
      wr.WriteYuy2(f.data(), f.size());
    }
    EXPECT_EQ(wr.frames(), 3);
    wr.Close();
  }
  const std::string bytes = Slurp(dir.File("a.y4m"));
  const std::string header = "YUV4MPEG2 W480 H360 F30:1 Ip A1:1 C422\n";
  ASSERT_EQ(bytes.substr(0, header.size()), header);
  EXPECT_EQ(bytes.size(), header.size() + 3 * (6 + Yuy2FrameBytes(w, h)));

  Y4mReader rd(dir.File("a.y4m"));
  EXPECT_EQ(rd.width(), w);
  EXPECT_EQ(rd.height(), h);
  EXPECT_EQ(rd.colorspace(), "422");
  Planar422 p;
  for (uint32_t n = 0; n < 3; ++n) {
    ASSERT_TRUE(rd.ReadFrame(p));
    std::vector<uint8_t> packed(Yuy2FrameBytes(w, h));
    PlanarToYuy2(p, packed.data());
    EXPECT_EQ(packed, PatternFrame(n, w, h)) << "frame " << n;
  }
  EXPECT_FALSE(rd.ReadFrame(p));
  rd.Rewind();
  EXPECT_TRUE(rd.ReadFrame(p));
}

TEST(Y4m, WriterRefusesFramesOfAnotherSize) {
  TempDir dir;
  Y4mWriter wr(dir.File("a.y4m"), 480, 360, 30, 1);
  std::vector<uint8_t> small(Yuy2FrameBytes(480, 360) - 2);
  EXPECT_THROW(wr.WriteYuy2(small.data(), small.size()), LabError);
  EXPECT_EQ(wr.frames(), 0);
}

// Every chroma layout a player may hand us comes out as 4:2:2 with the
// samples where they belong.
TEST(Y4m, ReaderConvertsChromaLayouts) {
  struct Case {
    const char* tag;
    size_t chroma_w, chroma_h;  // per plane, for a 4x4 picture
  } cases[] = {{"", 2, 2}, {" C420jpeg", 2, 2}, {" C420mpeg2", 2, 2}, {" C420paldv", 2, 2},
               {" C422", 2, 4}, {" C444", 4, 4}, {" Cmono", 0, 0}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    std::string frame = "FRAME\n";
    for (int i = 0; i < 16; ++i) frame.push_back(char(100 + i));         // Y
    frame.append(c.chroma_w * c.chroma_h, char(60));                     // U
    frame.append(c.chroma_w * c.chroma_h, char(200));                    // V
    Spit(dir.File("in.y4m"), std::string("YUV4MPEG2 W4 H4 F25:1") + c.tag + "\n" + frame + frame);
    Y4mReader rd(dir.File("in.y4m"));
    Planar422 p;
    ASSERT_TRUE(rd.ReadFrame(p));
    ASSERT_EQ(p.width, 4);
    ASSERT_EQ(p.height, 4);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p.y[i], 100 + i);
    ASSERT_EQ(p.u.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(p.u[i], c.chroma_w ? 60 : 128);
      EXPECT_EQ(p.v[i], c.chroma_w ? 200 : 128);
    }
    EXPECT_TRUE(rd.ReadFrame(p));
    EXPECT_FALSE(rd.ReadFrame(p));
  }
}

TEST(Y4m, ReaderRefusesDamagedFiles) {
  struct Case {
    const char* what;
    std::string bytes;
    bool fails_at_open;
  } cases[] = {
      {"not y4m", "RIFF....WAVEfmt ", true},
      {"no size", "YUV4MPEG2 F30:1\n", true},
      {"zero width", "YUV4MPEG2 W0 H4\n", true},
      {"garbage width", "YUV4MPEG2 Wabc H4\n", true},
      {"deep colour", "YUV4MPEG2 W4 H4 C420p10\n", true},
      {"bad rate", "YUV4MPEG2 W4 H4 F30:0\n", true},
      {"truncated frame", "YUV4MPEG2 W4 H4\nFRAME\n" + std::string(10, 'x'), false},
      {"not a frame marker", "YUV4MPEG2 W4 H4\nFRAMX\n" + std::string(24, 'x'), false},
      {"cut-off marker", "YUV4MPEG2 W4 H4\nFRA", false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Spit(dir.File("bad.y4m"), c.bytes);
    if (c.fails_at_open) {
      EXPECT_THROW(Y4mReader rd(dir.File("bad.y4m")), LabError);
    } else {
      Y4mReader rd(dir.File("bad.y4m"));
      Planar422 p;
      EXPECT_THROW(rd.ReadFrame(p), LabError);
    }
  }
  EXPECT_THROW(Y4mReader rd(dir.File("missing.y4m")), LabError);
}

TEST(Y4m, ScaleMapsCornersAndKeepsSizeWhenEqual) {
  Planar422 in;
  in.Resize(4, 2);
  for (size_t i = 0; i < in.y.size(); ++i) in.y[i] = uint8_t(i);
  in.u = {1, 2, 3, 4};
  Planar422 same = Scale(in, 4, 2);
  EXPECT_EQ(same.y, in.y);
  Planar422 big = Scale(in, 8, 4);
  ASSERT_EQ(big.y.size(), 32u);
  EXPECT_EQ(big.y[0], in.y[0]);
  EXPECT_EQ(big.y[31], in.y[7]);
  EXPECT_EQ(big.u[0], 1);
  EXPECT_EQ(big.u[15], 4);
}

TEST(VideoSource, FileLoopsAndIsScaledToTheHostsSize) {
  TempDir dir;
  {
    Y4mWriter wr(dir.File("two.y4m"), 480, 360, 25, 1);
    for (uint32_t n = 0; n < 2; ++n) {
      auto f = PatternFrame(n, 480, 360);
      wr.WriteYuy2(f.data(), f.size());
    }
  }
  VideoSource src(dir.File("two.y4m"));
  std::vector<uint8_t> f;
  src.Next(480, 360, f);
  EXPECT_EQ(f, PatternFrame(0, 480, 360));
  src.Next(480, 360, f);
  src.Next(480, 360, f);  // past the end: back to the first frame
  EXPECT_EQ(f, PatternFrame(0, 480, 360));
  src.Next(1280, 720, f);
  EXPECT_EQ(f.size(), Yuy2FrameBytes(1280, 720));
  EXPECT_EQ(src.frames(), 4u);

  VideoSource pattern("pattern");
  pattern.Next(640, 480, f);
  pattern.Next(640, 480, f);
  EXPECT_EQ(ReadPatternFrameNumber(f.data(), 640, 480), 1u);
}
