// The back-end-independent part of the SDK: the typed requests on top of
// one Transport::Control, and the small tables.
#include <cstdio>
#include <limits>
#include <utility>

#include "vhub/sdk.h"

namespace vhub {
namespace sdk {

const Guid kBusInterfaceClass = {0xA918DC47, 0x8798, 0x45A3,
                                 {0x83, 0x51, 0xCB, 0xF0, 0xAB, 0x47, 0x20, 0x8A}};

namespace {

struct StatusName {
    int32_t status;
    const char* name;
};
constexpr StatusName kStatusNames[] = {
    {kStatusSuccess, "STATUS_SUCCESS"},
    {kStatusUnsuccessful, "STATUS_UNSUCCESSFUL"},
    {kStatusInvalidHandle, "STATUS_INVALID_HANDLE"},
    {kStatusInvalidParameter, "STATUS_INVALID_PARAMETER"},
    {kStatusNoSuchDevice, "STATUS_NO_SUCH_DEVICE"},
    {kStatusInvalidDeviceRequest, "STATUS_INVALID_DEVICE_REQUEST"},
    {kStatusAccessDenied, "STATUS_ACCESS_DENIED"},
    {kStatusInsufficientResources, "STATUS_INSUFFICIENT_RESOURCES"},
    {kStatusObjectIdExists, "STATUS_OBJECTID_EXISTS"},
    {kStatusNotFound, "STATUS_NOT_FOUND"},
    {int32_t(0xC0000005), "STATUS_ACCESS_VIOLATION"},
    {int32_t(0xC0000023), "STATUS_BUFFER_TOO_SMALL"},
    {int32_t(0xC0000034), "STATUS_OBJECT_NAME_NOT_FOUND"},
    {int32_t(0xC00002B6), "STATUS_DEVICE_REMOVED"},
    {int32_t(0x80000005), "STATUS_BUFFER_OVERFLOW"},
};

// Win32 errors that a device-control request of this bus ends with, and the
// status the driver or the I/O manager most likely completed it with. Only
// used when the original status is lost (see NtStatusFromWin32Error).
struct ErrorStatus {
    uint32_t error;
    int32_t status;
};
constexpr ErrorStatus kErrorStatus[] = {
    {1, kStatusInvalidDeviceRequest},      // ERROR_INVALID_FUNCTION
    {2, int32_t(0xC0000034)},              // ERROR_FILE_NOT_FOUND
    {5, kStatusAccessDenied},              // ERROR_ACCESS_DENIED
    {6, kStatusInvalidHandle},             // ERROR_INVALID_HANDLE
    {31, kStatusUnsuccessful},             // ERROR_GEN_FAILURE
    {87, kStatusInvalidParameter},         // ERROR_INVALID_PARAMETER
    {122, int32_t(0xC0000023)},            // ERROR_INSUFFICIENT_BUFFER
    {234, int32_t(0x80000005)},            // ERROR_MORE_DATA
    {433, kStatusNoSuchDevice},            // ERROR_NO_SUCH_DEVICE
    {998, int32_t(0xC0000005)},            // ERROR_NOACCESS
    {1168, kStatusNotFound},               // ERROR_NOT_FOUND
    {1450, kStatusInsufficientResources},  // ERROR_NO_SYSTEM_RESOURCES
};

constexpr FrameSize kFrameSizes[] = {
    {480, 360}, {640, 480}, {720, 480}, {1280, 720}, {1920, 1080},
};

}  // namespace

std::string StatusText(int32_t status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", uint32_t(status));
    for (const StatusName& s : kStatusNames) {
        if (s.status == status) return std::string(hex) + " " + s.name;
    }
    return hex;
}

int32_t NtStatusFromWin32Error(uint32_t error) {
    if (error == 0) return kStatusSuccess;
    for (const ErrorStatus& e : kErrorStatus) {
        if (e.error == error) return e.status;
    }
    // NTSTATUS_FROM_WIN32: error severity, facility NTWIN32 (7), the code.
    return int32_t(0xC0070000u | (error & 0xFFFFu));
}

bool FrameSizeForIndex(uint8_t index, FrameSize* size) {
    if (index >= sizeof kFrameSizes / sizeof kFrameSizes[0]) return false;
    *size = kFrameSizes[index];
    return true;
}

Bus::Bus() : transport_(MakeDefaultTransport()) {}
Bus::Bus(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}
Bus::~Bus() { Close(); }
Bus::Bus(Bus&&) noexcept = default;
Bus& Bus::operator=(Bus&& other) noexcept {
    if (this != &other) {
        Close();
        transport_ = std::move(other.transport_);
        path_ = std::move(other.path_);
    }
    return *this;
}

std::vector<std::string> Bus::FindInterfaces() {
    if (!transport_) return {};
    return transport_->FindInterfaces(kBusInterfaceClass);
}

int32_t Bus::Open() {
    std::vector<std::string> found = FindInterfaces();
    if (found.empty()) return kStatusNoSuchDevice;
    return Open(found.front());
}

int32_t Bus::Open(const std::string& path) {
    if (!transport_) return kStatusNoSuchDevice;
    Close();
    int32_t status = transport_->Open(path);
    if (status >= 0) path_ = path;
    return status;
}

bool Bus::IsOpen() const { return transport_ && transport_->IsOpen(); }

void Bus::Close() {
    if (transport_) transport_->Close();
    path_.clear();
}

Result Bus::Control(uint32_t code, const void* in, size_t in_length, void* out, size_t out_length) {
    Result r;
    if (!IsOpen()) {
        r.status = kStatusInvalidHandle;
        return r;
    }
    // The request carries 32-bit lengths; a longer buffer cannot be sent
    // without silently cutting it.
    constexpr size_t kMax = std::numeric_limits<uint32_t>::max();
    if (in_length > kMax || out_length > kMax) {
        r.status = kStatusInvalidParameter;
        return r;
    }
    return transport_->Control(code, in, uint32_t(in_length), out, uint32_t(out_length));
}

Result Bus::GetDeviceInfo() { return Control(kIoctlGetDeviceInfo, nullptr, 0, nullptr, 0); }
Result Bus::PlugIn() { return Control(kIoctlPluginDevice, nullptr, 0, nullptr, 0); }
Result Bus::Unplug() { return Control(kIoctlUnplugDevice, nullptr, 0, nullptr, 0); }

Result Bus::WriteFrame(const uint8_t* frame, size_t size) {
    return Control(kIoctlWriteYuv2, frame, size, nullptr, 0);
}

Result Bus::ReadVideoIndex(uint8_t* index) {
    // The driver writes one byte into a 4-byte-aligned buffer; read it into
    // an aligned word of our own so any caller variable will do.
    alignas(4) uint8_t word[4] = {0, 0, 0, 0};
    Result r = Control(kIoctlReadVideoIndex, nullptr, 0, word, sizeof word);
    if (r.ok() && r.bytes >= 1 && index) *index = word[0];
    return r;
}

Result Bus::WritePcm(const uint8_t* pcm, size_t size) {
    return Control(kIoctlWritePcm, pcm, size, nullptr, 0);
}

Result Bus::ReadSpeakerPcm(uint8_t* buffer, size_t capacity) {
    return Control(kIoctlReadPcm, nullptr, 0, buffer, capacity);
}

Result Bus::ReadSpeakerPcm(std::vector<uint8_t>* pcm, size_t capacity) {
    pcm->resize(capacity);  // vector storage is suitably aligned for any scalar
    Result r = ReadSpeakerPcm(pcm->data(), capacity);
    // Never trust a count beyond the buffer.
    pcm->resize(r.bytes <= capacity ? r.bytes : capacity);
    return r;
}

Result Bus::WriteTouch(const uint8_t* data, size_t size) {
    return Control(kIoctlWriteTouch, data, size, nullptr, 0);
}

Result Bus::ReadRawData(uint8_t* buffer, size_t capacity) {
    return Control(kIoctlReadRawData, nullptr, 0, buffer, capacity);
}

}  // namespace sdk
}  // namespace vhub
