// The host's side of a session: the USB class drivers that Windows would
// load on the two children, as the lab drives them (choose the frame size,
// stream, capture the microphone, play the speaker, read descriptors).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "lab/audio.h"
#include "lab/lab_layers.h"
#include "lab/lab.h"
#include "lab/usbdesc.h"

#if VHUBLAB_HAS_RIG
#include "hostkernel/wdk.h"
#endif

namespace vhublab {

class Rig;

// Registers (once per machine) the class drivers with the plug-and-play
// manager, so they load on the children; nothing without them in the build.
void RegisterHostClassDrivers();
// Unloads the composite driver once the devices it served are gone.
void UnregisterHostClassDrivers();
// Whether the class drivers are in this build.
bool HostClassDriversPresent();

struct HostFrame {
  const uint8_t* data;
  size_t bytes;
  int width, height;
  int fid;  // -1 when unknown
};

struct HostCounters {
  uint64_t fid_errors = 0;           // reassembly errors the video function counted
  uint64_t speaker_bytes_played = 0;
  uint64_t speaker_transfers = 0;    // completed OUT transfers
  uint64_t speaker_underrun_bytes = 0;  // silence the host sent for want of PCM
  double speaker_seconds = 0;        // the span they completed over
};

class HostSide {
 public:
  virtual ~HostSide() = default;
  std::function<void(const HostFrame&)> on_frame;
  std::function<void(const uint8_t*, size_t)> on_mic;

  // Binds to the class drivers of the present children, runs probe/commit
  // for `size`, starts video, microphone capture and speaker playback from
  // `speaker`. False with the reason when something refuses.
  virtual bool Start(const FrameSize& size, PcmSource* speaker, std::string* why) = 0;
  // Stops streaming (alternate setting 0, transfers cancelled).
  virtual void Stop() = 0;
  // Called every 10 ms by the session: keeps the speaker's queue topped up.
  virtual void Pump() = 0;
  // The frame interval the host committed, in 100 ns units.
  virtual uint32_t FrameInterval100ns() const = 0;
  virtual HostCounters Counters() const = 0;
};

// Null when the class drivers are not in this build.
std::unique_ptr<HostSide> MakeHostSide(Rig& rig);

// The descriptors of "camera" or "audio" as the host's class drivers read
// them; false with the reason when they could not be read.
bool ReadHostDescriptors(Rig& rig, const std::string& which, DescriptorSet* out, std::string* why);

#if VHUBLAB_HAS_RIG
// The SDDL of a device object's security descriptor; empty when unknown.
std::string DescribeSecurity(PDEVICE_OBJECT device);
#endif

}  // namespace vhublab
