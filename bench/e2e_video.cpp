// The frame rate the host's video class driver receives at 1280x720 when the
// application writes frames as fast as it can, on the real clock, against a
// plain copy of the same frame measured in the same run.
//
// Figures: host_fps (frames the host rebuilt per second) and x_memcpy (time
// per received frame over the time of one memcpy of the frame).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "e2e/support/rig.h"

namespace {

constexpr uint32_t kBytes = 1280u * 720u * 2u;

double MemcpyNsPerFrame(const std::vector<uint8_t>& from, std::vector<uint8_t>& to, int rounds) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / rounds;
}

void BM_MemcpyFrame1280x720(benchmark::State& state) {
    std::vector<uint8_t> from = e2e::NumberedFrame(kBytes, 1), to(kBytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kBytes);
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MemcpyFrame1280x720)->Unit(benchmark::kMicrosecond);

void BM_EndToEndFrames1280x720(benchmark::State& state) {
    e2e::Rig rig(e2e::RealClock());
    if (rig.Boot() != STATUS_SUCCESS || !rig.Video()) {
        state.SkipWithError("the bus did not come up");
        return;
    }
    auto video = rig.Video();
    std::atomic<uint64_t> received{0}, bad{0};
    video->OnFrame([&](const usbclass::uvc::Frame& f) {
        if (f.bytes.size() == kBytes) ++received;
        else ++bad;
    });
    if (video->SetFrame(1, 4) != STATUS_SUCCESS || video->Start() != STATUS_SUCCESS) {
        state.SkipWithError("the host could not start the stream");
        return;
    }
    std::vector<uint8_t> frame = e2e::NumberedFrame(kBytes, 7), copy(kBytes);
    const double memcpyNs = MemcpyNsPerFrame(frame, copy, 50);

    uint64_t dropped = 0, failed = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        vhub::sdk::Result r = rig.app.WriteFrame(frame);
        if (!r.ok()) ++failed;
        else if (r.bytes == 0) ++dropped;
    }
    auto t1 = std::chrono::steady_clock::now();
    video->Stop();
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    const double got = (double)received.load();

    state.SetBytesProcessed((int64_t)received.load() * kBytes);
    state.counters["host_fps"] = got / seconds;
    state.counters["x_memcpy"] = got > 0 ? (seconds * 1e9 / got) / memcpyNs : 0;
    state.counters["memcpy_us"] = memcpyNs / 1000.0;
    state.counters["dropped"] = (double)dropped;
    state.counters["failed"] = (double)failed;
    state.counters["bad_frames"] = (double)bad.load();
    video->OnFrame(nullptr);
}
BENCHMARK(BM_EndToEndFrames1280x720)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
