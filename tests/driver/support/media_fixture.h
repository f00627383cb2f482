// A bus with its camera and audio children, set up as AddDevice and the
// child creation leave them, on a hostkernel machine with a virtual clock.
// Tests talk to the personalities the way Windows components do: the host's
// class drivers submit URBs as internal device-control IRPs to a child, the
// application sends device-control IRPs to the bus.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hk/machine.h"
#include "hk/testing.h"

#include "audio/audio.h"

namespace media {

// One URB request of a class driver: the IRP, the URB and its data buffer.
// The completion routine counts completions and keeps the IRP for the test.
struct UsbRequest {
    PIRP irp = nullptr;
    std::vector<uint64_t> urb_storage;  // 8-byte aligned
    std::vector<uint8_t> data;
    std::atomic<int> completions{0};
    NTSTATUS status = -1;
    ULONG_PTR information = 0;
    NTSTATUS returned = -1;  // what IoCallDriver returned
    bool cancel_before_submit = false;  // the host cancels it before it arrives

    PURB urb() { return reinterpret_cast<PURB>(urb_storage.data()); }
    _URB_ISOCH_TRANSFER& iso() { return urb()->UrbIsochronousTransfer; }
    bool completed() const { return completions.load() > 0; }
    // Cancels it as its sender would and waits (real time, bounded) for its
    // completion: a taker that got it first may still be filling it.
    bool CancelAndWait();
    ~UsbRequest();
};

// Isochronous transfer of `packets` packets of `packet_size` bytes each on
// the pipe of `endpoint` (the pipe handle the selection hands out).
std::unique_ptr<UsbRequest> IsoTransfer(UCHAR endpoint, ULONG packets, ULONG packet_size);
// Descriptor request (URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).
std::unique_ptr<UsbRequest> DescriptorRequest(UCHAR type, UCHAR index, USHORT language, ULONG length,
                                              ULONG_PTR handle_field = 0);
// Class request to an interface (URB_FUNCTION_CLASS_INTERFACE).
std::unique_ptr<UsbRequest> ClassRequest(UCHAR request, USHORT value, USHORT index, ULONG length);
// A URB with only a header (ABORT_PIPE and the like).
std::unique_ptr<UsbRequest> SimpleUrb(USHORT function, ULONG_PTR handle_field = 0);
// SELECT_CONFIGURATION for `config` (a copy is kept in the request), with one
// interface block per entry of `pipes_per_interface`.
std::unique_ptr<UsbRequest> SelectConfiguration(const std::vector<uint8_t>& config,
                                                const std::vector<UCHAR>& pipes_per_interface);
// SELECT_INTERFACE with room for `pipes` pipe records.
std::unique_ptr<UsbRequest> SelectInterface(UCHAR interface_number, UCHAR alternate, UCHAR pipes,
                                            ULONG_PTR interface_handle = 1);

// An application request to the bus device (device control).
struct AppRequest {
    PIRP irp = nullptr;
    std::atomic<int> completions{0};
    NTSTATUS status = -1;
    ULONG_PTR information = 0;
    NTSTATUS returned = -1;
    ~AppRequest();
};

class Bench {
public:
    explicit Bench(hk::Machine::Options options = DefaultOptions());
    ~Bench();

    static hk::Machine::Options DefaultOptions();

    hk::Machine& machine() { return *machine_; }
    PDEVICE_OBJECT bus() const { return bus_; }
    PDEVICE_OBJECT camera() const { return camera_; }
    PDEVICE_OBJECT audio() const { return audio_; }
    PFDO_DEVICE_DATA ext() const { return (PFDO_DEVICE_DATA)bus_->DeviceExtension; }
    PPDO_DEVICE_DATA child(PDEVICE_OBJECT pdo) const { return (PPDO_DEVICE_DATA)pdo->DeviceExtension; }
    void SetDriverName(const std::string& bytes);  // up to the field's 260 bytes

    // Sends a URB to a child; returns what IoCallDriver returned.
    NTSTATUS Submit(PDEVICE_OBJECT child, UsbRequest& request, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);
    // Sends a device-control request to the bus from the calling thread (as
    // the application's thread would). Buffers the test passes as caller
    // memory must be registered user ranges.
    NTSTATUS Control(ULONG code, const void* input, ULONG input_length, void* output, ULONG output_length,
                     AppRequest& request);
    NTSTATUS Control(ULONG code, const void* input, ULONG input_length, void* output = nullptr,
                     ULONG output_length = 0);

    // Selects the camera's or the audio device's configuration and an
    // alternate setting of a streaming interface, as the class drivers do.
    void ConfigureCamera();
    void ConfigureAudio();
    void SelectAlternate(PDEVICE_OBJECT child, UCHAR interface_number, UCHAR alternate);

    // Pacing thread, created and stopped as the bus start and removal do.
    void StartPacing();
    void StopPacing();

    // The configuration sets the personalities build, as bytes.
    static std::vector<uint8_t> CameraConfig();
    static std::vector<uint8_t> AudioConfig();

private:
    void CreateDevices();
    std::unique_ptr<hk::Machine> machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT bus_ = nullptr;
    PDEVICE_OBJECT camera_ = nullptr;
    PDEVICE_OBJECT audio_ = nullptr;
};

// The fill of one video transfer as the host's video class driver would
// reassemble it: the payload bytes and header flags of each used packet.
struct Payload {
    ULONG length;
    UCHAR info;  // bmHeaderInfo
};
std::vector<Payload> Payloads(UsbRequest& transfer);

// A frame of `bytes` bytes with a recognisable pattern.
std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed = 1);

}  // namespace media
