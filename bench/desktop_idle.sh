#!/usr/bin/env bash
# The desktop window at rest, beside the terminal panel: how often each wakes
# and how much CPU each takes while a schedule waits, and how long the window
# takes from the start to its first frame on a virtual display.
#
#   bench/desktop_idle.sh [SECONDS] [BUILD_DIR]    (default 60 seconds, build)
#
# Needs Xvfb and xwininfo (packages xvfb, x11-utils) and script (util-linux).
# Both run a schedule of one report every two minutes over a 10-row file;
# the first run passes before the count starts.
set -euo pipefail
seconds=60
if [[ ${1:-} =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
build=$(realpath "${1:-$(dirname "$0")/../build}")
program=$build/app/tavrin-report
[[ -x $build/app/tavrin-report-window ]] || { echo "no $build/app/tavrin-report-window (TAVRIN_DESKTOP=OFF?)" >&2; exit 2; }

work=$(mktemp -d /tmp/tavrin-desktop-idle-XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

Xvfb -displayfd 1 -screen 0 800x600x24 -nolisten tcp >"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.05; done
display=:$(head -n 1 "$work/display")

folder() {  # a report folder for $1
  mkdir -p "$work/$1"
  "$build/tools/tavrin-mdb-write" "$work/$1/Vesk.mdb" --sample 10
  printf '[Report Schedule]\nReport Name01=Idle\nMinutes Between Reports01=2\n[Idle]\nOutput=CSV\nOutputFilename=idle.csv\n' \
    >"$work/$1/TavrinReport.ini"
}
cpu_and_switches() {  # nanoseconds on a CPU and context switches of all threads of process $1
  local ns switches
  ns=$(cat /proc/"$1"/task/*/schedstat | awk '{ n += $1 } END { printf "%d", n }')
  switches=$(cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }')
  echo "$ns $switches"
}

folder window
folder panel
start=$(date +%s.%N)
(cd "$work/window" && DISPLAY=$display exec "$program" --window 2>/dev/null </dev/null) &
window_pid=$!
pids+=("$window_pid")
until xwininfo -display "$display" -root -tree 2>/dev/null | grep -q '"TavrinReportGenerator"'; do sleep 0.005; done
shown=$(date +%s.%N)
(cd "$work/panel" && exec script -qfc "$program --interactive" /dev/null >/dev/null 2>&1 </dev/null) &
pids+=($!)
sleep 5
panel_pid=$(pgrep -n -f "^$program --interactive")

read -r w_cpu0 w_sw0 < <(cpu_and_switches "$window_pid")
read -r p_cpu0 p_sw0 < <(cpu_and_switches "$panel_pid")
sleep "$seconds"
read -r w_cpu1 w_sw1 < <(cpu_and_switches "$window_pid")
read -r p_cpu1 p_sw1 < <(cpu_and_switches "$panel_pid")
awk -v s="$seconds" -v hz=1e9 -v wt=$((w_cpu1 - w_cpu0)) -v ws=$((w_sw1 - w_sw0)) \
    -v pt=$((p_cpu1 - p_cpu0)) -v ps=$((p_sw1 - p_sw0)) -v first="$(echo "$shown - $start" | bc)" 'BEGIN {
  printf "%-16s %8s %14s %12s\n", "", "CPU s", "CPU share", "wake-ups/s"
  printf "%-16s %8.3f %13.3f%% %12.1f\n", "desktop window", wt / hz, 100 * wt / hz / s, ws / s
  printf "%-16s %8.3f %13.3f%% %12.1f\n", "terminal panel", pt / hz, 100 * pt / hz / s, ps / s
  printf "first frame of the window on Xvfb: %.3f s after the start\n", first
}'
