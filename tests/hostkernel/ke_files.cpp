// The name file on drive C: through ZwCreateFile/ZwQueryInformationFile/
// ZwReadFile/ZwClose, as the driver reads it.
#include <string>

#include "hk/handles.h"
#include "hk/machine.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

NTSTATUS Open(const char16_t* path, HANDLE* h, IO_STATUS_BLOCK* io, ULONG disposition = FILE_OPEN) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwCreateFile(h, GENERIC_READ, &oa, io, NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
                        FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
}

TEST(KeFiles, MissingFileAndMissingDirectory) {
    hk::Machine m;
    HANDLE h = nullptr;
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\??\\C:\\DeiverName.dat", &h, &io));
    EXPECT_EQ(STATUS_OBJECT_PATH_NOT_FOUND, Open(u"\\??\\C:\\nodir\\DeiverName.dat", &h, &io));
    EXPECT_EQ(STATUS_OBJECT_PATH_NOT_FOUND, Open(u"\\??\\D:\\DeiverName.dat", &h, &io));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(0u, m.OpenHandleCount());
}

TEST(KeFiles, ReadsPresentFileOfEachSize) {
    for (size_t size : {0u, 5u, 1024u, 3000u}) {
        SCOPED_TRACE(size);
        hk::Machine m;
        std::string content(size, 'a');
        for (size_t i = 0; i < size; ++i) content[i] = (char)('a' + i % 26);
        m.PutFile("DeiverName.dat", content);
        HANDLE h;
        IO_STATUS_BLOCK io{};
        // case-insensitive, as on NTFS
        ASSERT_EQ(STATUS_SUCCESS, Open(u"\\??\\C:\\deivername.DAT", &h, &io));
        EXPECT_EQ((ULONG_PTR)FILE_OPENED, io.Information);

        FILE_STANDARD_INFORMATION fsi{};
        ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationFile(h, &io, &fsi, sizeof fsi, FileStandardInformation));
        EXPECT_EQ((LONGLONG)size, fsi.EndOfFile.QuadPart);
        EXPECT_EQ(sizeof fsi, io.Information);
        EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH,
                  ZwQueryInformationFile(h, &io, &fsi, sizeof fsi - 1, FileStandardInformation));

        char buf[1024];
        LARGE_INTEGER offset;
        offset.QuadPart = 0;
        NTSTATUS st = ZwReadFile(h, NULL, NULL, NULL, &io, buf, sizeof buf, &offset, NULL);
        if (size == 0) {
            EXPECT_EQ(STATUS_END_OF_FILE, st);
            EXPECT_EQ(0u, io.Information);
        } else {
            ASSERT_EQ(STATUS_SUCCESS, st);
            size_t want = size < sizeof buf ? size : sizeof buf;
            EXPECT_EQ(want, io.Information);
            EXPECT_EQ(content.substr(0, want), std::string(buf, want));
        }
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
        HK_EXPECT_CLEAN(m);
    }
}

TEST(KeFiles, RemovedFileIsGoneAndHandlesLeakAtShutdown) {
    hk::Machine m;
    m.PutFile("DeiverName.dat", std::string("Cam"));
    m.RemoveFile("DeiverName.dat");
    HANDLE h;
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\??\\C:\\DeiverName.dat", &h, &io));
    m.PutFile("DeiverName.dat", std::string("Cam"));
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\??\\C:\\DeiverName.dat", &h, &io));
    EXPECT_EQ(1u, m.OpenHandleCount());
    EXPECT_NE(std::string::npos, m.Report().find("DeiverName.dat")) << m.Report();
    ZwClose(h);
}

TEST(KeHandles, TableClosesAnyObjectOnce) {
    hk::Machine m;
    struct Key : hk::HandleObject {
        int* closed;
        explicit Key(int* c) : closed(c) {}
        const char* TypeName() const override { return "Key"; }
        void OnClose() override { ++*closed; }
    };
    int closed = 0;
    HANDLE h = hk::handles::Insert(std::make_shared<Key>(&closed));
    EXPECT_NE(nullptr, hk::handles::Lookup<Key>(h));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
    EXPECT_EQ(1, closed);
    EXPECT_EQ(nullptr, hk::handles::LookupAny(h));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(h));
    EXPECT_EQ(1, closed);
    HK_EXPECT_FINDING(m, hk::verifier::kHandleInvalid);
}

}  // namespace
