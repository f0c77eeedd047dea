#!/bin/bash
# Hostile-load benchmark: starts a fresh kyreldb_server in a temporary
# directory and runs bench/kyrel_hostile against it (idle sockets beside
# active clients, failed logins beside an INSERT client, a reply-limited
# 2 GB join), then stops it. Traffic goes to 127.0.0.1 only.
# Usage: bench/hostile_bench.sh <build dir> [seconds-per-phase]
#   HOSTILE_IDLE (default 10000) sets the number of idle sockets,
#   HOSTILE_SCENARIOS (default idle,logins,join) the scenarios.
set -u
BUILD=${1:?usage: hostile_bench.sh <build dir> [seconds]}
SECS=${2:-${BENCH_SECONDS:-10}}
IDLE=${HOSTILE_IDLE:-10000}
SCEN=${HOSTILE_SCENARIOS:-idle,logins,join}
BUILD=$(cd "$BUILD" && pwd)
REPO=$(cd "$(dirname "$0")/.." && pwd)
SERVER=$BUILD/bin/kyreldb_server
LOAD=$BUILD/bin/kyrel_hostile
for f in "$SERVER" "$LOAD"; do
  [ -x "$f" ] || { echo "hostile_bench: $f not built" >&2; exit 1; }
done
DIR=$(mktemp -d /tmp/kyrel_hostile.XXXXXX)
PID=
cleanup() {
  if [ -n "$PID" ]; then kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; fi
  rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# The idle sockets never log in: the login time-out must outlast the run.
printf 'COMMIT_GROUP_WAIT_MS=0\nCONNECTION_WORKERS=16\nAUTO_VACUUM=OFF\nLOGIN_TIMEOUT_SECONDS=3600\n' \
  > "$DIR/kyreldb.config"
(cd "$DIR" && exec "$SERVER" --port "$PORT" > server.out 2>&1) &
PID=$!
for _ in $(seq 1 100); do
  grep -q listening "$DIR/server.out" 2>/dev/null && break
  kill -0 "$PID" 2>/dev/null || { echo "hostile_bench: server exited:" >&2; cat "$DIR/server.out" >&2; exit 1; }
  sleep 0.1
done
head -1 "$DIR/server.out"
PW=bench-pw
"$REPO/bench/first_login.py" "$PORT" lumen406 "$PW" || { echo "hostile_bench: first login failed" >&2; exit 1; }
"$LOAD" --port "$PORT" --password "$PW" --seconds "$SECS" --idle "$IDLE" --scenario "$SCEN" \
  --server-pid "$PID"
