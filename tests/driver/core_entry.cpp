// Driver entry and AddDevice: the name file, the three ways AddDevice can
// fail, the registered request types and the debug level.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hk/testing.h"
#include "support/bus_rig.h"

namespace {

using bus_rig::Rig;

const std::string kOpenFailed = "\xb6\xc1\xc8\xa1\xce\xc4\xbc\xfe\xb4\xf2\xbf\xaa\xca\xa7\xb0\xdc:";
const std::string kOpened = "\xb4\xf2\xbf\xaa\xce\xc4\xbc\xfe\xb3\xc9\xb9\xa6\n";
const std::string kReadOk = "\xb6\xc1\xc8\xa1\xce\xc4\xbc\xfe\xb3\xc9\xb9\xa6\n";
const std::string kContent = "\xce\xc4\xbc\xfe\xc4\xda\xc8\xdd:";

struct NameCase {
    const char* name;
    bool present;
    std::string content;
    std::string expected;  // the 260-byte field's meaningful prefix; the rest must be zero
};

std::string PatternOf(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (char)('a' + i % 26);
    return s;
}

const NameCase kNameCases[] = {
    {"Absent", false, "", ""},
    {"Empty", true, "", ""},
    {"StartsWithZero", true, std::string("\0Acme", 5), ""},
    {"AcmeWithLineBreak", true, "Acme\r\n", "Acme\r\n"},
    {"ZeroAtTen", true, std::string("0123456789\0tail", 15), "0123456789"},
    {"Exactly260NoZero", true, PatternOf(260), PatternOf(260)},
    {"Of1500Bytes", true, PatternOf(1500), PatternOf(260)},
    {"ZeroBeyond1024IsNotRead", true, PatternOf(1024) + std::string("\0", 1) + "x", PatternOf(260)},
};

class NameFile : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameFile, FillsDriverNameAndTheBusStillStarts) {
    const NameCase& c = GetParam();
    Rig rig;
    if (c.present) rig.machine.PutFile("DeiverName.dat", c.content);
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_NE(rig.fdo, nullptr);

    const UCHAR* name = rig.Bus()->DriverName;
    EXPECT_EQ(std::string((const char*)name, c.expected.size()), c.expected);
    for (size_t i = c.expected.size(); i < VHUB_DRIVER_NAME_SIZE; ++i) ASSERT_EQ(name[i], 0) << "byte " << i;

    if (!c.present) {
        // One message, with the open's status, printed without the prefix.
        size_t n = 0;
        for (const std::string& e : rig.machine.DebugLog())
            if (e.rfind(kOpenFailed, 0) == 0) ++n;
        EXPECT_EQ(n, 1u);
        EXPECT_FALSE(rig.Logged(kOpened));
    } else {
        EXPECT_EQ(rig.CountLogged(kOpened), 1u);
        EXPECT_EQ(rig.CountLogged(kReadOk), 1u);
        EXPECT_TRUE(rig.Logged(kContent));
    }
    EXPECT_TRUE(rig.BusInterfaceEnabled());
}

INSTANTIATE_TEST_SUITE_P(Cases, NameFile, ::testing::ValuesIn(kNameCases),
                         [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

TEST(DebugLevel, ZeroSilencesLoggedMessagesButNotTheNameFiles) {
    ULONG saved = VhubDebugLevel;
    VhubDebugLevel = 0;
    {
        Rig rig;
        ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
        std::string text = rig.machine.DebugText();
        EXPECT_EQ(text.find("[VuzODidIrizaz]"), std::string::npos);
        EXPECT_EQ(text.find("VhubVMouseAddDevice"), std::string::npos);
        EXPECT_NE(text.find(kOpenFailed), std::string::npos);
        rig.TearDown();
    }
    VhubDebugLevel = saved;
}

TEST(DebugLevel, LoggedMessageIsPrefixThenText) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    std::vector<std::string> log = rig.machine.DebugLog();
    bool found = false;
    for (size_t i = 1; i < log.size(); ++i)
        if (log[i] == "VhubVMouseAddDevice\n") {
            EXPECT_EQ(log[i - 1], "[VuzODidIrizaz]");
            found = true;
        }
    EXPECT_TRUE(found);
}

TEST(DebugLevel, UnloadMessageNeedsLevelThree) {
    ULONG saved = VhubDebugLevel;
    for (ULONG level : {2u, 3u}) {
        VhubDebugLevel = level;
        Rig rig;
        rig.Driver();
        rig.machine.ClearDebugLog();
        rig.TearDown();
        EXPECT_EQ(rig.Logged("VhubVMouseUload\n"), level >= 3) << "level " << level;
    }
    VhubDebugLevel = saved;
}

// AddDevice called the way the manager calls it, on a device standing in
// for the physical device object.
class AddDeviceFailure : public ::testing::Test {
protected:
    Rig rig;
    PDEVICE_OBJECT pdo = nullptr;

    void SetUp() override {
        // A stand-in lower device, created by a throwaway driver.
        rig.Driver();
        PDRIVER_OBJECT other = hk::io::LoadDriver("standin", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
            return STATUS_SUCCESS;
        });
        ASSERT_EQ(IoCreateDevice(other, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override {
        IoDeleteDevice(pdo);
        hk::io::UnloadDriver("standin");
        rig.TearDown();
        HK_EXPECT_CLEAN(rig.machine);
    }
    size_t DriverDevices() {
        size_t n = 0;
        for (PDEVICE_OBJECT d = rig.Driver()->DeviceObject; d; d = d->NextDevice) ++n;
        return n;
    }
};

TEST_F(AddDeviceFailure, CreationFailureIsReturnedWithNothingToUndo) {
    rig.machine.FailTag(hk::MakeTag("Devi"));
    NTSTATUS status = rig.Driver()->DriverExtension->AddDevice(rig.Driver(), pdo);
    rig.machine.ClearPoolFaults();
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_TRUE(rig.Logged("AddDevice failed to create device with "));
    EXPECT_EQ(DriverDevices(), 0u);
}

TEST_F(AddDeviceFailure, AttachFailureDeletesTheDevice) {
    hk::io::FailNextAttach();
    EXPECT_EQ(rig.Driver()->DriverExtension->AddDevice(rig.Driver(), pdo), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST_F(AddDeviceFailure, InterfaceRegistrationFailureDetachesAndDeletes) {
    hk::pnp::FailNextInterfaceRegistration(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.Driver()->DriverExtension->AddDevice(rig.Driver(), pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST(DriverEntryTest, RegistersSevenRequestTypesAndTheRestNeverReachTheDriver) {
    Rig rig;
    PDRIVER_OBJECT driver = rig.Driver();
    const UCHAR registered[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP};
    for (UCHAR m : registered) EXPECT_EQ(driver->MajorFunction[m], (PDRIVER_DISPATCH)VhubVMouseDispatch);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_READ], (PDRIVER_DISPATCH)VhubVMouseDispatch);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_CLEANUP], (PDRIVER_DISPATCH)VhubVMouseDispatch);
    EXPECT_EQ(driver->DriverUnload, (PDRIVER_UNLOAD)VhubVMouseUload);

    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_EQ(rig.OpenBus(), STATUS_SUCCESS);
    rig.machine.ClearDebugLog();
    std::vector<std::u16string> links = hk::io::FindInterfaces(VhubBusInterfaceGuid);
    hk::io::Handle h = nullptr;
    ASSERT_EQ(hk::io::Open(links[0], &h), STATUS_SUCCESS);
    rig.machine.ClearDebugLog();
    char buffer[16];
    ULONG read = 0;
    EXPECT_EQ(hk::io::Read(h, buffer, sizeof buffer, &read), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(rig.Logged("VhubVMouseDispatch"));
    hk::io::Close(h);
}

}  // namespace
