// The video write path: one IOCTL_BULKUSB_WRITE_YUV2 request cut into the
// host's parked isochronous transfers (32 packets of 3072 bytes each, as the
// video class driver submits them), filled and completed. Reported as bytes
// per second and against a plain memcpy of the same frame measured in the
// same run (the counter "vs_memcpy" is write time / memcpy time).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "bench_rig.h"

namespace {

constexpr ULONG kPackets = 32;
constexpr ULONG kPacketSize = 3072;

using benchrig::Transfer;

struct VideoRig {
    hk::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT bus = nullptr, camera = nullptr;
    std::vector<std::unique_ptr<Transfer>> transfers;

    VideoRig() {
        driver = hk::io::LoadDriver("videobench", benchrig::Entry<VhubWriteYuv2>);
        bus = benchrig::CreateBus(driver);
        bus->Flags &= ~DO_DEVICE_INITIALIZING;
        camera = benchrig::CreateChild(driver, bus, MicDispatch);
    }
    ~VideoRig() {
        for (auto& t : transfers) IoFreeIrp(t->irp);
        IoDeleteDevice(camera);
        IoDeleteDevice(bus);
        hk::io::UnloadDriver("videobench");
    }
    PFDO_DEVICE_DATA ext() { return (PFDO_DEVICE_DATA)bus->DeviceExtension; }

    void Prepare(size_t count) {
        while (transfers.size() < count) {
            auto t = std::make_unique<Transfer>();
            t->Allocate(kPackets, kPacketSize);
            t->irp = IoAllocateIrp(camera->StackSize, FALSE);
            transfers.push_back(std::move(t));
        }
    }
    // Parks `count` transfers, as the host keeps them queued.
    void Park(size_t count) {
        Prepare(count);
        for (size_t i = 0; i < count; ++i) {
            Transfer& t = *transfers[i];
            IoReuseIrp(t.irp, STATUS_SUCCESS);
            t.Submit(camera, kPackets, kPacketSize);
        }
    }
    NTSTATUS Write(std::vector<uint8_t>& frame) { return benchrig::WriteRequest(bus, IOCTL_BULKUSB_WRITE_YUV2, frame); }
};

void BM_VideoWrite(benchmark::State& state) {
    const UCHAR frame_index = (UCHAR)state.range(0);
    const ULONG bytes = FrameSizeForIndex(frame_index - 1);
    const size_t needed = (bytes + (kPacketSize - 2) * kPackets - 1) / ((kPacketSize - 2) * kPackets);
    VideoRig rig;
    rig.ext()->curr_frame_index = frame_index;
    ULONG saved_level = VhubDebugLevel;
    VhubDebugLevel = 0;  // measure the path, not the debug log
    std::vector<uint8_t> frame(bytes, 0x5A);
    hk::UserRange range(frame.data(), frame.size(), false);

    // Baseline in the same run: memcpy of the frame into transfer-sized buffers.
    const double memcpy_ns = benchrig::MemcpyNs(frame, std::chrono::milliseconds(100));

    double write_ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rig.Park(needed);
        state.ResumeTiming();
        auto w0 = std::chrono::steady_clock::now();
        NTSTATUS status = rig.Write(frame);
        write_ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - w0).count();
        if (status != STATUS_SUCCESS) state.SkipWithError("write failed");
    }
    VhubDebugLevel = saved_level;
    state.SetBytesProcessed((int64_t)state.iterations() * bytes);
    state.counters["frame_bytes"] = bytes;
    state.counters["transfers"] = (double)needed;
    state.counters["memcpy_GBps"] = bytes / memcpy_ns;
    state.counters["vs_memcpy"] = (write_ns / state.iterations()) / memcpy_ns;
}
BENCHMARK(BM_VideoWrite)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
