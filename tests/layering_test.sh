#!/usr/bin/env bash
# Checks the layering of the build: the programs hold no test double, the
# report layers link no database or printing engine, the program loads the
# printing engine as a module, each layer includes only
# itself and the layers below it, platform/ado/ names no engine and only the
# program's start composes them, the product includes no test double, and
# the window toolkit stays in platform/window/qt/ and tavrin-report-window.
#   tests/layering_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
status=0

for bin in app/tavrin-report app/tavrin-report-window tools/tavrin-mdb-write; do
  [ -e "$build/$bin" ] || continue  # the window program is built with TAVRIN_DESKTOP
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

# The program loads the printing engine as a module when a report prints:
# it starts without it, and the module, not the program, links it.
printing=$(ldd "$build/app/tavrin-report" | grep -E 'libcups|libcairo|libfontconfig')
if [ -n "$printing" ]; then
  echo "app/tavrin-report links the printing engine:"; echo "$printing"; status=1
fi
module=$(find "$build" -name tavrin-print-cups.so -path '*/tavrin-report/*' | head -1)
# Read whole before it is searched: grep -q would end the pipe early.
module_links=$([ -z "$module" ] || ldd "$module")
if [[ $module_links != *libcups* || $module_links != *libcairo* ]]; then
  echo "no printing module that links CUPS and cairo: '$module'"; status=1
fi
# Only the desktop window's program links the window toolkit.
for bin in app/tavrin-report tools/tavrin-mdb-write; do
  toolkit=$(ldd "$build/$bin" | grep -E 'libQt')
  if [ -n "$toolkit" ]; then
    echo "$bin links the window toolkit:"; echo "$toolkit"; status=1
  fi
done
# ...and only platform/window/qt/ includes it.
qt=$(cd "$src" && grep -rnE '#include <Q[A-Za-z]*(/[^>]*)?>' app config data output run platform tools \
       --include=*.cpp --include=*.h --include=*.cc | grep -v '^platform/window/qt/')
if [ -n "$qt" ]; then
  echo "the window toolkit is included outside platform/window/qt/:"; echo "$qt"; status=1
fi

# The include rule: each layer includes only itself and the layers below it.
# A unit test may also include the Access writer (tools/, its test data) and
# the test servers of tests/.
declare -A allowed=(
  [app]="app output data config run platform"
  [output]="output data config run platform"
  [data]="data config run platform"
  [config]="config run platform"
  [run]="run platform"
  [platform]="platform"
  [tools]="tools data platform")
for layer in "${!allowed[@]}"; do
  while IFS=: read -r file line target; do
    case "$file" in
      *_test.cpp|*/fake_*|*_test_support.h) ok="${allowed[$layer]} tools tests" ;;
      *) ok="${allowed[$layer]}" ;;
    esac
    top=${target%%/*}
    if [[ " $ok " != *" $top "* ]]; then
      echo "$file:$line: $layer/ includes $target"; status=1
    fi
  done < <(cd "$src" && grep -rnoE '#include "[a-z_]+/[^"]*"' "$layer" \
             | sed -E 's/#include "([^"]*)"/\1/')
done

# platform/ado/ is the seam and knows no engine; only the composition in
# platform/providers/ and the program's own start (app/main.cpp) name them all.
engines=$(cd "$src" && grep -nE '#include "platform/(ado/(access|odbc)|providers)/' platform/ado/*.h platform/ado/*.cpp)
if [ -n "$engines" ]; then
  echo "platform/ado/ names an engine:"; echo "$engines"; status=1
fi
composed=$(cd "$src" && grep -rlE '#include "platform/providers/' app config data output run platform tools \
             --include=*.cpp --include=*.h | grep -vE '(_test\.cpp$|^platform/providers/|^app/main\.cpp$)')
if [ -n "$composed" ]; then
  echo "only the program's start composes the engines:"; echo "$composed"; status=1
fi

# The product includes no test double and no test support.
doubles=$(cd "$src" && grep -rnE '#include "[^"]*(fake_[^"/]*|_test_support)\.h"' \
            app config data output run platform tools \
            --include=*.cpp --include=*.h --include=*.cc \
          | grep -vE '^[^:]*(_test\.cpp|/fake_[^/:]*|_test_support\.h):')
if [ -n "$doubles" ]; then
  echo "product code includes a test double:"; echo "$doubles"; status=1
fi
exit $status
