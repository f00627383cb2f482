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
#include <usbdlib.h>
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
// __try/__except; the Windows build supplies them through mingw-w64's
// x64 SEH primitives (see windows/).
#if defined(__GNUC__) && !defined(VHUB_SEH_AVAILABLE)
#define PROBE_TRY if (1) {
#define PROBE_EXCEPT } else {
#define PROBE_END }
#else
#define PROBE_TRY __try {
#define PROBE_EXCEPT } __except (EXCEPTION_EXECUTE_HANDLER) {
#define PROBE_END }
#endif

#else  // host build on hostkernel

#include "hostkernel/wdk.h"

#define KTEXT(s) u##s

#define PROBE_TRY try {
#define PROBE_EXCEPT } catch (const hk::AccessViolation&) {
#define PROBE_END }

#endif
