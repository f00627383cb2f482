// Audio through the bus on the real clock.
//
// BM_SpeakerPacing30s: the host plays for 30 real seconds; the figures are
// the completion rate of its speaker transfers (per second, and over the
// nominal 100 per second), the spread of the intervals between completions,
// and the pacing thread's CPU time per second of audio. The baseline,
// measured in the same run and at the same time, is a plain thread that
// sleeps 9 ms in a loop: its interval spread and CPU time are what the
// machine's scheduler gives any such thread, and the pacing figures are
// reported as ratios against them.
//
// BM_MicWriteToCompletion: time from the application's PCM write to the
// host's capture completion, against the round trip of a device-control
// request that carries no data (GET_DEVICE_INFO) measured in the same run.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "e2e/support/rig.h"

namespace {

using Clock = std::chrono::steady_clock;

std::set<pid_t> Tasks() {
    std::set<pid_t> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert((pid_t)atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

// CPU time of another thread of this process, through its thread CPU clock
// (the clock id the kernel derives from the thread id).
double ThreadCpuSeconds(pid_t tid) {
    clockid_t id = (clockid_t)((~(unsigned)tid) << 3) | 4 /* per thread */ | 2 /* sched */;
    timespec ts{};
    if (clock_gettime(id, &ts) != 0) return -1;
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

double ThisThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Spread {
    double mean = 0, sd = 0, p99 = 0, max = 0;
};

Spread SpreadOf(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    for (double x : v) s.mean += x;
    s.mean /= (double)v.size();
    for (double x : v) s.sd += (x - s.mean) * (x - s.mean);
    s.sd = std::sqrt(s.sd / (double)v.size());
    std::sort(v.begin(), v.end());
    s.p99 = v[(size_t)((double)(v.size() - 1) * 0.99)];
    s.max = v.back();
    return s;
}

void BM_SpeakerPacing30s(benchmark::State& state) {
    const double kSeconds = 30.0;
    for (auto _ : state) {
        e2e::Rig rig(e2e::RealClock());
        std::set<pid_t> before = Tasks();
        if (rig.Boot() != STATUS_SUCCESS || !rig.Sound()) {
            state.SkipWithError("the bus did not come up");
            return;
        }
        // The threads the bus start created: the pacing thread among them.
        std::vector<pid_t> fresh;
        for (pid_t t : Tasks())
            if (!before.count(t)) fresh.push_back(t);
        auto sound = rig.Sound();
        std::vector<uint8_t> tone = e2e::Tone(0, (size_t)(48000 * (kSeconds + 2)));
        sound->PushPlayback(tone.data(), tone.size());

        std::vector<double> cpu0;
        for (pid_t t : fresh) cpu0.push_back(ThreadCpuSeconds(t));

        // Baseline: a thread with the pacing thread's wake-up pattern and no work.
        std::atomic<bool> stop{false};
        std::vector<double> baseIntervals;
        double baseCpu = 0;
        std::thread baseline([&] {
            double c0 = ThisThreadCpuSeconds();
            auto last = Clock::now();
            while (!stop.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(9));
                auto now = Clock::now();
                baseIntervals.push_back(std::chrono::duration<double, std::milli>(now - last).count());
                last = now;
            }
            baseCpu = ThisThreadCpuSeconds() - c0;
        });

        if (sound->StartPlayback() != STATUS_SUCCESS) {
            stop = true;
            baseline.join();
            state.SkipWithError("the host could not start playback");
            return;
        }
        // Watch the completions; the application collects the speaker PCM
        // every 10 ms as a player would.
        std::vector<double> intervals;
        uint64_t seen = sound->Counters().playbackTransfers;
        auto start = Clock::now(), lastCompletion = start, lastRead = start;
        bool first = true;
        std::vector<uint8_t> pcm;
        uint64_t readBytes = 0;
        while (Clock::now() - start < std::chrono::duration<double>(kSeconds)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            auto now = Clock::now();
            uint64_t n = sound->Counters().playbackTransfers;
            for (; seen < n; ++seen) {
                if (!first) intervals.push_back(std::chrono::duration<double, std::milli>(now - lastCompletion).count());
                first = false;
                lastCompletion = now;
            }
            if (now - lastRead >= std::chrono::milliseconds(10)) {
                rig.app.ReadSpeakerPcm(&pcm, 4 * 2048);
                readBytes += pcm.size();
                lastRead = now;
            }
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        double pacingCpu = -1;
        size_t busiest = 0;
        for (size_t i = 0; i < fresh.size(); ++i) {
            double used = ThreadCpuSeconds(fresh[i]) - cpu0[i];
            if (used > pacingCpu) {
                pacingCpu = used;
                busiest = i;
            }
        }
        (void)busiest;
        stop = true;
        baseline.join();
        sound->StopPlayback();

        const uint64_t transfers = sound->Counters().playbackTransfers;
        const double audioSeconds = (double)sound->Counters().playbackBytesTaken / 192000.0;
        Spread pacing = SpreadOf(intervals), base = SpreadOf(baseIntervals);
        const double baseCpuPerSecond = baseCpu / elapsed;
        const double pacingCpuPerAudioSecond = audioSeconds > 0 ? pacingCpu / audioSeconds : 0;

        state.counters["transfers_per_s"] = (double)transfers / elapsed;
        state.counters["rate_vs_nominal"] = (double)transfers / elapsed / 100.0;
        state.counters["interval_mean_ms"] = pacing.mean;
        state.counters["interval_sd_ms"] = pacing.sd;
        state.counters["interval_p99_ms"] = pacing.p99;
        state.counters["interval_max_ms"] = pacing.max;
        state.counters["base_sd_ms"] = base.sd;
        state.counters["sd_vs_base"] = base.sd > 0 ? pacing.sd / base.sd : 0;
        state.counters["pacing_cpu_us_per_audio_s"] = pacingCpuPerAudioSecond * 1e6;
        state.counters["base_cpu_us_per_s"] = baseCpuPerSecond * 1e6;
        state.counters["cpu_vs_base"] = baseCpuPerSecond > 0 ? pacingCpuPerAudioSecond / baseCpuPerSecond : 0;
        state.counters["new_threads"] = (double)fresh.size();
        state.counters["read_vs_taken"] =
            sound->Counters().playbackBytesTaken ? (double)readBytes / (double)sound->Counters().playbackBytesTaken : 0;
    }
}
BENCHMARK(BM_SpeakerPacing30s)->Iterations(1)->Unit(benchmark::kSecond);

void BM_MicWriteToCompletion(benchmark::State& state) {
    e2e::Rig rig(e2e::RealClock());
    if (rig.Boot() != STATUS_SUCCESS || !rig.Sound()) {
        state.SkipWithError("the bus did not come up");
        return;
    }
    auto sound = rig.Sound();
    std::atomic<int64_t> completedAt{0};
    sound->OnCapture([&](const usbclass::CaptureChunk&) {
        completedAt = Clock::now().time_since_epoch().count();
    });
    // Writes keep the host's transfers waiting for audio.
    std::vector<uint8_t> block = e2e::Tone(0, 480);
    rig.app.WritePcm(block);
    if (sound->StartCapture() != STATUS_SUCCESS) {
        state.SkipWithError("the host could not start capture");
        return;
    }
    // Baseline: the same request path with no data and nothing to complete.
    const int kRounds = 2000;
    auto b0 = Clock::now();
    for (int i = 0; i < kRounds; ++i) rig.app.GetDeviceInfo();
    const double baselineNs = std::chrono::duration<double, std::nano>(Clock::now() - b0).count() / kRounds;

    uint64_t dropped = 0;
    double total = 0;
    for (auto _ : state) {
        completedAt = 0;
        int64_t t0 = Clock::now().time_since_epoch().count();
        vhub::sdk::Result r = rig.app.WritePcm(block);
        int64_t t1 = completedAt.load();
        if (r.bytes == 0 || t1 == 0) {
            ++dropped;
            state.SetIterationTime(0);
            continue;
        }
        double seconds = std::chrono::duration<double>(Clock::duration(t1 - t0)).count();
        total += seconds;
        state.SetIterationTime(seconds);
    }
    sound->StopCapture();
    sound->OnCapture(nullptr);
    const double completed = (double)state.iterations() - (double)dropped;
    const double meanNs = completed > 0 ? total * 1e9 / completed : 0;
    state.counters["latency_us"] = meanNs / 1000.0;
    state.counters["baseline_ioctl_us"] = baselineNs / 1000.0;
    state.counters["x_ioctl"] = baselineNs > 0 ? meanNs / baselineNs : 0;
    state.counters["dropped"] = (double)dropped;
}
BENCHMARK(BM_MicWriteToCompletion)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
