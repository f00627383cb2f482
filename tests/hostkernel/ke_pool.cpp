// Pool accounting, guard bytes, poisoning, fault injection and the leak report.
#include <cstring>

#include "hk/machine.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

constexpr ULONG kZuwa = hk::MakeTag("Zuwa");
constexpr ULONG kDcba = 0x61626364;

TEST(KePool, PerTagAccounting) {
    hk::Machine m;
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kZuwa);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kZuwa);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 2048, kDcba);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(0u, (uintptr_t)a % 16) << "x64 pool blocks are 16-byte aligned";
    EXPECT_EQ("dcba", hk::TagText(kDcba));
    auto z = m.PoolStats(kZuwa);
    EXPECT_EQ(128u, z.bytes_in_use);
    EXPECT_EQ(2u, z.blocks_in_use);
    ExFreePoolWithTag(a, kZuwa);
    ExFreePool(b);
    ExFreePool(c);
    z = m.PoolStats(kZuwa);
    EXPECT_EQ(0u, z.bytes_in_use);
    EXPECT_EQ(2u, z.total_allocations);
    HK_EXPECT_CLEAN(m);
}

TEST(KePool, GuardDamageIsFoundAtFreeAndByTheScan) {
    struct Case {
        const char* name;
        long offset;  // relative to the block start; size is 40
        bool free_it;
    } cases[] = {{"one past the end, at free", 40, true},
                 {"before the start, at free", -1, true},
                 {"past the end, found by the scan of live blocks", 47, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Machine m;
        unsigned char* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 40, kZuwa);
        std::memset(p, 0, 40);  // the whole block is fine
        EXPECT_EQ(0u, m.CheckPoolGuards());
        p[c.offset] ^= 0xFF;
        if (c.free_it) {
            ExFreePool(p);
        } else {
            EXPECT_EQ(1u, m.CheckPoolGuards());
            p[c.offset] ^= 0xFF;
            ExFreePool(p);
        }
        HK_EXPECT_FINDING(m, hk::verifier::kPoolOverrun);
    }
}

TEST(KePool, FreedMemoryIsPoisoned) {
    hk::Machine m;
    unsigned char* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 32, kZuwa);
    std::memset(p, 0x11, 32);
    ExFreePool(p);
    // still quarantined, so readable: a use after free sees poison, not the old data
    EXPECT_NE(0x11, p[0]);
    EXPECT_NE(0x11, p[31]);
}

TEST(KePool, FaultInjection) {
    hk::Machine m;
    // the third allocation from now fails, the rest succeed
    m.FailNthAllocation(3);
    void* p[5];
    for (auto& x : p) x = ExAllocatePoolWithTag(NonPagedPool, 8, kZuwa);
    EXPECT_TRUE(p[0] && p[1] && p[3] && p[4]);
    EXPECT_EQ(nullptr, p[2]);
    EXPECT_EQ(1u, m.PoolStats(kZuwa).failed_allocations);
    for (auto x : p)
        if (x) ExFreePool(x);

    // every allocation of one tag fails; others are unaffected
    m.FailTag(kDcba);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kDcba));
    void* ok = ExAllocatePoolWithTag(NonPagedPool, 8, kZuwa);
    EXPECT_NE(nullptr, ok);
    ExFreePool(ok);
    m.FailTag(kDcba, false);

    // everything after two more successes fails
    m.FailAllocationsAfter(2);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kZuwa);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kDcba);
    EXPECT_TRUE(a && b);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kZuwa));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kDcba));
    m.ClearPoolFaults();
    void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kZuwa);
    EXPECT_NE(nullptr, c);
    for (void* x : {a, b, c}) ExFreePool(x);
    HK_EXPECT_CLEAN(m);
}

TEST(KePool, LeakReportNamesTagsAndSizes) {
    hk::Machine m;
    void* a = ExAllocatePoolWithTag(NonPagedPool, 24, kZuwa);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 2048, kDcba);
    auto live = m.OutstandingPool();
    ASSERT_EQ(2u, live.size());
    EXPECT_EQ(kZuwa, live[0].tag);
    EXPECT_EQ(24u, live[0].size);
    EXPECT_EQ(2u, m.ReportPoolLeaks("at unload"));
    auto f = m.Findings();
    ASSERT_EQ(2u, f.size());
    EXPECT_NE(std::string::npos, f[0].detail.find("24 bytes tagged 'Zuwa'")) << f[0].detail;
    EXPECT_NE(std::string::npos, f[1].detail.find("2048 bytes tagged 'dcba'")) << f[1].detail;
    m.ClearFindings();
    ExFreePool(a);
    ExFreePool(b);
}

TEST(KeMdl, NonPagedPoolMdlMapsToItsBuffer) {
    hk::Machine m;
    void* buf = ExAllocatePoolWithTag(NonPagedPoolNx, 5000, kZuwa);
    PMDL mdl = IoAllocateMdl(buf, 5000, FALSE, FALSE, NULL);
    ASSERT_NE(nullptr, mdl);
    EXPECT_EQ(5000u, MmGetMdlByteCount(mdl));
    EXPECT_EQ(buf, MmGetMdlVirtualAddress(mdl));
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(buf, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    IoFreeMdl(mdl);
    ExFreePool(buf);
    HK_EXPECT_CLEAN(m);
}

}  // namespace
