// Plug-in and unplug: the empty / populated / unplugging states with their
// statuses, the children's capabilities, and the two requests racing each
// other and the manager's relations processing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "hk/testing.h"
#include "support/bus_rig.h"

namespace {

using bus_rig::Rig;

TEST(BusPlug, StateMachineWithChildrenHeldByAnOpenHandle) {
    Rig rig;
    bus_rig::RegisterPassThroughFunctionDriver();
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);

    // Populated right after start.
    EXPECT_EQ(rig.Ioctl(IOCTL_BUSENUM_PLUGIN_DEVICE), STATUS_OBJECTID_EXISTS);

    // An application holding the camera keeps its removal waiting.
    std::vector<std::u16string> links = bus_rig::ChildInterfaces();
    ASSERT_EQ(links.size(), 2u);
    hk::io::Handle held = nullptr;
    ASSERT_EQ(hk::io::Open(links[0], &held), STATUS_SUCCESS);

    // Unplugging: Present cleared, slots still taken; twice is fine.
    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    EXPECT_EQ(rig.ReportedChildren().size(), 1u) << "the held child waits for its handle";
    EXPECT_TRUE(rig.Child(0) != nullptr || rig.Child(1) != nullptr);
    EXPECT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ioctl(IOCTL_BUSENUM_PLUGIN_DEVICE), STATUS_OBJECTID_EXISTS);

    // Once the handle goes, the last child is removed and the bus is empty.
    hk::io::Close(held);
    hk::pnp::WaitIdle();
    EXPECT_EQ(rig.Child(0), nullptr);
    EXPECT_EQ(rig.Child(1), nullptr);
    EXPECT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_NOT_FOUND);

    // Plug-in creates a new pair, camera first.
    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_PLUGIN_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    ASSERT_NE(rig.ChildData(0), nullptr);
    EXPECT_EQ(rig.ChildData(0)->VendorId, 0xFC01);
    EXPECT_EQ(rig.ChildData(1)->VendorId, 0xFC02);
    EXPECT_EQ(rig.ReportedChildren().size(), 2u);
    EXPECT_EQ(bus_rig::ChildInterfaces().size(), 2u);

    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

TEST(BusPlug, StartTimeChildrenCarryZeroCapabilitiesPluggedOnesTheBuses) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, std::memcmp(&rig.ChildData(0)->ParentCaps, &zero, sizeof zero));
    EXPECT_EQ(0, std::memcmp(&rig.ChildData(1)->ParentCaps, &zero, sizeof zero));
    EXPECT_EQ(rig.Bus()->DeviceCaps.Size, sizeof(DEVICE_CAPABILITIES));

    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_PLUGIN_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    for (int slot = 0; slot < 2; ++slot) {
        ASSERT_NE(rig.ChildData(slot), nullptr);
        EXPECT_EQ(0, std::memcmp(&rig.ChildData(slot)->ParentCaps, &rig.Bus()->DeviceCaps, sizeof zero)) << slot;
    }
}

TEST(BusPlug, UnplugLeavesChildrenOutOfTheNextRelations) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    PDEVICE_OBJECT camera = rig.Child(0);
    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    EXPECT_TRUE(rig.ReportedChildren().empty());
    EXPECT_EQ(rig.Child(0), nullptr) << "the removed camera " << camera << " still holds its slot";
    bus_rig::Sent r = bus_rig::SendPnp(
        rig.fdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; }, STATUS_SUCCESS);
    auto* list = (PDEVICE_RELATIONS)r.information;
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Count, 0u);
    ExFreePool(list);
}

TEST(BusPlug, PluginFailureReportsTheAudioStatus) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    // Device objects come from the pool: fail every creation.
    rig.machine.FailTag(hk::MakeTag("Devi"));
    NTSTATUS status = rig.Ioctl(IOCTL_BUSENUM_PLUGIN_DEVICE);
    rig.machine.ClearPoolFaults();
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_TRUE(rig.Logged("IoCreateDeviceSecure failed  "));
    EXPECT_EQ(rig.Child(0), nullptr);
    // Nothing half-made: a later plug-in works.
    EXPECT_EQ(rig.Ioctl(IOCTL_BUSENUM_PLUGIN_DEVICE), STATUS_SUCCESS);
}

// Plug-in and unplug from two application threads while the manager
// handles the relations changes they cause.
TEST(BusPlugStress, TwoThreadsAgainstTheManagerLoseAndLeakNothing) {
    // Thousands of cycles: keep the log small. The level is set while no
    // driver code runs (before the install, after the teardown): the driver
    // reads it unlocked from every thread, as a value that never changes.
    VhubDebugLevel = 0;
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    constexpr int kCycles = 2000;
    std::atomic<int> plugged{0}, refused{0};
    auto worker = [&](bool plug_first) {
        hk::io::Handle h = nullptr;
        ASSERT_EQ(hk::io::Open(hk::io::FindInterfaces(VhubBusInterfaceGuid)[0], &h), STATUS_SUCCESS);
        ULONG n = 0;
        for (int i = 0; i < kCycles; ++i) {
            ULONG first = plug_first ? IOCTL_BUSENUM_PLUGIN_DEVICE : IOCTL_BUSENUM_UNPLUG_DEVICE;
            ULONG second = plug_first ? IOCTL_BUSENUM_UNPLUG_DEVICE : IOCTL_BUSENUM_PLUGIN_DEVICE;
            for (ULONG code : {first, second}) {
                NTSTATUS s = hk::io::DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &n);
                if (code == IOCTL_BUSENUM_PLUGIN_DEVICE) (s == STATUS_SUCCESS ? plugged : refused)++;
                else EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_NOT_FOUND) << std::hex << s;
            }
        }
        hk::io::Close(h);
    };
    std::thread a(worker, true), b(worker, false);
    a.join();
    b.join();
    hk::pnp::WaitIdle();

    EXPECT_GT(plugged.load(), 0);
    // Whatever is left is consistent: each slot's child knows its slot and
    // there are never two cameras.
    for (int slot = 0; slot < 2; ++slot)
        if (rig.Child(slot)) EXPECT_EQ(rig.ChildData(slot)->SlotIndex, (ULONG)slot);
    if (rig.Child(0) && rig.Child(1))
        EXPECT_NE(rig.ChildData(0)->VendorId, rig.ChildData(1)->VendorId);

    rig.TearDown();
    VhubDebugLevel = 3;
    EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
    HK_EXPECT_CLEAN(rig.machine);
}

}  // namespace
