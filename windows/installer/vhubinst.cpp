// vhubinst: installs and removes a root-enumerated device with its driver
// package, the way a device installer does it on any Windows:
//
//   vhubinst install FILE.inf HARDWARE-ID
//       creates a ROOT\<class>\NNNN device instance, gives it the hardware
//       identifier, registers it with the plug-and-play manager and installs
//       the best driver of FILE.inf on it (which loads and starts it);
//   vhubinst update FILE.inf HARDWARE-ID
//       installs FILE.inf on the devices that already carry HARDWARE-ID (for
//       a driver bound to children of a bus, once the bus has created them);
//   vhubinst stage FILE.inf
//       adds FILE.inf to the system's driver packages without binding it to
//       any device yet, so that a device that appears later with one of its
//       identifiers gets it (a function driver for a bus's child);
//   vhubinst remove HARDWARE-ID
//       removes every device instance whose hardware identifiers include
//       HARDWARE-ID.
//
// Exit code 0 on success; 1 on failure with the Win32 error on stderr;
// 2 for bad arguments. A reboot request from the installer is printed, and
// is not a failure.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Class names are at most 32 characters (MAX_CLASS_NAME_LEN in the SDK,
// which the mingw-w64 setupapi.h does not define).
constexpr DWORD kClassNameLength = 32;

int Usage() {
    std::fprintf(stderr,
                 "usage: vhubinst install FILE.inf HARDWARE-ID\n"
                 "       vhubinst update FILE.inf HARDWARE-ID\n"
                 "       vhubinst stage FILE.inf\n"
                 "       vhubinst remove HARDWARE-ID\n");
    return 2;
}

std::wstring Widen(const char* s) {
    int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s, -1, &w[0], n);
    w.resize(size_t(n - 1));
    return w;
}

int Fail(const char* what) {
    DWORD error = GetLastError();
    std::fprintf(stderr, "vhubinst: %s failed: error %lu (0x%08lx)\n", what, error, error);
    return 1;
}

// The INF path as the driver store wants it: absolute.
bool FullPath(const std::wstring& path, std::wstring* full) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return false;
    std::vector<wchar_t> buffer(n + 1);
    if (GetFullPathNameW(path.c_str(), n + 1, buffer.data(), nullptr) == 0) return false;
    *full = buffer.data();
    return GetFileAttributesW(full->c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A REG_MULTI_SZ of one entry: the identifier, its terminator, the list's
// terminator.
std::vector<wchar_t> MultiSz(const std::wstring& id) {
    std::vector<wchar_t> list(id.begin(), id.end());
    list.push_back(L'\0');
    list.push_back(L'\0');
    return list;
}

// True when the REG_MULTI_SZ property `prop` of the device lists `id`
// (compared without regard to case, as the plug-and-play manager does).
bool DeviceHasId(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD prop, const std::wstring& id) {
    DWORD type = 0, needed = 0;
    SetupDiGetDeviceRegistryPropertyW(set, dev, prop, &type, nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<wchar_t> buffer(needed / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, dev, prop, &type,
                                           reinterpret_cast<BYTE*>(buffer.data()), needed,
                                           nullptr)) {
        return false;
    }
    for (const wchar_t* p = buffer.data(); *p; p += std::wcslen(p) + 1) {
        if (_wcsicmp(p, id.c_str()) == 0) return true;
    }
    return false;
}

int UpdateDriver(const std::wstring& inf, const std::wstring& hwid) {
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hwid.c_str(), inf.c_str(), INSTALLFLAG_FORCE,
                                            &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevices");
    }
    std::printf("driver from %ls installed on %ls%s\n", inf.c_str(), hwid.c_str(),
                reboot ? " (the system asks for a restart)" : "");
    return 0;
}

int Install(const std::wstring& inf_arg, const std::wstring& hwid) {
    std::wstring inf;
    if (!FullPath(inf_arg, &inf)) {
        std::fprintf(stderr, "vhubinst: %ls: no such file\n", inf_arg.c_str());
        return 1;
    }
    GUID class_guid;
    wchar_t class_name[kClassNameLength];
    if (!SetupDiGetINFClassW(inf.c_str(), &class_guid, class_name, kClassNameLength, nullptr)) {
        return Fail("SetupDiGetINFClass");
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&class_guid, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");

    int rc = 0;
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    std::vector<wchar_t> ids = MultiSz(hwid);
    // DICD_GENERATE_ID: the name is the class name, and the instance
    // becomes ROOT\<class name>\NNNN, the next free number.
    if (!SetupDiCreateDeviceInfoW(set, class_name, &class_guid, nullptr, nullptr, DICD_GENERATE_ID,
                                  &dev)) {
        rc = Fail("SetupDiCreateDeviceInfo");
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(ids.data()),
                                                  DWORD(ids.size() * sizeof(wchar_t)))) {
        rc = Fail("SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev)) {
        rc = Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    } else {
        wchar_t instance[MAX_DEVICE_ID_LEN];
        if (SetupDiGetDeviceInstanceIdW(set, &dev, instance, MAX_DEVICE_ID_LEN, nullptr)) {
            std::printf("device %ls registered (class %ls)\n", instance, class_name);
        }
        rc = UpdateDriver(inf, hwid);
        if (rc != 0) {
            // Leave no half-installed device behind.
            SetupDiCallClassInstaller(DIF_REMOVE, set, &dev);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

int Update(const std::wstring& inf_arg, const std::wstring& hwid) {
    std::wstring inf;
    if (!FullPath(inf_arg, &inf)) {
        std::fprintf(stderr, "vhubinst: %ls: no such file\n", inf_arg.c_str());
        return 1;
    }
    return UpdateDriver(inf, hwid);
}

int Stage(const std::wstring& inf_arg) {
    std::wstring inf;
    if (!FullPath(inf_arg, &inf)) {
        std::fprintf(stderr, "vhubinst: %ls: no such file\n", inf_arg.c_str());
        return 1;
    }
    wchar_t staged[MAX_PATH] = L"";
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, staged, MAX_PATH, nullptr,
                          nullptr)) {
        return Fail("SetupCopyOEMInf");
    }
    std::printf("driver package %ls staged as %ls\n", inf.c_str(), staged);
    return 0;
}

int Remove(const std::wstring& hwid) {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiGetClassDevs");
    int removed = 0, rc = 0;
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        if (!DeviceHasId(set, &dev, SPDRP_HARDWAREID, hwid)) continue;
        wchar_t instance[MAX_DEVICE_ID_LEN] = L"?";
        SetupDiGetDeviceInstanceIdW(set, &dev, instance, MAX_DEVICE_ID_LEN, nullptr);
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &dev)) {
            std::printf("device %ls removed\n", instance);
            ++removed;
        } else {
            rc = Fail("SetupDiCallClassInstaller(DIF_REMOVE)");
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    if (removed == 0 && rc == 0) {
        std::fprintf(stderr, "vhubinst: no device with hardware identifier %ls\n", hwid.c_str());
        return 1;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "install" && argc == 4) return Install(Widen(argv[2]), Widen(argv[3]));
    if (cmd == "update" && argc == 4) return Update(Widen(argv[2]), Widen(argv[3]));
    if (cmd == "stage" && argc == 3) return Stage(Widen(argv[2]));
    if (cmd == "remove" && argc == 3) return Remove(Widen(argv[2]));
    return Usage();
}
