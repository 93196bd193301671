#!/usr/bin/env bash
# The tile service next to its limits, measured side by side in one run on the optimised build
# (build/, as scripts/demo makes it), one line per pair:
#   hit    256 cached z16 plots tiles in random order, 64 connections, 10,000 client addresses
#          forwarded by the loopback proxy  vs  nginx (one worker) serving the same bytes as files
#   bbox   64 bounding-box tiles around the centre: the first request of each (a miss, median
#          time), then all of them from the cache at 64 connections; the centroid route likewise
#   seeded kavara-tiles seed of plots z8-z14 over the layer's extent (time), then 512 of the stored
#          tiles checked for X-Cache: HIT and served by wrk at 8 connections (a browser's six or
#          so) and at 64 (p99)
#   miss   distinct z16 tiles over a 64 x 64 block, 4 connections  vs  pgbench -M prepared running
#          the same statement (bench/miss_path.sh)
# Usage: bench/tiles.sh [database] [redis-db]
#   database  default kavara_bench: created and seeded with 1,000,000 plots when missing
#   redis-db  default 9, a Redis database of the benchmark's own (its tile keys are flushed)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/server_ready.sh
db=${1:-kavara_bench}
redis_db=${2:-9}
duration=${BENCH_SECONDS:-10}
. bench/bench_env.sh

bench/prepare_database.sh "$db"

port=18765
static_port=18766
KAVARA_PORT=$port KAVARA_LOG_LEVEL=warning build/bin/kavara-server >"$work/server.log" 2>&1 &
pids+=($!)
wait_until_serving "http://127.0.0.1:$port"
redis-cli -p "$REDIS_PORT" -n "$redis_db" --scan --pattern 'mvt_v8:*' | xargs -r redis-cli -p "$REDIS_PORT" -n "$redis_db" del >/dev/null

source bench/plots_centre.sh
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
result() { grep '^RESULT' | sed -E 's/RESULT rps=([0-9]+) p99_ms=([0-9.]+) errors=([0-9]+)/\1 \2 \3/'; }

# ---- hit path: the same 256 tiles from the service's cache and from nginx as files ----------
read -r cx cy <<<"$(tile_at 16)"
mkdir -p "$work/static"
: >"$work/paths"
for dx in $(seq -8 7); do
  for dy in $(seq -8 7); do
    path="/gis/plots/16/$((cx + dx))/$((cy + dy)).pbf"
    mkdir -p "$work/static$(dirname "$path")"
    status=$(curl -s -o "$work/static$path" -w '%{http_code}' "http://127.0.0.1:$port$path")
    [ "$status" = 200 ] && echo "$path" >>"$work/paths"
  done
done
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx.error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  keepalive_requests 1000000;
  default_type application/vnd.mapbox-vector-tile;
  server { listen 127.0.0.1:$static_port; root $work/static; }
}
CONF
# nginx started as root serves as "nobody": the scratch folder (mktemp, mode 0700) must be
# readable, or every answer is a 403 of 150 bytes and the limit measures nothing.
chmod -R a+rX "$work/static" && chmod a+x "$work"
nginx -c "$work/nginx.conf" -g 'daemon off;' &
pids+=($!)
sleep 0.5
# The limit must serve the very bytes the service does.
probe=$(head -1 "$work/paths")
if ! curl -sf "http://127.0.0.1:$static_port$probe" | cmp -s - "$work/static$probe"; then
  echo "nginx does not serve the tiles ($probe): see $work/nginx.error.log" >&2
  cat "$work/nginx.error.log" >&2
  exit 1
fi
echo "hit path: $(wc -l <"$work/paths") cached z16 tiles, $(du -sh "$work/static" | cut -f1) on disk"
wrk -t1 -c64 -d2s -s bench/tile_random.lua "http://127.0.0.1:$port" "$work/paths" >/dev/null  # warm-up
read -r s_rps s_p99 s_err <<<"$(wrk -t1 -c64 -d"${duration}s" -s bench/tile_random.lua \
  "http://127.0.0.1:$port" "$work/paths" | result)"
read -r n_rps n_p99 n_err <<<"$(wrk -t1 -c64 -d"${duration}s" -s bench/tile_random.lua \
  "http://127.0.0.1:$static_port" "$work/paths" | result)"
echo "hit path: server $s_rps req/s p99 ${s_p99} ms (non-2xx/errors $s_err), nginx $n_rps req/s p99 ${n_p99} ms (non-2xx/errors $n_err), ratio $(ratio "$s_rps" "$n_rps")"

# ---- bbox route and centroid: misses one at a time, then cached answers at 64 connections ---
awk -v lat="$lat" -v lon="$lon" 'BEGIN { d = 0.002;
  for (i = 0; i < 8; i++) for (j = 0; j < 8; j++) {
    x = lon + (i - 4) * d; y = lat + (j - 4) * d;
    printf "/gis/plots/bbox/?minx=%.6f&miny=%.6f&maxx=%.6f&maxy=%.6f\n", x, y, x + d, y + d } }' \
  >"$work/bbox_paths"
redis-cli -p "$REDIS_PORT" -n "$redis_db" --scan --pattern 'mvt_v8:bbox:*' | xargs -r redis-cli -p "$REDIS_PORT" -n "$redis_db" del >/dev/null
i=0
while read -r path; do
  i=$((i + 1))
  curl -s -o /dev/null -w '%{time_total}\n' -H "X-Forwarded-For: 10.79.0.$i" "http://127.0.0.1:$port$path"
done <"$work/bbox_paths" | sort -g | awk '{ v[NR] = $1 * 1000 } END { printf "%.1f %.1f\n", v[int((NR + 1) / 2)], v[NR] }' >"$work/bbox_miss"
read -r b_med b_max <"$work/bbox_miss"
read -r b_rps b_p99 b_err <<<"$(wrk -t1 -c64 -d"${duration}s" -s bench/tile_random.lua \
  "http://127.0.0.1:$port" "$work/bbox_paths" | result)"
echo "bbox route: 64 boxes of 0.002 degrees, first request (miss) median ${b_med} ms, worst ${b_max} ms; cached $b_rps req/s p99 ${b_p99} ms (non-2xx/errors $b_err)"
echo /gis/plots/ >"$work/centroid_paths"
read -r c_rps c_p99 c_err <<<"$(wrk -t1 -c64 -d"${duration}s" -s bench/tile_random.lua \
  "http://127.0.0.1:$port" "$work/centroid_paths" | result)"
echo "centroid route: cached $c_rps req/s p99 ${c_p99} ms (non-2xx/errors $c_err)"

# ---- seeded low zooms: plots z8-z14 over the layer's extent, then served from the cache ------
echo "seeded low zooms: $(build/bin/kavara-tiles seed --layer plots --zooms 8-14 2>/dev/null)"
redis-cli -p "$REDIS_PORT" -n "$redis_db" --scan --pattern 'mvt_v8:plots:*' |
  awk -F: '$3 >= 8 && $3 <= 14 { print "/gis/plots/" $3 "/" $4 "/" $5 ".pbf" }' |
  shuf -n 512 >"$work/seeded_paths"
misses=0
i=0
while read -r path; do
  i=$((i + 1))
  cache=$(curl -s -o /dev/null -D - -H "X-Forwarded-For: 10.78.$((i / 250)).$((i % 250 + 1))" \
    "http://127.0.0.1:$port$path" | tr -d '\r' | awk -F': ' 'tolower($1) == "x-cache" { print $2 }')
  [ "$cache" = HIT ] || misses=$((misses + 1))
done <"$work/seeded_paths"
read -r y_rps y_p99 y_err < <(wrk -t1 -c8 -d"${duration}s" -s bench/tile_random.lua \
  "http://127.0.0.1:$port" "$work/seeded_paths" | result)
read -r z_rps z_p99 z_err < <(wrk -t1 -c64 -d"${duration}s" -s bench/tile_random.lua \
  "http://127.0.0.1:$port" "$work/seeded_paths" | result)
echo "seeded low zooms: $(wc -l <"$work/seeded_paths") sampled tiles z8-z14, $misses not a HIT; 8 connections $y_rps req/s p99 ${y_p99} ms; 64 connections $z_rps req/s p99 ${z_p99} ms (non-2xx/errors $y_err, $z_err)"

# ---- miss path: distinct tiles from PostgreSQL against pgbench on the same statement --------
if [ -x bench/miss_path.sh ]; then
  bench/miss_path.sh "$db" "$redis_db"
fi
