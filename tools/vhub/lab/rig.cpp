#include "lab/lab_layers.h"
#if VHUBLAB_HAS_RIG

#include "lab/rig.h"

#include <sstream>
#include <thread>

#include "lab/capture.h"
#include "lab/host.h"
#include "lab/text.h"
#include "lab/video.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vhublab {
namespace {

constexpr char kDriverName[] = "VhubVMic";
constexpr char kBusHardwareId[] = "ROOT\\VHUBVMIC";

std::string Hex(uint64_t v, int digits = 8) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, (unsigned long long)v);
  return buf;
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
  return s.empty() ? "(none)" : s;
}

}  // namespace

Rig::Rig(const RigOptions& options) : options_(options) {
  hk::Machine::Options mo;
  mo.clock = options.virtual_time ? hk::ClockMode::Virtual : hk::ClockMode::Real;
  mo.fail_on_findings = false;  // the lab reports findings itself
  mo.debug_sink = [this](const std::string& raw) { OnDebug(raw); };
  machine_ = std::make_unique<hk::Machine>(mo);
  if (options.name_given) machine_->PutFile("DeiverName.dat", options.name);

  RegisterHostClassDrivers();

  NTSTATUS status = STATUS_SUCCESS;
  hk::io::DriverOptions dopt;
  dopt.pool_tags = {hk::MakeTag("Zuwa"), 0x61626364};
  if (!hk::io::LoadDriver(kDriverName, DriverEntry, &status, dopt))
    throw LabError("the driver's DriverEntry failed with " + Hex(uint32_t(status)));
  if (options.urb_tap) {
    // Hooked before the bus exists, so the capture holds the host's
    // enumeration of both children as well as their streams.
    SetCaptureClock(+[]() -> uint64_t {
      hk::Machine* m = hk::Machine::TryCurrent();
      return m ? uint64_t(m->Elapsed100ns() / 10) : 0;
    });
    SetCaptureTap(options.urb_tap);
    InstallUrbHook(hk::io::FindDriver(kDriverName));
  }

  hk::pnp::RootDeviceSettings root_device;
  root_device.hardware_ids = {kBusHardwareId};
  root_device.description = "Virtual USB bus";
  root_device.driver = kDriverName;
  status = hk::pnp::InstallRootDevice(root_device, &bus_pdo_);
  if (!NT_SUCCESS(status) || !bus_pdo_)
    throw LabError("installing the root-enumerated bus failed with " + Hex(uint32_t(status)));
  if (!Settle()) throw LabError("the plug-and-play manager did not settle after installing the bus");
}

Rig::~Rig() {
  try {
    Finish();
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    if (options_.verbose && options_.log && !pending_line_.empty()) *options_.log << GbkToUtf8(pending_line_) << "\n";
  }
  machine_.reset();
}

void Rig::OnDebug(const std::string& raw) {
  std::lock_guard<std::mutex> lock(log_mu_);
  ++debug_entries_;
  if (!options_.verbose || !options_.log) return;
  // DbgPrint calls arrive in pieces (the prefix is a call of its own); show
  // whole lines, converted from the driver's GBK.
  pending_line_ += raw;
  size_t nl;
  while ((nl = pending_line_.find('\n')) != std::string::npos) {
    *options_.log << "  dbg| " << GbkToUtf8(pending_line_.substr(0, nl)) << "\n";
    pending_line_.erase(0, nl + 1);
  }
}

uint64_t Rig::debug_entries() const {
  std::lock_guard<std::mutex> lock(log_mu_);
  return debug_entries_;
}

std::chrono::microseconds Rig::Now() const {
  return std::chrono::microseconds(machine_->Elapsed100ns() / 10);
}

void Rig::Pass(std::chrono::microseconds d) {
  if (d.count() <= 0) return;
  if (options_.virtual_time)
    machine_->Advance100ns(d.count() * 10);
  else
    std::this_thread::sleep_for(d);
}

bool Rig::Settle(std::chrono::milliseconds limit) {
  if (!options_.virtual_time) return hk::pnp::WaitIdle(limit);
  // Work that waits on the virtual clock (a pacing delay, a time-out) needs
  // time to move; move it in small steps until the manager is idle.
  for (auto waited = std::chrono::milliseconds(0); waited < limit; waited += std::chrono::milliseconds(1)) {
    if (hk::pnp::WaitIdle(std::chrono::milliseconds(20))) return true;
    machine_->AdvanceMs(1);
  }
  return hk::pnp::WaitIdle(std::chrono::milliseconds(0));
}

bool Rig::PassUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                    std::chrono::milliseconds step) {
  const auto end = Now() + limit;
  while (!done()) {
    if (Now() >= end) return done();
    Pass(step);
    if (!options_.virtual_time) continue;
    hk::pnp::WaitIdle(std::chrono::milliseconds(50));
  }
  return true;
}

std::vector<hk::pnp::DeviceInfo> Rig::Children() const {
  std::vector<hk::pnp::DeviceInfo> out;
  if (!bus_pdo_) return out;
  for (PDEVICE_OBJECT pdo : hk::pnp::Children(bus_pdo_)) {
    hk::pnp::DeviceInfo info;
    if (hk::pnp::Find(pdo, &info) && info.state != hk::pnp::NodeState::Deleted) out.push_back(info);
  }
  return out;
}

size_t Rig::StartedChildren() const {
  size_t n = 0;
  for (const auto& c : Children()) n += c.state == hk::pnp::NodeState::Started;
  return n;
}

std::string Rig::DescribeTree() const {
  std::ostringstream s;
  auto node = [&](const hk::pnp::DeviceInfo& d, int indent) {
    const std::string pad(size_t(indent), ' ');
    s << pad << d.instance_path << "  [" << hk::pnp::StateName(d.state) << "]\n";
    s << pad << "  device id:       " << d.device_id << "\n";
    s << pad << "  hardware ids:    " << Join(d.hardware_ids) << "\n";
    s << pad << "  compatible ids:  " << Join(d.compatible_ids) << "\n";
    if (!d.instance_id.empty()) s << pad << "  instance id:     " << d.instance_id << "\n";
    if (!d.description.empty()) s << pad << "  description:     " << d.description << "\n";
    if (!d.location.empty()) s << pad << "  location:        " << d.location << "\n";
    if (d.has_capabilities) {
      const DEVICE_CAPABILITIES& c = d.capabilities;
      std::vector<std::string> caps;
      if (c.Removable) caps.push_back("Removable");
      if (c.SurpriseRemovalOK) caps.push_back("SurpriseRemovalOK");
      if (c.UniqueID) caps.push_back("UniqueID");
      if (c.RawDeviceOK) caps.push_back("RawDeviceOK");
      if (c.EjectSupported) caps.push_back("EjectSupported");
      if (c.SilentInstall) caps.push_back("SilentInstall");
      if (c.DeviceD1) caps.push_back("D1");
      if (c.DeviceD2) caps.push_back("D2");
      s << pad << "  capabilities:    " << Join(caps) << "; Address " << Hex(c.Address) << ", UINumber "
        << Hex(c.UINumber) << "\n";
    }
    if (d.has_bus_information) {
      const GUID& g = d.bus_information.BusTypeGuid;
      char guid[48];
      std::snprintf(guid, sizeof guid, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                    g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                    g.Data4[7]);
      s << pad << "  bus type:        " << guid << " (legacy " << int(d.bus_information.LegacyBusType)
        << ", bus " << d.bus_information.BusNumber << ")\n";
    }
    s << pad << "  function driver: "
      << (d.function_driver.empty() ? (d.raw ? std::string("(raw)") : std::string("(none)")) : d.function_driver)
      << "\n";
    if (d.problem != STATUS_SUCCESS) s << pad << "  problem:         " << Hex(uint32_t(d.problem)) << "\n";
    const std::string sddl = DescribeSecurity(d.pdo);
    if (!sddl.empty()) s << pad << "  security:        " << sddl << "\n";
  };
  hk::pnp::DeviceInfo bus;
  if (!bus_pdo_ || !hk::pnp::Find(bus_pdo_, &bus)) return "(no bus)\n";
  node(bus, 0);
  const auto children = Children();
  if (children.empty()) s << "  (no children)\n";
  for (const auto& c : children) node(c, 4);
  return s.str();
}

Rig::Leftovers Rig::Finish() {
  Leftovers left;
  if (finished_) return left;
  finished_ = true;
  if (bus_pdo_) {
    hk::pnp::Uninstall(bus_pdo_);
    Settle();
    bus_pdo_ = nullptr;
  }
  if (options_.urb_tap) {
    SetCaptureTap({});
    RemoveUrbHook(hk::io::FindDriver(kDriverName));
  }
  UnregisterHostClassDrivers();
  hk::io::UnloadDriver(kDriverName);
  for (const auto& b : machine_->OutstandingPool()) {
    left.pool_bytes += b.size;
    ++left.pool_blocks;
  }
  for (const auto& f : machine_->Findings()) left.findings.push_back(f.Describe());
  left.report = machine_->Report();
  return left;
}

}  // namespace vhublab
#endif
