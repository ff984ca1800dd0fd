#!/usr/bin/env bash
# The shared library exports the service class and the C interface (kestal_* functions) and
# nothing else: not its implementation (KestalHostCommService::Impl), no asio, spdlog, fmt, standard-library instantiations or internal classes. A DLL
# (read with the cross toolchain's objdump, the second argument) imports from system DLLs only.
set -euo pipefail
lib=$1
objdump=${2:-objdump}
if [[ $lib == *.dll ]]; then
  table=$("$objdump" -p "$lib")
  symbols=$(echo "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | "${objdump%objdump}c++filt")
  imports=$(echo "$table" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  ! echo "$imports" | grep -vE '^(kernel32|ws2_32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|advapi32|user32|mswsock|ntdll)\.dll$' \
    || { echo "imports from DLLs that are not the system's"; exit 1; }
  echo "imports: $(echo $imports)"
else
  symbols=$(nm -D --defined-only -C "$lib" | awk '$2 ~ /^[TtWwVvDdBbRr]$/ {sub(/^[0-9a-f]+ [A-Za-z] /, ""); print}')
fi
echo "$symbols" | grep -q '^KestalHostCommService::GetInstance()' || { echo "GetInstance is not exported"; exit 1; }
echo "$symbols" | grep -q '^kestal_start$' || { echo "the C interface is not exported"; exit 1; }
foreign=$(echo "$symbols" | grep -vE '^KestalHostCommService::([A-Za-z~]+\(|m_instance$)' | grep -vE '^(typeinfo|typeinfo name|vtable) for KestalHostCommService$' \
  | grep -vE '^kestal_[a-z0-9_]+$' || true)
[ -z "$foreign" ] || { echo "unexpected exported symbols:"; echo "$foreign" | head -20; exit 1; }
echo "$(echo "$symbols" | wc -l) symbols, all of KestalHostCommService or the C interface"
