#!/usr/bin/env bash
# Installs what is missing, builds, writes the demo database and runs the
# demo reports (an HTML status page, a delimited export and an XML feed).
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
# Absolute, so that the program is found from demo/out/ too.
bin=$(cd "$BUILD_DIR" && pwd)

out=demo/out
rm -rf "$out"
mkdir -p "$out"
"$bin/tools/tavrin-mdb-write" "$out/Vesk.mdb" --sample 300 --seed 2026
cp demo/TavrinReport.ini.template "$out/TavrinReport.ini"
cp demo/header.xml demo/trailer.xml "$out/"

status=0
(cd "$out" && "$bin/app/tavrin-report" --unattended) || status=$?

echo
echo "Demo finished with exit status $status. Outputs in $out/:"
for f in status.html closings.csv feed.xml; do
  if [ -f "$out/$f" ]; then
    printf '  %-14s %6d lines\n' "$f" "$(wc -l < "$out/$f")"
  else
    printf '  %-14s missing\n' "$f"
    status=1
  fi
done
echo "The INI with every key the program added: $out/TavrinReport.ini"
exit "$status"
