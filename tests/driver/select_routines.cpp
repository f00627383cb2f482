// Configuration and interface selection, driven directly: the routines are
// pure functions of a configuration descriptor and a URB. Every URB sits in
// a larger buffer filled with a guard pattern, so that a write beyond the
// URB's Length shows.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/vhub.h"
#include "hk/machine.h"
#include "hk/testing.h"

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kSlack = 256;

// --- descriptors -----------------------------------------------------------------------------

struct Endpoint {
    uint8_t address, attributes;
    uint16_t max_packet;
    uint8_t interval;
};

class ConfigBuilder {
public:
    explicit ConfigBuilder(uint8_t value = 1) {
        bytes_ = {9, 2, 0, 0, 0, value, 0, 0x80, 50};
    }
    ConfigBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls = 0xFF,
                             uint8_t sub = 0x01, uint8_t proto = 0x00) {
        bytes_.insert(bytes_.end(), {9, 4, number, alternate, endpoints, cls, sub, proto, 0});
        if (alternate == 0) ++interfaces_;
        return *this;
    }
    ConfigBuilder& Ep(const Endpoint& e) {
        bytes_.insert(bytes_.end(), {7, 5, e.address, e.attributes, (uint8_t)(e.max_packet & 0xFF),
                                     (uint8_t)(e.max_packet >> 8), e.interval});
        return *this;
    }
    // A class-specific descriptor between the standard ones.
    ConfigBuilder& ClassSpecific(uint8_t type, uint8_t length) {
        std::vector<uint8_t> d(length, 0x11);
        d[0] = length;
        d[1] = type;
        bytes_.insert(bytes_.end(), d.begin(), d.end());
        return *this;
    }
    ConfigBuilder& Raw(std::vector<uint8_t> raw) {
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
        return *this;
    }
    ConfigBuilder& NumInterfaces(uint8_t n) {
        forced_interfaces_ = n;
        forced_ = true;
        return *this;
    }
    ConfigBuilder& TotalLength(uint16_t n) {
        forced_total_ = n;
        total_forced_ = true;
        return *this;
    }
    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> out = bytes_;
        uint16_t total = total_forced_ ? forced_total_ : (uint16_t)out.size();
        out[2] = (uint8_t)(total & 0xFF);
        out[3] = (uint8_t)(total >> 8);
        out[4] = forced_ ? forced_interfaces_ : interfaces_;
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
    uint8_t interfaces_ = 0;
    uint8_t forced_interfaces_ = 0;
    bool forced_ = false;
    uint16_t forced_total_ = 0;
    bool total_forced_ = false;
};

// Three interfaces: 0 with an interrupt pipe; 1 with a zero-endpoint
// setting 0 and a high-bandwidth isochronous IN setting 1; 2 with an
// isochronous OUT and a bulk pipe, class descriptors in between.
std::vector<uint8_t> ThreeInterfaces() {
    return ConfigBuilder(1)
        .Interface(0, 0, 1, 0x0E, 0x01, 0x00)
        .ClassSpecific(0x24, 13)
        .Ep({0x83, 0x03, 0x0010, 8})
        .ClassSpecific(0x25, 5)
        .Interface(1, 0, 0, 0x0E, 0x02, 0x00)
        .Interface(1, 1, 1, 0x0E, 0x02, 0x00)
        .Ep({0x82, 0x05, 0x1400, 1})
        .Interface(2, 0, 2, 0x01, 0x02, 0x00)
        .ClassSpecific(0x24, 7)
        .Ep({0x02, 0x09, 0x00C0, 1})
        .Ep({0x81, 0x02, 0x1200, 0})
        .Build();
}

// --- URBs ------------------------------------------------------------------------------------

constexpr size_t kSelectConfigFixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
constexpr size_t kSelectInterfaceFixed = offsetof(struct _URB_SELECT_INTERFACE, Interface);
constexpr size_t kBlockHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
constexpr size_t kPipe = sizeof(USBD_PIPE_INFORMATION);

struct Block {
    uint8_t number, alternate;
    ULONG pipes;  // NumberOfPipes as the client sets it
};

class UrbBuffer {
public:
    explicit UrbBuffer(size_t length) : length_(length), storage_((length + kSlack + 7) / 8) {
        std::memset(storage_.data(), kGuard, storage_.size() * 8);
        urb()->UrbHeader.Length = (USHORT)length;
    }
    PURB urb() { return reinterpret_cast<PURB>(storage_.data()); }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(storage_.data()); }
    size_t length() const { return length_; }
    PUSBD_INTERFACE_INFORMATION BlockAt(size_t offset) {
        return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes() + offset);
    }
    // Everything from Length on must still hold the guard pattern.
    bool TailIntact() {
        for (size_t i = length_; i < length_ + kSlack; ++i)
            if (bytes()[i] != kGuard) return false;
        return true;
    }
    bool RangeIntact(size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (bytes()[i] != kGuard) return false;
        return true;
    }

private:
    size_t length_;
    std::vector<uint64_t> storage_;
};

size_t BlockSize(ULONG pipes) { return kBlockHeader + kPipe * pipes; }

// A SELECT_CONFIGURATION URB with the given blocks (the guard pattern in
// every field the client leaves alone), sized exactly for them unless
// `length` says otherwise.
UrbBuffer MakeSelectConfiguration(std::vector<uint8_t>* config, const std::vector<Block>& blocks,
                                  size_t length = 0) {
    size_t exact = kSelectConfigFixed;
    for (const Block& b : blocks) exact += BlockSize(b.pipes);
    UrbBuffer u(length ? length : exact);
    u.urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    u.urb()->UrbSelectConfiguration.ConfigurationDescriptor =
        config ? reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config->data()) : nullptr;
    size_t offset = kSelectConfigFixed;
    for (const Block& b : blocks) {
        if (offset + kBlockHeader <= u.length()) {
            PUSBD_INTERFACE_INFORMATION block = u.BlockAt(offset);
            block->Length = (USHORT)BlockSize(b.pipes);
            block->InterfaceNumber = b.number;
            block->AlternateSetting = b.alternate;
            block->NumberOfPipes = b.pipes;
        }
        offset += BlockSize(b.pipes);
    }
    return u;
}

UrbBuffer MakeSelectInterface(uint8_t number, uint8_t alternate, size_t length) {
    UrbBuffer u(length);
    u.urb()->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    if (length >= kSelectInterfaceFixed + kBlockHeader) {
        u.urb()->UrbSelectInterface.Interface.InterfaceNumber = number;
        u.urb()->UrbSelectInterface.Interface.AlternateSetting = alternate;
    }
    return u;
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

uint64_t Handle(PVOID h) { return (uint64_t)(ULONG_PTR)h; }

class SelectTest : public ::testing::Test {
protected:
    hk::Machine machine_;
    bool Logged(const std::string& text) { return machine_.DebugText().find(text) != std::string::npos; }
};

// --- fill_pipe -------------------------------------------------------------------------------

struct PipeCase {
    const char* name;
    Endpoint endpoint;
    USHORT max_packet;
    uint64_t handle;
};

class FillPipeTest : public SelectTest, public ::testing::WithParamInterface<PipeCase> {};

TEST_P(FillPipeTest, ReportsSizeAndEncodesHandle) {
    const PipeCase& c = GetParam();
    uint8_t raw[7] = {7, 5, c.endpoint.address, c.endpoint.attributes, (uint8_t)(c.endpoint.max_packet & 0xFF),
                      (uint8_t)(c.endpoint.max_packet >> 8), c.endpoint.interval};
    USBD_PIPE_INFORMATION pipe;
    std::memset(&pipe, kGuard, sizeof(pipe));
    fill_pipe(&pipe, reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(raw));

    EXPECT_EQ(pipe.MaximumPacketSize, c.max_packet);
    EXPECT_EQ(pipe.EndpointAddress, c.endpoint.address);
    EXPECT_EQ(pipe.Interval, c.endpoint.interval);
    EXPECT_EQ((int)pipe.PipeType, c.endpoint.attributes & 3);
    EXPECT_EQ(Handle(pipe.PipeHandle), c.handle);
    // The client's own fields stay as it set them.
    EXPECT_EQ(pipe.MaximumTransferSize, 0xA5A5A5A5u);
    EXPECT_EQ(pipe.PipeFlags, 0xA5A5A5A5u);
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, FillPipeTest,
    ::testing::Values(
        PipeCase{"IsoInTwoExtraTransactions", {0x82, 0x05, 0x1400, 1}, 3072, 0x10182},
        PipeCase{"IsoOutSinglePacket", {0x02, 0x09, 0x00C0, 1}, 192, 0x10102},
        PipeCase{"IsoOneExtraTransaction", {0x81, 0x01, 0x0A00, 4}, 1024, 0x40181},
        PipeCase{"IsoReservedMultiplierCountsFour", {0x83, 0x01, 0x1900, 1}, 0x400, 0x10183},
        PipeCase{"BulkKeepsHighBits", {0x81, 0x02, 0x1200, 0}, 0x1200, 0x281},
        PipeCase{"InterruptWithInterval", {0x83, 0x03, 0x0010, 8}, 0x10, 0x80383},
        PipeCase{"ControlRaw", {0x00, 0x00, 0x1840, 0}, 0x1840, 0x0},
        PipeCase{"HighIntervalInThirdByte", {0x85, 0x07, 0x0008, 0xFF}, 8, 0xFF0385}),
    [](const ::testing::TestParamInfo<PipeCase>& info) { return std::string(info.param.name); });

// --- select_configure --------------------------------------------------------------------------

TEST_F(SelectTest, UnconfigureWritesNothing) {
    UrbBuffer u = MakeSelectConfiguration(nullptr, {{0, 0, 1}});
    std::vector<uint8_t> before(u.bytes(), u.bytes() + u.length() + kSlack);
    EXPECT_EQ(select_configure(u.urb()), STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(before.data(), u.bytes(), before.size()));
    EXPECT_TRUE(Logged("unconfigure OK.\n"));
}

TEST_F(SelectTest, FullConfigurationFillsEveryBlock) {
    std::vector<uint8_t> config = ThreeInterfaces();
    UrbBuffer u = MakeSelectConfiguration(&config, {{0, 0, 1}, {1, 1, 1}, {2, 0, 2}});
    ASSERT_EQ(select_configure(u.urb()), STATUS_SUCCESS);
    EXPECT_EQ(Handle(u.urb()->UrbSelectConfiguration.ConfigurationHandle), 1u);

    struct Expect {
        uint8_t cls, sub;
        std::vector<std::pair<USHORT, uint64_t>> pipes;
    };
    const Expect expect[] = {
        {0x0E, 0x01, {{0x10, 0x80383}}},
        {0x0E, 0x02, {{3072, 0x10182}}},
        {0x01, 0x02, {{192, 0x10102}, {0x1200, 0x281}}},
    };
    size_t offset = kSelectConfigFixed;
    for (const Expect& e : expect) {
        PUSBD_INTERFACE_INFORMATION block = u.BlockAt(offset);
        EXPECT_EQ(Handle(block->InterfaceHandle), 1u);
        EXPECT_EQ(block->Class, e.cls);
        EXPECT_EQ(block->SubClass, e.sub);
        EXPECT_EQ(block->Protocol, 0);
        EXPECT_EQ(block->Reserved, 0);
        ASSERT_EQ(block->NumberOfPipes, e.pipes.size());
        for (size_t p = 0; p < e.pipes.size(); ++p) {
            EXPECT_EQ(block->Pipes[p].MaximumPacketSize, e.pipes[p].first);
            EXPECT_EQ(Handle(block->Pipes[p].PipeHandle), e.pipes[p].second);
        }
        // Length stays as the client set it.
        EXPECT_EQ(block->Length, BlockSize((ULONG)e.pipes.size()));
        offset += BlockSize((ULONG)e.pipes.size());
    }
    EXPECT_TRUE(u.TailIntact());
}

TEST_F(SelectTest, ConfigurationValueBecomesHandle) {
    std::vector<uint8_t> config = ConfigBuilder(7).Interface(0, 0, 0).Build();
    UrbBuffer u = MakeSelectConfiguration(&config, {{0, 0, 0}});
    ASSERT_EQ(select_configure(u.urb()), STATUS_SUCCESS);
    EXPECT_EQ(Handle(u.urb()->UrbSelectConfiguration.ConfigurationHandle), 7u);
}

TEST_F(SelectTest, ConfigurationWithoutInterfacesSucceeds) {
    std::vector<uint8_t> config = ConfigBuilder(1).Build();
    UrbBuffer u = MakeSelectConfiguration(&config, {});
    EXPECT_EQ(select_configure(u.urb()), STATUS_SUCCESS);
    EXPECT_EQ(Handle(u.urb()->UrbSelectConfiguration.ConfigurationHandle), 1u);
    EXPECT_TRUE(u.TailIntact());
}

TEST_F(SelectTest, TooFewBlocksFillsThoseThereAndSucceeds) {
    std::vector<uint8_t> config = ThreeInterfaces();
    UrbBuffer u = MakeSelectConfiguration(&config, {{0, 0, 1}, {1, 1, 1}});
    EXPECT_EQ(select_configure(u.urb()), STATUS_SUCCESS);
    EXPECT_EQ(Handle(u.BlockAt(kSelectConfigFixed)->InterfaceHandle), 1u);
    EXPECT_EQ(Handle(u.BlockAt(kSelectConfigFixed + BlockSize(1))->InterfaceHandle), 1u);
    EXPECT_TRUE(u.TailIntact());
    EXPECT_TRUE(Logged("no all interface select curr select interface=2.\n"));
}

// Failures: the status, the message, and that nothing at or after the
// failing block was written.
struct ConfigFailure {
    const char* name;
    std::vector<uint8_t> (*config)();
    std::vector<Block> blocks;
    size_t length;          // 0: exactly the blocks
    NTSTATUS status;
    const char* message;
    size_t untouched_from;  // offset from which the URB must be untouched
    bool handle_written;
};

std::vector<uint8_t> FewerEndpointsThanDeclared() {
    return ConfigBuilder(1).Interface(0, 0, 2).Ep({0x81, 0x02, 64, 0}).Build();
}
std::vector<uint8_t> ZeroLengthDescriptor() {
    return ConfigBuilder(1).Interface(0, 0, 1).Raw({0, 5, 0x81, 2, 64, 0, 0}).Ep({0x81, 0x02, 64, 0}).Build();
}
std::vector<uint8_t> DescriptorPastTotalLength() {
    // The endpoint claims 7 bytes, but wTotalLength ends 3 bytes into it.
    std::vector<uint8_t> c = ConfigBuilder(1).Interface(0, 0, 1).Ep({0x81, 0x02, 64, 0}).Build();
    uint16_t total = (uint16_t)(c.size() - 4);
    c[2] = (uint8_t)total;
    c[3] = (uint8_t)(total >> 8);
    return c;
}
std::vector<uint8_t> ShortEndpointDescriptor() {
    return ConfigBuilder(1).Interface(0, 0, 1).Raw({4, 5, 0x81, 2}).Build();
}
std::vector<uint8_t> TotalLengthBelowHeader() { return ConfigBuilder(1).TotalLength(4).Build(); }

const ConfigFailure kConfigFailures[] = {
    {"PipeCountMismatchOnSecondBlock", ThreeInterfaces, {{0, 0, 1}, {1, 1, 2}}, 0, STATUS_INVALID_PARAMETER,
     "intf_desc->bNumEndpoints != intf->NumberOfPipes \n", kSelectConfigFixed + BlockSize(1), true},
    {"UnknownAlternateSetting", ThreeInterfaces, {{0, 0, 1}, {1, 5, 1}}, 0, STATUS_INVALID_PARAMETER,
     "USBD_ParseConfigurationDescriptorEx interfaceNumber=1, AlternateSetting=5 Error not found\n",
     kSelectConfigFixed + BlockSize(1), true},
    {"PipesDoNotFit", ThreeInterfaces, {{0, 0, 1}, {1, 1, 1}, {2, 0, 2}},
     kSelectConfigFixed + BlockSize(1) + BlockSize(1) + BlockSize(1), STATUS_INVALID_PARAMETER,
     "*** small for select interface.\n", kSelectConfigFixed + 2 * BlockSize(1), true},
    {"FewerEndpointDescriptors", FewerEndpointsThanDeclared, {{0, 0, 2}}, 0, STATUS_INVALID_PARAMETER,
     "USBD_ParseDescriptors not found endpoint.\n", kSelectConfigFixed + kBlockHeader + kPipe, true},
    {"UrbShorterThanItsFixedPart", ThreeInterfaces, {}, kSelectConfigFixed - 8, STATUS_INVALID_PARAMETER,
     "*** small for select interface.\n", offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle), false},
    {"ZeroLengthDescriptor", ZeroLengthDescriptor, {{0, 0, 1}}, 0, STATUS_INVALID_PARAMETER, nullptr,
     kSelectConfigFixed, false},
    {"DescriptorRunsPastTotalLength", DescriptorPastTotalLength, {{0, 0, 1}}, 0, STATUS_INVALID_PARAMETER, nullptr,
     kSelectConfigFixed, false},
    {"EndpointTooShortToRead", ShortEndpointDescriptor, {{0, 0, 1}}, 0, STATUS_INVALID_PARAMETER, nullptr,
     kSelectConfigFixed, false},
    {"TotalLengthBelowHeader", TotalLengthBelowHeader, {}, 0, STATUS_INVALID_PARAMETER, nullptr,
     kSelectConfigFixed, false},
};

class SelectConfigureFailure : public SelectTest, public ::testing::WithParamInterface<ConfigFailure> {};

TEST_P(SelectConfigureFailure, FailsWithoutWritingPastTheFault) {
    const ConfigFailure& c = GetParam();
    std::vector<uint8_t> config = c.config();
    UrbBuffer u = MakeSelectConfiguration(&config, c.blocks, c.length);
    PVOID handle_before = u.urb()->UrbSelectConfiguration.ConfigurationHandle;
    if (c.length != 0 && c.length < kSelectConfigFixed) handle_before = nullptr;

    EXPECT_EQ(select_configure(u.urb()), c.status);
    if (c.message) {
        EXPECT_TRUE(Logged(c.message)) << machine_.DebugText();
    }
    if (c.length == 0 || c.length >= kSelectConfigFixed) {
        if (c.handle_written) {
            EXPECT_EQ(Handle(u.urb()->UrbSelectConfiguration.ConfigurationHandle), 1u);
        } else {
            EXPECT_EQ(u.urb()->UrbSelectConfiguration.ConfigurationHandle, handle_before);
        }
    }
    // Pipe records of the failing block are untouched, and so is the rest;
    // InterfaceNumber/AlternateSetting/NumberOfPipes (set by the client in
    // the first 24 bytes of each block) are skipped by starting past them.
    size_t from = c.untouched_from;
    size_t to = u.length() + kSlack;
    for (size_t i = from; i < to; ++i) {
        bool client_field = false;
        size_t off = kSelectConfigFixed;
        for (const Block& b : c.blocks) {
            if (i >= off && i < off + kBlockHeader && ((i - off) < 4 || ((i - off) >= 16 && (i - off) < 20)))
                client_field = true;
            off += BlockSize(b.pipes);
        }
        if (client_field) continue;
        ASSERT_EQ(u.bytes()[i], kGuard) << "byte " << i << " written";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SelectConfigureFailure, ::testing::ValuesIn(kConfigFailures),
                         [](const ::testing::TestParamInfo<ConfigFailure>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SelectTest, EarlierBlocksStayFilledAfterALaterFailure) {
    std::vector<uint8_t> config = ThreeInterfaces();
    UrbBuffer u = MakeSelectConfiguration(&config, {{0, 0, 1}, {1, 1, 2}});
    ASSERT_EQ(select_configure(u.urb()), STATUS_INVALID_PARAMETER);
    PUSBD_INTERFACE_INFORMATION first = u.BlockAt(kSelectConfigFixed);
    EXPECT_EQ(Handle(first->InterfaceHandle), 1u);
    EXPECT_EQ(Handle(first->Pipes[0].PipeHandle), 0x80383u);
}

// --- select_interface --------------------------------------------------------------------------

TEST_F(SelectTest, InterfaceBeforeConfigurationIsNotReady) {
    UrbBuffer u = MakeSelectInterface(1, 1, kSelectInterfaceFixed + BlockSize(1));
    EXPECT_EQ(select_interface(nullptr, u.urb()), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(u.RangeIntact(kSelectInterfaceFixed + 4, u.length()));
}

struct InterfaceCase {
    const char* name;
    uint8_t number, alternate;
    size_t length;
    NTSTATUS status;
    ULONG pipes;            // expected NumberOfPipes on success
    uint64_t first_handle;  // expected first pipe handle when pipes > 0
};

const InterfaceCase kInterfaceCases[] = {
    {"IsochronousSetting", 1, 1, kSelectInterfaceFixed + BlockSize(1), STATUS_SUCCESS, 1, 0x10182},
    {"ZeroEndpointSetting", 1, 0, kSelectInterfaceFixed + BlockSize(0), STATUS_SUCCESS, 0, 0},
    {"TwoPipes", 2, 0, kSelectInterfaceFixed + BlockSize(2), STATUS_SUCCESS, 2, 0x10102},
    {"RoomForMorePipesThanNeeded", 0, 0, kSelectInterfaceFixed + BlockSize(3), STATUS_SUCCESS, 1, 0x80383},
    {"UnknownAlternateSetting", 1, 9, kSelectInterfaceFixed + BlockSize(1), STATUS_NOT_FOUND, 0, 0},
    {"UnknownInterface", 7, 0, kSelectInterfaceFixed + BlockSize(1), STATUS_NOT_FOUND, 0, 0},
    {"TooShortForTheSettingsPipes", 2, 0, kSelectInterfaceFixed + BlockSize(1), STATUS_INVALID_PARAMETER, 0, 0},
    {"NoRoomForAnyPipe", 1, 1, kSelectInterfaceFixed + BlockSize(0), STATUS_INVALID_PARAMETER, 0, 0},
    {"ShorterThanTheBlockHeader", 1, 0, kSelectInterfaceFixed + 8, STATUS_INVALID_PARAMETER, 0, 0},
};

class SelectInterfaceCase : public SelectTest, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(SelectInterfaceCase, AnswersWithinTheUrb) {
    const InterfaceCase& c = GetParam();
    std::vector<uint8_t> config = ThreeInterfaces();
    UrbBuffer u = MakeSelectInterface(c.number, c.alternate, c.length);
    PUSBD_INTERFACE_INFORMATION block = &u.urb()->UrbSelectInterface.Interface;

    EXPECT_EQ(select_interface(AsConfig(config), u.urb()), c.status);
    EXPECT_TRUE(u.TailIntact()) << "written beyond the URB's Length";
    if (c.status == STATUS_SUCCESS) {
        EXPECT_EQ(Handle(block->InterfaceHandle), 1u);
        EXPECT_EQ(block->NumberOfPipes, c.pipes);
        if (c.pipes > 0) EXPECT_EQ(Handle(block->Pipes[0].PipeHandle), c.first_handle);
        // The configuration handle is not looked at or written.
        EXPECT_EQ(Handle(u.urb()->UrbSelectInterface.ConfigurationHandle), 0xA5A5A5A5A5A5A5A5ull);
    } else {
        // A refused selection leaves the block as the client sent it.
        EXPECT_TRUE(u.RangeIntact(kSelectInterfaceFixed + 4, u.length())) << "partial write on failure";
    }
    if (c.status == STATUS_INVALID_PARAMETER) {
        EXPECT_TRUE(Logged("*** small for select interface.\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SelectInterfaceCase, ::testing::ValuesIn(kInterfaceCases),
                         [](const ::testing::TestParamInfo<InterfaceCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SelectTest, InterfaceOnMalformedConfigurationIsRefused) {
    std::vector<uint8_t> config = ZeroLengthDescriptor();
    UrbBuffer u = MakeSelectInterface(0, 0, kSelectInterfaceFixed + BlockSize(1));
    EXPECT_EQ(select_interface(AsConfig(config), u.urb()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(u.RangeIntact(kSelectInterfaceFixed + 4, u.length() + kSlack));
}

TEST_F(SelectTest, DebugLevelZeroSilencesSelection) {
    ULONG saved = VhubDebugLevel;
    VhubDebugLevel = 0;
    std::vector<uint8_t> config = ThreeInterfaces();
    UrbBuffer u = MakeSelectConfiguration(&config, {{0, 0, 1}, {1, 1, 1}, {2, 0, 2}});
    EXPECT_EQ(select_configure(u.urb()), STATUS_SUCCESS);
    VhubDebugLevel = saved;
    EXPECT_TRUE(machine_.DebugLog().empty()) << machine_.DebugText();
}

}  // namespace
