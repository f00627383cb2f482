// Shared state of the I/O, plug-and-play and power managers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "hk/io.h"
#include "hk/handles.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "hk/verifier.h"
#include "hostkernel/wdk.h"
#include "text.h"

namespace hk::iomgr {

struct DeviceNode;

// Bookkeeping of one IRP, kept beside the packet so that the verifier can
// recognise a packet that was completed or freed without touching its memory.
struct IrpRecord {
    // InCompletion: a completion routine is running. Its owner may free or
    // reuse the IRP from there on (the usual event pattern), since Windows
    // does not touch it again once the routine returns
    // STATUS_MORE_PROCESSING_REQUIRED.
    enum class State { Allocated, Dispatched, InCompletion, Stopped, Completed, Freed };
    State state = State::Allocated;
    bool thread_queued = false;       // built for a thread: freed by the I/O manager at completion
    bool owned_by_manager = false;    // built by hostkernel itself
    CCHAR stack_count = 0;
    // Per stack location (index = CurrentLocation - 1).
    std::vector<uint8_t> dispatched_pending;  // its dispatch routine returned STATUS_PENDING
    std::vector<uint8_t> await_mark;          // ... before the location was marked
    std::vector<uint8_t> passed;              // completion went past it
    std::vector<uint8_t> marked;              // SL_PENDING_RETURNED seen when completion passed it
    std::vector<PDEVICE_OBJECT> devices;      // device that received it at each location
    void* user_ranges[2] = {nullptr, nullptr};  // registered for the request's duration
};

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;
    bool deleted = false;
    PDEVICE_OBJECT attached_to = nullptr;  // the device below, when attached
    DeviceNode* node = nullptr;            // the node whose PDO this is
};

struct DriverRecord {
    std::string name;
    PDRIVER_OBJECT object = nullptr;
    hk::io::DriverOptions options;
    bool unloaded = false;
};

struct InterfaceRecord {
    std::u16string link;  // "\??\..." as handed to the driver
    GUID guid{};
    std::u16string reference;
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
};

struct IoState {
    hk::Machine* machine = nullptr;
    std::recursive_mutex mu;
    std::unordered_map<PIRP, IrpRecord> irps;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::set<PDEVICE_OBJECT> freed_devices;  // tombstones: a second delete is recognised
    std::map<std::string, std::unique_ptr<DriverRecord>> drivers;
    std::vector<std::unique_ptr<InterfaceRecord>> interfaces;
    std::map<int, hk::io::InterfaceCallback> interface_subscribers;
    // Held while callbacks run, so that an unsubscribed callback is never
    // called once UnsubscribeInterfaces has returned.
    std::recursive_mutex delivery_mu;
    int next_subscriber = 1;
    ULONG next_device_number = 1;
    KSPIN_LOCK cancel_lock = 0;
    bool cancel_lock_owned = false;
    std::vector<hk::io::Handle> open_files;
    int fail_next_attach = 0;
    NTSTATUS fail_next_interface_registration = STATUS_SUCCESS;
};

// The state of the current machine, created (with its shutdown hook) on first use.
IoState& State();
IrpRecord* FindIrp(PIRP irp);  // caller holds State().mu
DeviceRecord* FindDevice(PDEVICE_OBJECT device);

// Allocates an IRP for a request that the I/O manager itself sends and
// waits for (a thread-queued request with an event and a status block).
PIRP AllocateThreadIrp(PDEVICE_OBJECT target, PKEVENT event, PIO_STATUS_BLOCK iosb);

// Gives an IRP the I/O manager's pool buffer of `length` bytes ("IoSB"),
// starting with `copy_length` bytes of `copy` when there is one, to be freed
// at completion (buffered I/O). False when the pool refuses it.
bool AttachSystemBuffer(PIRP irp, ULONG length, const void* copy, ULONG copy_length);
// Frees the system buffer the I/O manager attached to an IRP, if any.
void ReleaseSystemBuffer(PIRP irp);

// The default dispatch routine for a major function a driver did not register.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Converts between the kernel's 16-bit strings and the host's.
using hk::text::Narrow;
using hk::text::Widen;
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

// Interfaces: disable (and optionally forget) every interface of a PDO.
void DisableInterfacesOf(PDEVICE_OBJECT pdo, bool forget);
void QueueInterfaceNotification(bool arrival, const GUID& guid, const std::u16string& link);

// Plug-and-play manager hooks used by the I/O manager.
DeviceNode* NodeOfPdo(PDEVICE_OBJECT pdo);
void OnHandleClosed(PDEVICE_OBJECT pdo);
void PnpShutdown();
void PostWork(std::function<void()> work);
std::string InstancePathOf(PDEVICE_OBJECT pdo);

// Power: records the state a driver reports with PoSetPowerState.
POWER_STATE RecordPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
void RecordDeviceNode(PDEVICE_OBJECT device, DeviceNode* node);

// Verifier rule names of the I/O manager.
inline constexpr const char kIrpCompletedTwice[] = "IrpCompletedTwice";
inline constexpr const char kIrpUseAfterFree[] = "IrpUsedAfterFree";
inline constexpr const char kIrpCallAfterCompletion[] = "IrpSentAfterCompletion";
inline constexpr const char kIrpCancelRoutineAtCompletion[] = "IrpCompletedWithCancelRoutine";
inline constexpr const char kIrpPendingNotMarked[] = "PendingReturnedWithoutIoMarkIrpPending";
inline constexpr const char kIrpMarkedNotPending[] = "IoMarkIrpPendingWithoutPendingReturn";
inline constexpr const char kIrpCompletedWithPending[] = "IrpCompletedWithStatusPending";
inline constexpr const char kIrpPendingAtDelete[] = "IrpPendingWhenDeviceDeleted";
inline constexpr const char kIrpWrongIrql[] = "IrpSentAtWrongIrql";
inline constexpr const char kIrpStackOverflow[] = "IrpNoMoreStackLocations";
inline constexpr const char kIrpUnknown[] = "IrpUnknown";
inline constexpr const char kIrpFreedInUse[] = "IrpFreedWhileInUse";
inline constexpr const char kIrpNoOwnerAtCompletion[] = "IrpCompletedToTopWithoutOwner";
inline constexpr const char kIrpInformationTooLarge[] = "IrpInformationExceedsBuffer";
inline constexpr const char kDeviceDeletedTwice[] = "DeviceDeletedTwice";
inline constexpr const char kDeviceUnknown[] = "DeviceUnknown";
inline constexpr const char kDeviceDeletedAttached[] = "DeviceDeletedWhileAttached";
inline constexpr const char kCancelLockNotReleased[] = "CancelRoutineKeptCancelSpinLock";
inline constexpr const char kDriverUnloadLeak[] = "PoolLeakAtDriverUnload";
inline constexpr const char kDriverUnloadDevices[] = "DriverUnloadedWithDevices";
inline constexpr const char kPnpBadAnswer[] = "PnpMalformedAnswer";
inline constexpr const char kPowerIrpExpected[] = "PowerRoutineWithoutPowerIrp";

}  // namespace hk::iomgr
