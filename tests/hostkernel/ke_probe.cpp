// ProbeForRead/ProbeForWrite accept only the caller's registered buffers.
#include <vector>

#include "hk/machine.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

// The outcome of probing: 0 for accepted, else the status raised.
NTSTATUS ProbeStatus(bool write, const void* p, SIZE_T len, ULONG align) {
    try {
        if (write)
            ProbeForWrite((void*)p, len, align);
        else
            ProbeForRead(p, len, align);
    } catch (const hk::AccessViolation& e) {
        return e.Status;
    }
    return 0;
}

TEST(KeProbe, Cases) {
    hk::Machine m;
    alignas(16) static unsigned char app[256];
    alignas(16) static unsigned char readonly[64];
    hk::UserRange r(app, sizeof app);
    hk::UserRange ro(readonly, sizeof readonly, false);
    unsigned char stack[64];
    void* pool = ExAllocatePoolWithTag(NonPagedPoolNx, 64, hk::MakeTag("Test"));
    struct Case {
        const char* name;
        bool write;
        const void* p;
        SIZE_T len;
        ULONG align;
        NTSTATUS expected;
    } cases[] = {
        {"whole user range", true, app, sizeof app, 4, 0},
        {"inside the range", false, app + 16, 64, 4, 0},
        {"misaligned", true, app + 2, 16, 4, STATUS_DATATYPE_MISALIGNMENT},
        {"runs past the range", true, app + 200, 100, 4, STATUS_ACCESS_VIOLATION},
        {"pool memory", true, pool, 64, 4, STATUS_ACCESS_VIOLATION},
        {"kernel stack", false, stack, 16, 1, STATUS_ACCESS_VIOLATION},
        {"null", false, nullptr, 4, 1, STATUS_ACCESS_VIOLATION},
        {"length zero is not checked", true, pool, 0, 4, 0},
        {"length zero, misaligned, not checked", true, (unsigned char*)pool + 1, 0, 4, 0},
        {"read of a read-only range", false, readonly, 64, 8, 0},
        {"write to a read-only range", true, readonly, 64, 8, STATUS_ACCESS_VIOLATION},
        {"wraps around the address space", false, app, ~(SIZE_T)0, 1, STATUS_ACCESS_VIOLATION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, ProbeStatus(c.write, c.p, c.len, c.align));
    }
    ExFreePool(pool);
}

TEST(KeProbe, UnregisteredRangeIsRejectedAgain) {
    hk::Machine m;
    std::vector<unsigned char> buf(32);
    {
        hk::UserRange r(buf.data(), buf.size());
        EXPECT_EQ(0, ProbeStatus(true, buf.data(), buf.size(), 1));
    }
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, ProbeStatus(true, buf.data(), buf.size(), 1));
}

TEST(KeProbe, LockingUserPagesChecksTheRange) {
    hk::Machine m;
    alignas(16) static unsigned char app[100];
    hk::UserRange r(app, sizeof app);
    PMDL mdl = IoAllocateMdl(app, 100, FALSE, FALSE, NULL);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    EXPECT_EQ(app, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);

    PMDL bad = IoAllocateMdl(app + 50, 100, FALSE, FALSE, NULL);
    EXPECT_THROW(MmProbeAndLockPages(bad, UserMode, IoWriteAccess), hk::AccessViolation);
    IoFreeMdl(bad);
    HK_EXPECT_CLEAN(m);
}

}  // namespace
