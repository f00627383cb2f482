// The host's USB class drivers as a consumer (the lab, tests) sees them.
//
// Install() registers the composite driver with the plug-and-play manager
// for the compatible identifier "USB\COMPOSITE". When a USB device with that
// identifier starts, the composite driver attaches above its PDO, reads and
// validates the device and configuration descriptors, selects the
// configuration and hands every function to its function driver. The
// function drivers (video class, audio class) are objects inside the
// composite device that send their URBs down the composite device's stack,
// as separate function devices would send them through the composite's
// child PDOs: the device sees the same requests either way.
//
// Consumers find the instances with Devices()/FindDevice(), choose a frame
// size, start and stop the streams, and receive frames, PCM, errors and
// warnings through callbacks or queues.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostkernel/wdk.h"
#include "usbclass/descriptors.h"
#include "usbclass/uac.h"
#include "usbclass/uvc.h"

namespace usbclass {

// Registers the composite driver for "USB\COMPOSITE" with the current
// machine's plug-and-play manager. Idempotent per machine.
void Install();

// --- the video function ---------------------------------------------------------------
struct VideoStreamOptions {
    ULONG transfers = 4;            // isochronous IN transfers kept in flight
    ULONG packetsPerTransfer = 32;  // microframes per transfer
    ULONG packetSize = 0;           // bytes per packet; 0 = the pipe's MaximumPacketSize
    size_t frameQueueLimit = 8;     // frames kept for TakeFrames() when no callback is set
};

struct VideoCounters {
    uint64_t framesDelivered = 0;
    uint64_t frameErrors = 0;       // every StreamErrorEvent
    uint64_t shortFrames = 0;
    uint64_t oversizedFrames = 0;
    uint64_t headerErrors = 0;
    uint64_t packetErrors = 0;
    uint64_t outOfSync = 0;
    uint64_t droppedPayloads = 0;
    uint64_t framesQueueDropped = 0;  // frames lost because the queue was full
    uint64_t transfersCompleted = 0;
    uint64_t transfersFailed = 0;     // completed with an error status (cancel excluded)
    uint64_t transfersCancelled = 0;
    uint64_t payloadBytes = 0;
};

class VideoFunction {
public:
    virtual ~VideoFunction() = default;
    virtual const uvc::VideoFunctionInfo& Info() const = 0;
    virtual Findings Validation() const = 0;  // findings of descriptor validation and negotiation
    virtual bool Usable() const = 0;           // the descriptors passed validation

    // Chooses the frame for the next Start (interval 0: the frame's default).
    virtual NTSTATUS SetFrame(uint8_t formatIndex, uint8_t frameIndex, uint32_t interval = 0) = 0;
    // Probe and commit, alternate setting, transfers in flight.
    virtual NTSTATUS Start(const VideoStreamOptions& options = {}) = 0;
    // Cancels the transfers, waits for them, selects alternate setting 0.
    virtual NTSTATUS Stop() = 0;
    virtual bool Streaming() const = 0;
    virtual uvc::ProbeCommit Committed() const = 0;
    virtual uint32_t FrameBytes() const = 0;  // of the committed frame

    // Called for every complete frame / every error, in the completing
    // thread. Without a callback, frames queue for TakeFrames().
    virtual void OnFrame(std::function<void(const uvc::Frame&)> callback) = 0;
    virtual void OnError(std::function<void(const uvc::StreamErrorEvent&)> callback) = 0;
    virtual std::vector<uvc::Frame> TakeFrames() = 0;
    virtual std::vector<uvc::StreamErrorEvent> TakeErrors() = 0;
    virtual VideoCounters Counters() const = 0;
    virtual size_t TransfersInFlight() const = 0;
};

// --- the audio function ---------------------------------------------------------------
struct AudioStreamOptions {
    ULONG transfers = 4;
    ULONG packetsPerTransfer = 10;  // one packet per millisecond
};

struct CaptureChunk {
    std::vector<uint8_t> pcm;
    ULONG startFrame = 0;  // the transfer's StartFrame as the device stamped it
    int64_t time = 0;      // interrupt time (100 ns) of the completion
};

struct AudioCounters {
    uint64_t captureTransfers = 0;
    uint64_t captureEmpty = 0;        // completed without audio
    uint64_t captureBytes = 0;
    uint64_t capturePacketErrors = 0;
    uint64_t playbackTransfers = 0;
    uint64_t playbackBytesSent = 0;   // bytes the host put into transfers
    uint64_t playbackBytesTaken = 0;  // bytes the device reported as taken
    uint64_t playbackUnderrunBytes = 0;  // silence sent for want of PCM
    uint64_t transfersFailed = 0;
    uint64_t transfersCancelled = 0;
};

class AudioFunction {
public:
    virtual ~AudioFunction() = default;
    virtual const uac::AudioFunctionInfo& Info() const = 0;
    virtual Findings Validation() const = 0;
    virtual bool Usable() const = 0;

    virtual NTSTATUS StartCapture(const AudioStreamOptions& options = {}) = 0;
    virtual NTSTATUS StopCapture() = 0;
    virtual NTSTATUS StartPlayback(const AudioStreamOptions& options = {3, 10}) = 0;
    virtual NTSTATUS StopPlayback() = 0;
    virtual bool Capturing() const = 0;
    virtual bool Playing() const = 0;

    virtual void OnCapture(std::function<void(const CaptureChunk&)> callback) = 0;
    virtual std::vector<CaptureChunk> TakeCapture() = 0;
    // Speaker PCM to play, in the stream's format; silence fills the gaps.
    virtual void PushPlayback(const uint8_t* pcm, size_t bytes) = 0;
    virtual size_t PlaybackQueued() const = 0;
    // Bytes per second the device took, measured over the completions of
    // the last `window` transfers (0 when fewer than two completed).
    virtual double PlaybackRate(size_t window = 100) const = 0;
    virtual AudioCounters Counters() const = 0;
    virtual size_t TransfersInFlight() const = 0;
};

// --- the composite device -------------------------------------------------------------
enum class DeviceState { Starting, Started, StartFailed, Stopped, SurpriseRemoved, Removed };
const char* DeviceStateName(DeviceState state);

class CompositeDevice {
public:
    virtual ~CompositeDevice() = default;
    virtual PDEVICE_OBJECT Pdo() const = 0;
    virtual DeviceState State() const = 0;
    virtual NTSTATUS StartStatus() const = 0;
    // Descriptors as the host read them.
    virtual const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const = 0;
    virtual std::vector<uint8_t> DeviceDescriptorBytes() const = 0;
    virtual std::vector<uint8_t> ConfigurationBytes() const = 0;
    virtual const ConfigurationInfo& Configuration() const = 0;
    virtual std::map<uint8_t, std::u16string> Strings() const = 0;  // by descriptor index
    virtual Findings Validation() const = 0;  // device-level findings (not the functions')
    // What the bus interface reported.
    virtual bool HasBusInterface() const = 0;
    virtual USBD_VERSION_INFORMATION UsbdVersion() const = 0;
    virtual bool HighSpeed() const = 0;
    // The pipes the configuration selection reported, by interface number.
    virtual std::vector<USBD_PIPE_INFORMATION> ConfiguredPipes(uint8_t interfaceNumber) const = 0;

    virtual std::shared_ptr<VideoFunction> Video() const = 0;  // null when the device has none
    virtual std::shared_ptr<AudioFunction> Audio() const = 0;
};

// Every composite device of the current machine that has not been removed.
std::vector<std::shared_ptr<CompositeDevice>> Devices();
std::shared_ptr<CompositeDevice> FindDevice(uint16_t vendorId, uint16_t productId);
std::shared_ptr<CompositeDevice> DeviceFor(PDEVICE_OBJECT pdo);

// Devices whose start the composite driver failed (descriptors refused, a
// request failed), oldest first, since Install() on this machine.
struct StartFailure {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    NTSTATUS status = STATUS_SUCCESS;
    Findings findings;
};
std::vector<StartFailure> StartFailures();

// Arrival (true) once a device's start has been handled, removal (false).
using DeviceCallback = std::function<void(const std::shared_ptr<CompositeDevice>& device, bool arrival)>;
int Subscribe(DeviceCallback callback);
void Unsubscribe(int subscription);

}  // namespace usbclass
