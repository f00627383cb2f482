// Capture files in the USBPcap format (pcap link type 249), so a person can
// open the URBs that crossed the virtual devices in Wireshark.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace vhublab {

constexpr uint32_t kLinkTypeUsbPcap = 249;

enum class UsbTransfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3, IrpInfo = 0xFE, Unknown = 0xFF };
enum class ControlStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

struct IsoPacket {
  uint32_t offset = 0;
  uint32_t length = 0;
  uint32_t status = 0;
};

// One URB as it went down (submit) or came back (completion).
struct UrbRecord {
  uint64_t timestamp_us = 0;
  uint64_t irp_id = 0;
  uint32_t status = 0;       // USBD_STATUS
  uint16_t function = 0;     // URB_FUNCTION_*
  bool completion = false;   // PDO -> FDO
  uint16_t bus = 1;
  uint16_t device = 0;
  uint8_t endpoint = 0;      // with the direction bit
  UsbTransfer transfer = UsbTransfer::Unknown;
  // Control transfers only.
  ControlStage stage = ControlStage::Setup;
  // Isochronous transfers only.
  uint32_t start_frame = 0;
  uint32_t error_count = 0;
  std::vector<IsoPacket> packets;
  std::vector<uint8_t> data;
};

// Bytes of the USBPCAP_BUFFER_PACKET_HEADER (and its control or isochronous
// extension) that open each record.
std::vector<uint8_t> EncodeUsbPcapHeader(const UrbRecord& r);

// Thread-safe: URBs complete on several threads.
class UsbPcapWriter {
 public:
  explicit UsbPcapWriter(const std::string& path);  // throws LabError
  ~UsbPcapWriter();
  UsbPcapWriter(const UsbPcapWriter&) = delete;
  UsbPcapWriter& operator=(const UsbPcapWriter&) = delete;
  void Write(const UrbRecord& r);
  uint64_t records() const;
  void Close();

 private:
  mutable std::mutex mu_;
  FILE* f_ = nullptr;
  std::string path_;
  uint64_t records_ = 0;
};

}  // namespace vhublab
