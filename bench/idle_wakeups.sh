#!/usr/bin/env bash
# Counts how often the program wakes while an unattended schedule waits.
#
#   bench/idle_wakeups.sh [SECONDS] PROGRAM...    (default 60 seconds)
#
# For each PROGRAM (builds of tavrin-report, measured side by side), starts
# `PROGRAM --unattended` on a schedule of one report every two minutes over a
# 10-row file, lets the first run pass, then counts the context switches of
# all its threads (voluntary and not, from /proc) over SECONDS and prints
# them per second (up to 110 s: the second run falls outside the window).
set -euo pipefail
seconds=60
if [[ ${1:-} =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
[[ $# -gt 0 ]] || { echo "usage: $0 [SECONDS] PROGRAM..." >&2; exit 2; }
writer=$(dirname "$0")/../build/tools/tavrin-mdb-write
[[ -x $writer ]] || writer=$(command -v tavrin-mdb-write)

switches() {  # the context switches of every thread of process $1
  cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'
}

pids=() dirs=()
for program in "$@"; do
  dir=$(mktemp -d /tmp/tavrin-idle-XXXXXX)
  "$writer" "$dir/Vesk.mdb" --sample 10
  printf '[Report Schedule]\nReport Name01=Idle\nMinutes Between Reports01=2\n[Idle]\nOutput=CSV\nOutputFilename=idle.csv\n' \
    > "$dir/TavrinReport.ini"
  path=$(realpath "$program")
  (cd "$dir" && exec "$path" --unattended 2>/dev/null) &
  pids+=($!) dirs+=("$dir")
done
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "${dirs[@]}"' EXIT
sleep 5
before=()
for pid in "${pids[@]}"; do before+=("$(switches "$pid")"); done
sleep "$seconds"
i=0
for program in "$@"; do
  after=$(switches "${pids[$i]}")
  awk -v p="$program" -v n=$((after - before[i])) -v s="$seconds" \
    'BEGIN { printf "%-50s %6d wake-ups in %d s: %.2f a second\n", p, n, s, n / s }'
  i=$((i + 1))
done
