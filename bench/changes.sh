#!/usr/bin/env bash
# Edits reaching the map, on the optimised build (build/) over the benchmark database:
#   latency  20 single-plot "STATUS" updates, each timed from just before its psql (so the
#            COMMIT is inside the figure) to the first answer of the z16 tile under the plot
#            whose bytes differ from those before, while wrk holds a paced tile load of about
#            10,000 requests a second over 256 cached z16 tiles around them; median and worst
#   bulk     1,000 plots updated in one transaction under the same load: from before the COMMIT
#            to the purging watcher's log line, and the tile p99 over the window around it
#   trigger  what the change log adds to a write: pgbench, one client, UPDATE of one random plot
#            (and of 1,000 consecutive plots) per transaction, with the triggers and without,
#            in alternating rounds
# Usage: bench/changes.sh [database] [redis-db]
#   database  default kavara_bench (bench/prepare_database.sh seeds 1,000,000 plots when missing)
#   redis-db  default 9, a Redis database of the benchmark's own (its tile keys are flushed)
# BENCH_PLOTS (default 1,000,000) sizes a database that is seeded here.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/server_ready.sh
db=${1:-kavara_bench}
redis_db=${2:-9}
. bench/bench_env.sh

bench/prepare_database.sh "$db" "${BENCH_PLOTS:-1000000}"
sql() { psql -X -q -v ON_ERROR_STOP=1 -tA "$DATABASE_URL" "$@"; }
sql -f scripts/sql/changes.sql >/dev/null
sql -c 'TRUNCATE kavara.changes'
redis-cli -p "$REDIS_PORT" -n "$redis_db" --scan --pattern 'mvt_v8:*' | xargs -r redis-cli -p "$REDIS_PORT" -n "$redis_db" del >/dev/null

port=18775
base="http://127.0.0.1:$port"
KAVARA_PORT=$port KAVARA_LOG_LEVEL=info build/bin/kavara-server >"$work/server.out" 2>"$work/server.log" &
server_pid=$!
pids+=($server_pid)
wait_until_serving "$base"

# The 1,000 plots nearest the layer's centre, each with the z16 tile under its centroid.
side=611.4962262814100   # of a z16 tile, in EPSG:3857 metres
origin=20037508.342789244
sql -F ' ' -c "
  WITH centre AS (SELECT ST_Centroid(ST_EstimatedExtent('GIS', 'PLOT', 'GEOMETRY')::geometry) AS p)
  SELECT \"ID\", floor((ST_X(ST_Centroid(\"GEOMETRY\")) + $origin) / $side)::int,
         floor(($origin - ST_Y(ST_Centroid(\"GEOMETRY\"))) / $side)::int
  FROM \"GIS\".\"PLOT\" ORDER BY \"GEOMETRY\" <-> ST_SetSRID((SELECT p FROM centre), 3857)
  LIMIT 1000" >"$work/plots"
read -r _ cx cy <"$work/plots"
: >"$work/paths"
for dx in $(seq -8 7); do
  for dy in $(seq -8 7); do echo "/gis/plots/16/$((cx + dx))/$((cy + dy)).pbf" >>"$work/paths"; done
done
n=0
while read -r path; do  # cache them; each request from a client of its own
  n=$((n + 1))
  curl -s -o /dev/null -H "X-Forwarded-For: 10.90.$((n / 250)).$((n % 250 + 1))" "$base$path"
done <"$work/paths"

# A paced load: 64 connections, each pausing this long before a request.
paced_load() {  # seconds -> RESULT line in $work/load
  WRK_DELAY_MS=${BENCH_DELAY_MS:-2} wrk -t1 -c64 -d"$1s" -s bench/tile_random.lua "$base" "$work/paths" \
    | grep '^RESULT' >"$work/load"
}
now_ns() { date +%s%N; }
fetch() {  # path, file, request number (picks the client address)
  curl -s -o "$2" -H "X-Forwarded-For: 10.91.$(($3 / 250 % 250)).$(($3 % 250 + 1))" "$base$1"
}

# ---- latency: COMMIT to the first changed z16 tile ------------------------------------------
paced_load 40 &
load_pid=$!
sleep 3
: >"$work/latencies"
requests=0
for i in $(seq 1 20); do
  read -r id x y < <(sed -n "$((i * 7))p" "$work/plots")
  path="/gis/plots/16/$x/$y.pbf"
  fetch "$path" "$work/before" "$requests"
  start=$(now_ns)
  sql -c "UPDATE \"GIS\".\"PLOT\" SET \"STATUS\" = 'Edit $i $(now_ns)' WHERE \"ID\" = $id"
  while :; do
    requests=$((requests + 1))
    fetch "$path" "$work/after" "$requests"
    cmp -s "$work/before" "$work/after" || break
    [ $(($(now_ns) - start)) -lt 10000000000 ] || { echo "plot $id: no new tile in 10 s" >&2; break; }
  done
  echo $((($(now_ns) - start) / 1000000)) >>"$work/latencies"
  sleep 0.5
done
wait "$load_pid"
read -r load_rps load_p99 <<<"$(sed -E 's/RESULT rps=([0-9]+) p99_ms=([0-9.]+).*/\1 \2/' "$work/load")"
sort -n "$work/latencies" | awk -v rps="$load_rps" -v p99="$load_p99" '{ v[NR] = $1 }
  END { printf "latency: COMMIT to the first new z16 tile, 20 edits: median %d ms, worst %d ms (load %s req/s, p99 %s ms)\n",
        (v[10] + v[11]) / 2, v[NR], rps, p99 }'

# ---- bulk: 1,000 edits in one transaction ---------------------------------------------------
paced_load 12 &
load_pid=$!
sleep 4
ids=$(cut -d' ' -f1 "$work/plots" | paste -sd,)
start=$(now_ns)
sql -c "UPDATE \"GIS\".\"PLOT\" SET \"STATUS\" = 'Bulk $(now_ns)' WHERE \"ID\" IN ($ids)"
until grep -qE 'Changes handled: 1000 changes, [1-9]' "$work/server.log"; do
  [ $(($(now_ns) - start)) -lt 30000000000 ] || { echo "bulk edit not handled in 30 s" >&2; break; }
  sleep 0.01
done
bulk_ms=$((($(now_ns) - start) / 1000000))
wait "$load_pid"
read -r load_rps load_p99 <<<"$(sed -E 's/RESULT rps=([0-9]+) p99_ms=([0-9.]+).*/\1 \2/' "$work/load")"
echo "bulk: 1,000 edits in one transaction handled ${bulk_ms} ms after the COMMIT was sent; $(grep -oE 'Changes handled: 1000 changes, [1-9][^$]*' "$work/server.log" | head -1); tile load meanwhile $load_rps req/s, p99 $load_p99 ms"

# ---- trigger: the added time of a write ----------------------------------------------------
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
max_id=$(sql -c 'SELECT max("ID") FROM "GIS"."PLOT"')
printf '\\set id random(1, %d)\nUPDATE "GIS"."PLOT" SET "STATUS" = "STATUS" WHERE "ID" = :id;\n' \
  "$max_id" >"$work/one.sql"
printf '\\set id random(1, %d)\nUPDATE "GIS"."PLOT" SET "STATUS" = "STATUS" WHERE "ID" BETWEEN :id AND :id + 999;\n' \
  "$((max_id - 1000))" >"$work/thousand.sql"
latency() {  # script -> average latency in ms
  pgbench -n -M prepared -c 1 -T "${BENCH_SECONDS:-4}" -f "$1" "$DATABASE_URL" 2>/dev/null |
    awk -F' = ' '/latency average/ { print $2 + 0 }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }
# Rounds with and without the triggers alternate, so that a busy machine weighs on both alike.
for _ in 1 2 3 4 5; do
  for script in one thousand; do
    latency "$work/$script.sql" >>"$work/$script.with"
    sql -c 'ALTER TABLE "GIS"."PLOT" DISABLE TRIGGER USER'
    latency "$work/$script.sql" >>"$work/$script.without"
    sql -c 'ALTER TABLE "GIS"."PLOT" ENABLE TRIGGER USER'
  done
done
one_with=$(median <"$work/one.with")
one_without=$(median <"$work/one.without")
thousand_with=$(median <"$work/thousand.with")
thousand_without=$(median <"$work/thousand.without")
sql -c 'TRUNCATE kavara.changes'
awk -v a="$one_with" -v b="$one_without" -v c="$thousand_with" -v d="$thousand_without" 'BEGIN {
  printf "trigger (medians of 5 alternating rounds): one row per UPDATE %.3f ms with the change log, %.3f ms without (+%.3f ms a row); 1,000 rows per UPDATE %.1f ms vs %.1f ms (+%.4f ms a row)\n",
         a, b, a - b, c, d, (c - d) / 1000 }'
