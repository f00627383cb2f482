#include "lab/capture.h"
#if VHUBLAB_HAS_RIG

#include <algorithm>
#include <map>
#include <mutex>

#include "hk/io.h"
#include "hk/pnp.h"

namespace vhublab {
namespace {

std::mutex g_mu;
UrbTap g_tap;
uint64_t (*g_now)() = nullptr;
PDRIVER_DISPATCH g_original = nullptr;

struct Wrapped {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  UCHAR control;
  uint16_t device;
  PURB urb;
};
std::map<PIRP, Wrapped> g_wrapped;

const uint8_t* UrbBuffer(PVOID buffer, PMDL mdl) {
  if (buffer) return static_cast<const uint8_t*>(buffer);
  if (mdl) return static_cast<const uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  return nullptr;
}

void Setup(UrbRecord& r, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  r.data = {type, request, uint8_t(value), uint8_t(value >> 8), uint8_t(index), uint8_t(index >> 8),
            uint8_t(length), uint8_t(length >> 8)};
}

void Emit(const UrbRecord& r) {
  UrbTap tap;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    tap = g_tap;
  }
  if (tap) tap(r);
}

bool Tapping() {
  std::lock_guard<std::mutex> lock(g_mu);
  return bool(g_tap);
}

// Runs in place of the caller's completion routine: records the URB as it
// comes back, then does what the caller's routine (or, without one, the
// I/O manager) would have done.
NTSTATUS HookDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  Wrapped w{};
  {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_wrapped.find(irp);
    if (it != g_wrapped.end()) {
      w = it->second;
      g_wrapped.erase(it);
    }
  }
  if (w.urb) Emit(RecordUrb(irp, w.urb, true, w.device));
  const NTSTATUS st = irp->IoStatus.Status;
  const bool invoke = w.routine && ((NT_SUCCESS(st) && (w.control & SL_INVOKE_ON_SUCCESS)) ||
                                    (!NT_SUCCESS(st) && (w.control & SL_INVOKE_ON_ERROR)) ||
                                    (irp->Cancel && (w.control & SL_INVOKE_ON_CANCEL)));
  if (invoke) return w.routine(device, irp, w.context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS HookDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
  hk::pnp::DeviceInfo info;
  if (sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      sl->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && Tapping() &&
      hk::pnp::Find(device, &info) && info.parent_pdo) {
    const uint16_t dev = uint16_t(info.device_id.find("VID_FC02") != std::string::npos ? 2 : 1);
    PURB urb = static_cast<PURB>(sl->Parameters.Others.Argument1);
    if (urb) Emit(RecordUrb(irp, urb, false, dev));
    {
      std::lock_guard<std::mutex> lock(g_mu);
      g_wrapped[irp] = Wrapped{sl->CompletionRoutine, sl->Context, sl->Control, dev, urb};
    }
    sl->CompletionRoutine = HookDone;
    sl->Context = nullptr;
    sl->Control |= SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
  }
  return g_original(device, irp);
}

}  // namespace

void InstallUrbHook(PDRIVER_OBJECT driver) {
  if (!driver || driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] == HookDispatch) return;
  g_original = driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HookDispatch;
}

void RemoveUrbHook(PDRIVER_OBJECT driver) {
  if (driver && driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] == HookDispatch)
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = g_original;
}

void SetCaptureTap(UrbTap tap) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_tap = std::move(tap);
}

void SetCaptureClock(uint64_t (*now_us)()) { g_now = now_us; }

UrbRecord RecordUrb(PIRP irp, PURB urb, bool completion, uint16_t device) {
  UrbRecord r;
  r.timestamp_us = g_now ? g_now() : 0;
  r.irp_id = uint64_t(uintptr_t(irp));
  r.status = uint32_t(urb->UrbHeader.Status);
  r.function = urb->UrbHeader.Function;
  r.completion = completion;
  r.device = device;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_ISOCH_TRANSFER: {
      const auto& t = urb->UrbIsochronousTransfer;
      const bool in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      r.transfer = UsbTransfer::Isochronous;
      r.endpoint = uint8_t((uintptr_t(t.PipeHandle) & 0x0F) | (in ? 0x80 : 0));
      r.start_frame = t.StartFrame;
      r.error_count = t.ErrorCount;
      uint32_t extent = 0;
      for (ULONG i = 0; i < t.NumberOfPackets && i < 1024; ++i) {
        const auto& p = t.IsoPacket[i];
        r.packets.push_back({p.Offset, p.Length, uint32_t(p.Status)});
        extent = std::max(extent, p.Offset + (in ? p.Length : 0));
      }
      // Data travels down with an OUT transfer and up with an IN one.
      uint32_t n = in ? (completion ? extent : 0) : (completion ? 0 : t.TransferBufferLength);
      const uint8_t* buf = n ? UrbBuffer(t.TransferBuffer, t.TransferBufferMDL) : nullptr;
      if (buf) r.data.assign(buf, buf + std::min<uint32_t>(n, t.TransferBufferLength));
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      const auto& d = urb->UrbControlDescriptorRequest;
      r.transfer = UsbTransfer::Control;
      r.endpoint = 0x80;
      const uint8_t recipient = urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0
                                : urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1 : 2;
      if (!completion) {
        r.stage = ControlStage::Setup;
        Setup(r, uint8_t(0x80 | recipient), 6, uint16_t((d.DescriptorType << 8) | d.Index), d.LanguageId,
              uint16_t(d.TransferBufferLength));
      } else {
        r.stage = ControlStage::Complete;
        if (const uint8_t* buf = UrbBuffer(d.TransferBuffer, d.TransferBufferMDL))
          r.data.assign(buf, buf + d.TransferBufferLength);
      }
      break;
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT: {
      const auto& c = urb->UrbControlVendorClassRequest;
      const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      const USHORT f = urb->UrbHeader.Function;
      const bool vendor = f >= URB_FUNCTION_VENDOR_DEVICE && f <= URB_FUNCTION_VENDOR_ENDPOINT;
      const uint8_t recipient = uint8_t(vendor ? f - URB_FUNCTION_VENDOR_DEVICE : f - URB_FUNCTION_CLASS_DEVICE);
      r.transfer = UsbTransfer::Control;
      r.endpoint = in ? 0x80 : 0x00;
      const uint8_t* buf = UrbBuffer(c.TransferBuffer, c.TransferBufferMDL);
      if (!completion) {
        r.stage = ControlStage::Setup;
        Setup(r, uint8_t((in ? 0x80 : 0) | (vendor ? 0x40 : 0x20) | recipient), c.Request, c.Value, c.Index,
              uint16_t(c.TransferBufferLength));
        if (!in && buf) r.data.insert(r.data.end(), buf, buf + c.TransferBufferLength);
      } else {
        r.stage = ControlStage::Complete;
        if (in && buf) r.data.assign(buf, buf + c.TransferBufferLength);
      }
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      const auto& s = urb->UrbSelectConfiguration;
      r.transfer = UsbTransfer::Control;
      r.stage = completion ? ControlStage::Complete : ControlStage::Setup;
      if (!completion)
        Setup(r, 0x00, 9, s.ConfigurationDescriptor ? s.ConfigurationDescriptor->bConfigurationValue : 0, 0, 0);
      break;
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
      const auto& s = urb->UrbSelectInterface;
      r.transfer = UsbTransfer::Control;
      r.stage = completion ? ControlStage::Complete : ControlStage::Setup;
      if (!completion) Setup(r, 0x01, 11, s.Interface.AlternateSetting, s.Interface.InterfaceNumber, 0);
      break;
    }
    default:
      r.transfer = UsbTransfer::IrpInfo;
      break;
  }
  return r;
}

}  // namespace vhublab
#endif
