// Inner state of the executive shared by its source files: the machine's
// record, the thread objects and the dispatcher lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hk/handles.h"
#include "hk/machine.h"
#include "hk/verifier.h"
#include "hostkernel/nt_ke.h"

enum class HkThreadState { Running, Blocked, Finished, Detached };

// The kernel's thread object. The dispatcher header comes first so that a
// wait can tell a thread from an event by its Type.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    HkThreadState state = HkThreadState::Running;
    bool system = false;
    bool scoped = false;  // foreign thread inside a KernelThreadScope
    std::condition_variable cv;
    // the wait in progress
    std::vector<void*> wait_objects;
    WAIT_TYPE wait_type = WaitAny;
    LONGLONG deadline = -1;  // 100 ns since boot; -1 = none
    bool is_delay = false;
    bool woken = false;
    NTSTATUS wake_status = STATUS_SUCCESS;
    uint64_t wait_seq = 0;
    bool terminate = false;
    // identity
    KPRIORITY priority = 8;
    HANDLE id = nullptr;
    void* start_routine = nullptr;
    void* start_context = nullptr;
    NTSTATUS exit_status = STATUS_SUCCESS;
    std::thread::id host_id;
    bool deleted = false;  // last reference gone (kept until shutdown)
};
struct _ETHREAD {
    _KTHREAD Tcb;
};

namespace hk {

// Thrown through a system thread's stack by PsTerminateSystemThread and by
// shutdown; caught by the thread's trampoline.
struct ThreadTerminate {
    NTSTATUS status;
};

struct PoolBlock {
    ULONG tag;
    size_t size;
    POOL_TYPE type;
    uint64_t serial;
    unsigned char* raw;  // start of the host allocation
};

struct UserRangeRec {
    size_t length;
    bool writable;
};

struct Machine::Impl {
    Options opt;
    uint64_t generation = 0;

    // --- dispatcher (one lock, like the kernel's dispatcher database lock)
    mutable std::mutex sched;
    std::condition_variable quiet_cv;  // signalled on every change towards quiescence
    std::vector<PKTHREAD> threads;     // every thread object known (system and foreign)
    std::vector<std::thread> host_threads;
    uint64_t wait_seq = 0;
    LONGLONG virtual_now = 0;  // 100 ns since boot
    std::chrono::steady_clock::time_point real_boot;
    std::atomic<ULONG> increment{156250};
    std::atomic<bool> tick_rounding{false};  // Options::timer_resolution_rounding, switchable
    bool shutting_down = false;
    ULONG next_thread_id = 0x100;

    // --- diagnostics (own lock: DbgPrint may run under the dispatcher lock's callers)
    mutable std::mutex diag;
    std::vector<std::string> debug_log;
    std::vector<AssertionRecord> assertions;
    std::vector<Finding> findings;

    // --- pool
    mutable std::mutex pool;
    std::unordered_map<const void*, PoolBlock> live;
    std::deque<std::pair<const void*, PoolBlock>> quarantine;  // freed, poisoned
    std::set<const void*> quarantined;
    size_t quarantine_bytes = 0;
    std::map<ULONG, PoolTagStats> tag_stats;
    uint64_t pool_serial = 0;
    size_t fail_nth = 0;         // 0 = off
    long long fail_after = -1;   // -1 = off
    std::set<ULONG> fail_tags;

    // --- user address space
    mutable std::mutex user;
    std::map<uintptr_t, UserRangeRec> user_ranges;

    // --- files
    std::string c_drive;
    bool remove_c_drive = false;

    // --- handles and objects
    mutable std::mutex handles;
    struct HandleEntry {
        std::shared_ptr<HandleObject> object;
        ACCESS_MASK granted;
    };
    std::map<uintptr_t, HandleEntry> handle_table;
    uintptr_t next_handle = 4;
    struct ObjectEntry {
        POBJECT_TYPE type;
        std::string type_name;
        std::function<void()> on_last;
        LONG_PTR refs;
    };
    std::unordered_map<const void*, ObjectEntry> objects;

    std::vector<std::function<void()>> shutdown_hooks;
    size_t fail_thread_creations = 0;
    size_t fail_handle_references = 0;
};

namespace detail {

Machine::Impl& M();             // the current machine; aborts when there is none
Machine::Impl* TryM();
KIRQL& Irql();                  // the calling thread's IRQL
LONGLONG NowLocked(Machine::Impl& m);  // 100 ns since boot (any lock state is fine)
// The last clock tick at or before `t` when expirations are tick-rounded; `t` otherwise.
LONGLONG TickFloor(Machine::Impl& m, LONGLONG t);
// The first clock tick at or after `t` when expirations are tick-rounded; `t` otherwise.
LONGLONG TickCeiling(Machine::Impl& m, LONGLONG t);
PKTHREAD CurrentThreadLocked(Machine::Impl& m);  // with m.sched held
void ReportBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);

// Windows formatting shared by DbgPrint, _snprintf and the wide routines.
std::string FormatNarrow(const char* format, va_list args);
std::u16string FormatWide(const char16_t* format, va_list args);

// Machine life cycle pieces, called by machine.cpp.
void PoolShutdownChecks(Machine::Impl& m);
void StopThreads(Machine::Impl& m);
void HandlesShutdownChecks(Machine::Impl& m);
void FilesBoot(Machine::Impl& m);
void FilesShutdown(Machine::Impl& m);
void PoolFreeAll(Machine::Impl& m);
void ThreadsFree(Machine::Impl& m);

std::string Hex(const void* p);

// Dispatcher helpers; every one expects m.sched to be held.
bool AllQuietLocked(Machine::Impl& m, PKTHREAD except);
void WakeLocked(Machine::Impl& m, PKTHREAD t, NTSTATUS status);
size_t BlockedCountLocked(Machine::Impl& m);
void SignalObjectLocked(Machine::Impl& m, void* object);
}  // namespace detail
}  // namespace hk
