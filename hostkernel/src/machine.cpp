// hk::Machine: boot, the test/lab API that is not owned by a single manager,
// and shutdown with its final checks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ke_internal.h"

#ifndef HK_VERIFIER_DEFAULT
#define HK_VERIFIER_DEFAULT 1
#endif

namespace hk {

namespace {
std::atomic<Machine*> g_machine{nullptr};
std::atomic<uint64_t> g_generation{0};
}  // namespace

bool VerifierDefault() { return HK_VERIFIER_DEFAULT != 0; }

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        if (c >= 0x20 && c < 0x7F) {
            s += (char)c;
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s;
}

namespace detail {
Machine::Impl* TryM() {
    Machine* m = g_machine.load(std::memory_order_acquire);
    return m ? &m->impl() : nullptr;
}
Machine::Impl& M() {
    Machine::Impl* m = TryM();
    if (!m) {
        std::fprintf(stderr,
                     "hostkernel: a kernel routine was called with no hk::Machine alive; "
                     "create one first\n");
        std::abort();
    }
    return *m;
}
}  // namespace detail

Machine::Machine() : Machine(Options()) {}

Machine::Machine(Options options) : impl_(new Impl) {
    impl_->opt = std::move(options);
    impl_->generation = ++g_generation;
    impl_->increment = impl_->opt.time_increment ? impl_->opt.time_increment : 156250;
    impl_->tick_rounding = impl_->opt.timer_resolution_rounding;
    impl_->real_boot = std::chrono::steady_clock::now();
    Machine* expected = nullptr;
    if (!g_machine.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "hostkernel: a second hk::Machine was created while one lives\n");
        std::abort();
    }
    detail::FilesBoot(*impl_);
}

Machine::~Machine() {
    Impl& m = *impl_;
    // Managers first, in reverse order of registration: they remove their
    // devices and stop their own threads.
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> g(m.sched);
        hooks.swap(m.shutdown_hooks);
    }
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) (*it)();
    detail::StopThreads(m);
    detail::HandlesShutdownChecks(m);
    detail::PoolShutdownChecks(m);

    std::string report;
    {
        std::lock_guard<std::mutex> g(m.diag);
        for (const Finding& f : m.findings) report += "  " + f.Describe() + "\n";
    }
    if (!report.empty()) {
        std::fprintf(stderr, "hostkernel: machine shut down with verifier findings:\n%s",
                     report.c_str());
        std::fflush(stderr);
    }
    detail::FilesShutdown(m);
    detail::PoolFreeAll(m);
    detail::ThreadsFree(m);
    g_machine.store(nullptr, std::memory_order_release);
    if (!report.empty() && m.opt.fail_on_findings && m.opt.verifier) std::abort();
}

Machine& Machine::Current() {
    Machine* m = g_machine.load(std::memory_order_acquire);
    if (!m) {
        std::fprintf(stderr, "hostkernel: no hk::Machine alive\n");
        std::abort();
    }
    return *m;
}
Machine* Machine::TryCurrent() { return g_machine.load(std::memory_order_acquire); }

const Machine::Options& Machine::options() const { return impl_->opt; }

// --- diagnostics -----------------------------------------------------------------------
std::vector<std::string> Machine::DebugLog() const {
    std::lock_guard<std::mutex> g(impl_->diag);
    return impl_->debug_log;
}
std::string Machine::DebugText() const {
    std::lock_guard<std::mutex> g(impl_->diag);
    std::string s;
    for (const auto& e : impl_->debug_log) s += e;
    return s;
}
void Machine::ClearDebugLog() {
    std::lock_guard<std::mutex> g(impl_->diag);
    impl_->debug_log.clear();
}
std::vector<AssertionRecord> Machine::Assertions() const {
    std::lock_guard<std::mutex> g(impl_->diag);
    return impl_->assertions;
}
void Machine::ClearAssertions() {
    std::lock_guard<std::mutex> g(impl_->diag);
    impl_->assertions.clear();
}
std::vector<Finding> Machine::Findings() const {
    std::lock_guard<std::mutex> g(impl_->diag);
    return impl_->findings;
}
size_t Machine::CountFindings(const std::string& rule) const {
    std::lock_guard<std::mutex> g(impl_->diag);
    return (size_t)std::count_if(impl_->findings.begin(), impl_->findings.end(),
                                 [&](const Finding& f) { return f.rule == rule; });
}
void Machine::ClearFindings() {
    std::lock_guard<std::mutex> g(impl_->diag);
    impl_->findings.clear();
}

std::string Machine::Report() const {
    std::ostringstream s;
    for (const Finding& f : Findings()) s << "finding: " << f.Describe() << "\n";
    for (const PoolBlockInfo& b : OutstandingPool())
        s << "pool in use: " << b.size << " bytes tagged '" << TagText(b.tag) << "' at "
          << detail::Hex(b.address) << "\n";
    {
        std::lock_guard<std::mutex> g(impl_->handles);
        for (const auto& [h, e] : impl_->handle_table)
            s << "open handle: " << detail::Hex((void*)h) << " (" << e.object->TypeName() << " "
              << e.object->Describe() << ")\n";
    }
    return s.str();
}

// --- user address space ----------------------------------------------------------------
void Machine::RegisterUserRange(const void* base, size_t length, bool writable) {
    // Kernel memory is never the caller's: a range that overlaps a pool block
    // (the application handing the driver a kernel address) stays outside the
    // user address space, so probing it raises as MmUserProbeAddress checks do.
    if (OverlapsPool(base, length)) return;
    std::lock_guard<std::mutex> g(impl_->user);
    impl_->user_ranges[(uintptr_t)base] = UserRangeRec{length, writable};
}
bool Machine::OverlapsPool(const void* base, size_t length) const {
    uintptr_t lo = (uintptr_t)base, hi = lo + length;
    std::lock_guard<std::mutex> p(impl_->pool);
    for (auto& [user, block] : impl_->live) {
        uintptr_t blo = (uintptr_t)block.raw;
        uintptr_t bhi = (uintptr_t)user + block.size + 16;  // back guard
        if (lo < bhi && blo < (length ? hi : lo + 1)) return true;
    }
    return false;
}
void Machine::UnregisterUserRange(const void* base) {
    std::lock_guard<std::mutex> g(impl_->user);
    impl_->user_ranges.erase((uintptr_t)base);
}
bool Machine::IsUserRange(const void* address, size_t length, bool write) const {
    uintptr_t a = (uintptr_t)address;
    if (a + length < a) return false;
    std::lock_guard<std::mutex> g(impl_->user);
    auto it = impl_->user_ranges.upper_bound(a);
    if (it == impl_->user_ranges.begin()) return false;
    --it;
    uintptr_t base = it->first;
    if (a + length > base + it->second.length) return false;
    return !write || it->second.writable;
}

void Machine::AddShutdownHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(impl_->sched);
    impl_->shutdown_hooks.push_back(std::move(hook));
}

size_t Machine::OpenHandleCount() const {
    std::lock_guard<std::mutex> g(impl_->handles);
    return impl_->handle_table.size();
}

}  // namespace hk
