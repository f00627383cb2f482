// Pool: tagged allocations with per-tag accounting, guard bytes around every
// block, poisoned and quarantined freed memory, fault injection and the leak
// report.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ke_internal.h"

using hk::Machine;
using hk::detail::M;
namespace v = hk::verifier;

namespace {

constexpr size_t kHeader = 48;  // bookkeeping in front of the guard
constexpr size_t kGuard = 16;   // guard bytes on each side of the caller's block
constexpr unsigned char kGuardFront = 0xAB;
constexpr unsigned char kGuardBack = 0xCD;
constexpr unsigned char kFreshFill = 0xC5;  // new blocks are not zeroed (as on Windows)
constexpr unsigned char kPoison = 0xFD;     // freed blocks
constexpr size_t kQuarantineBytes = 8u << 20;
constexpr uint64_t kMagic = 0x6C6F6F506B687368ull;

bool IsPaged(POOL_TYPE type) {
    // the paged types are the odd base types (PagedPool, PagedPoolCacheAligned, and their
    // session forms); the Nx types are non-paged
    if ((int)type >= 512) return false;
    return ((int)type & 1) != 0;
}

struct RawHeader {
    uint64_t magic;
    size_t size;
};

size_t CheckGuards(const hk::PoolBlock& b, const void* user, const char* routine) {
    const unsigned char* p = (const unsigned char*)user;
    size_t bad = 0;
    for (size_t i = 0; i < kGuard; ++i)
        if (p[-(ptrdiff_t)kGuard + (ptrdiff_t)i] != kGuardFront) ++bad;
    size_t front = bad;
    size_t back_first = kGuard;
    for (size_t i = 0; i < kGuard; ++i)
        if (p[b.size + i] != kGuardBack) {
            ++bad;
            if (back_first == kGuard) back_first = i;
        }
    if (bad) {
        std::string d = std::to_string(b.size) + "-byte block tagged '" + hk::TagText(b.tag) + "'";
        if (front) d += ": written before its start";
        if (back_first != kGuard)
            d += ": written past its end (first damaged byte at offset " +
                 std::to_string(b.size + back_first) + ")";
        v::Report(v::kPoolOverrun, routine, user, d);
    }
    return bad;
}

void* Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(type) && irql >= DISPATCH_LEVEL)
        v::Report(v::kPagedPoolAtDispatchLevel, routine, nullptr,
                  "paged pool (" + std::to_string(size) + " bytes, tag '" + hk::TagText(tag) +
                      "') at IRQL " + std::to_string((unsigned)irql));
    else if (irql > DISPATCH_LEVEL)
        v::Report(v::kIrqlNotLess, routine, nullptr,
                  "pool allocation at IRQL " + std::to_string((unsigned)irql));
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.pool);
    hk::PoolTagStats& st = m.tag_stats[tag];
    st.tag = tag;
    bool fail = m.fail_tags.count(tag) != 0;
    if (m.fail_nth) {
        if (--m.fail_nth == 0) fail = true;
    }
    if (!fail && m.fail_after >= 0) {
        if (m.fail_after == 0)
            fail = true;
        else
            --m.fail_after;
    }
    if (fail) {
        ++st.failed_allocations;
        return nullptr;
    }
    unsigned char* raw = (unsigned char*)std::malloc(kHeader + kGuard + size + kGuard);
    if (!raw) return nullptr;
    auto* rh = (RawHeader*)raw;
    rh->magic = kMagic;
    rh->size = size;
    unsigned char* user = raw + kHeader + kGuard;
    std::memset(raw + kHeader, kGuardFront, kGuard);
    std::memset(user, kFreshFill, size);
    std::memset(user + size, kGuardBack, kGuard);
    m.live[user] = hk::PoolBlock{tag, size, type, ++m.pool_serial, raw};
    st.bytes_in_use += size;
    st.blocks_in_use += 1;
    st.total_allocations += 1;
    return user;
}

// Frees the oldest quarantined blocks, checking that nobody wrote to them.
void TrimQuarantine(Machine::Impl& m, size_t keep_bytes) {
    while (!m.quarantine.empty() && m.quarantine_bytes > keep_bytes) {
        auto [user, b] = m.quarantine.front();
        m.quarantine.pop_front();
        m.quarantined.erase(user);
        m.quarantine_bytes -= b.size;
        const unsigned char* p = (const unsigned char*)user;
        for (size_t i = 0; i < b.size; ++i)
            if (p[i] != kPoison) {
                v::Report("PoolWriteAfterFree", "ExFreePool", user,
                          std::to_string(b.size) + "-byte block tagged '" + hk::TagText(b.tag) +
                              "' was written at offset " + std::to_string(i) + " after it was freed");
                break;
            }
        std::free(b.raw);
    }
}

void Free(PVOID P, const ULONG* tag, const char* routine) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        v::Report(v::kIrqlNotLess, routine, P, "pool freed above DISPATCH_LEVEL");
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.pool);
    auto it = m.live.find(P);
    if (it == m.live.end()) {
        if (m.quarantined.count(P))
            v::Report(v::kPoolDoubleFree, routine, P, "the block was already freed");
        else
            v::Report(v::kPoolBadFree, routine, P, "not the address of a pool block");
        return;
    }
    hk::PoolBlock b = it->second;
    if (tag && *tag != b.tag)
        v::Report(v::kPoolTagMismatch, routine, P,
                  "freed with tag '" + hk::TagText(*tag) + "', allocated with '" +
                      hk::TagText(b.tag) + "'");
    CheckGuards(b, P, routine);
    m.live.erase(it);
    hk::PoolTagStats& st = m.tag_stats[b.tag];
    st.bytes_in_use -= b.size;
    st.blocks_in_use -= 1;
    std::memset(P, kPoison, b.size);
    m.quarantine.emplace_back(P, b);
    m.quarantined.insert(P);
    m.quarantine_bytes += b.size;
    TrimQuarantine(m, kQuarantineBytes);
}

}  // namespace

EXTERN_C PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

EXTERN_C PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Allocate(PoolType, NumberOfBytes, hk::MakeTag("None"), "ExAllocatePool");
}

EXTERN_C void NTAPI ExFreePool(PVOID P) { Free(P, nullptr, "ExFreePool"); }

EXTERN_C void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    // Tag 0 means "any tag", as on Windows.
    if (Tag == 0)
        Free(P, nullptr, "ExFreePoolWithTag");
    else
        Free(P, &Tag, "ExFreePoolWithTag");
}

namespace hk {

namespace detail {
void PoolShutdownChecks(Machine::Impl& m) {
    std::unique_lock<std::mutex> lk(m.pool);
    std::vector<std::pair<const void*, PoolBlock>> blocks(m.live.begin(), m.live.end());
    lk.unlock();
    for (auto& [p, b] : blocks) CheckGuards(b, p, "hk::Machine::~Machine");
    Machine::Current().ReportPoolLeaks("at shutdown");
    lk.lock();
    TrimQuarantine(m, 0);
}

void PoolFreeAll(Machine::Impl& m) {
    std::lock_guard<std::mutex> g(m.pool);
    for (auto& [p, b] : m.live) std::free(b.raw);
    m.live.clear();
    for (auto& [p, b] : m.quarantine) std::free(b.raw);
    m.quarantine.clear();
    m.quarantined.clear();
}
}  // namespace detail

PoolTagStats Machine::PoolStats(ULONG tag) const {
    std::lock_guard<std::mutex> g(impl_->pool);
    auto it = impl_->tag_stats.find(tag);
    if (it == impl_->tag_stats.end()) {
        PoolTagStats s;
        s.tag = tag;
        return s;
    }
    return it->second;
}

std::vector<PoolTagStats> Machine::PoolStatsAll() const {
    std::lock_guard<std::mutex> g(impl_->pool);
    std::vector<PoolTagStats> out;
    for (auto& [t, s] : impl_->tag_stats) out.push_back(s);
    return out;
}

std::vector<PoolBlockInfo> Machine::OutstandingPool() const {
    std::lock_guard<std::mutex> g(impl_->pool);
    std::vector<PoolBlockInfo> out;
    for (auto& [p, b] : impl_->live) out.push_back(PoolBlockInfo{p, b.tag, b.size, b.type, b.serial});
    std::sort(out.begin(), out.end(),
              [](const PoolBlockInfo& a, const PoolBlockInfo& b) { return a.serial < b.serial; });
    return out;
}

size_t Machine::CheckPoolGuards() {
    std::unique_lock<std::mutex> lk(impl_->pool);
    std::vector<std::pair<const void*, PoolBlock>> blocks(impl_->live.begin(), impl_->live.end());
    lk.unlock();
    size_t bad = 0;
    for (auto& [p, b] : blocks)
        if (CheckGuards(b, p, "hk::Machine::CheckPoolGuards")) ++bad;
    return bad;
}

size_t Machine::ReportPoolLeaks(const char* when) {
    std::vector<PoolBlockInfo> blocks = OutstandingPool();
    if (blocks.empty()) return 0;
    std::map<ULONG, std::pair<size_t, size_t>> by_tag;  // count, bytes
    for (auto& b : blocks) {
        by_tag[b.tag].first += 1;
        by_tag[b.tag].second += b.size;
    }
    for (auto& b : blocks)
        verifier::Report(verifier::kPoolLeak, "ExAllocatePoolWithTag", b.address,
                         std::to_string(b.size) + " bytes tagged '" + TagText(b.tag) +
                             "' still allocated " + (when ? when : "") + " (allocation #" +
                             std::to_string(b.serial) + ")");
    std::string summary;
    for (auto& [tag, cb] : by_tag)
        summary += " '" + TagText(tag) + "': " + std::to_string(cb.first) + " blocks, " +
                   std::to_string(cb.second) + " bytes;";
    std::fprintf(stderr, "hostkernel: pool leaked %s by tag:%s\n", when ? when : "", summary.c_str());
    return blocks.size();
}

void Machine::FailNthAllocation(size_t n) {
    std::lock_guard<std::mutex> g(impl_->pool);
    impl_->fail_nth = n;
}
void Machine::FailTag(ULONG tag, bool fail) {
    std::lock_guard<std::mutex> g(impl_->pool);
    if (fail)
        impl_->fail_tags.insert(tag);
    else
        impl_->fail_tags.erase(tag);
}
void Machine::FailAllocationsAfter(size_t n) {
    std::lock_guard<std::mutex> g(impl_->pool);
    impl_->fail_after = (long long)n;
}
void Machine::ClearPoolFaults() {
    std::lock_guard<std::mutex> g(impl_->pool);
    impl_->fail_nth = 0;
    impl_->fail_after = -1;
    impl_->fail_tags.clear();
}

}  // namespace hk
