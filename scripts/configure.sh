#!/usr/bin/env bash
# Configures BUILD_DIR with the given cmake options. Ninja is used where it is
# installed (it schedules the two cores better than make); a folder already
# configured keeps the generator it was made with, which cmake cannot change.
#   scripts/configure.sh BUILD_DIR [CMAKE_OPTION...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
generator=()
if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
# TAVRIN_WERROR=ON in the environment (CI sets it) makes warnings errors.
cmake -S . -B "$dir" "${generator[@]}" -DTAVRIN_WERROR="${TAVRIN_WERROR:-OFF}" "$@" >/dev/null
