#!/usr/bin/env bash
# consumer_test.sh BUILD_DIR SOURCE_DIR: installs the build into a temporary prefix, builds a host application
# against it with find_package and with pkg-config, and runs both and the installed sample against the installed
# simulator on 127.0.0.1. The installed programs find the installed library by themselves (no LD_LIBRARY_PATH).
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2> /dev/null; wait; rm -rf "$work"' EXIT
cd "$work"

cmake --install "$build" --prefix "$work/prefix" > install.log
cmake -S "$src/tests/package/consumer" -B consumer -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DKESTAL_SAMPLE="$src/examples/sample.c" > configure.log
cmake --build consumer > build.log
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
cc -o pc-sample "$src/examples/sample.c" $(pkg-config --cflags kestalhostcomm) $(pkg-config --libs kestalhostcomm)

. "$src/tests/support/devsim.sh"
start_devsim "$work/prefix/bin/kestal-devsim" "$work"

consumer/app  # the C++ program on the class, as the README names it
for program in "$work"/prefix/bin/*; do
  ! env -u LD_LIBRARY_PATH ldd "$program" | grep "not found" || { echo "the installed $program misses a library"; exit 1; }
done
for program in consumer/consumer-sample ./pc-sample "$work/prefix/bin/kestal-sample"; do
  libs= out=$(basename "$program").out
  [ "$program" = ./pc-sample ] && libs="$work/prefix/lib"  # pkg-config's flags give no run path
  env -u LD_LIBRARY_PATH ${libs:+LD_LIBRARY_PATH="$libs"} timeout 30 "$program" 127.0.0.1 "$port" > "$out" 2>&1 ||
    { echo "$program failed:"; cat "$out"; exit 1; }
  grep -q "^ACK fpga-temp seq_no=[0-9]*: fpga temperature 25.00 C$" "$out" ||
    { echo "$program printed no ACK:"; cat "$out"; exit 1; }
  echo "$program: $(tail -1 "$out")"
done
