// The Win32 back end: SetupAPI to find the bus interface, CreateFile to open
// it, DeviceIoControl for each request.
//
// Recovering the NTSTATUS. DeviceIoControl reports a failed request as FALSE
// and a Win32 error, which kernel32 derived from the request's NTSTATUS with
// RtlNtStatusToDosError. That routine also records the status it converted
// in the thread's TEB, where ntdll's RtlGetLastNtStatus reads it back. So:
//   1. success: STATUS_SUCCESS and the byte count DeviceIoControl returned
//      (an informational or warning status other than 0 is not visible);
//   2. failure: if RtlGetLastNtStatus is available and its status converts
//      back to exactly the Win32 error we got, that status is the request's
//      own (a stale status from an earlier call would not match);
//   3. otherwise NtStatusFromWin32Error: the usual status for the error, or
//      the facility-7 status that wraps it (0xC007xxxx).
// On failure the byte count is 0: the I/O manager does not copy the
// Information of a failed synchronous request back to the caller.
#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "vhub/sdk.h"

namespace vhub {
namespace sdk {
namespace {

std::wstring Widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), &w[0], n);
    return w;
}

std::string Narrow(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize(size_t(n - 1));
    return s;
}

GUID ToGuid(const Guid& g) {
    GUID r;
    r.Data1 = g.data1;
    r.Data2 = g.data2;
    r.Data3 = g.data3;
    for (int i = 0; i < 8; ++i) r.Data4[i] = g.data4[i];
    return r;
}

typedef LONG(WINAPI* RtlGetLastNtStatusFn)(void);
typedef ULONG(WINAPI* RtlNtStatusToDosErrorFn)(LONG);

struct StatusReaders {
    RtlGetLastNtStatusFn last_status = nullptr;
    RtlNtStatusToDosErrorFn to_dos = nullptr;
};

// Resolved before the first request, never between a failed request and
// the reading of its status: the first call's static initialisation runs
// kernel32 synchronisation routines (the thread-safe guard) whose success
// resets the recorded status on Wine, so a status read after it is 0.
const StatusReaders& Readers() {
    static const StatusReaders readers = [] {
        StatusReaders r;
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (!ntdll) return r;
        r.last_status = reinterpret_cast<RtlGetLastNtStatusFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetLastNtStatus")));
        // The "NoTeb" conversion leaves the recorded status alone; the plain
        // one records the very status it converts, which is harmless here.
        FARPROC f = GetProcAddress(ntdll, "RtlNtStatusToDosErrorNoTeb");
        if (!f) f = GetProcAddress(ntdll, "RtlNtStatusToDosError");
        r.to_dos = reinterpret_cast<RtlNtStatusToDosErrorFn>(reinterpret_cast<void*>(f));
        return r;
    }();
    return readers;
}

// Call right after the failed request, with Readers() already resolved.
int32_t LastRequestStatus(const StatusReaders& readers, DWORD error) {
    if (readers.last_status && readers.to_dos) {
        LONG status = readers.last_status();
        if (status < 0 && readers.to_dos(status) == error) return int32_t(status);
    }
    return NtStatusFromWin32Error(error);
}

class Win32Transport : public Transport {
public:
    ~Win32Transport() override { Close(); }

    std::vector<std::string> FindInterfaces(const Guid& interface_class) override {
        std::vector<std::string> paths;
        GUID guid = ToGuid(interface_class);
        HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr,
                                            DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE) return paths;
        for (DWORD i = 0;; ++i) {
            SP_DEVICE_INTERFACE_DATA data;
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) break;
            DWORD needed = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
            if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
            // The detail record is variable-length; keep it in storage
            // aligned for the structure.
            std::vector<ULONG_PTR> storage((needed + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR));
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr)) {
                paths.push_back(Narrow(detail->DevicePath));
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        return paths;
    }

    int32_t Open(const std::string& path) override {
        Close();
        const StatusReaders& readers = Readers();
        std::wstring wide = Widen(path);
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            // Every code of the bus is FILE_ANY_ACCESS: a handle without
            // read or write access is enough to send them.
            h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        if (h == INVALID_HANDLE_VALUE) return LastRequestStatus(readers, GetLastError());
        handle_ = h;
        return kStatusSuccess;
    }

    bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    Result Control(uint32_t code, const void* in, uint32_t in_length, void* out,
                   uint32_t out_length) override {
        Result r;
        if (!IsOpen()) {
            r.status = kStatusInvalidHandle;
            return r;
        }
        const StatusReaders& readers = Readers();
        DWORD returned = 0;
        if (DeviceIoControl(handle_, code, const_cast<void*>(in), in_length, out, out_length,
                            &returned, nullptr)) {
            r.status = kStatusSuccess;
            r.bytes = returned;
        } else {
            r.status = LastRequestStatus(readers, GetLastError());
            r.bytes = 0;
        }
        return r;
    }

    void Close() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<Transport> MakeDefaultTransport() { return std::make_unique<Win32Transport>(); }

}  // namespace sdk
}  // namespace vhub
