// Audio from end to end: a tone the application writes reaches the host's
// audio class driver as microphone capture, and a tone the host plays reaches
// the application through the speaker reads. Virtual clock throughout, with
// the application keeping real-time pace on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/support/fixture.h"

using vhub::sdk::Result;

namespace e2e {
namespace {

constexpr size_t kBlockFrames = 480;            // 10 ms at 48 kHz
constexpr size_t kBlockBytes = kBlockFrames * 4;  // 1920

class AudioEndToEnd : public EndToEndTest {};

TEST_F(AudioEndToEnd, MicrophoneToneWrittenInRealTimeArrivesByteIdenticalApartFromCountedDrops) {
    auto sound = rig().Sound();
    ASSERT_NE(sound, nullptr);
    // The application has been silent for a while when the host starts
    // capturing, so the host's first transfers come back empty and the
    // application's first block finds none waiting.
    machine().AdvanceMs(100);
    ASSERT_EQ(sound->StartCapture(), STATUS_SUCCESS) << sound->Validation().Describe();

    std::vector<uint8_t> accepted;
    size_t dropped = 0, firstAccepted = SIZE_MAX;
    const size_t blocks = 300;  // 3 s
    for (size_t b = 0; b < blocks; ++b) {
        std::vector<uint8_t> block = Tone(b * kBlockFrames, kBlockFrames);
        Result r = app().WritePcm(block);
        ASSERT_EQ(r.status, vhub::sdk::kStatusSuccess) << "block " << b;
        if (r.bytes == 0) {
            ++dropped;
            // Once the host's transfers wait for audio, none is dropped again.
            EXPECT_EQ(firstAccepted, SIZE_MAX) << "block " << b << " dropped in mid-stream";
        } else {
            EXPECT_EQ(r.bytes, kBlockBytes);
            if (firstAccepted == SIZE_MAX) firstAccepted = b;
            accepted.insert(accepted.end(), block.begin(), block.end());
        }
        // A stall of the application in the middle: the waiting transfers
        // stay parked and take the next blocks, so nothing is lost.
        machine().AdvanceMs(b == 150 ? 120 : 10);
    }
    RecordProperty("dropped_blocks", (int)dropped);
    EXPECT_GE(dropped, 1u);
    EXPECT_LE(dropped, 3u);

    std::vector<usbclass::CaptureChunk> chunks = sound->TakeCapture();
    std::vector<uint8_t> captured;
    ULONG expectedStart = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].pcm.size(), kBlockBytes) << "chunk " << i;
        EXPECT_EQ(chunks[i].startFrame, expectedStart) << "chunk " << i;
        expectedStart += (ULONG)(chunks[i].pcm.size() / 4);
        captured.insert(captured.end(), chunks[i].pcm.begin(), chunks[i].pcm.end());
    }
    EXPECT_EQ(chunks.size(), blocks - dropped);
    EXPECT_EQ(captured.size(), accepted.size());
    EXPECT_TRUE(captured == accepted) << "the host's capture differs from the blocks the driver accepted";
    usbclass::AudioCounters c = sound->Counters();
    EXPECT_EQ(c.capturePacketErrors, 0u);
    EXPECT_EQ(c.captureBytes, accepted.size());
    EXPECT_EQ(sound->StopCapture(), STATUS_SUCCESS);
    EXPECT_EQ(sound->TransfersInFlight(), 0u);
}

// How often the application collects the speaker PCM. Both are "on time":
// fewer records wait between reads than the driver keeps after a trim.
class SpeakerReadPeriod : public AudioEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(SpeakerReadPeriod, ToneThatTheHostPlaysIsReadBackByteIdentical) {
    const int period = GetParam();
    auto sound = rig().Sound();
    ASSERT_NE(sound, nullptr);
    std::vector<uint8_t> tone = Tone(0, 48000 * 2);  // 2 s
    sound->PushPlayback(tone.data(), tone.size());
    ASSERT_EQ(sound->StartPlayback(), STATUS_SUCCESS) << sound->Validation().Describe();

    std::vector<uint8_t> read;
    for (int t = 0; t < 2600; t += period) {
        machine().AdvanceMs(period);
        std::vector<uint8_t> got;
        Result r = app().ReadSpeakerPcm(&got, 4 * 2048);
        ASSERT_EQ(r.status, vhub::sdk::kStatusSuccess);
        ASSERT_EQ(r.bytes, got.size());
        read.insert(read.end(), got.begin(), got.end());
    }
    ASSERT_GE(read.size(), tone.size()) << "the device took too little in 2.6 s";
    EXPECT_TRUE(std::equal(tone.begin(), tone.end(), read.begin())) << "speaker PCM differs from what the host played";
    // After the tone the host had only silence to send.
    for (size_t i = tone.size(); i < read.size(); ++i) ASSERT_EQ(read[i], 0) << "byte " << i;
    usbclass::AudioCounters c = sound->Counters();
    EXPECT_EQ(c.playbackBytesTaken, c.playbackTransfers * kBlockBytes);
    EXPECT_EQ(read.size(), c.playbackBytesTaken);
    EXPECT_EQ(sound->StopPlayback(), STATUS_SUCCESS);
    EXPECT_EQ(sound->TransfersInFlight(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Audio, SpeakerReadPeriod, ::testing::Values(10, 30),
                         [](const ::testing::TestParamInfo<int>& i) { return "Every" + std::to_string(i.param) + "ms"; });

}  // namespace
}  // namespace e2e
