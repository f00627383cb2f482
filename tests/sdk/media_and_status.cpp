// The SDK's portable pieces: the request layer over a transport, status
// recovery for the Win32 back end, and the media conversions vhubctl uses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "vhub/media.h"
#include "vhub/sdk.h"

using namespace vhub::sdk;

namespace {

// A transport that records what the request layer asks of it and answers
// with a preset result.
struct Recorded {
    uint32_t code = 0;
    const void* in = nullptr;
    uint32_t in_length = 0;
    void* out = nullptr;
    uint32_t out_length = 0;
    int calls = 0;
};

class FakeTransport : public Transport {
public:
    FakeTransport(Recorded* rec, Result answer, std::vector<uint8_t> out_bytes = {})
        : rec_(rec), answer_(answer), out_bytes_(std::move(out_bytes)) {}
    std::vector<std::string> FindInterfaces(const Guid&) override { return {"\\\\?\\fake"}; }
    int32_t Open(const std::string&) override {
        open_ = true;
        return kStatusSuccess;
    }
    bool IsOpen() const override { return open_; }
    Result Control(uint32_t code, const void* in, uint32_t in_length, void* out, uint32_t out_length) override {
        rec_->code = code;
        rec_->in = in;
        rec_->in_length = in_length;
        rec_->out = out;
        rec_->out_length = out_length;
        rec_->calls++;
        if (out && !out_bytes_.empty())
            std::memcpy(out, out_bytes_.data(), std::min<size_t>(out_bytes_.size(), out_length));
        return answer_;
    }
    void Close() override { open_ = false; }

private:
    Recorded* rec_;
    Result answer_;
    std::vector<uint8_t> out_bytes_;
    bool open_ = false;
};

Bus OpenFake(Recorded* rec, Result answer, std::vector<uint8_t> out_bytes = {}) {
    Bus bus(std::make_unique<FakeTransport>(rec, answer, std::move(out_bytes)));
    EXPECT_EQ(bus.Open(), kStatusSuccess);
    return bus;
}

}  // namespace

TEST(SdkRequests, EachTypedCallSendsItsCodeAndBuffersAsGiven) {
    Recorded rec;
    Bus bus = OpenFake(&rec, Result{kStatusSuccess, 0});
    alignas(4) uint8_t data[16] = {};
    struct Case {
        const char* name;
        std::function<Result()> call;
        uint32_t code;
        const void* in;
        uint32_t in_length;
        void* out;
        uint32_t out_length;
    } cases[] = {
        {"device info", [&] { return bus.GetDeviceInfo(); }, kIoctlGetDeviceInfo, nullptr, 0, nullptr, 0},
        {"plug in", [&] { return bus.PlugIn(); }, kIoctlPluginDevice, nullptr, 0, nullptr, 0},
        {"unplug", [&] { return bus.Unplug(); }, kIoctlUnplugDevice, nullptr, 0, nullptr, 0},
        {"frame", [&] { return bus.WriteFrame(data, 12); }, kIoctlWriteYuv2, data, 12, nullptr, 0},
        {"pcm", [&] { return bus.WritePcm(data, 8); }, kIoctlWritePcm, data, 8, nullptr, 0},
        {"speaker", [&] { return bus.ReadSpeakerPcm(data, 16); }, kIoctlReadPcm, nullptr, 0, data, 16},
        {"touch", [&] { return bus.WriteTouch(data, 3); }, kIoctlWriteTouch, data, 3, nullptr, 0},
        {"raw", [&] { return bus.ReadRawData(data, 16); }, kIoctlReadRawData, nullptr, 0, data, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rec = Recorded();
        c.call();
        EXPECT_EQ(rec.calls, 1);
        EXPECT_EQ(rec.code, c.code);
        EXPECT_EQ(rec.in, c.in);
        EXPECT_EQ(rec.in_length, c.in_length);
        EXPECT_EQ(rec.out, c.out);
        EXPECT_EQ(rec.out_length, c.out_length);
    }
}

TEST(SdkRequests, VideoIndexIsReadIntoAnAlignedWordAndOnlyTakenOnSuccess) {
    Recorded rec;
    {
        Bus bus = OpenFake(&rec, Result{kStatusSuccess, 1}, {3, 0xEE, 0xEE, 0xEE});
        uint8_t index = 0x55;
        EXPECT_TRUE(bus.ReadVideoIndex(&index).ok());
        EXPECT_EQ(index, 3);
        EXPECT_EQ(rec.code, kIoctlReadVideoIndex);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(rec.out) % 4, 0u);
        EXPECT_GE(rec.out_length, 1u);
    }
    {
        Bus bus = OpenFake(&rec, Result{kStatusUnsuccessful, 0}, {3});
        uint8_t index = 0x55;
        EXPECT_EQ(bus.ReadVideoIndex(&index).status, kStatusUnsuccessful);
        EXPECT_EQ(index, 0x55);
    }
}

TEST(SdkRequests, SpeakerVectorNeverGrowsPastItsCapacity) {
    // A count beyond the buffer (a faulty driver or transport) must not be
    // believed.
    Recorded rec;
    Bus bus = OpenFake(&rec, Result{kStatusSuccess, 5000});
    std::vector<uint8_t> pcm;
    Result r = bus.ReadSpeakerPcm(&pcm, 4096);
    EXPECT_EQ(r.bytes, 5000u);
    EXPECT_EQ(pcm.size(), 4096u);
}

TEST(SdkRequests, RefusedWithoutSendingWhenClosedOrTooLong) {
    Recorded rec;
    Bus closed(std::make_unique<FakeTransport>(&rec, Result{kStatusSuccess, 0}));
    EXPECT_EQ(closed.GetDeviceInfo().status, kStatusInvalidHandle);

    Bus bus = OpenFake(&rec, Result{kStatusSuccess, 0});
    const size_t too_long = size_t(1) << 32;
    EXPECT_EQ(bus.Control(kIoctlWritePcm, nullptr, too_long, nullptr, 0).status, kStatusInvalidParameter);
    EXPECT_EQ(bus.Control(kIoctlReadPcm, nullptr, 0, nullptr, too_long).status, kStatusInvalidParameter);
    EXPECT_EQ(rec.calls, 0);

    bus.Close();
    EXPECT_FALSE(bus.IsOpen());
    EXPECT_EQ(bus.Unplug().status, kStatusInvalidHandle);
}

TEST(SdkStatus, Win32ErrorsMapToTheStatusesTheBusCompletesWith) {
    struct Case {
        uint32_t error;
        int32_t status;
    } cases[] = {
        {0, kStatusSuccess},
        {31, kStatusUnsuccessful},             // ERROR_GEN_FAILURE: the probe guard's failure
        {1450, kStatusInsufficientResources},  // ERROR_NO_SYSTEM_RESOURCES: frame of the wrong size
        {1168, kStatusNotFound},               // ERROR_NOT_FOUND: unplug with no child
        {1, kStatusInvalidDeviceRequest},      // ERROR_INVALID_FUNCTION
        {6, kStatusInvalidHandle},
        {5010, int32_t(0xC0071392)},           // no table entry: wrapped, facility 7
        {0x12345, int32_t(0xC0072345)},        // only the low 16 bits fit the wrapper
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NtStatusFromWin32Error(c.error), c.status) << "error " << c.error;
    }
}

TEST(SdkStatus, TextNamesKnownStatusesAndShowsOthersInHex) {
    EXPECT_EQ(StatusText(kStatusObjectIdExists), "0xC000022B STATUS_OBJECTID_EXISTS");
    EXPECT_EQ(StatusText(int32_t(0xC0071392)), "0xC0071392");
}

TEST(SdkFrameSizes, IndexRowsAndOutOfRange) {
    const FrameSize expected[] = {{480, 360}, {640, 480}, {720, 480}, {1280, 720}, {1920, 1080}};
    for (uint8_t i = 0; i < 5; ++i) {
        FrameSize s;
        ASSERT_TRUE(FrameSizeForIndex(i, &s));
        EXPECT_EQ(s.width, expected[i].width);
        EXPECT_EQ(s.height, expected[i].height);
    }
    FrameSize s;
    EXPECT_EQ((FrameSizeForIndex(2, &s), s.bytes()), 691200u);
    for (uint8_t bad : {uint8_t(5), uint8_t(0xFF)}) {
        FrameSize untouched{7, 7};
        EXPECT_FALSE(FrameSizeForIndex(bad, &untouched));
        EXPECT_EQ(untouched.width, 7u);
    }
}

// --- YUV4MPEG2 ---------------------------------------------------------------

TEST(SdkY4m, HeaderParsing) {
    struct Case {
        const char* line;
        bool ok;
        uint32_t w = 0, h = 0, num = 0, den = 0;
        Chroma chroma = Chroma::k420;
        size_t frame_bytes = 0;
    } cases[] = {
        {"YUV4MPEG2 W4 H2 F30:1 Ip A1:1 C420jpeg", true, 4, 2, 30, 1, Chroma::k420, 8 + 2 * 2},
        {"YUV4MPEG2 W3 H3", true, 3, 3, 30, 1, Chroma::k420, 9 + 2 * 4},  // odd sizes round chroma up
        {"YUV4MPEG2 W4 H2 F25:1 C422", true, 4, 2, 25, 1, Chroma::k422, 8 + 2 * 4},
        {"YUV4MPEG2 W4 H2 F30000:1001 C444", true, 4, 2, 30000, 1001, Chroma::k444, 24},
        {"YUV4MPEG2 W4 H2 Cmono XCOMMENT", true, 4, 2, 30, 1, Chroma::kMono, 8},
        {"YUV4MPEG2 W4 H2 C420paldv", true, 4, 2, 30, 1, Chroma::k420, 12},
        {"YUV4MPEG2 W4 H2 C420p10", false},
        {"YUV4MPEG2 W4 H2 F30:0", false},
        {"YUV4MPEG2 W0 H2", false},
        {"YUV4MPEG2 W4", false},
        {"YUV4MPEG W4 H2", false},
        {"YUV4MPEG2 Wx H2", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Y4mHeader h;
        std::string error;
        ASSERT_EQ(ParseY4mHeader(c.line, &h, &error), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(h.width, c.w);
        EXPECT_EQ(h.height, c.h);
        EXPECT_EQ(h.fps_num, c.num);
        EXPECT_EQ(h.fps_den, c.den);
        EXPECT_EQ(h.chroma, c.chroma);
        EXPECT_EQ(h.FrameBytes(), c.frame_bytes);
    }
}

TEST(SdkY4m, PlanarFramesBecomePackedYuy2) {
    // A 4x2 frame with distinct luma and chroma values per layout.
    struct Case {
        const char* header;
        std::vector<uint8_t> planes;
        std::vector<uint8_t> yuy2;  // same size, 4x2
    } cases[] = {
        {"YUV4MPEG2 W4 H2 C420",
         {1, 2, 3, 4, 5, 6, 7, 8, /*U*/ 10, 11, /*V*/ 20, 21},
         {1, 10, 2, 20, 3, 11, 4, 21, 5, 10, 6, 20, 7, 11, 8, 21}},
        {"YUV4MPEG2 W4 H2 C422",
         {1, 2, 3, 4, 5, 6, 7, 8, /*U*/ 10, 11, 12, 13, /*V*/ 20, 21, 22, 23},
         {1, 10, 2, 20, 3, 11, 4, 21, 5, 12, 6, 22, 7, 13, 8, 23}},
        {"YUV4MPEG2 W4 H2 C444",
         {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 20, 21, 22, 23, 24, 25, 26, 27},
         {1, 10, 2, 20, 3, 12, 4, 22, 5, 14, 6, 24, 7, 16, 8, 26}},
        {"YUV4MPEG2 W4 H2 Cmono",
         {1, 2, 3, 4, 5, 6, 7, 8},
         {1, 128, 2, 128, 3, 128, 4, 128, 5, 128, 6, 128, 7, 128, 8, 128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        Y4mHeader h;
        std::string error;
        ASSERT_TRUE(ParseY4mHeader(c.header, &h, &error));
        ASSERT_EQ(c.planes.size(), h.FrameBytes());
        std::vector<uint8_t> out;
        PlanarToYuy2(c.planes.data(), h, 4, 2, &out);
        EXPECT_EQ(out, c.yuy2);
    }
}

TEST(SdkY4m, ScalingToTheHostsSizeStaysInsideTheSourceFrame) {
    // 3x3 source (odd: chroma planes 2x2) scaled up to 8x6 and down to 2x2:
    // every output sample is one of the source's and the size is exact.
    Y4mHeader h;
    std::string error;
    ASSERT_TRUE(ParseY4mHeader("YUV4MPEG2 W3 H3 C420", &h, &error));
    std::vector<uint8_t> planes(h.FrameBytes());
    for (size_t i = 0; i < 9; ++i) planes[i] = uint8_t(i);            // luma 0..8
    for (size_t i = 9; i < planes.size(); ++i) planes[i] = uint8_t(100 + i);  // chroma
    for (auto [w, hh] : {std::pair<uint32_t, uint32_t>{8, 6}, {2, 2}, {1920, 1080}}) {
        std::vector<uint8_t> out;
        PlanarToYuy2(planes.data(), h, w, hh, &out);
        ASSERT_EQ(out.size(), size_t(w) * hh * 2);
        for (size_t i = 0; i < out.size(); i += 2) ASSERT_LE(out[i], 8) << "luma at " << i;
        for (size_t i = 1; i < out.size(); i += 2) ASSERT_GE(out[i], 109) << "chroma at " << i;
    }
}

// --- WAV ---------------------------------------------------------------------

namespace {

std::vector<uint8_t> Wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                         const std::vector<uint8_t>& data, bool extensible = false) {
    std::vector<uint8_t> f;
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) f.push_back(uint8_t(v >> (8 * i)));
    };
    auto tag = [&](const char* t) { f.insert(f.end(), t, t + 4); };
    tag("RIFF");
    put(0, 4);
    tag("WAVE");
    tag("LIST");  // a chunk the reader must skip
    put(3, 4);
    f.insert(f.end(), {'a', 'b', 'c', 0});  // odd size: padded
    tag("fmt ");
    put(extensible ? 40 : 16, 4);
    put(extensible ? 0xFFFE : format, 2);
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * bits / 8, 4);
    put(channels * bits / 8, 2);
    put(bits, 2);
    if (extensible) {
        put(22, 2);
        put(bits, 2);
        put(3, 4);
        put(format, 2);  // sub-format GUID begins with the format tag
        f.insert(f.end(), 14, 0);
    }
    tag("data");
    put(uint32_t(data.size()), 4);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

std::vector<int16_t> Samples(const std::vector<uint8_t>& pcm) {
    std::vector<int16_t> s(pcm.size() / 2);
    std::memcpy(s.data(), pcm.data(), s.size() * 2);
    return s;
}

}  // namespace

TEST(SdkWav, SampleFormatsAndChannelsBecomeStereo16Bit) {
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        std::vector<int16_t> expected;  // interleaved L R
    } cases[] = {
        {"16-bit stereo as is", Wav(1, 2, 48000, 16, {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F}),
         {1, -1, -32768, 32767}},
        {"mono duplicated", Wav(1, 1, 48000, 16, {0x10, 0x00, 0xF0, 0xFF}), {16, 16, -16, -16}},
        {"8-bit unsigned", Wav(1, 1, 48000, 8, {0x80, 0x00, 0xC0}), {0, 0, -32768, -32768, 16384, 16384}},
        {"24-bit", Wav(1, 2, 48000, 24, {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0}), {16384, -16384}},
        {"float clipped", Wav(3, 1, 48000, 32, {0x00, 0x00, 0x00, 0x40 /*2.0*/}), {32767, 32767}},
        {"extensible PCM, third channel dropped",
         Wav(1, 3, 48000, 16, {1, 0, 2, 0, 3, 0}, true), {1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> pcm;
        std::string error;
        ASSERT_TRUE(DecodeWavAsBusPcm(c.file, &pcm, &error)) << error;
        EXPECT_EQ(Samples(pcm), c.expected);
    }
}

TEST(SdkWav, OtherRatesAreResampledToTheBusRate) {
    // One second of a 44100 Hz ramp becomes one second at 48000 Hz whose
    // samples stay between the ramp's neighbours.
    std::vector<uint8_t> data;
    for (int i = 0; i < 44100; ++i) {
        int16_t v = int16_t(i % 2000);
        for (int ch = 0; ch < 2; ++ch) {
            data.push_back(uint8_t(v));
            data.push_back(uint8_t(uint16_t(v) >> 8));
        }
    }
    std::vector<uint8_t> pcm;
    std::string error;
    ASSERT_TRUE(DecodeWavAsBusPcm(Wav(1, 2, 44100, 16, data), &pcm, &error)) << error;
    EXPECT_EQ(pcm.size(), size_t(48000) * kAudioBytesPerFrame);
    std::vector<int16_t> s = Samples(pcm);
    for (size_t i = 0; i < s.size(); ++i) ASSERT_TRUE(s[i] >= 0 && s[i] < 2000) << i;
}

TEST(SdkWav, MalformedFilesAreRefused) {
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } cases[] = {
        {"not RIFF", {'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}},
        {"too short", {'R', 'I', 'F', 'F'}},
        {"ADPCM", Wav(2, 2, 48000, 4, {0, 0})},
        {"12-bit", Wav(1, 2, 48000, 12, {0, 0})},
        {"no channels", Wav(1, 0, 48000, 16, {0, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> pcm;
        std::string error;
        EXPECT_FALSE(DecodeWavAsBusPcm(c.file, &pcm, &error));
        EXPECT_FALSE(error.empty());
    }
    // A data chunk that claims more than the file holds keeps what is there.
    std::vector<uint8_t> truncated = Wav(1, 2, 48000, 16, {1, 0, 2, 0, 3, 0, 4, 0});
    truncated.resize(truncated.size() - 4);
    std::vector<uint8_t> pcm;
    std::string error;
    ASSERT_TRUE(DecodeWavAsBusPcm(truncated, &pcm, &error)) << error;
    EXPECT_EQ(Samples(pcm), (std::vector<int16_t>{1, 2}));
}

TEST(SdkWav, WriterProducesAFileTheReaderReadsBack) {
    std::string path = ::testing::TempDir() + "sdk_wav_writer.wav";
    std::vector<uint8_t> pcm(1920 * 3);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = uint8_t(i * 7);
    {
        WavWriter w;
        std::string error;
        ASSERT_TRUE(w.Open(path, &error)) << error;
        ASSERT_TRUE(w.Append(pcm.data(), 1920));
        ASSERT_TRUE(w.Append(pcm.data() + 1920, pcm.size() - 1920));
        EXPECT_EQ(w.data_bytes(), pcm.size());
        ASSERT_TRUE(w.Close());
    }
    std::vector<uint8_t> back;
    std::string error;
    ASSERT_TRUE(LoadWavAsBusPcm(path, &back, &error)) << error;
    EXPECT_EQ(back, pcm);
    std::remove(path.c_str());
}
