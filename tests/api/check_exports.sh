#!/usr/bin/env bash
# The shared library exports the service class and the C interface (kestal_* functions) and
# nothing else: no asio, spdlog, fmt, standard-library instantiations or internal classes.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only -C "$lib" | awk '$2 ~ /^[TtWwVvDdBbRr]$/ {sub(/^[0-9a-f]+ [A-Za-z] /, ""); print}')
echo "$symbols" | grep -q '^KestalHostCommService::GetInstance()' || { echo "GetInstance is not exported"; exit 1; }
echo "$symbols" | grep -q '^kestal_start$' || { echo "the C interface is not exported"; exit 1; }
foreign=$(echo "$symbols" | grep -v '^KestalHostCommService::' | grep -vE '^(typeinfo|typeinfo name) for KestalHostCommService$' \
  | grep -vE '^kestal_[a-z_]+$' || true)
if [ -n "$foreign" ]; then
  echo "unexpected exported symbols:"; echo "$foreign" | head -20; exit 1
fi
echo "$(echo "$symbols" | wc -l) symbols, all of KestalHostCommService or the C interface"
