// The audio paths: the pacing thread's CPU time per second of speaker audio
// (on the virtual clock, against the same clock run with an idle thread and
// with no thread, in the same run), and the microphone write-to-completion
// latency (against a write that finds no transfer and a memcpy of the same
// bytes, in the same run).
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "bench_rig.h"

namespace {

using benchrig::Transfer;

double ProcessCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

struct AudioRig {
    hk::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT bus = nullptr, audio = nullptr;
    std::vector<std::unique_ptr<Transfer>> transfers;

    AudioRig() {
        driver = hk::io::LoadDriver("audiobench", benchrig::Entry<VhubWritePCM>);
        bus = benchrig::CreateBus(driver);
        ext()->LastPcmWriteTime = QueryTickMilliseconds();
        bus->Flags &= ~DO_DEVICE_INITIALIZING;
        audio = benchrig::CreateChild(driver, bus, MicDispatchSound);
    }
    ~AudioRig() {
        StopDataThread(ext());
        for (auto& t : transfers) {
            if (t->completions.load() == 0) IoCancelIrp(t->irp);
            IoFreeIrp(t->irp);
        }
        IoDeleteDevice(audio);
        IoDeleteDevice(bus);
        hk::io::UnloadDriver("audiobench");
    }
    PFDO_DEVICE_DATA ext() { return (PFDO_DEVICE_DATA)bus->DeviceExtension; }

    // Submits a 10 ms transfer (10 packets of 192 bytes) on `endpoint`.
    Transfer& Submit(UCHAR endpoint) {
        auto t = std::make_unique<Transfer>();
        t->Allocate(10, 192);
        std::fill(t->data.begin(), t->data.end(), 0x33);
        t->iso().PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(endpoint | 0x10100);
        t->irp = IoAllocateIrp(audio->StackSize, FALSE);
        transfers.push_back(std::move(t));
        transfers.back()->Submit(audio, 10, 192);
        return *transfers.back();
    }
    void StartPacing() {
        HANDLE handle = nullptr;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadProc, ext());
        PVOID thread = nullptr;
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
        ext()->DataReadThread = thread;
        ZwClose(handle);
        machine.Settle();
    }
    NTSTATUS WritePcm(std::vector<uint8_t>& pcm) { return benchrig::WriteRequest(bus, IOCTL_BULKUSB_WRITE_PCM, pcm); }
};

struct QuietLog {
    ULONG saved = VhubDebugLevel;
    QuietLog() { VhubDebugLevel = 0; }
    ~QuietLog() { VhubDebugLevel = saved; }
};

// Process CPU time for one second of virtual time, advanced in 1 ms steps
// (mode 0: no thread; 1: pacing thread, nothing to pace; 2: pacing thread
// with a steady supply of 10 ms speaker transfers).
void BM_PacingSecond(benchmark::State& state) {
    const int mode = (int)state.range(0);
    QuietLog quiet;
    AudioRig rig;
    if (mode > 0) rig.StartPacing();
    double cpu_ns = 0;
    size_t completed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (mode == 2)
            while (rig.ext()->SpeakerIrpCount < 120) rig.Submit(0x02);
        // Records nobody reads: the trim keeps them bounded.
        state.ResumeTiming();
        double c0 = ProcessCpuNs();
        for (int ms = 0; ms < 1000; ++ms) rig.machine.AdvanceMs(1);
        cpu_ns += ProcessCpuNs() - c0;
    }
    for (auto& t : rig.transfers) completed += t->completions.load();
    state.counters["cpu_us_per_audio_s"] = cpu_ns / state.iterations() / 1e3;
    state.counters["transfers_per_audio_s"] = (double)completed / state.iterations();
}
BENCHMARK(BM_PacingSecond)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(5);

// Microphone: WRITE_PCM of 1920 bytes to the completion of the parked
// transfer it fills (mode 1), against the same write with nothing parked
// (mode 0, the drop path) and a memcpy of 1920 bytes (counter).
void BM_MicWrite(benchmark::State& state) {
    const bool parked = state.range(0) == 1;
    QuietLog quiet;
    AudioRig rig;
    std::vector<uint8_t> pcm(1920, 0x44);
    hk::UserRange range(pcm.data(), pcm.size(), false);
    const double memcpy_ns = benchrig::MemcpyNs(pcm, std::chrono::milliseconds(50));

    double latency_ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Transfer* t = parked ? &rig.Submit(0x81) : nullptr;
        state.ResumeTiming();
        auto w0 = std::chrono::steady_clock::now();
        rig.WritePcm(pcm);
        latency_ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - w0).count();
        if (t && t->completions.load() != 1) state.SkipWithError("transfer not completed by the write");
        state.PauseTiming();
        if (rig.transfers.size() > 4096) {
            for (auto& x : rig.transfers) IoFreeIrp(x->irp);
            rig.transfers.clear();
        }
        state.ResumeTiming();
    }
    state.counters["latency_ns"] = latency_ns / state.iterations();
    state.counters["memcpy_ns"] = memcpy_ns;
    state.counters["vs_memcpy"] = latency_ns / state.iterations() / memcpy_ns;
}
BENCHMARK(BM_MicWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
