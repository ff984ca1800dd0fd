#include <iconv.h>

#include "TextCodePage.h"

std::string Gbk936ToUtf8(const char* text) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string in(text);
  std::string out(in.size() * 3 + 4, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return text;
  out.resize(out.size() - dst_left);
  return out;
}
