#!/usr/bin/env bash
# msvc_abi_test.sh SIMULATOR PROGRAM...: runs the Visual C++ ABI program (under Wine) against the
# Linux simulator on 127.0.0.1 and checks the ACK it prints.
set -euo pipefail
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2> /dev/null; wait; rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/devsim.sh"
start_devsim "$1" "$work"
shift
out=$(cd "$work" && KESTAL_PORT=$port timeout 120 "$@")
echo "$out"
grep -q "^ACK fpga-temp seq_no=[0-9]*: fpga temperature 25.00 C$" <<< "$out"
