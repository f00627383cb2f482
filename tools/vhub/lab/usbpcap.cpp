#include "lab/usbpcap.h"

#include <cerrno>
#include <cstring>

#include "lab/video.h"  // LabError

namespace vhublab {
namespace {

constexpr uint32_t kSnapLen = 0x00FFFFFF;  // a high-bandwidth frame's worth of packets fits

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> EncodeUsbPcapHeader(const UrbRecord& r) {
  // The common header is 27 bytes, packed; control adds the stage byte,
  // isochronous adds start frame, packet count, error count and 12 bytes
  // per packet.
  uint16_t len = 27;
  if (r.transfer == UsbTransfer::Control) len += 1;
  if (r.transfer == UsbTransfer::Isochronous) len = uint16_t(len + 12 + 12 * r.packets.size());
  std::vector<uint8_t> b;
  b.reserve(len);
  Put16(b, len);
  Put64(b, r.irp_id);
  Put32(b, r.status);
  Put16(b, r.function);
  b.push_back(r.completion ? 1 : 0);
  Put16(b, r.bus);
  Put16(b, r.device);
  b.push_back(r.endpoint);
  b.push_back(uint8_t(r.transfer));
  Put32(b, uint32_t(r.data.size()));
  if (r.transfer == UsbTransfer::Control) b.push_back(uint8_t(r.stage));
  if (r.transfer == UsbTransfer::Isochronous) {
    Put32(b, r.start_frame);
    Put32(b, uint32_t(r.packets.size()));
    Put32(b, r.error_count);
    for (const IsoPacket& p : r.packets) {
      Put32(b, p.offset);
      Put32(b, p.length);
      Put32(b, p.status);
    }
  }
  return b;
}

UsbPcapWriter::UsbPcapWriter(const std::string& path) : path_(path) {
  f_ = std::fopen(path.c_str(), "wb");
  if (!f_) throw LabError("cannot write " + path + ": " + std::strerror(errno));
  std::vector<uint8_t> g;
  Put32(g, 0xA1B2C3D4);  // microsecond time stamps
  Put16(g, 2);
  Put16(g, 4);
  Put32(g, 0);  // GMT
  Put32(g, 0);  // accuracy
  Put32(g, kSnapLen);
  Put32(g, kLinkTypeUsbPcap);
  std::fwrite(g.data(), 1, g.size(), f_);
}

UsbPcapWriter::~UsbPcapWriter() {
  if (f_) std::fclose(f_);
}

void UsbPcapWriter::Write(const UrbRecord& r) {
  std::vector<uint8_t> rec;
  std::vector<uint8_t> hdr = EncodeUsbPcapHeader(r);
  const uint32_t orig = uint32_t(hdr.size() + r.data.size());
  const uint32_t incl = orig < kSnapLen ? orig : kSnapLen;
  Put32(rec, uint32_t(r.timestamp_us / 1000000));
  Put32(rec, uint32_t(r.timestamp_us % 1000000));
  Put32(rec, incl);
  Put32(rec, orig);
  std::lock_guard<std::mutex> lock(mu_);
  if (!f_) return;
  std::fwrite(rec.data(), 1, rec.size(), f_);
  std::fwrite(hdr.data(), 1, hdr.size(), f_);
  if (incl > hdr.size()) std::fwrite(r.data.data(), 1, incl - hdr.size(), f_);
  ++records_;
}

uint64_t UsbPcapWriter::records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
}

void UsbPcapWriter::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (f_ && std::fclose(f_) != 0) {
    f_ = nullptr;
    throw LabError("cannot finish " + path_ + ": " + std::strerror(errno));
  }
  f_ = nullptr;
}

}  // namespace vhublab
