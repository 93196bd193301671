#!/usr/bin/env bash
# Tile service benchmark on the optimised build:
#  - cache-hit throughput of /gis/plots/{z}/{x}/{y}.pbf with wrk (each request its own client),
#    next to /gis/health/ (one Redis GET, no tile) as the floor of the HTTP stack;
#  - tile statement times straight in PostgreSQL for a few zooms over the densest area.
# Usage: bench/tiles.sh [database]   (default kavara_bench, seeded with 1,000,000 plots:
#        build/bin/kavara-seed --plots 1000000 --database-url postgresql://.../kavara_bench)
set -euo pipefail
cd "$(dirname "$0")/.."
db=${1:-kavara_bench}
eval "$(scripts/services env)"
export DATABASE_URL="${DATABASE_URL%/*}/$db"
command -v wrk >/dev/null || apt-get install -y -q wrk >/dev/null

port=18765
KAVARA_PORT=$port KAVARA_LOG_LEVEL=warning build/bin/kavara-server >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do curl -sf "http://127.0.0.1:$port/gis/health/" >/dev/null && break; sleep 0.1; done

centre=$(curl -s "http://127.0.0.1:$port/gis/plots/" | sed -E 's/.*"latitude":([0-9.-]+),"longitude":([0-9.-]+).*/\1 \2/')
read -r lat lon <<<"$centre"
echo "database $db, centre lat $lat lon $lon"

tile_at() {  # z -> "x y" of the tile containing the centre
  awk -v lat="$lat" -v lon="$lon" -v z="$1" 'BEGIN {
    pi = atan2(0, -1); n = 2 ^ z; r = lat * pi / 180;
    x = int((lon + 180) / 360 * n); y = int((1 - log(sin(r)/cos(r) + 1/cos(r)) / pi) / 2 * n);
    print x, y }'
}

paths=()
for z in 14 15 16; do
  read -r x y <<<"$(tile_at $z)"
  for dx in -1 0 1; do for dy in -1 0 1; do
    paths+=("/gis/plots/$z/$((x + dx))/$((y + dy)).pbf")
  done; done
done
redis-cli -p "$REDIS_PORT" --scan --pattern 'mvt_v8:*' | xargs -r redis-cli -p "$REDIS_PORT" del >/dev/null
for p in "${paths[@]}"; do curl -s -o /dev/null "http://127.0.0.1:$port$p"; done   # fill the cache

echo "== /gis/health/ (floor: HTTP + one Redis GET)"
wrk -t1 -c32 -d10s -s bench/tile_hits.lua "http://127.0.0.1:$port" /gis/health/ | grep -E 'Requests/sec|Latency|Non-2xx'
echo "== cached plots tiles z14-16 (${#paths[@]} tiles, rate limit + one GET each)"
wrk -t1 -c32 -d10s -s bench/tile_hits.lua "http://127.0.0.1:$port" "${paths[@]}" | grep -E 'Requests/sec|Latency|Transfer|Non-2xx'

echo "== tile statements run directly in PostgreSQL (3x3 tiles around the centre)"
build/bin/kavara-bench-tiles plots 12 13 14 15 16
build/bin/kavara-bench-tiles beacons 14 16
