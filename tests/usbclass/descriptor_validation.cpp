// What the class drivers accept and refuse: the two devices' descriptor sets
// as they are, then spoiled one field at a time. Each malformed set must be
// refused with an error naming the fault; the quirks that hosts tolerate
// must come out as warnings and leave the function usable.
#include <gtest/gtest.h>

#include <functional>

#include "support/fixtures.h"
#include "usbclass/descriptors.h"
#include "usbclass/uac.h"
#include "usbclass/uvc.h"

namespace {

using usbclass::Findings;
using usbclass::Severity;
using Bytes = std::vector<uint8_t>;

struct Outcome {
    bool usable = false;
    Findings findings;
};

USB_DEVICE_DESCRIPTOR Device(const Bytes& bytes) {
    USB_DEVICE_DESCRIPTOR d{};
    Findings ignored;
    usbclass::ValidateDeviceDescriptor(bytes.data(), bytes.size(), d, ignored);
    return d;
}

Outcome ValidateVideo(const Bytes& configuration, const Bytes& device = fixtures::CameraDevice()) {
    Outcome o;
    usbclass::ConfigurationInfo info;
    if (!usbclass::ParseConfiguration(configuration, Device(device), info, o.findings)) return o;
    for (const usbclass::FunctionInfo& f : info.functions) {
        if (f.functionClass != USB_DEVICE_CLASS_VIDEO) continue;
        usbclass::uvc::VideoFunctionInfo video;
        o.usable = usbclass::uvc::ValidateVideoFunction(info, f, video, o.findings);
        return o;
    }
    o.findings.Error("no video function");
    return o;
}

Outcome ValidateAudio(const Bytes& configuration) {
    Outcome o;
    usbclass::ConfigurationInfo info;
    if (!usbclass::ParseConfiguration(configuration, Device(fixtures::AudioDevice()), info, o.findings)) return o;
    for (const usbclass::FunctionInfo& f : info.functions) {
        if (f.functionClass != USB_DEVICE_CLASS_AUDIO) continue;
        usbclass::uac::AudioFunctionInfo audio;
        o.usable = usbclass::uac::ValidateAudioFunction(info, f, audio, o.findings);
        return o;
    }
    o.findings.Error("no audio function");
    return o;
}

struct Case {
    const char* what;
    std::function<void(Bytes&)> spoil;
    Severity severity;
    const char* finding;  // text the finding contains
};

void Set(Bytes& b, size_t offset, std::initializer_list<uint8_t> values) {
    for (uint8_t v : values) b[offset++] = v;
}

TEST(VideoDescriptors, TheCameraIsAcceptedWithItsEndpointQuirkAsAWarning) {
    Outcome o = ValidateVideo(fixtures::CameraConfiguration());
    EXPECT_TRUE(o.usable) << o.findings.Describe();
    EXPECT_EQ(o.findings.Errors(), 0u) << o.findings.Describe();
    EXPECT_TRUE(o.findings.Has(Severity::Warning, "interface 0 alternate 0 declares 1 endpoint(s) but 0"))
        << o.findings.Describe();

    usbclass::ConfigurationInfo info;
    Findings f;
    ASSERT_TRUE(usbclass::ParseConfiguration(fixtures::CameraConfiguration(), Device(fixtures::CameraDevice()), info, f));
    ASSERT_EQ(info.functions.size(), 1u);
    usbclass::uvc::VideoFunctionInfo video;
    ASSERT_TRUE(usbclass::uvc::ValidateVideoFunction(info, info.functions[0], video, f));
    ASSERT_EQ(video.formats.size(), 1u);
    ASSERT_EQ(video.formats[0].frames.size(), 4u);
    EXPECT_EQ(video.formats[0].FrameBytes(video.formats[0].frames[3]), 1843200u);
    ASSERT_EQ(video.alternates.size(), 1u);
    EXPECT_EQ(video.alternates[0].bytesPerInterval, 2048u);  // 1024 bytes, two transactions
    EXPECT_EQ(video.endpointAddress, 0x82);
}

TEST(VideoDescriptors, MalformedSetsAreRefused) {
    // Offsets in the camera's set: configuration 0, association 9, interface 0
    // at 17, VC header 26, camera terminal 39, processing unit 57, output
    // terminal 68, extension unit 77, interface 1 alt 0 at 105, input header
    // 114, format 128, frames 155/189/223/257, colour 291, interface 1 alt 1
    // at 297, endpoint 306.
    const Case cases[] = {
        {"unknown video class release", [](Bytes& b) { Set(b, 29, {0x00, 0x02}); }, Severity::Error, "bcdUVC 0x0200"},
        {"VC wTotalLength off by one", [](Bytes& b) { b[31] = 0x50; }, Severity::Error, "wTotalLength 80 but"},
        {"output terminal fed by a missing unit", [](Bytes& b) { b[75] = 9; }, Severity::Error, "unknown entity 9"},
        {"processing unit fed by a missing terminal", [](Bytes& b) { b[61] = 7; }, Severity::Error, "unknown entity 7"},
        {"two entities with one ID", [](Bytes& b) { b[60] = 1; }, Severity::Error, "used twice"},
        {"processing unit fed by itself", [](Bytes& b) { b[61] = 2; }, Severity::Error, "entity 2 takes its input from itself"},
        {"extension unit with ID 0", [](Bytes& b) { b[80] = 0; }, Severity::Error, "entity at offset 77 has ID 0"},
        {"a second header among the units", [](Bytes& b) { b[79] = 0x01; }, Severity::Error, "second header at offset 77"},
        {"extension unit shorter than its pins", [](Bytes& b) { b[98] = 10; }, Severity::Error,
         "extension unit at offset 77 has bLength 28, needs 33"},
        {"unknown unit is skipped", [](Bytes& b) { b[79] = 0x09; }, Severity::Warning, "unknown subtype 0x09 at offset 77 ignored"},
        {"foreign descriptor among the units is skipped",
         [](Bytes& b) {
             b[78] = 0x25;
             b[31] = 0x33;  // the header's wTotalLength counts class-specific interface descriptors only
         },
         Severity::Warning,
         "descriptor type 0x25 at offset 77 ignored"},
        {"camera terminal shorter than its controls", [](Bytes& b) { b[53] = 4; }, Severity::Error, "camera terminal"},
        {"VS input header wTotalLength", [](Bytes& b) { b[118] = 0xB6; }, Severity::Error, "input header: wTotalLength 182"},
        {"VS header links the processing unit", [](Bytes& b) { b[122] = 2; }, Severity::Error, "no USB streaming output terminal"},
        {"format declares five frames", [](Bytes& b) { b[132] = 5; }, Severity::Error, "declares 5 frame"},
        {"format without bits per pixel", [](Bytes& b) { b[149] = 0; }, Severity::Error, "bBitsPerPixel 0"},
        {"default frame beyond the frames", [](Bytes& b) { b[150] = 5; }, Severity::Error, "bDefaultFrameIndex 5"},
        {"frame buffer one byte short", [](Bytes& b) { Set(b, 172, {0xFF, 0x45}); }, Severity::Error, "cannot hold 480x360"},
        {"frame interval count against bLength", [](Bytes& b) { b[180] = 3; }, Severity::Error, "bLength 34, 38"},
        {"frames out of order", [](Bytes& b) { b[192] = 3; }, Severity::Error, "out of order"},
        {"zero frame interval", [](Bytes& b) { Set(b, 181, {0, 0, 0, 0}); }, Severity::Error, "frame interval of 0"},
        {"high bandwidth with a small packet", [](Bytes& b) { Set(b, 310, {0x00, 0x0A}); }, Severity::Error, "513 to 1024"},
        {"reserved transaction count", [](Bytes& b) { b[311] = 0x1C; }, Severity::Error, "reserved transaction count"},
        {"isochronous bInterval 0", [](Bytes& b) { b[312] = 0; }, Severity::Error, "bInterval 0"},
        {"streaming endpoint is OUT", [](Bytes& b) { b[308] = 0x02; }, Severity::Error, "no isochronous endpoint 0x82"},
        {"zero bLength", [](Bytes& b) { b[291] = 0; }, Severity::Error, "bLength 0"},
        {"endpoint runs past wTotalLength", [](Bytes& b) { b[306] = 9; }, Severity::Error, "runs past wTotalLength"},
        {"wTotalLength beyond the bytes read", [](Bytes& b) { b[2] = 0x3A; }, Severity::Error, "wTotalLength 314 but 313"},
        {"three interfaces declared", [](Bytes& b) { b[4] = 3; }, Severity::Error, "declares 3 interface(s) but describes 2"},
        {"association beyond the interfaces", [](Bytes& b) { b[12] = 3; }, Severity::Error, "names interface 2"},
        {"alternate setting described twice", [](Bytes& b) { b[300] = 0; }, Severity::Error, "described twice"},
        {"endpoint beyond bNumEndpoints", [](Bytes& b) { b[301] = 0; }, Severity::Error, "beyond its 0 declared"},
        {"VC header names a missing streaming interface", [](Bytes& b) { b[38] = 2; }, Severity::Error, "names interface 2"},
        {"no streaming alternate with bandwidth", [](Bytes& b) { b[310] = 0x00; b[311] = 0x00; }, Severity::Warning, "wMaxPacketSize 0"},
        {"clock frequency 0 is tolerated", [](Bytes& b) { Set(b, 33, {0, 0, 0, 0}); }, Severity::Warning, "dwClockFrequency 0"},
        {"default interval outside the list is tolerated", [](Bytes& b) { b[176] = 0x16; }, Severity::Warning, "default interval"},
    };
    for (const Case& c : cases) {
        Bytes b = fixtures::CameraConfiguration();
        c.spoil(b);
        Outcome o = ValidateVideo(b);
        EXPECT_TRUE(o.findings.Has(c.severity, c.finding)) << c.what << "\n" << o.findings.Describe();
        if (c.severity == Severity::Error)
            EXPECT_FALSE(o.usable && o.findings.Ok()) << c.what;
        else
            EXPECT_TRUE(o.usable) << c.what << "\n" << o.findings.Describe();
    }
}

TEST(VideoDescriptors, AssociationsNeedTheDeviceClassThatAnnouncesThem) {
    // Without class 0xEF/0x02/0x01 the association is ignored and the video
    // control interface stands alone, without its streaming interface.
    Bytes device = fixtures::CameraDevice();
    Set(device, 4, {0x00, 0x00, 0x00});
    Outcome o = ValidateVideo(fixtures::CameraConfiguration(), device);
    EXPECT_TRUE(o.findings.Has(Severity::Warning, "interface associations ignored")) << o.findings.Describe();
    EXPECT_FALSE(o.usable);
}

TEST(AudioDescriptors, TheAudioDeviceIsAcceptedWithItsEndpointQuirkAsAWarning) {
    Outcome o = ValidateAudio(fixtures::AudioConfiguration());
    EXPECT_TRUE(o.usable) << o.findings.Describe();
    EXPECT_EQ(o.findings.Errors(), 0u) << o.findings.Describe();
    EXPECT_TRUE(o.findings.Has(Severity::Warning, "interface 0 alternate 0 declares 1 endpoint(s) but 0"))
        << o.findings.Describe();

    usbclass::ConfigurationInfo info;
    Findings f;
    ASSERT_TRUE(usbclass::ParseConfiguration(fixtures::AudioConfiguration(), Device(fixtures::AudioDevice()), info, f));
    ASSERT_EQ(info.functions.size(), 1u);  // control and both streams, grouped without an association
    EXPECT_EQ(info.functions[0].interfaces, (std::vector<uint8_t>{0, 1, 2}));
    usbclass::uac::AudioFunctionInfo audio;
    ASSERT_TRUE(usbclass::uac::ValidateAudioFunction(info, info.functions[0], audio, f));
    ASSERT_NE(audio.Capture(), nullptr);
    ASSERT_NE(audio.Playback(), nullptr);
    EXPECT_EQ(audio.Capture()->endpointAddress, 0x81);
    EXPECT_EQ(audio.Playback()->endpointAddress, 0x02);
    EXPECT_EQ(audio.Capture()->format.rates, (std::vector<uint32_t>{48000}));
    EXPECT_EQ(audio.Capture()->format.BytesPerFrame(), 4u);
}

TEST(AudioDescriptors, MalformedSetsAreRefused) {
    // Offsets: interface 0 at 9, AC header 18, input terminal 1 at 28, output
    // terminal 3 at 40, input terminal 4 at 49, output terminal 6 at 61,
    // interface 1 alt 1 at 79, AS general 88, format 95, endpoint 0x81 at
    // 106, its class-specific descriptor 115, interface 2 alt 1 at 131.
    const Case cases[] = {
        {"not audio class 1.0", [](Bytes& b) { Set(b, 21, {0x00, 0x02}); }, Severity::Error, "bcdADC 0x0200"},
        {"AC wTotalLength", [](Bytes& b) { b[23] = 0x33; }, Severity::Error, "wTotalLength 51"},
        {"collection names a missing interface", [](Bytes& b) { b[27] = 3; }, Severity::Error, "names interface 3"},
        {"speaker fed by a missing unit", [](Bytes& b) { b[68] = 5; }, Severity::Error, "unknown entity 5"},
        {"speaker fed by itself", [](Bytes& b) { b[68] = 6; }, Severity::Error, "entity 6 takes its input from itself"},
        {"output terminal with ID 0", [](Bytes& b) { b[43] = 0; }, Severity::Error, "entity at offset 40 has ID 0"},
        {"a second header among the terminals", [](Bytes& b) { b[42] = 0x01; }, Severity::Error, "second header at offset 40"},
        {"two terminals with one ID", [](Bytes& b) { b[52] = 1; }, Severity::Error, "entity ID 1 used twice"},
        {"terminal without channels", [](Bytes& b) { b[35] = 0; }, Severity::Error, "has no channel"},
        {"stream linked to the speaker terminal", [](Bytes& b) { b[91] = 6; }, Severity::Error, "bTerminalLink 6"},
        {"unknown format tag", [](Bytes& b) { Set(b, 93, {0x00, 0x20}); }, Severity::Error, "wFormatTag 0x2000"},
        {"format type II", [](Bytes& b) { b[98] = 2; }, Severity::Error, "format type 2"},
        {"two rates in room for one", [](Bytes& b) { b[102] = 2; }, Severity::Error, "bLength 11, 14 for 2"},
        {"resolution beyond the subframe", [](Bytes& b) { b[101] = 24; }, Severity::Error, "bBitResolution 24"},
        {"sampling frequency 0", [](Bytes& b) { Set(b, 103, {0, 0, 0}); }, Severity::Error, "sampling frequency 0"},
        {"packet too small for a millisecond", [](Bytes& b) { b[110] = 96; }, Severity::Error, "needs 192"},
        {"capture endpoint is OUT", [](Bytes& b) { b[108] = 0x01; }, Severity::Error, "runs against"},
        {"class-specific endpoint missing", [](Bytes& b) { b[116] = 0x24; }, Severity::Error, "7-byte class-specific"},
        {"seven-byte audio endpoint",
         [](Bytes& b) {
             b.erase(b.begin() + 113, b.begin() + 115);
             b[106] = 7;
             fixtures::FixTotalLength(b);
         },
         Severity::Error, "audio endpoints carry 9 bytes"},
        {"streaming alternate 0 with bandwidth",
         [](Bytes& b) {
             b[74] = 1;  // interface 1 alt 0 declares an endpoint
             const uint8_t ep[] = {0x09, 0x05, 0x81, 0x0D, 0xC0, 0x00, 0x04, 0x00, 0x00};
             b.insert(b.begin() + 79, ep, ep + sizeof ep);
             fixtures::FixTotalLength(b);
         },
         Severity::Error, "alternate setting 0 reserves isochronous bandwidth"},
        {"one channel where the terminal has two", [](Bytes& b) { b[99] = 1; }, Severity::Warning, "1 channel(s) in the format, 2 at terminal 1"},
    };
    for (const Case& c : cases) {
        Bytes b = fixtures::AudioConfiguration();
        c.spoil(b);
        Outcome o = ValidateAudio(b);
        EXPECT_TRUE(o.findings.Has(c.severity, c.finding)) << c.what << "\n" << o.findings.Describe();
        if (c.severity == Severity::Error)
            EXPECT_FALSE(o.usable && o.findings.Ok()) << c.what;
        else
            EXPECT_TRUE(o.usable) << c.what << "\n" << o.findings.Describe();
    }
}

TEST(DeviceDescriptor, FieldsAHostChecks) {
    struct DeviceCase {
        const char* what;
        std::function<void(Bytes&)> spoil;
        Severity severity;
        const char* finding;
    } cases[] = {
        {"bLength 17", [](Bytes& b) { b[0] = 17; }, Severity::Error, "bLength 17"},
        {"wrong type", [](Bytes& b) { b[1] = 2; }, Severity::Error, "bDescriptorType 2"},
        {"impossible control packet size", [](Bytes& b) { b[7] = 7; }, Severity::Error, "bMaxPacketSize0 7"},
        {"full-speed control packet size", [](Bytes& b) { b[7] = 8; }, Severity::Warning, "bMaxPacketSize0 64, not 8"},
        {"no configuration", [](Bytes& b) { b[17] = 0; }, Severity::Error, "no configuration"},
        {"returned short", [](Bytes& b) { b.resize(17); }, Severity::Error, "17 bytes returned"},
    };
    for (const DeviceCase& c : cases) {
        Bytes b = fixtures::AudioDevice();
        c.spoil(b);
        USB_DEVICE_DESCRIPTOR d{};
        Findings f;
        bool ok = usbclass::ValidateDeviceDescriptor(b.data(), b.size(), d, f);
        EXPECT_TRUE(f.Has(c.severity, c.finding)) << c.what << "\n" << f.Describe();
        EXPECT_EQ(ok, c.severity == Severity::Warning) << c.what;
    }
    Bytes good = fixtures::CameraDevice();
    USB_DEVICE_DESCRIPTOR d{};
    Findings f;
    EXPECT_TRUE(usbclass::ValidateDeviceDescriptor(good.data(), good.size(), d, f));
    EXPECT_TRUE(f.items.empty()) << f.Describe();
    EXPECT_EQ(d.idVendor, 0xFC01);
}

}  // namespace
