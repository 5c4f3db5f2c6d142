#!/usr/bin/env bash
# Checks the layering of the build: the programs hold no test double, the
# report layers link no database or printing engine, and nothing below app/
# includes it.
#   tests/layering_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
status=0

for bin in app/tavrin-report tools/tavrin-mdb-write; do
  doubles=$(nm -C "$build/$bin" | grep -E ' tavrin::Fake[A-Za-z]+::' | head -3)
  if [ -n "$doubles" ]; then
    echo "$bin holds test doubles:"; echo "$doubles"; status=1
  fi
done

# The test binaries of config/, output/ and the printing device link their
# layer and what it needs, so an engine among their libraries came from it.
for test in config/config_tests output/output_tests platform/print/print_tests; do
  engines=$(ldd "$build/$test" | grep -E 'libmdb|libsqlite3|libodbc|libcups|libcairo|libfontconfig')
  if [ -n "$engines" ]; then
    echo "$test links an engine:"; echo "$engines"; status=1
  fi
done

upward=$(grep -rn '#include "app/' "$src"/config "$src"/data "$src"/output "$src"/platform "$src"/run)
if [ -n "$upward" ]; then
  echo "layers below app/ include it:"; echo "$upward"; status=1
fi
exit $status
