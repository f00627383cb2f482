// USB Video Class 1.x: the class-specific descriptors of a video function,
// the probe/commit control, and the reassembly of frames from isochronous
// payloads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "usbclass/descriptors.h"

namespace usbclass {
namespace uvc {

constexpr uint8_t CS_INTERFACE = 0x24;
constexpr uint8_t CS_ENDPOINT = 0x25;

constexpr uint8_t SC_VIDEOCONTROL = 0x01;
constexpr uint8_t SC_VIDEOSTREAMING = 0x02;
constexpr uint8_t SC_VIDEO_INTERFACE_COLLECTION = 0x03;

// Video-control descriptor subtypes.
constexpr uint8_t VC_HEADER = 0x01;
constexpr uint8_t VC_INPUT_TERMINAL = 0x02;
constexpr uint8_t VC_OUTPUT_TERMINAL = 0x03;
constexpr uint8_t VC_SELECTOR_UNIT = 0x04;
constexpr uint8_t VC_PROCESSING_UNIT = 0x05;
constexpr uint8_t VC_EXTENSION_UNIT = 0x06;
constexpr uint8_t EP_INTERRUPT = 0x03;

// Video-streaming descriptor subtypes.
constexpr uint8_t VS_INPUT_HEADER = 0x01;
constexpr uint8_t VS_OUTPUT_HEADER = 0x02;
constexpr uint8_t VS_STILL_IMAGE_FRAME = 0x03;
constexpr uint8_t VS_FORMAT_UNCOMPRESSED = 0x04;
constexpr uint8_t VS_FRAME_UNCOMPRESSED = 0x05;
constexpr uint8_t VS_FORMAT_MJPEG = 0x06;
constexpr uint8_t VS_FRAME_MJPEG = 0x07;
constexpr uint8_t VS_COLORFORMAT = 0x0D;

constexpr uint16_t TT_STREAMING = 0x0101;
constexpr uint16_t ITT_CAMERA = 0x0201;

// Class requests and the streaming controls.
constexpr uint8_t SET_CUR = 0x01;
constexpr uint8_t GET_CUR = 0x81;
constexpr uint8_t GET_MIN = 0x82;
constexpr uint8_t GET_MAX = 0x83;
constexpr uint8_t GET_RES = 0x84;
constexpr uint8_t GET_LEN = 0x85;
constexpr uint8_t GET_INFO = 0x86;
constexpr uint8_t GET_DEF = 0x87;
constexpr uint8_t VS_PROBE_CONTROL = 0x01;
constexpr uint8_t VS_COMMIT_CONTROL = 0x02;
constexpr size_t PROBE_COMMIT_SIZE = 26;  // the UVC 1.0 form

// Payload header bits.
constexpr uint8_t HEADER_FID = 0x01;
constexpr uint8_t HEADER_EOF = 0x02;
constexpr uint8_t HEADER_PTS = 0x04;
constexpr uint8_t HEADER_SCR = 0x08;
constexpr uint8_t HEADER_STI = 0x20;
constexpr uint8_t HEADER_ERR = 0x40;
constexpr uint8_t HEADER_EOH = 0x80;

struct Entity {
    uint8_t id = 0;
    uint8_t subtype = 0;
    uint16_t terminalType = 0;  // terminals only
    std::vector<uint8_t> sources;
};

struct FrameInfo {
    uint8_t index = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t maxFrameBufferSize = 0;
    uint32_t defaultInterval = 0;
    std::vector<uint32_t> intervals;  // discrete intervals, or {min, max, step} when continuous
    bool continuous = false;
};

struct FormatInfo {
    uint8_t index = 0;
    uint8_t guid[16] = {};
    uint8_t bitsPerPixel = 0;
    uint8_t defaultFrameIndex = 0;
    uint8_t declaredFrames = 0;  // bNumFrameDescriptors
    std::vector<FrameInfo> frames;
    const FrameInfo* Frame(uint8_t index) const;
    uint32_t FrameBytes(const FrameInfo& frame) const {
        return (uint32_t)frame.width * frame.height * (bitsPerPixel / 8u);
    }
};

struct StreamingAlternate {
    uint8_t alternate = 0;
    uint8_t endpointAddress = 0;
    uint32_t bytesPerInterval = 0;  // what one isochronous packet may carry
    uint8_t interval = 0;
};

struct VideoFunctionInfo {
    uint8_t controlInterface = 0;
    uint8_t streamingInterface = 0;
    uint16_t bcdUVC = 0;
    uint32_t clockFrequency = 0;
    std::vector<Entity> entities;
    uint8_t endpointAddress = 0;  // from the input header
    uint8_t terminalLink = 0;
    std::vector<FormatInfo> formats;  // uncompressed formats only
    std::vector<StreamingAlternate> alternates;  // the ones with an isochronous endpoint

    const FormatInfo* Format(uint8_t index) const;
    const Entity* FindEntity(uint8_t id) const;
};

// Validates the class-specific descriptors of one video function (an
// interface collection: one video-control interface and its streaming
// interface) and fills `out`. Errors are what a host video driver refuses
// to load on; warnings what it logs and tolerates.
bool ValidateVideoFunction(const ConfigurationInfo& configuration, const FunctionInfo& function,
                           VideoFunctionInfo& out, Findings& findings);

// The 26-byte video probe and commit control of UVC 1.0.
struct ProbeCommit {
    uint16_t bmHint = 0;
    uint8_t bFormatIndex = 0;
    uint8_t bFrameIndex = 0;
    uint32_t dwFrameInterval = 0;
    uint16_t wKeyFrameRate = 0;
    uint16_t wPFrameRate = 0;
    uint16_t wCompQuality = 0;
    uint16_t wCompWindowSize = 0;
    uint16_t wDelay = 0;
    uint32_t dwMaxVideoFrameSize = 0;
    uint32_t dwMaxPayloadTransferSize = 0;
};
void EncodeProbe(const ProbeCommit& probe, uint8_t* bytes26);
ProbeCommit DecodeProbe(const uint8_t* bytes26);

// --- frame reassembly ----------------------------------------------------------------
struct Frame {
    std::vector<uint8_t> bytes;
    uint8_t fid = 0;
    int64_t time = 0;       // interrupt time (100 ns) of the transfer that ended the frame
    uint64_t sequence = 0;  // counts delivered frames from 1
};

enum class StreamError {
    PacketStatus,   // the bus reported an error for a packet
    Header,         // a payload header that cannot be read
    ShortFrame,     // a frame ended with fewer bytes than the format's frame size
    OversizedFrame, // more bytes than the frame size before the frame ended
    OutOfSync,      // payload of a frame that already ended (FID did not toggle)
    ErrorBit,       // the device flagged the frame with the header's error bit
};
const char* StreamErrorName(StreamError error);

struct StreamErrorEvent {
    StreamError kind = StreamError::Header;
    size_t bytes = 0;  // bytes of the frame gathered when it was given up
    uint8_t fid = 0;
    int64_t time = 0;
};

// Rebuilds frames from payloads: a change of FID starts a frame, EOF ends
// it; a frame must come out at exactly the expected size. Payloads after a
// given-up frame are dropped until the FID toggles.
class FrameAssembler {
public:
    std::function<void(Frame&&)> onFrame;
    std::function<void(const StreamErrorEvent&)> onError;

    void Reset(size_t frameBytes);
    void Packet(const uint8_t* data, size_t length, USBD_STATUS status, int64_t time);

    uint64_t Frames() const { return frames_; }
    uint64_t Errors() const { return errors_; }
    uint64_t DroppedPayloads() const { return dropped_; }
    uint64_t FramesWithoutEof() const { return withoutEof_; }

private:
    void GiveUp(StreamError kind, uint8_t fid, int64_t time, bool keepFid);
    void Finish(int64_t time, bool sawEof);

    size_t expected_ = 0;
    std::vector<uint8_t> buffer_;
    bool inFrame_ = false;
    uint8_t fid_ = 0;
    bool flagged_ = false;
    bool discarding_ = false;
    uint8_t discardFid_ = 0;
    bool haveLast_ = false;
    uint8_t lastFid_ = 0;
    uint64_t frames_ = 0, errors_ = 0, dropped_ = 0, withoutEof_ = 0;
};

}  // namespace uvc
}  // namespace usbclass
