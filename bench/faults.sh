#!/usr/bin/env bash
# The fault run: a mixed load on the optimised kavara-server (cached and uncached z/x/y tiles,
# bbox tiles, the centroid, site plans of stored plots, from many client addresses behind the
# trusted local proxy) while, one at a time with a quiet phase between, Redis is stalled and
# killed, PostgreSQL stalled and restarted, the pool's backends are terminated and the pool is
# exhausted behind a lock on the plots table. Prints one row per phase (bench/faults.py).
#
#   scripts/services up; eval "$(scripts/services env)"; build/bin/kavara-seed --plots 2000
#   bench/faults.sh [port]            (needs build/bin/kavara-server and kavara-bench-tiles)
#
# It stops and kills the services of scripts/services in the same environment (KAVARA_STATE_DIR,
# KAVARA_PG_PORT, KAVARA_REDIS_PORT): never run it against an instance someone else uses.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/server_ready.sh"
state=${KAVARA_STATE_DIR:-$root/.state}
pg_data=$state/pg/data
pg_bin=/usr/lib/postgresql/15/bin
redis_pid_file=$state/redis/redis.pid

as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u kavara-pg -- "$@"; else "$@"; fi
}

postgres_pids() {
  local main
  main=$(head -1 "$pg_data/postmaster.pid")
  echo "$main" $(ps -o pid= --ppid "$main")
}

# Each fault returns when it is over: the service is back, or the lock released.
fault() {
  case "$1" in
    redis-stop)
      kill -STOP "$(cat "$redis_pid_file")"; sleep 3; kill -CONT "$(cat "$redis_pid_file")" ;;
    redis-kill)
      kill -KILL "$(cat "$redis_pid_file")"; sleep 0.5; rm -f "$redis_pid_file"
      "$root/scripts/services" redis-start ;;
    pg-stop)
      local pids; pids=$(postgres_pids)
      kill -STOP $pids; sleep 3; kill -CONT $pids ;;
    pg-restart)
      as_pg "$pg_bin/pg_ctl" -D "$pg_data" -m fast -w stop >/dev/null
      as_pg "$pg_bin/pg_ctl" -D "$pg_data" -l "$state/pg/server.log" -w -o "-p ${KAVARA_PG_PORT:-55432}" start >/dev/null ;;
    pg-terminate)
      psql -X -q -At "$DATABASE_URL" -c "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity
        WHERE datname = current_database() AND pid <> pg_backend_pid() AND backend_type = 'client backend'" >/dev/null ;;
    pool-exhausted)
      psql -X -q "$DATABASE_URL" -c 'BEGIN; LOCK TABLE "GIS"."PLOT" IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(3); COMMIT;' >/dev/null ;;
    *) echo "unknown fault $1" >&2; exit 2 ;;
  esac
}

if [ "${1:-}" = fault ]; then
  fault "$2"
  exit 0
fi

port=${1:-18741}
server=$root/build/bin/kavara-server
bench_tiles=$root/build/bin/kavara-bench-tiles
[ -x "$server" ] && [ -x "$bench_tiles" ] || { echo "build kavara-server and kavara-bench-tiles into build/ first" >&2; exit 1; }
: "${DATABASE_URL:?eval \"\$(scripts/services env)\" first}"
log=$(mktemp /tmp/faults.XXXXXX.log)
KAVARA_PORT=$port KAVARA_WEB_ROOT= KAVARA_LOG_LEVEL=${KAVARA_LOG_LEVEL:-warning} "$server" >"$log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT
wait_until_serving "http://127.0.0.1:$port"
workers() { ps -o pid= --ppid "$pid" | sort -n | tr -s ' \n' ' '; }
workers_before=$(workers)

status=0
python3 "$root/bench/faults.py" --port "$port" --database-url "$DATABASE_URL" --bench-tiles "$bench_tiles" \
  --fault-command "$0 fault" ${FAULTS:+--faults "$FAULTS"} ${FAULTS_JSON:+--json "$FAULTS_JSON"} || status=$?

# A worker that died takes the others down, so the same worker processes at the end mean none
# crashed.
alive=$(kill -0 $pid 2>/dev/null && echo yes || echo no)
workers_after=$(workers)
echo
echo "server alive: $alive; worker processes [$workers_before] before, [$workers_after] after"
echo "server log: $log ($(grep -c ' warning ' "$log" || true) warnings, $(grep -c ' error ' "$log" || true) errors)"
[ "$alive" = yes ] && [ "$workers_before" = "$workers_after" ] || status=1
exit $status
