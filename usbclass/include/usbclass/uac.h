// USB Audio Class 1.0: the class-specific descriptors of an audio function
// (one audio-control interface and its streaming interfaces).
#pragma once

#include <cstdint>
#include <vector>

#include "usbclass/descriptors.h"

namespace usbclass {
namespace uac {

constexpr uint8_t CS_INTERFACE = 0x24;
constexpr uint8_t CS_ENDPOINT = 0x25;

constexpr uint8_t SC_AUDIOCONTROL = 0x01;
constexpr uint8_t SC_AUDIOSTREAMING = 0x02;

constexpr uint8_t AC_HEADER = 0x01;
constexpr uint8_t AC_INPUT_TERMINAL = 0x02;
constexpr uint8_t AC_OUTPUT_TERMINAL = 0x03;
constexpr uint8_t AC_MIXER_UNIT = 0x04;
constexpr uint8_t AC_SELECTOR_UNIT = 0x05;
constexpr uint8_t AC_FEATURE_UNIT = 0x06;
constexpr uint8_t AC_PROCESSING_UNIT = 0x07;
constexpr uint8_t AC_EXTENSION_UNIT = 0x08;

constexpr uint8_t AS_GENERAL = 0x01;
constexpr uint8_t AS_FORMAT_TYPE = 0x02;
constexpr uint8_t EP_GENERAL = 0x01;
constexpr uint8_t FORMAT_TYPE_I = 0x01;

constexpr uint16_t TT_USB_STREAMING = 0x0101;
constexpr uint16_t FORMAT_PCM = 0x0001;
constexpr uint16_t FORMAT_PCM8 = 0x0002;
constexpr uint16_t FORMAT_IEEE_FLOAT = 0x0003;

struct Entity {
    uint8_t id = 0;
    uint8_t subtype = 0;
    uint16_t terminalType = 0;
    uint8_t channels = 0;  // input terminals
    std::vector<uint8_t> sources;
};

struct StreamFormat {
    uint16_t formatTag = 0;
    uint8_t channels = 0;
    uint8_t subframeSize = 0;
    uint8_t bitResolution = 0;
    std::vector<uint32_t> rates;  // discrete rates, or {min, max} when continuous
    bool continuous = false;
    uint32_t BytesPerFrame() const { return (uint32_t)channels * subframeSize; }
};

// One operational alternate setting of a streaming interface.
struct StreamInfo {
    uint8_t interfaceNumber = 0;
    uint8_t alternate = 0;
    uint8_t terminalLink = 0;
    bool capture = false;  // device to host (IN); playback otherwise
    StreamFormat format;
    uint8_t endpointAddress = 0;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;
    uint8_t synchronization = 0;  // bmAttributes bits 2-3
};

struct AudioFunctionInfo {
    uint8_t controlInterface = 0;
    uint16_t bcdADC = 0;
    std::vector<Entity> entities;
    std::vector<StreamInfo> streams;

    const Entity* FindEntity(uint8_t id) const;
    const StreamInfo* Capture() const;
    const StreamInfo* Playback() const;
};

bool ValidateAudioFunction(const ConfigurationInfo& configuration, const FunctionInfo& function,
                           AudioFunctionInfo& out, Findings& findings);

}  // namespace uac
}  // namespace usbclass
