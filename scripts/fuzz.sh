#!/usr/bin/env bash
# Runs each fuzz target of the sanitized build (scripts/sanitize.sh builds it
# first when needed) for SECONDS (default 30) from its seeds; fails when one
# finds a crash, a leak, a hang or undefined behaviour, keeping the input in
# the build folder (see fuzz/run.sh).
#   scripts/fuzz.sh [--no-build] [SECONDS [TARGET...]]
# --no-build fuzzes the build as it is (CI runs the sanitized tests meanwhile,
# which must not see it configured again).
set -euo pipefail
cd "$(dirname "$0")/.."
build=yes
if [ "${1:-}" = --no-build ]; then
  build=no
  shift
fi
seconds=${1:-30}
[ $# -gt 0 ] && shift
export BUILD_DIR=${BUILD_DIR:-build-sanitize}
[ $build = no ] || scripts/sanitize.sh --build-only >/dev/null
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fuzz/run.sh "$BUILD_DIR" "$seconds" "$@"
