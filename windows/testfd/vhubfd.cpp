// vhubfd: the user side of the test function driver.
//
//   vhubfd report
//       reads the report of the first camera the function driver drives
//       (its device interface) and prints it: "key value" lines, then one
//       "frame N CHECKSUM" line per complete frame;
//   vhubfd expect FILE.y4m WIDTH HEIGHT
//       prints "frame N CHECKSUM" for every frame of FILE.y4m converted to
//       packed YUY2 of WIDTH x HEIGHT exactly as vhubctl feed converts it, so
//       that the two lists can be compared.
// Exit code 0 on success, 1 on failure, 2 for bad arguments.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testfd_ioctl.h"
#include "vhub/media.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: vhubfd report\n       vhubfd expect FILE.y4m WIDTH HEIGHT\n");
    return 2;
}

uint32_t Fnv1a(const uint8_t* data, size_t size) {
    uint32_t h = VHUB_FNV_OFFSET;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * VHUB_FNV_PRIME;
    return h;
}

// The device path of the first present interface of the function driver.
bool FindInterface(std::wstring* path) {
    static const GUID kInterface = VHUB_TESTFD_INTERFACE_GUID_INIT;
    HDEVINFO set = SetupDiGetClassDevsW(&kInterface, nullptr, nullptr,
                                        DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kInterface, 0, &data)) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        std::vector<ULONG_PTR> storage(needed / sizeof(ULONG_PTR) + 1);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (needed >= sizeof *detail &&
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr)) {
            *path = detail->DevicePath;
            found = true;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

int Report() {
    std::wstring path;
    if (!FindInterface(&path)) {
        std::fprintf(stderr, "vhubfd: the function driver's interface is not present\n");
        return 1;
    }
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vhubfd: cannot open %ls: error %lu\n", path.c_str(), GetLastError());
        return 1;
    }
    auto* r = static_cast<VHUB_TESTFD_REPORT*>(std::calloc(1, sizeof(VHUB_TESTFD_REPORT)));
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, VHUB_TESTFD_IOCTL_REPORT, nullptr, 0, r, sizeof *r, &got, nullptr);
    DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok || got != sizeof *r) {
        std::fprintf(stderr, "vhubfd: report request failed: error %lu, %lu bytes\n", error, got);
        std::free(r);
        return 1;
    }
    std::printf("interface %ls\n", path.c_str());
    std::printf("stage %u\nsetup-status 0x%08X\nframe-index %u\nframe-bytes %u\n", r->Stage,
                unsigned(r->SetupStatus), r->FrameIndex, r->FrameBytes);
    std::printf("transfers-in-flight %u\ntransfers-completed %u\ntransfers-failed %u\n",
                r->TransfersInFlight, r->TransfersCompleted, r->TransfersFailed);
    std::printf("packet-errors %u\nempty-packets %u\nframes-complete %u\nframes-bad %u\n",
                r->PacketErrors, r->EmptyPackets, r->FramesComplete, r->FramesBad);
    std::wstring product;
    for (unsigned i = 0; i < 64 && r->Product[i]; ++i) product += wchar_t(r->Product[i]);
    char utf8[256] = "";
    WideCharToMultiByte(CP_UTF8, 0, product.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
    std::printf("product %s\n", utf8);
    unsigned n = r->FrameCount < VHUB_TESTFD_MAX_FRAMES ? r->FrameCount : VHUB_TESTFD_MAX_FRAMES;
    for (unsigned i = 0; i < n; ++i) std::printf("frame %u %08X\n", i, r->Checksums[i]);
    std::free(r);
    return 0;
}

int Expect(const char* y4m, const char* width_text, const char* height_text) {
    uint32_t width = uint32_t(std::strtoul(width_text, nullptr, 10));
    uint32_t height = uint32_t(std::strtoul(height_text, nullptr, 10));
    if (width == 0 || height == 0 || width % 2) return Usage();
    vhub::sdk::Y4mReader reader;
    std::string error;
    if (!reader.Open(y4m, &error)) {
        std::fprintf(stderr, "vhubfd: %s\n", error.c_str());
        return 1;
    }
    std::vector<uint8_t> planar, yuy2;
    unsigned n = 0;
    while (reader.ReadFrame(&planar, &error)) {
        vhub::sdk::PlanarToYuy2(planar.data(), reader.header(), width, height, &yuy2);
        std::printf("frame %u %08X\n", n++, Fnv1a(yuy2.data(), yuy2.size()));
    }
    if (!error.empty()) {
        std::fprintf(stderr, "vhubfd: %s: %s\n", y4m, error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "report") return Report();
    if (argc == 5 && std::string(argv[1]) == "expect") return Expect(argv[2], argv[3], argv[4]);
    return Usage();
}
