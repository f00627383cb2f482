// The audio paths: the pacing thread's CPU time per second of speaker audio
// (on the virtual clock, against the same clock run with an idle thread and
// with no thread, in the same run), and the microphone write-to-completion
// latency (against a write that finds no transfer and a memcpy of the same
// bytes, in the same run).
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/audio.h"
#include "hk/io.h"
#include "hk/machine.h"

namespace {

NTSTATUS NTAPI RouteInternal(PDEVICE_OBJECT device, PIRP irp) {
    return ((PPDO_DEVICE_DATA)device->DeviceExtension)->UrbDispatch(device, irp);
}
NTSTATUS NTAPI RouteControl(PDEVICE_OBJECT device, PIRP irp) { return VhubWritePCM(device, irp); }
VOID NTAPI Unload(PDRIVER_OBJECT) {}
NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RouteInternal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteControl;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

double ProcessCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

struct Transfer {
    PIRP irp = nullptr;
    std::vector<uint64_t> urb;
    std::vector<uint8_t> data;
    std::atomic<int> completions{0};
};

struct AudioRig {
    hk::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT bus = nullptr, audio = nullptr;
    std::vector<std::unique_ptr<Transfer>> transfers;

    AudioRig() {
        driver = hk::io::LoadDriver("audiobench", Entry);
        IoCreateDevice(driver, sizeof(FDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus);
        PFDO_DEVICE_DATA b = ext();
        RtlZeroMemory(b, sizeof *b);
        b->Common.IsFDO = 1;
        for (PLIST_ENTRY l : {&b->CameraIrpList, &b->MicIrpList, &b->SpeakerIrpList, &b->SpeakerPcmList,
                              &b->FreeFrameList, &b->PendingFrameList})
            InitializeListHead(l);
        for (PKSPIN_LOCK k : {&b->CameraIrpLock, &b->MicIrpLock, &b->SpeakerIrpLock, &b->SpeakerPcmLock,
                              &b->FreeFrameLock, &b->PendingFrameLock})
            KeInitializeSpinLock(k);
        KeInitializeEvent(&b->StopEvent, NotificationEvent, FALSE);
        b->LastPcmWriteTime = QueryTickMilliseconds();
        bus->Flags &= ~DO_DEVICE_INITIALIZING;
        IoCreateDevice(driver, sizeof(PDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &audio);
        PPDO_DEVICE_DATA c = (PPDO_DEVICE_DATA)audio->DeviceExtension;
        RtlZeroMemory(c, sizeof *c);
        c->Self = audio;
        c->UrbDispatch = MicDispatchSound;
        c->BusExtension = b;
        c->Present = 1;
        c->state = STATE_STARTED;
        audio->Flags &= ~DO_DEVICE_INITIALIZING;
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
        t->urb.assign((FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) + 10 * sizeof(USBD_ISO_PACKET_DESCRIPTOR) + 7) / 8,
                      0);
        t->data.assign(1920, 0x33);
        PURB urb = (PURB)t->urb.data();
        urb->UrbHeader.Length = (USHORT)(t->urb.size() * 8);
        urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
        iso.PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(endpoint | 0x10100);
        iso.TransferBufferLength = 1920;
        iso.TransferBuffer = t->data.data();
        iso.NumberOfPackets = 10;
        for (ULONG p = 0; p < 10; ++p) iso.IsoPacket[p].Offset = p * 192;
        t->irp = IoAllocateIrp(audio->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(t->irp, Done, &t->completions, TRUE, TRUE, TRUE);
        transfers.push_back(std::move(t));
        IoCallDriver(audio, transfers.back()->irp);
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
    NTSTATUS WritePcm(std::vector<uint8_t>& pcm) {
        PIRP irp = IoAllocateIrp(bus->StackSize, FALSE);
        irp->RequestorMode = UserMode;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BULKUSB_WRITE_PCM;
        next->Parameters.DeviceIoControl.InputBufferLength = (ULONG)pcm.size();
        next->Parameters.DeviceIoControl.Type3InputBuffer = pcm.data();
        std::atomic<int> completions{0};
        IoSetCompletionRoutine(irp, Done, &completions, TRUE, TRUE, TRUE);
        IoCallDriver(bus, irp);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }
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
    std::vector<uint8_t> sink(1920);
    auto m0 = std::chrono::steady_clock::now();
    int reps = 0;
    do {
        std::memcpy(sink.data(), pcm.data(), pcm.size());
        benchmark::DoNotOptimize(sink.data());
        ++reps;
    } while (std::chrono::steady_clock::now() - m0 < std::chrono::milliseconds(50));
    double memcpy_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - m0).count() / reps;

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
