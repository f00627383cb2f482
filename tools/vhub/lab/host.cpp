#include "lab/lab_layers.h"
#if VHUBLAB_HAS_RIG

#include "lab/host.h"
#include "lab/rig.h"

#if VHUBLAB_HAS_SECURITY
#include "hk/security.h"
#endif

namespace vhublab {

#if !VHUBLAB_HAS_HOST

void RegisterHostClassDrivers() {}
void UnregisterHostClassDrivers() {}
bool HostClassDriversPresent() { return false; }
std::unique_ptr<HostSide> MakeHostSide(Rig&) { return nullptr; }
bool ReadHostDescriptors(Rig&, const std::string&, DescriptorSet*, std::string* why) {
  *why = "the host's USB class drivers are not in this build";
  return false;
}

#endif

std::string DescribeSecurity(PDEVICE_OBJECT device) {
#if VHUBLAB_HAS_SECURITY
  return hk::security::DeviceSddl(device);
#else
  (void)device;
  return {};
#endif
}

}  // namespace vhublab
#endif
