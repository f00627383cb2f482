// The application's side of the virtual USB bus: find the bus's device
// interface, open it, and send the nine device-control requests.
//
// Plain C++ only: no Win32 and no hostkernel types cross this header. The
// same calls reach the driver through one of two back ends, picked when the
// library is built:
//   - host:  hostkernel's application-side I/O (the Linux build), where the
//            driver runs on the simulated kernel;
//   - win32: SetupAPI, CreateFile and DeviceIoControl (the Windows build).
//
// Every request returns a Result: the request's NTSTATUS and the number of
// bytes the driver reported in IoStatus.Information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vhub {
namespace sdk {

// --- control codes: CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS)
constexpr uint32_t kIoctlGetDeviceInfo = 0x220004;      // buffered, no data
constexpr uint32_t kIoctlPluginDevice = 0x22002C;       // buffered, no data
constexpr uint32_t kIoctlUnplugDevice = 0x220030;       // buffered, no data
constexpr uint32_t kIoctlWritePcm = 0x22003B;           // neither: microphone PCM in
constexpr uint32_t kIoctlWriteTouch = 0x220044;         // buffered: bytes in
constexpr uint32_t kIoctlReadRawData = 0x22004B;        // neither: raw data out
constexpr uint32_t kIoctlReadPcm = 0x22004F;            // neither: speaker PCM out
constexpr uint32_t kIoctlWriteYuv2 = 0x22005B;          // neither: one YUY2 frame in
constexpr uint32_t kIoctlReadVideoIndex = 0x220067;     // neither: one byte out

// --- NTSTATUS values the application meets most
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusUnsuccessful = int32_t(0xC0000001);
constexpr int32_t kStatusInvalidHandle = int32_t(0xC0000008);
constexpr int32_t kStatusInvalidParameter = int32_t(0xC000000D);
constexpr int32_t kStatusNoSuchDevice = int32_t(0xC000000E);
constexpr int32_t kStatusInvalidDeviceRequest = int32_t(0xC0000010);
constexpr int32_t kStatusAccessDenied = int32_t(0xC0000022);
constexpr int32_t kStatusInsufficientResources = int32_t(0xC000009A);
constexpr int32_t kStatusObjectIdExists = int32_t(0xC000022B);
constexpr int32_t kStatusNotFound = int32_t(0xC0000225);

struct Result {
    int32_t status = kStatusUnsuccessful;  // the request's NTSTATUS
    uint32_t bytes = 0;                    // IoStatus.Information
    bool ok() const { return status >= 0; }  // NT_SUCCESS
};

// "0xC000022B STATUS_OBJECTID_EXISTS" for the values above, else the hex.
std::string StatusText(int32_t status);

// The NTSTATUS that stands for a Win32 error code when the original status
// is not known: the usual status for the errors a driver's request ends
// with, otherwise the status that wraps a Win32 error (facility 7,
// 0xC007xxxx). Used by the Win32 back end.
int32_t NtStatusFromWin32Error(uint32_t error);

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
// The bus's device interface class {A918DC47-8798-45A3-8351-CBF0AB47208A}.
extern const Guid kBusInterfaceClass;

// --- camera frame sizes, by the 0-based index that READ_VIDEOINDEX returns
struct FrameSize {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytes() const { return width * height * 2; }  // packed YUY2
};
// Rows 0..4: 480x360, 640x480, 720x480, 1280x720, 1920x1080. False (and
// *size untouched) for any other index.
bool FrameSizeForIndex(uint8_t index, FrameSize* size);

// Audio format of both the microphone and the speaker.
constexpr uint32_t kAudioSampleRate = 48000;
constexpr uint32_t kAudioChannels = 2;
constexpr uint32_t kAudioBytesPerFrame = 4;  // two 16-bit little-endian samples
constexpr uint32_t kAudioBytesPerMs = 192;

// How requests reach the driver. The library supplies the back end of its
// build (MakeDefaultTransport); tests may hand in their own.
class Transport {
public:
    virtual ~Transport() = default;
    // Symbolic links of the present, enabled interfaces of the class.
    virtual std::vector<std::string> FindInterfaces(const Guid& interface_class) = 0;
    // Opens the interface (IRP_MJ_CREATE); returns the NTSTATUS.
    virtual int32_t Open(const std::string& path) = 0;
    virtual bool IsOpen() const = 0;
    // One device-control request on the open interface, synchronously.
    // The buffers are the caller's own memory, passed as the I/O manager of
    // the platform passes them for the code's transfer method.
    virtual Result Control(uint32_t code, const void* in, uint32_t in_length, void* out,
                           uint32_t out_length) = 0;
    // Closes the interface (IRP_MJ_CLEANUP/IRP_MJ_CLOSE); safe when closed.
    virtual void Close() = 0;
};

std::unique_ptr<Transport> MakeDefaultTransport();

class Bus {
public:
    Bus();  // the build's back end
    explicit Bus(std::unique_ptr<Transport> transport);
    ~Bus();
    Bus(Bus&&) noexcept;
    Bus& operator=(Bus&&) noexcept;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // The present bus interfaces, as symbolic links.
    std::vector<std::string> FindInterfaces();
    // Opens the first present bus interface; kStatusNoSuchDevice when none.
    int32_t Open();
    int32_t Open(const std::string& path);
    bool IsOpen() const;
    const std::string& Path() const { return path_; }
    void Close();

    // IOCTL_GET_DEVICE_INFO: no data either way.
    Result GetDeviceInfo();
    // IOCTL_BUSENUM_PLUGIN_DEVICE: creates the camera and the audio device.
    // A bus that still has its children answers kStatusObjectIdExists.
    Result PlugIn();
    // IOCTL_BUSENUM_UNPLUG_DEVICE: kStatusNotFound when there is no child.
    Result Unplug();
    // IOCTL_BULKUSB_WRITE_YUV2: one whole packed YUY2 frame of the size the
    // host selected (see ReadVideoIndex); the buffer must be 4-byte aligned.
    Result WriteFrame(const uint8_t* frame, size_t size);
    Result WriteFrame(const std::vector<uint8_t>& frame) { return WriteFrame(frame.data(), frame.size()); }
    // IOCTL_BULKUSB_READ_VIDEOINDEX: the 0-based frame-size row the host
    // selected, into *index (bytes is 1 on success).
    Result ReadVideoIndex(uint8_t* index);
    // IOCTL_BULKUSB_WRITE_PCM: microphone PCM, 4-byte aligned.
    Result WritePcm(const uint8_t* pcm, size_t size);
    Result WritePcm(const std::vector<uint8_t>& pcm) { return WritePcm(pcm.data(), pcm.size()); }
    // IOCTL_BULKUSB_Read_PCM: the speaker PCM waiting, whole records oldest
    // first, at most `capacity` bytes (buffer 4-byte aligned).
    Result ReadSpeakerPcm(uint8_t* buffer, size_t capacity);
    // The same into a vector, resized to what arrived.
    Result ReadSpeakerPcm(std::vector<uint8_t>* pcm, size_t capacity);
    // IOCTL_BULKUSB_WRITE_TOUCH: bytes handed to the next camera transfer.
    Result WriteTouch(const uint8_t* data, size_t size);
    // IOCTL_BULKUSB_READ_RAW_DATA: waits up to 500 ms for raw data.
    Result ReadRawData(uint8_t* buffer, size_t capacity);

    // Any control code with the caller's own buffers, as they are.
    Result Control(uint32_t code, const void* in, size_t in_length, void* out, size_t out_length);

private:
    std::unique_ptr<Transport> transport_;
    std::string path_;
};

}  // namespace sdk
}  // namespace vhub
