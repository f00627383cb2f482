// The camera from end to end: the application writes frames through the
// SDK, the driver cuts them into the video class driver's isochronous
// transfers, and the class driver rebuilds them. Virtual clock throughout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/support/fixture.h"

using vhub::sdk::Result;

namespace e2e {
namespace {

struct FrameRow {
    uint8_t frameIndex;  // bFrameIndex of the descriptors, 1-based
    uint16_t width;
    uint16_t height;
    uint32_t Bytes() const { return (uint32_t)width * height * 2; }
};

// The four sizes the camera offers, and the one it knows but does not offer.
const FrameRow kOffered[] = {{1, 480, 360}, {2, 640, 480}, {3, 720, 480}, {4, 1280, 720}};
constexpr uint32_t kUnofferedBytes = 1920u * 1080u * 2u;

std::string RowName(const ::testing::TestParamInfo<FrameRow>& info) {
    return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
}

class CameraEndToEnd : public EndToEndTest {
protected:
    std::shared_ptr<usbclass::VideoFunction> Start(uint8_t frameIndex) {
        auto video = rig().Video();
        EXPECT_NE(video, nullptr);
        if (!video) return nullptr;
        EXPECT_EQ(video->SetFrame(1, frameIndex), STATUS_SUCCESS);
        EXPECT_EQ(video->Start(), STATUS_SUCCESS) << video->Validation().Describe();
        return video;
    }

    uint8_t VideoIndex() {
        uint8_t index = 0xEE;
        Result r = app().ReadVideoIndex(&index);
        EXPECT_EQ(r.status, vhub::sdk::kStatusSuccess);
        EXPECT_EQ(r.bytes, 1u);
        return index;
    }

    // The frames the host rebuilt are exactly `sent`, in order, each with
    // the other FID than the one before.
    static void ExpectReceived(const std::vector<usbclass::uvc::Frame>& got,
                               const std::vector<std::vector<uint8_t>>& sent) {
        ASSERT_EQ(got.size(), sent.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(got[i].bytes == sent[i]) << "frame " << i << " differs (" << got[i].bytes.size() << " bytes)";
            if (i > 0) {
                EXPECT_NE(got[i].fid, got[i - 1].fid) << "frame " << i;
                EXPECT_EQ(got[i].sequence, got[i - 1].sequence + 1);
            }
        }
    }
};

class EachOfferedSize : public CameraEndToEnd, public ::testing::WithParamInterface<FrameRow> {};

TEST_P(EachOfferedSize, NumberedFramesArriveWholeInOrderWithAlternatingFid) {
    const FrameRow row = GetParam();
    auto video = Start(row.frameIndex);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Committed().dwMaxVideoFrameSize, row.Bytes());
    EXPECT_EQ(VideoIndex(), row.frameIndex - 1);

    std::vector<std::vector<uint8_t>> sent;
    for (uint32_t n = 0; n < 5; ++n) {
        sent.push_back(NumberedFrame(row.Bytes(), n));
        Result r = app().WriteFrame(sent.back());
        ASSERT_EQ(r.status, vhub::sdk::kStatusSuccess) << "frame " << n;
        EXPECT_EQ(r.bytes, row.Bytes()) << "frame " << n << " was dropped with transfers parked";
        machine().AdvanceMs(33);
    }
    ExpectReceived(video->TakeFrames(), sent);

    // A write of any other size is refused whole: the host sees nothing of
    // it, and the next frame of the right size still arrives intact with
    // the FID the stream is due.
    std::vector<uint32_t> wrong = {row.Bytes() - 4, row.Bytes() + 4, kUnofferedBytes};
    for (const FrameRow& other : kOffered)
        if (other.frameIndex != row.frameIndex) wrong.push_back(other.Bytes());
    for (uint32_t bytes : wrong) {
        std::vector<uint8_t> frame = NumberedFrame(bytes, 99);
        Result r = app().WriteFrame(frame);
        EXPECT_EQ(r.status, vhub::sdk::kStatusInsufficientResources) << bytes << " bytes";
        EXPECT_EQ(r.bytes, 0u) << bytes << " bytes";
    }
    std::vector<uint8_t> after = NumberedFrame(row.Bytes(), 5);
    ASSERT_EQ(app().WriteFrame(after).bytes, row.Bytes());
    std::vector<usbclass::uvc::Frame> got = video->TakeFrames();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].bytes == after);
    EXPECT_EQ(got[0].fid, (uint8_t)(sent.size() & 1)) << "a refused write moved the FID";

    usbclass::VideoCounters c = video->Counters();
    EXPECT_EQ(c.frameErrors, 0u);
    EXPECT_EQ(c.droppedPayloads, 0u);
    EXPECT_EQ(c.framesQueueDropped, 0u);
    EXPECT_EQ(c.transfersFailed, 0u);
    EXPECT_EQ(video->Stop(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Camera, EachOfferedSize, ::testing::ValuesIn(kOffered), RowName);

TEST_F(CameraEndToEnd, FramesWithoutAParkedTransferAreDroppedAndStopRestartLeavesNothingPending) {
    const FrameRow row = kOffered[1];  // 640x480
    size_t dropped = 0;
    auto write = [&](uint32_t n, uint32_t bytes) {
        Result r = app().WriteFrame(NumberedFrame(bytes, n));
        EXPECT_EQ(r.status, vhub::sdk::kStatusSuccess);
        if (r.bytes == 0) ++dropped;
        return r;
    };
    const size_t idle = hk::io::OutstandingIrpCount();

    // Before the host streams, the start size (720x480) is accepted and dropped.
    for (uint32_t n = 0; n < 3; ++n) write(100 + n, kOffered[2].Bytes());
    EXPECT_EQ(dropped, 3u);

    auto video = Start(row.frameIndex);
    ASSERT_NE(video, nullptr);
    std::vector<std::vector<uint8_t>> first;
    for (uint32_t n = 0; n < 3; ++n) {
        first.push_back(NumberedFrame(row.Bytes(), n));
        EXPECT_EQ(app().WriteFrame(first.back()).bytes, row.Bytes());
        machine().AdvanceMs(33);
    }
    ExpectReceived(video->TakeFrames(), first);

    // The host stops: every transfer comes back, none stays in the driver.
    ASSERT_EQ(video->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(video->TransfersInFlight(), 0u);
    EXPECT_EQ(video->Counters().transfersCancelled, 4u);
    machine().AdvanceMs(50);
    EXPECT_EQ(hk::io::OutstandingIrpCount(), idle);
    for (uint32_t n = 0; n < 2; ++n) write(200 + n, row.Bytes());
    EXPECT_EQ(dropped, 5u);
    EXPECT_TRUE(video->TakeFrames().empty());

    // ...and starts again: the stream carries on from a clean frame.
    ASSERT_EQ(video->Start(), STATUS_SUCCESS) << video->Validation().Describe();
    std::vector<std::vector<uint8_t>> second;
    for (uint32_t n = 3; n < 6; ++n) {
        second.push_back(NumberedFrame(row.Bytes(), n));
        EXPECT_EQ(app().WriteFrame(second.back()).bytes, row.Bytes());
        machine().AdvanceMs(33);
    }
    ExpectReceived(video->TakeFrames(), second);
    EXPECT_EQ(video->Counters().frameErrors, 0u);
    ASSERT_EQ(video->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(hk::io::OutstandingIrpCount(), idle);
    EXPECT_EQ(dropped, 5u);
    RecordProperty("dropped_frames", (int)dropped);
}

TEST_F(CameraEndToEnd, VideoIndexFollowsTheHostsSelection) {
    auto video = rig().Video();
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(VideoIndex(), 2u);  // 720x480 until the host chooses

    // The host changes its mind between streams; the index, and with it the
    // size the driver accepts, follow each selection and stay after a stop.
    const uint8_t order[] = {4, 1, 3, 2, 4};
    uint8_t previous = 3;
    for (uint8_t frameIndex : order) {
        SCOPED_TRACE("frame index " + std::to_string(frameIndex));
        ASSERT_EQ(video->SetFrame(1, frameIndex), STATUS_SUCCESS);
        ASSERT_EQ(video->Start(), STATUS_SUCCESS);
        EXPECT_EQ(VideoIndex(), frameIndex - 1);
        const FrameRow& row = kOffered[frameIndex - 1];
        std::vector<uint8_t> frame = NumberedFrame(row.Bytes(), frameIndex);
        EXPECT_EQ(app().WriteFrame(frame).bytes, row.Bytes());
        if (previous != frameIndex) {
            EXPECT_EQ(app().WriteFrame(NumberedFrame(kOffered[previous - 1].Bytes(), 0)).status,
                      vhub::sdk::kStatusInsufficientResources);
        }
        std::vector<usbclass::uvc::Frame> got = video->TakeFrames();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0].bytes == frame);
        ASSERT_EQ(video->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(VideoIndex(), frameIndex - 1);
        previous = frameIndex;
    }
}

}  // namespace
}  // namespace e2e
