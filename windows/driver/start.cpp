// Image entry of VhubVMic.sys and the run-time support the compiler needs.
//
// There is no C run-time in a kernel image. What gcc's code expects is:
//   - memcpy, memset, memmove, memcmp: exported by ntoskrnl.exe, imported;
//   - the stack-protection cookie and its failure routine: defined here;
//   - ___chkstk_ms (stack probes for frames over a page) and integer
//     helpers: from libgcc, which is self-contained;
//   - the probe guard's SEH frame: probe_guard.S.
//
// The stack-protection cookie is the x64 ABI's __security_cookie (with its
// complement). gcc's -fstack-protector reads __stack_chk_guard, which is
// the same storage under a second name, and calls __stack_chk_fail on a
// mismatch. The cookie must hold a value that an attacker cannot predict
// before any protected frame is entered, so the image's entry point sets it
// from varying sources and only then calls DriverEntry. This file is built
// without the stack protector: the entry's own frame could not be checked
// against a cookie that changes under it.
#include "kernel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Bug check 0xF7, DRIVER_OVERRAN_STACK_BUFFER (no mingw-w64 header names it).
#define VHUB_BUGCHECK_STACK_OVERRUN ((ULONG)0x000000F7)

// The value the x64 toolchains give the cookie before initialisation.
// Loaders and the entry below recognise it as "not yet set".
#define VHUB_DEFAULT_SECURITY_COOKIE ((ULONG_PTR)0x00002B992DDFA232ULL)

extern "C" {

ULONG_PTR __security_cookie = VHUB_DEFAULT_SECURITY_COOKIE;
ULONG_PTR __security_cookie_complement = ~VHUB_DEFAULT_SECURITY_COOKIE;
extern ULONG_PTR __stack_chk_guard __attribute__((alias("__security_cookie")));

// A protected frame's cookie no longer matches: the stack was overrun.
// Continuing would run on a corrupted return address, so stop the system
// with the bug check that exists for exactly this.
__attribute__((noreturn)) void __stack_chk_fail(void) {
    KeBugCheckEx(VHUB_BUGCHECK_STACK_OVERRUN, (ULONG_PTR)__builtin_return_address(0),
                 __security_cookie, __security_cookie_complement, 0);
    __builtin_unreachable();
}

}  // extern "C"

static inline ULONG64 VhubReadTimeStampCounter(void) {
    ULONG lo, hi;
    __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
    return ((ULONG64)hi << 32) | lo;
}

// Mixes the performance counter, the time-stamp counter, the interrupt time
// and the address of this frame (different at every load). The top 16 bits
// stay clear, as on the other x64 toolchains, so that a string overrun
// that writes a zero terminator over them still changes the cookie.
__attribute__((no_stack_protector)) static VOID VhubInitializeSecurityCookie(VOID) {
    if (__security_cookie != VHUB_DEFAULT_SECURITY_COOKIE && __security_cookie != 0) {
        // The loader already set it.
        __security_cookie_complement = ~__security_cookie;
        return;
    }
    LARGE_INTEGER perf = KeQueryPerformanceCounter(NULL);
    ULONG64 cookie = (ULONG64)perf.QuadPart;
    cookie ^= VhubReadTimeStampCounter() << 17;
    cookie ^= (ULONG64)KeQueryInterruptTime() * 0x9E3779B97F4A7C15ULL;
    cookie ^= (ULONG64)(ULONG_PTR)&perf;
    cookie &= 0x0000FFFFFFFFFFFFULL;
    if (cookie == 0 || cookie == VHUB_DEFAULT_SECURITY_COOKIE) {
        cookie = VHUB_DEFAULT_SECURITY_COOKIE ^ 0x0000A5A55A5AA5A5ULL;
    }
    __security_cookie = (ULONG_PTR)cookie;
    __security_cookie_complement = ~(ULONG_PTR)cookie;
}

// The image's entry point (the linker's --entry): cookie first, then the
// driver's own entry.
extern "C" __attribute__((no_stack_protector)) NTSTATUS
VhubImageEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    VhubInitializeSecurityCookie();
    return DriverEntry(DriverObject, RegistryPath);
}
