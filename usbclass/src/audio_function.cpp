// The audio-class function driver: validates the audio function, captures
// from the microphone stream and plays to the speaker stream with
// isochronous transfers, and measures how fast the device takes the audio.
#include <algorithm>
#include <cstring>
#include <deque>

#include "internal.h"

namespace usbclass {
namespace detail {

class AudioFunctionImpl : public AudioFunction {
public:
    FunctionContext context;
    FunctionInfo function;
    uac::AudioFunctionInfo info;
    Findings validation;
    bool usable = false;

    std::mutex op;
    mutable std::mutex state;
    Findings negotiation;
    std::unique_ptr<IsoStream> capture, playback;

    mutable std::mutex data;
    std::function<void(const CaptureChunk&)> captureCallback;
    std::deque<CaptureChunk> captured;
    std::deque<uint8_t> speaker;
    std::deque<std::pair<int64_t, uint64_t>> completions;  // (time, bytes taken) of playback transfers
    AudioCounters counters;

    const uac::AudioFunctionInfo& Info() const override { return info; }
    Findings Validation() const override {
        std::lock_guard<std::mutex> g(state);
        Findings all = validation;
        all.Append(negotiation);
        return all;
    }
    bool Usable() const override { return usable; }
    NTSTATUS StartCapture(const AudioStreamOptions& options) override { return StartStream(true, options); }
    NTSTATUS StopCapture() override {
        std::lock_guard<std::mutex> g(op);
        return StopStream(true);
    }
    NTSTATUS StartPlayback(const AudioStreamOptions& options) override { return StartStream(false, options); }
    NTSTATUS StopPlayback() override {
        std::lock_guard<std::mutex> g(op);
        return StopStream(false);
    }
    bool Capturing() const override {
        std::lock_guard<std::mutex> g(state);
        return capture != nullptr;
    }
    bool Playing() const override {
        std::lock_guard<std::mutex> g(state);
        return playback != nullptr;
    }
    void OnCapture(std::function<void(const CaptureChunk&)> callback) override {
        std::lock_guard<std::mutex> g(data);
        captureCallback = std::move(callback);
    }
    std::vector<CaptureChunk> TakeCapture() override {
        std::lock_guard<std::mutex> g(data);
        std::vector<CaptureChunk> out(std::make_move_iterator(captured.begin()), std::make_move_iterator(captured.end()));
        captured.clear();
        return out;
    }
    void PushPlayback(const uint8_t* pcm, size_t bytes) override {
        std::lock_guard<std::mutex> g(data);
        speaker.insert(speaker.end(), pcm, pcm + bytes);
    }
    size_t PlaybackQueued() const override {
        std::lock_guard<std::mutex> g(data);
        return speaker.size();
    }
    double PlaybackRate(size_t window) const override {
        std::lock_guard<std::mutex> g(data);
        if (completions.size() < 2 || window < 2) return 0;
        size_t n = std::min(window, completions.size());
        auto first = completions.end() - (ptrdiff_t)n;
        int64_t span = completions.back().first - first->first;
        if (span <= 0) return 0;
        uint64_t bytes = 0;
        for (auto it = first + 1; it != completions.end(); ++it) bytes += it->second;
        return (double)bytes * 10000000.0 / (double)span;
    }
    AudioCounters Counters() const override {
        std::lock_guard<std::mutex> g(data);
        return counters;
    }
    size_t TransfersInFlight() const override {
        std::lock_guard<std::mutex> g(state);
        return (capture ? capture->InFlight() : 0) + (playback ? playback->InFlight() : 0);
    }

    NTSTATUS StartStream(bool in, const AudioStreamOptions& options);
    NTSTATUS StopStream(bool in);
    bool CaptureComplete(IsoTransferView& view, NTSTATUS status);
    void PlaybackPrepare(IsoTransferView& view);
    bool PlaybackComplete(IsoTransferView& view, NTSTATUS status);
};

namespace {

// The endpoint's class-specific bmAttributes (bit 0: sampling frequency control).
uint8_t EndpointControls(const ConfigurationInfo& configuration, const uac::StreamInfo& s) {
    const AltSetting* alt = configuration.Alternate(s.interfaceNumber, s.alternate);
    if (!alt) return 0;
    for (const EndpointInfo& e : alt->endpoints)
        if (e.Address() == s.endpointAddress && !e.classSpecific.empty()) return e.classSpecific[0].At(3);
    return 0;
}

}  // namespace

NTSTATUS AudioFunctionImpl::StartStream(bool in, const AudioStreamOptions& options) {
    std::lock_guard<std::mutex> g(op);
    if (*context.gone) return STATUS_DEVICE_REMOVED;
    if (!usable) return STATUS_INVALID_DEVICE_STATE;
    const uac::StreamInfo* s = in ? info.Capture() : info.Playback();
    if (!s) return STATUS_NOT_SUPPORTED;
    {
        std::lock_guard<std::mutex> st(state);
        if (in ? capture != nullptr : playback != nullptr) return STATUS_DEVICE_BUSY;
    }
    if (options.transfers == 0 || options.packetsPerTransfer == 0) return STATUS_INVALID_PARAMETER;
    Findings f;
    uint32_t rate = s->format.rates.empty() ? 0 : s->format.rates[0];
    std::vector<USBD_PIPE_INFORMATION> pipes;
    NTSTATUS status = SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor,
                                      s->interfaceNumber, s->alternate, pipes);
    if (!NT_SUCCESS(status)) {
        f.Error("the device refused alternate setting " + std::to_string(s->alternate) + " of interface " +
                std::to_string(s->interfaceNumber));
        std::lock_guard<std::mutex> st(state);
        negotiation.Append(f);
        return status;
    }
    // A rate is set only where the endpoint has the control for it.
    if (EndpointControls(*context.configuration, *s) & 0x01) {
        std::vector<uint8_t> bytes = {(uint8_t)rate, (uint8_t)(rate >> 8), (uint8_t)(rate >> 16)};
        if (!NT_SUCCESS(ClassRequest(context.target, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100,
                                     s->endpointAddress, bytes)))
            f.Warn("the device refused the sampling frequency");
    }
    const USBD_PIPE_INFORMATION* pipe = nullptr;
    for (const USBD_PIPE_INFORMATION& p : pipes)
        if (p.EndpointAddress == s->endpointAddress && p.PipeType == UsbdPipeTypeIsochronous) pipe = &p;
    // One packet per service interval: 2^(bInterval-1) microframes of 125 us.
    ULONG period100ns = 1250u << (s->interval >= 1 && s->interval <= 16 ? s->interval - 1 : 0);
    ULONG framesPerPacket = (ULONG)(((uint64_t)rate * period100ns + 9999999) / 10000000);
    ULONG packetSize = framesPerPacket * s->format.BytesPerFrame();
    if (!pipe || packetSize == 0 || packetSize > pipe->MaximumPacketSize) {
        f.Error(pipe ? "a packet of audio does not fit the pipe" : "the selection reported no isochronous pipe");
        std::vector<USBD_PIPE_INFORMATION> none;
        SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor, s->interfaceNumber,
                        0, none);
        std::lock_guard<std::mutex> st(state);
        negotiation.Append(f);
        return STATUS_DEVICE_DATA_ERROR;
    }
    IsoStreamConfig config;
    config.target = context.target;
    config.pipe = pipe->PipeHandle;
    config.in = in;
    config.transfers = options.transfers;
    config.packets = options.packetsPerTransfer;
    config.packetSize = packetSize;
    config.transferDuration = (LONGLONG)period100ns * options.packetsPerTransfer;
    if (in) {
        config.complete = [this](IsoTransferView& v, NTSTATUS st) { return CaptureComplete(v, st); };
    } else {
        config.prepare = [this](IsoTransferView& v) { PlaybackPrepare(v); };
        config.complete = [this](IsoTransferView& v, NTSTATUS st) { return PlaybackComplete(v, st); };
    }
    if (!in) {
        std::lock_guard<std::mutex> d(data);
        completions.clear();
    }
    auto iso = std::make_unique<IsoStream>();
    status = iso->Start(config);
    if (!NT_SUCCESS(status)) {
        std::vector<USBD_PIPE_INFORMATION> none;
        SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor, s->interfaceNumber,
                        0, none);
        f.Error("cannot start the isochronous transfers");
        std::lock_guard<std::mutex> st(state);
        negotiation.Append(f);
        return status;
    }
    std::lock_guard<std::mutex> st(state);
    negotiation.Append(f);
    (in ? capture : playback) = std::move(iso);
    return STATUS_SUCCESS;
}

NTSTATUS AudioFunctionImpl::StopStream(bool in) {
    std::unique_ptr<IsoStream> iso;
    {
        std::lock_guard<std::mutex> st(state);
        iso = std::move(in ? capture : playback);
    }
    if (!iso) return STATUS_SUCCESS;
    iso->Stop();
    {
        std::lock_guard<std::mutex> d(data);
        counters.transfersCancelled += iso->Cancelled();
    }
    iso.reset();
    const uac::StreamInfo* s = in ? info.Capture() : info.Playback();
    if (*context.gone || !s) return STATUS_SUCCESS;
    std::vector<USBD_PIPE_INFORMATION> none;
    return SelectInterface(context.target, context.configurationHandle, context.configurationDescriptor,
                           s->interfaceNumber, 0, none);
}

bool AudioFunctionImpl::CaptureComplete(IsoTransferView& view, NTSTATUS status) {
    std::unique_lock<std::mutex> d(data);
    if (!NT_SUCCESS(status)) {
        ++counters.transfersFailed;
        return false;
    }
    ++counters.captureTransfers;
    CaptureChunk chunk;
    chunk.startFrame = view.urb->UrbIsochronousTransfer.StartFrame;
    chunk.time = (int64_t)KeQueryInterruptTime();
    const ULONG capacity = view.packets * view.packetSize;
    for (ULONG p = 0; p < view.packets; ++p) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = view.urb->UrbIsochronousTransfer.IsoPacket[p];
        if (!USBD_SUCCESS(packet.Status) || packet.Length > view.packetSize || packet.Offset > capacity ||
            packet.Length > capacity - packet.Offset) {
            ++counters.capturePacketErrors;
            continue;
        }
        chunk.pcm.insert(chunk.pcm.end(), view.buffer + packet.Offset, view.buffer + packet.Offset + packet.Length);
    }
    if (chunk.pcm.empty()) {
        ++counters.captureEmpty;
        return false;
    }
    counters.captureBytes += chunk.pcm.size();
    auto callback = captureCallback;
    if (!callback) {
        if (captured.size() >= 4096) captured.pop_front();
        captured.push_back(std::move(chunk));
        return true;
    }
    d.unlock();
    callback(chunk);
    return true;
}

void AudioFunctionImpl::PlaybackPrepare(IsoTransferView& view) {
    std::lock_guard<std::mutex> d(data);
    ULONG total = view.packets * view.packetSize;
    size_t take = std::min<size_t>(speaker.size(), total);
    std::copy(speaker.begin(), speaker.begin() + (ptrdiff_t)take, view.buffer);
    speaker.erase(speaker.begin(), speaker.begin() + (ptrdiff_t)take);
    std::memset(view.buffer + take, 0, total - take);
    counters.playbackUnderrunBytes += total - take;
    counters.playbackBytesSent += total;
    for (ULONG p = 0; p < view.packets; ++p) view.urb->UrbIsochronousTransfer.IsoPacket[p].Length = view.packetSize;
}

bool AudioFunctionImpl::PlaybackComplete(IsoTransferView& view, NTSTATUS status) {
    std::lock_guard<std::mutex> d(data);
    if (!NT_SUCCESS(status)) {
        ++counters.transfersFailed;
        return false;
    }
    ++counters.playbackTransfers;
    ULONG taken = view.urb->UrbIsochronousTransfer.TransferBufferLength;
    counters.playbackBytesTaken += taken;
    completions.emplace_back((int64_t)KeQueryInterruptTime(), taken);
    if (completions.size() > 1000) completions.pop_front();
    return true;
}

std::shared_ptr<AudioFunctionImpl> CreateAudioFunction(const FunctionContext& context, const FunctionInfo& function) {
    auto f = std::make_shared<AudioFunctionImpl>();
    f->context = context;
    f->function = function;
    f->usable = ValidateAudioFunction(*context.configuration, function, f->info, f->validation);
    return f;
}

std::shared_ptr<AudioFunction> AsPublic(const std::shared_ptr<AudioFunctionImpl>& f) { return f; }

void Quiesce(AudioFunctionImpl& f) {
    std::lock_guard<std::mutex> g(f.op);
    f.StopStream(true);
    f.StopStream(false);
}

void Reconfigure(AudioFunctionImpl& f, const FunctionContext& context) {
    std::lock_guard<std::mutex> g(f.op);
    f.StopStream(true);
    f.StopStream(false);
    f.context = context;
}

}  // namespace detail
}  // namespace usbclass
