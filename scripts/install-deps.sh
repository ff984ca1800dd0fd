#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when they are missing.
# Runs as root or through sudo; does nothing when everything is present.
set -euo pipefail

packages=(build-essential cmake libasio-dev libspdlog-dev libfmt-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev iproute2 util-linux
          libcpp-httplib-dev pkg-config  # kestal view's web server
          tshark python3-pytest python3-numpy  # the dissector's and the Python module's tests
          python3-build python3-setuptools python3-wheel python3-venv  # the Python wheel and its test
          doxygen  # the reference documentation of include/kestal (the docs target)
          chromium chromium-driver python3-selenium  # kestal view's browser test,
          fonts-noto-cjk  # and its screenshot's status line (Chinese text)
          prometheus  # scrapes kestal view's /metrics in its test
          libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools  # kestalsrc,
          gstreamer1.0-plugins-base gstreamer1.0-plugins-good  # and the elements of its test
          mono-mcs mono-runtime libmono-system-core4.0-cil  # the .NET binding, its tests and sample
          nuget)  # its NuGet package
# The Windows cross build and Wine to run it, unless KESTAL_WINDOWS_BUILD=0.
if [ "${KESTAL_WINDOWS_BUILD:-1}" = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64)
fi
# clang and its runtime (libFuzzer) for the fuzzers, when KESTAL_FUZZ_DEPS=1 (scripts/sanitize.sh).
if [ "${KESTAL_FUZZ_DEPS:-0}" = 1 ]; then
  packages+=(clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
