#!/usr/bin/env bash
# wheel_test.sh BUILD_DIR SIMULATOR PYTHON: builds the Python wheel (the python-wheel target), installs it into a fresh
# virtual environment and grabs a frame from the simulator on 127.0.0.1 with it. The module loads the library the
# wheel carries, with no KESTAL_LIBRARY, PYTHONPATH or build tree; KESTAL_LIBRARY still names another.
set -euo pipefail
build=$(realpath "$1") devsim=$(realpath "$2") python=$3 support=$(realpath "$(dirname "$0")/../support")
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2> /dev/null; wait; rm -rf "$work"' EXIT
cd "$work"
"$python" -c "import build, ensurepip, setuptools, wheel" 2> /dev/null ||
  { echo "needs python3-build, python3-venv, python3-setuptools and python3-wheel"; exit 77; }

cmake --build "$build" --target python-wheel > wheel.log 2>&1 || { cat wheel.log; exit 1; }
"$python" -m venv venv
venv/bin/pip install -q --no-index "$build"/wheel/kestal-*-py3-none-linux_*.whl
. "$support/devsim.sh"
start_devsim "$devsim" "$work"
env -u KESTAL_LIBRARY -u PYTHONPATH timeout 60 venv/bin/python - "$port" << 'END'
import os, queue, sys, kestal
print("kestal", kestal.version(), "from", kestal.library()._name)
assert kestal.library()._name.startswith(os.path.realpath(sys.prefix) + "/"), "not the wheel's library"
frames = queue.Queue()
with kestal.Service("network", host="127.0.0.1", port=int(sys.argv[1]), arm_port=0, on_frame=frames.put) as service:
    assert service.wait_connected(10), "no connection to the simulator"
    service.order(kestal.OrderType.START_SCAN)
    frame = frames.get(timeout=10)
    service.order(kestal.OrderType.STOP_SCAN)
assert frame.width and frame.height and frame.image, frame
print("frame", frame.number, f"{frame.width}x{frame.height}", len(frame.image), "image bytes")
END
lib=$(readlink -f "$build/libKestalHostComm.so")
[ "$(KESTAL_LIBRARY="$lib" venv/bin/python -c "import kestal; print(kestal.library()._name)")" = "$lib" ] ||
  { echo "KESTAL_LIBRARY did not name the library loaded"; exit 1; }
