// Video class: descriptor validation, probe/commit encoding, frame reassembly.
#include "usbclass/uvc.h"

#include <cstring>

#include "class_parse.h"

namespace usbclass {
namespace uvc {

using detail::Format;

namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24); }

// One unit or terminal of the video-control interface.
void ParseEntity(const RawDescriptor& d, uint16_t bcdUVC, Entity& e, detail::EntityLength& need, Findings& findings) {
    switch (d.Subtype()) {
    case VC_INPUT_TERMINAL:
        if (!need(8, "input terminal")) break;
        e.id = d.At(3);
        e.terminalType = d.Word(4);
        if (e.terminalType == ITT_CAMERA && need(15, "camera terminal")) need(15u + d.At(14), "camera terminal");
        break;
    case VC_OUTPUT_TERMINAL:
        if (!need(9, "output terminal")) break;
        e.id = d.At(3);
        e.terminalType = d.Word(4);
        e.sources.push_back(d.At(7));
        break;
    case VC_SELECTOR_UNIT:
        if (!need(5, "selector unit") || !need(6u + d.At(4), "selector unit")) break;
        e.id = d.At(3);
        for (uint8_t p = 0; p < d.At(4); ++p) e.sources.push_back(d.At(5 + p));
        break;
    case VC_PROCESSING_UNIT: {
        // UVC 1.0 has no bmVideoStandards byte; later revisions do.
        if (!need(8, "processing unit")) break;
        size_t base = bcdUVC <= 0x0100 ? 9 : 10;
        if (!need(base + d.At(7), "processing unit")) break;
        e.id = d.At(3);
        e.sources.push_back(d.At(4));
        break;
    }
    case VC_EXTENSION_UNIT: {
        if (!need(22, "extension unit")) break;
        uint8_t pins = d.At(21);
        if (!need(23u + pins, "extension unit")) break;
        uint8_t controlSize = d.At(22 + pins);
        if (!need(24u + pins + controlSize, "extension unit")) break;
        e.id = d.At(3);
        for (uint8_t p = 0; p < pins; ++p) e.sources.push_back(d.At(22 + p));
        break;
    }
    default:
        findings.Warn(Format("video control: unknown subtype 0x%02X at offset %zu ignored", d.Subtype(), d.offset));
        need.good = false;
        break;
    }
}

// The units and terminals of the video-control interface.
void ParseEntities(const std::vector<RawDescriptor>& descriptors, uint16_t bcdUVC, VideoFunctionInfo& out,
                   Findings& findings) {
    detail::ParseEntities(descriptors, "video control", VC_HEADER, out.entities, findings,
                          [&](const RawDescriptor& d, Entity& e, detail::EntityLength& need) {
                              ParseEntity(d, bcdUVC, e, need, findings);
                          });
}

void ParseFormats(const std::vector<RawDescriptor>& descriptors, VideoFunctionInfo& out, Findings& findings) {
    FormatInfo* format = nullptr;  // the uncompressed format frames are attached to
    bool skipping = false;         // frames of a format this driver does not handle
    uint8_t formatsSeen = 0;
    for (size_t i = 1; i < descriptors.size(); ++i) {
        const RawDescriptor& d = descriptors[i];
        if (d.Type() != CS_INTERFACE) continue;
        switch (d.Subtype()) {
        case VS_FORMAT_UNCOMPRESSED: {
            ++formatsSeen;
            skipping = false;
            format = nullptr;
            if (d.Length() != 27) {
                findings.Error(Format("uncompressed format at offset %zu has bLength %u, not 27", d.offset, d.Length()));
                skipping = true;
                break;
            }
            if (d.At(3) != formatsSeen)
                findings.Error(Format("format at offset %zu has bFormatIndex %u, expected %u", d.offset, d.At(3), formatsSeen));
            FormatInfo f;
            f.index = d.At(3);
            std::memcpy(f.guid, d.bytes.data() + 5, 16);
            f.bitsPerPixel = d.At(21);
            f.defaultFrameIndex = d.At(22);
            if (f.bitsPerPixel == 0 || f.bitsPerPixel % 8 != 0)
                findings.Error(Format("format %u: bBitsPerPixel %u", f.index, f.bitsPerPixel));
            if (f.defaultFrameIndex == 0 || f.defaultFrameIndex > d.At(4))
                findings.Error(Format("format %u: bDefaultFrameIndex %u outside 1 to %u", f.index, f.defaultFrameIndex, d.At(4)));
            f.declaredFrames = d.At(4);
            out.formats.push_back(f);
            format = &out.formats.back();
            if (d.At(4) == 0) findings.Error(Format("format %u has no frame descriptors", f.index));
            break;
        }
        case VS_FORMAT_MJPEG:
            ++formatsSeen;
            format = nullptr;
            skipping = true;
            findings.Warn(Format("format %u at offset %zu is not uncompressed; not used", d.At(3), d.offset));
            break;
        case VS_FRAME_UNCOMPRESSED: {
            if (skipping) break;
            if (!format) {
                findings.Error(Format("uncompressed frame at offset %zu follows no uncompressed format", d.offset));
                break;
            }
            if (d.Length() < 26) {
                findings.Error(Format("frame at offset %zu has bLength %u, below 26", d.offset, d.Length()));
                break;
            }
            FrameInfo fr;
            fr.index = d.At(3);
            fr.width = d.Word(5);
            fr.height = d.Word(7);
            fr.maxFrameBufferSize = d.Dword(17);
            fr.defaultInterval = d.Dword(21);
            uint8_t type = d.At(25);
            size_t expectedLength = type == 0 ? 38 : 26 + 4u * type;
            if (d.Length() != expectedLength) {
                findings.Error(Format("frame %u of format %u: bLength %u, %zu for bFrameIntervalType %u", fr.index,
                                      format->index, d.Length(), expectedLength, type));
                break;
            }
            fr.continuous = type == 0;
            size_t count = type == 0 ? 3 : type;
            for (size_t k = 0; k < count; ++k) fr.intervals.push_back(d.Dword(26 + 4 * k));
            std::string where = Format("frame %u of format %u", fr.index, format->index);
            if (fr.index != format->frames.size() + 1)
                findings.Error(Format("%s: bFrameIndex out of order, expected %zu", where.c_str(), format->frames.size() + 1));
            if (fr.width == 0 || fr.height == 0) findings.Error(where + ": zero width or height");
            uint64_t bytes = (uint64_t)fr.width * fr.height * (format->bitsPerPixel / 8u);
            if (fr.maxFrameBufferSize < bytes)
                findings.Error(Format("%s: dwMaxVideoFrameBufferSize %u cannot hold %ux%u at %u bits", where.c_str(),
                                      fr.maxFrameBufferSize, fr.width, fr.height, format->bitsPerPixel));
            if (d.Dword(9) > d.Dword(13)) findings.Warn(where + ": dwMinBitRate above dwMaxBitRate");
            bool zero = false;
            for (size_t k = 0; k < (fr.continuous ? 2 : fr.intervals.size()); ++k) zero |= fr.intervals[k] == 0;
            if (zero) findings.Error(where + ": a frame interval of 0");
            if (!fr.continuous) {
                bool found = false;
                for (size_t k = 0; k < fr.intervals.size(); ++k) {
                    found |= fr.intervals[k] == fr.defaultInterval;
                    if (k > 0 && fr.intervals[k] < fr.intervals[k - 1])
                        findings.Warn(where + ": frame intervals not in ascending order");
                }
                if (!found) findings.Warn(Format("%s: default interval %u is not one of its intervals", where.c_str(), fr.defaultInterval));
            } else if (fr.defaultInterval < fr.intervals[0] || fr.defaultInterval > fr.intervals[1]) {
                findings.Warn(where + ": default interval outside the continuous range");
            }
            format->frames.push_back(fr);
            break;
        }
        case VS_COLORFORMAT:
            if (d.Length() != 6) findings.Error(Format("colour matching at offset %zu has bLength %u, not 6", d.offset, d.Length()));
            break;
        case VS_STILL_IMAGE_FRAME:
        case VS_FRAME_MJPEG:
            break;
        case VS_INPUT_HEADER:
        case VS_OUTPUT_HEADER:
            findings.Error(Format("video streaming: second header at offset %zu", d.offset));
            break;
        default:
            findings.Warn(Format("video streaming: unknown subtype 0x%02X at offset %zu ignored", d.Subtype(), d.offset));
            break;
        }
    }
    for (const FormatInfo& f : out.formats)
        if (f.frames.size() != f.declaredFrames)
            findings.Error(Format("format %u declares %u frame descriptor(s) but %zu follow", f.index, f.declaredFrames,
                                  f.frames.size()));
}

}  // namespace

const FrameInfo* FormatInfo::Frame(uint8_t index) const {
    for (const FrameInfo& f : frames)
        if (f.index == index) return &f;
    return nullptr;
}

const FormatInfo* VideoFunctionInfo::Format(uint8_t index) const {
    for (const FormatInfo& f : formats)
        if (f.index == index) return &f;
    return nullptr;
}

const Entity* VideoFunctionInfo::FindEntity(uint8_t id) const {
    for (const Entity& e : entities)
        if (e.id == id) return &e;
    return nullptr;
}

bool ValidateVideoFunction(const ConfigurationInfo& configuration, const FunctionInfo& function,
                           VideoFunctionInfo& out, Findings& findings) {
    size_t before = findings.Errors();
    out = VideoFunctionInfo{};
    if (function.interfaces.empty()) {
        findings.Error("video function without interfaces");
        return false;
    }

    // Video control.
    const AltSetting* vc = configuration.Alternate(function.interfaces[0], 0);
    if (!vc || vc->descriptor.bInterfaceClass != USB_DEVICE_CLASS_VIDEO ||
        vc->descriptor.bInterfaceSubClass != SC_VIDEOCONTROL) {
        findings.Error("video function does not begin with a video-control interface");
        return false;
    }
    out.controlInterface = function.interfaces[0];
    const InterfaceInfo* vcInterface = configuration.Interface(out.controlInterface);
    if (vcInterface->alternates.size() > 1) findings.Warn("video-control interface has alternate settings beyond 0");
    if (vc->classSpecific.empty() || vc->classSpecific[0].Type() != CS_INTERFACE ||
        vc->classSpecific[0].Subtype() != VC_HEADER) {
        findings.Error("video-control interface: the class-specific header does not follow the interface descriptor");
        return false;
    }
    const RawDescriptor& header = vc->classSpecific[0];
    if (header.Length() < 12 || header.Length() < 12u + header.At(11)) {
        findings.Error(Format("video-control header: bLength %u too short", header.Length()));
        return false;
    }
    out.bcdUVC = header.Word(3);
    out.clockFrequency = header.Dword(7);
    if (out.bcdUVC != 0x0100 && out.bcdUVC != 0x0110 && out.bcdUVC != 0x0150)
        findings.Error(Format("video-control header: bcdUVC 0x%04X is no video class release this driver knows", out.bcdUVC));
    size_t total = detail::ClassSpecificLength(vc->classSpecific);
    if (header.Word(5) != total)
        findings.Error(Format("video-control header: wTotalLength %u but the class-specific descriptors take %zu bytes",
                              header.Word(5), total));
    if (out.clockFrequency == 0) findings.Warn("video-control header: dwClockFrequency 0");
    if (header.At(11) == 0) findings.Error("video-control header: no streaming interface in the collection");
    std::vector<uint8_t> collection;
    for (uint8_t i = 0; i < header.At(11); ++i) {
        uint8_t number = header.At(12 + i);
        bool inFunction = false;
        for (uint8_t n : function.interfaces) inFunction |= n == number;
        const AltSetting* vs = configuration.Alternate(number, 0);
        if (!inFunction || !vs || vs->descriptor.bInterfaceClass != USB_DEVICE_CLASS_VIDEO ||
            vs->descriptor.bInterfaceSubClass != SC_VIDEOSTREAMING)
            findings.Error(Format("video-control header names interface %u, which is no streaming interface of this function", number));
        else
            collection.push_back(number);
    }
    ParseEntities(vc->classSpecific, out.bcdUVC, out, findings);
    for (const EndpointInfo& ep : vc->endpoints) {
        if (ep.Type() != USB_ENDPOINT_TYPE_INTERRUPT || !ep.In())
            findings.Error(Format("video-control endpoint 0x%02X is not an interrupt IN endpoint", ep.Address()));
        else if (ep.classSpecific.empty() || ep.classSpecific[0].Type() != CS_ENDPOINT)
            findings.Warn(Format("video-control endpoint 0x%02X has no class-specific endpoint descriptor", ep.Address()));
    }

    // Video streaming.
    if (collection.empty()) return false;
    out.streamingInterface = collection[0];
    if (collection.size() > 1) findings.Warn("more than one streaming interface: only the first is used");
    const InterfaceInfo* vsInterface = configuration.Interface(out.streamingInterface);
    const AltSetting* vs0 = vsInterface->Alternate(0);
    if (vs0->classSpecific.empty() || vs0->classSpecific[0].Type() != CS_INTERFACE) {
        findings.Error("video-streaming interface: no class-specific header");
        return false;
    }
    const RawDescriptor& input = vs0->classSpecific[0];
    if (input.Subtype() == VS_OUTPUT_HEADER) {
        findings.Error("video-streaming interface is an output interface");
        return false;
    }
    if (input.Subtype() != VS_INPUT_HEADER || input.Length() < 13 ||
        input.Length() < 13u + (size_t)input.At(3) * input.At(12)) {
        findings.Error(Format("video-streaming input header at offset %zu is malformed", input.offset));
        return false;
    }
    out.endpointAddress = input.At(6);
    out.terminalLink = input.At(8);
    total = detail::ClassSpecificLength(vs0->classSpecific);
    if (input.Word(4) != total)
        findings.Error(Format("video-streaming input header: wTotalLength %u but the class-specific descriptors take %zu bytes",
                              input.Word(4), total));
    if (!(out.endpointAddress & USB_ENDPOINT_DIRECTION_MASK))
        findings.Error(Format("video-streaming input header names OUT endpoint 0x%02X", out.endpointAddress));
    const Entity* link = out.FindEntity(out.terminalLink);
    if (!link || link->subtype != VC_OUTPUT_TERMINAL || link->terminalType != TT_STREAMING)
        findings.Error(Format("video-streaming input header links terminal %u, which is no USB streaming output terminal",
                              out.terminalLink));
    ParseFormats(vs0->classSpecific, out, findings);
    size_t formatsDeclared = input.At(3);
    size_t formatsFound = 0;
    for (const RawDescriptor& d : vs0->classSpecific)
        if (d.Type() == CS_INTERFACE && (d.Subtype() == VS_FORMAT_UNCOMPRESSED || d.Subtype() == VS_FORMAT_MJPEG)) ++formatsFound;
    if (formatsFound != formatsDeclared)
        findings.Error(Format("video-streaming input header declares %zu format(s) but %zu follow", formatsDeclared, formatsFound));
    if (out.formats.empty()) findings.Error("video-streaming interface offers no uncompressed format");

    for (const AltSetting& alt : vsInterface->alternates) {
        if (alt.descriptor.bAlternateSetting == 0) {
            for (const EndpointInfo& ep : alt.endpoints)
                if (ep.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS && ep.BytesPerInterval() != 0)
                    findings.Error("video-streaming alternate setting 0 reserves isochronous bandwidth");
            continue;
        }
        const EndpointInfo* iso = nullptr;
        for (const EndpointInfo& ep : alt.endpoints)
            if (ep.Address() == out.endpointAddress) iso = &ep;
        if (!iso || iso->Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
            findings.Error(Format("video-streaming alternate %u has no isochronous endpoint 0x%02X",
                                  alt.descriptor.bAlternateSetting, out.endpointAddress));
            continue;
        }
        StreamingAlternate s;
        s.alternate = alt.descriptor.bAlternateSetting;
        s.endpointAddress = iso->Address();
        s.bytesPerInterval = iso->BytesPerInterval();
        s.interval = iso->descriptor.bInterval;
        out.alternates.push_back(s);
    }
    if (out.alternates.empty()) findings.Error("video-streaming interface has no alternate setting with an isochronous endpoint");
    return findings.Errors() == before;
}

void EncodeProbe(const ProbeCommit& p, uint8_t* b) {
    std::memset(b, 0, PROBE_COMMIT_SIZE);
    Put16(b + 0, p.bmHint);
    b[2] = p.bFormatIndex;
    b[3] = p.bFrameIndex;
    Put32(b + 4, p.dwFrameInterval);
    Put16(b + 8, p.wKeyFrameRate);
    Put16(b + 10, p.wPFrameRate);
    Put16(b + 12, p.wCompQuality);
    Put16(b + 14, p.wCompWindowSize);
    Put16(b + 16, p.wDelay);
    Put32(b + 18, p.dwMaxVideoFrameSize);
    Put32(b + 22, p.dwMaxPayloadTransferSize);
}

ProbeCommit DecodeProbe(const uint8_t* b) {
    ProbeCommit p;
    p.bmHint = Get16(b + 0);
    p.bFormatIndex = b[2];
    p.bFrameIndex = b[3];
    p.dwFrameInterval = Get32(b + 4);
    p.wKeyFrameRate = Get16(b + 8);
    p.wPFrameRate = Get16(b + 10);
    p.wCompQuality = Get16(b + 12);
    p.wCompWindowSize = Get16(b + 14);
    p.wDelay = Get16(b + 16);
    p.dwMaxVideoFrameSize = Get32(b + 18);
    p.dwMaxPayloadTransferSize = Get32(b + 22);
    return p;
}

const char* StreamErrorName(StreamError error) {
    switch (error) {
    case StreamError::PacketStatus: return "packet status";
    case StreamError::Header: return "payload header";
    case StreamError::ShortFrame: return "short frame";
    case StreamError::OversizedFrame: return "oversized frame";
    case StreamError::OutOfSync: return "out of sync";
    case StreamError::ErrorBit: return "error bit";
    }
    return "?";
}

void FrameAssembler::Reset(size_t frameBytes) {
    expected_ = frameBytes;
    buffer_.clear();
    buffer_.reserve(frameBytes);
    inFrame_ = flagged_ = discarding_ = haveLast_ = false;
}

void FrameAssembler::GiveUp(StreamError kind, uint8_t fid, int64_t time, bool keepFid) {
    ++errors_;
    if (onError) onError(StreamErrorEvent{kind, buffer_.size(), fid, time});
    buffer_.clear();
    inFrame_ = false;
    flagged_ = false;
    // The rest of the broken frame still arrives under its FID: drop it.
    discarding_ = keepFid;
    discardFid_ = fid;
}

void FrameAssembler::Finish(int64_t time, bool sawEof) {
    inFrame_ = false;
    haveLast_ = sawEof;
    lastFid_ = fid_;
    if (flagged_) {
        GiveUp(StreamError::ErrorBit, fid_, time, false);
        return;
    }
    if (buffer_.size() != expected_) {
        GiveUp(StreamError::ShortFrame, fid_, time, false);
        return;
    }
    if (!sawEof) ++withoutEof_;
    Frame frame;
    frame.bytes.swap(buffer_);
    frame.fid = fid_;
    frame.time = time;
    frame.sequence = ++frames_;
    buffer_.reserve(expected_);
    if (onFrame) onFrame(std::move(frame));
}

void FrameAssembler::Packet(const uint8_t* data, size_t length, USBD_STATUS status, int64_t time) {
    if (!USBD_SUCCESS(status)) {
        GiveUp(StreamError::PacketStatus, inFrame_ ? fid_ : 0, time, inFrame_);
        return;
    }
    if (length == 0) return;  // nothing sent in this interval
    uint8_t headerLength = data[0];
    uint8_t info = length >= 2 ? data[1] : 0;
    size_t needed = 2 + ((info & HEADER_PTS) ? 4 : 0) + ((info & HEADER_SCR) ? 6 : 0);
    if (length < 2 || headerLength < needed || headerLength > length) {
        GiveUp(StreamError::Header, inFrame_ ? fid_ : 0, time, inFrame_);
        return;
    }
    uint8_t fid = info & HEADER_FID;
    if (discarding_) {
        if (fid == discardFid_) {
            ++dropped_;
            return;
        }
        discarding_ = false;
    }
    if (inFrame_ && fid != fid_) Finish(time, false);  // the FID toggled without an EOF
    if (!inFrame_) {
        if (haveLast_ && fid == lastFid_) {
            // The previous frame ended with EOF under this FID: this payload
            // belongs to no frame.
            ++errors_;
            ++dropped_;
            if (onError) onError(StreamErrorEvent{StreamError::OutOfSync, 0, fid, time});
            discarding_ = true;
            discardFid_ = fid;
            return;
        }
        inFrame_ = true;
        fid_ = fid;
        flagged_ = false;
        buffer_.clear();
    }
    if (info & HEADER_ERR) flagged_ = true;
    size_t payload = length - headerLength;
    if (buffer_.size() + payload > expected_) {
        GiveUp(StreamError::OversizedFrame, fid, time, !(info & HEADER_EOF));
        haveLast_ = (info & HEADER_EOF) != 0;
        lastFid_ = fid;
        return;
    }
    buffer_.insert(buffer_.end(), data + headerLength, data + length);
    if (info & HEADER_EOF) Finish(time, true);
}

}  // namespace uvc
}  // namespace usbclass
