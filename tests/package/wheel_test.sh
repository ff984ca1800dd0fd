#!/usr/bin/env bash
# wheel_test.sh BUILD_DIR SIMULATOR PYTHON: builds the Python wheel (the python-wheel target), installs it into a fresh
# virtual environment and runs the README's Python program with it against the simulator on 127.0.0.1. The module
# loads the library the wheel carries, with no KESTAL_LIBRARY, PYTHONPATH or build tree; KESTAL_LIBRARY still names
# another.
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
# The README's Python program, as a user would run it in the venv.
sed -n '/^```python$/,/^```$/{/^```/d;p}' "$(dirname "$0")/../../README.md" > first_frame.py
env -u KESTAL_LIBRARY -u PYTHONPATH timeout 60 venv/bin/python first_frame.py "$port" | tee out
grep -q "^saved frame [0-9]* of [1-9][0-9]* image bytes$" out
env -u KESTAL_LIBRARY -u PYTHONPATH venv/bin/python -c "import kestal, os, sys
assert kestal.library()._name.startswith(os.path.realpath(sys.prefix) + '/'), 'not the wheel library'"
lib=$(readlink -f "$build/libKestalHostComm.so")
[ "$(KESTAL_LIBRARY="$lib" venv/bin/python -c "import kestal; print(kestal.library()._name)")" = "$lib" ] ||
  { echo "KESTAL_LIBRARY did not name the library loaded"; exit 1; }
