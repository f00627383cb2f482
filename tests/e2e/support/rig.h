// A whole machine as the application and the host see it: hostkernel with
// the host's USB class drivers installed, the bus driver on a
// root-enumerated device, and the application's SDK opened on the bus
// interface. Header-only so that the benchmarks can use it too.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "usbclass/usbclass.h"
#include "vhub/sdk.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace e2e {

constexpr char kDriver[] = "VhubVMic";
constexpr char kHardwareId[] = "ROOT\\VHUBVMIC";
constexpr char kCompositeDriver[] = "usbccgp";  // what usbclass::Install() registers
constexpr uint16_t kCameraVid = 0xFC01, kCameraPid = 0xFD01;
constexpr uint16_t kAudioVid = 0xFC02, kAudioPid = 0xFD02;

inline hk::Machine::Options VirtualClock() { return hk::Machine::Options(); }
inline hk::Machine::Options RealClock() {
    hk::Machine::Options o;
    o.clock = hk::ClockMode::Real;
    return o;
}

class Rig {
public:
    explicit Rig(hk::Machine::Options options = VirtualClock()) : machine(options) {}
    ~Rig() { Shutdown(); }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    hk::Machine machine;
    PDEVICE_OBJECT root = nullptr;
    vhub::sdk::Bus app;

    // Class drivers first, so that the children find them when they start;
    // then the bus, and the application's handle on its interface.
    NTSTATUS Boot() {
        usbclass::Install();
        hk::io::DriverOptions options;
        options.pool_tags = {hk::MakeTag("Zuwa"), hk::MakeTag("dcba")};
        NTSTATUS status = STATUS_SUCCESS;
        if (!hk::io::LoadDriver(kDriver, DriverEntry, &status, options)) return status;
        hk::pnp::RootDeviceSettings root_device;
        root_device.hardware_ids = {kHardwareId};
        root_device.description = "virtual USB bus";
        root_device.driver = kDriver;
        status = hk::pnp::InstallRootDevice(root_device, &root);
        if (!NT_SUCCESS(status)) return status;
        if (!hk::pnp::WaitIdle()) return STATUS_TIMEOUT;
        return app.Open();
    }

    std::shared_ptr<usbclass::CompositeDevice> Camera() const { return usbclass::FindDevice(kCameraVid, kCameraPid); }
    std::shared_ptr<usbclass::CompositeDevice> Audio() const { return usbclass::FindDevice(kAudioVid, kAudioPid); }
    std::shared_ptr<usbclass::VideoFunction> Video() const {
        auto d = Camera();
        return d ? d->Video() : nullptr;
    }
    std::shared_ptr<usbclass::AudioFunction> Sound() const {
        auto d = Audio();
        return d ? d->Audio() : nullptr;
    }

    // Orderly removal of the bus (children first) after the application let go.
    NTSTATUS RemoveBus() {
        app.Close();
        NTSTATUS status = STATUS_SUCCESS;
        if (root) {
            status = hk::pnp::Uninstall(root);
            hk::pnp::WaitIdle();
            root = nullptr;
        }
        return status;
    }

    // Everything gone: the bus, then both drivers. Idempotent.
    void Shutdown() {
        if (down_) return;
        down_ = true;
        RemoveBus();
        if (hk::io::FindDriver(kDriver)) hk::io::UnloadDriver(kDriver);
        if (hk::io::FindDriver(kCompositeDriver)) hk::io::UnloadDriver(kCompositeDriver);
    }

private:
    bool down_ = false;
};

// Frame number `n` of `bytes` bytes: every 32-bit word carries its position
// and the frame number, so a payload put at the wrong offset, a lost or
// repeated payload and a frame swapped with its neighbour all show.
inline std::vector<uint8_t> NumberedFrame(size_t bytes, uint32_t n) {
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        uint32_t w = (uint32_t)(i / 4) * 2654435761u ^ (n + 1) * 0x9E3779B9u;
        std::memcpy(&v[i], &w, 4);
    }
    for (size_t i = bytes & ~(size_t)3; i < bytes; ++i) v[i] = (uint8_t)(n + i);
    return v;
}

// Stereo 16-bit little-endian PCM of a sine tone at 48 kHz, `frames` sample
// frames starting at sample frame `from` (so consecutive blocks join without
// a seam). The right channel runs a different tone, so a swapped channel pair
// or a 2-byte shift shows.
inline std::vector<uint8_t> Tone(uint64_t from, size_t frames, double left_hz = 997.0, double right_hz = 440.0) {
    std::vector<uint8_t> v(frames * 4);
    const double kTwoPi = 6.283185307179586;
    for (size_t i = 0; i < frames; ++i) {
        double t = (double)(from + i) / 48000.0;
        int16_t l = (int16_t)std::lround(12000.0 * std::sin(kTwoPi * left_hz * t));
        int16_t r = (int16_t)std::lround(9000.0 * std::sin(kTwoPi * right_hz * t));
        v[i * 4 + 0] = (uint8_t)l;
        v[i * 4 + 1] = (uint8_t)((uint16_t)l >> 8);
        v[i * 4 + 2] = (uint8_t)r;
        v[i * 4 + 3] = (uint8_t)((uint16_t)r >> 8);
    }
    return v;
}

}  // namespace e2e
