// Tone and WAV sources in the device format, and WAV output.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>

#include "lab/audio.h"
#include "lab/video.h"
#include "support/files.h"

using namespace vhublab;
using namespace labtest;

namespace {

int16_t Sample(const std::vector<uint8_t>& b, size_t index) {
  return int16_t(uint16_t(b[2 * index] | (b[2 * index + 1] << 8)));
}

void WriteWav(const std::string& path, int rate, int channels, const std::vector<int16_t>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(sf, nullptr);
  sf_writef_short(sf, samples.data(), sf_count_t(samples.size() / channels));
  sf_close(sf);
}

}  // namespace

TEST(Tone, ChunkedReadsMakeOneContinuousTone) {
  ToneSource whole(440), chunked(440);
  std::vector<uint8_t> a(48000 * 4), b(48000 * 4);
  whole.Read(a.data(), a.size());
  for (size_t at = 0; at < b.size(); at += 1920) chunked.Read(b.data() + at, 1920);
  EXPECT_EQ(a, b);
}

TEST(Tone, FrequencyAndChannels) {
  for (double hz : {440.0, 1000.0}) {
    ToneSource t(hz);
    std::vector<uint8_t> one_second(48000 * 4);
    t.Read(one_second.data(), one_second.size());
    int crossings = 0;
    for (size_t i = 1; i < 48000; ++i) {
      EXPECT_EQ(Sample(one_second, 2 * i), Sample(one_second, 2 * i + 1));
      if ((Sample(one_second, 2 * (i - 1)) < 0) != (Sample(one_second, 2 * i) < 0)) ++crossings;
    }
    EXPECT_NEAR(crossings, 2 * hz, 2) << hz;
  }
}

TEST(PcmSourceSpec, BadSpecsAreRefused) {
  const char* bad[] = {"tone:", "tone:abc", "tone:0", "tone:-5", "tone:30000", "/no/such/file.wav"};
  for (const char* choice : bad) EXPECT_THROW(OpenPcmSource(choice), LabError) << choice;
  EXPECT_NO_THROW(OpenPcmSource("tone:440"));
}

TEST(WavFile, MonoIsDuplicatedAndTheFileLoops) {
  TempDir dir;
  WriteWav(dir.File("m.wav"), 48000, 1, {100, -200, 300});
  WavFileSource src(dir.File("m.wav"));
  std::vector<uint8_t> out(5 * 4);
  src.Read(out.data(), out.size());
  const int16_t expect[] = {100, 100, -200, -200, 300, 300, 100, 100, -200, -200};
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(Sample(out, i), expect[i]) << i;
}

TEST(WavFile, FormatsTheDeviceCannotTakeAreRefused) {
  TempDir dir;
  WriteWav(dir.File("44k.wav"), 44100, 2, {1, 2, 3, 4});
  WriteWav(dir.File("6ch.wav"), 48000, 6, std::vector<int16_t>(12, 1));
  WriteWav(dir.File("empty.wav"), 48000, 2, {});
  {
    std::FILE* f = std::fopen(dir.File("text.wav").c_str(), "w");
    std::fputs("not audio", f);
    std::fclose(f);
  }
  for (const char* name : {"44k.wav", "6ch.wav", "empty.wav", "text.wav"})
    EXPECT_THROW(WavFileSource src(dir.File(name)), LabError) << name;
}

TEST(WavWriter, WritesDeviceFormatAndCarriesPartialFrames) {
  TempDir dir;
  ToneSource t(1000);
  std::vector<uint8_t> pcm(1922);
  t.Read(pcm.data(), 1920);
  {
    WavWriter w(dir.File("o.wav"));
    // Odd chunk sizes: a sample frame split across calls is kept whole.
    w.Write(pcm.data(), 7);
    w.Write(pcm.data() + 7, 1913);
    EXPECT_EQ(w.bytes_written(), 1920u);
    w.Close();
  }
  WavInfo info = ProbeWav(dir.File("o.wav"));
  EXPECT_EQ(info.sample_rate, 48000);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.frames, 480);
  EXPECT_EQ(info.subtype, SF_FORMAT_PCM_16);
  WavFileSource back(dir.File("o.wav"));
  std::vector<uint8_t> again(1920);
  back.Read(again.data(), again.size());
  EXPECT_TRUE(std::equal(again.begin(), again.end(), pcm.begin()));
}
