// Security services of the machine, as tests and the lab see them: the
// system's WDM version, which optional routines the kernel exports, the
// security that device objects carry, and SDDL text for descriptors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostkernel/wdk.h"

namespace hk::security {

// --- the running system ---------------------------------------------------------------
// The version IoIsWdmVersionAvailable compares against (default 6.2, a
// current Windows).
void SetWdmVersion(UCHAR major, UCHAR minor);

// Optional routines of the export table. By default, as on a real kernel,
// neither "IoCreateDeviceSecure" nor
// "SeConvertStringSecurityDescriptorToSecurityDescriptor" is exported; a test
// may export either (hostkernel then supplies its own implementation) or hide
// any other name.
void SetExported(const std::string& name, bool exported);
bool IsExported(const std::string& name);
// How often MmGetSystemRoutineAddress was asked for `name` on this machine.
size_t LookupCount(const std::string& name);
// Calls that reached hostkernel's own exported routines.
size_t ExportedCreateDeviceSecureCalls();
size_t ExportedSddlConverterCalls();

// --- device objects ---------------------------------------------------------------------
struct DeviceSecurity {
    std::vector<uint8_t> descriptor;   // self-relative, as stored on the object
    ACCESS_MASK handle_access = 0;     // access of the handle the last set came through
    SECURITY_INFORMATION information = 0;  // what the last set named
    size_t set_count = 0;
};
// The security stored on a device object by ZwSetSecurityObject (or by the
// exported IoCreateDeviceSecure), or nothing.
std::optional<DeviceSecurity> OfDevice(const DEVICE_OBJECT* device);
// SDDL of a device's stored descriptor ("" when it has none).
std::string DeviceSddl(const DEVICE_OBJECT* device);

// --- descriptors and SIDs -----------------------------------------------------------------
// A self-relative descriptor rendered as SDDL. Known SIDs use their aliases,
// rights use tokens where they cover the mask exactly, else hexadecimal.
std::string ToSddl(const void* descriptor, size_t length);
// SDDL (owner, group, DACL, SACL; allow, deny and audit entries; flags,
// rights, aliases and S-1-... SIDs) to a self-relative descriptor. On failure
// returns an empty vector and the status in *status.
std::vector<uint8_t> FromSddl(const std::string& sddl, NTSTATUS* status = nullptr);
std::vector<uint8_t> SidFromString(const std::string& text);  // "S-1-5-18"; empty when malformed
std::string SidToString(const void* sid);

// Checks a self-relative descriptor of `length` bytes the way capture does;
// returns the status capture would give.
NTSTATUS Validate(const void* descriptor, size_t length);

namespace detail {
// Stores a descriptor on a device object (validated, merged by `information`).
NTSTATUS SetDeviceSecurity(PDEVICE_OBJECT device, SECURITY_INFORMATION information,
                           PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK handle_access);
// A validated, compact self-relative copy of any descriptor (absolute or
// self-relative); reads are bounded by the pool block holding it, if any.
NTSTATUS CopyDescriptor(PSECURITY_DESCRIPTOR descriptor, std::vector<uint8_t>* out);
NTSTATUS CopyDescriptorBounded(const void* descriptor, size_t length, std::vector<uint8_t>* out);
// The descriptor an object has after a set of `information` from
// `modification` (both self-relative; `existing` may be empty).
NTSTATUS MergeDescriptor(const std::vector<uint8_t>& existing, SECURITY_INFORMATION information,
                         const std::vector<uint8_t>& modification, std::vector<uint8_t>* out);
PVOID CreateDeviceSecureRoutine();
PVOID SddlConverterRoutine();
}  // namespace detail

}  // namespace hk::security
