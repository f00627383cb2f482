// Security descriptors: the Rtl routines' statuses, the self-relative
// length query, capture refusing malformed descriptors without reading past
// their pool block, and SDDL text both ways.
#include <cstring>

#include "hk/security.h"
#include "hk/testing.h"

namespace {

class SecTest : public ::testing::Test {
protected:
    void TearDown() override { HK_EXPECT_CLEAN(machine_); }
    hk::Machine machine_;
};

TEST_F(SecTest, AbsoluteToSelfRelativeReportsTheLengthFirst) {
    ULONG aclBuffer[16];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid),
              STATUS_SUCCESS);
    acl->AclSize = 28;
    SECURITY_DESCRIPTOR sd;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, 2), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE), STATUS_SUCCESS);
    ULONG length = 0;
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(&sd, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 48u);
    std::vector<uint8_t> out(length);
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&sd, out.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(RtlLengthSecurityDescriptor(out.data()), 48u);
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(out.data(), nullptr, &length), STATUS_BAD_DESCRIPTOR_FORMAT);
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(out.data(), TRUE, acl, FALSE), STATUS_INVALID_SECURITY_DESCR);
    EXPECT_EQ(hk::security::ToSddl(out.data(), out.size()), "D:(A;;GA;;;SY)");
    // A full list refuses another entry.
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, SeExports->SeWorldSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
}

struct CaptureCase {
    const char* name;
    size_t at;
    std::vector<uint8_t> bytes;  // patched over the descriptor at `at`
    size_t keep;                 // bytes of the descriptor copied into pool (0: all)
    NTSTATUS status;
};

class CaptureTest : public SecTest, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(CaptureTest, RefusesMalformedDescriptorsInsideTheirBlock) {
    const CaptureCase& c = GetParam();
    std::vector<uint8_t> sd = hk::security::FromSddl("O:BAD:P(A;;GA;;;SY)(A;;GR;;;WD)");
    ASSERT_FALSE(sd.empty());
    for (size_t i = 0; i < c.bytes.size(); ++i) sd[c.at + i] = c.bytes[i];
    size_t keep = c.keep ? c.keep : sd.size();
    void* block = ExAllocatePoolWithTag(PagedPool, keep, hk::MakeTag("Test"));
    std::memcpy(block, sd.data(), keep);
    PSECURITY_DESCRIPTOR captured = nullptr;
    EXPECT_EQ(SeCaptureSecurityDescriptor(block, KernelMode, PagedPool, TRUE, &captured), c.status);
    if (NT_SUCCESS(c.status)) {
        ASSERT_NE(captured, nullptr);
        EXPECT_EQ(hk::security::ToSddl(captured, RtlLengthSecurityDescriptor(captured)),
                  "O:BAD:P(A;;GA;;;SY)(A;;GR;;;WD)");
        ExFreePoolWithTag(captured, 0);
    } else {
        EXPECT_EQ(captured, nullptr);
    }
    ExFreePoolWithTag(block, 0);
}

// Layout from FromSddl: header 20, DACL at 20 (8 + 20 + 20 = 48), owner at 68.
INSTANTIATE_TEST_SUITE_P(
    Malformed, CaptureTest,
    ::testing::Values(
        CaptureCase{"Intact", 0, {}, 0, STATUS_SUCCESS},
        CaptureCase{"BadRevision", 0, {2}, 0, STATUS_UNKNOWN_REVISION},
        CaptureCase{"HeaderCut", 0, {}, 12, STATUS_INVALID_SECURITY_DESCR},
        CaptureCase{"OwnerOffsetOutside", 4, {0x00, 0x10, 0, 0}, 0, STATUS_INVALID_SECURITY_DESCR},
        CaptureCase{"OwnerCut", 0, {}, 72, STATUS_INVALID_SID},
        CaptureCase{"OwnerSubAuthorities", 69, {15}, 0, STATUS_INVALID_SID},
        CaptureCase{"DaclSizePastBlock", 22, {0x00, 0x01}, 0, STATUS_INVALID_ACL},
        CaptureCase{"DaclRevision", 20, {9}, 0, STATUS_INVALID_ACL},
        CaptureCase{"AceCountTooHigh", 24, {5}, 0, STATUS_INVALID_ACL},
        CaptureCase{"AceSizeZero", 30, {0, 0}, 0, STATUS_INVALID_ACL},
        CaptureCase{"AceSizeUnaligned", 30, {22, 0}, 0, STATUS_INVALID_ACL},
        CaptureCase{"AceSidRevision", 36, {3}, 0, STATUS_INVALID_ACL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SecTest, CaptureOfNothingIsNothing) {
    PSECURITY_DESCRIPTOR out = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    EXPECT_EQ(SeCaptureSecurityDescriptor(nullptr, KernelMode, PagedPool, TRUE, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, nullptr);
}

TEST_F(SecTest, ValidRelativeDescriptorHonoursLengthAndRequiredParts) {
    std::vector<uint8_t> sd = hk::security::FromSddl("D:(A;;GA;;;SY)");
    ULONG n = (ULONG)sd.size();
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd.data(), n, DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.data(), n - 1, 0));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.data(), n, OWNER_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.data(), 19, 0));
}

TEST_F(SecTest, SddlRoundTrips) {
    for (const char* text : {"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)",
                             "O:SYG:BAD:PAI(A;OICI;0x1F01FF;;;S-1-5-21-1-2-3-1001)(D;;GW;;;AN)",
                             "D:NO_ACCESS_CONTROL", "D:", "S:(AU;SAFA;GA;;;WD)"}) {
        NTSTATUS status;
        auto sd = hk::security::FromSddl(text, &status);
        ASSERT_EQ(status, STATUS_SUCCESS) << text;
        EXPECT_TRUE(RtlValidSecurityDescriptor(sd.data())) << text;
        EXPECT_EQ(hk::security::ToSddl(sd.data(), sd.size()), text);
    }
    NTSTATUS status;
    EXPECT_TRUE(hk::security::FromSddl("D:(A;;GA;;;QQ)", &status).empty());
    EXPECT_EQ(status, STATUS_NONE_MAPPED);
}

TEST_F(SecTest, ExportTableHidesOptionalRoutinesByDefault) {
    struct { const char16_t* name; bool found; } cases[] = {
        {u"IoCreateDeviceSecure", false},
        {u"SeConvertStringSecurityDescriptorToSecurityDescriptor", false},
        {u"ZwSetSecurityObject", true},
        {u"SeExports", true},
        {u"zwsetsecurityobject", false},
    };
    for (auto& c : cases) {
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, reinterpret_cast<PCWSTR>(c.name));
        EXPECT_EQ(MmGetSystemRoutineAddress(&n) != nullptr, c.found);
    }
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, reinterpret_cast<PCWSTR>(u"ZwSetSecurityObject"));
    EXPECT_EQ(MmGetSystemRoutineAddress(&n), reinterpret_cast<PVOID>(&ZwSetSecurityObject));
    hk::security::SetExported("IoCreateDeviceSecure", true);
    RtlInitUnicodeString(&n, reinterpret_cast<PCWSTR>(u"IoCreateDeviceSecure"));
    EXPECT_NE(MmGetSystemRoutineAddress(&n), nullptr);
    hk::security::SetExported("ZwSetSecurityObject", false);
    RtlInitUnicodeString(&n, reinterpret_cast<PCWSTR>(u"ZwSetSecurityObject"));
    EXPECT_EQ(MmGetSystemRoutineAddress(&n), nullptr);
}

}  // namespace
