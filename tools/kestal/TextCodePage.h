// The device's status line comes as code page 936 bytes; the terminal and the tool's output
// files want UTF-8. TextCodePagePosix.cpp (iconv) and TextCodePageWin32.cpp (the system's
// code-page tables) implement it.
#pragma once

#include <string>

// `text` converted; unchanged when it is not valid code page 936.
std::string Gbk936ToUtf8(const char* text);
