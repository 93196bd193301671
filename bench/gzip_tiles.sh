#!/usr/bin/env bash
# Tiles on the wire without and with gzip, on the optimised build (build/): for each zoom from 8
# to 16 the plots tile at the centre of the seeded area, asked for with curl raw and with
# "Accept-Encoding: gzip": the bytes received, the time of the first request (a miss: the tile
# is built, and the gzip client waits for its compression) and the median of five cached
# requests, on loopback; and, worked out from the bytes, what they take on a 10 Mbit/s link.
# Usage: bench/gzip_tiles.sh [database] [redis-db]
#   database  default kavara_bench (bench/prepare_database.sh seeds it when missing)
#   redis-db  default 9, a Redis database of the benchmark's own (its plots tiles are deleted)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/server_ready.sh
db=${1:-kavara_bench}
redis_db=${2:-9}
eval "$(scripts/services env)"
export DATABASE_URL="${DATABASE_URL%/*}/$db" REDIS_DB=$redis_db
bench/prepare_database.sh "$db"

port=18768
work=$(mktemp -d)
KAVARA_PORT=$port KAVARA_LOG_LEVEL=warning build/bin/kavara-server >"$work/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true; rm -rf "$work"' EXIT
wait_until_serving "http://127.0.0.1:$port"

source bench/plots_centre.sh
forget() {  # path -> the tile's raw and gzip keys deleted
  local key=${1#/gis/}
  key=${key%.pbf}
  redis-cli -p "$REDIS_PORT" -n "$redis_db" del "mvt_v8:${key//\//:}" "mvt_v8:gz:${key//\//:}" >/dev/null
}
client=0
fetch() {  # path [curl options...] -> "bytes ms"; every request from its own client address
  local path=$1
  shift
  client=$((client + 1))
  curl -s -o /dev/null -w '%{size_download} %{time_total}\n' "$@" \
    -H "X-Forwarded-For: 10.77.$((client / 250)).$((client % 250 + 1))" "http://127.0.0.1:$port$path" |
    awk '{ printf "%d %.1f\n", $1, $2 * 1000 }'
}
median_ms() {  # path [curl options...] -> median ms of five requests
  for _ in 1 2 3 4 5; do fetch "$@"; done | cut -d' ' -f2 | sort -g | sed -n 3p
}

echo "database $db, centre lat $lat lon $lon; times in ms"
printf '%4s %10s %10s %6s | %9s %9s | %9s %9s | %10s %10s\n' z raw gzip "gz %" \
  "cold raw" "cold gz" "hit raw" "hit gz" "10M raw" "10M gz"
for z in $(seq 8 16); do
  read -r x y <<<"$(tile_at "$z")"
  path="/gis/plots/$z/$x/$y.pbf"
  row=()
  for encoding in identity gzip; do
    options=(-H "Accept-Encoding: $encoding")
    forget "$path"
    read -r bytes cold <<<"$(fetch "$path" "${options[@]}")"
    sleep 0.2  # the gzip copy of a raw miss is stored after the answer
    row+=("$bytes" "$cold" "$(median_ms "$path" "${options[@]}")")
  done
  awk -v z="$z" -v r="${row[0]}" -v cr="${row[1]}" -v hr="${row[2]}" \
    -v g="${row[3]}" -v cg="${row[4]}" -v hg="${row[5]}" 'BEGIN {
    link = 10e6 / 8 / 1000  # bytes a millisecond
    printf "%4d %10d %10d %6.1f | %9s %9s | %9s %9s | %10.0f %10.0f\n", z, r, g,
      (r > 0 ? 100 * g / r : 0), cr, cg, hr, hg, r / link, g / link }'
done
