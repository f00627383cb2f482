// The registry side of secure creation, routine by routine: the class key's
// name, the value readers' statuses and buffers, the string writer's copy,
// and the parts of a descriptor.
#include <map>

#include "devsec_fixture.h"

using namespace devsec_test;

namespace {

// {DF704935-A186-4374-9C97-028B6B056078}, the audio child's class.
const GUID kAudioClass = {0xDF704935, 0xA186, 0x4374, {0x9C, 0x97, 0x02, 0x8B, 0x6B, 0x05, 0x60, 0x78}};
const char kScratch[] = "\\Registry\\Machine\\Software\\DevsecTest";

class ClassKeyTest : public DevsecTest {
protected:
    void SetUp() override {
        DevsecTest::SetUp();
        hk::registry::CreateKey(kScratch);
        UNICODE_STRING path = Counted(u"\\Registry\\Machine\\Software\\DevsecTest");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(ZwOpenKey(&key_, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (key_) ZwClose(key_);
        DevsecTest::TearDown();
    }
    HANDLE key_ = nullptr;
};

TEST_F(ClassKeyTest, ClassKeyNameIsTheGuidInUpperCase) {
    struct {
        const GUID* guid;
        const char* name;
    } cases[] = {
        {&kCameraClass, "{7A39372F-ADD4-446A-AC4E-561739FA4E2A}"},
        {&kAudioClass, "{DF704935-A186-4374-9C97-028B6B056078}"},
    };
    for (auto& c : cases) {
        std::string path = std::string(kClassRoot) + "\\" + c.name;
        ASSERT_FALSE(hk::registry::KeyExists(path));
        HANDLE key;
        ULONG disposition = 0;
        ASSERT_EQ(OpenClassKey(c.guid, KEY_ALL_ACCESS, TRUE, &disposition, &key), STATUS_SUCCESS);
        EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
        ZwClose(key);
        EXPECT_TRUE(hk::registry::KeyExists(path)) << c.name;
        ASSERT_EQ(OpenClassKey(c.guid, KEY_ALL_ACCESS, TRUE, &disposition, &key), STATUS_SUCCESS);
        EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
        ZwClose(key);
    }
    EXPECT_EQ(hk::registry::SubKeys(kClassRoot).size(), 2u) << "nothing else was created";

    // Without create, a missing key is an error and the outputs stay empty.
    hk::registry::DeleteKey(std::string(kClassRoot) + "\\{DF704935-A186-4374-9C97-028B6B056078}");
    HANDLE key = reinterpret_cast<HANDLE>(1);
    ULONG disposition = 7;
    EXPECT_EQ(OpenClassKey(&kAudioClass, KEY_ALL_ACCESS, FALSE, &disposition, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(disposition, 0u);
}

TEST_F(ClassKeyTest, DwordReaderStatuses) {
    hk::registry::SetDword(kScratch, "Good", 0x22);
    hk::registry::SetValue(kScratch, "Text", REG_SZ, {'2', 0, 0, 0});
    hk::registry::SetValue(kScratch, "Long", REG_DWORD, std::vector<uint8_t>(8, 1));
    hk::registry::SetValue(kScratch, "Short", REG_DWORD, {0x22, 0});
    hk::registry::SetValue(kScratch, "Binary4", REG_BINARY, {1, 2, 3, 4});
    struct {
        const char16_t* name;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {u"Good", STATUS_SUCCESS, 0x22},
        {u"good", STATUS_SUCCESS, 0x22},
        {u"Missing", STATUS_OBJECT_NAME_NOT_FOUND, 0x55},
        {u"Text", STATUS_OBJECT_TYPE_MISMATCH, 0x55},
        {u"Binary4", STATUS_OBJECT_TYPE_MISMATCH, 0x55},
        {u"Long", STATUS_BUFFER_OVERFLOW, 0x55},
        // Two bytes cannot make a 32-bit value.
        {u"Short", STATUS_OBJECT_TYPE_MISMATCH, 0x55},
    };
    for (auto& c : cases) {
        ULONG value = 0xDEAD;
        EXPECT_EQ(ReadRegistryDword(key_, reinterpret_cast<PCWSTR>(c.name), 0x55, &value), c.status);
        EXPECT_EQ(value, c.value) << "the default whenever nothing was read";
    }
}

TEST_F(ClassKeyTest, ValueReaderSizesItsBufferAndChecksTheType) {
    std::vector<uint8_t> big(600);
    for (size_t i = 0; i < big.size(); ++i) big[i] = (uint8_t)i;
    hk::registry::SetValue(kScratch, "Big", REG_BINARY, big);
    hk::registry::SetValue(kScratch, "Small", REG_BINARY, {9, 8, 7});
    struct {
        const char16_t* name;
        ULONG type;
        ULONG extra;
        NTSTATUS status;
        size_t allocations;  // of "PpRb"
        std::vector<uint8_t> data;
    } cases[] = {
        {u"Small", REG_BINARY, 0, STATUS_SUCCESS, 1, {9, 8, 7}},  // fits the first guess
        {u"Big", REG_BINARY, 0, STATUS_SUCCESS, 2, big},          // asks again for the size
        {u"Small", REG_BINARY, 64, STATUS_SUCCESS, 1, {9, 8, 7}},
        {u"Small", REG_NONE, 64, STATUS_SUCCESS, 1, {9, 8, 7}},   // any type
        {u"Big", REG_BINARY, 64, STATUS_SUCCESS, 2, big},
        {u"Small", REG_DWORD, 64, STATUS_OBJECT_TYPE_MISMATCH, 1, {}},
        {u"Missing", REG_BINARY, 64, STATUS_OBJECT_NAME_NOT_FOUND, 1, {}},
        // The size computation wraps: refused before any allocation.
        {u"Small", REG_BINARY, 0xFFFFFFF0u, STATUS_INTEGER_OVERFLOW, 0, {}},
    };
    for (auto& c : cases) {
        size_t before = machine_.PoolStats(DEVSEC_TAG_VALUE).total_allocations;
        PKEY_VALUE_FULL_INFORMATION info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(1);
        EXPECT_EQ(ReadRegistryValue(key_, reinterpret_cast<PCWSTR>(c.name), c.type, c.extra, &info),
                  c.status);
        EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_VALUE).total_allocations - before, c.allocations);
        if (!NT_SUCCESS(c.status)) {
            EXPECT_EQ(info, nullptr);
            continue;
        }
        ASSERT_NE(info, nullptr);
        auto bytes = reinterpret_cast<const uint8_t*>(info);
        EXPECT_EQ(std::vector<uint8_t>(bytes + info->DataOffset, bytes + info->DataOffset + info->DataLength),
                  c.data);
        for (const hk::PoolBlockInfo& b : machine_.OutstandingPool())
            if (b.address == info) EXPECT_EQ(b.type, (POOL_TYPE)0x200);
        ExFreePoolWithTag(info, 0);
    }
    EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_VALUE).blocks_in_use, 0u);
}

TEST_F(ClassKeyTest, StringWriterTerminatesInPlaceOrInACopy) {
    struct {
        const char* name;
        USHORT length, maximum;
        size_t copies;
    } cases[] = {
        {"Room", 6, 8, 0},        // room for the NUL: written in place
        {"NoRoom", 6, 6, 1},      // copied with room for it
        {"Cut", 4, 4, 1},         // the counted part only
        {"Empty", 0, 0, 1},
    };
    for (auto& c : cases) {
        char16_t buffer[] = u"abcX";
        UNICODE_STRING s{c.length, c.maximum, reinterpret_cast<PWSTR>(buffer)};
        std::u16string name = Wide(c.name);
        size_t before = machine_.PoolStats(DEVSEC_TAG_STRING).total_allocations;
        ASSERT_EQ(WriteRegistryString(key_, reinterpret_cast<PCWSTR>(name.c_str()), &s), STATUS_SUCCESS);
        EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_STRING).total_allocations - before, c.copies) << c.name;
        auto v = hk::registry::GetValue(kScratch, c.name);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->type, (ULONG)REG_SZ);
        EXPECT_EQ(v->data.size(), c.length + 2u) << c.name << ": the text and its NUL";
        EXPECT_EQ(hk::registry::GetString(kScratch, c.name), std::string("abc").substr(0, c.length / 2));
    }
    EXPECT_EQ(machine_.PoolStats(DEVSEC_TAG_STRING).blocks_in_use, 0u);

    // A failed copy is reported and writes nothing.
    char16_t buffer[] = u"abc";
    UNICODE_STRING s{6, 6, reinterpret_cast<PWSTR>(buffer)};
    machine_.FailTag(DEVSEC_TAG_STRING);
    EXPECT_EQ(WriteRegistryString(key_, reinterpret_cast<PCWSTR>(u"Refused"), &s),
              STATUS_INSUFFICIENT_RESOURCES);
    machine_.ClearPoolFaults();
    EXPECT_FALSE(hk::registry::GetValue(kScratch, "Refused").has_value());
}

TEST_F(ClassKeyTest, OverlongNamesAreRefused) {
    std::u16string name(32767, u'n');
    ULONG value;
    EXPECT_EQ(ReadRegistryDword(key_, reinterpret_cast<PCWSTR>(name.c_str()), 0, &value), STATUS_NAME_TOO_LONG);
    PKEY_VALUE_FULL_INFORMATION info;
    EXPECT_EQ(ReadRegistryValue(key_, reinterpret_cast<PCWSTR>(name.c_str()), 0, 0, &info), STATUS_NAME_TOO_LONG);
    UNICODE_STRING s = Counted(u"1");
    EXPECT_EQ(WriteRegistryString(key_, reinterpret_cast<PCWSTR>(name.c_str()), &s), STATUS_NAME_TOO_LONG);
    name.pop_back();  // 32766 characters are still a name
    EXPECT_EQ(ReadRegistryDword(key_, reinterpret_cast<PCWSTR>(name.c_str()), 0, &value),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ClassKeyTest, DescriptorPartsAndDaclDefaulted) {
    struct {
        const char* sddl;
        USHORT set_control;  // ORed into the built descriptor
        ULONG parts;
        bool dacl_defaulted;
    } cases[] = {
        {"D:P(A;;GA;;;SY)", 0, DACL_SECURITY_INFORMATION, false},
        {"D:P(A;;GA;;;SY)", SE_DACL_DEFAULTED, DACL_SECURITY_INFORMATION, true},
        {"O:BAG:SYD:(A;;GA;;;SY)", 0, 7, false},
        {"O:BA", 0, OWNER_SECURITY_INFORMATION, false},
        // Defaulted without a list: nothing to be defaulted.
        {"O:BA", SE_DACL_DEFAULTED, OWNER_SECURITY_INFORMATION, false},
        {"S:(AU;SA;GA;;;WD)", 0, SACL_SECURITY_INFORMATION, false},
        {"D:NO_ACCESS_CONTROL", 0, DACL_SECURITY_INFORMATION, false},
        {"", 0, 0, false},
    };
    for (auto& c : cases) {
        NTSTATUS s;
        std::vector<uint8_t> sd = hk::security::FromSddl(c.sddl, &s);
        ASSERT_EQ(s, STATUS_SUCCESS) << c.sddl;
        sd[2] |= (UCHAR)c.set_control;
        BOOLEAN defaulted = 7;
        ULONG parts = 99;
        ASSERT_EQ(GetSecurityDescriptorParts(sd.data(), &defaulted, &parts), STATUS_SUCCESS) << c.sddl;
        EXPECT_EQ(parts, c.parts) << c.sddl;
        EXPECT_EQ(defaulted != FALSE, c.dacl_defaulted) << c.sddl;
    }
    std::vector<uint8_t> sd = hk::security::FromSddl("D:");
    sd[0] = 2;
    BOOLEAN defaulted;
    ULONG parts;
    EXPECT_EQ(GetSecurityDescriptorParts(sd.data(), &defaulted, &parts), STATUS_UNKNOWN_REVISION);
}

}  // namespace
