// Conversions between the kernel's 16-bit strings and the host's 8-bit ones,
// for names that cross between the two (registry paths, device and service
// names, reports).
#pragma once

#include <string>

namespace hk::text {

// UTF-8 of each 16-bit unit on its own (a surrogate pair becomes two
// three-byte sequences, as the names concerned never carry one).
inline std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Each byte as the 16-bit unit of the same value.
inline std::u16string Widen(const std::string& s) {
    std::u16string out;
    for (unsigned char c : s) out += (char16_t)c;
    return out;
}

}  // namespace hk::text
