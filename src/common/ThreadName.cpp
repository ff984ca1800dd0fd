#include "common/ThreadName.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace kestal {

void NameThisThread(const char* name) {
  char shortened[16];
  std::strncpy(shortened, name, sizeof shortened - 1);
  shortened[sizeof shortened - 1] = '\0';
#ifdef _WIN32
  // SetThreadDescription exists from Windows 10 1607 on; older systems keep unnamed threads.
  using SetFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const SetFn set = reinterpret_cast<SetFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!set) return;
  wchar_t wide[sizeof shortened];
  for (size_t i = 0; i < sizeof shortened; ++i)
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(shortened[i]));
  set(GetCurrentThread(), wide);
#else
  pthread_setname_np(pthread_self(), shortened);
#endif
}

std::string ThisThreadName() {
#ifdef _WIN32
  using GetFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  static const GetFn get = reinterpret_cast<GetFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  PWSTR wide = nullptr;
  if (!get || FAILED(get(GetCurrentThread(), &wide))) return "";
  std::string name;
  for (PWSTR c = wide; *c; ++c) name += static_cast<char>(*c);  // the library's names are ASCII
  LocalFree(wide);
  return name;
#else
  char name[16] = {};  // the most a thread's name holds, with its terminator
  return pthread_getname_np(pthread_self(), name, sizeof name) == 0 ? name : "";
#endif
}

}  // namespace kestal
