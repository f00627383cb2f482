// The I/O manager as tests, the lab and the application's SDK drive it:
// loading and unloading drivers, opening a device interface the way an
// application does, and sending it device-control, read and write requests
// that are built exactly as the Windows system services build them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "hostkernel/wdk.h"

namespace hk::io {

struct DriverOptions {
    // Pool tags the driver allocates with: blocks still held under them when
    // the driver unloads are reported as leaks.
    std::vector<ULONG> pool_tags;
};

// Loads a driver: creates its driver object (every major function set to
// the default handler) and calls DriverEntry once, at PASSIVE_LEVEL, with
// the registry path "\Registry\Machine\System\CurrentControlSet\Services\<name>".
// Returns the driver object, or null when DriverEntry fails (its status in
// *status). Loading a name that is loaded already returns the loaded driver.
PDRIVER_OBJECT LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry,
                          NTSTATUS* status = nullptr, DriverOptions options = {});
PDRIVER_OBJECT FindDriver(const std::string& name);
// Calls DriverUnload and checks the driver's pool tags for leaks. The
// driver's devices must have been deleted (a finding otherwise).
void UnloadDriver(const std::string& name);

// An open file object, as an application's handle names it.
struct File;
using Handle = File*;

// Opens a device interface by its symbolic link ("\??\..." or "\\?\..."):
// IRP_MJ_CREATE to the top of the device's stack. Fails with
// STATUS_OBJECT_NAME_NOT_FOUND when no enabled interface has that link.
NTSTATUS Open(const std::u16string& symbolic_link, Handle* handle);
NTSTATUS Open(const std::string& symbolic_link, Handle* handle);
// IRP_MJ_CLEANUP (when the driver registered it), then IRP_MJ_CLOSE.
NTSTATUS Close(Handle handle);

// As DeviceIoControl on a synchronous handle: builds the request the way
// NtDeviceIoControlFile does for the code's transfer method, sends it from
// the calling thread in user mode and waits if it pends. *bytes_returned is
// the request's Information.
NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* input, ULONG input_length,
                         void* output, ULONG output_length, ULONG* bytes_returned);
NTSTATUS Read(Handle handle, void* buffer, ULONG length, ULONG* bytes_read);
NTSTATUS Write(Handle handle, const void* buffer, ULONG length, ULONG* bytes_written);
// The device object the handle was opened on (the PDO of the interface).
PDEVICE_OBJECT DeviceOf(Handle handle);

// The symbolic links of every enabled interface of a class, as an
// application's enumeration finds them.
std::vector<std::u16string> FindInterfaces(const GUID& interface_class);
std::string Narrow(const std::u16string& s);

// Interface arrival (true) and removal (false) notifications. They are
// delivered on the plug-and-play manager's thread, in order.
using InterfaceCallback =
    std::function<void(bool arrival, const GUID& interface_class, const std::u16string& link)>;
int SubscribeInterfaces(InterfaceCallback callback);
// Once this returns the callback is not called again (a delivery in progress
// on the manager's thread is waited for).
void UnsubscribeInterfaces(int subscription);

// IRPs allocated and not yet freed (all of them, the manager's included).
size_t OutstandingIrpCount();

// Fault injection: the next IoAttachDeviceToDeviceStack returns null.
void FailNextAttach();

}  // namespace hk::io
