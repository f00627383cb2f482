// Descriptor sets of the two devices the class drivers meet, as bytes, for
// validation tables that spoil them one field at a time.
#pragma once

#include <cstdint>
#include <vector>

namespace fixtures {

std::vector<uint8_t> CameraDevice();         // 18 bytes, class 0xEF/0x02/0x01
std::vector<uint8_t> CameraConfiguration();  // 313 bytes: a UVC 1.00 function
std::vector<uint8_t> AudioDevice();          // 18 bytes, class 0
std::vector<uint8_t> AudioConfiguration();   // 174 bytes: a UAC 1.0 function

// Sets wTotalLength (bytes 2-3) to the vector's size.
void FixTotalLength(std::vector<uint8_t>& configuration);

}  // namespace fixtures
