// Each executive verifier rule fires on a deliberately faulty use, and spin
// locks exclude each other for real.
#include <atomic>
#include <thread>
#include <vector>

#include "hk/machine.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

TEST(KeSpinLock, ExcludesContendingThreadsAndRestoresIrql) {
    hk::Machine m;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // unprotected read-modify-write, safe only under the lock
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                EXPECT_EQ(PASSIVE_LEVEL, old);
                EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
                if (inside.fetch_add(1) != 0) overlap = true;
                long v = counter;
                if (i % 64 == 0) std::this_thread::yield();
                counter = v + 1;
                inside.fetch_sub(1);
                KeReleaseSpinLock(&lock, old);
                EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(8000, counter);
    HK_EXPECT_CLEAN(m);
}

// One faulty use per rule.
struct Fault {
    const char* rule;
    void (*run)();
};

void WaitAtDispatch() {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, NULL);
    KeLowerIrql(old);
}
void DelayAtDispatch() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER i;
    i.QuadPart = 0;  // returns at once, but a delay at DISPATCH_LEVEL is wrong even so
    KeDelayExecutionThread(KernelMode, FALSE, &i);
    KeLowerIrql(old);
}
void PagedAtDispatch() {
    KSPIN_LOCK l;
    KeInitializeSpinLock(&l);
    KIRQL old;
    KeAcquireSpinLock(&l, &old);
    void* p = ExAllocatePoolWithTag(PagedPool, 16, hk::MakeTag("Test"));
    KeReleaseSpinLock(&l, old);
    ExFreePool(p);
}
void ReleaseAtPassive() {
    KSPIN_LOCK l;
    KeInitializeSpinLock(&l);
    KIRQL old;
    KeAcquireSpinLock(&l, &old);
    KeLowerIrql(PASSIVE_LEVEL);
    KeReleaseSpinLock(&l, old);
}
void ReleaseWithWrongOldIrql() {
    KSPIN_LOCK l;
    KeInitializeSpinLock(&l);
    KIRQL old;
    KeAcquireSpinLock(&l, &old);
    KeReleaseSpinLock(&l, APC_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
}
void ReleaseNotHeld() {
    KSPIN_LOCK l;
    KeInitializeSpinLock(&l);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&l, old);
}
void DoubleFree() {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, hk::MakeTag("Test"));
    ExFreePool(p);
    ExFreePool(p);
}
void FreeUnknown() {
    int x;
    ExFreePool(&x);
}
void FreeWrongTag() {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, hk::MakeTag("Test"));
    ExFreePoolWithTag(p, hk::MakeTag("xxxx"));
}
void Overrun() {
    char* p = (char*)ExAllocatePoolWithTag(NonPagedPoolNx, 10, hk::MakeTag("Test"));
    p[10] = 1;
    ExFreePool(p);
}
void CloseTwice() {
    OBJECT_ATTRIBUTES oa;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\??\\C:\\f.bin");
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, NULL, NULL);
    hk::Machine::Current().PutFile("f.bin", std::string("x"));
    HANDLE h;
    IO_STATUS_BLOCK io;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateFile(&h, GENERIC_READ, &oa, &io, NULL, 0, FILE_SHARE_READ, FILE_OPEN,
                                           FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(h));
}
void DerefTooOften() {
    PKTHREAD t = KeGetCurrentThread();
    ObDereferenceObject(t);
    ObDereferenceObject(t);
}

TEST(KeVerifier, EachRuleFires) {
    const Fault faults[] = {
        {hk::verifier::kWaitAtDispatchLevel, WaitAtDispatch},
        {hk::verifier::kWaitAtDispatchLevel, DelayAtDispatch},
        {hk::verifier::kPagedPoolAtDispatchLevel, PagedAtDispatch},
        {hk::verifier::kSpinLockReleaseIrql, ReleaseAtPassive},
        {hk::verifier::kSpinLockReleaseIrql, ReleaseWithWrongOldIrql},
        {hk::verifier::kSpinLockNotOwned, ReleaseNotHeld},
        {hk::verifier::kPoolDoubleFree, DoubleFree},
        {hk::verifier::kPoolBadFree, FreeUnknown},
        {hk::verifier::kPoolTagMismatch, FreeWrongTag},
        {hk::verifier::kPoolOverrun, Overrun},
        {hk::verifier::kHandleInvalid, CloseTwice},
        {hk::verifier::kObjectUnknown, DerefTooOften},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.rule);
        hk::Machine m;
        f.run();
        HK_EXPECT_FINDING(m, f.rule);
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    }
}

TEST(KeVerifier, FindingNamesRuleRoutineAndObject) {
    hk::Machine m;
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, hk::MakeTag("Zuwa"));
    ExFreePool(p);
    ExFreePool(p);
    auto f = m.Findings();
    ASSERT_EQ(1u, f.size());
    std::string d = f[0].Describe();
    EXPECT_NE(std::string::npos, d.find("PoolDoubleFree")) << d;
    EXPECT_NE(std::string::npos, d.find("ExFreePool")) << d;
    char hex[32];
    snprintf(hex, sizeof hex, "0x%016llx", (unsigned long long)(uintptr_t)p);
    EXPECT_NE(std::string::npos, d.find(hex)) << d;
    m.ClearFindings();
}

TEST(KeVerifierDeathTest, CorruptListEntryStopsTheMachine) {
    EXPECT_DEATH(
        {
            hk::Machine m;
            LIST_ENTRY head;
            LIST_ENTRY a;
            InitializeListHead(&head);
            InsertTailList(&head, &a);
            a.Flink = &a;  // corrupt
            RemoveEntryList(&a);
        },
        "CorruptedListEntry");
}

TEST(KeVerifierDeathTest, MachineWithLeakFailsAtShutdown) {
    EXPECT_DEATH(
        {
            hk::Machine m;
            ExAllocatePoolWithTag(NonPagedPoolNx, 24, hk::MakeTag("Zuwa"));
        },
        "PoolLeak.*24 bytes tagged 'Zuwa'");
}

TEST(KeVerifierDeathTest, SecondMachineIsAnError) {
    EXPECT_DEATH(
        {
            hk::Machine a;
            hk::Machine b;
        },
        "second hk::Machine");
}

}  // namespace
