#!/usr/bin/env bash
# nupkg_test.sh FEED MCS TESTS_EXE SIMULATOR: installs Kestal.HostComm with nuget from the package
# folder FEED alone, builds the Grab sample on it as a project referencing the package is built,
# and runs it under Mono against the simulator with no library path set.
set -euo pipefail
feed=$1 mcs=$2 tests=$3 sim=$4
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
HOME=$work nuget install Kestal.HostComm -Source "$feed" -OutputDirectory packages -NonInteractive
pkg=$(echo packages/Kestal.HostComm.*)
for f in lib/net461/Kestal.HostComm.dll lib/net461/Kestal.HostComm.xml README.md \
         build/net461/Kestal.HostComm.targets runtimes/linux-x64/native/libKestalHostComm.so; do
  [ -f "$pkg/$f" ] || { echo "the package lacks $f"; exit 1; }
done
# Compiled against lib/net461; then what the package's build/net461/Kestal.HostComm.targets has an
# msbuild or xbuild project do: the assembly and this platform's native library beside the program.
mkdir bin
"$mcs" -nologo -r:"$pkg/lib/net461/Kestal.HostComm.dll" -r:System.Core.dll -out:bin/Grab.exe "$src/samples/Grab/Grab.cs"
cp "$pkg/lib/net461/Kestal.HostComm.dll" "$pkg/runtimes/linux-x64/native/libKestalHostComm.so" bin/
env -u LD_LIBRARY_PATH mono "$tests" "$sim" bin/Grab.exe
