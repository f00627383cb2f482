#include "lab/text.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace vhublab {

std::string GbkToUtf8(std::string_view in) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == iconv_t(-1)) return std::string(in);  // no converter: show the bytes as they are
  std::string out;
  std::vector<char> buf(in.size() * 3 + 16);
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left) {
    char* dst = buf.data();
    size_t room = buf.size();
    const size_t rc = iconv(cd, &src, &left, &dst, &room);
    out.append(buf.data(), size_t(dst - buf.data()));
    if (rc != size_t(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a lead byte cut off at the end): replace one byte.
    out += "\xEF\xBF\xBD";
    ++src;
    --left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

}  // namespace vhublab
