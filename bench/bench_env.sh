# Sourced by the benchmark scripts, with $db and $redis_db set: the local services' settings
# pointed at that database and Redis database, a scratch folder $work, and the processes put in
# $pids stopped and the folder removed when the script exits.
eval "$(scripts/services env)"
export DATABASE_URL="${DATABASE_URL%/*}/$db" REDIS_DB=$redis_db
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
