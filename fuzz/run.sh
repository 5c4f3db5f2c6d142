#!/usr/bin/env bash
# Runs each fuzz target of a TAVRIN_FUZZ build for a bounded time, starting
# from its seeds, and prints what each did; fails when one finds a crash.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# New inputs go to a temporary corpus; a crashing input is kept as
# BUILD_DIR/fuzz/crash-<target>-*.
set -uo pipefail
src=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ini jet_sql row_stream connection_string field_format ole_date access_file windows_path)

declare -A seeds=(
  [ini]="$src/seeds/ini $build/fuzz/seeds/ini" [jet_sql]="$src/seeds/jet_sql"
  [row_stream]="$src/seeds/row_stream"
  [connection_string]="$src/seeds/connection_string" [field_format]="$src/seeds/field_format"
  [ole_date]="$src/seeds/ole_date" [access_file]="$build/fuzz/seeds/access"
  [windows_path]="$src/seeds/windows_path")
declare -A dicts=([ini]="$src/ini.dict" [jet_sql]="$src/sql.dict")

for t in "${targets[@]}"; do
  if [ -z "${seeds[$t]+set}" ]; then
    echo "fuzz/run.sh: no fuzz target named $t" >&2
    exit 2
  fi
done

# One target per core at a time: each is a single process, and the run's
# wall time is what CI waits for.
jobs=${FUZZ_JOBS:-$(nproc)}
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

fuzz_one() {
  local t=$1 corpus rc execs cov ft
  corpus=$(mktemp -d)
  local args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
              -artifact_prefix="$build/fuzz/crash-$t-")
  [ -n "${dicts[$t]:-}" ] && args+=(-dict="${dicts[$t]}")
  # shellcheck disable=SC2086
  "$build/fuzz/fuzz_$t" "${args[@]}" "$corpus" ${seeds[$t]} >"$results/$t.log" 2>&1
  rc=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$results/$t.log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$results/$t.log" | tail -1 | grep -o '[0-9]*')
  ft=$(grep -o 'ft: [0-9]*' "$results/$t.log" | tail -1 | grep -o '[0-9]*')
  printf '%-18s %ss  executions %s  coverage %s edges, %s features  corpus %s  exit %s\n' \
    "$t" "$seconds" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$(ls "$corpus" | wc -l)" "$rc" >"$results/$t.line"
  echo "$rc" >"$results/$t.rc"
  rm -rf "$corpus"
}

running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
wait

status=0
for t in "${targets[@]}"; do
  cat "$results/$t.line"
  if [ "$(cat "$results/$t.rc")" -ne 0 ]; then
    status=1
    tail -40 "$results/$t.log"
  fi
done
exit $status
