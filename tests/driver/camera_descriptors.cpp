// The camera's descriptors, byte for byte, and the string texts built from
// the product name.
#include <gtest/gtest.h>

#include "support/media_fixture.h"
#include "support/media_hex.h"

using media::Bench;
using media::Hex;

namespace {

const char* const kCameraConfig[] = {
    "09 02 39 01 02 01 00 C0 01",
    "08 0B 00 02 0E 03 00 02",
    "09 04 00 00 01 0E 01 00 05",
    "0D 24 01 00 01 4F 00 80 C3 C9 01 01 01",
    "12 24 02 01 01 02 00 00 00 00 00 00 00 00 03 0A 00 00",
    "0B 24 05 02 01 00 00 02 7B 17 00",
    "09 24 03 03 01 01 00 02 00",
    "1C 24 06 04 A6 4D F0 88 13 F7 4A 45 B6 25 37 93 AE 44 75 16 08 01 01 03 00 00 00 00",
    "09 04 01 00 00 0E 02 00 00",
    "0E 24 01 01 B7 00 82 00 03 00 00 00 01 00",
    "1B 24 04 01 04 59 55 59 32 00 00 10 00 80 00 00 AA 00 38 9B 71 10 01 00 00 00 00",
    "22 24 05 01 00 E0 01 68 01 00 88 BB 00 00 00 B8 0B 00 46 05 00 15 16 05 00 02 15 16 05 00 2B 2C 0A 00",
    "22 24 05 02 00 80 02 E0 01 00 88 BB 00 00 00 B8 0B 00 60 09 00 15 16 05 00 02 15 16 05 00 2B 2C 0A 00",
    "22 24 05 03 00 D0 02 E0 01 00 88 BB 00 00 00 B8 0B 00 8C 0A 00 15 16 05 00 02 15 16 05 00 2B 2C 0A 00",
    "22 24 05 04 00 00 05 D0 02 00 88 BB 00 00 00 B8 0B 00 20 1C 00 15 16 05 00 02 15 16 05 00 2B 2C 0A 00",
    "06 24 0D 01 01 04",
    "09 04 01 01 01 0E 02 00 00",
    "07 05 82 05 00 0C 01",
};

std::vector<uint8_t> ExpectedCameraConfig() {
    std::vector<uint8_t> all;
    for (const char* d : kCameraConfig) {
        auto bytes = Hex(d);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    return all;
}

std::u16string Text(const USB_STRING_DESCRIPTOR* d) {
    return std::u16string(reinterpret_cast<const char16_t*>(d->bString), (d->bLength - 2) / 2);
}

}  // namespace

TEST(CameraDescriptors, ConfigurationSetIsTheFixed313Bytes) {
    Bench bench;
    PUSB_CONFIGURATION_DESCRIPTOR block = Camera::Touch_GetConfigrationDescriptor();
    ASSERT_NE(block, nullptr);
    auto expected = ExpectedCameraConfig();
    ASSERT_EQ(expected.size(), 313u);
    std::vector<uint8_t> got((uint8_t*)block, (uint8_t*)block + VHUB_CONFIG_BLOCK_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 313), expected);
    // The rest of the 4096-byte block is zero.
    EXPECT_EQ(std::count(got.begin() + 313, got.end(), 0), 4096 - 313);
    ExFreePool(block);
}

TEST(CameraDescriptors, DeviceDescriptorCarriesTheIdsButAFixedRevision) {
    Bench bench;
    PUSB_DEVICE_DESCRIPTOR d = Camera::Touch_GetDeviceDescriptor(0xFC01, 0xFD01);
    ASSERT_NE(d, nullptr);
    std::vector<uint8_t> got((uint8_t*)d, (uint8_t*)d + 18);
    EXPECT_EQ(got, Hex("12 01 00 02 EF 02 01 40 01 FC 01 FD 00 00 01 02 00 01"));
    ExFreePool(d);
}

TEST(CameraDescriptors, FrameTableHoldsFiveRowsAndFallsBackToTheFirst) {
    Bench bench;
    struct { LONG index; ULONG bytes; } cases[] = {
        {0, 345600}, {1, 614400}, {2, 691200}, {3, 1843200}, {4, 4147200},
        {-1, 345600}, {5, 345600}, {255, 345600},
    };
    for (auto c : cases) EXPECT_EQ(FrameSizeForIndex(c.index), c.bytes) << c.index;
}

TEST(CameraDescriptors, BuildersReturnNullWhenPoolRunsOut) {
    Bench bench;
    bench.machine().FailTag(VHUB_POOL_TAG);
    EXPECT_EQ(Camera::Touch_GetDeviceDescriptor(1, 2), nullptr);
    EXPECT_EQ(Camera::Touch_GetConfigrationDescriptor(), nullptr);
    EXPECT_EQ(TouchGetStringDescriptor(u"x"), nullptr);
    bench.machine().ClearPoolFaults();
}

TEST(CameraDescriptors, DeviceTextFromTheProductName) {
    struct Case {
        std::string name;
        const char16_t* suffix;
        const char16_t* fallback;
        std::u16string text;
    } cases[] = {
        {"", u" Camera", u"Tolvexa Camera", u"Tolvexa Camera"},
        {"Abc", u" Camera", u"Tolvexa Camera", u"Abc Camera"},
        {"Acme\r\n", u" Speaker", u"Tolvexa Speaker", u"Acme\r\n Speaker"},
        {"", u" Microphone", u"Tolvexa Microphone", u"Tolvexa Microphone"},
        // The longest name that fits a descriptor whole: 119 + " Camera" = 126.
        {std::string(119, 'n'), u" Camera", u"-", std::u16string(119, u'n') + u" Camera"},
        // Longer names are cut so that the whole text still fits.
        {std::string(120, 'n'), u" Camera", u"-", std::u16string(119, u'n') + u" Camera"},
        {std::string(252, 'n'), u" Microphone", u"-", std::u16string(115, u'n') + u" Microphone"},
        // A name that fills the whole field has no terminator there.
        {std::string(260, 'n'), u" Speaker", u"-", std::u16string(118, u'n') + u" Speaker"},
    };
    for (const Case& c : cases) {
        Bench bench;
        bench.SetDriverName(c.name);
        WCHAR buffer[VHUB_TEXT_CHARS + 8];
        for (WCHAR& w : buffer) w = u'#';
        BuildDeviceText(bench.ext(), c.suffix, c.fallback, buffer);
        EXPECT_EQ(std::u16string(buffer), c.text) << c.name.size();
        // Nothing written past the formatting buffer.
        for (size_t i = VHUB_TEXT_CHARS; i < VHUB_TEXT_CHARS + 8; ++i) EXPECT_EQ(buffer[i], u'#');

        PUSB_STRING_DESCRIPTOR d = TouchGetStringDescriptor(buffer);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->bLength, 2 + 2 * c.text.size());
        EXPECT_EQ(d->bDescriptorType, USB_STRING_DESCRIPTOR_TYPE);
        EXPECT_EQ(Text(d), c.text);
        ExFreePool(d);
    }
}

TEST(CameraDescriptors, StringDescriptorOfAnOverlongTextIsCut) {
    Bench bench;
    std::u16string text(300, u'x');
    PUSB_STRING_DESCRIPTOR d = TouchGetStringDescriptor(text.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->bLength, 254);
    EXPECT_EQ(Text(d), std::u16string(126, u'x'));
    // The block is the descriptor plus its two-byte terminator; the pool's
    // guard bytes catch any write beyond.
    EXPECT_EQ(bench.machine().CheckPoolGuards(), 0u);
    ExFreePool(d);
}
