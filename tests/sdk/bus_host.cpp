// The SDK's host back end against the real driver on hostkernel: the bus is
// found by its interface class, opened, and driven through the typed calls,
// with the buffers passed as the I/O manager passes an application's.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "vhub/sdk.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

using namespace vhub::sdk;

namespace {

constexpr char kDriver[] = "VhubVMic";
constexpr char kHardwareId[] = "ROOT\\VHUBVMIC";

hk::Machine::Options Options() {
    hk::Machine::Options o;
    // Nothing here depends on time; the driver's pacing thread runs free in
    // the background and the removal at tear-down needs no clock driving.
    o.clock = hk::ClockMode::Real;
    return o;
}

class SdkOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        hk::io::DriverOptions driver_options;
        driver_options.pool_tags = {hk::MakeTag("Zuwa"), hk::MakeTag("dcba")};
        ASSERT_NE(hk::io::LoadDriver(kDriver, DriverEntry, nullptr, driver_options), nullptr);
        hk::pnp::RegisterFunctionDriver(kHardwareId, kDriver, DriverEntry);
        hk::pnp::RootDeviceSettings root_device;
        root_device.hardware_ids = {kHardwareId};
        root_device.description = "virtual USB bus";
        root_device.driver = kDriver;
        ASSERT_EQ(hk::pnp::InstallRootDevice(root_device, &root_), STATUS_SUCCESS);
        ASSERT_TRUE(hk::pnp::WaitIdle());
        ASSERT_EQ(bus_.Open(), kStatusSuccess);
    }

    void TearDown() override {
        bus_.Close();
        if (root_) {
            hk::pnp::Uninstall(root_);
            hk::pnp::WaitIdle();
        }
        hk::io::UnloadDriver(kDriver);
    }

    size_t Children() { return hk::pnp::Children(root_).size(); }

    hk::Machine machine_{Options()};
    PDEVICE_OBJECT root_ = nullptr;
    Bus bus_;
};

TEST_F(SdkOnBus, FindsAndOpensTheBusByItsInterfaceClass) {
    std::vector<std::string> found = bus_.FindInterfaces();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(bus_.Path(), found[0]);
    EXPECT_TRUE(bus_.IsOpen());

    Bus other;
    EXPECT_EQ(other.Open("\\??\\no#such#interface"), int32_t(0xC0000034));  // OBJECT_NAME_NOT_FOUND
    EXPECT_FALSE(other.IsOpen());
    EXPECT_EQ(other.GetDeviceInfo().status, kStatusInvalidHandle);
}

TEST_F(SdkOnBus, DeviceInfoSucceedsWithNoData) {
    Result r = bus_.GetDeviceInfo();
    EXPECT_EQ(r.status, kStatusSuccess);
    EXPECT_EQ(r.bytes, 0u);
}

TEST_F(SdkOnBus, PlugInIsRefusedUntilTheUnpluggedChildrenAreGone) {
    ASSERT_EQ(Children(), 2u);
    // A started bus has its children already.
    EXPECT_EQ(bus_.PlugIn().status, kStatusObjectIdExists);

    EXPECT_EQ(bus_.Unplug().status, kStatusSuccess);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    EXPECT_EQ(Children(), 0u);
    EXPECT_EQ(bus_.Unplug().status, kStatusNotFound);

    EXPECT_EQ(bus_.PlugIn().status, kStatusSuccess);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    EXPECT_EQ(Children(), 2u);
    EXPECT_EQ(bus_.PlugIn().status, kStatusObjectIdExists);
}

TEST_F(SdkOnBus, VideoIndexAndFrameWritesCarryTheCallersBuffers) {
    uint8_t index = 0xFF;
    Result r = bus_.ReadVideoIndex(&index);
    ASSERT_EQ(r.status, kStatusSuccess);
    EXPECT_EQ(r.bytes, 1u);
    EXPECT_EQ(index, 2);  // 720x480 until the host selects a size
    FrameSize size;
    ASSERT_TRUE(FrameSizeForIndex(index, &size));

    std::vector<uint8_t> frame(size.bytes());
    // No camera transfer is parked (no class driver streams): the frame is
    // accepted and dropped.
    EXPECT_EQ(bus_.WriteFrame(frame).status, kStatusSuccess);
    // A frame of another size is refused.
    std::vector<uint8_t> small(640 * 480 * 2);
    EXPECT_EQ(bus_.WriteFrame(small).status, kStatusInsufficientResources);

    std::vector<uint8_t> pcm;
    r = bus_.ReadSpeakerPcm(&pcm, 4096);
    EXPECT_EQ(r.status, kStatusSuccess);
    EXPECT_TRUE(pcm.empty());
}

TEST_F(SdkOnBus, BadUserBuffersAreAnsweredWithAnError) {
    alignas(4) uint8_t storage[64] = {};
    uint8_t* misaligned = storage + 1;

    struct Case {
        const char* name;
        uint32_t code;
        const void* in;
        uint32_t in_length;
        void* out;
        uint32_t out_length;
    } cases[] = {
        {"video index into a misaligned buffer", kIoctlReadVideoIndex, nullptr, 0, misaligned, 4},
        {"speaker PCM into a misaligned buffer", kIoctlReadPcm, nullptr, 0, misaligned, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result r = bus_.Control(c.code, c.in, c.in_length, c.out, c.out_length);
        EXPECT_EQ(r.status, kStatusUnsuccessful);
        EXPECT_EQ(r.bytes, 0u);
    }
    // The bus keeps serving good requests afterwards.
    uint8_t index = 0;
    EXPECT_TRUE(bus_.ReadVideoIndex(&index).ok());
}

TEST_F(SdkOnBus, KernelMemoryIsNeverTheCallersBuffer) {
    // An application can hand the driver any pointer, a kernel address
    // included; the driver's probe must refuse it rather than write there.
    const ULONG tag = hk::MakeTag("Test");
    void* pool = ExAllocatePoolWithTag(NonPagedPool, 64, tag);
    ASSERT_NE(pool, nullptr);
    std::memset(pool, 0xAB, 64);
    struct Case {
        const char* name;
        uint32_t code;
        uint32_t out_length;
    } cases[] = {
        {"video index", kIoctlReadVideoIndex, 4},
        {"speaker PCM", kIoctlReadPcm, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result r = bus_.Control(c.code, nullptr, 0, pool, c.out_length);
        EXPECT_EQ(r.status, kStatusUnsuccessful);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(static_cast<uint8_t*>(pool)[0], 0xAB);
    }
    ExFreePoolWithTag(pool, tag);
}

}  // namespace
