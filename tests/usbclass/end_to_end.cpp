// The class drivers on the real virtual bus: enumeration of both children,
// video negotiation and frames written by the application, microphone
// capture, speaker playback paced by the bus, and removal with streams
// running. Virtual clock throughout.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "hk/testing.h"
#include "usbclass/usbclass.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

DEFINE_GUID(BusInterface, 0xA918DC47, 0x8798, 0x45A3, 0x83, 0x51, 0xCB, 0xF0, 0xAB, 0x47, 0x20, 0x8A);
constexpr ULONG kWritePcm = 0x22003B;
constexpr ULONG kReadPcm = 0x22004F;
constexpr ULONG kWriteYuv2 = 0x22005B;

class EndToEnd : public ::testing::Test {
protected:
    hk::Machine machine;
    PDEVICE_OBJECT root = nullptr;
    hk::io::Handle bus = nullptr;

    void SetUp() override {
        usbclass::Install();
        hk::io::DriverOptions options;
        options.pool_tags = {0x6177755A, 0x61626364};
        ASSERT_NE(hk::io::LoadDriver("VhubVMic", DriverEntry, nullptr, options), nullptr);
        hk::pnp::RootDeviceSettings root_device;
        root_device.hardware_ids = {"ROOT\\VHUBVMIC"};
        root_device.driver = "VhubVMic";
        ASSERT_EQ(hk::pnp::InstallRootDevice(root_device, &root), STATUS_SUCCESS);
        ASSERT_TRUE(hk::pnp::WaitIdle());
        auto links = hk::io::FindInterfaces(BusInterface);
        ASSERT_FALSE(links.empty());
        ASSERT_EQ(hk::io::Open(links[0], &bus), STATUS_SUCCESS);
    }

    void TearDown() override {
        if (bus) hk::io::Close(bus);
        if (root) {
            hk::pnp::Uninstall(root);
            hk::pnp::WaitIdle();
        }
        hk::io::UnloadDriver("VhubVMic");
        if (hk::io::FindDriver("usbccgp")) hk::io::UnloadDriver("usbccgp");
        EXPECT_EQ(usbclass::Devices().size(), 0u);
    }

    NTSTATUS Ioctl(ULONG code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0,
                   ULONG* returned = nullptr) {
        ULONG ignored = 0;
        return hk::io::DeviceIoControl(bus, code, in, inLength, out, outLength, returned ? returned : &ignored);
    }

    std::shared_ptr<usbclass::CompositeDevice> Camera() { return usbclass::FindDevice(0xFC01, 0xFD01); }
    std::shared_ptr<usbclass::CompositeDevice> Audio() { return usbclass::FindDevice(0xFC02, 0xFD02); }
};

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i < bytes; ++i) v[i] = (uint8_t)(seed + i * 7 + (i >> 11));
    return v;
}

TEST_F(EndToEnd, BothChildrenEnumerateWithTheirToleratedQuirks) {
    auto camera = Camera();
    auto audio = Audio();
    ASSERT_NE(camera, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(camera->State(), usbclass::DeviceState::Started);
    EXPECT_EQ(camera->ConfigurationBytes().size(), 313u);
    EXPECT_EQ(audio->ConfigurationBytes().size(), 174u);
    EXPECT_TRUE(camera->HasBusInterface());
    EXPECT_TRUE(camera->HighSpeed());
    EXPECT_EQ(camera->UsbdVersion().USBDI_Version, 0x600u);
    EXPECT_EQ(camera->Strings().at(2), u"Tolvexa Camera");

    // The control interfaces declare an endpoint that no descriptor describes;
    // the selection hands them the next endpoint of the set.
    usbclass::Findings cf = camera->Validation();
    EXPECT_TRUE(cf.Has(usbclass::Severity::Warning, "interface 0 was given pipe 0x82")) << cf.Describe();
    usbclass::Findings af = audio->Validation();
    EXPECT_TRUE(af.Has(usbclass::Severity::Warning, "interface 0 was given pipe 0x81")) << af.Describe();

    ASSERT_NE(camera->Video(), nullptr);
    EXPECT_TRUE(camera->Video()->Usable()) << camera->Video()->Validation().Describe();
    EXPECT_TRUE(cf.Has(usbclass::Severity::Warning, "interface 0 alternate 0 declares 1 endpoint(s) but 0"));
    EXPECT_TRUE(af.Has(usbclass::Severity::Warning, "interface 0 alternate 0 declares 1 endpoint(s) but 0"));
    ASSERT_NE(audio->Audio(), nullptr);
    EXPECT_TRUE(audio->Audio()->Usable()) << audio->Audio()->Validation().Describe();
}

TEST_F(EndToEnd, VideoFramesWrittenByTheApplicationArriveWhole) {
    auto video = Camera()->Video();
    ASSERT_EQ(video->SetFrame(1, 1), STATUS_SUCCESS);
    ASSERT_EQ(video->Start(), STATUS_SUCCESS) << video->Validation().Describe();
    EXPECT_EQ(video->Committed().dwMaxVideoFrameSize, 345600u);
    EXPECT_EQ(video->FrameBytes(), 345600u);
    EXPECT_EQ(video->TransfersInFlight(), 4u);

    std::vector<uint8_t> first = Pattern(345600, 1), second = Pattern(345600, 2);
    ASSERT_EQ(Ioctl(kWriteYuv2, first.data(), (ULONG)first.size()), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(kWriteYuv2, second.data(), (ULONG)second.size()), STATUS_SUCCESS);
    std::vector<usbclass::uvc::Frame> frames = video->TakeFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].bytes == first);
    EXPECT_TRUE(frames[1].bytes == second);
    EXPECT_NE(frames[0].fid, frames[1].fid);
    EXPECT_EQ(video->Counters().frameErrors, 0u);
    EXPECT_EQ(video->TransfersInFlight(), 4u);  // every completed transfer went out again

    ASSERT_EQ(video->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(video->TransfersInFlight(), 0u);
    EXPECT_EQ(video->Counters().transfersCancelled, 4u);
    // A stopped stream may be probed again (the camera refuses probes while open).
    ASSERT_EQ(video->SetFrame(1, 2), STATUS_SUCCESS);
    ASSERT_EQ(video->Start(), STATUS_SUCCESS) << video->Validation().Describe();
    EXPECT_EQ(video->Committed().dwMaxVideoFrameSize, 614400u);
    ASSERT_EQ(video->Stop(), STATUS_SUCCESS);
}

TEST_F(EndToEnd, AFrameTheProbeRangeExcludesIsWarnedAboutAndStreamed) {
    auto video = Camera()->Video();
    ASSERT_EQ(video->SetFrame(1, 4), STATUS_SUCCESS);
    ASSERT_EQ(video->Start(), STATUS_SUCCESS) << video->Validation().Describe();
    EXPECT_TRUE(video->Validation().Has(usbclass::Severity::Warning, "excludes frame 4")) << video->Validation().Describe();
    std::vector<uint8_t> frame = Pattern(1843200, 9);
    ASSERT_EQ(Ioctl(kWriteYuv2, frame.data(), (ULONG)frame.size()), STATUS_SUCCESS);
    auto frames = video->TakeFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].bytes == frame);
    ASSERT_EQ(video->Stop(), STATUS_SUCCESS);
}

TEST_F(EndToEnd, MicrophonePcmArrivesWithRunningStartFrames) {
    auto audio = Audio()->Audio();
    ASSERT_EQ(audio->StartCapture(), STATUS_SUCCESS) << audio->Validation().Describe();
    EXPECT_EQ(audio->TransfersInFlight(), 4u);
    std::vector<uint8_t> a = Pattern(1920, 3), b = Pattern(1920, 4);
    ASSERT_EQ(Ioctl(kWritePcm, a.data(), 1920), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(kWritePcm, b.data(), 1920), STATUS_SUCCESS);
    auto chunks = audio->TakeCapture();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].pcm, a);
    EXPECT_EQ(chunks[1].pcm, b);
    EXPECT_EQ(chunks[0].startFrame, 0u);
    EXPECT_EQ(chunks[1].startFrame, 480u);

    ASSERT_EQ(audio->StopCapture(), STATUS_SUCCESS);
    EXPECT_EQ(audio->TransfersInFlight(), 0u);
}

TEST_F(EndToEnd, MicrophoneWithoutPcmIsPolledAtTheBusPace) {
    // With no PCM for more than 30 ms the device returns microphone transfers
    // at once and empty; each goes out again only after its 10 ms of bus
    // time, so the host neither spins nor stops asking.
    machine.AdvanceMs(50);
    auto audio = Audio()->Audio();
    ASSERT_EQ(audio->StartCapture(), STATUS_SUCCESS);
    EXPECT_EQ(audio->Counters().captureEmpty, 4u);
    machine.AdvanceMs(100);
    uint64_t empty = audio->Counters().captureEmpty;
    EXPECT_GE(empty, 4u + 4u * 9);
    EXPECT_LE(empty, 4u + 4u * 10);
    EXPECT_EQ(audio->Counters().captureBytes, 0u);

    // Once the application writes, transfers wait for its PCM again.
    std::vector<uint8_t> pcm = Pattern(1920, 6);
    ASSERT_EQ(Ioctl(kWritePcm, pcm.data(), 1920), STATUS_SUCCESS);  // finds none waiting: dropped
    machine.AdvanceMs(10);
    ASSERT_EQ(Ioctl(kWritePcm, pcm.data(), 1920), STATUS_SUCCESS);
    auto chunks = audio->TakeCapture();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].pcm, pcm);
    ASSERT_EQ(audio->StopCapture(), STATUS_SUCCESS);
    EXPECT_EQ(audio->TransfersInFlight(), 0u);
}

TEST_F(EndToEnd, SpeakerPcmIsTakenAtTheDevicePace) {
    auto audio = Audio()->Audio();
    std::vector<uint8_t> pcm = Pattern(192 * 1000, 5);  // one second
    audio->PushPlayback(pcm.data(), pcm.size());
    ASSERT_EQ(audio->StartPlayback(), STATUS_SUCCESS) << audio->Validation().Describe();
    EXPECT_EQ(audio->TransfersInFlight(), 3u);
    for (int i = 0; i < 50; ++i) machine.AdvanceMs(10);
    auto counters = audio->Counters();
    EXPECT_GE(counters.playbackTransfers, 45u);
    EXPECT_LE(counters.playbackTransfers, 55u);
    double rate = audio->PlaybackRate();
    EXPECT_NEAR(rate, 192000.0, 192000.0 * 0.1);

    // What the application reads back is what the host played, in order.
    std::vector<uint8_t> read(1920 * 4);
    ULONG got = 0;
    ASSERT_EQ(Ioctl(kReadPcm, nullptr, 0, read.data(), (ULONG)read.size(), &got), STATUS_SUCCESS);
    ASSERT_GT(got, 0u);
    read.resize(got);
    auto at = std::search(pcm.begin(), pcm.end(), read.begin(), read.end());
    EXPECT_NE(at, pcm.end());
    ASSERT_EQ(audio->StopPlayback(), STATUS_SUCCESS);
    EXPECT_EQ(audio->TransfersInFlight(), 0u);
}

TEST_F(EndToEnd, RemovalWithStreamsRunningCancelsEveryTransfer) {
    auto camera = Camera();
    auto video = camera->Video();
    auto audio = Audio()->Audio();
    ASSERT_EQ(video->Start(), STATUS_SUCCESS);
    ASSERT_EQ(audio->StartCapture(), STATUS_SUCCESS);
    ASSERT_EQ(audio->StartPlayback(), STATUS_SUCCESS);
    machine.AdvanceMs(30);
    hk::io::Close(bus);
    bus = nullptr;
    ASSERT_EQ(hk::pnp::Uninstall(root), STATUS_SUCCESS);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    root = nullptr;
    EXPECT_EQ(camera->State(), usbclass::DeviceState::Removed);
    EXPECT_EQ(video->TransfersInFlight(), 0u);
    EXPECT_EQ(audio->TransfersInFlight(), 0u);
    EXPECT_EQ(video->Start(), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(usbclass::Devices().size(), 0u);
}

}  // namespace
