#!/usr/bin/env bash
# Peak resident memory (VmHWM) of one kavara-server process while it draws four A0 plans of stored
# plots at once. Needs the services of scripts/services (same environment) and a seeded database.
#
#   eval "$(scripts/services env)"
#   bench/plots/plan_memory.sh build/bin/kavara-server [port]
#
# Extra settings pass through the environment (KAVARA_PLAN_MEMORY_MB, KAVARA_BLOCKING_THREADS);
# the plan rate is raised to let the four plans of one client in.
set -euo pipefail
source "$(dirname "$0")/../server_ready.sh"
server=${1:?usage: plan_memory.sh path/to/kavara-server [port]}
port=${2:-18731}
plans=${PLANS:-4}
query="max_width_mm=1189&max_height_mm=1189"

mapfile -t ids < <(psql -X "$DATABASE_URL" -tAc "SELECT \"ID\" FROM \"GIS\".\"PLOT\" LIMIT $plans")
[ "${#ids[@]}" -eq "$plans" ] || { echo "need $plans stored plots, found ${#ids[@]}" >&2; exit 1; }

KAVARA_PORT=$port KAVARA_WORKERS=1 KAVARA_WEB_ROOT= KAVARA_PLAN_RATE=${KAVARA_PLAN_RATE:-$plans} "$server" >/tmp/plan_memory.$$.log 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f /tmp/plan_memory.$$.*' EXIT
wait_until_serving "http://127.0.0.1:$port"
idle=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")

start=$(date +%s.%N)
clients=()
for id in "${ids[@]}"; do
  curl -s -o "/tmp/plan_memory.$$.$id.png" -w "$id %{http_code} %{size_download} B %{time_total} s\n" \
    "http://127.0.0.1:$port/plots/site-plan/$id.png?$query" &
  clients+=($!)
done
wait "${clients[@]}"
end=$(date +%s.%N)

peak=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
echo "idle VmHWM $((idle / 1024)) MB; peak VmHWM $((peak / 1024)) MB with $plans A0 plans;" \
  "wall $(echo "$end - $start" | bc) s"
