// The power manager's part of the driver API. Since Windows Vista power
// requests are sent like any other request and need no serialisation call;
// PoStartNextPowerIrp stays for the drivers that still make it.
#include <cstdio>

#include "io_internal.h"

namespace {
std::string IrpText(PIRP irp) {
    char b[40];
    std::snprintf(b, sizeof b, "IRP %p", (void*)irp);
    return b;
}
}  // namespace

EXTERN_C NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // The location the IRP is about to enter must be a power request: a
    // driver that passes anything else here has mixed up its dispatch paths.
    if (Irp && Irp->CurrentLocation > 1) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        if (next->MajorFunction != IRP_MJ_POWER)
            hk::verifier::Report(hk::iomgr::kPowerIrpExpected, "PoCallDriver", Irp,
                                 IrpText(Irp) + " with major function " +
                                     std::to_string((unsigned)next->MajorFunction) +
                                     " sent with PoCallDriver");
    }
    return IofCallDriver(DeviceObject, Irp);
}

EXTERN_C void NTAPI PoStartNextPowerIrp(PIRP Irp) {
    // Only the driver that holds a power IRP at its current location may
    // start the next one.
    if (!Irp || Irp->CurrentLocation > Irp->StackCount ||
        IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        hk::verifier::Report(hk::iomgr::kPowerIrpExpected, "PoStartNextPowerIrp", Irp,
                             IrpText(Irp) +
                                 " is not a power IRP at its current stack location");
}

EXTERN_C POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                           POWER_STATE State) {
    // Returns the state recorded before, as the power manager does.
    return hk::iomgr::RecordPowerState(DeviceObject, Type, State);
}
