// The virtual clock, waits, delays and system threads.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "hk/handles.h"
#include "hk/machine.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

struct Sleeper {
    LONGLONG interval_ms;
    std::mutex* mu;
    std::vector<std::pair<int, LONGLONG>>* log;  // (id, wake time ms)
    int id;
    KEVENT* stop = nullptr;
};

void NTAPI SleepOnce(PVOID ctx) {
    auto* s = (Sleeper*)ctx;
    LARGE_INTEGER interval;
    interval.QuadPart = -10000 * s->interval_ms;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    std::lock_guard<std::mutex> g(*s->mu);
    s->log->push_back({s->id, hk::Machine::Current().ElapsedMs()});
}

HANDLE Start(PKSTART_ROUTINE routine, void* ctx) {
    HANDLE h = nullptr;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    EXPECT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &oa, NULL, NULL, routine, ctx));
    return h;
}

TEST(KeClock, DelaysWakeInDeadlineOrderAndAdvanceReturnsWhenBlocked) {
    hk::Machine m;
    std::mutex mu;
    std::vector<std::pair<int, LONGLONG>> log;
    Sleeper a{30, &mu, &log, 1}, b{10, &mu, &log, 2}, c{20, &mu, &log, 3};
    HANDLE h[] = {Start(SleepOnce, &a), Start(SleepOnce, &b), Start(SleepOnce, &c)};
    ASSERT_TRUE(m.WaitForBlockedThreads(3));
    m.AdvanceMs(15);
    {
        std::lock_guard<std::mutex> g(mu);
        ASSERT_EQ(1u, log.size()) << "Advance returned before the woken thread ran";
        EXPECT_EQ(2, log[0].first);
        EXPECT_EQ(10, log[0].second) << "woken at its own deadline, not at the end of the advance";
    }
    m.AdvanceMs(100);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(3, log[1].first);
    EXPECT_EQ(20, log[1].second);
    EXPECT_EQ(1, log[2].first);
    EXPECT_EQ(30, log[2].second);
    EXPECT_EQ(115, m.ElapsedMs());
    for (HANDLE x : h) EXPECT_EQ(STATUS_SUCCESS, ZwClose(x));
}

// A pacing loop like the speaker thread's: every pass sleeps 9 ms.
struct Pacer {
    KEVENT stop;
    std::atomic<int> passes{0};
};
void NTAPI PaceLoop(PVOID ctx) {
    auto* p = (Pacer*)ctx;
    KeSetPriorityThread(KeGetCurrentThread(), 31);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    while (KeWaitForSingleObject(&p->stop, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT) {
        ++p->passes;
        LARGE_INTEGER i;
        i.QuadPart = -90000;
        KeDelayExecutionThread(KernelMode, FALSE, &i);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(KeClock, PeriodicThreadRunsExactlyOncePerPeriodAndStopsOnEvent) {
    hk::Machine m;
    Pacer p;
    KeInitializeEvent(&p.stop, NotificationEvent, FALSE);
    HANDLE h = Start(PaceLoop, &p);
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, NULL));
    ZwClose(h);
    ASSERT_TRUE(m.Settle());
    EXPECT_EQ(1, p.passes.load());
    m.AdvanceMs(90);  // passes at 0, 9, ..., 90
    EXPECT_EQ(11, p.passes.load());
    EXPECT_EQ(31, m.ThreadPriority((PKTHREAD)thread));

    KeSetEvent(&p.stop, IO_NO_INCREMENT, FALSE);
    m.AdvanceMs(9);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL))
        << "waiting on a finished thread object returns at once";
    ObDereferenceObject(thread);
    HK_EXPECT_CLEAN(m);
}

TEST(KeClock, TickCountSystemTimeAndIncrement) {
    hk::Machine m;
    LARGE_INTEGER t0, ticks;
    KeQuerySystemTime(&t0);
    EXPECT_EQ(m.BootSystemTime(), t0.QuadPart);
    EXPECT_EQ(156250u, KeQueryTimeIncrement());
    m.AdvanceMs(31);  // 31 ms: one whole 15.625 ms tick
    KeQueryTickCount(&ticks);
    EXPECT_EQ(1, ticks.QuadPart);
    m.AdvanceMs(1);  // 32 ms: two ticks
    KeQueryTickCount(&ticks);
    EXPECT_EQ(2, ticks.QuadPart);
    m.SetTimeIncrement(10000);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(32, ticks.QuadPart);
    LARGE_INTEGER t1;
    KeQuerySystemTime(&t1);
    EXPECT_EQ(320000, t1.QuadPart - t0.QuadPart);
}

// The wait outcomes, each on a fresh machine.
struct WaitCase {
    const char* name;
    bool signalled;
    EVENT_TYPE type;
    LONGLONG timeout;  // 0 = none (infinite), else the time-out value
    bool absolute;
    LONGLONG advance_ms;
    NTSTATUS expected;
    LONG state_after;
};

TEST(KeClock, WaitOutcomes) {
    const WaitCase cases[] = {
        {"signalled notification stays set", true, NotificationEvent, -1, false, 0, STATUS_SUCCESS, 1},
        {"signalled synchronization resets", true, SynchronizationEvent, -1, false, 0, STATUS_SUCCESS, 0},
        {"relative time-out", false, NotificationEvent, -5000000, false, 500, STATUS_TIMEOUT, 0},
        {"absolute time-out", false, NotificationEvent, 1000000, true, 100, STATUS_TIMEOUT, 0},
        {"zero time-out polls", false, NotificationEvent, 0, false, 0, STATUS_TIMEOUT, 0},
    };
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Machine m;
        KEVENT e;
        KeInitializeEvent(&e, c.type, c.signalled);
        LARGE_INTEGER to;
        to.QuadPart = c.absolute ? m.BootSystemTime() + c.timeout : c.timeout;
        NTSTATUS got = STATUS_PENDING;
        std::thread t([&] { got = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &to); });
        if (c.advance_ms) {
            ASSERT_TRUE(m.WaitForBlockedThreads(1));
            m.AdvanceMs(c.advance_ms - 1);
            EXPECT_EQ(1u, m.BlockedThreadCount()) << "woke before its time-out";
            m.AdvanceMs(1);
        }
        t.join();
        EXPECT_EQ(c.expected, got);
        EXPECT_EQ(c.state_after, KeReadStateEvent(&e));
    }
}

TEST(KeClock, SynchronizationEventReleasesOneWaiterPerSet) {
    hk::Machine m;
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    std::atomic<int> woke{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; ++i)
        ts.emplace_back([&] {
            // a kernel thread for the clock for its whole life, so that
            // Settle() also waits for the work after the wait
            hk::KernelThreadScope scope;
            EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, NULL));
            ++woke;
        });
    ASSERT_TRUE(m.WaitForBlockedThreads(3));
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(m.Settle());
    EXPECT_EQ(1, woke.load());
    EXPECT_EQ(2u, m.BlockedThreadCount());
    EXPECT_EQ(0, KeReadStateEvent(&e));
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    for (auto& t : ts) t.join();
    EXPECT_EQ(3, woke.load());
}

TEST(KeClock, WaitOnThreadEndsWhenThreadEnds) {
    hk::Machine m;
    std::mutex mu;
    std::vector<std::pair<int, LONGLONG>> log;
    Sleeper s{50, &mu, &log, 7};
    HANDLE h = Start(SleepOnce, &s);
    PVOID thread;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, NULL));
    ZwClose(h);
    NTSTATUS got = STATUS_PENDING;
    LONGLONG woke_at = -1;
    std::thread waiter([&] {
        got = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
        woke_at = m.ElapsedMs();
    });
    ASSERT_TRUE(m.WaitForBlockedThreads(2));
    m.AdvanceMs(49);
    EXPECT_EQ(STATUS_PENDING, got);
    m.AdvanceMs(1);
    waiter.join();
    EXPECT_EQ(STATUS_SUCCESS, got);
    EXPECT_EQ(50, woke_at);
    ObDereferenceObject(thread);
}

void NTAPI Forever(PVOID) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, NULL);
}

TEST(KeClock, ThreadStillRunningAtShutdownIsAFinding) {
    auto* m = new hk::Machine([] {
        hk::Machine::Options o;
        o.fail_on_findings = false;
        return o;
    }());
    HANDLE h = Start(Forever, nullptr);
    ZwClose(h);
    ASSERT_TRUE(m->WaitForBlockedThreads(1));
    testing::internal::CaptureStderr();
    delete m;  // must not hang: the waiting thread is stopped
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(hk::verifier::kThreadAtShutdown)) << err;
}

TEST(KeClock, ThreadCreationFailureIsInjectable) {
    hk::Machine m;
    m.FailThreadCreations(1);
    HANDLE h = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              PsCreateSystemThread(&h, THREAD_ALL_ACCESS, NULL, NULL, NULL, Forever, nullptr));
    EXPECT_EQ(nullptr, h);
}

// --- expirations on clock ticks ---------------------------------------------------------------

struct TimedWait {
    LONGLONG interval;  // relative, 100 ns (positive here; negated for the call)
    bool delay;         // KeDelayExecutionThread, else a time-out on an event never set
    NTSTATUS status = STATUS_PENDING;
    LONGLONG woke_at = -1;  // 100 ns since boot
};

void NTAPI WaitOnce(PVOID ctx) {
    auto* w = (TimedWait*)ctx;
    LARGE_INTEGER i;
    i.QuadPart = -w->interval;
    if (w->delay) {
        w->status = KeDelayExecutionThread(KernelMode, FALSE, &i);
    } else {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        w->status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &i);
    }
    w->woke_at = hk::Machine::Current().Elapsed100ns();
}

struct TickCase {
    const char* name;
    bool rounding;
    ULONG increment;     // 100 ns
    LONGLONG start;      // time at which the wait begins, 100 ns since boot
    LONGLONG interval;   // 100 ns
    bool delay;
    LONGLONG expect_at;  // 100 ns since boot
};

TEST(KeClock, ExpirationsFallOnTheNextTickWhenRounding) {
    const TickCase cases[] = {
        {"exact: 9 ms delay", false, 156250, 0, 90000, true, 90000},
        {"exact: 9 ms time-out", false, 156250, 0, 90000, false, 90000},
        {"9 ms delay wakes at the first tick", true, 156250, 0, 90000, true, 156250},
        {"9 ms time-out ends at the first tick", true, 156250, 0, 90000, false, 156250},
        {"due on a tick boundary: that tick", true, 156250, 0, 156250, true, 156250},
        {"just past a boundary: the next one", true, 156250, 0, 156251, true, 312500},
        {"100 ns delay still waits for a tick", true, 156250, 0, 1, true, 156250},
        {"begun mid-tick, due before the next tick", true, 156250, 50000, 90000, true, 156250},
        {"begun mid-tick, due after the next tick", true, 156250, 100000, 90000, true, 312500},
        {"1 ms tick: 9 ms is a whole number of ticks", true, 10000, 0, 90000, true, 90000},
        {"1 ms tick: 9.5 ms rounds to 10 ms", true, 10000, 0, 95000, false, 100000},
    };
    for (const TickCase& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Machine::Options o;
        o.timer_resolution_rounding = c.rounding;
        o.time_increment = c.increment;
        hk::Machine m(o);
        m.Advance100ns(c.start);
        TimedWait w{c.interval, c.delay};
        HANDLE h = Start(WaitOnce, &w);
        ASSERT_TRUE(m.WaitForBlockedThreads(1));
        EXPECT_EQ(c.expect_at, m.NextDeadline());
        m.Advance100ns(c.expect_at - c.start - 1);
        EXPECT_EQ(-1, w.woke_at) << "woke before the expected tick";
        m.Advance100ns(1);
        EXPECT_EQ(c.expect_at, w.woke_at);
        EXPECT_EQ(c.delay ? STATUS_SUCCESS : STATUS_TIMEOUT, w.status);
        ZwClose(h);
        ASSERT_TRUE(m.Settle());
    }
}

TEST(KeClock, TickRoundedClockReadingsMoveOnlyAtTicks) {
    for (bool rounding : {false, true}) {
        SCOPED_TRACE(rounding ? "rounding" : "exact");
        hk::Machine::Options o;
        o.timer_resolution_rounding = rounding;
        hk::Machine m(o);
        m.AdvanceMs(20);  // one tick (15.625 ms) and a bit
        LARGE_INTEGER sys, ticks, freq;
        KeQuerySystemTime(&sys);
        KeQueryTickCount(&ticks);
        LARGE_INTEGER pc = KeQueryPerformanceCounter(&freq);
        EXPECT_EQ(1, ticks.QuadPart);
        EXPECT_EQ(rounding ? 156250 : 200000, (LONGLONG)KeQueryInterruptTime());
        EXPECT_EQ(m.BootSystemTime() + (rounding ? 156250 : 200000), sys.QuadPart);
        EXPECT_EQ(200000, pc.QuadPart) << "the performance counter is exact either way";
        m.Advance100ns(312500 - 200000);  // exactly the second tick
        EXPECT_EQ(312500, (LONGLONG)KeQueryInterruptTime());
    }
}

TEST(KeClock, RoundingCanBeSwitchedOnAfterBoot) {
    hk::Machine m;
    EXPECT_FALSE(m.TimerResolutionRounding());
    m.SetTimerResolutionRounding(true);
    EXPECT_TRUE(m.TimerResolutionRounding());
    TimedWait w{90000, true};
    HANDLE h = Start(WaitOnce, &w);
    ASSERT_TRUE(m.WaitForBlockedThreads(1));
    EXPECT_EQ(156250, m.NextDeadline());
    m.Advance100ns(156250);
    EXPECT_EQ(156250, w.woke_at);
    ZwClose(h);
}

// The speaker thread's 9 ms pacing: on the exact clock it runs 111 passes a
// second; with expirations on 15.625 ms ticks every sleep lasts one tick.
TEST(KeClock, NineMillisecondPacingRunsOncePerTickWhenRounding) {
    for (bool rounding : {false, true}) {
        SCOPED_TRACE(rounding ? "rounding" : "exact");
        hk::Machine::Options o;
        o.timer_resolution_rounding = rounding;
        hk::Machine m(o);
        Pacer p;
        KeInitializeEvent(&p.stop, NotificationEvent, FALSE);
        HANDLE h = Start(PaceLoop, &p);
        ASSERT_TRUE(m.Settle());
        m.AdvanceMs(1000);
        EXPECT_EQ(rounding ? 1 + 64 : 1 + 111, p.passes.load());
        KeSetEvent(&p.stop, IO_NO_INCREMENT, FALSE);
        m.AdvanceMs(16);
        ZwClose(h);
    }
}

TEST(KeClock, AbsoluteTimeAlreadyPastTimesOutAtOnce) {
    for (bool rounding : {false, true}) {
        SCOPED_TRACE(rounding ? "rounding" : "exact");
        hk::Machine::Options o;
        o.timer_resolution_rounding = rounding;
        hk::Machine m(o);
        m.AdvanceMs(100);
        KEVENT e;
        KeInitializeEvent(&e, NotificationEvent, FALSE);
        LARGE_INTEGER past;
        past.QuadPart = m.BootSystemTime() + 50 * 10000;
        // Returns without anyone advancing the clock.
        EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &past));
        EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &past));
        EXPECT_EQ(100, m.ElapsedMs());
    }
}

}  // namespace
