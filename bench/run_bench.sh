#!/bin/bash
# Load benchmark: starts a fresh kyreldb_server in a temporary directory,
# runs the three workloads (single-row INSERT, 100-row INSERT, primary-key
# SELECT over 100,000 rows) at 1 and 8 clients with COMMIT_GROUP_WAIT_MS=0,
# then the same workloads against PostgreSQL on loopback, and prints the
# ratios of the 8-client figures.
# Usage: bench/run_bench.sh <build dir> [seconds-per-workload]
set -u
BUILD=${1:?usage: run_bench.sh <build dir> [seconds]}
SECS=${2:-${BENCH_SECONDS:-10}}
BUILD=$(cd "$BUILD" && pwd)
REPO=$(cd "$(dirname "$0")/.." && pwd)
SERVER=$BUILD/bin/kyreldb_server
LOAD=$BUILD/bin/kyrel_load
for f in "$SERVER" "$LOAD"; do
  [ -x "$f" ] || { echo "run_bench: $f not built" >&2; exit 1; }
done

DIR=$(mktemp -d /tmp/kyrel_bench.XXXXXX)
PID=
cleanup() {
  if [ -n "$PID" ]; then kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; fi
  rm -rf "$DIR"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null \
       || echo $((30000 + RANDOM % 20000)))
printf 'COMMIT_GROUP_WAIT_MS=0\nCONNECTION_WORKERS=16\nAUTO_VACUUM=OFF\n' > "$DIR/kyreldb.config"
(cd "$DIR" && exec "$SERVER" --port "$PORT" > server.out 2>&1) &
PID=$!
for _ in $(seq 1 100); do
  grep -q listening "$DIR/server.out" 2>/dev/null && break
  kill -0 "$PID" 2>/dev/null || { echo "run_bench: server exited:" >&2; cat "$DIR/server.out" >&2; exit 1; }
  sleep 0.1
done
head -1 "$DIR/server.out"

# The default administrator must change its password before anything else.
PW=bench-pw
"$REPO/bench/first_login.py" "$PORT" lumen406 "$PW" 2>/dev/null || true

OUT=$DIR/kyrel.txt
"$LOAD" --port "$PORT" --user admin --password "$PW" --seconds "$SECS" --clients 1,8 | tee "$OUT"
LOAD_STATUS=${PIPESTATUS[0]}
kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; PID=

PG=$REPO/../shared/bench/pg_baseline.sh
PGOUT=$DIR/pg.txt
if [ -f "$PG" ]; then
  bash "$PG" "$SECS" | tee "$PGOUT" || echo "run_bench: PostgreSQL baseline failed (skipped)"
else
  echo "run_bench: $PG not found; PostgreSQL comparison skipped"
fi

# Ratios at 8 clients (KyrelDB / PostgreSQL).
k() { awk -v w="$1" '$2==w && $3=="8" {print $5}' "$OUT"; }
kr() { awk -v w="$1" '$2==w && $3=="8" {print $7}' "$OUT"; }
p() { grep -E "$1" "$PGOUT" 2>/dev/null | sed -E 's/.*tps = ([0-9.]+).*/\1/' | head -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (a=="" || b=="" || b+0==0) print "n/a"; else printf "%.2fx", a/b }'; }
if [ -s "$PGOUT" ]; then
  echo "ratio pk-select 8 clients (goal >= 1.5x): $(ratio "$(k pk-select)" "$(p 'pk-select 8 clients')")"
  echo "ratio insert 8 clients vs synchronous_commit=off (goal >= 1x): $(ratio "$(k insert)" "$(p 'insert 8 clients synchronous_commit=off')")"
  PGROWS=$(grep 'insert-100' "$PGOUT" | sed -E 's/.* ([0-9]+) rows\/s.*/\1/')
  echo "ratio insert-100 rows/s 8 clients (goal >= 2x): $(ratio "$(kr insert-100)" "$PGROWS")"
fi
exit "$LOAD_STATUS"
