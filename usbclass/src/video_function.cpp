// The video-class function driver: validates the video function, runs the
// probe/commit negotiation, streams isochronous IN transfers and rebuilds
// frames from their payloads.
#include <algorithm>
#include <cstring>
#include <deque>

#include "internal.h"

namespace usbclass {
namespace detail {

class VideoFunctionImpl : public VideoFunction {
public:
    FunctionContext context;
    FunctionInfo function;
    uvc::VideoFunctionInfo info;
    Findings validation;
    bool usable = false;

    std::mutex op;             // serialises Start, Stop, SetFrame, Quiesce
    mutable std::mutex state;  // guards what the accessors read
    Findings negotiation;
    uint8_t formatIndex = 0, frameIndex = 0;
    uint32_t interval = 0;
    uvc::ProbeCommit committed;
    uint32_t frameBytes = 0;
    bool streaming = false;
    std::unique_ptr<IsoStream> stream;

    mutable std::mutex data;  // the assembler, queues and counters
    uvc::FrameAssembler assembler;
    std::function<void(const uvc::Frame&)> frameCallback;
    std::function<void(const uvc::StreamErrorEvent&)> errorCallback;
    std::deque<uvc::Frame> frames;
    std::vector<uvc::StreamErrorEvent> errors;
    std::vector<uvc::Frame> framesNow;  // made by the transfer being processed
    std::vector<uvc::StreamErrorEvent> errorsNow;
    size_t queueLimit = 8;
    VideoCounters counters;

    const uvc::VideoFunctionInfo& Info() const override { return info; }
    Findings Validation() const override {
        std::lock_guard<std::mutex> g(state);
        Findings all = validation;
        all.Append(negotiation);
        return all;
    }
    bool Usable() const override { return usable; }
    NTSTATUS SetFrame(uint8_t format, uint8_t frame, uint32_t frameInterval) override;
    NTSTATUS Start(const VideoStreamOptions& options) override;
    NTSTATUS Stop() override;
    bool Streaming() const override {
        std::lock_guard<std::mutex> g(state);
        return streaming;
    }
    uvc::ProbeCommit Committed() const override {
        std::lock_guard<std::mutex> g(state);
        return committed;
    }
    uint32_t FrameBytes() const override {
        std::lock_guard<std::mutex> g(state);
        return frameBytes;
    }
    void OnFrame(std::function<void(const uvc::Frame&)> callback) override {
        std::lock_guard<std::mutex> g(data);
        frameCallback = std::move(callback);
    }
    void OnError(std::function<void(const uvc::StreamErrorEvent&)> callback) override {
        std::lock_guard<std::mutex> g(data);
        errorCallback = std::move(callback);
    }
    std::vector<uvc::Frame> TakeFrames() override {
        std::lock_guard<std::mutex> g(data);
        std::vector<uvc::Frame> out(std::make_move_iterator(frames.begin()), std::make_move_iterator(frames.end()));
        frames.clear();
        return out;
    }
    std::vector<uvc::StreamErrorEvent> TakeErrors() override {
        std::lock_guard<std::mutex> g(data);
        std::vector<uvc::StreamErrorEvent> out;
        out.swap(errors);
        return out;
    }
    VideoCounters Counters() const override {
        std::lock_guard<std::mutex> g(data);
        VideoCounters c = counters;
        c.droppedPayloads = assembler.DroppedPayloads();
        return c;
    }
    size_t TransfersInFlight() const override {
        std::lock_guard<std::mutex> g(state);
        return stream ? stream->InFlight() : 0;
    }

    NTSTATUS Negotiate(const uvc::FormatInfo& format, const uvc::FrameInfo& frame, uint32_t wantInterval,
                       uvc::ProbeCommit& result, Findings& f);
    NTSTATUS StopLocked();
    bool Complete(IsoTransferView& view, NTSTATUS status);
};

namespace {

USHORT ProbeValue(uint8_t control) { return (USHORT)(control << 8); }

NTSTATUS Probe(PDEVICE_OBJECT target, uint8_t request, uint8_t control, uint8_t interface, uvc::ProbeCommit& inout,
               Findings& f) {
    std::vector<uint8_t> bytes(uvc::PROBE_COMMIT_SIZE);
    bool in = request != uvc::SET_CUR;
    if (!in) uvc::EncodeProbe(inout, bytes.data());
    NTSTATUS status = ClassRequest(target, URB_FUNCTION_CLASS_INTERFACE, in, request, ProbeValue(control), interface, bytes);
    if (!NT_SUCCESS(status)) {
        char text[128];
        snprintf(text, sizeof text, "%s request 0x%02X refused with 0x%08X",
                 control == uvc::VS_PROBE_CONTROL ? "probe" : "commit", request, (unsigned)status);
        f.Error(text);
        return status;
    }
    if (in) {
        if (bytes.size() < uvc::PROBE_COMMIT_SIZE) {
            f.Error("probe answer of " + std::to_string(bytes.size()) + " bytes, 26 needed");
            return STATUS_DEVICE_DATA_ERROR;
        }
        inout = uvc::DecodeProbe(bytes.data());
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS VideoFunctionImpl::SetFrame(uint8_t format, uint8_t frame, uint32_t frameInterval) {
    std::lock_guard<std::mutex> g(op);
    const uvc::FormatInfo* f = info.Format(format);
    if (!f || !f->Frame(frame)) return STATUS_INVALID_PARAMETER;
    if (frameInterval) {
        const uvc::FrameInfo* fr = f->Frame(frame);
        bool offered = fr->continuous ? (frameInterval >= fr->intervals[0] && frameInterval <= fr->intervals[1])
                                      : std::find(fr->intervals.begin(), fr->intervals.end(), frameInterval) != fr->intervals.end();
        if (!offered) return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> s(state);
    formatIndex = format;
    frameIndex = frame;
    interval = frameInterval;
    return STATUS_SUCCESS;
}

NTSTATUS VideoFunctionImpl::Negotiate(const uvc::FormatInfo& format, const uvc::FrameInfo& frame, uint32_t wantInterval,
                                      uvc::ProbeCommit& result, Findings& f) {
    PDEVICE_OBJECT target = context.target;
    uint8_t vs = info.streamingInterface;
    uvc::ProbeCommit want;
    want.bmHint = 1;  // keep the frame interval
    want.bFormatIndex = format.index;
    want.bFrameIndex = frame.index;
    want.dwFrameInterval = wantInterval;
    NTSTATUS status = Probe(target, uvc::SET_CUR, uvc::VS_PROBE_CONTROL, vs, want, f);
    if (!NT_SUCCESS(status)) return status;
    uvc::ProbeCommit got;
    status = Probe(target, uvc::GET_CUR, uvc::VS_PROBE_CONTROL, vs, got, f);
    if (!NT_SUCCESS(status)) return status;
    char text[200];
    if (got.bFormatIndex != format.index || got.bFrameIndex != frame.index) {
        snprintf(text, sizeof text, "the device answered the probe of format %u frame %u with format %u frame %u",
                 format.index, frame.index, got.bFormatIndex, got.bFrameIndex);
        f.Error(text);
        return STATUS_DEVICE_DATA_ERROR;
    }
    uint32_t bytes = format.FrameBytes(frame);
    if (got.dwMaxVideoFrameSize != bytes) {
        snprintf(text, sizeof text, "dwMaxVideoFrameSize %u disagrees with %ux%u at %u bits (%u bytes)",
                 got.dwMaxVideoFrameSize, frame.width, frame.height, format.bitsPerPixel, bytes);
        f.Error(text);
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (got.dwMaxPayloadTransferSize == 0) {
        f.Error("dwMaxPayloadTransferSize 0");
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (got.dwFrameInterval != wantInterval) {
        snprintf(text, sizeof text, "the device chose frame interval %u instead of %u", got.dwFrameInterval, wantInterval);
        f.Warn(text);
    }
    // The ranges only inform: hosts commit what GET_CUR answered.
    uvc::ProbeCommit minimum, maximum;
    if (NT_SUCCESS(Probe(target, uvc::GET_MIN, uvc::VS_PROBE_CONTROL, vs, minimum, f)) &&
        NT_SUCCESS(Probe(target, uvc::GET_MAX, uvc::VS_PROBE_CONTROL, vs, maximum, f))) {
        if (frame.index < minimum.bFrameIndex || frame.index > maximum.bFrameIndex) {
            snprintf(text, sizeof text, "probe range GET_MIN..GET_MAX (frame %u to %u) excludes frame %u, which the descriptors offer",
                     minimum.bFrameIndex, maximum.bFrameIndex, frame.index);
            f.Warn(text);
        }
    }
    uvc::ProbeCommit commit = got;
    status = Probe(target, uvc::SET_CUR, uvc::VS_COMMIT_CONTROL, vs, commit, f);
    if (!NT_SUCCESS(status)) return status;
    result = got;
    return STATUS_SUCCESS;
}

NTSTATUS VideoFunctionImpl::Start(const VideoStreamOptions& options) {
    std::lock_guard<std::mutex> g(op);
    if (*context.gone) return STATUS_DEVICE_REMOVED;
    if (!usable) return STATUS_INVALID_DEVICE_STATE;
    if (streaming) return STATUS_DEVICE_BUSY;
    const uvc::FormatInfo* format = info.Format(formatIndex);
    if (!format) format = &info.formats[0];
    const uvc::FrameInfo* frame = format->Frame(frameIndex);
    if (!frame) frame = format->Frame(format->defaultFrameIndex);
    if (!frame) frame = &format->frames[0];
    uint32_t wantInterval = interval ? interval : frame->defaultInterval;

    Findings f;
    uvc::ProbeCommit result;
    NTSTATUS status = Negotiate(*format, *frame, wantInterval, result, f);
    auto record = [&] {
        std::lock_guard<std::mutex> s(state);
        negotiation = f;
    };
    if (!NT_SUCCESS(status)) {
        record();
        return status;
    }

    // The smallest alternate setting that carries a payload transfer.
    const uvc::StreamingAlternate* chosen = nullptr;
    for (const uvc::StreamingAlternate& a : info.alternates)
        if (a.bytesPerInterval >= result.dwMaxPayloadTransferSize && (!chosen || a.bytesPerInterval < chosen->bytesPerInterval))
            chosen = &a;
    if (!chosen) {
        for (const uvc::StreamingAlternate& a : info.alternates)
            if (!chosen || a.bytesPerInterval > chosen->bytesPerInterval) chosen = &a;
        f.Warn("no alternate setting carries dwMaxPayloadTransferSize; using the largest");
    }
    std::vector<USBD_PIPE_INFORMATION> pipes;
    status = SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor,
                             info.streamingInterface, chosen->alternate, pipes);
    if (!NT_SUCCESS(status)) {
        f.Error("the device refused alternate setting " + std::to_string(chosen->alternate));
        record();
        return status;
    }
    const USBD_PIPE_INFORMATION* pipe = nullptr;
    for (const USBD_PIPE_INFORMATION& p : pipes)
        if (p.EndpointAddress == info.endpointAddress && p.PipeType == UsbdPipeTypeIsochronous) pipe = &p;
    ULONG packetSize = options.packetSize ? options.packetSize : (pipe ? pipe->MaximumPacketSize : 0);
    if (!pipe || packetSize == 0 || packetSize > pipe->MaximumPacketSize) {
        f.Error(pipe ? "packet size beyond the pipe's MaximumPacketSize" : "the selection reported no isochronous pipe");
        std::vector<USBD_PIPE_INFORMATION> none;
        SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor,
                        info.streamingInterface, 0, none);
        record();
        return pipe ? STATUS_INVALID_PARAMETER : STATUS_DEVICE_DATA_ERROR;
    }

    {
        std::lock_guard<std::mutex> d(data);
        assembler.Reset(format->FrameBytes(*frame));
        queueLimit = options.frameQueueLimit;
        assembler.onFrame = [this](uvc::Frame&& fr) {
            ++counters.framesDelivered;
            framesNow.push_back(std::move(fr));
        };
        assembler.onError = [this](const uvc::StreamErrorEvent& e) {
            ++counters.frameErrors;
            switch (e.kind) {
            case uvc::StreamError::ShortFrame: ++counters.shortFrames; break;
            case uvc::StreamError::OversizedFrame: ++counters.oversizedFrames; break;
            case uvc::StreamError::Header: ++counters.headerErrors; break;
            case uvc::StreamError::PacketStatus: ++counters.packetErrors; break;
            case uvc::StreamError::OutOfSync: ++counters.outOfSync; break;
            case uvc::StreamError::ErrorBit: break;
            }
            errorsNow.push_back(e);
        };
    }
    IsoStreamConfig config;
    config.target = context.target;
    config.pipe = pipe->PipeHandle;
    config.in = true;
    config.transfers = options.transfers;
    config.packets = options.packetsPerTransfer;
    config.packetSize = packetSize;
    // One packet per service interval: 2^(bInterval-1) microframes of 125 us.
    LONGLONG perPacket = 1250LL << (pipe->Interval >= 1 && pipe->Interval <= 16 ? pipe->Interval - 1 : 0);
    config.transferDuration = perPacket * options.packetsPerTransfer;
    config.complete = [this](IsoTransferView& view, NTSTATUS s) { return Complete(view, s); };
    auto iso = std::make_unique<IsoStream>();
    status = iso->Start(config);
    if (!NT_SUCCESS(status)) {
        std::vector<USBD_PIPE_INFORMATION> none;
        SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor,
                        info.streamingInterface, 0, none);
        f.Error("cannot start the isochronous transfers");
        record();
        return status;
    }
    std::lock_guard<std::mutex> s(state);
    negotiation = f;
    committed = result;
    frameBytes = format->FrameBytes(*frame);
    stream = std::move(iso);
    streaming = true;
    return STATUS_SUCCESS;
}

bool VideoFunctionImpl::Complete(IsoTransferView& view, NTSTATUS status) {
    std::unique_lock<std::mutex> d(data);
    if (!NT_SUCCESS(status)) {
        ++counters.transfersFailed;
        return false;
    }
    ++counters.transfersCompleted;
    int64_t now = (int64_t)KeQueryInterruptTime();
    bool any = false;
    const ULONG capacity = view.packets * view.packetSize;
    for (ULONG p = 0; p < view.packets; ++p) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = view.urb->UrbIsochronousTransfer.IsoPacket[p];
        if (!USBD_SUCCESS(packet.Status)) {
            assembler.Packet(nullptr, 0, packet.Status, now);
            continue;
        }
        if (packet.Length == 0) continue;
        // A packet longer than its slot is babble, whatever the device says.
        if (packet.Length > view.packetSize || packet.Offset > capacity || packet.Length > capacity - packet.Offset) {
            assembler.Packet(nullptr, 0, USBD_STATUS_BABBLE_DETECTED, now);
            continue;
        }
        any = true;
        counters.payloadBytes += packet.Length;
        assembler.Packet(view.buffer + packet.Offset, packet.Length, USBD_STATUS_SUCCESS, now);
    }
    std::vector<uvc::Frame> made;
    made.swap(framesNow);
    std::vector<uvc::StreamErrorEvent> failed;
    failed.swap(errorsNow);
    auto onFrame = frameCallback;
    auto onError = errorCallback;
    // Consumers' callbacks run without the lock, so they may call back in.
    d.unlock();
    for (const uvc::StreamErrorEvent& e : failed) {
        if (onError) {
            onError(e);
        } else {
            std::lock_guard<std::mutex> g(data);
            if (errors.size() < 1024) errors.push_back(e);
        }
    }
    for (uvc::Frame& fr : made) {
        if (onFrame) {
            onFrame(fr);
            continue;
        }
        std::lock_guard<std::mutex> g(data);
        if (frames.size() >= queueLimit) {
            frames.pop_front();
            ++counters.framesQueueDropped;
        }
        frames.push_back(std::move(fr));
    }
    return any;
}

NTSTATUS VideoFunctionImpl::StopLocked() {
    std::unique_ptr<IsoStream> iso;
    {
        std::lock_guard<std::mutex> s(state);
        if (!streaming) return STATUS_SUCCESS;
        iso = std::move(stream);
    }
    iso->Stop();
    {
        std::lock_guard<std::mutex> d(data);
        counters.transfersCancelled += iso->Cancelled();
    }
    iso.reset();
    NTSTATUS status = STATUS_SUCCESS;
    if (!*context.gone) {
        std::vector<USBD_PIPE_INFORMATION> none;
        status = SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor,
                                 info.streamingInterface, 0, none);
    }
    std::lock_guard<std::mutex> s(state);
    streaming = false;
    return status;
}

NTSTATUS VideoFunctionImpl::Stop() {
    std::lock_guard<std::mutex> g(op);
    return StopLocked();
}

std::shared_ptr<VideoFunctionImpl> CreateVideoFunction(const FunctionContext& context, const FunctionInfo& function) {
    auto f = std::make_shared<VideoFunctionImpl>();
    f->context = context;
    f->function = function;
    f->usable = ValidateVideoFunction(*context.configuration, function, f->info, f->validation);
    if (f->usable) {
        f->formatIndex = f->info.formats[0].index;
        f->frameIndex = f->info.formats[0].defaultFrameIndex;
    }
    return f;
}

std::shared_ptr<VideoFunction> AsPublic(const std::shared_ptr<VideoFunctionImpl>& f) { return f; }

void Quiesce(VideoFunctionImpl& f) {
    std::lock_guard<std::mutex> g(f.op);
    f.StopLocked();
}

void Reconfigure(VideoFunctionImpl& f, const FunctionContext& context) {
    std::lock_guard<std::mutex> g(f.op);
    f.StopLocked();
    f.context = context;
}

}  // namespace detail
}  // namespace usbclass
