// Registry: paths and dispositions, value queries with Windows' statuses and
// required lengths, handles through the handle table, save and load.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "hk/registry.h"
#include "hk/security.h"
#include "hk/testing.h"

namespace {

struct Name {
    explicit Name(const char16_t* s) { RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(s)); }
    UNICODE_STRING u;
};

class RegTest : public ::testing::Test {
protected:
    void TearDown() override { HK_EXPECT_CLEAN(machine_); }
    NTSTATUS Open(const char16_t* path, HANDLE root, HANDLE* key) {
        Name n(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &n.u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(key, KEY_READ, &oa);
    }
    NTSTATUS Create(const char16_t* path, HANDLE root, HANDLE* key, ULONG* disposition,
                    PSECURITY_DESCRIPTOR sd = nullptr) {
        Name n(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &n.u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, sd);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, disposition);
    }
    hk::Machine machine_;
};

TEST_F(RegTest, ClassKeyExistsAtBootAndNamesIgnoreCase) {
    HANDLE key;
    ASSERT_EQ(Open(u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\Control\\CLASS", nullptr, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    struct { const char16_t* path; NTSTATUS status; } cases[] = {
        {u"\\Registry\\Machine\\Nope", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\Nope\\Deeper", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Registry\\\\Machine", STATUS_OBJECT_NAME_INVALID},
    };
    for (auto& c : cases) {
        key = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(Open(c.path, nullptr, &key), c.status);
        EXPECT_EQ(key, nullptr);
    }
}

TEST_F(RegTest, CreateReportsDispositionAndRecordsSecurity) {
    HANDLE root, key;
    ULONG disposition = 0;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Software", nullptr, &root), STATUS_SUCCESS);
    auto sd = hk::security::FromSddl("D:P(A;OICI;GA;;;SY)");
    ASSERT_EQ(Create(u"Vendor", root, &key, &disposition, sd.data()), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ZwClose(key);
    ASSERT_EQ(Create(u"VENDOR", root, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    ZwClose(key);
    EXPECT_EQ(hk::registry::KeySecurity("\\Registry\\Machine\\Software\\Vendor"), sd);
    // Intermediate keys are not created; a malformed descriptor is refused.
    EXPECT_EQ(Create(u"A\\B", root, &key, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
    std::vector<uint8_t> bad = sd;
    bad[0] = 7;
    EXPECT_EQ(Create(u"C", root, &key, &disposition, bad.data()), STATUS_UNKNOWN_REVISION);
    EXPECT_FALSE(hk::registry::KeyExists("\\Registry\\Machine\\Software\\C"));
    ZwClose(root);
    EXPECT_EQ(ZwClose(root), STATUS_INVALID_HANDLE);
    HK_EXPECT_FINDING(machine_, hk::verifier::kHandleInvalid);
}

struct QueryCase {
    KEY_VALUE_INFORMATION_CLASS cls;
    ULONG length;
    NTSTATUS status;
    ULONG result;
};

TEST_F(RegTest, QueryStatusesAndRequiredLengths) {
    const char path[] = "\\Registry\\Machine\\Software\\Q";
    hk::registry::SetValue(path, "Data", REG_BINARY, std::vector<uint8_t>(10, 0xAB));
    HANDLE key;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Software\\Q", nullptr, &key), STATUS_SUCCESS);
    // Partial: 12 + 10. Full: name at 20 (8 bytes), data at 28, 38 in all.
    QueryCase cases[] = {
        {KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 22},
        {KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 22},
        {KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 22},
        {KeyValuePartialInformation, 21, STATUS_BUFFER_OVERFLOW, 22},
        {KeyValuePartialInformation, 22, STATUS_SUCCESS, 22},
        {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 38},
        {KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 38},
        {KeyValueFullInformation, 37, STATUS_BUFFER_OVERFLOW, 38},
        {KeyValueFullInformation, 64, STATUS_SUCCESS, 38},
        {KeyValueBasicInformation, 64, STATUS_SUCCESS, 20},
    };
    Name name(u"data");
    for (const QueryCase& c : cases) {
        uint8_t buffer[64];
        std::memset(buffer, 0xCC, sizeof(buffer));
        ULONG result = 0;
        EXPECT_EQ(ZwQueryValueKey(key, &name.u, c.cls, buffer, c.length, &result), c.status)
            << c.cls << "/" << c.length;
        EXPECT_EQ(result, c.result) << c.cls << "/" << c.length;
        for (ULONG i = c.length; i < sizeof(buffer); ++i)
            ASSERT_EQ(buffer[i], 0xCC) << "wrote past the buffer at " << i;
        if (c.status == STATUS_BUFFER_OVERFLOW || c.status == STATUS_SUCCESS) {
            ULONG type;
            std::memcpy(&type, buffer + 4, 4);
            EXPECT_EQ(type, (ULONG)REG_BINARY) << "the fixed part is filled";
        }
        if (c.cls == KeyValueFullInformation && c.status == STATUS_SUCCESS) {
            auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
            EXPECT_EQ(full->DataOffset, 28u);
            EXPECT_EQ(full->DataLength, 10u);
            EXPECT_EQ(buffer[full->DataOffset], 0xAB);
        }
    }
    Name missing(u"Missing");
    ULONG result;
    uint8_t buffer[16];
    EXPECT_EQ(ZwQueryValueKey(key, &missing.u, KeyValuePartialInformation, buffer, 16, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
    EXPECT_EQ(ZwQueryValueKey(key, &name.u, KeyValuePartialInformation, buffer, 16, &result),
              STATUS_INVALID_HANDLE);
}

TEST_F(RegTest, SetValueReplacesAndInjectedFailuresReport) {
    HANDLE root, key;
    ULONG disposition;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\Software", nullptr, &root), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"S", root, &key, &disposition), STATUS_SUCCESS);
    ZwClose(root);
    Name name(u"V");
    ULONG one = 1, two = 2;
    ASSERT_EQ(ZwSetValueKey(key, &name.u, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    ASSERT_EQ(ZwSetValueKey(key, &name.u, 0, REG_DWORD, &two, 4), STATUS_SUCCESS);
    auto v = hk::registry::GetValue("\\Registry\\Machine\\Software\\S", "v");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->data, (std::vector<uint8_t>{2, 0, 0, 0}));
    hk::registry::FailCall("ZwSetValueKey", STATUS_INSUFFICIENT_RESOURCES, 2);
    EXPECT_EQ(ZwSetValueKey(key, &name.u, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &name.u, 0, REG_DWORD, &two, 4), STATUS_INSUFFICIENT_RESOURCES);
    hk::registry::DeleteKey("\\Registry\\Machine\\Software\\S");
    EXPECT_EQ(ZwSetValueKey(key, &name.u, 0, REG_DWORD, &two, 4), STATUS_KEY_DELETED);
    ZwClose(key);
}

TEST(RegPersistence, SaveAndLoadAcrossMachines) {
    char path[] = "/tmp/hk_registry_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    auto sd = hk::security::FromSddl("D:P(A;;GA;;;SY)");
    {
        hk::Machine m;
        hk::registry::SetString("\\Registry\\Machine\\Software\\P", "Text", "caf\xc3\xa9");
        hk::registry::SetValue("\\Registry\\Machine\\Software\\P\\Sub", "Blob", REG_BINARY, {0, 1, 2});
        hk::registry::Save(path);
    }
    {
        hk::Machine m;
        EXPECT_FALSE(hk::registry::KeyExists("\\Registry\\Machine\\Software\\P"));
        ASSERT_TRUE(hk::registry::Load(path));
        EXPECT_EQ(hk::registry::GetString("\\Registry\\Machine\\Software\\p", "text"), "caf\xc3\xa9");
        auto blob = hk::registry::GetValue("\\Registry\\Machine\\Software\\P\\SUB", "Blob");
        ASSERT_TRUE(blob.has_value());
        EXPECT_EQ(blob->data, (std::vector<uint8_t>{0, 1, 2}));
        EXPECT_TRUE(hk::registry::KeyExists(
            "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class"));
    }
    std::remove(path);
    hk::Machine m;
    EXPECT_FALSE(hk::registry::Load("/nonexistent/registry.json"));
}

}  // namespace
