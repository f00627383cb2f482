// The power manager's part of the driver API. Since Windows Vista power
// requests are sent like any other request and need no serialisation call;
// PoStartNextPowerIrp stays for the drivers that still make it.
#include "io_internal.h"

EXTERN_C NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

EXTERN_C void NTAPI PoStartNextPowerIrp(PIRP Irp) { (void)Irp; }

EXTERN_C POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                           POWER_STATE State) {
    // Returns the state recorded before, as the power manager does.
    return hk::iomgr::RecordPowerState(DeviceObject, Type, State);
}
