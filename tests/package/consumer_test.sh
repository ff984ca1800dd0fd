#!/usr/bin/env bash
# consumer_test.sh BUILD_DIR SOURCE_DIR LIBDIR: installs the build into a temporary prefix, builds a host application
# against it with find_package and with pkg-config, and runs both and the installed sample against the installed
# simulator on 127.0.0.1. The installed programs find the installed library by themselves (no LD_LIBRARY_PATH).
# Then the .deb: the library in the multiarch folder, the Python module where Debian's python3 finds it.
set -euo pipefail
build=$1 src=$2 libdir=$3
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2> /dev/null; wait; rm -rf "$work"' EXIT
cd "$work"

cmake --install "$build" --prefix "$work/prefix" > install.log
cmake -S "$src/tests/package/consumer" -B consumer -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DKESTAL_SAMPLE="$src/examples/sample.c" > configure.log
cmake --build consumer > build.log
export PKG_CONFIG_PATH="$work/prefix/$libdir/pkgconfig"
cc -o pc-sample "$src/examples/sample.c" $(pkg-config --cflags kestalhostcomm) $(pkg-config --libs kestalhostcomm)

# The .deb, made before the simulator starts (cpack first builds whatever is out of date).
cpack -G DEB -B deb --config "$build/CPackConfig.cmake" > cpack.log || { cat cpack.log; exit 1; }
dpkg -c deb/kestalhostcomm_*.deb | awk '{ $1 = $2 = $3 = $4 = $5 = ""; print substr($0, 6) }' > deb.list
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH) py=./usr/lib/python3/dist-packages/kestal
for entry in "./usr/lib/$arch/libKestalHostComm.so.2 -> libKestalHostComm.so.2.0.0" \
  "./usr/lib/$arch/pkgconfig/kestalhostcomm.pc" "./usr/lib/$arch/cmake/KestalHostComm/KestalHostCommConfig.cmake" \
  "$py/__init__.py" "$py/_native.py" "$py/libKestalHostComm.so -> ../../../$arch/libKestalHostComm.so.2"; do
  grep -qxF "$entry" deb.list || { echo "the .deb lacks $entry:"; cat deb.list; exit 1; }
done
# Unpacked, its pkg-config file and its Python module reach the library in its folder.
dpkg-deb -x deb/kestalhostcomm_*.deb root
[ "$(PKG_CONFIG_PATH=root/usr/lib/$arch/pkgconfig pkg-config --variable=libdir kestalhostcomm)" -ef "root/usr/lib/$arch" ] ||
  { echo "the .deb's pkg-config file names another library folder"; exit 1; }
loaded=$(cd root && env -u KESTAL_LIBRARY PYTHONPATH=usr/lib/python3/dist-packages python3 -c \
  "import kestal; print(kestal.library()._name)")
[ "$loaded" -ef "root/usr/lib/$arch/libKestalHostComm.so.2" ] || { echo "the .deb's module loaded $loaded"; exit 1; }
echo "the .deb: $(wc -l < deb.list) entries, the library in /usr/lib/$arch"

. "$src/tests/support/devsim.sh"
start_devsim "$work/prefix/bin/kestal-devsim" "$work"

consumer/app  # the C++ program on the class, as the README names it
for program in "$work"/prefix/bin/*; do
  ! env -u LD_LIBRARY_PATH ldd "$program" | grep "not found" || { echo "the installed $program misses a library"; exit 1; }
done
for program in consumer/consumer-sample ./pc-sample "$work/prefix/bin/kestal-sample"; do
  libs= out=$(basename "$program").out
  [ "$program" = ./pc-sample ] && libs="$work/prefix/$libdir"  # pkg-config's flags give no run path
  env -u LD_LIBRARY_PATH ${libs:+LD_LIBRARY_PATH="$libs"} timeout 30 "$program" 127.0.0.1 "$port" > "$out" 2>&1 ||
    { echo "$program failed:"; cat "$out"; exit 1; }
  grep -q "^ACK fpga-temp seq_no=[0-9]*: fpga temperature 25.00 C$" "$out" ||
    { echo "$program printed no ACK:"; cat "$out"; exit 1; }
  echo "$program: $(tail -1 "$out")"
done

