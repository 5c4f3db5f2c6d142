#!/usr/bin/env bash
# Counts how often the program wakes while an unattended schedule waits.
#
#   bench/idle_wakeups.sh [SECONDS] PROGRAM... [--on-change PROGRAM...]    (default 60 seconds)
#
# For each PROGRAM (builds of tavrin-report, measured side by side), starts
# `PROGRAM --unattended` on a schedule of one report every two minutes over a
# 10-row file, lets the first run pass, then counts the context switches of
# all its threads (voluntary and not, from /proc) and its CPU time over
# SECONDS and prints them per second (up to 110 s: the second run falls
# outside the window).
# The programs after --on-change also watch the report's source
# (Report On Change01=Yes), which nobody changes meanwhile.
set -euo pipefail
seconds=60
if [[ ${1:-} =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
[[ $# -gt 0 ]] || { echo "usage: $0 [SECONDS] PROGRAM... [--on-change PROGRAM...]" >&2; exit 2; }
writer=$(dirname "$0")/../build/tools/tavrin-mdb-write
[[ -x $writer ]] || writer=$(command -v tavrin-mdb-write)

switches() {  # the context switches of every thread of process $1
  cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'
}

cpu_ms() {  # the user and system time of process $1 and its threads, in ms
  awk -v hz="$(getconf CLK_TCK)" '{ print int(($14 + $15) * 1000 / hz) }' /proc/"$1"/stat
}

pids=() dirs=() names=()
on_change=
for program in "$@"; do
  if [[ $program == --on-change ]]; then on_change='Report On Change01=Yes\n'; continue; fi
  dir=$(mktemp -d /tmp/tavrin-idle-XXXXXX)
  "$writer" "$dir/Vesk.mdb" --sample 10
  printf "[Report Schedule]\nReport Name01=Idle\nMinutes Between Reports01=2\n$on_change[Idle]\nOutput=CSV\nOutputFilename=idle.csv\n" \
    > "$dir/TavrinReport.ini"
  names+=("$program${on_change:+ (on change)}")
  path=$(realpath "$program")
  (cd "$dir" && exec "$path" --unattended 2>/dev/null) &
  pids+=($!) dirs+=("$dir")
done
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "${dirs[@]}"' EXIT
sleep 5
before=() cpu_before=()
for pid in "${pids[@]}"; do before+=("$(switches "$pid")") cpu_before+=("$(cpu_ms "$pid")"); done
sleep "$seconds"
i=0
for program in "${names[@]}"; do
  after=$(switches "${pids[$i]}")
  cpu=$(($(cpu_ms "${pids[$i]}") - cpu_before[i]))
  awk -v p="$program" -v n=$((after - before[i])) -v s="$seconds" -v c="$cpu" \
    'BEGIN { printf "%-50s %6d wake-ups in %d s: %.2f a second, %d ms CPU\n", p, n, s, n / s, c }'
  i=$((i + 1))
done
