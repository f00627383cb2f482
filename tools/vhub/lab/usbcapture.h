// The hook through which URBs reach the capture file.
#pragma once
#include <functional>

#include "lab/usbpcap.h"

namespace vhublab {
using UrbTap = std::function<void(const UrbRecord&)>;
}  // namespace vhublab
