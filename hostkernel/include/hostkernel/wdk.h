// The WDK as the driver sees it on the host: every WDK-facing header of
// hostkernel, in dependency order. VhubVMic/kernel.h includes this on Linux.
#pragma once

#include "nt_base.h"
#include "nt_ke.h"
#include "nt_file.h"
#include "nt_io.h"
#include "nt_security.h"
#include "nt_registry.h"
#include "nt_usb.h"
