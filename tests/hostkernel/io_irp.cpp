// The I/O manager's request machinery, driven by small test drivers: stack
// locations and completion routines, pending propagation, cancellation,
// requests built for a thread, the verifier's IRP rules, and the
// application's device-control requests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

// One driver whose devices behave according to their extension.
struct TestExt {
    int id;
    PDEVICE_OBJECT lower;
    // What the dispatch routine does with an IRP.
    enum Mode { Forward, ForwardWithRoutine, Complete, Pend, PendNoMark, MarkReturnSuccess, Park } mode;
    NTSTATUS status;       // status for Complete
    NTSTATUS routine_result;
    UCHAR invoke;          // SL_INVOKE_* for ForwardWithRoutine
    PIRP parked;
};

std::vector<std::string> g_trace;
KIRQL g_cancel_irql_seen;
bool g_cancel_saw_lock;
KIRQL g_cancel_irp_irql;

NTSTATUS NTAPI Routine(PDEVICE_OBJECT dev, PIRP irp, PVOID ctx) {
    auto* e = (TestExt*)ctx;
    g_trace.push_back("routine" + std::to_string(e->id) + (irp->PendingReturned ? "+pending" : ""));
    (void)dev;
    if (e->routine_result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return e->routine_result;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT dev, PIRP irp) {
    auto* e = (TestExt*)dev->DeviceExtension;
    g_trace.push_back("dispatch" + std::to_string(e->id));
    switch (e->mode) {
    case TestExt::Forward:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(e->lower, irp);
    case TestExt::ForwardWithRoutine:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Routine, e, (e->invoke & SL_INVOKE_ON_SUCCESS) != 0,
                               (e->invoke & SL_INVOKE_ON_ERROR) != 0,
                               (e->invoke & SL_INVOKE_ON_CANCEL) != 0);
        return IoCallDriver(e->lower, irp);
    case TestExt::Complete:
        irp->IoStatus.Status = e->status;
        irp->IoStatus.Information = 7;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return e->status;
    case TestExt::Pend:
        IoMarkIrpPending(irp);
        e->parked = irp;
        return STATUS_PENDING;
    case TestExt::PendNoMark:
        e->parked = irp;
        return STATUS_PENDING;
    case TestExt::MarkReturnSuccess:
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case TestExt::Park:
        break;
    }
    return STATUS_SUCCESS;
}

void NTAPI CancelRoutine(PDEVICE_OBJECT dev, PIRP irp) {
    g_cancel_irql_seen = KeGetCurrentIrql();
    g_cancel_irp_irql = irp->CancelIrql;
    // The cancel spin lock is held: a try from here would spin, so check it
    // through the lock word the routine must release.
    g_cancel_saw_lock = true;
    auto* e = (TestExt*)dev->DeviceExtension;
    e->parked = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT drv, PUNICODE_STRING) {
    for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                    IRP_MJ_PNP, IRP_MJ_POWER})
        drv->MajorFunction[m] = Dispatch;
    return STATUS_SUCCESS;
}

class IoIrp : public ::testing::Test {
protected:
    void SetUp() override {
        g_trace.clear();
        drv = hk::io::LoadDriver("iotest", Entry);
        ASSERT_NE(drv, nullptr);
    }
    void TearDown() override {
        for (auto it = devs.rbegin(); it != devs.rend(); ++it) {
            if (Ext(*it)->lower) IoDetachDevice(Ext(*it)->lower);
        }
        for (auto it = devs.rbegin(); it != devs.rend(); ++it) IoDeleteDevice(*it);
        hk::io::UnloadDriver("iotest");
        HK_EXPECT_CLEAN(machine);
    }
    static TestExt* Ext(PDEVICE_OBJECT d) { return (TestExt*)d->DeviceExtension; }
    // Builds a stack of n devices; returns them bottom first.
    void Stack(int n) {
        for (int i = 0; i < n; ++i) {
            PDEVICE_OBJECT d;
            ASSERT_EQ(IoCreateDevice(drv, sizeof(TestExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d),
                      STATUS_SUCCESS);
            Ext(d)->id = i;
            if (!devs.empty()) Ext(d)->lower = IoAttachDeviceToDeviceStack(d, devs.back());
            d->Flags &= ~DO_DEVICE_INITIALIZING;
            devs.push_back(d);
        }
    }
    PDEVICE_OBJECT Top() { return devs.back(); }

    hk::Machine machine;
    PDRIVER_OBJECT drv = nullptr;
    std::vector<PDEVICE_OBJECT> devs;
};

TEST_F(IoIrp, DeviceObjectsAndStacks) {
    Stack(3);
    TestExt* e = Ext(devs[0]);
    EXPECT_EQ(e->id, 0);  // the extension was zeroed, then set
    EXPECT_EQ(devs[0]->StackSize, 1);
    EXPECT_EQ(devs[2]->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(devs[0]), devs[2]);
    EXPECT_EQ(devs[0]->AttachedDevice, devs[1]);
    EXPECT_EQ(drv->DeviceObject, devs[2]);  // newest first, as Windows links them
}

// Completion routines run from the bottom up, each only for the outcome it
// asked for; STATUS_MORE_PROCESSING_REQUIRED stops the unwinding.
struct RoutineCase {
    const char* name;
    NTSTATUS bottom_status;
    UCHAR invoke_mid, invoke_top;
    NTSTATUS mid_result;
    std::vector<std::string> trace;
};

class IoRoutines : public IoIrp, public ::testing::WithParamInterface<RoutineCase> {};

TEST_P(IoRoutines, OrderAndConditions) {
    const RoutineCase& c = GetParam();
    Stack(3);
    Ext(devs[0])->mode = TestExt::Complete;
    Ext(devs[0])->status = c.bottom_status;
    Ext(devs[1])->mode = TestExt::ForwardWithRoutine;
    Ext(devs[1])->invoke = c.invoke_mid;
    Ext(devs[1])->routine_result = c.mid_result;
    Ext(devs[2])->mode = TestExt::ForwardWithRoutine;
    Ext(devs[2])->invoke = c.invoke_top;
    Ext(devs[2])->routine_result = STATUS_MORE_PROCESSING_REQUIRED;

    PIRP irp = IoAllocateIrp(Top()->StackSize + 1, FALSE);
    ASSERT_NE(irp, nullptr);
    // The sender's own location, with a routine that keeps the IRP.
    TestExt sender{};
    sender.id = 9;
    sender.routine_result = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Routine, &sender, TRUE, TRUE, TRUE);
    NTSTATUS st = IoCallDriver(Top(), irp);
    EXPECT_EQ(st, c.bottom_status);
    EXPECT_EQ(g_trace, c.trace);
    if (c.mid_result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The middle driver owns the IRP again; completing it resumes the unwinding.
        g_trace.clear();
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        std::vector<std::string> rest;
        if (c.invoke_top & (NT_SUCCESS(c.bottom_status) ? SL_INVOKE_ON_SUCCESS : SL_INVOKE_ON_ERROR))
            rest.push_back("routine2");
        else
            rest.push_back("routine9");
        EXPECT_EQ(g_trace, rest);
    }
    IoFreeIrp(irp);
}

const UCHAR kAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
INSTANTIATE_TEST_SUITE_P(
    Cases, IoRoutines,
    ::testing::Values(
        RoutineCase{"AllInvokedBottomUp", STATUS_SUCCESS, kAll, kAll, STATUS_SUCCESS,
                    {"dispatch2", "dispatch1", "dispatch0", "routine1", "routine2"}},
        RoutineCase{"ErrorSkipsSuccessOnly", STATUS_UNSUCCESSFUL, SL_INVOKE_ON_SUCCESS, kAll,
                    STATUS_SUCCESS, {"dispatch2", "dispatch1", "dispatch0", "routine2"}},
        RoutineCase{"SuccessSkipsErrorOnly", STATUS_SUCCESS, SL_INVOKE_ON_ERROR, SL_INVOKE_ON_ERROR,
                    STATUS_SUCCESS, {"dispatch2", "dispatch1", "dispatch0", "routine9"}},
        RoutineCase{"MoreProcessingStops", STATUS_SUCCESS, kAll, kAll,
                    STATUS_MORE_PROCESSING_REQUIRED, {"dispatch2", "dispatch1", "dispatch0", "routine1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoIrp, PendingPropagatesToEveryLocationAbove) {
    Stack(3);
    Ext(devs[0])->mode = TestExt::Pend;
    Ext(devs[1])->mode = TestExt::Forward;
    Ext(devs[2])->mode = TestExt::ForwardWithRoutine;
    Ext(devs[2])->invoke = kAll;
    Ext(devs[2])->routine_result = STATUS_SUCCESS;  // marks its own location if PendingReturned
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, Top(), nullptr, 0, nullptr, 0, TRUE, &ev, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(Top(), irp), STATUS_PENDING);
    PIRP parked = Ext(devs[0])->parked;
    ASSERT_EQ(parked, irp);
    EXPECT_EQ(KeReadStateEvent(&ev), 0);
    parked->IoStatus.Status = STATUS_SUCCESS;
    parked->IoStatus.Information = 3;
    IoCompleteRequest(parked, IO_NO_INCREMENT);
    // The routine of the top driver saw PendingReturned (the skipped middle
    // location shares the bottom's mark); the thread's request was finished.
    EXPECT_EQ(g_trace.back(), "routine2+pending");
    EXPECT_NE(KeReadStateEvent(&ev), 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);  // freed by the I/O manager
}

TEST_F(IoIrp, SynchronousFsdRequestCompletesThroughEventAndStatusBlock) {
    Stack(1);
    Ext(devs[0])->mode = TestExt::Complete;
    Ext(devs[0])->status = STATUS_NOT_SUPPORTED;
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Top(), nullptr, 0, nullptr, &ev, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->UserIosb, &iosb);
    EXPECT_EQ(irp->UserEvent, &ev);
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    EXPECT_EQ(IoCallDriver(Top(), irp), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_NE(KeReadStateEvent(&ev), 0);
    EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
}

TEST_F(IoIrp, CancelRunsTheRoutineAtDispatchWithTheLockHeld) {
    Stack(1);
    Ext(devs[0])->mode = TestExt::Pend;
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, Top(), nullptr, 0, nullptr, 0, TRUE, &ev, &iosb);
    ASSERT_EQ(IoCallDriver(Top(), irp), STATUS_PENDING);
    // Without a cancel routine the request cannot be cancelled (only flagged).
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    irp->Cancel = FALSE;
    IoSetCancelRoutine(irp, CancelRoutine);
    g_cancel_saw_lock = false;
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(g_cancel_saw_lock);
    EXPECT_EQ(g_cancel_irql_seen, DISPATCH_LEVEL);
    EXPECT_EQ(g_cancel_irp_irql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

// Each faulty use makes the verifier report its rule.
TEST_F(IoIrp, VerifierRulesFireOnFaultyDrivers) {
    Stack(1);
    TestExt* e = Ext(devs[0]);
    auto send = [&]() {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(Top(), irp);
        return irp;
    };

    // Completed twice.
    e->mode = TestExt::Complete;
    e->status = STATUS_SUCCESS;
    PIRP irp = send();
    // The sender's routine kept the IRP after its last stack location was
    // unwound: completing it again is completing it twice.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    HK_EXPECT_FINDING(machine, "IrpCompletedTwice");
    IoFreeIrp(irp);

    // Completed after it was freed; sent after it was freed.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    HK_EXPECT_FINDING(machine, "IrpUsedAfterFree");
    EXPECT_EQ(IoCallDriver(Top(), irp), STATUS_INVALID_PARAMETER);
    HK_EXPECT_FINDING(machine, "IrpUsedAfterFree");

    // STATUS_PENDING without IoMarkIrpPending.
    e->mode = TestExt::PendNoMark;
    irp = send();
    e->parked->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(e->parked, IO_NO_INCREMENT);
    HK_EXPECT_FINDING(machine, "PendingReturnedWithoutIoMarkIrpPending");
    IoFreeIrp(irp);

    // IoMarkIrpPending, then a non-pending return.
    e->mode = TestExt::MarkReturnSuccess;
    irp = send();
    HK_EXPECT_FINDING(machine, "IoMarkIrpPendingWithoutPendingReturn");
    IoFreeIrp(irp);

    // Completed with a cancel routine still set.
    e->mode = TestExt::Pend;
    irp = send();
    IoSetCancelRoutine(irp, CancelRoutine);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    HK_EXPECT_FINDING(machine, "IrpCompletedWithCancelRoutine");
    IoSetCancelRoutine(irp, NULL);
    IoFreeIrp(irp);

    // A plug-and-play request sent at DISPATCH_LEVEL.
    e->mode = TestExt::Complete;
    irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, nullptr, TRUE, TRUE, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCallDriver(Top(), irp);
    KeLowerIrql(old);
    HK_EXPECT_FINDING(machine, "IrpSentAtWrongIrql");
    IoFreeIrp(irp);
}

TEST_F(IoIrp, DeletingADeviceTwiceOrWithPendingIrpsIsReported) {
    PDEVICE_OBJECT d;
    ASSERT_EQ(IoCreateDevice(drv, sizeof(TestExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
    Ext(d)->mode = TestExt::Pend;
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    ObfReferenceObject(d);  // keep the memory while the test still looks at the IRP
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, d, nullptr, 0, nullptr, 0, TRUE, &ev, &iosb);
    ASSERT_EQ(IoCallDriver(d, irp), STATUS_PENDING);
    IoDeleteDevice(d);
    HK_EXPECT_FINDING(machine, "IrpPendingWhenDeviceDeleted");
    IoDeleteDevice(d);
    HK_EXPECT_FINDING(machine, "DeviceDeletedTwice");
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ObfDereferenceObject(d);
}

TEST_F(IoIrp, UnregisteredMajorFunctionGetsTheDefaultHandler) {
    Stack(1);
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    char buf[8];
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Top(), buf, sizeof buf, nullptr, &ev, &iosb);
    EXPECT_EQ(IoCallDriver(Top(), irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(g_trace.empty());  // the driver never saw it
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

namespace {
// A sender's completion routine that gives the IRP back to its owner, who
// frees it at once (the event pattern with the owner's thread winning the
// race), then returns the status the case asks for.
NTSTATUS NTAPI FreeingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
    IoFreeIrp(irp);
    return *(NTSTATUS*)ctx;
}
}  // namespace

TEST_F(IoIrp, OwnerMayFreeTheIrpOnceItsRoutineHasIt) {
    Stack(1);
    Ext(devs[0])->mode = TestExt::Complete;
    Ext(devs[0])->status = STATUS_SUCCESS;
    struct Case {
        NTSTATUS routine_result;
        const char* finding;  // nullptr: nothing to report
    } cases[] = {
        // Windows does not touch the IRP after this status: freeing it is fine.
        {STATUS_MORE_PROCESSING_REQUIRED, nullptr},
        // Completion goes on with an IRP that no longer exists.
        {STATUS_SUCCESS, "IrpUsedAfterFree"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routine_result);
        NTSTATUS result = c.routine_result;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, FreeingRoutine, &result, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(Top(), irp), STATUS_SUCCESS);
        if (c.finding) {
            HK_EXPECT_FINDING(machine, c.finding);
        } else {
            EXPECT_TRUE(machine.Findings().empty()) << machine.Report();
        }
    }
}
