// The SDDL subset: section and entry grammar, rights and numbers, aliases,
// the descriptor built from the children's text, and list growth.
#include "devsec_fixture.h"

using namespace devsec_test;

namespace {

struct ParseCase {
    const char* text;
    NTSTATUS status;
    SECURITY_DESCRIPTOR_CONTROL control;  // checked on success
    std::vector<AceView> aces;            // checked on success
};

const ACCESS_MASK kGA = 0x10000000, kRWX = 0xE0000000;
AceView Allow(ACCESS_MASK m, const char* sid) { return {ACCESS_ALLOWED_ACE_TYPE, 0, m, sid}; }

class ParseTest : public DevsecTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTest, ParsesOrRefuses) {
    const ParseCase& c = GetParam();
    std::u16string text = Wide(c.text);
    PACL acl = reinterpret_cast<PACL>(1);
    SECURITY_DESCRIPTOR_CONTROL control = 0xFFFF;
    NTSTATUS status = ParseSddlDacl(reinterpret_cast<PCWSTR>(text.c_str()), FALSE, &acl, &control);
    EXPECT_EQ(status, c.status) << c.text;
    if (!NT_SUCCESS(status)) {
        EXPECT_EQ(acl, nullptr);
        return;
    }
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(control, c.control);
    EXPECT_EQ(acl->AclRevision, ACL_REVISION);
    EXPECT_EQ(Aces(acl), c.aces) << c.text;
    size_t used = sizeof(ACL);
    for (auto& a : c.aces) used += 8 + hk::security::SidFromString(a.sid).size();
    EXPECT_EQ(acl->AclSize, used) << "AclSize must be the bytes used";
    EXPECT_TRUE(RtlValidAcl(acl));
    ExFreePoolWithTag(acl, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Subset, ParseTest,
    ::testing::Values(
        ParseCase{"D:", STATUS_SUCCESS, 0, {}},
        ParseCase{"  D:P", STATUS_SUCCESS, SE_DACL_PROTECTED, {}},
        ParseCase{"D:   ", STATUS_SUCCESS, 0, {}},
        ParseCase{"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)", STATUS_SUCCESS,
                  SE_DACL_PROTECTED,
                  {Allow(kGA, "S-1-5-18"), Allow(kRWX, "S-1-5-32-544"), Allow(kRWX, "S-1-1-0"),
                   Allow(kRWX, "S-1-5-12")}},
        // Other sections, other entry types and non-empty fields are outside the subset.
        ParseCase{"O:SYD:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(D;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;CI;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;x;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;x;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;;SY)S:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;;SY)(A;;GA;;;SY)O:BA", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;;XY)", STATUS_NONE_MAPPED},
        ParseCase{"D:(A;;GA;;;SY", STATUS_INVALID_ACL},
        ParseCase{"D:(A;;GA;;;SY)(A;;GA;;;BA", STATUS_INVALID_ACL},
        ParseCase{"D:(A;;GA;;SY)", STATUS_INVALID_PARAMETER},   // four ';'
        ParseCase{"D:xyz", STATUS_INVALID_PARAMETER},
        ParseCase{"D::", STATUS_INVALID_PARAMETER},
        ParseCase{"", STATUS_INVALID_PARAMETER},
        // Text after the last entry without ';' or ':' is not examined.
        ParseCase{"D:(A;;GA;;;SY)xyz", STATUS_SUCCESS, 0, {Allow(kGA, "S-1-5-18")}},
        ParseCase{"D:(A;;GA;;;SY)  ", STATUS_SUCCESS, 0, {Allow(kGA, "S-1-5-18")}},
        // The section letters are case-sensitive, everything else is not.
        ParseCase{"d:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:p(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(a;;ga;;;sy)", STATUS_SUCCESS, 0, {Allow(kGA, "S-1-5-18")}},
        ParseCase{"D: ( A; ; GA ; ; ; SY ) ", STATUS_SUCCESS, 0, {Allow(kGA, "S-1-5-18")}},
        // The character after the type is taken as its ';' unchecked.
        ParseCase{"D:(A ;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:A;;GA;;;SY)", STATUS_SUCCESS, 0, {Allow(kGA, "S-1-5-18")}},
        // Rights: tokens OR together, a number replaces what came before it.
        ParseCase{"D:(A;;0x1F01FF;;;SY)", STATUS_SUCCESS, 0, {Allow(0x001F01FF, "S-1-5-18")}},
        ParseCase{"D:(A;;GR0x10;;;SY)", STATUS_SUCCESS, 0, {Allow(0x10, "S-1-5-18")}},
        ParseCase{"D:(A;;0x10GR;;;SY)", STATUS_SUCCESS, 0, {Allow(0x80000010, "S-1-5-18")}},
        ParseCase{"D:(A;;FA;;;SY)", STATUS_SUCCESS, 0, {Allow(0xFA, "S-1-5-18")}},
        ParseCase{"D:(A;;;;;SY)", STATUS_SUCCESS, 0, {Allow(0, "S-1-5-18")}},
        ParseCase{"D:(A;;010;;;SY)", STATUS_SUCCESS, 0, {Allow(10, "S-1-5-18")}},
        ParseCase{"D:(A;;4294967295;;;SY)", STATUS_SUCCESS, 0, {Allow(0xFFFFFFFF, "S-1-5-18")}},
        ParseCase{"D:(A;;RCWDWOSD;;;SY)", STATUS_SUCCESS, 0, {Allow(0x000F0000, "S-1-5-18")}},
        ParseCase{"D:(A;;GX GR;;;SY)", STATUS_SUCCESS, 0, {Allow(0xA0000000, "S-1-5-18")}},
        ParseCase{"D:(A;;4294967296;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;0x1FFFFFFFF;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;0x;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;ZZ;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GAX;;;SY)", STATUS_INVALID_PARAMETER},
        // Numbers: "0X" too; a digit starts a decimal number that ends at the
        // first non-digit, where a hexadecimal one may follow and replace it.
        ParseCase{"D:(A;;0X1f;;;SY)", STATUS_SUCCESS, 0, {Allow(0x1F, "S-1-5-18")}},
        ParseCase{"D:(A;;10FF;;;SY)", STATUS_SUCCESS, 0, {Allow(0xFF, "S-1-5-18")}},
        ParseCase{"D:(A;;GA 0x10 GW;;;SY)", STATUS_SUCCESS, 0, {Allow(0x40000010, "S-1-5-18")}},
        ParseCase{"D:(A;;0xFFFFFFFF;;;SY)", STATUS_SUCCESS, 0, {Allow(0xFFFFFFFF, "S-1-5-18")}},
        ParseCase{"D:(A;;FFFFFFFFF;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;00x10;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;-1;;;SY)", STATUS_INVALID_PARAMETER},
        // The second entry is held to the same rules as the first.
        ParseCase{"D:(A;;GA;;;SY)(D;;GA;;;BA)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;;SY)(A;OI;GA;;;BA)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;;SY)(A;;GA;;BA)", STATUS_INVALID_PARAMETER},  // nine ';'
        ParseCase{"D:(A;;GA;;;SY)(A;;GA;;;QQ)", STATUS_NONE_MAPPED},
        ParseCase{"G:BAD:(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;;SY)G:BA", STATUS_INVALID_PARAMETER},
        ParseCase{"D :(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:((A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        ParseCase{"D:(A;;GA;;;S)", STATUS_NONE_MAPPED},
        // Entries may be separated by spaces; a ')' needs no '(' after it.
        ParseCase{"D:(A;;GA;;;SY) (A;;GR;;;BA)", STATUS_SUCCESS, 0,
                  {Allow(kGA, "S-1-5-18"), Allow(0x80000000, "S-1-5-32-544")}},
        ParseCase{"D:P A;;GA;;;SY)A;;GR;;;BA)", STATUS_SUCCESS, SE_DACL_PROTECTED,
                  {Allow(kGA, "S-1-5-18"), Allow(0x80000000, "S-1-5-32-544")}},
        ParseCase{"D:(A;;GA;;;WD)(A;;GR;;;BU)(A;;GW;;;AN)", STATUS_SUCCESS, 0,
                  {Allow(kGA, "S-1-1-0"), Allow(0x80000000, "S-1-5-32-545"),
                   Allow(0x40000000, "S-1-5-7")}}));

struct AliasCase {
    const char* alias;
    const char* sid;
};

class AliasTest : public DevsecTest, public ::testing::WithParamInterface<AliasCase> {};

TEST_P(AliasTest, ResolvesThroughTheExportTable) {
    std::u16string text = Wide(GetParam().alias);
    PSID sid = nullptr;
    ASSERT_TRUE(LookupSidAlias(reinterpret_cast<PCWSTR>(text.c_str()), &sid));
    ASSERT_NE(sid, nullptr);
    EXPECT_EQ(hk::security::SidToString(sid), GetParam().sid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AliasTest,
    ::testing::Values(AliasCase{"WD", "S-1-1-0"}, AliasCase{"BA", "S-1-5-32-544"},
                      AliasCase{"SY", "S-1-5-18"}, AliasCase{"IU", "S-1-5-4"},
                      AliasCase{"RC", "S-1-5-12"}, AliasCase{"AU", "S-1-5-11"},
                      AliasCase{"NU", "S-1-5-2"}, AliasCase{"AN", "S-1-5-7"},
                      AliasCase{"BG", "S-1-5-32-546"}, AliasCase{"BU", "S-1-5-32-545"},
                      AliasCase{"LS", "S-1-5-19"}, AliasCase{"NS", "S-1-5-20"},
                      AliasCase{"ac", "S-1-15-2-1"}, AliasCase{"uD", "S-1-5-84-0-0-0-0-0"}));

// The last four aliases name SIDs that systems below WDM 1.32 do not know:
// there the entry is left out and the others stay.
class WdmVersionTest : public DevsecTest {
protected:
    void TearDown() override {
        hk::security::SetWdmVersion(6, 2);
        DevsecTest::TearDown();
    }
};

TEST_F(WdmVersionTest, NewerAliasesAreDroppedOnAnOlderSystem) {
    struct {
        UCHAR major, minor;
        bool newer_kept;
    } systems[] = {{1, 0x10, false}, {1, 0x1F, false}, {1, 0x20, true}, {1, 0x30, true}, {6, 0, true}};
    for (auto& sys : systems) {
        hk::security::SetWdmVersion(sys.major, sys.minor);
        for (const char* alias : {"LS", "NS", "AC", "UD", "WD", "BU"}) {
            bool newer = std::string("LSNSACUD").find(alias) != std::string::npos;
            std::string sddl = std::string("D:P(A;;GA;;;") + alias + ")(A;;GR;;;SY)";
            UNICODE_STRING text;
            std::u16string wide = Wide(sddl);
            RtlInitUnicodeString(&text, reinterpret_cast<PCWSTR>(wide.c_str()));
            PSECURITY_DESCRIPTOR sd = nullptr;
            ASSERT_EQ(SddlToSecurityDescriptor(&text, TRUE, &sd), STATUS_SUCCESS) << sddl;
            auto rel = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd);
            auto dacl = reinterpret_cast<PACL>(static_cast<uint8_t*>(sd) + rel->Dacl);
            std::vector<AceView> aces = Aces(dacl);
            bool kept = !newer || sys.newer_kept;
            ASSERT_EQ(aces.size(), kept ? 2u : 1u) << sddl << " on WDM " << (int)sys.major << "." << (int)sys.minor;
            EXPECT_EQ(aces.back(), Allow(0x80000000, "S-1-5-18"));
            if (!kept) EXPECT_EQ(dacl->AclSize, 8 + 20) << "no room is left for the dropped entry";
            EXPECT_EQ(rel->Control, 0x900C);
            ExFreePoolWithTag(sd, 0);
        }
    }
    // An entry dropped on its own leaves an empty list, not an error.
    hk::security::SetWdmVersion(1, 0x10);
    std::u16string only = u"D:(A;;GA;;;UD)";
    PACL acl;
    SECURITY_DESCRIPTOR_CONTROL control;
    ASSERT_EQ(ParseSddlDacl(reinterpret_cast<PCWSTR>(only.c_str()), FALSE, &acl, &control), STATUS_SUCCESS);
    EXPECT_EQ(acl->AceCount, 0);
    EXPECT_EQ(acl->AclSize, 8);
    ExFreePoolWithTag(acl, 0);
}

TEST_F(DevsecTest, ChildTextBuildsTheExpectedDescriptor) {
    UNICODE_STRING text = Counted(kChildSddl);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(SddlToSecurityDescriptor(&text, TRUE, &sd), STATUS_SUCCESS);
    ASSERT_NE(sd, nullptr);
    auto rel = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd);
    EXPECT_EQ(rel->Revision, 1);
    EXPECT_EQ(rel->Control, 0x900C);
    EXPECT_EQ(rel->Owner, 0u);
    EXPECT_EQ(rel->Group, 0u);
    EXPECT_EQ(rel->Sacl, 0u);
    EXPECT_EQ(rel->Dacl, 20u);
    EXPECT_EQ(RtlLengthSecurityDescriptor(sd), 112u);
    auto dacl = reinterpret_cast<PACL>(static_cast<uint8_t*>(sd) + rel->Dacl);
    EXPECT_EQ(dacl->AclSize, 92);
    EXPECT_EQ(Aces(dacl), (std::vector<AceView>{Allow(kGA, "S-1-5-18"), Allow(kRWX, "S-1-5-32-544"),
                                                Allow(kRWX, "S-1-1-0"), Allow(kRWX, "S-1-5-12")}));
    EXPECT_EQ(hk::security::ToSddl(sd, 112),
              "D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)");
    EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_DESCRIPTOR).blocks_in_use, 1u);
    EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_ACL).blocks_in_use, 0u) << "the list is freed";
    ExFreePoolWithTag(sd, 0);

    // Not defaulted: the same descriptor without SE_DACL_DEFAULTED.
    ASSERT_EQ(SddlToSecurityDescriptor(&text, FALSE, &sd), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd)->Control, 0x9004);
    ExFreePoolWithTag(sd, 0);
}

TEST_F(DevsecTest, TextIsCopiedOnlyWhenNotTerminatedInPlace) {
    std::u16string storage = u"D:(A;;GA;;;SY)XXXX";
    struct Case {
        USHORT length, maximum;
        size_t copies;
        NTSTATUS status;
    } cases[] = {
        {28, 30, 1, STATUS_SUCCESS},                  // room, but 'X' follows: copied
        {28, 28, 1, STATUS_SUCCESS},                  // no room for a NUL
        {26, 28, 1, STATUS_INVALID_ACL},              // cut before ')'
    };
    for (const Case& c : cases) {
        UNICODE_STRING text{c.length, c.maximum, reinterpret_cast<PWSTR>(storage.data())};
        size_t before = machine_.PoolStats(DEVSEC_TAG_TEXT).total_allocations;
        PSECURITY_DESCRIPTOR sd = nullptr;
        EXPECT_EQ(SddlToSecurityDescriptor(&text, FALSE, &sd), c.status);
        EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_TEXT).total_allocations - before, c.copies);
        if (sd) ExFreePoolWithTag(sd, 0);
    }
    std::u16string terminated = u"D:(A;;GA;;;SY)";
    UNICODE_STRING text{28, 30, reinterpret_cast<PWSTR>(terminated.data())};
    size_t before = machine_.PoolStats(DEVSEC_TAG_TEXT).total_allocations;
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_EQ(SddlToSecurityDescriptor(&text, FALSE, &sd), STATUS_SUCCESS);
    EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_TEXT).total_allocations, before) << "used in place";
    ExFreePoolWithTag(sd, 0);
}

TEST_F(DevsecTest, FullListGrowsForTheEntriesStillToCome) {
    PACL acl = static_cast<PACL>(ExAllocatePoolWithTag((POOL_TYPE)1, 28, DEVSEC_TAG_ACL));
    ASSERT_EQ(RtlCreateAcl(acl, 28, ACL_REVISION), STATUS_SUCCESS);
    ULONG used = 8;
    PSID ud = SeExports->SeUserModeDriversSid;  // 32 bytes: an entry of 40 does not fit
    ASSERT_EQ(AppendAllowedAce(&acl, &used, 0x1234, 3, ud), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, 40 * 3 + 8);
    EXPECT_EQ(used, 48u);
    EXPECT_EQ(Aces(acl), std::vector<AceView>{Allow(0x1234, "S-1-5-84-0-0-0-0-0")});
    EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_ACL).blocks_in_use, 1u) << "the old list is freed";
    ExFreePoolWithTag(acl, 0);
}

TEST_F(DevsecTest, ListLargerThanAnAclCanHoldIsRefused) {
    std::string many = "D:";
    for (int i = 0; i < 1000; ++i) many += "(A;;GA;;;UD)";
    std::u16string text = Wide(many);
    PACL acl;
    SECURITY_DESCRIPTOR_CONTROL control;
    ASSERT_EQ(ParseSddlDacl(reinterpret_cast<PCWSTR>(text.c_str()), FALSE, &acl, &control), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, 8 + 40 * 1000);
    EXPECT_EQ(acl->AceCount, 1000);
    ExFreePoolWithTag(acl, 0);

    // 1700 entries of 40 bytes exceed the 16-bit size of a list.
    for (int i = 1000; i < 1700; ++i) many += "(A;;GA;;;UD)";
    text = Wide(many);
    EXPECT_EQ(ParseSddlDacl(reinterpret_cast<PCWSTR>(text.c_str()), FALSE, &acl, &control),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl, nullptr);
}

}  // namespace
