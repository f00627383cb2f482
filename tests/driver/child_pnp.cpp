// A child's answers to the plug-and-play manager and its USB bus interface.
#include <gtest/gtest.h>

#include <cstring>

#include "hk/testing.h"
#include "support/bus_rig.h"

namespace {

using bus_rig::Rig;
using bus_rig::SendPnp;

class Child : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rig.Install(), STATUS_SUCCESS); }
    bus_rig::Sent QueryId(int slot, BUS_QUERY_ID_TYPE type) {
        return SendPnp(rig.Child(slot), IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    }
    Rig rig;
};

TEST_F(Child, IdentityOfBothChildren) {
    struct Expect {
        std::u16string hardware, instance;
    } expect[2] = {{u"USB\\VID_FC01&PID_FD01&REV_ABCD", u"01"}, {u"USB\\VID_FC02&PID_FD02&REV_ABCD", u"02"}};
    for (int slot = 0; slot < 2; ++slot) {
        bus_rig::Sent hw = QueryId(slot, BusQueryHardwareIDs);
        ASSERT_EQ(hw.status, STATUS_SUCCESS);
        const char16_t* p = (const char16_t*)hw.information;
        EXPECT_EQ(bus_rig::WideOf(p), expect[slot].hardware);
        EXPECT_EQ(p[expect[slot].hardware.size()], 0);
        EXPECT_EQ(p[expect[slot].hardware.size() + 1], 0);
        ExFreePool((PVOID)hw.information);

        bus_rig::Sent dev = QueryId(slot, BusQueryDeviceID);
        EXPECT_EQ(bus_rig::WideOf((PVOID)dev.information), expect[slot].hardware);
        ExFreePool((PVOID)dev.information);

        bus_rig::Sent inst = QueryId(slot, BusQueryInstanceID);
        EXPECT_EQ(bus_rig::WideOf((PVOID)inst.information), expect[slot].instance);
        ExFreePool((PVOID)inst.information);

        bus_rig::Sent compat = QueryId(slot, BusQueryCompatibleIDs);
        EXPECT_EQ(bus_rig::MultiOf((PVOID)compat.information), std::vector<std::u16string>{u"USB\\COMPOSITE"});
        ExFreePool((PVOID)compat.information);

        EXPECT_EQ(QueryId(slot, BusQueryContainerID).status, STATUS_NOT_SUPPORTED);
        bus_rig::Sent serial = QueryId(slot, BusQueryDeviceSerialNumber);
        EXPECT_EQ(serial.status, STATUS_NOT_SUPPORTED) << "the preset status stands";
        EXPECT_EQ(serial.information, 0u);
    }
    // What the manager recorded agrees.
    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(rig.Child(0), &info));
    EXPECT_EQ(info.description, "Tolvexo Denoise Device");
    EXPECT_EQ(info.location, "USB Virtual Bus");
    EXPECT_TRUE(info.has_bus_information);
}

TEST_F(Child, TextsWhateverTheLocale) {
    struct Row {
        DEVICE_TEXT_TYPE type;
        std::u16string text;
    } rows[] = {{DeviceTextDescription, u"Tolvexo Denoise Device"}, {DeviceTextLocationInformation, u"USB Virtual Bus"}};
    for (const Row& row : rows)
        for (LCID locale : {0x409u, 0x804u, 0x407u}) {
            bus_rig::Sent r = SendPnp(rig.Child(1), IRP_MN_QUERY_DEVICE_TEXT, [&](PIO_STACK_LOCATION s) {
                s->Parameters.QueryDeviceText.DeviceTextType = row.type;
                s->Parameters.QueryDeviceText.LocaleId = locale;
            });
            ASSERT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(bus_rig::WideOf((PVOID)r.information), row.text);
            ExFreePool((PVOID)r.information);
        }
    bus_rig::Sent other = SendPnp(rig.Child(0), IRP_MN_QUERY_DEVICE_TEXT,
                                  [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceText.DeviceTextType = (DEVICE_TEXT_TYPE)2; });
    EXPECT_EQ(other.status, STATUS_NOT_SUPPORTED);
}

TEST_F(Child, CapabilitiesAddressAndPowerMapping) {
    for (int slot = 0; slot < 2; ++slot) {
        DEVICE_CAPABILITIES caps;
        std::memset(&caps, 0, sizeof caps);
        caps.Size = sizeof caps;
        caps.Version = 1;
        bus_rig::Sent r = SendPnp(rig.Child(slot), IRP_MN_QUERY_CAPABILITIES,
                                  [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(caps.Address, (ULONG)slot + 1);
        EXPECT_EQ(caps.UINumber, (ULONG)slot + 1);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(caps.DeviceWake, PowerDeviceD1);
        EXPECT_TRUE(caps.DeviceD1);
        EXPECT_TRUE(caps.WakeFromD1);
        EXPECT_TRUE(caps.Removable);
        EXPECT_TRUE(caps.SurpriseRemovalOK);
        EXPECT_TRUE(caps.EjectSupported);
        EXPECT_FALSE(caps.UniqueID);
        // hostkernel's root device answers D3 for every sleeping state.
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping2], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    }
}

// When the bus stack cannot answer, the child falls back on the copy of the
// bus capabilities it got at creation, and says nothing of the failure.
struct FallbackCase {
    const char* name;
    DEVICE_POWER_STATE parent[PowerSystemMaximum];  // ParentCaps.DeviceState
    DEVICE_POWER_STATE expect[PowerSystemMaximum];
};

const FallbackCase kFallbackCases[] = {
    // All zero, as for the children created at bus start.
    {"ZeroCopy",
     {PowerDeviceUnspecified, PowerDeviceUnspecified, PowerDeviceUnspecified, PowerDeviceUnspecified,
      PowerDeviceUnspecified, PowerDeviceUnspecified, PowerDeviceUnspecified},
     {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceUnspecified,
      PowerDeviceUnspecified}},
    // Sleeping states that are already D0 stay D0; the others are copied.
    {"SleepingInD0Kept",
     {PowerDeviceD2, PowerDeviceD3, PowerDeviceD0, PowerDeviceD0, PowerDeviceD2, PowerDeviceD3, PowerDeviceD1},
     {PowerDeviceD2, PowerDeviceD0, PowerDeviceD0, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1}},
};

class CapabilitiesFallback : public Child, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(CapabilitiesFallback, UsesTheCopyTakenAtCreation) {
    const FallbackCase& c = GetParam();
    PPDO_DEVICE_DATA audio = rig.ChildData(1);
    for (int i = 0; i < PowerSystemMaximum; ++i) audio->ParentCaps.DeviceState[i] = c.parent[i];
    hk::pnp::SetRootFault(rig.root_pdo, IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL);

    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.LockSupported = 1;
    caps.SystemWake = PowerSystemSleeping3;
    bus_rig::Sent r = SendPnp(rig.Child(1), IRP_MN_QUERY_CAPABILITIES,
                              [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    hk::pnp::SetRootFault(rig.root_pdo, IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS);

    ASSERT_EQ(r.status, STATUS_SUCCESS);
    for (int i = 0; i < PowerSystemMaximum; ++i) EXPECT_EQ(caps.DeviceState[i], c.expect[i]) << "state " << i;
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD1);
    EXPECT_EQ(caps.Address, 2u);
    // Fields the child does not set keep what the request carried.
    EXPECT_EQ(caps.Size, sizeof caps);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.LockSupported, 1u);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
}

INSTANTIATE_TEST_SUITE_P(Copies, CapabilitiesFallback, ::testing::ValuesIn(kFallbackCases),
                         [](const ::testing::TestParamInfo<FallbackCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Child, CapabilitiesWithATooOldOrTooSmallStructureAreRefused) {
    struct Row {
        USHORT size, version;
    } rows[] = {{64, 0}, {63, 1}, {0, 0}};
    for (const Row& row : rows) {
        DEVICE_CAPABILITIES caps;
        std::memset(&caps, 0x3C, sizeof caps);
        caps.Size = row.size;
        caps.Version = row.version;
        DEVICE_CAPABILITIES before = caps;
        bus_rig::Sent r = SendPnp(rig.Child(0), IRP_MN_QUERY_CAPABILITIES,
                                  [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
        EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(0, std::memcmp(&caps, &before, sizeof caps));
    }
}

TEST_F(Child, RelationsBusInformationAndUsage) {
    bus_rig::Sent target = SendPnp(rig.Child(0), IRP_MN_QUERY_DEVICE_RELATIONS,
                                   [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; });
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    auto* list = (PDEVICE_RELATIONS)target.information;
    ASSERT_EQ(list->Count, 1u);
    EXPECT_EQ(list->Objects[0], rig.Child(0));
    ObfDereferenceObject(list->Objects[0]);  // the reference handed out
    ExFreePool(list);

    bus_rig::Sent bus = SendPnp(rig.Child(0), IRP_MN_QUERY_DEVICE_RELATIONS,
                                [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
                                STATUS_NOT_SUPPORTED, 0x1234);
    EXPECT_EQ(bus.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bus.information, 0x1234u);

    bus_rig::Sent info = SendPnp(rig.Child(1), IRP_MN_QUERY_BUS_INFORMATION);
    ASSERT_EQ(info.status, STATUS_SUCCESS);
    auto* bi = (PPNP_BUS_INFORMATION)info.information;
    EXPECT_EQ(0, std::memcmp(&bi->BusTypeGuid, &VhubUsbBusTypeGuid, sizeof(GUID)));
    EXPECT_EQ(bi->LegacyBusType, PNPBus);
    EXPECT_EQ(bi->BusNumber, 0u);
    ExFreePool(bi);

    EXPECT_EQ(SendPnp(rig.Child(1), IRP_MN_DEVICE_USAGE_NOTIFICATION).status, STATUS_UNSUCCESSFUL);
}

TEST_F(Child, SurpriseRemovalThenRemovalFreesTheSlotAndASecondRemovalDeletesNothing) {
    PDEVICE_OBJECT camera = rig.Child(0);
    ObfReferenceObject(camera);  // keep the object to send the second removal
    EXPECT_EQ(SendPnp(camera, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_FALSE(rig.ChildData(0)->Present);
    EXPECT_EQ(rig.ChildData(0)->state, (ULONG)STATE_SURPRISE_REMOVED);

    // URBs are refused now.
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    bus_rig::Sent u = bus_rig::SendIrp(camera, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        s->Parameters.Others.Argument1 = &urb;
    });
    EXPECT_FALSE(NT_SUCCESS(u.status));

    // The manager learns at the next relations that the camera is gone.
    IoInvalidateDeviceRelations(rig.root_pdo, BusRelations);
    hk::pnp::WaitIdle();
    EXPECT_EQ(rig.Child(0), nullptr);
    EXPECT_NE(rig.Child(1), nullptr);
    bus_rig::Sent again = SendPnp(camera, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    ObfDereferenceObject(camera);
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

TEST_F(Child, RepeatedStartsDoNotLeakTheInterfaceName) {
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(SendPnp(rig.Child(1), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        EXPECT_EQ(SendPnp(rig.Child(1), IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        EXPECT_EQ(rig.ChildData(1)->state, (ULONG)STATE_STOPPED);
    }
    EXPECT_EQ(SendPnp(rig.Child(1), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(rig.ChildData(1)->state, (ULONG)STATE_STARTED);
    size_t interfaces = bus_rig::ChildInterfaces().size();
    EXPECT_EQ(SendPnp(rig.Child(1), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_rig::ChildInterfaces().size(), interfaces) << "a start registered a second interface";
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

// --- the USB bus interface ----------------------------------------------------------------------

struct InterfaceCase {
    USHORT version, size;
    NTSTATUS status;
};

class BusInterface : public Child, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(BusInterface, FillsUpToTheRequestedVersionOnly) {
    const InterfaceCase& c = GetParam();
    USB_BUS_INTERFACE_USBDI_V3 bi;
    std::memset(&bi, 0x77, sizeof bi);
    USB_BUS_INTERFACE_USBDI_V3 before = bi;
    PVOID specific = &bi;
    GUID guid = VhubUsbdiInterfaceGuid;
    bus_rig::Sent r = SendPnp(rig.Child(0), IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION s) {
        s->Parameters.QueryInterface.InterfaceType = &guid;
        s->Parameters.QueryInterface.Size = c.size;
        s->Parameters.QueryInterface.Version = c.version;
        s->Parameters.QueryInterface.Interface = (PINTERFACE)&bi;
        s->Parameters.QueryInterface.InterfaceSpecificData = specific;
    });
    EXPECT_EQ(r.status, c.status);
    if (c.status != STATUS_SUCCESS) {
        EXPECT_EQ(0, std::memcmp(&bi, &before, sizeof bi));
        return;
    }
    const size_t sizes[] = {sizeof(USB_BUS_INTERFACE_USBDI_V0), sizeof(USB_BUS_INTERFACE_USBDI_V1),
                            sizeof(USB_BUS_INTERFACE_USBDI_V2), sizeof(USB_BUS_INTERFACE_USBDI_V3)};
    EXPECT_EQ(bi.Size, sizes[c.version]);
    EXPECT_EQ(bi.Version, c.version);
    EXPECT_EQ(bi.BusContext, rig.Child(0)->DeviceExtension);
    // Everything past the version's own structure is left as it was.
    EXPECT_EQ(0, std::memcmp((char*)&bi + sizes[c.version], (char*)&before + sizes[c.version],
                             sizeof bi - sizes[c.version]));

    USBD_VERSION_INFORMATION v{};
    ULONG caps = 99;
    bi.GetUSBDIVersion(bi.BusContext, &v, &caps);
    EXPECT_EQ(v.USBDI_Version, 0x600u);
    EXPECT_EQ(v.Supported_USB_Version, 0x200u);
    EXPECT_EQ(caps, 0u);
    ULONG frame = 5;
    EXPECT_EQ(bi.QueryBusTime(bi.BusContext, &frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(frame, 5u);
    EXPECT_EQ(bi.SubmitIsoOutUrb(bi.BusContext, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bi.QueryBusInformation(bi.BusContext, 0, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
    if (c.version >= 1) EXPECT_TRUE(bi.IsDeviceHighSpeed(bi.BusContext));
    if (c.version >= 2) EXPECT_EQ(bi.EnumLogEntry(bi.BusContext, 0, 0, 0, 0), STATUS_SUCCESS);
    if (c.version >= 3) {
        EXPECT_EQ(bi.QueryBusTimeEx(bi.BusContext, &frame), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(bi.QueryControllerType(bi.BusContext, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                  STATUS_UNSUCCESSFUL);
    }
    // One dereference too many wraps the count, and nothing else happens.
    LONG* count = &((PPDO_DEVICE_DATA)bi.BusContext)->InterfaceRefCount;
    EXPECT_EQ(*count, 0);
    bi.InterfaceReference(bi.BusContext);
    bi.InterfaceDereference(bi.BusContext);
    bi.InterfaceDereference(bi.BusContext);
    EXPECT_EQ((ULONG)*count, 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, BusInterface,
    ::testing::Values(InterfaceCase{0, sizeof(USB_BUS_INTERFACE_USBDI_V0), STATUS_SUCCESS},
                      InterfaceCase{1, sizeof(USB_BUS_INTERFACE_USBDI_V1), STATUS_SUCCESS},
                      InterfaceCase{2, sizeof(USB_BUS_INTERFACE_USBDI_V2), STATUS_SUCCESS},
                      InterfaceCase{3, sizeof(USB_BUS_INTERFACE_USBDI_V3), STATUS_SUCCESS},
                      InterfaceCase{4, sizeof(USB_BUS_INTERFACE_USBDI_V3), STATUS_INVALID_PARAMETER},
                      InterfaceCase{3, sizeof(USB_BUS_INTERFACE_USBDI_V2), STATUS_INVALID_PARAMETER},
                      InterfaceCase{1, sizeof(USB_BUS_INTERFACE_USBDI_V1) - 1, STATUS_INVALID_PARAMETER}));

TEST_F(Child, OtherInterfacesPassThroughWithTheirPresetStatus) {
    GUID other = VhubUsbdiInterfaceGuid;
    other.Data4[7] ^= 1;
    char buffer[96];
    std::memset(buffer, 0x11, sizeof buffer);
    for (NTSTATUS preset : {STATUS_NOT_SUPPORTED, STATUS_SUCCESS}) {
        bus_rig::Sent r = SendPnp(
            rig.Child(1), IRP_MN_QUERY_INTERFACE,
            [&](PIO_STACK_LOCATION s) {
                s->Parameters.QueryInterface.InterfaceType = &other;
                s->Parameters.QueryInterface.Size = sizeof buffer;
                s->Parameters.QueryInterface.Version = 1;
                s->Parameters.QueryInterface.Interface = (PINTERFACE)buffer;
            },
            preset);
        EXPECT_EQ(r.status, preset);
        for (char b : buffer) ASSERT_EQ(b, 0x11);
    }
    bus_rig::Sent none = SendPnp(rig.Child(1), IRP_MN_QUERY_INTERFACE, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryInterface.InterfaceType = nullptr;
    });
    EXPECT_EQ(none.status, STATUS_INVALID_PARAMETER);
}

}  // namespace
