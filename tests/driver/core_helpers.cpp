// The request helpers and the millisecond clock, driven through a small
// driver of the test's own whose dispatch routine calls them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "hk/testing.h"
#include "support/bus_rig.h"

namespace {

using bus_rig::SendIrp;

std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_dispatch;

NTSTATUS NTAPI ProbeDispatch(PDEVICE_OBJECT device, PIRP irp) { return g_dispatch(device, irp); }

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int m = 0; m <= IRP_MJ_MAXIMUM_FUNCTION; ++m) driver->MajorFunction[m] = ProbeDispatch;
    return STATUS_SUCCESS;
}

class Helpers : public ::testing::Test {
protected:
    explicit Helpers(hk::ClockMode clock = hk::ClockMode::Real) : machine_(Options(clock)) {}
    static hk::Machine::Options Options(hk::ClockMode clock) {
        hk::Machine::Options o;
        o.clock = clock;
        return o;
    }
    void SetUp() override {
        driver_ = hk::io::LoadDriver("probe", ProbeEntry);
        ASSERT_NE(driver_, nullptr);
    }
    PDEVICE_OBJECT NewDevice(CCHAR stack_size = 1) {
        PDEVICE_OBJECT d = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
        d->StackSize = stack_size;
        d->Flags &= ~DO_DEVICE_INITIALIZING;
        devices_.push_back(d);
        return d;
    }
    void TearDown() override {
        for (PDEVICE_OBJECT d : devices_) IoDeleteDevice(d);
        hk::io::UnloadDriver("probe");
        g_dispatch = nullptr;
        HK_EXPECT_CLEAN(machine_);
    }

    bool rig_logged(const std::string& text) const { return machine_.DebugText().find(text) != std::string::npos; }

    hk::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
};

// --- complete_pdo_irp / complete_irp ----------------------------------------------------------------

struct CompleteCase {
    const char* name;
    UCHAR major;
    ULONG code;
    bool with_urb;
    NTSTATUS status;
    bool urb_written;
    USBD_STATUS urb_status;
};

const CompleteCase kCompleteCases[] = {
    {"CancelledUrbFails", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003, true, STATUS_CANCELLED, true, USBD_STATUS_ERROR},
    {"SuccessfulUrb", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003, true, STATUS_SUCCESS, true, 0},
    {"WarningCountsAsFailure", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003, true, (NTSTATUS)0x80000005, true,
     USBD_STATUS_ERROR},
    {"InformationalCountsAsSuccess", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003, true, (NTSTATUS)0x40000000, true, 0},
    {"OtherInternalCode", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220013, true, STATUS_CANCELLED, false, 0},
    {"DeviceControlNotInternal", IRP_MJ_DEVICE_CONTROL, 0x220003, true, STATUS_CANCELLED, false, 0},
    {"NoUrb", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003, false, STATUS_CANCELLED, false, 0},
};

class CompletePdoIrp : public Helpers, public ::testing::WithParamInterface<CompleteCase> {};

TEST_P(CompletePdoIrp, SetsTheUrbStatusOnlyForUrbRequests) {
    const CompleteCase& c = GetParam();
    PDEVICE_OBJECT device = NewDevice();
    g_dispatch = [&](PDEVICE_OBJECT d, PIRP irp) { return complete_pdo_irp(d, irp, c.status, 0); };

    URB urb;
    std::memset(&urb, 0xA5, sizeof urb);
    const USBD_STATUS untouched = urb.UrbHeader.Status;
    bus_rig::Sent r = SendIrp(device, c.major, 0, [&](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = c.code;
        s->Parameters.Others.Argument1 = c.with_urb ? &urb : nullptr;
    });
    EXPECT_EQ(r.returned, c.status);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(urb.UrbHeader.Status, c.urb_written ? c.urb_status : untouched);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompletePdoIrp, ::testing::ValuesIn(kCompleteCases),
                         [](const ::testing::TestParamInfo<CompleteCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Helpers, CompleteIrpWidensInformationWithItsSign) {
    PDEVICE_OBJECT device = NewDevice();
    for (LONG info : {-1, 0x7FFFFFFF, 12}) {
        g_dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return complete_irp(irp, STATUS_SUCCESS, info); };
        bus_rig::Sent r = SendIrp(device, IRP_MJ_DEVICE_CONTROL, 0);
        EXPECT_EQ(r.information, (ULONG_PTR)(LONG_PTR)info);
    }
}

TEST_F(Helpers, CompletionRoutineWithoutAnEventStillKeepsTheRequest) {
    EXPECT_EQ(IrpCompletionRoutine(nullptr, nullptr, nullptr), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_TRUE(rig_logged("IrpCompletionRoutine.\n"));
}

// --- SyncForwardIrp --------------------------------------------------------------------------------

class SyncForward : public Helpers {
protected:
    void SetUp() override {
        Helpers::SetUp();
        lower_ = NewDevice(1);
        upper_ = NewDevice(2);
        g_dispatch = [this](PDEVICE_OBJECT d, PIRP irp) -> NTSTATUS {
            if (d == lower_) return lower_action_(irp);
            // The upper driver forwards, gets the request back and completes it.
            NTSTATUS s = SyncForwardIrp(lower_, irp);
            forwarded_ = s;
            back_ = true;
            irp->IoStatus.Status = s;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return s;
        };
    }
    PDEVICE_OBJECT lower_ = nullptr, upper_ = nullptr;
    std::function<NTSTATUS(PIRP)> lower_action_;
    std::atomic<NTSTATUS> forwarded_{0};
    std::atomic<bool> back_{false};
};

TEST_F(SyncForward, LowerCompletingAtOnceGivesItsStatusWithoutWaiting) {
    lower_action_ = [](PIRP irp) {
        irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return (NTSTATUS)STATUS_DEVICE_NOT_READY;
    };
    bus_rig::Sent r = SendIrp(upper_, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(forwarded_.load(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(rig_logged("SyncForwardIrp.\n"));
    EXPECT_TRUE(rig_logged("IrpCompletionRoutine.\n"));
}

TEST_F(SyncForward, LowerPendingIsWaitedForAndItsFinalStatusReturned) {
    std::atomic<PIRP> parked{nullptr};
    lower_action_ = [&](PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        return (NTSTATUS)STATUS_PENDING;
    };
    std::thread sender([&] { SendIrp(upper_, IRP_MJ_PNP, IRP_MN_START_DEVICE); });
    while (!parked.load()) std::this_thread::yield();
    ASSERT_TRUE(machine_.WaitForBlockedThreads(1));
    EXPECT_FALSE(back_.load()) << "SyncForwardIrp returned before the lower driver completed";
    PIRP irp = parked.load();
    irp->IoStatus.Status = STATUS_ACCESS_DENIED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    sender.join();
    EXPECT_TRUE(back_.load());
    EXPECT_EQ(forwarded_.load(), STATUS_ACCESS_DENIED);
}

}  // namespace

// Helpers on the virtual clock.
namespace {

class Clock : public ::testing::Test {
protected:
    hk::Machine machine_{[] {
        hk::Machine::Options o;
        o.clock = hk::ClockMode::Virtual;
        return o;
    }()};
};

std::atomic<bool> g_delay_done{false};

VOID NTAPI DelayNine(PVOID) {
    DelayMilliseconds(9);
    g_delay_done = true;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(Clock, DelayMillisecondsNineWaitsExactlyNinetyThousandUnits) {
    g_delay_done = false;
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, DelayNine, nullptr),
              STATUS_SUCCESS);
    ASSERT_TRUE(machine_.WaitForBlockedThreads(1));
    machine_.Advance100ns(89999);
    EXPECT_FALSE(g_delay_done.load());
    machine_.Advance100ns(1);
    ASSERT_TRUE(machine_.Settle());
    EXPECT_TRUE(g_delay_done.load());
    ZwClose(thread);
}

struct TickCase {
    ULONG increment;
    LONGLONG advance_ms;
    LONGLONG expect_ms;
};

class TickMilliseconds : public Clock, public ::testing::WithParamInterface<TickCase> {};

TEST_P(TickMilliseconds, AdvancesInWholeTicks) {
    const TickCase& c = GetParam();
    machine_.SetTimeIncrement(c.increment);
    LONGLONG start = QueryTickMilliseconds();
    machine_.AdvanceMs(c.advance_ms);
    EXPECT_EQ(QueryTickMilliseconds() - start, c.expect_ms);
}

INSTANTIATE_TEST_SUITE_P(Increments, TickMilliseconds,
                         ::testing::Values(TickCase{156250, 15, 0}, TickCase{156250, 16, 15},
                                           TickCase{156250, 100, 93}, TickCase{10000, 100, 100},
                                           TickCase{10000, 1, 1}));

}  // namespace
