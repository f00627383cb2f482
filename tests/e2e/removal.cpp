// The devices go away while the host streams video, captures and plays and
// the application feeds and reads: by the application's unplug, by a
// surprise removal of the bus, or by an orderly removal. Afterwards no IRP
// may be pending anywhere, and once everything is gone the machine must hold
// no pool, no handle and no verifier finding (the fixture checks that).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/support/fixture.h"

using vhub::sdk::Result;

namespace e2e {
namespace {

enum class Removal { Unplug, SurpriseRemoveBus, UninstallBus, DisableBus };

struct RemovalCase {
    const char* name;
    Removal how;
};

const RemovalCase kRemovals[] = {
    {"Unplug", Removal::Unplug},
    {"SurpriseRemovalOfTheBus", Removal::SurpriseRemoveBus},
    {"OrderlyRemovalOfTheBus", Removal::UninstallBus},
    {"DisableTheBus", Removal::DisableBus},
};

constexpr uint32_t kSmallFrame = 480u * 360u * 2u;

class Streaming : public EndToEndTest {
protected:
    // Every stream of both devices running, with the application feeding and
    // reading on the clock.
    void StartEverything() {
        video_ = rig().Video();
        sound_ = rig().Sound();
        ASSERT_NE(video_, nullptr);
        ASSERT_NE(sound_, nullptr);
        ASSERT_EQ(video_->SetFrame(1, 1), STATUS_SUCCESS);
        ASSERT_EQ(video_->Start(), STATUS_SUCCESS);
        ASSERT_EQ(sound_->StartCapture(), STATUS_SUCCESS);
        std::vector<uint8_t> tone = Tone(0, 48000);
        sound_->PushPlayback(tone.data(), tone.size());
        ASSERT_EQ(sound_->StartPlayback(), STATUS_SUCCESS);
        for (uint32_t n = 0; n < 10; ++n) Feed(n);
        ASSERT_GE(video_->Counters().framesDelivered, 10u);
        ASSERT_GT(sound_->Counters().captureBytes, 0u);
        ASSERT_GT(sound_->Counters().playbackTransfers, 0u);
    }

    void Feed(uint32_t n) {
        app().WriteFrame(NumberedFrame(kSmallFrame, n));
        app().WritePcm(Tone(n * 480, 480));
        std::vector<uint8_t> speaker;
        app().ReadSpeakerPcm(&speaker, 8192);
        machine().AdvanceMs(10);
    }

    std::shared_ptr<usbclass::VideoFunction> video_;
    std::shared_ptr<usbclass::AudioFunction> sound_;
};

class RemovalWhileStreaming : public Streaming, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(RemovalWhileStreaming, EndsWithNoPendingIrp) {
    const Removal how = GetParam().how;
    StartEverything();
    auto camera = rig().Camera();
    auto audio = rig().Audio();

    switch (how) {
    case Removal::Unplug: {
        Result r = app().Unplug();
        ASSERT_EQ(r.status, vhub::sdk::kStatusSuccess);
        break;
    }
    case Removal::SurpriseRemoveBus:
        // The application still holds its handle: the bus is surprise-removed
        // now and removed once the handle closes.
        ASSERT_EQ(hk::pnp::SurpriseRemove(rig().root), STATUS_SUCCESS);
        break;
    case Removal::UninstallBus:
        app().Close();
        ASSERT_EQ(hk::pnp::Uninstall(rig().root), STATUS_SUCCESS);
        rig().root = nullptr;
        break;
    case Removal::DisableBus:
        app().Close();
        ASSERT_EQ(hk::pnp::Disable(rig().root), STATUS_SUCCESS);
        break;
    }
    ASSERT_TRUE(hk::pnp::WaitIdle());
    machine().AdvanceMs(50);

    // The host's side has nothing in flight and no IRP is left anywhere.
    EXPECT_EQ(video_->TransfersInFlight(), 0u);
    EXPECT_EQ(sound_->TransfersInFlight(), 0u);
    EXPECT_EQ(video_->Start(), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);

    if (how == Removal::SurpriseRemoveBus) {
        // Removal waits for the application's handle. Its requests on the
        // stale handle meanwhile are answered, not parked: nothing may wait
        // for a transfer that can never come.
        EXPECT_EQ(camera->State(), usbclass::DeviceState::SurpriseRemoved);
        EXPECT_EQ(audio->State(), usbclass::DeviceState::SurpriseRemoved);
        app().WriteFrame(NumberedFrame(kSmallFrame, 50));
        app().WritePcm(Tone(0, 480));
        std::vector<uint8_t> speaker;
        app().ReadSpeakerPcm(&speaker, 8192);
        machine().AdvanceMs(50);
        EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
        app().Close();
        ASSERT_TRUE(hk::pnp::WaitIdle());
        hk::pnp::DeviceInfo info;
        if (hk::pnp::Find(rig().root, &info)) {
            EXPECT_NE(info.state, hk::pnp::NodeState::Started);
        }
        EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
    }

    // The host's side has let go of both devices.
    EXPECT_EQ(camera->State(), usbclass::DeviceState::Removed);
    EXPECT_EQ(audio->State(), usbclass::DeviceState::Removed);
    EXPECT_EQ(usbclass::Devices().size(), 0u);

    if (how == Removal::Unplug) {
        // The bus stays: what the application writes now finds no transfer
        // and is dropped.
        Result frame = app().WriteFrame(NumberedFrame(kSmallFrame, 60));
        EXPECT_EQ(frame.status, vhub::sdk::kStatusSuccess);
        EXPECT_EQ(frame.bytes, 0u);
        Result pcm = app().WritePcm(Tone(0, 480));
        EXPECT_EQ(pcm.status, vhub::sdk::kStatusSuccess);
        EXPECT_EQ(pcm.bytes, 0u);
        EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, RemovalWhileStreaming, ::testing::ValuesIn(kRemovals),
                         [](const ::testing::TestParamInfo<RemovalCase>& i) { return std::string(i.param.name); });

// Unplugged and plugged in again, the devices must stream as new ones do.
// Whether the host's video stream was open at the unplug must not matter:
// the host never gets to close a stream of a device that went away.
class Replug : public Streaming {
protected:
    void UnplugAndPlugIn() {
        ASSERT_EQ(app().Unplug().status, vhub::sdk::kStatusSuccess);
        ASSERT_TRUE(hk::pnp::WaitIdle());
        ASSERT_EQ(usbclass::Devices().size(), 0u);
        EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
        ASSERT_EQ(app().PlugIn().status, vhub::sdk::kStatusSuccess);
        ASSERT_TRUE(hk::pnp::WaitIdle());
        ASSERT_NE(rig().Video(), nullptr);
        ASSERT_NE(rig().Sound(), nullptr);
    }

    void ExpectBothStream() {
        auto video = rig().Video();
        auto sound = rig().Sound();
        ASSERT_EQ(video->SetFrame(1, 2), STATUS_SUCCESS);
        ASSERT_EQ(video->Start(), STATUS_SUCCESS) << video->Validation().Describe();
        EXPECT_EQ(video->Committed().dwMaxVideoFrameSize, 640u * 480u * 2u);
        ASSERT_EQ(sound->StartCapture(), STATUS_SUCCESS);
        std::vector<uint8_t> frame = NumberedFrame(640u * 480u * 2u, 61);
        EXPECT_EQ(app().WriteFrame(frame).bytes, frame.size());
        std::vector<usbclass::uvc::Frame> frames = video->TakeFrames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_TRUE(frames[0].bytes == frame);
        std::vector<uint8_t> block = Tone(480, 480);
        EXPECT_EQ(app().WritePcm(block).bytes, block.size());
        std::vector<usbclass::CaptureChunk> chunks = sound->TakeCapture();
        ASSERT_EQ(chunks.size(), 1u);
        EXPECT_EQ(chunks[0].pcm, block);
    }
};

TEST_F(Replug, AfterTheHostClosedTheVideoStreamBothDevicesStreamAgain) {
    StartEverything();
    ASSERT_EQ(video_->Stop(), STATUS_SUCCESS);  // audio keeps running into the unplug
    UnplugAndPlugIn();
    ExpectBothStream();
}

// The old camera's alternate-setting-1 selection leaves VideoOpened set in
// the bus extension, and the host cannot select alternate setting 0 on a
// device that is gone. The new camera's configuration selection must close
// the stream again, or it refuses every probe and commit.
TEST_F(Replug, AfterAnUnplugWithTheVideoStreamOpenTheNewCameraStreams) {
    StartEverything();
    UnplugAndPlugIn();
    ExpectBothStream();
}

}  // namespace
}  // namespace e2e
