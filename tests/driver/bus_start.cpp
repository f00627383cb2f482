// The bus device's own life: start creating the children, relations, stop
// and start again, failed starts and removal.
#include <gtest/gtest.h>

#include <cstring>

#include "camera/camera.h"
#include "hk/handles.h"
#include "hk/testing.h"
#include "support/bus_rig.h"

namespace {

using bus_rig::Rig;

TEST(BusStart, CreatesBothChildrenReportsThemAndEnablesTheInterface) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_NE(rig.fdo, nullptr);

    ASSERT_NE(rig.Child(0), nullptr);
    ASSERT_NE(rig.Child(1), nullptr);
    EXPECT_EQ(rig.ChildData(0)->VendorId, 0xFC01);
    EXPECT_EQ(rig.ChildData(0)->ProductId, 0xFD01);
    EXPECT_EQ(rig.ChildData(0)->SlotIndex, 0u);
    EXPECT_EQ(rig.ChildData(1)->VendorId, 0xFC02);
    EXPECT_EQ(rig.ChildData(1)->SlotIndex, 1u);

    std::vector<PDEVICE_OBJECT> reported = rig.ReportedChildren();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0], rig.Child(0));
    EXPECT_EQ(reported[1], rig.Child(1));
    EXPECT_TRUE(rig.BusInterfaceEnabled());
    EXPECT_EQ(rig.PacingThreads(), 1u);
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

}  // namespace

namespace {

using bus_rig::SendPnp;

TEST(BusRelations, ListFromAboveComesFirstThenPresentChildrenAndTheOldListIsFreed) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    auto* above = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PVOID),
                                                           hk::MakeTag("Abov"));
    above->Count = 2;
    above->Objects[0] = rig.root_pdo;
    above->Objects[1] = rig.fdo;
    bus_rig::Sent r = SendPnp(
        rig.fdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
        STATUS_SUCCESS, (ULONG_PTR)above);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto* list = (PDEVICE_RELATIONS)r.information;
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count, 4u);
    EXPECT_EQ(list->Objects[0], rig.root_pdo);
    EXPECT_EQ(list->Objects[1], rig.fdo);
    EXPECT_EQ(list->Objects[2], rig.Child(0));
    EXPECT_EQ(list->Objects[3], rig.Child(1));
    EXPECT_EQ(rig.machine.PoolStats(hk::MakeTag("Abov")).blocks_in_use, 0u) << "the old list was not freed";
    // The manager's side: one reference per reported child, the list freed.
    ObfDereferenceObject(list->Objects[2]);
    ObfDereferenceObject(list->Objects[3]);
    ExFreePool(list);
}

TEST(BusRelations, OtherRelationTypesAreAnsweredEmptyAndNotPassedDown) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    for (DEVICE_RELATION_TYPE type : {EjectionRelations, RemovalRelations, TargetDeviceRelation}) {
        // The root bus below would answer a target relation with a list.
        bus_rig::Sent r = SendPnp(rig.fdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                                  [type](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = type; });
        EXPECT_EQ(r.status, STATUS_SUCCESS) << type;
        EXPECT_EQ(r.information, 0u) << type;
    }
}

TEST(BusRelations, AllocationFailureFailsWithNoList) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    rig.machine.FailTag(bus_rig::kZuwa);
    bus_rig::Sent r = SendPnp(
        rig.fdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; }, STATUS_SUCCESS);
    rig.machine.ClearPoolFaults();
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.information, 0u);
}

TEST(BusRelations, AllocationFailureReleasesTheListFromAbove) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    PDEVICE_OBJECT camera = rig.Child(0);
    LONG_PTR references = hk::objects::ReferenceCount(camera);
    auto* above = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), hk::MakeTag("Abov"));
    above->Count = 1;
    above->Objects[0] = camera;
    ObfReferenceObject(camera);  // what a driver above hands on with its list
    rig.machine.FailTag(bus_rig::kZuwa);
    bus_rig::Sent r = SendPnp(
        rig.fdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; }, STATUS_SUCCESS,
        (ULONG_PTR)above);
    rig.machine.ClearPoolFaults();
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(rig.machine.PoolStats(hk::MakeTag("Abov")).blocks_in_use, 0u) << "the list from above leaked";
    EXPECT_EQ(hk::objects::ReferenceCount(camera), references) << "its reference leaked";
}

TEST(BusStop, RebalanceBringsTheBusBackWithItsInterfaceAndOnePacingThread) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(hk::pnp::Stop(rig.root_pdo), STATUS_SUCCESS) << round;
        hk::pnp::WaitIdle();
        EXPECT_TRUE(rig.BusInterfaceEnabled()) << round;
        EXPECT_EQ(rig.PacingThreads(), 1u) << round;
        EXPECT_EQ(rig.PacingThreadsEver(), 1u) << round;
        // The children are still the ones created at the first start.
        EXPECT_EQ(rig.ReportedChildren().size(), 2u);
        EXPECT_EQ(rig.OpenBus(), STATUS_SUCCESS);
        EXPECT_EQ(rig.Ioctl(IOCTL_GET_DEVICE_INFO), STATUS_SUCCESS);
        rig.CloseBus();
    }
    rig.TearDown();
    EXPECT_EQ(rig.PacingThreads(), 0u);
    HK_EXPECT_CLEAN(rig.machine);
}

TEST(BusStop, StopDisablesTheInterface) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    SendPnp(rig.fdo, IRP_MN_QUERY_STOP_DEVICE);
    bus_rig::Sent r = SendPnp(rig.fdo, IRP_MN_STOP_DEVICE);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(rig.BusInterfaceEnabled());
    EXPECT_EQ(rig.PacingThreads(), 1u);
    EXPECT_NE(rig.Child(0), nullptr);
    bus_rig::Sent start = SendPnp(rig.fdo, IRP_MN_START_DEVICE);
    EXPECT_EQ(start.status, STATUS_SUCCESS);
    EXPECT_TRUE(rig.BusInterfaceEnabled());
    EXPECT_EQ(rig.PacingThreadsEver(), 1u);
}

// A failed start, seen through the manager: disable the bus, make the root
// device fail one step, enable it again.
struct StartFailure {
    const char* name;
    UCHAR minor;
    NTSTATUS status;
    const char* message;
};

class BusStartFailure : public ::testing::TestWithParam<StartFailure> {};

TEST_P(BusStartFailure, ThreadStartedAnywayAndStoppedByRemovalWithNothingLeft) {
    const StartFailure& c = GetParam();
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_EQ(hk::pnp::Disable(rig.root_pdo), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    EXPECT_EQ(rig.PacingThreads(), 0u);
    hk::pnp::SetRootFault(rig.root_pdo, c.minor, c.status);
    rig.machine.ClearDebugLog();
    hk::pnp::Enable(rig.root_pdo);
    hk::pnp::WaitIdle();

    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(rig.root_pdo, &info));
    EXPECT_NE(info.state, hk::pnp::NodeState::Started);
    EXPECT_TRUE(rig.Logged(c.message)) << rig.machine.DebugText();
    // The start created a thread even though it failed; the manager's
    // removal of the failed stack stopped it.
    EXPECT_EQ(rig.PacingThreadsEver(), 2u);
    EXPECT_EQ(rig.PacingThreads(), 0u);
    EXPECT_FALSE(rig.BusInterfaceEnabled());

    hk::pnp::SetRootFault(rig.root_pdo, c.minor, STATUS_SUCCESS);
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BusStartFailure,
    ::testing::Values(StartFailure{"LowerDriverFailsStart", IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY,
                                   "SyncForwardIrp err:[c00000a3]\n"},
                      StartFailure{"CapabilityQueryFails", IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL,
                                   "FdoStartDevice failed to get capabilities with c0000001\n"}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

TEST(BusStartFailureDirect, LowerFailureCreatesNoChildren) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    // Unplug and let the manager remove the children, so the slots are free.
    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    ASSERT_EQ(rig.Child(0), nullptr);
    hk::pnp::SetRootFault(rig.root_pdo, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
    bus_rig::Sent r = SendPnp(rig.fdo, IRP_MN_START_DEVICE);
    hk::pnp::SetRootFault(rig.root_pdo, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(rig.Child(0), nullptr);
    EXPECT_EQ(rig.Child(1), nullptr);
    EXPECT_EQ(rig.PacingThreads(), 1u) << "still exactly one pacing thread";
}

TEST(BusRemoval, StopsThePacingThreadAndLeavesNothing) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_EQ(rig.PacingThreads(), 1u);
    rig.machine.ClearDebugLog();
    ASSERT_EQ(rig.Uninstall(), STATUS_SUCCESS);
    EXPECT_EQ(rig.PacingThreads(), 0u);
    // Children go before their parent.
    std::vector<std::string> order;
    for (const hk::pnp::Event& e : hk::pnp::Log())
        if (e.what == "REMOVE_DEVICE") order.push_back(e.instance_path);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order.back().rfind("ROOT\\", 0), 0u);
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

TEST(BusControl, UnknownCodeGoesToTheLowerDriver) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    rig.machine.ClearDebugLog();
    NTSTATUS status = rig.Ioctl(0x220008);
    EXPECT_TRUE(rig.Logged("FDO_Dispatch Function 220008 not implemented,so dispatch to next device\n"));
    // hostkernel's root bus driver answers requests it does not know with
    // the status they carry, as Windows' does.
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
}

TEST(BusControl, DeviceInfoSucceedsWithNoBytes) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    char in[8] = {1, 2, 3}, out[16];
    std::memset(out, 0x5A, sizeof out);
    ULONG returned = 99;
    EXPECT_EQ(rig.Ioctl(IOCTL_GET_DEVICE_INFO, in, sizeof in, out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(rig.Logged("IOCTL_GET_DEVICE_INFO :220004\n"));
}

}  // namespace

namespace {

// The pacing thread cannot be made: the start is not affected, and removal
// has nothing to wait for.
TEST(BusStartThread, CreationFailureLeavesTheStartSuccessfulAndNoThread) {
    Rig rig;
    rig.Driver();
    hk::pnp::WaitIdle();  // the manager's own thread exists before the fault is armed
    rig.machine.FailThreadCreations(1);
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(rig.root_pdo, &info));
    EXPECT_EQ(info.state, hk::pnp::NodeState::Started);
    EXPECT_TRUE(rig.Logged("Failed create data read thread.\n"));
    EXPECT_EQ(rig.Bus()->DataReadThread, nullptr);
    EXPECT_EQ(rig.PacingThreadsEver(), 0u);
    EXPECT_TRUE(rig.BusInterfaceEnabled());
    EXPECT_EQ(rig.ReportedChildren().size(), 2u);
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

}  // namespace

namespace {

// A child made after the manager last asked for the relations is known to
// nobody but the bus; the bus's removal must not leave it behind.
TEST(BusRemoval, DeletesAChildTheManagerNeverLearnedOf) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Ioctl(IOCTL_BUSENUM_UNPLUG_DEVICE), STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    ASSERT_EQ(rig.Child(0), nullptr);
    // What a plug-in does before it invalidates the relations.
    ASSERT_EQ(AddPdo(rig.fdo, VHUB_CAMERA_VENDOR_ID, VHUB_CAMERA_PRODUCT_ID, VHUB_CHILD_REVISION,
                     &VhubCameraClassGuid, MicDispatch),
              STATUS_SUCCESS);
    ASSERT_NE(rig.Child(0), nullptr);
    EXPECT_TRUE(rig.ReportedChildren().empty());
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

}  // namespace
