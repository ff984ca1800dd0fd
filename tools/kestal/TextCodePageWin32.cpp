#include <windows.h>

#include "TextCodePage.h"

std::string Gbk936ToUtf8(const char* text) {
  const int len = static_cast<int>(std::char_traits<char>::length(text));
  if (len == 0) return text;
  const int wide_len = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text, len, nullptr, 0);
  if (wide_len <= 0) return text;
  std::wstring wide(static_cast<size_t>(wide_len), L'\0');
  MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text, len, wide.data(), wide_len);
  const int out_len =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
  if (out_len <= 0) return text;
  std::string out(static_cast<size_t>(out_len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, out.data(), out_len, nullptr, nullptr);
  return out;
}
