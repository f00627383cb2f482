// vhubctl: drives the virtual USB bus from the command line.
//
//   vhubctl info                       the bus interface and the host's frame size
//   vhubctl plug                       plug the camera and the audio device in
//   vhubctl unplug                     unplug both
//   vhubctl feed FILE.y4m FILE.wav [--loop] [--seconds N]
//                                      play video into the camera (at the frame size
//                                      the host selected) and audio into the microphone,
//                                      in real time
//   vhubctl record-speaker FILE.wav [--seconds N]
//                                      record what the host plays on the speaker
//   vhubctl raw CODE [--in N] [--out N] [--in-addr ADDR] [--out-addr ADDR]
//                                      one device-control request, as it is: CODE
//                                      with an input of N zero bytes and an output
//                                      buffer of N bytes (4-byte aligned), or with
//                                      the given addresses as the buffers (to see
//                                      how bad pointers are answered); prints
//                                      "status 0x... NAME bytes N ms T [data ..]"
//
// Ctrl+C ends feed and record-speaker cleanly.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vhub/media.h"
#include "vhub/sdk.h"

using namespace vhub::sdk;

namespace {

volatile LONG g_stop = 0;

BOOL WINAPI OnConsoleCtrl(DWORD) {
    InterlockedExchange(&g_stop, 1);
    return TRUE;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vhubctl info | plug | unplug\n"
                 "       vhubctl feed FILE.y4m FILE.wav [--loop] [--seconds N]\n"
                 "       vhubctl record-speaker FILE.wav [--seconds N]\n"
                 "       vhubctl raw CODE [--in N] [--out N] [--in-addr ADDR] [--out-addr ADDR]\n");
    return 2;
}

bool OpenBus(Bus* bus) {
    int32_t status = bus->Open();
    if (status < 0) {
        std::fprintf(stderr, "vhubctl: cannot open the bus interface: %s\n", StatusText(status).c_str());
        return false;
    }
    return true;
}

int Report(const char* what, const Result& r) {
    std::printf("%s: %s\n", what, StatusText(r.status).c_str());
    return r.ok() ? 0 : 1;
}

// Milliseconds on the performance counter.
class Clock {
public:
    Clock() {
        QueryPerformanceFrequency(&freq_);
        QueryPerformanceCounter(&start_);
    }
    double Ms() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return double(now.QuadPart - start_.QuadPart) * 1000.0 / double(freq_.QuadPart);
    }
    void SleepUntil(double ms) const {
        double left = ms - Ms();
        if (left > 1.0) Sleep(DWORD(left));
    }

private:
    LARGE_INTEGER freq_, start_;
};

// The system timer runs at 15.6 ms by default, too coarse for 10 ms audio
// writes; ask for 1 ms while feeding.
class TimerResolution {
public:
    TimerResolution() {
        HMODULE winmm = LoadLibraryW(L"winmm.dll");
        if (winmm) {
            begin_ = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
            end_ = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeEndPeriod")));
        }
        if (begin_) begin_(1);
    }
    ~TimerResolution() {
        if (end_) end_(1);
    }

private:
    typedef UINT(WINAPI* Fn)(UINT);
    Fn begin_ = nullptr;
    Fn end_ = nullptr;
};

double ParseSeconds(int argc, char** argv, int from) {
    for (int i = from; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) return std::atof(argv[i + 1]);
    }
    return 0.0;
}

bool HasFlag(int argc, char** argv, int from, const char* flag) {
    for (int i = from; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) return true;
    }
    return false;
}

int Info() {
    Bus bus;
    std::vector<std::string> found = bus.FindInterfaces();
    if (found.empty()) {
        std::fprintf(stderr, "vhubctl: no bus interface present\n");
        return 1;
    }
    for (const std::string& path : found) std::printf("interface: %s\n", path.c_str());
    if (!OpenBus(&bus)) return 1;
    int rc = Report("device info", bus.GetDeviceInfo());
    uint8_t index = 0;
    Result r = bus.ReadVideoIndex(&index);
    FrameSize size;
    if (r.ok() && FrameSizeForIndex(index, &size)) {
        std::printf("video index: %u (%ux%u, %u bytes per frame)\n", index, size.width, size.height,
                    size.bytes());
    } else if (r.ok()) {
        std::printf("video index: %u (no such frame size)\n", index);
    } else {
        rc |= Report("video index", r);
    }
    return rc;
}

int Feed(const char* y4m_path, const char* wav_path, bool loop, double seconds) {
    std::string error;
    Y4mReader video;
    if (!video.Open(y4m_path, &error)) {
        std::fprintf(stderr, "vhubctl: %s\n", error.c_str());
        return 1;
    }
    std::vector<uint8_t> pcm;
    if (!LoadWavAsBusPcm(wav_path, &pcm, &error)) {
        std::fprintf(stderr, "vhubctl: %s\n", error.c_str());
        return 1;
    }
    Bus bus;
    if (!OpenBus(&bus)) return 1;

    const Y4mHeader& h = video.header();
    const double frame_ms = 1000.0 * h.fps_den / h.fps_num;
    const double pcm_ms = 10.0;  // one write per 10 ms: well inside the driver's 30 ms window
    const size_t pcm_chunk = size_t(pcm_ms) * kAudioBytesPerMs;
    std::printf("feeding %s (%ux%u at %.3f fps) and %s (%.1f s)\n", y4m_path, h.width, h.height,
                1000.0 / frame_ms, wav_path, double(pcm.size()) / (kAudioBytesPerMs * 1000.0));

    TimerResolution resolution;
    Clock clock;
    double next_frame = 0, next_pcm = 0;
    size_t pcm_pos = 0;
    bool video_done = false, audio_done = pcm.empty();
    std::vector<uint8_t> planar, yuy2;
    std::vector<uint8_t> chunk(pcm_chunk);
    unsigned long frames = 0, dropped_writes = 0;
    int32_t last_video_status = 0;

    while (!g_stop && !(video_done && audio_done)) {
        if (seconds > 0 && clock.Ms() >= seconds * 1000.0) break;
        if (!audio_done && clock.Ms() >= next_pcm) {
            size_t n = pcm.size() - pcm_pos < pcm_chunk ? pcm.size() - pcm_pos : pcm_chunk;
            std::memcpy(chunk.data(), pcm.data() + pcm_pos, n);
            std::memset(chunk.data() + n, 0, pcm_chunk - n);
            Result r = bus.WritePcm(chunk.data(), pcm_chunk);
            if (!r.ok()) ++dropped_writes;
            pcm_pos += n;
            if (pcm_pos >= pcm.size()) {
                if (loop) pcm_pos = 0; else audio_done = true;
            }
            next_pcm += pcm_ms;
        }
        if (!video_done && clock.Ms() >= next_frame) {
            if (!video.ReadFrame(&planar, &error)) {
                if (!error.empty()) std::fprintf(stderr, "vhubctl: %s: %s\n", y4m_path, error.c_str());
                if (loop && error.empty() && video.Rewind() && video.ReadFrame(&planar, &error)) {
                    // looped
                } else {
                    video_done = true;
                }
            }
            if (!video_done) {
                // The host may change the frame size at any time: ask every frame.
                uint8_t index = 0;
                FrameSize size;
                if (bus.ReadVideoIndex(&index).ok() && FrameSizeForIndex(index, &size)) {
                    PlanarToYuy2(planar.data(), h, size.width, size.height, &yuy2);
                    Result r = bus.WriteFrame(yuy2.data(), yuy2.size());
                    if (r.status != last_video_status) {
                        std::fprintf(stderr, "vhubctl: frame write: %s\n", StatusText(r.status).c_str());
                        last_video_status = r.status;
                    }
                    ++frames;
                }
            }
            next_frame += frame_ms;
        }
        double next = video_done ? next_pcm : audio_done ? next_frame : (next_pcm < next_frame ? next_pcm : next_frame);
        clock.SleepUntil(next);
    }
    std::printf("%lu frames written, %lu PCM writes failed\n", frames, dropped_writes);
    return 0;
}

int RecordSpeaker(const char* wav_path, double seconds) {
    Bus bus;
    if (!OpenBus(&bus)) return 1;
    WavWriter wav;
    std::string error;
    if (!wav.Open(wav_path, &error)) {
        std::fprintf(stderr, "vhubctl: %s\n", error.c_str());
        return 1;
    }
    std::printf("recording the speaker into %s; Ctrl+C ends\n", wav_path);
    TimerResolution resolution;
    Clock clock;
    // The driver keeps at most four records of up to 2048 bytes; read every
    // 20 ms with room for all of them.
    std::vector<uint8_t> buffer;
    int rc = 0;
    while (!g_stop) {
        if (seconds > 0 && clock.Ms() >= seconds * 1000.0) break;
        Result r = bus.ReadSpeakerPcm(&buffer, 4 * 2048);
        if (!r.ok()) {
            std::fprintf(stderr, "vhubctl: speaker read: %s\n", StatusText(r.status).c_str());
            rc = 1;
            break;
        }
        if (!buffer.empty() && !wav.Append(buffer.data(), buffer.size())) {
            std::fprintf(stderr, "vhubctl: cannot write %s\n", wav_path);
            rc = 1;
            break;
        }
        Sleep(20);
    }
    unsigned long long bytes = wav.data_bytes();
    if (!wav.Close()) {
        std::fprintf(stderr, "vhubctl: cannot finish %s\n", wav_path);
        rc = 1;
    }
    std::printf("%llu bytes (%.2f s) recorded\n", bytes, double(bytes) / (kAudioBytesPerMs * 1000.0));
    return rc;
}

// The value of "--name VALUE" (decimal, or hex with 0x), or fallback.
bool ParseNumberOption(int argc, char** argv, int from, const char* name, unsigned long long* value) {
    for (int i = from; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            char* end = nullptr;
            *value = std::strtoull(argv[i + 1], &end, 0);
            return end && *end == '\0';
        }
    }
    return false;
}

int Raw(int argc, char** argv) {
    char* end = nullptr;
    unsigned long code = std::strtoul(argv[2], &end, 0);
    if (!end || *end != '\0') return Usage();
    unsigned long long in_length = 0, out_length = 0, in_addr = 0, out_addr = 0;
    ParseNumberOption(argc, argv, 3, "--in", &in_length);
    ParseNumberOption(argc, argv, 3, "--out", &out_length);
    bool bad_in = ParseNumberOption(argc, argv, 3, "--in-addr", &in_addr);
    bool bad_out = ParseNumberOption(argc, argv, 3, "--out-addr", &out_addr);
    if (in_length > 0xFFFFFFFFull || out_length > 0xFFFFFFFFull) return Usage();
    // Buffers of 32-bit words: 4-byte aligned, as the METHOD_NEITHER codes want.
    std::vector<uint32_t> in(size_t((in_length + 3) / 4)), out(size_t((out_length + 3) / 4));
    const void* in_ptr = bad_in ? reinterpret_cast<const void*>(uintptr_t(in_addr))
                                : (in_length ? in.data() : nullptr);
    void* out_ptr = bad_out ? reinterpret_cast<void*>(uintptr_t(out_addr))
                            : (out_length ? out.data() : nullptr);
    Bus bus;
    if (!OpenBus(&bus)) return 1;
    Clock clock;
    Result r = bus.Control(uint32_t(code), in_ptr, size_t(in_length), out_ptr, size_t(out_length));
    double ms = clock.Ms();
    std::printf("status %s bytes %u ms %.0f", StatusText(r.status).c_str(), r.bytes, ms);
    if (!bad_out && r.bytes > 0) {
        std::printf(" data");
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(out.data());
        for (uint32_t i = 0; i < r.bytes && i < 16 && i < out_length; ++i) std::printf(" %02X", bytes[i]);
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    const std::string cmd = argv[1];
    if (cmd == "info" && argc == 2) return Info();
    if (cmd == "plug" && argc == 2) {
        Bus bus;
        return OpenBus(&bus) ? Report("plug", bus.PlugIn()) : 1;
    }
    if (cmd == "unplug" && argc == 2) {
        Bus bus;
        return OpenBus(&bus) ? Report("unplug", bus.Unplug()) : 1;
    }
    if (cmd == "feed" && argc >= 4) {
        return Feed(argv[2], argv[3], HasFlag(argc, argv, 4, "--loop"), ParseSeconds(argc, argv, 4));
    }
    if (cmd == "record-speaker" && argc >= 3) return RecordSpeaker(argv[2], ParseSeconds(argc, argv, 3));
    if (cmd == "raw" && argc >= 3) return Raw(argc, argv);
    return Usage();
}
