#!/usr/bin/env bash
# windows_kit_test.sh BUILD_DIR SOURCE_DIR OBJDUMP VERSION: installs the Windows build into a
# temporary prefix and checks the kit: a stripped DLL with its debug link and version resource,
# its debug file, the import libraries of both linkers, and a .def that lists exactly the C
# functions the headers declare.
set -euo pipefail
build=$1 src=$2 objdump=$3 version=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work" > "$work/install.log"
dll=$work/bin/KestalHostComm.dll
assembly=  # the .NET binding, where Mono's compiler built it
[ -f "$build/bindings/dotnet/Kestal.HostComm.dll" ] && assembly="$work/bin/Kestal.HostComm.dll $work/bin/Grab.exe"
for file in "$dll" "$dll.debug" "$work"/lib/KestalHostComm.{lib,def,dll.a} $assembly; do
  [ -s "$file" ] || { echo "the kit lacks $file"; exit 1; }
done
sections=$("$objdump" -h "$dll")
grep -q gnu_debuglink <<< "$sections" && ! grep -q '\.debug_' <<< "$sections" ||
  { echo "the installed DLL is not stripped with a debug link"; exit 1; }
"$objdump" -h "$dll.debug" | grep -q '\.debug_info' || { echo "no debug information in $dll.debug"; exit 1; }
[ "$(strings -el "$dll" | grep -A1 -x ProductVersion | tail -1)" = "$version" ] ||
  { echo "the DLL's version resource does not say $version"; exit 1; }
declared=$(sed -n 's/^KESTAL_C_API [^(]*[ *]\(kestal_[a-z0-9_]*\)(.*/\1/p' "$src"/include/kestal/*.h | sort)
listed=$(sed '1,/^EXPORTS$/d' "$work/lib/KestalHostComm.def" | sort)
[ "$declared" = "$listed" ] || { echo "the .def differs from the headers:"; diff <(echo "$declared") <(echo "$listed"); exit 1; }
echo "DLL $(stat -c %s "$dll") bytes stripped, $(stat -c %s "$dll.debug") bytes of debug file; $(wc -l <<< "$listed") C functions"
