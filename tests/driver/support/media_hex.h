// Hex text to bytes, for descriptor tables written as the USB tables show them.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace media {

inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back((uint8_t)std::stoul(byte, nullptr, 16));
    return out;
}

}  // namespace media
