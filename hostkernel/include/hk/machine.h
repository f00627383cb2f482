// hk::Machine: the one simulated Windows machine of a process.
//
// Creating it boots the kernel (clock, pool, handle table, debug log, the
// drive C: directory); destroying it runs the shutdown hooks in reverse order
// (the I/O and plug-and-play managers remove their devices there), stops
// every remaining system thread and runs the final checks: pool and handle
// leaks and verifier findings. Tests and the lab drive the machine through
// this API; the driver only ever sees the WDK functions.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hk/verifier.h"
#include "hostkernel/nt_ke.h"

namespace hk {

enum class ClockMode {
    Virtual,  // time moves only when Advance() is called (tests)
    Real,     // time follows the host's monotonic clock (the lab)
};

// Whether the verifier is on by default in this build (VHUB_VERIFIER).
bool VerifierDefault();

struct AssertionRecord {
    std::string expression;
    std::string file;
    ULONG line;
    std::string message;
};

struct PoolTagStats {
    ULONG tag = 0;
    size_t bytes_in_use = 0;
    size_t blocks_in_use = 0;
    size_t total_allocations = 0;  // successful allocations since boot
    size_t failed_allocations = 0; // refused (fault injection)
};

struct PoolBlockInfo {
    const void* address;
    ULONG tag;
    size_t size;
    POOL_TYPE type;
    uint64_t serial;  // allocation number since boot
};

struct ThreadInfo {
    PKTHREAD thread;
    HANDLE id;
    bool system;  // created by PsCreateSystemThread
    void* start_routine;
    void* start_context;
    KPRIORITY priority;
    bool finished;
    NTSTATUS exit_status;
};

// Renders a pool tag as the four characters it reads in memory ("Zuwa").
std::string TagText(ULONG tag);
constexpr ULONG MakeTag(const char (&s)[5]) {
    return (ULONG)(uint8_t)s[0] | ((ULONG)(uint8_t)s[1] << 8) | ((ULONG)(uint8_t)s[2] << 16) |
           ((ULONG)(uint8_t)s[3] << 24);
}

class Machine {
public:
    struct Options {
        ClockMode clock = ClockMode::Virtual;
        bool verifier = VerifierDefault();
        // At destruction, a machine with findings or leaks prints its report
        // and aborts the process, so no test can pass over them.
        bool fail_on_findings = true;
        // Length of a clock tick in 100 ns units (Windows' default 15.625 ms).
        ULONG time_increment = 156250;
        // Timer expirations fall on clock ticks, as on Windows: a delay or a
        // wait time-out ends at the first tick boundary at or after its
        // deadline (a 9 ms delay on the default tick sleeps until the next
        // multiple of 15.625 ms since boot), and KeQuerySystemTime and
        // KeQueryInterruptTime move only at tick boundaries (the performance
        // counter stays exact). Off: every deadline is met exactly.
        bool timer_resolution_rounding = false;
        // System time at boot, 100 ns units since 1601-01-01 UTC.
        LONGLONG boot_system_time = 133485408000000000LL;  // 2024-01-01 00:00:00 UTC
        // Directory standing for drive C:. Empty: a fresh temporary directory,
        // removed at shutdown.
        std::string c_drive;
        // Echo every DbgPrint to stderr as it happens (the lab's live log).
        bool echo_debug_log = false;
        // Optional live sink for DbgPrint entries (raw bytes).
        std::function<void(const std::string&)> debug_sink;
    };

    Machine();
    explicit Machine(Options options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that lives now; aborts with a message when there is none.
    static Machine& Current();
    static Machine* TryCurrent();

    const Options& options() const;

    // --- clock -------------------------------------------------------------------
    ClockMode Clock() const;
    // Time since boot in 100 ns units.
    LONGLONG Elapsed100ns() const;
    LONGLONG ElapsedMs() const { return Elapsed100ns() / 10000; }
    // Virtual time only: moves time forward by `delta`, through every pending
    // deadline in order (delays and wait time-outs), waking the threads that
    // are due; returns once every kernel thread is blocked again (waiting in a
    // hostkernel wait or delay) or finished.
    void Advance100ns(LONGLONG delta);
    void AdvanceMs(LONGLONG ms) { Advance100ns(ms * 10000); }
    template <class Rep, class Period>
    void Advance(std::chrono::duration<Rep, Period> d) {
        Advance100ns(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100);
    }
    // Waits (in real time, up to `limit`) until every kernel thread is blocked
    // or finished. Returns false on time-out.
    bool Settle(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
    // Waits (in real time, up to `limit`) until at least `count` threads are
    // blocked in hostkernel waits or delays: lets a test make sure that a
    // thread it started has reached its wait before it advances the clock.
    bool WaitForBlockedThreads(size_t count,
                               std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
    size_t BlockedThreadCount() const;
    // The earliest pending deadline (100 ns since boot), or -1 when none.
    LONGLONG NextDeadline() const;
    void SetTimeIncrement(ULONG increment_100ns);
    ULONG TimeIncrement() const;
    // Turns Options::timer_resolution_rounding on or off for waits that begin
    // from now on (a fixture that made the machine can still choose).
    void SetTimerResolutionRounding(bool on);
    bool TimerResolutionRounding() const;
    LONGLONG BootSystemTime() const;

    // --- debug output ------------------------------------------------------------------
    // One entry per DbgPrint/DbgPrintEx call (raw bytes, as formatted).
    std::vector<std::string> DebugLog() const;
    std::string DebugText() const;  // all entries concatenated
    void ClearDebugLog();
    std::vector<AssertionRecord> Assertions() const;
    void ClearAssertions();

    // --- verifier --------------------------------------------------------------------------
    std::vector<Finding> Findings() const;
    size_t CountFindings(const std::string& rule) const;
    void ClearFindings();
    // Runs the end-of-life checks now (pool guards, leaks, open handles) and
    // returns the full report; empty when clean.
    std::string Report() const;

    // --- pool --------------------------------------------------------------------------------
    PoolTagStats PoolStats(ULONG tag) const;
    std::vector<PoolTagStats> PoolStatsAll() const;
    std::vector<PoolBlockInfo> OutstandingPool() const;
    // Checks the guard bytes of every live block now (overruns become findings).
    size_t CheckPoolGuards();
    // Reports every live block as a leak finding (what shutdown does); returns
    // the number of blocks.
    size_t ReportPoolLeaks(const char* when);
    // Fault injection. The Nth allocation from now (1 = the next) fails.
    void FailNthAllocation(size_t n);
    // Every allocation with this tag fails (until cleared).
    void FailTag(ULONG tag, bool fail = true);
    // After `n` more successful allocations, every allocation fails.
    void FailAllocationsAfter(size_t n);
    void ClearPoolFaults();

    // --- user address space ----------------------------------------------------------------------
    // The application's buffers: ProbeForRead/ProbeForWrite accept only ranges
    // entirely inside one registered range (ProbeForWrite also needs it writable).
    void RegisterUserRange(const void* base, size_t length, bool writable = true);
    void UnregisterUserRange(const void* base);
    bool IsUserRange(const void* address, size_t length, bool write) const;
    // Whether a range touches a live pool block (kernel memory, never the
    // caller's, whatever it registers).
    bool OverlapsPool(const void* base, size_t length) const;

    // --- drive C: -------------------------------------------------------------------------------------
    std::string CDrive() const;  // the host directory standing for C:\ (no trailing slash)
    void PutFile(const std::string& name, const std::string& bytes);
    void PutFile(const std::string& name, const std::vector<uint8_t>& bytes);
    void RemoveFile(const std::string& name);

    // --- threads and shutdown ------------------------------------------------------------------------
    std::vector<ThreadInfo> Threads() const;
    KPRIORITY ThreadPriority(PKTHREAD thread) const;
    void AddShutdownHook(std::function<void()> hook);
    // Fault injection: the next `count` PsCreateSystemThread calls fail with
    // STATUS_INSUFFICIENT_RESOURCES; the next `count` ObReferenceObjectByHandle
    // calls fail with STATUS_INVALID_HANDLE.
    void FailThreadCreations(size_t count = 1);
    void FailHandleReferences(size_t count = 1);
    size_t OpenHandleCount() const;

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// RAII registration of a user range.
class UserRange {
public:
    UserRange(const void* base, size_t length, bool writable = true) : base_(base) {
        Machine::Current().RegisterUserRange(base, length, writable);
    }
    ~UserRange() {
        if (Machine* m = Machine::TryCurrent()) m->UnregisterUserRange(base_);
    }
    UserRange(const UserRange&) = delete;
    UserRange& operator=(const UserRange&) = delete;

private:
    const void* base_;
};

// Makes the calling (non-system) thread a kernel thread for the clock until
// destroyed: Advance() then waits for it to block, as it does for system
// threads. Without it a foreign thread takes part only while it is inside a
// hostkernel wait.
class KernelThreadScope {
public:
    KernelThreadScope();
    ~KernelThreadScope();
    KernelThreadScope(const KernelThreadScope&) = delete;
    KernelThreadScope& operator=(const KernelThreadScope&) = delete;
};

}  // namespace hk
