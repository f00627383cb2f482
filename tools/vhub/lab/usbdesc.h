// Descriptor printing for `vhub descriptors`, in the spirit of `lsusb -v`:
// the device descriptor and the configuration set, field by field, with the
// video and audio class-specific descriptors decoded.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vhublab {

struct DescriptorSet {
  std::vector<uint8_t> device;  // 18 bytes as read
  std::vector<uint8_t> config;  // the whole configuration set as read
  std::map<uint8_t, std::string> strings;  // index -> text (UTF-8), as read
};

// Never reads past the bytes given; a descriptor with bLength 0 or one that
// runs past the end is reported and ends the walk.
std::string DecodeDescriptors(const DescriptorSet& d);
// Offset-prefixed hex, 16 bytes to a line.
std::string HexDump(const std::vector<uint8_t>& bytes);

}  // namespace vhublab
