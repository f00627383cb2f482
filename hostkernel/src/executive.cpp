// The executive's core: IRQL, spin locks, dispatcher objects (events and
// threads) and waits with time-outs on either clock.
#include <algorithm>
#include <cstdio>

#include "ke_internal.h"

using hk::Machine;
using hk::detail::M;
namespace v = hk::verifier;

namespace {

struct HeldLock {
    PKSPIN_LOCK lock;
    KIRQL old_irql;
    bool at_dpc;  // taken by KeAcquireSpinLockAtDpcLevel
};

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local std::vector<HeldLock> t_held;
thread_local char t_lock_token;  // its address identifies the owner in the lock word

ULONG_PTR OwnerToken() { return (ULONG_PTR)&t_lock_token | 1; }

std::string IrqlText(KIRQL irql) { return std::to_string((unsigned)irql); }

}  // namespace

namespace hk::detail {
KIRQL& Irql() { return t_irql; }
}

// --- IRQL ------------------------------------------------------------------------------
EXTERN_C KIRQL NTAPI KeGetCurrentIrql(void) { return t_irql; }

EXTERN_C KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = t_irql;
    if (NewIrql < old)
        v::Report(v::kIrqlNotLess, "KfRaiseIrql", nullptr,
                  "raise to " + IrqlText(NewIrql) + " from the higher IRQL " + IrqlText(old));
    t_irql = NewIrql;
    return old;
}

EXTERN_C KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

EXTERN_C void NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_irql)
        v::Report(v::kIrqlNotLess, "KeLowerIrql", nullptr,
                  "lower to " + IrqlText(NewIrql) + " from the lower IRQL " + IrqlText(t_irql));
    t_irql = NewIrql;
}

// --- spin locks ------------------------------------------------------------------------------
// A spin lock is the lock word itself: zero when free, the owner's token when
// held. Acquiring spins (yielding the host CPU) so that contending threads
// really exclude each other.
EXTERN_C void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

EXTERN_C BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) {
    return __atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == 0;
}

static void AcquireLockWord(PKSPIN_LOCK SpinLock, const char* routine) {
    ULONG_PTR me = OwnerToken();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
        // Windows would spin forever here; report it and carry on so the
        // test ends with a report instead of a hang.
        v::Report(v::kSpinLockRecursion, routine, SpinLock,
                  "the lock is already held by this thread (deadlock on Windows)");
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        std::this_thread::yield();
    }
}

static bool ReleaseLockWord(PKSPIN_LOCK SpinLock, const char* routine, HeldLock* out) {
    auto it = std::find_if(t_held.rbegin(), t_held.rend(),
                           [&](const HeldLock& h) { return h.lock == SpinLock; });
    if (it == t_held.rend()) {
        ULONG_PTR word = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
        v::Report(v::kSpinLockNotOwned, routine, SpinLock,
                  word ? "the lock is held by another thread" : "the lock is not held");
        return false;
    }
    *out = *it;
    t_held.erase(std::next(it).base());
    bool still_held = std::any_of(t_held.begin(), t_held.end(),
                                  [&](const HeldLock& h) { return h.lock == SpinLock; });
    if (!still_held) __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
    return true;
}

EXTERN_C KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old = t_irql;
    if (old > DISPATCH_LEVEL)
        v::Report(v::kIrqlNotLess, "KeAcquireSpinLockRaiseToDpc", SpinLock,
                  "acquired at IRQL " + IrqlText(old));
    else
        t_irql = DISPATCH_LEVEL;
    AcquireLockWord(SpinLock, "KeAcquireSpinLockRaiseToDpc");
    t_held.push_back(HeldLock{SpinLock, old, false});
    return old;
}

EXTERN_C void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (t_irql != DISPATCH_LEVEL)
        v::Report(v::kSpinLockReleaseIrql, "KeReleaseSpinLock", SpinLock,
                  "released at IRQL " + IrqlText(t_irql) + ", not DISPATCH_LEVEL");
    HeldLock h{};
    if (ReleaseLockWord(SpinLock, "KeReleaseSpinLock", &h) && !h.at_dpc && NewIrql != h.old_irql)
        v::Report(v::kSpinLockReleaseIrql, "KeReleaseSpinLock", SpinLock,
                  "restores IRQL " + IrqlText(NewIrql) + " but the lock was acquired at IRQL " +
                      IrqlText(h.old_irql));
    t_irql = NewIrql;
}

EXTERN_C void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_irql < DISPATCH_LEVEL)
        v::Report(v::kIrqlNotLess, "KeAcquireSpinLockAtDpcLevel", SpinLock,
                  "called at IRQL " + IrqlText(t_irql) + ", below DISPATCH_LEVEL");
    AcquireLockWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
    t_held.push_back(HeldLock{SpinLock, t_irql, true});
}

EXTERN_C void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_irql < DISPATCH_LEVEL)
        v::Report(v::kSpinLockReleaseIrql, "KeReleaseSpinLockFromDpcLevel", SpinLock,
                  "released at IRQL " + IrqlText(t_irql) + ", below DISPATCH_LEVEL");
    HeldLock h{};
    ReleaseLockWord(SpinLock, "KeReleaseSpinLockFromDpcLevel", &h);
}

// --- dispatcher ------------------------------------------------------------------------------
namespace hk::detail {

bool AllQuietLocked(Machine::Impl& m, PKTHREAD except) {
    for (PKTHREAD t : m.threads) {
        if (t == except) continue;
        if (t->state != HkThreadState::Running) continue;
        if (t->system || t->scoped) return false;
        // a foreign thread woken from a wait counts until it has left the wait
        if (t->woken && !t->wait_objects.empty()) return false;
        if (t->woken && t->is_delay) return false;
    }
    return true;
}

size_t BlockedCountLocked(Machine::Impl& m) {
    size_t n = 0;
    for (PKTHREAD t : m.threads)
        if (t->state == HkThreadState::Blocked) ++n;
    return n;
}

void WakeLocked(Machine::Impl& m, PKTHREAD t, NTSTATUS status) {
    t->woken = true;
    t->wake_status = status;
    t->state = HkThreadState::Running;
    t->cv.notify_all();
}

}  // namespace hk::detail

namespace {

bool IsSignaled(void* object, PKTHREAD waiter) {
    auto* h = (DISPATCHER_HEADER*)object;
    return h->SignalState > 0;
    (void)waiter;
}

void Consume(void* object) {
    auto* h = (DISPATCHER_HEADER*)object;
    if (h->Type == HK_DISPATCHER_SYNCHRONIZATION_EVENT) h->SignalState = 0;
}

// Whether the thread's wait is satisfied now; consumes and sets the status if so.
bool TrySatisfy(PKTHREAD t, NTSTATUS* status) {
    auto& objs = t->wait_objects;
    if (t->wait_type == WaitAny) {
        for (size_t i = 0; i < objs.size(); ++i) {
            if (IsSignaled(objs[i], t)) {
                Consume(objs[i]);
                *status = STATUS_WAIT_0 + (NTSTATUS)i;
                return true;
            }
        }
        return false;
    }
    for (void* o : objs)
        if (!IsSignaled(o, t)) return false;
    for (void* o : objs) Consume(o);
    *status = STATUS_SUCCESS;
    return true;
}

// After an object became signalled: satisfy waiters in the order they began to wait.
void SignalLocked(Machine::Impl& m, void* object) {
    std::vector<PKTHREAD> waiters;
    for (PKTHREAD t : m.threads)
        if (t->state == HkThreadState::Blocked && !t->woken &&
            std::find(t->wait_objects.begin(), t->wait_objects.end(), object) != t->wait_objects.end())
            waiters.push_back(t);
    std::sort(waiters.begin(), waiters.end(),
              [](PKTHREAD a, PKTHREAD b) { return a->wait_seq < b->wait_seq; });
    for (PKTHREAD t : waiters) {
        if (((DISPATCHER_HEADER*)object)->SignalState <= 0) break;
        NTSTATUS st;
        if (TrySatisfy(t, &st)) hk::detail::WakeLocked(m, t, st);
    }
}

LONGLONG DeadlineFor(Machine::Impl& m, const LARGE_INTEGER* timeout) {
    LONGLONG now = hk::detail::NowLocked(m);
    if (!timeout) return -1;
    LONGLONG d;
    if (timeout->QuadPart < 0) {
        d = now - timeout->QuadPart;
        if (d < now) return INT64_MAX;  // overflow: effectively never
    } else {
        // An absolute time already past has expired: no tick to wait for.
        d = timeout->QuadPart - m.opt.boot_system_time;
        if (d <= now) return now;
    }
    // Expired timers are found by the clock interrupt, so with rounding the
    // wait ends on the first tick at or after its due time.
    return hk::detail::TickCeiling(m, d);
}

NTSTATUS WaitCore(ULONG count, void** objects, WAIT_TYPE type, const LARGE_INTEGER* timeout,
                  bool delay, const char* routine) {
    KIRQL irql = t_irql;
    bool zero = timeout && timeout->QuadPart == 0;
    // A zero time-out only tests the objects, which DISPATCH_LEVEL allows;
    // a delay is never allowed there.
    if (irql >= DISPATCH_LEVEL && (!zero || delay))
        v::Report(v::kWaitAtDispatchLevel, routine, count ? objects[0] : nullptr,
                  "waits at IRQL " + std::to_string((unsigned)irql) +
                      (timeout ? " with a non-zero time-out" : " without a time-out"));
    Machine::Impl& m = M();
    std::unique_lock<std::mutex> lk(m.sched);
    PKTHREAD self = hk::detail::CurrentThreadLocked(m);
    if (self->terminate) throw hk::ThreadTerminate{STATUS_SUCCESS};

    self->wait_objects.assign(objects, objects + count);
    self->wait_type = type;
    NTSTATUS status;
    if (!delay && TrySatisfy(self, &status)) {
        self->wait_objects.clear();
        return status;
    }
    if (zero) {
        self->wait_objects.clear();
        return delay ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    self->deadline = DeadlineFor(m, timeout);
    if (self->deadline >= 0 && self->deadline <= hk::detail::NowLocked(m)) {
        // Due already (an absolute time in the past): the wait times out at
        // once instead of waiting for the clock to move.
        self->wait_objects.clear();
        self->deadline = -1;
        return delay ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    self->is_delay = delay;
    self->woken = false;
    self->wait_seq = ++m.wait_seq;
    self->state = HkThreadState::Blocked;
    m.quiet_cv.notify_all();

    if (m.opt.clock == hk::ClockMode::Virtual) {
        self->cv.wait(lk, [&] { return self->woken || self->terminate; });
    } else {
        while (!self->woken && !self->terminate) {
            if (self->deadline < 0) {
                self->cv.wait(lk);
            } else {
                auto due = m.real_boot + std::chrono::nanoseconds(self->deadline * 100);
                if (self->cv.wait_until(lk, due) == std::cv_status::timeout && !self->woken)
                    hk::detail::WakeLocked(m, self, delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
            }
        }
    }
    status = self->wake_status;
    bool terminate = self->terminate && !self->woken;
    self->wait_objects.clear();
    self->deadline = -1;
    self->is_delay = false;
    self->woken = false;
    self->state = (self->system || self->scoped) ? HkThreadState::Running : HkThreadState::Detached;
    m.quiet_cv.notify_all();
    if (terminate || self->terminate) {
        if (self->system) throw hk::ThreadTerminate{STATUS_SUCCESS};
    }
    return status;
}

}  // namespace

EXTERN_C void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == NotificationEvent ? HK_DISPATCHER_NOTIFICATION_EVENT
                                                   : HK_DISPATCHER_SYNCHRONIZATION_EVENT;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

EXTERN_C LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    if (t_irql > DISPATCH_LEVEL)
        v::Report(v::kIrqlNotLess, "KeSetEvent", Event, "called above DISPATCH_LEVEL");
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.sched);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    SignalLocked(m, Event);
    return previous;
}

EXTERN_C void NTAPI KeClearEvent(PRKEVENT Event) {
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.sched);
    Event->Header.SignalState = 0;
}

EXTERN_C LONG NTAPI KeResetEvent(PRKEVENT Event) {
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.sched);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

EXTERN_C LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.sched);
    return Event->Header.SignalState;
}

namespace hk::detail {
// Called by the thread code when a thread object becomes signalled (it ended).
void SignalObjectLocked(Machine::Impl& m, void* object) { SignalLocked(m, object); }
}  // namespace hk::detail

EXTERN_C NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                              KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout) {
    void* objs[1] = {Object};
    return WaitCore(1, objs, WaitAny, Timeout, false, "KeWaitForSingleObject");
}

EXTERN_C NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                 KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                 PKWAIT_BLOCK WaitBlockArray) {
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        // Windows bug checks (MAXIMUM_WAIT_OBJECTS_EXCEEDED) here.
        KeBugCheckEx(0x0C, Count, 0, 0, 0);
    }
    return WaitCore(Count, Object, WaitType == WaitAll ? WaitAll : WaitAny, Timeout, false,
                    "KeWaitForMultipleObjects");
}

EXTERN_C NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                               PLARGE_INTEGER Interval) {
    return WaitCore(0, nullptr, WaitAny, Interval, true, "KeDelayExecutionThread");
}
