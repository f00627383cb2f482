// The verifier core: findings, their report, and the bug check.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ke_internal.h"

namespace hk {

std::string Finding::Describe() const {
    std::ostringstream s;
    s << "[" << rule << "] in " << routine;
    if (object) s << " on object " << detail::Hex(object);
    if (!detail.empty()) s << ": " << detail;
    return s.str();
}

namespace detail {
std::string Hex(const void* p) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%016llx", (unsigned long long)(uintptr_t)p);
    return b;
}
}  // namespace detail

namespace verifier {

bool Enabled() {
    Machine::Impl* m = detail::TryM();
    return m && m->opt.verifier;
}

void Report(const char* rule, const char* routine, const void* object, const std::string& text) {
    Machine::Impl* m = detail::TryM();
    Finding f{rule ? rule : "?", routine ? routine : "?", object, text};
    if (!m) {
        std::fprintf(stderr, "hostkernel verifier (no machine): %s\n", f.Describe().c_str());
        return;
    }
    if (!m->opt.verifier) return;
    std::fprintf(stderr, "hostkernel verifier: %s\n", f.Describe().c_str());
    std::lock_guard<std::mutex> g(m->diag);
    m->findings.push_back(std::move(f));
}

}  // namespace verifier
}  // namespace hk

// A bug check ends the machine: record it, print it and stop the process,
// since nothing after it would be meaningful (Windows stops too).
EXTERN_C void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                 ULONG_PTR P4) {
    hk::detail::ReportBugCheck(BugCheckCode, P1, P2, P3, P4);
    std::abort();
}

EXTERN_C void NTAPI KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

namespace hk::detail {
void ReportBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    char b[160];
    std::snprintf(b, sizeof b, "bug check 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx)", code,
                  (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3,
                  (unsigned long long)p4);
    if (Machine::Impl* m = TryM()) {
        std::lock_guard<std::mutex> g(m->diag);
        m->findings.push_back(Finding{verifier::kBugCheck, "KeBugCheckEx", nullptr, b});
    }
    std::fprintf(stderr, "\n*** hostkernel: the machine stopped with %s ***\n", b);
    std::fflush(stderr);
}
}  // namespace hk::detail

// A corrupted list entry is bug check 0x139 (KERNEL_SECURITY_CHECK_FAILURE)
// on Windows. Here it is a verifier finding; the caller's list operation
// cannot continue sensibly, so the process stops as Windows would.
EXTERN_C void NTAPI RtlFailFast(ULONG Code) {
    hk::verifier::Report(hk::verifier::kCorruptListEntry, "RtlFailFast", nullptr,
                         "fast fail code " + std::to_string(Code) +
                             (Code == FAST_FAIL_CORRUPT_LIST_ENTRY ? " (corrupt list entry)" : ""));
    KeBugCheckEx(0x139, Code, 0, 0, 0);
}
