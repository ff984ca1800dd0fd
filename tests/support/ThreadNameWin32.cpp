#include <windows.h>

#include "AppCallbacks.h"

// A thread's description exists from Windows 10 1607 on; older systems name no thread.
std::string ThisThreadName() {
  using GetFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  static const GetFn get = reinterpret_cast<GetFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  PWSTR wide = nullptr;
  if (!get || FAILED(get(GetCurrentThread(), &wide))) return "";
  std::string name;
  for (PWSTR c = wide; *c; ++c) name += static_cast<char>(*c);  // the library's names are ASCII
  LocalFree(wide);
  return name;
}
