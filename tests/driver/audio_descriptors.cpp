// The audio device's descriptors, byte for byte.
#include <gtest/gtest.h>

#include "support/media_fixture.h"
#include "support/media_hex.h"

using media::Bench;
using media::Hex;

namespace {

const char* const kAudioConfig[] = {
    "09 02 AE 00 03 01 00 80 C8",
    "09 04 00 00 01 01 01 00 00",
    "0A 24 01 00 01 34 00 02 01 02",
    "0C 24 02 01 01 02 00 02 03 00 00 00",
    "09 24 03 03 01 01 00 01 00",
    "0C 24 02 04 01 01 00 02 03 00 00 00",
    "09 24 03 06 01 03 00 04 00",
    "09 04 01 00 00 01 02 00 01",
    "09 04 01 01 01 01 02 00 01",
    "07 24 01 03 00 01 00",
    "0B 24 02 01 02 02 10 01 80 BB 00",
    "09 05 81 0D C0 00 04 00 00",
    "07 25 01 00 00 00 00",
    "09 04 02 00 00 01 02 00 02",
    "09 04 02 01 01 01 02 00 02",
    "07 24 01 04 00 01 00",
    "0B 24 02 01 02 02 10 01 80 BB 00",
    "09 05 02 0D C0 00 04 00 00",
    "07 25 01 00 00 00 00",
};

}  // namespace

TEST(AudioDescriptors, ConfigurationSetIsTheFixed174Bytes) {
    Bench bench;
    std::vector<uint8_t> expected;
    for (const char* d : kAudioConfig) {
        auto bytes = Hex(d);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    ASSERT_EQ(expected.size(), 174u);
    PUSB_CONFIGURATION_DESCRIPTOR block = Audio::Touch_GetConfigrationDescriptor();
    ASSERT_NE(block, nullptr);
    std::vector<uint8_t> got((uint8_t*)block, (uint8_t*)block + VHUB_CONFIG_BLOCK_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 174), expected);
    EXPECT_EQ(std::count(got.begin() + 174, got.end(), 0), 4096 - 174);
    ExFreePool(block);
}

TEST(AudioDescriptors, DeviceDescriptorCarriesTheIdsButAFixedRevision) {
    Bench bench;
    PUSB_DEVICE_DESCRIPTOR d = Audio::Touch_GetDeviceDescriptor(0xFC02, 0xFD02);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::vector<uint8_t>((uint8_t*)d, (uint8_t*)d + 18),
              Hex("12 01 00 02 00 00 00 40 02 FC 02 FD 01 01 01 02 03 01"));
    ExFreePool(d);
}

TEST(AudioDescriptors, ConfigurationDumpIsPrintedWhateverTheDebugLevel) {
    for (ULONG level : {0u, 3u}) {
        Bench bench;
        ULONG saved = VhubDebugLevel;
        VhubDebugLevel = level;
        bench.machine().ClearDebugLog();
        PUSB_CONFIGURATION_DESCRIPTOR block = Audio::Touch_GetConfigrationDescriptor();
        VhubDebugLevel = saved;
        ASSERT_NE(block, nullptr);
        auto log = bench.machine().DebugLog();
        size_t items = std::count_if(log.begin(), log.end(),
                                     [](const std::string& e) { return e.size() == 5 && e.rfind("0X", 0) == 0; });
        EXPECT_EQ(items, 174u) << level;
        EXPECT_EQ(log.front(), level ? "[VuzODidIrizaz]" : "0X09 ");
        ExFreePool(block);
    }
}

TEST(AudioDescriptors, BuildersReturnNullWhenPoolRunsOut) {
    Bench bench;
    bench.machine().FailTag(VHUB_POOL_TAG);
    EXPECT_EQ(Audio::Touch_GetDeviceDescriptor(1, 2), nullptr);
    EXPECT_EQ(Audio::Touch_GetConfigrationDescriptor(), nullptr);
    bench.machine().ClearPoolFaults();
}
