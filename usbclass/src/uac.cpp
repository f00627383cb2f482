// Audio class 1.0 descriptor validation.
#include "usbclass/uac.h"

#include "class_parse.h"

namespace usbclass {
namespace uac {

using detail::Format;

namespace {

void ParseEntity(const RawDescriptor& d, Entity& e, detail::EntityLength& need, Findings& findings) {
    switch (d.Subtype()) {
    case AC_INPUT_TERMINAL:
        if (!need(12, "input terminal")) break;
        e.id = d.At(3);
        e.terminalType = d.Word(4);
        e.channels = d.At(7);
        if (e.channels == 0) findings.Error(Format("audio control: input terminal %u has no channel", e.id));
        break;
    case AC_OUTPUT_TERMINAL:
        if (!need(9, "output terminal")) break;
        e.id = d.At(3);
        e.terminalType = d.Word(4);
        e.sources.push_back(d.At(7));
        break;
    case AC_MIXER_UNIT:
        if (!need(5, "mixer unit") || !need(5u + d.At(4), "mixer unit")) break;
        e.id = d.At(3);
        for (uint8_t p = 0; p < d.At(4); ++p) e.sources.push_back(d.At(5 + p));
        break;
    case AC_SELECTOR_UNIT:
        if (!need(5, "selector unit") || !need(6u + d.At(4), "selector unit")) break;
        e.id = d.At(3);
        for (uint8_t p = 0; p < d.At(4); ++p) e.sources.push_back(d.At(5 + p));
        break;
    case AC_FEATURE_UNIT:
        if (!need(7, "feature unit")) break;
        e.id = d.At(3);
        e.sources.push_back(d.At(4));
        if (d.At(5) == 0 || (d.Length() - 7) % d.At(5) != 0) {
            findings.Error(Format("audio control: feature unit %u has bControlSize %u for bLength %u", e.id, d.At(5),
                                  d.Length()));
            need.good = false;
        }
        break;
    case AC_PROCESSING_UNIT:
    case AC_EXTENSION_UNIT:
        if (!need(7, "processing or extension unit") || !need(7u + d.At(6), "processing or extension unit")) break;
        e.id = d.At(3);
        for (uint8_t p = 0; p < d.At(6); ++p) e.sources.push_back(d.At(7 + p));
        break;
    default:
        findings.Warn(Format("audio control: unknown subtype 0x%02X at offset %zu ignored", d.Subtype(), d.offset));
        need.good = false;
        break;
    }
}

void ParseEntities(const std::vector<RawDescriptor>& descriptors, AudioFunctionInfo& out, Findings& findings) {
    detail::ParseEntities(descriptors, "audio control", AC_HEADER, out.entities, findings,
                          [&](const RawDescriptor& d, Entity& e, detail::EntityLength& need) {
                              ParseEntity(d, e, need, findings);
                          });
}

// The input terminal a chain of units ends in, for channel counts.
const Entity* ChainSource(const AudioFunctionInfo& info, const Entity* e) {
    for (int hops = 0; e && hops < 32; ++hops) {
        if (e->subtype == AC_INPUT_TERMINAL) return e;
        if (e->sources.empty()) return nullptr;
        e = info.FindEntity(e->sources[0]);
    }
    return nullptr;
}

void ParseStream(const InterfaceInfo& interface, const AltSetting& alt, AudioFunctionInfo& out, Findings& findings) {
    std::string where = Format("audio streaming interface %u alternate %u", interface.number, alt.descriptor.bAlternateSetting);
    const RawDescriptor* general = nullptr;
    const RawDescriptor* format = nullptr;
    for (const RawDescriptor& d : alt.classSpecific) {
        if (d.Type() != CS_INTERFACE) continue;
        if (d.Subtype() == AS_GENERAL && !general) general = &d;
        else if (d.Subtype() == AS_FORMAT_TYPE && !format) format = &d;
    }
    if (!general || general->Length() != 7) {
        findings.Error(where + ": no 7-byte class-specific AS_GENERAL descriptor");
        return;
    }
    if (!format || format->Length() < 8) {
        findings.Error(where + ": no format type descriptor");
        return;
    }
    StreamInfo s;
    s.interfaceNumber = interface.number;
    s.alternate = alt.descriptor.bAlternateSetting;
    s.terminalLink = general->At(3);
    s.format.formatTag = general->Word(5);
    size_t before = findings.Errors();
    if (s.format.formatTag != FORMAT_PCM && s.format.formatTag != FORMAT_PCM8 && s.format.formatTag != FORMAT_IEEE_FLOAT)
        findings.Error(Format("%s: wFormatTag 0x%04X is not a type I format this driver plays", where.c_str(), s.format.formatTag));
    const Entity* link = out.FindEntity(s.terminalLink);
    if (!link || link->terminalType != TT_USB_STREAMING ||
        (link->subtype != AC_INPUT_TERMINAL && link->subtype != AC_OUTPUT_TERMINAL)) {
        findings.Error(Format("%s: bTerminalLink %u is no USB streaming terminal", where.c_str(), s.terminalLink));
        return;
    }
    s.capture = link->subtype == AC_OUTPUT_TERMINAL;

    if (format->At(3) != FORMAT_TYPE_I) {
        findings.Error(Format("%s: format type %u is not type I", where.c_str(), format->At(3)));
        return;
    }
    s.format.channels = format->At(4);
    s.format.subframeSize = format->At(5);
    s.format.bitResolution = format->At(6);
    uint8_t rates = format->At(7);
    size_t expectedLength = rates == 0 ? 14 : 8 + 3u * rates;
    if (format->Length() != expectedLength) {
        findings.Error(Format("%s: format type descriptor bLength %u, %zu for %u rate(s)", where.c_str(), format->Length(),
                              expectedLength, rates));
        return;
    }
    s.format.continuous = rates == 0;
    for (size_t k = 0; k < (rates == 0 ? 2u : rates); ++k) {
        uint32_t rate = format->Triple(8 + 3 * k);
        if (rate == 0) findings.Error(where + ": sampling frequency 0");
        s.format.rates.push_back(rate);
    }
    if (s.format.channels == 0) findings.Error(where + ": no channel");
    if (s.format.subframeSize < 1 || s.format.subframeSize > 4)
        findings.Error(Format("%s: bSubframeSize %u", where.c_str(), s.format.subframeSize));
    if (s.format.bitResolution == 0 || s.format.bitResolution > 8u * s.format.subframeSize)
        findings.Error(Format("%s: bBitResolution %u does not fit %u-byte subframes", where.c_str(), s.format.bitResolution,
                              s.format.subframeSize));
    const Entity* source = s.capture ? ChainSource(out, out.FindEntity(link->sources.empty() ? 0 : link->sources[0])) : link;
    if (source && source->channels && source->channels != s.format.channels)
        findings.Warn(Format("%s: %u channel(s) in the format, %u at terminal %u", where.c_str(), s.format.channels,
                             source->channels, source->id));

    // The isochronous data endpoint and its class-specific descriptor.
    const EndpointInfo* data = nullptr;
    for (const EndpointInfo& ep : alt.endpoints)
        if (ep.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
            (ep.descriptor.bmAttributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK) == 0 && !data)
            data = &ep;
    if (!data) {
        findings.Error(where + ": no isochronous data endpoint");
        return;
    }
    if (data->raw.Length() != 9)
        findings.Error(Format("%s: endpoint 0x%02X has bLength %u; audio endpoints carry 9 bytes", where.c_str(),
                              data->Address(), data->raw.Length()));
    if (data->In() != s.capture)
        findings.Error(Format("%s: endpoint 0x%02X runs against the stream's direction", where.c_str(), data->Address()));
    if (data->classSpecific.empty() || data->classSpecific[0].Type() != CS_ENDPOINT ||
        data->classSpecific[0].Subtype() != EP_GENERAL || data->classSpecific[0].Length() != 7)
        findings.Error(Format("%s: endpoint 0x%02X is not followed by its 7-byte class-specific descriptor", where.c_str(),
                              data->Address()));
    s.endpointAddress = data->Address();
    s.maxPacketSize = (uint16_t)data->BytesPerInterval();
    s.interval = data->descriptor.bInterval;
    s.synchronization = data->descriptor.bmAttributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK;
    // One service interval (2^(bInterval-1) microframes) must hold the audio of
    // that interval at the highest rate.
    if (s.interval >= 1 && s.interval <= 16 && !s.format.rates.empty()) {
        uint64_t maxRate = 0;
        for (uint32_t r : s.format.rates) maxRate = r > maxRate ? r : maxRate;
        uint64_t periodMicroseconds = 125ull << (s.interval - 1);
        uint64_t frames = (maxRate * periodMicroseconds + 999999) / 1000000;
        uint64_t need = frames * s.format.BytesPerFrame();
        if (need > s.maxPacketSize)
            findings.Error(Format("%s: endpoint 0x%02X carries %u bytes per interval, the stream needs %llu", where.c_str(),
                                  data->Address(), s.maxPacketSize, (unsigned long long)need));
    }
    if (findings.Errors() == before) out.streams.push_back(s);
}

}  // namespace

const Entity* AudioFunctionInfo::FindEntity(uint8_t id) const {
    for (const Entity& e : entities)
        if (e.id == id) return &e;
    return nullptr;
}

const StreamInfo* AudioFunctionInfo::Capture() const {
    for (const StreamInfo& s : streams)
        if (s.capture) return &s;
    return nullptr;
}

const StreamInfo* AudioFunctionInfo::Playback() const {
    for (const StreamInfo& s : streams)
        if (!s.capture) return &s;
    return nullptr;
}

bool ValidateAudioFunction(const ConfigurationInfo& configuration, const FunctionInfo& function,
                           AudioFunctionInfo& out, Findings& findings) {
    size_t before = findings.Errors();
    out = AudioFunctionInfo{};
    const AltSetting* ac = function.interfaces.empty() ? nullptr : configuration.Alternate(function.interfaces[0], 0);
    if (!ac || ac->descriptor.bInterfaceClass != USB_DEVICE_CLASS_AUDIO ||
        ac->descriptor.bInterfaceSubClass != SC_AUDIOCONTROL) {
        findings.Error("audio function does not begin with an audio-control interface");
        return false;
    }
    out.controlInterface = function.interfaces[0];
    if (ac->classSpecific.empty() || ac->classSpecific[0].Type() != CS_INTERFACE ||
        ac->classSpecific[0].Subtype() != AC_HEADER) {
        findings.Error("audio-control interface: the class-specific header does not follow the interface descriptor");
        return false;
    }
    const RawDescriptor& header = ac->classSpecific[0];
    if (header.Length() < 8 || header.Length() < 8u + header.At(7)) {
        findings.Error(Format("audio-control header: bLength %u too short", header.Length()));
        return false;
    }
    out.bcdADC = header.Word(3);
    if (out.bcdADC != 0x0100)
        findings.Error(Format("audio-control header: bcdADC 0x%04X is not audio class 1.0", out.bcdADC));
    size_t total = detail::ClassSpecificLength(ac->classSpecific);
    if (header.Word(5) != total)
        findings.Error(Format("audio-control header: wTotalLength %u but the class-specific descriptors take %zu bytes",
                              header.Word(5), total));
    ParseEntities(ac->classSpecific, out, findings);

    if (header.At(7) == 0) findings.Error("audio-control header: no streaming interface in the collection");
    for (uint8_t i = 0; i < header.At(7); ++i) {
        uint8_t number = header.At(8 + i);
        bool inFunction = false;
        for (uint8_t n : function.interfaces) inFunction |= n == number;
        const InterfaceInfo* as = configuration.Interface(number);
        const AltSetting* as0 = as ? as->Alternate(0) : nullptr;
        if (!inFunction || !as0 || as0->descriptor.bInterfaceClass != USB_DEVICE_CLASS_AUDIO ||
            as0->descriptor.bInterfaceSubClass != SC_AUDIOSTREAMING) {
            findings.Error(Format("audio-control header names interface %u, which is no streaming interface of this function", number));
            continue;
        }
        for (const EndpointInfo& ep : as0->endpoints)
            if (ep.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS && ep.BytesPerInterval() != 0)
                findings.Error(Format("audio streaming interface %u: alternate setting 0 reserves isochronous bandwidth", number));
        bool operational = false;
        for (const AltSetting& alt : as->alternates) {
            if (alt.descriptor.bAlternateSetting == 0) continue;
            operational = true;
            ParseStream(*as, alt, out, findings);
        }
        if (!operational) findings.Error(Format("audio streaming interface %u has no operational alternate setting", number));
    }
    if (out.streams.empty()) findings.Error("audio function has no usable stream");
    return findings.Errors() == before;
}

}  // namespace uac
}  // namespace usbclass
