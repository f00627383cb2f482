// The USB driver library's descriptor walks: they must find what a client
// asks for in well-formed sets and stay inside wTotalLength, stop at a zero
// bLength and never hand out a descriptor that runs past the end in
// malformed ones. Buffers are exactly as long as the walk may read, so a
// sanitizer build catches any read beyond.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "hk/machine.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Configuration: interface 0 (alt 0, one interrupt endpoint 0x83), interface 1
// alt 0 (no endpoint), interface 1 alt 1 (isochronous IN 0x82 with a
// class-specific descriptor after it), interface 2 alt 0 of another class.
Bytes SampleConfiguration() {
    Bytes b = {
        0x09, 0x02, 0x00, 0x00, 0x03, 0x01, 0x00, 0x80, 0x32,  // configuration
        0x09, 0x04, 0x00, 0x00, 0x01, 0x0E, 0x01, 0x00, 0x00,  // interface 0 alt 0
        0x05, 0x24, 0x01, 0x00, 0x01,                          // class-specific
        0x07, 0x05, 0x83, 0x03, 0x10, 0x00, 0x08,              // endpoint 0x83 interrupt
        0x09, 0x04, 0x01, 0x00, 0x00, 0x0E, 0x02, 0x00, 0x00,  // interface 1 alt 0
        0x09, 0x04, 0x01, 0x01, 0x01, 0x0E, 0x02, 0x00, 0x00,  // interface 1 alt 1
        0x07, 0x05, 0x82, 0x05, 0x00, 0x0C, 0x01,              // endpoint 0x82 isochronous
        0x07, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00,              // class-specific endpoint
        0x09, 0x04, 0x02, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,  // interface 2 alt 0
    };
    b[2] = (uint8_t)b.size();
    b[3] = (uint8_t)(b.size() >> 8);
    return b;
}

// An exact-size heap copy, so that reading one byte too far is a sanitizer error.
std::unique_ptr<uint8_t[]> Exact(const Bytes& b) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[b.size()]);
    std::memcpy(p.get(), b.data(), b.size());
    return p;
}

PUSB_CONFIGURATION_DESCRIPTOR Config(uint8_t* p) { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(p); }

size_t OffsetOf(const void* found, const uint8_t* base) {
    return found ? (size_t)(static_cast<const uint8_t*>(found) - base) : (size_t)-1;
}

TEST(UsbdParseConfiguration, FindsInterfacesByNumberAlternateAndClass) {
    Bytes b = SampleConfiguration();
    auto p = Exact(b);
    struct Case {
        LONG number, alternate, cls, sub, proto;
        size_t offset;  // -1: not found
    } cases[] = {
        {0, 0, -1, -1, -1, 9},
        {1, 0, -1, -1, -1, 30},
        {1, 1, -1, -1, -1, 39},
        {2, 0, -1, -1, -1, 62},
        {1, 2, -1, -1, -1, (size_t)-1},
        {3, 0, -1, -1, -1, (size_t)-1},
        {-1, 1, -1, -1, -1, 39},
        {-1, -1, 0x01, -1, -1, 62},
        {-1, -1, 0x0E, 0x02, -1, 30},
        {1, 1, 0x0E, 0x01, -1, (size_t)-1},
    };
    for (const Case& c : cases) {
        auto* found = USBD_ParseConfigurationDescriptorEx(Config(p.get()), p.get(), c.number, c.alternate, c.cls, c.sub,
                                                          c.proto);
        EXPECT_EQ(OffsetOf(found, p.get()), c.offset)
            << "interface " << c.number << " alternate " << c.alternate << " class " << c.cls;
    }
    // A start position past a match finds the next one only.
    auto* second = USBD_ParseConfigurationDescriptorEx(Config(p.get()), p.get() + 39, -1, -1, 0x0E, -1, -1);
    EXPECT_EQ(OffsetOf(second, p.get()), 39u);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Config(p.get()), p.get() + 48, -1, -1, 0x0E, -1, -1), nullptr);
    EXPECT_EQ(OffsetOf(USBD_ParseConfigurationDescriptor(Config(p.get()), 1, 1), p.get()), 39u);
}

TEST(UsbdParseDescriptors, WalksFromTheStartPositionByLength) {
    Bytes b = SampleConfiguration();
    auto p = Exact(b);
    ULONG total = (ULONG)b.size();
    struct Case {
        size_t start;
        LONG type;
        size_t offset;
    } cases[] = {
        {0, USB_ENDPOINT_DESCRIPTOR_TYPE, 23},
        {9, USB_ENDPOINT_DESCRIPTOR_TYPE, 23},
        {30, USB_ENDPOINT_DESCRIPTOR_TYPE, 48},
        {48, USB_ENDPOINT_DESCRIPTOR_TYPE, 48},  // at or after
        {55, USB_ENDPOINT_DESCRIPTOR_TYPE, (size_t)-1},
        {0, 0x25, 55},
        {0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0},
        {0, 0x30, (size_t)-1},
        {b.size(), USB_INTERFACE_DESCRIPTOR_TYPE, (size_t)-1},  // start at the end
    };
    for (const Case& c : cases) {
        auto* found = USBD_ParseDescriptors(p.get(), total, p.get() + c.start, c.type);
        EXPECT_EQ(OffsetOf(found, p.get()), c.offset) << "start " << c.start << " type " << c.type;
    }
    // A start position before the buffer is refused.
    Bytes padded(4, 0);
    padded.insert(padded.end(), b.begin(), b.end());
    EXPECT_EQ(USBD_ParseDescriptors(padded.data() + 4, total, padded.data(), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

// Malformed sets: each case spoils one descriptor and says what a search for
// the interface descriptor at offset 62 (the last one) and for the
// isochronous endpoint at offset 48 may still find.
TEST(UsbdParseRobustness, MalformedChainsEndTheWalkInsideTheBuffer) {
    struct Case {
        const char* what;
        size_t patchOffset;
        uint8_t patchValue;
        size_t walkLength;  // bytes the buffer (and wTotalLength) really has
        size_t lastInterface;
        size_t isoEndpoint;
    };
    Bytes base = SampleConfiguration();
    const size_t all = base.size();
    Case cases[] = {
        {"well formed", 0, 0x09, all, 62, 48},
        {"zero bLength in the middle stops the walk", 30, 0x00, all, (size_t)-1, 48},
        {"zero bLength on the endpoint itself", 48, 0x00, all, (size_t)-1, (size_t)-1},
        {"bLength 1 cannot hold a header", 39, 0x01, all, (size_t)-1, (size_t)-1},
        {"overlong bLength runs past wTotalLength", 62, 0x40, all, (size_t)-1, 48},
        {"overlong bLength jumps over descriptors", 30, 0x12, all, 62, 48},
        {"wTotalLength shorter than the buffer hides the tail", 2, 60, 60, (size_t)-1, 48},
        {"wTotalLength ends inside a header", 2, 62 + 1, 63, (size_t)-1, 48},
        {"wTotalLength ends inside the endpoint", 2, 50, 50, (size_t)-1, (size_t)-1},
    };
    for (const Case& c : cases) {
        Bytes b = base;
        b[c.patchOffset] = c.patchValue;
        if (c.patchOffset == 2) b[3] = 0;
        b.resize(c.walkLength);
        auto p = Exact(b);
        auto* interface = USBD_ParseConfigurationDescriptorEx(Config(p.get()), p.get(), 2, 0, -1, -1, -1);
        EXPECT_EQ(OffsetOf(interface, p.get()), c.lastInterface) << c.what;
        auto* endpoint = USBD_ParseDescriptors(p.get(), (ULONG)b.size(), p.get() + 39, USB_ENDPOINT_DESCRIPTOR_TYPE);
        EXPECT_EQ(OffsetOf(endpoint, p.get()), c.isoEndpoint) << c.what;
        if (endpoint) EXPECT_LE(OffsetOf(endpoint, p.get()) + endpoint->bLength, b.size()) << c.what;
    }
}

TEST(UsbdParseRobustness, ShortInterfaceDescriptorIsNotMatched) {
    // An "interface descriptor" of 5 bytes must not be read as 9.
    Bytes b = {0x09, 0x02, 0x00, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x05, 0x04, 0x00, 0x00, 0x00};
    b[2] = (uint8_t)b.size();
    auto p = Exact(b);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Config(p.get()), p.get(), -1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdInterfaceLength, CoversTheInterfaceUpToTheNextOne) {
    Bytes b = SampleConfiguration();
    auto p = Exact(b);
    auto* i0 = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p.get() + 9);
    auto* i11 = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p.get() + 39);
    auto* i2 = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p.get() + 62);
    EXPECT_EQ(USBD_GetInterfaceLength(i0, p.get() + b.size()), 21u);
    EXPECT_EQ(USBD_GetInterfaceLength(i11, p.get() + b.size()), 23u);
    EXPECT_EQ(USBD_GetInterfaceLength(i2, p.get() + b.size()), 9u);
}

class UsbdCreateRequest : public ::testing::Test {
protected:
    hk::Machine machine;
};

TEST_F(UsbdCreateRequest, BuildsOneBlockPerListedInterface) {
    Bytes b = SampleConfiguration();
    auto p = Exact(b);
    auto* config = Config(p.get());
    USBD_INTERFACE_LIST_ENTRY list[4] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 2, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr},
    };
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    // Three blocks of 24 + 24 per pipe after the 40 bytes before the first.
    EXPECT_EQ(urb->UrbHeader.Length, 40 + (24 + 24) + (24 + 24) + 24);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 2));
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    auto* base = reinterpret_cast<uint8_t*>(urb);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[0].Interface) - base, 40);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface) - base, 88);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[2].Interface) - base, 136);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->Length, 48);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[2].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(list[2].Interface->Length, 24);
    ExFreePool(urb);
    HK_EXPECT_CLEAN(machine);
}

TEST_F(UsbdCreateRequest, RefusesWhatItCannotBuild) {
    Bytes b = SampleConfiguration();
    auto p = Exact(b);
    auto* config = Config(p.get());
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, empty), nullptr);

    USB_INTERFACE_DESCRIPTOR outside{9, 4, 0, 0, 0, 0, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY foreign[2] = {{&outside, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, foreign), nullptr);

    USBD_INTERFACE_LIST_ENTRY one[2] = {{USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
                                        {nullptr, nullptr}};
    machine.FailNthAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, one), nullptr);
    machine.ClearPoolFaults();
    HK_EXPECT_CLEAN(machine);
}

}  // namespace
