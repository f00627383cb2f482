// The plug-and-play manager as a person drives it from Device Manager:
// install a root-enumerated device, start, stop, disable, enable,
// surprise-remove and uninstall it, and look at the device tree. The manager
// runs on a thread of its own; requests for devices are serialised there.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "hostkernel/wdk.h"

namespace hk::pnp {

enum class NodeState {
    Initialized,      // identified, no driver added yet
    DriversAdded,     // AddDevice done, not started
    Started,
    StartFailed,      // the start failed; the stack was torn down
    AddFailed,        // the function driver's AddDevice failed
    NoDriver,         // no function driver matched and the device is not usable
                      // raw: identified and kept in the tree, never started
    QueryStopped,
    Stopped,
    QueryRemoved,
    SurpriseRemoved,  // waiting for its handles to close before removal
    Removed,          // stack removed, node kept (disabled)
    Deleted,          // gone from the tree
};
const char* StateName(NodeState state);

// What Device Manager would show of one device node.
struct DeviceInfo {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT parent_pdo = nullptr;  // null for a root-enumerated device
    std::string instance_path;            // e.g. "ROOT\SYSTEM\0000"
    std::string device_id;
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    std::string instance_id;
    std::string container_id;
    std::string description;
    std::string location;
    bool has_capabilities = false;
    DEVICE_CAPABILITIES capabilities{};
    bool has_bus_information = false;
    PNP_BUS_INFORMATION bus_information{};
    NodeState state = NodeState::Initialized;
    NTSTATUS problem = STATUS_SUCCESS;  // status of the last failed step
    std::string function_driver;        // bound driver's name; empty when raw or none
    bool raw = false;                   // started without a function driver (RawDeviceOK)
    bool disabled = false;
    DEVICE_POWER_STATE device_power = PowerDeviceUnspecified;
    size_t open_handles = 0;
};

struct RootDeviceSettings {
    std::string enumerator = "ROOT\\SYSTEM";  // device ID; instance IDs count up from 0000
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    std::string description;
    std::string driver;  // a loaded driver, or one registered for one of the IDs
};

// Installs a root-enumerated device: creates its PDO (owned by hostkernel's
// root bus driver), calls the function driver's AddDevice and starts the
// stack. Waits until the start has been handled; *pdo gets the PDO.
NTSTATUS InstallRootDevice(const RootDeviceSettings& root_device, PDEVICE_OBJECT* pdo = nullptr);

// Function drivers, found by hardware identifier first, then by compatible
// identifier (case-insensitive), as Windows matches INF entries. The driver
// is loaded the first time a device needs it. A device that matches none is
// started without one only when its capabilities say RawDeviceOK; otherwise
// it stays in the tree unstarted (NodeState::NoDriver, problem
// STATUS_NOT_FOUND) until it goes, or until Enable finds a driver registered
// since.
void RegisterFunctionDriver(const std::string& id, const std::string& driver_name,
                            PDRIVER_INITIALIZE entry);
// Registers, for `id`, a function driver that attaches above the device's
// PDO and does nothing of its own: create, close and cleanup succeed at its
// device, power and plug-and-play go down (it detaches and deletes its device
// at removal), and everything else passes down unchanged. It lets a device
// that is not usable raw be started when the test itself plays the host.
void RegisterPassThroughFunctionDriver(const std::string& id);

// Device Manager operations; each waits for the manager to carry it out.
NTSTATUS Stop(PDEVICE_OBJECT pdo);        // query-stop, stop, start (a rebalance)
NTSTATUS Disable(PDEVICE_OBJECT pdo);     // orderly removal of the stack; the node stays
NTSTATUS Enable(PDEVICE_OBJECT pdo);      // AddDevice and start again (a driverless device
                                          // is matched against the drivers registered now)
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
NTSTATUS Uninstall(PDEVICE_OBJECT pdo);   // orderly removal, then the node and its PDO go
// Sends IRP_MN_SET_POWER to the top of the device's stack and waits.
NTSTATUS SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state);

// Waits (in real time, up to `limit`) until the manager has no queued or
// running work. Work that waits for virtual time needs the clock advanced
// meanwhile. Returns false on time-out.
bool WaitIdle(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

std::vector<DeviceInfo> Devices();
bool Find(PDEVICE_OBJECT pdo, DeviceInfo* info);
// Children of a device in the order their bus reported them.
std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT pdo);

// The plug-and-play requests the manager sent, in order (tests check the
// order of AddDevice, starts and removals with it).
struct Event {
    std::string instance_path;
    std::string what;   // "AddDevice", or the minor function's name ("START_DEVICE", ...)
    ULONG detail = 0;   // IdType, text type or relation type where the request has one
    NTSTATUS status = STATUS_SUCCESS;
};
std::vector<Event> Log();
void ClearLog();

// Fault injection on hostkernel's root bus driver: the PDO of a root device
// answers the given minor function with `status` (STATUS_SUCCESS clears it).
// IRP_MN_START_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
// IRP_MN_QUERY_REMOVE_DEVICE and IRP_MN_QUERY_CAPABILITIES can be failed.
void SetRootFault(PDEVICE_OBJECT root_pdo, UCHAR minor_function, NTSTATUS status);
// The next IoRegisterDeviceInterface fails with `status`.
void FailNextInterfaceRegistration(NTSTATUS status);

}  // namespace hk::pnp
