// URB capture for --pcap: a hook in the URB submission path of the
// children. It wraps the driver's internal device-control dispatch: each
// URB is recorded on its way in, and the caller's completion routine in
// the child's stack location is wrapped so the URB is recorded again on its
// way back, before the caller's routine runs as it would have.
#pragma once
#include "lab/lab_layers.h"
#if VHUBLAB_HAS_RIG

#include <string>
#include <vector>

#include "hostkernel/wdk.h"
#include "lab/usbcapture.h"

namespace vhublab {

// Hooks the driver's children: URBs sent to any device of `driver` that the
// plug-and-play manager knows as a PDO are recorded.
void InstallUrbHook(PDRIVER_OBJECT driver);
void RemoveUrbHook(PDRIVER_OBJECT driver);
// Where the records go; an empty tap stops the capture.
void SetCaptureTap(UrbTap tap);
// Microseconds since boot on the machine's clock, for time stamps.
void SetCaptureClock(uint64_t (*now_us)());

// The record of one URB as it goes down (completion false) or comes back.
// `device` is the USB address shown for the child.
UrbRecord RecordUrb(PIRP irp, PURB urb, bool completion, uint16_t device);

}  // namespace vhublab
#endif
