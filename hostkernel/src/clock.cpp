// The clock: virtual time that tests advance, or the host's monotonic time.
// Tick count, time increment, system time, interrupt time and the
// performance counter all derive from the time elapsed since boot.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "ke_internal.h"

using hk::Machine;
using hk::detail::M;

namespace hk::detail {
LONGLONG NowLocked(Machine::Impl& m) {
    if (m.opt.clock == ClockMode::Virtual) return __atomic_load_n(&m.virtual_now, __ATOMIC_ACQUIRE);
    auto d = std::chrono::steady_clock::now() - m.real_boot;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

LONGLONG TickFloor(Machine::Impl& m, LONGLONG t) {
    if (!m.tick_rounding.load() || t < 0) return t;
    LONGLONG inc = (LONGLONG)m.increment.load();
    return t / inc * inc;
}

LONGLONG TickCeiling(Machine::Impl& m, LONGLONG t) {
    if (!m.tick_rounding.load() || t < 0) return t;
    LONGLONG inc = (LONGLONG)m.increment.load();
    LONGLONG floor = t / inc * inc;
    if (floor == t) return t;
    return floor > INT64_MAX - inc ? INT64_MAX : floor + inc;
}
}  // namespace hk::detail

using hk::detail::NowLocked;
using hk::detail::TickFloor;

EXTERN_C void NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    Machine::Impl& m = M();
    CurrentCount->QuadPart = NowLocked(m) / (LONGLONG)m.increment.load();
}

EXTERN_C ULONG NTAPI KeQueryTimeIncrement(void) { return M().increment.load(); }

EXTERN_C void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Machine::Impl& m = M();
    // The kernel updates system time at each clock interrupt.
    CurrentTime->QuadPart = m.opt.boot_system_time + TickFloor(m, NowLocked(m));
}

EXTERN_C ULONGLONG NTAPI KeQueryInterruptTime(void) {
    Machine::Impl& m = M();
    return (ULONGLONG)TickFloor(m, NowLocked(m));
}

// The counter runs at 10 MHz, i.e. in 100 ns units since boot.
EXTERN_C LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER v;
    v.QuadPart = NowLocked(M());
    return v;
}

namespace hk {

ClockMode Machine::Clock() const { return impl_->opt.clock; }
LONGLONG Machine::Elapsed100ns() const { return detail::NowLocked(*impl_); }
void Machine::SetTimeIncrement(ULONG increment) { impl_->increment = increment ? increment : 1; }
ULONG Machine::TimeIncrement() const { return impl_->increment; }
void Machine::SetTimerResolutionRounding(bool on) { impl_->tick_rounding = on; }
bool Machine::TimerResolutionRounding() const { return impl_->tick_rounding; }
LONGLONG Machine::BootSystemTime() const { return impl_->opt.boot_system_time; }

namespace {
// The thread making the call does not count as "running" for quiescence.
PKTHREAD CallerIfKnown(Machine::Impl& m) {
    std::thread::id me = std::this_thread::get_id();
    for (PKTHREAD t : m.threads)
        if (t->host_id == me && t->state != HkThreadState::Finished) return t;
    return nullptr;
}

bool WaitQuiet(Machine::Impl& m, std::unique_lock<std::mutex>& lk, PKTHREAD caller,
               std::chrono::milliseconds limit) {
    return m.quiet_cv.wait_for(lk, limit, [&] { return detail::AllQuietLocked(m, caller); });
}
}  // namespace

void Machine::Advance100ns(LONGLONG delta) {
    Impl& m = *impl_;
    if (m.opt.clock != ClockMode::Virtual)
        throw std::logic_error("hk::Machine::Advance needs the virtual clock");
    if (delta < 0) throw std::invalid_argument("hk::Machine::Advance: negative interval");
    std::unique_lock<std::mutex> lk(m.sched);
    PKTHREAD caller = CallerIfKnown(m);
    LONGLONG target = m.virtual_now + delta;
    for (;;) {
        while (!WaitQuiet(m, lk, caller, std::chrono::milliseconds(10000)))
            std::fprintf(stderr,
                         "hostkernel: Advance is waiting for a kernel thread that does not block\n");
        // the earliest deadline still due within the interval
        LONGLONG next = -1;
        for (PKTHREAD t : m.threads)
            if (t->state == HkThreadState::Blocked && !t->woken && t->deadline >= 0 &&
                t->deadline <= target && (next < 0 || t->deadline < next))
                next = t->deadline;
        if (next < 0) break;
        __atomic_store_n(&m.virtual_now, std::max(next, m.virtual_now), __ATOMIC_RELEASE);
        std::vector<PKTHREAD> due;
        for (PKTHREAD t : m.threads)
            if (t->state == HkThreadState::Blocked && !t->woken && t->deadline >= 0 &&
                t->deadline <= m.virtual_now)
                due.push_back(t);
        std::sort(due.begin(), due.end(),
                  [](PKTHREAD a, PKTHREAD b) { return a->wait_seq < b->wait_seq; });
        for (PKTHREAD t : due) detail::WakeLocked(m, t, t->is_delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
    }
    __atomic_store_n(&m.virtual_now, target, __ATOMIC_RELEASE);
}

bool Machine::Settle(std::chrono::milliseconds limit) {
    Impl& m = *impl_;
    std::unique_lock<std::mutex> lk(m.sched);
    return WaitQuiet(m, lk, CallerIfKnown(m), limit);
}

bool Machine::WaitForBlockedThreads(size_t count, std::chrono::milliseconds limit) {
    Impl& m = *impl_;
    std::unique_lock<std::mutex> lk(m.sched);
    return m.quiet_cv.wait_for(lk, limit, [&] { return detail::BlockedCountLocked(m) >= count; });
}

size_t Machine::BlockedThreadCount() const {
    std::lock_guard<std::mutex> g(impl_->sched);
    return detail::BlockedCountLocked(*impl_);
}

LONGLONG Machine::NextDeadline() const {
    std::lock_guard<std::mutex> g(impl_->sched);
    LONGLONG next = -1;
    for (PKTHREAD t : impl_->threads)
        if (t->state == HkThreadState::Blocked && !t->woken && t->deadline >= 0 &&
            (next < 0 || t->deadline < next))
            next = t->deadline;
    return next;
}

}  // namespace hk
