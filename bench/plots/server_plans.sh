#!/usr/bin/env bash
# Site plans per second through kavara-server, GET /plots/site-plan/{ID}.png of stored plots, each
# request from a client address of its own (bench/plots/plans.lua), optionally side by side with
# another build of the server on the same database and Redis: the two take turns for a few rounds
# at each paper, and the ratio is of their medians in this one run. Before measuring, the two
# must answer the same bytes for a few plots at each paper. Then the peak memory of one worker
# drawing four A0 plans at once (bench/plots/plan_memory.sh).
#
# Usage: bench/plots/server_plans.sh [server] [other-server]
#   server        default build/bin/kavara-server (the optimised build of scripts/demo)
#   other-server  an older build to compare with, for example one built from an earlier commit
# Settings from the environment:
#   BENCH_DB       database, default kavara_plans: created and seeded with 2,000 plots when missing
#   BENCH_REDIS_DB Redis database of the limiter's counters, default 11
#   PAPERS         default "190x160 100x100 1189x1189" (millimetres; the first is the default paper)
#   ROUNDS (3), BENCH_SECONDS (8; A0 rounds take three times as long), CONNECTIONS (2), PLOTS (200)
#   KAVARA_WORKERS passes to both servers; unset, each starts as many as it does by default.
set -euo pipefail
cd "$(dirname "$0")/../.."
source bench/server_ready.sh
server=$(realpath "${1:-build/bin/kavara-server}")
other=${2:+$(realpath "$2")}
db=${BENCH_DB:-kavara_plans}
redis_db=${BENCH_REDIS_DB:-11}
papers=${PAPERS:-190x160 100x100 1189x1189}
rounds=${ROUNDS:-3}
seconds=${BENCH_SECONDS:-8}
connections=${CONNECTIONS:-2}
plots=${PLOTS:-200}
command -v wrk >/dev/null || { echo "server_plans.sh: wrk is missing; run scripts/deps" >&2; exit 1; }

bench/prepare_database.sh "$db" 2000 >&2
. bench/bench_env.sh

start_server() {  # name binary port
  KAVARA_PORT=$3 KAVARA_LOG_LEVEL=warning KAVARA_WEB_ROOT= "$2" >"$work/$1.log" 2>&1 &
  pids+=($!)
  wait_until_serving "http://127.0.0.1:$3"
}
declare -A port=([new]=18781 [old]=18782)
servers=(new)
start_server new "$server" "${port[new]}"
if [ -n "$other" ]; then
  servers+=(old)
  start_server old "$other" "${port[old]}"
fi

psql -X "$DATABASE_URL" -tAc "SELECT \"ID\" FROM \"GIS\".\"PLOT\" ORDER BY \"ID\" LIMIT $plots" \
  >"$work/ids"
query() { echo "max_width_mm=${1%x*}&max_height_mm=${1#*x}"; }

# The same plan from both builds, byte for byte: a faster plan that differs measures nothing.
same_bytes() {  # paper plots
  local q
  q=$(query "$1")
  for id in $(head -n "$2" "$work/ids"); do
    for s in "${servers[@]}"; do
      curl -sf -o "$work/$s.png" -H "X-Forwarded-For: 10.99.0.$((id % 250 + 1))" \
        "http://127.0.0.1:${port[$s]}/plots/site-plan/$id.png?$q" ||
        { echo "plot $id at $1 mm: no plan from the $s server" >&2; exit 1; }
    done
    if [ -n "$other" ] && ! cmp -s "$work/new.png" "$work/old.png"; then
      echo "plot $id at $1 mm: the two servers draw different PNG files" >&2
      exit 1
    fi
  done
}

result() { sed -nE 's/^RESULT rps=([0-9.]+) p50_ms=([0-9.]+) p99_ms=([0-9.]+) errors=([0-9]+)/\1 \2 \3 \4/p'; }
measure() {  # server paths seconds -> "rps p50 p99 errors"
  wrk -t1 -c"$connections" -d"${3}s" --timeout 60s -s bench/plots/plans.lua \
    "http://127.0.0.1:${port[$1]}" "$2" | result
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

for paper in $papers; do
  checked=5 length=$seconds
  if [ "$paper" = 1189x1189 ]; then checked=1 length=$((seconds * 3)); fi
  same_bytes "$paper" "$checked"
  q=$(query "$paper")
  awk -v q="$q" '{ print "/plots/site-plan/" $1 ".png?" q }' "$work/ids" >"$work/paths"
  for s in "${servers[@]}"; do measure "$s" "$work/paths" 2 >/dev/null; : >"$work/$s.rps"; done
  for round in $(seq 1 "$rounds"); do
    order=("${servers[@]}")
    # Each build goes first in every other round, so neither always runs on a warmer machine.
    if [ $((round % 2)) -eq 0 ] && [ -n "$other" ]; then order=(old new); fi
    line="paper $paper mm, round $round:"
    for s in "${order[@]}"; do
      read -r rps p50 p99 errors <<<"$(measure "$s" "$work/paths" "$length")"
      echo "$rps" >>"$work/$s.rps"
      line+=" $s $rps plans/s (p50 $p50 ms, p99 $p99 ms, $errors errors);"
    done
    echo "$line"
  done
  summary="paper $paper mm: new median $(median <"$work/new.rps") plans/s"
  if [ -n "$other" ]; then
    summary+=", old median $(median <"$work/old.rps") plans/s, ratio $(awk -v a="$(median <"$work/new.rps")" \
      -v b="$(median <"$work/old.rps")" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
  fi
  echo "$summary"
done

# The memory bound, on a server of its own (one worker, nothing else in flight).
for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
wait 2>/dev/null || true
pids=()
bench/plots/plan_memory.sh "$server"
