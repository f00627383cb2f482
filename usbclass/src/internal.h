// What the class drivers share inside usbclass: URB submission through IRPs,
// the isochronous stream engine, and the composite device record.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usbclass/usbclass.h"

#ifndef STATUS_DEVICE_DATA_ERROR
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#endif

namespace usbclass {
namespace detail {

// Pool tag of the class drivers' URBs and transfer buffers ("UsbC").
constexpr ULONG kPoolTag = 0x43627355u;

// Sends one URB down to `target` as IRP_MJ_INTERNAL_DEVICE_CONTROL /
// IOCTL_INTERNAL_USB_SUBMIT_URB and waits for it (PASSIVE_LEVEL only).
NTSTATUS SubmitUrb(PDEVICE_OBJECT target, PURB urb);

// A descriptor request; on success `out` holds what came back (the URB's
// final TransferBufferLength bytes).
NTSTATUS GetDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, USHORT language, ULONG length,
                       std::vector<uint8_t>& out);

// A class request to an interface or endpoint (URB_FUNCTION_CLASS_INTERFACE
// or _ENDPOINT). For IN requests `data` is resized to what came back.
NTSTATUS ClassRequest(PDEVICE_OBJECT target, USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                      std::vector<uint8_t>& data);

// SELECT_INTERFACE of one alternate setting; `pipes` gets the pipe records
// the device filled in.
NTSTATUS SelectInterface(PDEVICE_OBJECT target, USBD_CONFIGURATION_HANDLE configuration,
                         const USB_CONFIGURATION_DESCRIPTOR* descriptor, UCHAR interfaceNumber, UCHAR alternate,
                         std::vector<USBD_PIPE_INFORMATION>& pipes);

// IRP_MN_QUERY_INTERFACE for the USBDI bus interface, highest version first.
NTSTATUS QueryBusInterface(PDEVICE_OBJECT target, USB_BUS_INTERFACE_USBDI_V3& out);

// --- isochronous streams ---------------------------------------------------------------
struct IsoTransferView {
    PURB urb;
    uint8_t* buffer;
    ULONG packets;
    ULONG packetSize;
};

struct IsoStreamConfig {
    PDEVICE_OBJECT target = nullptr;
    USBD_PIPE_HANDLE pipe = nullptr;
    bool in = true;
    ULONG transfers = 4;
    ULONG packets = 8;
    ULONG packetSize = 0;
    LONGLONG transferDuration = 10000;  // bus time one transfer spans, 100 ns
    // OUT: fill view.buffer before each submission.
    std::function<void(IsoTransferView&)> prepare;
    // Every completion but a cancellation during Stop. Returns whether the
    // transfer carried data (an IN transfer without data is resubmitted only
    // after its bus time has passed, as a host controller would).
    std::function<bool(IsoTransferView&, NTSTATUS)> complete;
};

// Keeps `transfers` isochronous transfers in flight on one pipe and
// resubmits each on completion. A transfer that comes back at once
// (completed inside the submission), empty, or failed waits for its bus
// time on the stream's worker thread before it goes out again, so a device
// that answers instantly cannot make the host spin. Eight failures in a row
// halt the stream.
class IsoStream {
public:
    IsoStream() = default;
    ~IsoStream();
    IsoStream(const IsoStream&) = delete;
    IsoStream& operator=(const IsoStream&) = delete;

    NTSTATUS Start(const IsoStreamConfig& config);
    // Cancels every transfer with IoCancelIrp and waits until all are back,
    // then frees them. Returns false if some did not come back in time.
    bool Stop();
    size_t InFlight() const;
    bool Halted() const { return halted_.load(); }
    uint64_t Cancelled() const { return cancelled_.load(); }
    uint64_t Failed() const { return failed_.load(); }

    struct Transfer;

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static void NTAPI Worker(PVOID context);
    void Rearm(Transfer* t);  // under lock_
    void Send(Transfer* t);   // outside lock_
    void Retire(Transfer* t); // under lock_

    IsoStreamConfig config_;
    std::vector<Transfer*> transfers_;
    mutable KSPIN_LOCK lock_ = 0;
    bool stopping_ = false;
    bool exit_ = false;
    size_t inFlight_ = 0;
    unsigned consecutiveFailures_ = 0;
    std::atomic<bool> halted_{false};
    std::atomic<uint64_t> cancelled_{0}, failed_{0};
    KEVENT wake_{};
    PVOID thread_ = nullptr;
    HANDLE threadHandle_ = nullptr;
    bool started_ = false;
};

class CompositeImpl;

// Factories of the function drivers (video_function.cpp, audio_function.cpp).
struct FunctionContext {
    PDEVICE_OBJECT target;  // the composite device's next-lower device
    const ConfigurationInfo* configuration;
    USBD_CONFIGURATION_HANDLE configurationHandle;
    const USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor;  // the bytes the selection used
    std::shared_ptr<std::atomic<bool>> gone;  // set when the device is removed
};

class VideoFunctionImpl;
class AudioFunctionImpl;
std::shared_ptr<VideoFunctionImpl> CreateVideoFunction(const FunctionContext& context, const FunctionInfo& function);
std::shared_ptr<AudioFunctionImpl> CreateAudioFunction(const FunctionContext& context, const FunctionInfo& function);
std::shared_ptr<VideoFunction> AsPublic(const std::shared_ptr<VideoFunctionImpl>& f);
std::shared_ptr<AudioFunction> AsPublic(const std::shared_ptr<AudioFunctionImpl>& f);
// Stops every stream of the function (removal, surprise removal, stop).
void Quiesce(VideoFunctionImpl& f);
void Quiesce(AudioFunctionImpl& f);
// A new configuration selection (a restart after a stop).
void Reconfigure(VideoFunctionImpl& f, const FunctionContext& context);
void Reconfigure(AudioFunctionImpl& f, const FunctionContext& context);

}  // namespace detail
}  // namespace usbclass
