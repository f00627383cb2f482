// hostkernel's verifier: the checks Driver Verifier would make, turned into
// findings that the machine keeps and reports. Every manager reports through
// Report(); the machine prints each finding when it happens and fails the
// run at shutdown when any are left (Machine::Options::fail_on_findings).
#pragma once

#include <string>

namespace hk {

struct Finding {
    std::string rule;     // e.g. "WaitAtDispatchLevel", "IrpCompletedTwice"
    std::string routine;  // the kernel routine that found it, e.g. "KeWaitForSingleObject"
    const void* object;   // the object concerned (IRP, pool block, lock, handle...), may be null
    std::string detail;   // free text
    std::string Describe() const;  // one line naming rule, routine and object
};

namespace verifier {

// Rules of the executive (other managers add their own names).
inline constexpr const char kWaitAtDispatchLevel[] = "WaitAtDispatchLevel";
inline constexpr const char kPagedPoolAtDispatchLevel[] = "PagedPoolAtDispatchLevel";
inline constexpr const char kSpinLockReleaseIrql[] = "SpinLockReleasedAtWrongIrql";
inline constexpr const char kSpinLockNotOwned[] = "SpinLockNotOwned";
inline constexpr const char kSpinLockRecursion[] = "SpinLockAcquiredRecursively";
inline constexpr const char kIrqlNotLess[] = "IrqlNotLessOrEqual";
inline constexpr const char kCorruptListEntry[] = "CorruptedListEntry";
inline constexpr const char kPoolOverrun[] = "PoolOverrun";
inline constexpr const char kPoolDoubleFree[] = "PoolDoubleFree";
inline constexpr const char kPoolBadFree[] = "PoolFreeOfUnknownPointer";
inline constexpr const char kPoolTagMismatch[] = "PoolFreeWithWrongTag";
inline constexpr const char kPoolLeak[] = "PoolLeak";
inline constexpr const char kHandleInvalid[] = "InvalidHandle";
inline constexpr const char kHandleLeak[] = "HandleLeak";
inline constexpr const char kObjectRefUnderflow[] = "ObjectDereferencedTooOften";
inline constexpr const char kObjectUnknown[] = "ObjectUnknown";
inline constexpr const char kThreadAtShutdown[] = "ThreadRunningAtShutdown";
inline constexpr const char kBugCheck[] = "BugCheck";
inline constexpr const char kZwAboveLowIrql[] = "ZwCallAbovePassiveLevel";

// Records a finding in the current machine (and prints it). Ignored when the
// machine's verifier is off or there is no machine.
void Report(const char* rule, const char* routine, const void* object, const std::string& detail);

// Whether the current machine's verifier is on.
bool Enabled();

}  // namespace verifier
}  // namespace hk
