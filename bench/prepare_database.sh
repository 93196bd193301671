#!/usr/bin/env bash
# Creates the benchmark database in the local cluster and seeds it with 1,000,000 plots, unless
# it exists already with its plots. Usage: bench/prepare_database.sh [database] [plots]
set -euo pipefail
cd "$(dirname "$0")/.."
db=${1:-kavara_bench}
plots=${2:-1000000}
eval "$(scripts/services env)"
url="${DATABASE_URL%/*}/$db"
if ! psql "${DATABASE_URL}" -tAc "SELECT 1 FROM pg_database WHERE datname = '$db'" | grep -q 1; then
  psql "${DATABASE_URL}" -qc "CREATE DATABASE \"$db\""
fi
have=$(psql "$url" -tAc 'SELECT count(*) FROM "GIS"."PLOT"' 2>/dev/null || echo 0)
if [ "$have" != "$plots" ]; then
  echo "seeding $db with $plots plots (a minute or two)"
  build/bin/kavara-seed --plots "$plots" --database-url "$url"
  psql "$url" -qc 'ANALYZE'
fi
