// The bus's device-control interface as an untrusted application drives it:
// each input is a short program of requests (the bus's own codes and now and
// then any code, buffers of any size from exact heap blocks, null, kernel or
// misaligned pointers), with the virtual clock moving between them, against
// one machine whose children are bound to the host's class drivers and
// stream, so that the write paths fill real parked transfers.
//
// After every input the machine must hold no verifier finding, no failed
// assertion, no overrun pool block, and no more requests or pool than a
// streaming bus keeps; every request must have completed.
//
// The driver library is built with the fuzz targets' instrumentation in the
// fuzzing build, so the driver's own code carries the sanitizers' checks and
// gives the fuzzer its coverage.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/audio.h"
#include "camera/camera.h"
#include "core/vhub.h"
#include "fuzz_setup.h"
#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "usbclass/usbclass.h"

namespace {

constexpr char kDriver[] = "VhubVMic";
constexpr char kHardwareId[] = "ROOT\\VHUBVMIC";
constexpr ULONG kFuzzTag = hk::MakeTag("Fuzz");
constexpr uint8_t kDefaultFrameIndex = 3;  // 720x480, what the camera starts with

const ULONG kBusCodes[] = {
    IOCTL_GET_DEVICE_INFO,      IOCTL_BUSENUM_PLUGIN_DEVICE, IOCTL_BUSENUM_UNPLUG_DEVICE,
    IOCTL_BULKUSB_WRITE_PCM,    IOCTL_BULKUSB_WRITE_TOUCH,   IOCTL_BULKUSB_READ_RAW_DATA,
    IOCTL_BULKUSB_Read_PCM,     IOCTL_BULKUSB_WRITE_YUV2,    IOCTL_BULKUSB_READ_VIDEOINDEX,
};
constexpr size_t kBusCodeCount = sizeof(kBusCodes) / sizeof(kBusCodes[0]);

// Every frame size the camera knows, the one it does not offer included.
const ULONG kFrameBytes[] = {480u * 360 * 2, 640u * 480 * 2, 720u * 480 * 2, 1280u * 720 * 2, 1920u * 1080 * 2};

// Bounds of what a streaming bus legitimately holds between inputs; more
// means something accumulates per request.
constexpr size_t kMaxOutstandingIrps = 256;
constexpr size_t kMaxDriverPoolBytes = 64u << 20;

[[noreturn]] void Finding(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "\n==== bus_ioctls finding: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// A request that does not come back within this real time never will (the
// virtual clock is driven for the one that waits on it).
constexpr auto kHangLimit = std::chrono::seconds(20);
std::atomic<int64_t> g_in_flight_since{0};  // steady-clock ms; 0: none
std::atomic<ULONG> g_in_flight_code{0};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        int64_t since = g_in_flight_since.load();
        if (since != 0 && NowMs() - since > std::chrono::milliseconds(kHangLimit).count()) {
            char text[96];
            std::snprintf(text, sizeof text, "code 0x%08X has not completed after %lld s", g_in_flight_code.load(),
                          (long long)std::chrono::duration_cast<std::chrono::seconds>(kHangLimit).count());
            Finding("a request never completed", text);
        }
    }
}

using fuzzsetup::Reader;

struct World {
    hk::Machine machine;
    PDEVICE_OBJECT root = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    hk::io::Handle bus = nullptr;
    uint8_t frame_index = kDefaultFrameIndex;  // what the host is asked to stream
    size_t handles = 0;                         // open handles of a restored machine

    PFDO_DEVICE_DATA Ext() const { return (PFDO_DEVICE_DATA)fdo->DeviceExtension; }

    std::shared_ptr<usbclass::VideoFunction> Video() const {
        auto d = usbclass::FindDevice(VHUB_CAMERA_VENDOR_ID, VHUB_CAMERA_PRODUCT_ID);
        return d ? d->Video() : nullptr;
    }
    std::shared_ptr<usbclass::AudioFunction> Sound() const {
        auto d = usbclass::FindDevice(VHUB_AUDIO_VENDOR_ID, VHUB_AUDIO_PRODUCT_ID);
        return d ? d->Audio() : nullptr;
    }

    void Boot() {
        VhubDebugLevel = 0;
        usbclass::Install();
        hk::io::DriverOptions options;
        options.pool_tags = {VHUB_POOL_TAG, VHUB_PCM_POOL_TAG};
        NTSTATUS status = STATUS_SUCCESS;
        if (!hk::io::LoadDriver(kDriver, DriverEntry, &status, options)) Finding("the driver did not load");
        hk::pnp::RootDeviceSettings root_device;
        root_device.hardware_ids = {kHardwareId};
        root_device.description = "virtual USB bus";
        root_device.driver = kDriver;
        if (!NT_SUCCESS(hk::pnp::InstallRootDevice(root_device, &root)) || !hk::pnp::WaitIdle())
            Finding("the bus did not install");
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(root);
        ObfDereferenceObject(top);
        fdo = top;
        std::vector<std::u16string> links = hk::io::FindInterfaces(VhubBusInterfaceGuid);
        if (links.empty() || !NT_SUCCESS(hk::io::Open(links[0], &bus))) Finding("the bus interface did not open");
        Restore();
        handles = machine.OpenHandleCount();
    }

    // Children present and every host stream running, whatever the last
    // input left: the class drivers' transfers are then parked for the
    // write paths to fill.
    void Restore() {
        if (hk::pnp::Children(root).size() != VHUB_CHILD_SLOTS) {
            ULONG bytes = 0;
            hk::io::DeviceIoControl(bus, IOCTL_BUSENUM_PLUGIN_DEVICE, nullptr, 0, nullptr, 0, &bytes);
            hk::pnp::WaitIdle();
            if (hk::pnp::Children(root).size() != VHUB_CHILD_SLOTS) Finding("the children did not come back");
        }
        if (auto video = Video()) {
            if (!video->Streaming()) {
                if (!NT_SUCCESS(video->SetFrame(1, frame_index)) || !NT_SUCCESS(video->Start())) {
                    frame_index = kDefaultFrameIndex;
                    video->SetFrame(1, frame_index);
                    video->Start();
                }
                // Frames the host rebuilds are not kept.
                video->OnFrame([](const usbclass::uvc::Frame&) {});
                video->OnError([](const usbclass::uvc::StreamErrorEvent&) {});
            }
        }
        if (auto sound = Sound()) {
            sound->OnCapture([](const usbclass::CaptureChunk&) {});
            if (!sound->Capturing()) sound->StartCapture();
            if (!sound->Playing()) sound->StartPlayback();
        }
    }

    // The host restarts the camera stream on another frame size (bFrameIndex
    // 5 is one the camera knows but does not offer: the host refuses it).
    void Reframe(uint8_t index) {
        auto video = Video();
        if (!video) return;
        video->Stop();
        frame_index = index;
        if (!NT_SUCCESS(video->SetFrame(1, index)) || !NT_SUCCESS(video->Start())) {
            frame_index = kDefaultFrameIndex;
            video->SetFrame(1, frame_index);
            video->Start();
        }
    }

    void HostStreams(uint8_t bits) {
        auto sound = Sound();
        if (!sound) return;
        if (bits & 1) sound->Capturing() ? sound->StopCapture() : sound->StartCapture();
        if (bits & 2) sound->Playing() ? sound->StopPlayback() : sound->StartPlayback();
    }

    ULONG CurrentFrameBytes() const { return FrameSizeForIndex((LONG)Ext()->curr_frame_index - 1); }

    void Check() {
        std::vector<hk::Finding> findings = machine.Findings();
        machine.CheckPoolGuards();
        findings = machine.Findings();
        if (!findings.empty()) {
            std::string text;
            for (const hk::Finding& f : findings) text += f.Describe() + "\n";
            Finding("verifier", text);
        }
        std::vector<hk::AssertionRecord> asserts = machine.Assertions();
        if (!asserts.empty()) {
            std::string text;
            for (const hk::AssertionRecord& a : asserts)
                text += a.expression + " at " + a.file + ":" + std::to_string(a.line) + " " + a.message + "\n";
            Finding("assertion", text);
        }
        if (hk::io::OutstandingIrpCount() > kMaxOutstandingIrps)
            Finding("requests accumulate", std::to_string(hk::io::OutstandingIrpCount()) + " IRPs outstanding");
        size_t pool = machine.PoolStats(VHUB_POOL_TAG).bytes_in_use + machine.PoolStats(VHUB_PCM_POOL_TAG).bytes_in_use;
        if (pool > kMaxDriverPoolBytes) Finding("driver pool accumulates", std::to_string(pool) + " bytes in use");
        if (machine.PoolStats(kFuzzTag).blocks_in_use != 0) Finding("a kernel-memory stand-in was not freed");
        if (machine.OpenHandleCount() > handles + 8)
            Finding("handles accumulate", std::to_string(machine.OpenHandleCount()) + " open");
    }
};

// The machine keeps a record of every thread that ever ran (the host's
// stream workers start anew with every stream restart), and each step of the
// clock looks at all of them; past this many the machine is shut down (its
// final checks run: a leak is a finding) and a fresh one boots.
constexpr size_t kMaxThreadRecords = 1500;

World* g_world = nullptr;

void ShutDown(World* w) {
    hk::io::Close(w->bus);
    hk::pnp::Uninstall(w->root);
    hk::pnp::WaitIdle();
    hk::io::UnloadDriver(kDriver);
    if (hk::io::FindDriver("usbccgp")) hk::io::UnloadDriver("usbccgp");
    std::string report = w->machine.Report();
    if (!report.empty()) Finding("the machine is not clean at shutdown", report);
    delete w;
}

World& WorldOnce() {
    static bool watching = [] {
        std::thread(Watchdog).detach();
        // At exit the machine goes the orderly way, so that its final checks
        // run and its threads have ended before the exit's leak check looks.
        std::atexit([] {
            if (g_world) ShutDown(g_world);
            g_world = nullptr;
        });
        return true;
    }();
    (void)watching;
    if (g_world && g_world->machine.Threads().size() > kMaxThreadRecords) {
        ShutDown(g_world);
        g_world = nullptr;
    }
    if (!g_world) {
        g_world = new World();
        g_world->Boot();
    }
    return *g_world;
}

// The one thread that sends the requests that wait on the clock while the
// fuzzing thread drives it (one thread for all of them, so that the machine
// does not record a new one each time).
class Sender {
public:
    Sender() : thread_([this] { Run(); }) { thread_.detach(); }
    void Start(std::function<void()> job) {
        std::lock_guard<std::mutex> g(mutex_);
        job_ = std::move(job);
        done_ = false;
        cv_.notify_all();
    }
    bool Done() {
        std::lock_guard<std::mutex> g(mutex_);
        return done_;
    }

private:
    void Run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> g(mutex_);
                cv_.wait(g, [this] { return job_ != nullptr; });
                job = std::move(job_);
                job_ = nullptr;
            }
            job();
            std::lock_guard<std::mutex> g(mutex_);
            done_ = true;
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void()> job_;
    bool done_ = true;
    std::thread thread_;
};

Sender& SenderOnce() {
    static Sender* sender = new Sender();
    return *sender;
}

// One caller buffer: an exact heap block, null with a length, a pool block
// (kernel memory, never the caller's), or a misaligned pointer into a heap
// block that still ends exactly at the stated length.
enum class Where { Heap, Null, Pool, Misaligned };

struct Buffer {
    Where where = Where::Heap;
    ULONG length = 0;
    uint8_t* block = nullptr;
    uint8_t* pointer = nullptr;

    Buffer(Where w, ULONG len, uint8_t fill, const uint8_t* seed, size_t seed_length) : where(w), length(len) {
        switch (where) {
        case Where::Heap:
            block = pointer = (uint8_t*)std::malloc(len ? len : 1);
            break;
        case Where::Null:
            break;
        case Where::Pool:
            pointer = (uint8_t*)ExAllocatePoolWithTag(NonPagedPool, len ? len : 1, kFuzzTag);
            if (!pointer) Finding("the pool refused a stand-in block");
            break;
        case Where::Misaligned: {
            size_t skew = 1 + fill % 3;
            block = (uint8_t*)std::malloc(len + skew);
            pointer = block + skew;
            break;
        }
        }
        if (pointer && len) {
            std::memset(pointer, fill, len);
            std::memcpy(pointer, seed, seed_length < len ? seed_length : len);
        }
    }
    ~Buffer() {
        if (where == Where::Pool) ExFreePoolWithTag(pointer, kFuzzTag);
        std::free(block);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    bool Bad() const { return where != Where::Heap && length != 0; }
};

Where WhereOf(uint8_t bits) {
    switch (bits & 7) {
    case 5: return Where::Null;
    case 6: return Where::Pool;
    case 7: return Where::Misaligned;
    default: return Where::Heap;
    }
}

ULONG SizeOf(uint8_t cls, Reader& in, const World& w) {
    switch (cls & 7) {
    case 0: return 0;
    case 1: return in.Byte();
    case 2: return in.Bytes(2);
    case 3: return in.Bytes(3) % (400u << 10);
    case 4: return w.CurrentFrameBytes();
    case 5: return w.CurrentFrameBytes() + (int8_t)in.Byte();
    case 6: return kFrameBytes[in.Byte() % 5] + (in.Byte() & 3);
    default: return 16u * in.Byte();  // PCM-sized blocks (1920 is 10 ms)
    }
}

bool IsOutputCode(ULONG code) {
    return code == IOCTL_GET_DEVICE_INFO || code == IOCTL_BULKUSB_READ_RAW_DATA || code == IOCTL_BULKUSB_Read_PCM ||
           code == IOCTL_BULKUSB_READ_VIDEOINDEX;
}

// Sends one request. The raw-data read waits on the clock: it runs on its
// own thread while this one drives the clock in steps until it completes.
NTSTATUS Send(World& w, ULONG code, const Buffer& in, Buffer& out, ULONG* bytes, uint8_t clock_step) {
    g_in_flight_code.store(code);
    g_in_flight_since.store(NowMs());
    NTSTATUS status;
    if (code == IOCTL_BULKUSB_READ_RAW_DATA) {
        size_t blocked = w.machine.BlockedThreadCount();
        Sender& sender = SenderOnce();
        sender.Start([&] {
            status = hk::io::DeviceIoControl(w.bus, code, in.pointer, in.length, out.pointer, out.length, bytes);
        });
        const LONGLONG step = 100 + 2LL * clock_step;  // 100 to 610 ms
        while (!sender.Done()) {
            if (w.machine.WaitForBlockedThreads(blocked + 1, std::chrono::milliseconds(1)) && !sender.Done())
                w.machine.AdvanceMs(step);
        }
    } else {
        status = hk::io::DeviceIoControl(w.bus, code, in.pointer, in.length, out.pointer, out.length, bytes);
    }
    g_in_flight_since.store(0);
    return status;
}

// Every transfer method, and the function codes the bus does not know.
ULONG OtherCode(Reader& in) {
    uint8_t how = in.Byte();
    if (how & 1) return kBusCodes[(how >> 1) % kBusCodeCount] ^ (in.Byte() & 3);  // another method
    if (how & 2) return CTL_CODE(FILE_DEVICE_UNKNOWN, in.Byte(), in.Byte() & 3, in.Byte() & 3);
    return in.Bytes(4);
}

// Time after a request: mostly none (each step of the clock runs the pacing
// thread), else around the microphone's 30 ms window.
const LONGLONG kAdvanceMs[8] = {0, 0, 0, 1, 10, 29, 31, 50};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) { return fuzzsetup::NoLeakScanPerInput(argc, argv); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = WorldOnce();
    Reader in{data, size};
    w.Restore();

    for (int ops = 0; in.size > 0 && ops < 48; ++ops) {
        uint8_t op = in.Byte();
        uint8_t kind = op & 15;
        if (kind == 11) {
            w.machine.AdvanceMs(4LL * in.Byte());
            continue;
        }
        if (kind == 12) {
            w.Reframe((uint8_t)(1 + in.Byte() % 5));
            continue;
        }
        if (kind == 15) {
            w.HostStreams(in.Byte());
            continue;
        }
        ULONG code;
        if (kind < kBusCodeCount) code = kBusCodes[kind];
        else if (kind == 9 || kind == 10) code = OtherCode(in);
        else if (kind == 13) code = IOCTL_BULKUSB_WRITE_YUV2;
        else code = IOCTL_BULKUSB_WRITE_PCM;  // 14

        uint8_t shape = in.Byte();  // sizes: bits 0-2 input, 3-5 output
        uint8_t where = in.Byte();  // pointers: bits 0-2 input, 3-5 output
        uint8_t fill = in.Byte();
        ULONG in_length = kind == 13 ? w.CurrentFrameBytes() : SizeOf(shape, in, w);
        ULONG out_length = SizeOf(shape >> 3, in, w);
        size_t seed = in.size < 64 ? in.size : 64;
        Buffer input(WhereOf(where), in_length, fill, in.data, seed);
        Buffer output(WhereOf(where >> 3), out_length, (uint8_t)~fill, nullptr, 0);

        ULONG bytes = 0;
        NTSTATUS status = Send(w, code, input, output, &bytes, in.Byte());

        if (code == IOCTL_BUSENUM_PLUGIN_DEVICE || code == IOCTL_BUSENUM_UNPLUG_DEVICE) {
            // The manager acts on the new relations now, not at some point
            // during the next requests, so that an input replays the same way;
            // children that came back stream again at once.
            hk::pnp::WaitIdle();
            if (code == IOCTL_BUSENUM_PLUGIN_DEVICE && NT_SUCCESS(status)) w.Restore();
        }
        if (IsOutputCode(code) && bytes > out_length) {
            char text[96];
            std::snprintf(text, sizeof text, "code 0x%08X returned %lu bytes for a %lu-byte buffer", code,
                          (unsigned long)bytes, (unsigned long)out_length);
            Finding("more bytes returned than the output buffer holds", text);
        }
        // Reading into memory that is not the caller's must fail (the
        // raw-data read only looks at its buffer once a frame is waiting).
        if ((code == IOCTL_BULKUSB_Read_PCM || code == IOCTL_BULKUSB_READ_VIDEOINDEX) && output.Bad() &&
            NT_SUCCESS(status)) {
            char text[96];
            std::snprintf(text, sizeof text, "code 0x%08X into a bad %lu-byte buffer: 0x%08X, %lu bytes", code,
                          (unsigned long)out_length, (unsigned)status, (unsigned long)bytes);
            Finding("a read into a bad buffer reported success", text);
        }
        if (LONGLONG ms = kAdvanceMs[(op >> 4) & 7]) w.machine.AdvanceMs(ms);
    }

    hk::pnp::WaitIdle();
    w.Check();
    // Messages of one input are of no use to the next.
    w.machine.ClearDebugLog();
    return 0;
}
