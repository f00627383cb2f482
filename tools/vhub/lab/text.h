// Text conversions of the lab.
#pragma once
#include <string>
#include <string_view>

namespace vhublab {

// The driver's debug output is GBK (ASCII plus two-byte Chinese characters);
// the terminal wants UTF-8. Bytes that are not valid GBK become U+FFFD.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace vhublab
