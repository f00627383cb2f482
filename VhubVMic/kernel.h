// The one place that picks the platform.
//
// Windows build: the WDK headers (mingw-w64's ddk/ is the reference).
// Host build:    hostkernel's WDK-facing headers, which declare the same names
//                with the same x64 layouts.
//
// Everything else that differs between the two lives here too:
//   KTEXT("...")     a wide (16-bit WCHAR) string literal
//   PROBE_TRY / PROBE_EXCEPT / PROBE_END
//                    the guard around every touch of a caller's memory
//                    (METHOD_NEITHER buffers). On Windows it is structured
//                    exception handling; on the host it catches what
//                    hostkernel's ProbeForRead/ProbeForWrite raise.
#pragma once

#if defined(_WIN32)

#include <ntifs.h>
#include <usb.h>
#include <usbioctl.h>
// usbdlib.h declares the USBD.SYS exports without C linkage for C++.
extern "C" {
#include <usbdlib.h>
}
#include <usbbusif.h>
#include <wdmguid.h>

#define KTEXT(s) L##s

// Exported by the kernel, declared by no mingw-w64 header.
extern "C" NTSTATUS NTAPI SeCaptureSecurityDescriptor(
    PSECURITY_DESCRIPTOR InputSecurityDescriptor, KPROCESSOR_MODE RequestorMode,
    POOL_TYPE PoolType, BOOLEAN ForceCapture,
    PSECURITY_DESCRIPTOR* OutputSecurityDescriptor);

#ifndef USBD_STATUS_ERROR
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000L)
#endif

// Structured exception handling for the probe guard. gcc has no
// __try/__except, so the guarded block becomes the body of a lambda that
// VhubProbeCall (windows/driver/probe_guard.S) runs under a real x64 SEH
// frame: its unwind data names the kernel's __C_specific_handler with one
// scope entry whose filter is EXCEPTION_EXECUTE_HANDLER, so an exception
// raised anywhere below it (ProbeForRead/ProbeForWrite, a fault while
// copying caller memory) unwinds back into VhubProbeCall, which returns
// nonzero, and the PROBE_EXCEPT block runs.
//
// Because the block is a function body, nothing may leave it early: no
// return, break, continue or goto out of it. Each of those is a compile
// error here (the block must end by falling through), so a guarded block
// that builds for Windows means the same on both platforms. Compute a flag
// inside the block and act on it after PROBE_END instead.
extern "C" LONG VhubProbeCall(VOID (*Body)(PVOID Context), PVOID Context);

// The one value a guarded block returns; PROBE_EXCEPT supplies it.
struct VhubProbeBlockEnd {
    explicit VhubProbeBlockEnd(int) {}
};

template <typename Block>
inline VOID VhubProbeRunBlock(PVOID Context) {
    (*static_cast<const Block*>(Context))();
}

template <typename Block>
inline BOOLEAN VhubProbeRaised(const Block& block) {
    return VhubProbeCall(&VhubProbeRunBlock<Block>, (PVOID)&block) != 0;
}

#define PROBE_TRY if (VhubProbeRaised([&]() -> VhubProbeBlockEnd {
#define PROBE_EXCEPT return VhubProbeBlockEnd(0); })) {
#define PROBE_END }

#else  // host build on hostkernel

#include "hostkernel/wdk.h"

#define KTEXT(s) u##s

#define PROBE_TRY try {
#define PROBE_EXCEPT } catch (const hk::AccessViolation&) {
#define PROBE_END }

#endif
