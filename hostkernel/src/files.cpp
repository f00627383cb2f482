// Files: drive C: of the machine is a host directory. ZwCreateFile,
// ZwQueryInformationFile, ZwReadFile and ZwWriteFile work on it with
// Windows' statuses; names are matched case-insensitively, as NTFS does.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "hostkernel/nt_file.h"
#include "ke_internal.h"

using hk::Machine;
using hk::detail::M;
namespace v = hk::verifier;
namespace fs = std::filesystem;

namespace {

class FileObject : public hk::HandleObject {
public:
    int fd = -1;
    std::string path;
    std::string name;
    ACCESS_MASK access = 0;
    bool synchronous = false;
    bool directory = false;
    LONGLONG position = 0;
    ~FileObject() override {
        if (fd >= 0) ::close(fd);
    }
    const char* TypeName() const override { return "File"; }
    std::string Describe() const override { return name; }
    void OnClose() override {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

void CheckPassive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        v::Report(v::kZwAboveLowIrql, routine, nullptr,
                  "called at IRQL " + std::to_string((unsigned)KeGetCurrentIrql()));
}

std::string Utf8(const WCHAR* s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Finds `component` in `dir` ignoring case; returns the host name or "".
std::string FindEntry(const std::string& dir, const std::string& component) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, component.c_str()) == 0) {
            found = e->d_name;
            if (found == component) break;
        }
    }
    ::closedir(d);
    return found;
}

// Maps an NT name to a host path on drive C:. Returns a status for names
// that do not resolve to drive C:. `leaf_exists` tells whether the last
// component exists; the returned path then uses the host's spelling of it.
NTSTATUS Resolve(Machine::Impl& m, const UNICODE_STRING* name, std::string* host, bool* leaf_exists) {
    if (!name || !name->Buffer || name->Length == 0) return STATUS_OBJECT_NAME_INVALID;
    std::string n = Utf8(name->Buffer, name->Length / 2);
    static const char* const prefixes[] = {"\\??\\", "\\DosDevices\\", "\\GLOBAL??\\"};
    std::string rest;
    for (const char* p : prefixes) {
        size_t len = std::strlen(p);
        if (n.size() >= len && ::strncasecmp(n.c_str(), p, len) == 0) {
            rest = n.substr(len);
            break;
        }
    }
    if (rest.empty()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (rest.size() < 2 || rest[1] != ':') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (rest[0] != 'C' && rest[0] != 'c') return STATUS_OBJECT_PATH_NOT_FOUND;
    rest = rest.substr(2);
    if (rest.empty() || rest[0] != '\\') return STATUS_OBJECT_NAME_INVALID;
    std::vector<std::string> parts;
    size_t i = 1;
    while (i <= rest.size()) {
        size_t j = rest.find('\\', i);
        if (j == std::string::npos) j = rest.size();
        std::string c = rest.substr(i, j - i);
        if (c.empty() && j != rest.size()) return STATUS_OBJECT_NAME_INVALID;
        if (c == "." || c == ".." || c.find_first_of("<>:\"|?*/") != std::string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        if (!c.empty()) parts.push_back(c);
        i = j + 1;
    }
    std::string path = m.c_drive;
    *leaf_exists = true;
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string found = FindEntry(path, parts[k]);
        bool last = k + 1 == parts.size();
        if (found.empty()) {
            if (!last) return STATUS_OBJECT_PATH_NOT_FOUND;
            *leaf_exists = false;
            found = parts[k];
        } else if (!last) {
            struct stat st;
            if (::stat((path + "/" + found).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        path += "/" + found;
    }
    *host = path;
    return STATUS_SUCCESS;
}

ACCESS_MASK MapGeneric(ACCESS_MASK a) {
    if (a & GENERIC_READ) a |= FILE_GENERIC_READ;
    if (a & GENERIC_WRITE) a |= FILE_GENERIC_WRITE;
    if (a & GENERIC_EXECUTE) a |= FILE_GENERIC_EXECUTE;
    if (a & GENERIC_ALL) a |= FILE_ALL_ACCESS;
    return a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

NTSTATUS Fail(PIO_STATUS_BLOCK iosb, NTSTATUS status) {
    if (iosb) {
        iosb->Status = status;
        iosb->Information = 0;
    }
    return status;
}

}  // namespace

EXTERN_C NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                     ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
                                     PVOID EaBuffer, ULONG EaLength) {
    CheckPassive("ZwCreateFile");
    Machine::Impl& m = M();
    *FileHandle = nullptr;
    if (!ObjectAttributes || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        CreateDisposition > FILE_MAXIMUM_DISPOSITION)
        return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes->RootDirectory) return STATUS_INVALID_PARAMETER;  // relative opens unsupported
    std::string path;
    bool exists = false;
    NTSTATUS st = Resolve(m, ObjectAttributes->ObjectName, &path, &exists);
    if (!NT_SUCCESS(st)) return Fail(IoStatusBlock, st);

    struct stat sb {};
    bool is_dir = exists && ::stat(path.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
    if (is_dir && (CreateOptions & FILE_NON_DIRECTORY_FILE)) return Fail(IoStatusBlock, STATUS_FILE_IS_A_DIRECTORY);
    if (exists && !is_dir && (CreateOptions & FILE_DIRECTORY_FILE)) return Fail(IoStatusBlock, STATUS_NOT_A_DIRECTORY);

    ULONG_PTR info = FILE_OPENED;
    int flags = 0;
    switch (CreateDisposition) {
        case FILE_OPEN:
            if (!exists) return Fail(IoStatusBlock, STATUS_OBJECT_NAME_NOT_FOUND);
            break;
        case FILE_CREATE:
            if (exists) return Fail(IoStatusBlock, STATUS_OBJECT_NAME_COLLISION);
            flags = O_CREAT | O_EXCL;
            info = FILE_CREATED;
            break;
        case FILE_OPEN_IF:
            if (!exists) {
                flags = O_CREAT;
                info = FILE_CREATED;
            }
            break;
        case FILE_OVERWRITE:
            if (!exists) return Fail(IoStatusBlock, STATUS_OBJECT_NAME_NOT_FOUND);
            flags = O_TRUNC;
            info = FILE_OVERWRITTEN;
            break;
        case FILE_OVERWRITE_IF:
        case FILE_SUPERSEDE:
            flags = O_CREAT | O_TRUNC;
            info = !exists ? FILE_CREATED
                           : CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
            break;
    }
    auto obj = std::make_shared<FileObject>();
    obj->access = MapGeneric(DesiredAccess);
    obj->synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    obj->directory = is_dir;
    obj->path = path;
    obj->name = std::string("C:") + path.substr(m.c_drive.size());
    if (!is_dir) {
        bool wants_write = (obj->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0 || (flags & O_TRUNC);
        obj->fd = ::open(path.c_str(), (wants_write ? O_RDWR : O_RDONLY) | flags | O_CLOEXEC, 0644);
        if (obj->fd < 0) return Fail(IoStatusBlock, errno == EACCES ? STATUS_ACCESS_DENIED : STATUS_UNSUCCESSFUL);
    } else if (CreateDisposition != FILE_OPEN && CreateDisposition != FILE_OPEN_IF) {
        return Fail(IoStatusBlock, STATUS_OBJECT_NAME_COLLISION);
    }
    *FileHandle = hk::handles::Insert(obj, obj->access);
    if (IoStatusBlock) {
        IoStatusBlock->Status = STATUS_SUCCESS;
        IoStatusBlock->Information = info;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
    CheckPassive("ZwQueryInformationFile");
    auto f = hk::handles::Lookup<FileObject>(FileHandle);
    if (!f) return hk::handles::LookupAny(FileHandle) ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    switch (FileInformationClass) {
        case FileStandardInformation: {
            if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
            struct stat sb {};
            if (f->fd >= 0 ? ::fstat(f->fd, &sb) != 0 : ::stat(f->path.c_str(), &sb) != 0)
                return Fail(IoStatusBlock, STATUS_UNSUCCESSFUL);
            auto* info = (PFILE_STANDARD_INFORMATION)FileInformation;
            info->EndOfFile.QuadPart = f->directory ? 0 : (LONGLONG)sb.st_size;
            // allocation in whole 4 KB clusters, as NTFS reports it for a non-resident file
            info->AllocationSize.QuadPart = (info->EndOfFile.QuadPart + 4095) & ~4095LL;
            info->NumberOfLinks = 1;
            info->DeletePending = FALSE;
            info->Directory = f->directory ? TRUE : FALSE;
            IoStatusBlock->Status = STATUS_SUCCESS;
            IoStatusBlock->Information = sizeof(FILE_STANDARD_INFORMATION);
            return STATUS_SUCCESS;
        }
        case FilePositionInformation: {
            if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
            ((PFILE_POSITION_INFORMATION)FileInformation)->CurrentByteOffset.QuadPart = f->position;
            IoStatusBlock->Status = STATUS_SUCCESS;
            IoStatusBlock->Information = sizeof(FILE_POSITION_INFORMATION);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
}

static NTSTATUS ReadWrite(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, bool write, const char* routine) {
    CheckPassive(routine);
    auto f = hk::handles::Lookup<FileObject>(FileHandle);
    if (!f) return hk::handles::LookupAny(FileHandle) ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    if (f->directory) return STATUS_INVALID_DEVICE_REQUEST;
    if (!(f->access & (write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA)))
        return STATUS_ACCESS_DENIED;
    LONGLONG offset;
    if (ByteOffset && !(f->synchronous && ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION &&
                        ByteOffset->HighPart == -1)) {
        offset = ByteOffset->QuadPart;
        if (write && ByteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE && ByteOffset->HighPart == -1) {
            struct stat sb {};
            ::fstat(f->fd, &sb);
            offset = sb.st_size;
        } else if (offset < 0) {
            return STATUS_INVALID_PARAMETER;
        }
    } else if (f->synchronous) {
        offset = f->position;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    if (!write) {
        struct stat sb {};
        ::fstat(f->fd, &sb);
        if (Length > 0 && offset >= (LONGLONG)sb.st_size) {
            IoStatusBlock->Status = STATUS_END_OF_FILE;
            IoStatusBlock->Information = 0;
            return STATUS_END_OF_FILE;
        }
    }
    ssize_t n = write ? ::pwrite(f->fd, Buffer, Length, offset) : ::pread(f->fd, Buffer, Length, offset);
    if (n < 0) return Fail(IoStatusBlock, STATUS_UNSUCCESSFUL);
    f->position = offset + n;
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = (ULONG_PTR)n;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                   PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                   ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    return ReadWrite(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, false, "ZwReadFile");
}

EXTERN_C NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                    ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    return ReadWrite(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, true, "ZwWriteFile");
}

namespace hk {

namespace detail {
void FilesBoot(Machine::Impl& m) {
    if (!m.opt.c_drive.empty()) {
        m.c_drive = m.opt.c_drive;
        while (m.c_drive.size() > 1 && m.c_drive.back() == '/') m.c_drive.pop_back();
        fs::create_directories(m.c_drive);
        return;
    }
    std::string tmpl = (fs::temp_directory_path() / "hk-drive-c-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        std::perror("hostkernel: cannot create the drive C: directory");
        std::abort();
    }
    m.c_drive = tmpl;
    m.remove_c_drive = true;
}

void FilesShutdown(Machine::Impl& m) {
    if (m.remove_c_drive) {
        std::error_code ec;
        fs::remove_all(m.c_drive, ec);
    }
}
}  // namespace detail

std::string Machine::CDrive() const { return impl_->c_drive; }

void Machine::PutFile(const std::string& name, const std::string& bytes) {
    fs::path p = fs::path(impl_->c_drive) / name;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

void Machine::PutFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    PutFile(name, std::string(bytes.begin(), bytes.end()));
}

void Machine::RemoveFile(const std::string& name) {
    std::error_code ec;
    fs::remove(fs::path(impl_->c_drive) / name, ec);
}

}  // namespace hk
