// A hostkernel machine with the bus driver installed on a root-enumerated
// device, and small helpers to send the bus and its children requests the
// way the plug-and-play manager and the application would.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/vhub.h"
#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"

namespace bus_rig {

constexpr ULONG kZuwa = 0x6177755A;
constexpr ULONG kDcba = 0x61626364;
constexpr const char kDriverName[] = "VhubVMic";
constexpr const char kHardwareId[] = "ROOT\\VHUBVMIC";

hk::Machine::Options RealClock();

class Rig {
public:
    explicit Rig(hk::Machine::Options options = RealClock());
    ~Rig();

    hk::Machine machine;

    // Loads the driver (once) and registers it for the root device's ID, and
    // the pass-through function driver for the children.
    PDRIVER_OBJECT Driver();
    // Installs the root-enumerated bus; the manager adds and starts it.
    NTSTATUS Install();
    // Orderly removal of the bus (children first), waiting for the manager.
    NTSTATUS Uninstall();
    // Uninstalls (when installed) and unloads the driver.
    void TearDown();

    PDEVICE_OBJECT root_pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PFDO_DEVICE_DATA Bus() const { return (PFDO_DEVICE_DATA)fdo->DeviceExtension; }
    PDEVICE_OBJECT Child(int slot) const { return Bus()->ChildPdo[slot]; }
    PPDO_DEVICE_DATA ChildData(int slot) const {
        return Child(slot) ? (PPDO_DEVICE_DATA)Child(slot)->DeviceExtension : nullptr;
    }
    // The children the manager knows under the bus, in reported order.
    std::vector<PDEVICE_OBJECT> ReportedChildren() const;

    // The application's side: open the bus interface and send it control codes.
    NTSTATUS OpenBus();
    void CloseBus();
    NTSTATUS Ioctl(ULONG code, const void* in = nullptr, ULONG in_length = 0, void* out = nullptr,
                   ULONG out_length = 0, ULONG* returned = nullptr);
    bool BusInterfaceEnabled() const;

    // Live pacing threads of the driver.
    size_t PacingThreads() const;
    size_t PacingThreadsEver() const;

    bool Logged(const std::string& text) const;
    size_t CountLogged(const std::string& text) const;

private:
    PDRIVER_OBJECT driver_ = nullptr;
    hk::io::Handle bus_handle_ = nullptr;
    bool installed_ = false;
};

// A minimal function driver for the children ("USB\COMPOSITE"): it attaches
// and passes everything down, so that the manager starts the children and
// an application can hold a handle on them.
void RegisterPassThroughFunctionDriver();
// The enabled USB-device interfaces of the children.
std::vector<std::u16string> ChildInterfaces();

// A request built and sent from the calling thread, waited for, and freed:
// the way the plug-and-play manager sends its own requests.
struct Sent {
    NTSTATUS returned = 0;   // what IofCallDriver returned
    NTSTATUS status = 0;     // the final IoStatus.Status
    ULONG_PTR information = 0;
};
Sent SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
             const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr,
             NTSTATUS preset = STATUS_NOT_SUPPORTED, ULONG_PTR preset_information = 0);
inline Sent SendPnp(PDEVICE_OBJECT target, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr,
                    NTSTATUS preset = STATUS_NOT_SUPPORTED, ULONG_PTR preset_information = 0) {
    return SendIrp(target, IRP_MJ_PNP, minor, setup, preset, preset_information);
}

std::u16string WideOf(const void* buffer);                  // a NUL-terminated WCHAR text
std::vector<std::u16string> MultiOf(const void* buffer);    // a multi-string

}  // namespace bus_rig
