// The simulated machine the lab runs on: hostkernel booted, the driver
// loaded on a root-enumerated bus, the host's class drivers registered.
// Only built when the layers underneath are in the build.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "lab/usbcapture.h"

namespace vhublab {

struct RigOptions {
  bool virtual_time = false;
  bool verbose = false;          // echo the driver's debug output
  bool name_given = false;
  std::string name;              // DeiverName.dat on drive C:
  std::ostream* log = nullptr;   // where the debug output goes
  // Every URB of the children from their first request on (enumeration
  // included) goes here; empty: no capture.
  UrbTap urb_tap;
};

class Rig {
 public:
  // Boots and installs the bus; throws LabError when that fails.
  explicit Rig(const RigOptions& options);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  hk::Machine& machine() { return *machine_; }
  PDEVICE_OBJECT bus_pdo() const { return bus_pdo_; }
  bool virtual_time() const { return options_.virtual_time; }

  // Time since boot on the machine's clock.
  std::chrono::microseconds Now() const;
  // Lets `d` pass: the virtual clock is advanced, real time is slept.
  void Pass(std::chrono::microseconds d);
  // Waits for the plug-and-play manager to finish its queued work (on the
  // virtual clock, time is moved along meanwhile). False on time-out.
  bool Settle(std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
  // Polls `done` while time passes in `step`s, up to `limit` of machine time.
  bool PassUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                 std::chrono::milliseconds step = std::chrono::milliseconds(5));

  // The bus's children as the plug-and-play manager knows them (started or not).
  std::vector<hk::pnp::DeviceInfo> Children() const;
  size_t StartedChildren() const;
  // The device tree as text.
  std::string DescribeTree() const;

  // Orderly end: removes the bus (children first), unloads the driver and
  // counts what was left behind. Safe to call once; the destructor calls it.
  struct Leftovers {
    uint64_t pool_bytes = 0;
    uint64_t pool_blocks = 0;
    std::vector<std::string> findings;
    std::string report;  // the machine's full report, empty when clean
  };
  Leftovers Finish();
  uint64_t debug_entries() const;

 private:
  void OnDebug(const std::string& raw);

  RigOptions options_;
  std::unique_ptr<hk::Machine> machine_;
  PDEVICE_OBJECT bus_pdo_ = nullptr;
  bool finished_ = false;
  mutable std::mutex log_mu_;
  std::string pending_line_;
  uint64_t debug_entries_ = 0;
};

}  // namespace vhublab
