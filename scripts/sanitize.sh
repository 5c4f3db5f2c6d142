#!/usr/bin/env bash
# Builds the project with clang, AddressSanitizer and UBSan (and libFuzzer's
# coverage, so that the same build serves scripts/fuzz.sh) into
# build-sanitize/ (or $BUILD_DIR), then runs every test there; any report of
# a sanitizer fails the run. Needs what scripts/setup.sh installs. The
# desktop window is left out (TAVRIN_DESKTOP=OFF): Qt is not built with the
# sanitizers, and its tests run in the ordinary build.
#   scripts/sanitize.sh [--build-only | --test-only]
# --test-only runs the tests of a build already made, without configuring or
# building again (CI builds it while other work runs).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-sanitize}
# Line tables are all a sanitizer's report needs of the debug information;
# with -O1 the product's code builds up to a quarter faster than at -O2 -g.
flags="-O1 -gline-tables-only -DNDEBUG"
if [ "${1:-}" != --test-only ]; then
  scripts/configure.sh "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DTAVRIN_SANITIZE=ON -DTAVRIN_FUZZ=ON -DBUILD_TESTING=ON \
        -DTAVRIN_DESKTOP=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags"
  cmake --build "$BUILD_DIR" -j "$(nproc)"
fi
[ "${1:-}" = --build-only ] && exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
# The mutants run through the binary: the ordinary run takes the full set,
# a third of it finds the same memory errors here in a third of the time.
export TAVRIN_MUTANTS=${TAVRIN_MUTANTS:-100}
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
