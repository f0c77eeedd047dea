#!/bin/bash
# `make bench`: starts a fresh kyreldb_server in a temporary directory
# (COMMIT_GROUP_WAIT_MS=0, auto-vacuum off) and runs bench/kyrel_load against
# it; stops it; runs the same workloads against a throwaway PostgreSQL cluster
# (bench/pg_compare.sh, skipped with one line when PostgreSQL is not
# installed); then prints one Markdown table with every figure, the ratios of
# the two systems and the goals.
#
# Ratios are KyrelDB's speed over PostgreSQL's: above 1, KyrelDB is faster
# (for the queries, PostgreSQL's time over KyrelDB's).
# Usage: bench/run_bench.sh <build dir> [seconds-per-workload]
#   BENCH_SECONDS (default 10) and BENCH_QUERIES (timed runs per query,
#   default 3) set the lengths.
set -u
BUILD=${1:?usage: run_bench.sh <build dir> [seconds]}
SECS=${2:-${BENCH_SECONDS:-10}}
QUERIES=${BENCH_QUERIES:-3}
CLIENTS=8
BUILD=$(cd "$BUILD" && pwd)
REPO=$(cd "$(dirname "$0")/.." && pwd)
SERVER=$BUILD/bin/kyreldb_server
LOAD=$BUILD/bin/kyrel_load
for f in "$SERVER" "$LOAD"; do
  [ -x "$f" ] || { echo "run_bench: $f not built" >&2; exit 1; }
done

DIR=$(mktemp -d /tmp/kyrel_bench.XXXXXX)
PID=
stop_server() {
  if [ -n "$PID" ]; then kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; PID=; fi
}
cleanup() {
  stop_server
  rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== KyrelDB: $CLIENTS clients, $SECS s per workload, $QUERIES timed runs per query"
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
"$REPO/bench/first_login.py" "$PORT" lumen406 "$PW" || { echo "run_bench: first login failed" >&2; exit 1; }

OUT=$DIR/results.txt
"$LOAD" --port "$PORT" --user admin --password "$PW" --seconds "$SECS" --queries "$QUERIES" \
  --clients "$CLIENTS" 2>&1 | tee "$OUT"
LOAD_STATUS=${PIPESTATUS[0]}
stop_server

echo "== PostgreSQL"
bash "$REPO/bench/pg_compare.sh" "$SECS" "$QUERIES" 2>&1 | tee -a "$OUT"

# ---- the table ---------------------------------------------------------------
# fig SYSTEM WORKLOAD FIELD: a figure from the result lines ("" when missing);
# field 5 is requests/s or ms per query, field 7 rows/s.
fig() { awk -v s="$1" -v w="$2" -v f="$3" '$1==s && $2==w && $5 ~ /^[0-9.]+$/ {print $f; exit}' "$OUT"; }
div() { # a / b with two decimals, or two significant digits below 0.1
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print ""; else { r = a / b; printf (r >= 0.1 ? "%.2f" : "%.2g"), r } }'
}
shown() { # shown VALUE UNIT
  [ -z "$1" ] && { echo "n/a"; return; }
  awk -v v="$1" -v u="$2" 'BEGIN { if (u == "ms") printf "%.1f ms", v; else printf "%.0f%s", v, u }'
}
x() { [ -z "$1" ] && echo "n/a" || echo "${1}x"; }
met() { # met VALUE OP LIMIT
  [ -z "$1" ] && { echo "n/a"; return; }
  awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN { ok = (op == ">=") ? v + 0 >= l + 0 : v + 0 < l + 0; print ok ? "yes" : "no" }'
}
# row LABEL WORKLOAD FIELD UNIT GOAL MEASURE OP LIMIT: one line of the table.
#   MEASURE: "ratio" (KyrelDB/PostgreSQL), "-" (no goal), or a figure in UNIT.
row() {
  local k p r m shown_m goal_met=""
  k=$(fig kyreldb "$2" "$3")
  p=$(fig postgresql "$2" "$3")
  if [ "$4" = ms ]; then r=$(div "$p" "$k"); else r=$(div "$k" "$p"); fi
  case $6 in
    ratio) m=$r; shown_m=$(x "$m") ;;
    -) m=; shown_m= ;;
    *) m=$6; if [ "$4" = ms ]; then shown_m=$(shown "$m" ms); else shown_m=${m:-n/a}; fi ;;
  esac
  [ "$6" != - ] && goal_met=$(met "$m" "$7" "$8")
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$1" "$(shown "$k" "$4")" "$(shown "$p" "$4")" \
    "$(x "$r")" "$5" "$shown_m" "$goal_met"
}

K100=$(fig kyreldb pk-select-100k 5)
K1M=$(fig kyreldb pk-select-1m 5)
G1=$(fig kyreldb grow-1 7)
G10=$(fig kyreldb grow-10 7)
JOIN_MS=$(fig kyreldb join 5)
GROUP_MS=$(fig kyreldb group-order 5)

echo
echo "== Results ($CLIENTS clients for rates, one client for the queries; KyrelDB/PostgreSQL above 1: KyrelDB faster)"
echo
echo "| workload | KyrelDB | PostgreSQL | KyrelDB/PostgreSQL | goal | measured | met |"
echo "|---|---|---|---|---|---|---|"
row "primary-key SELECT, 100,000 rows" pk-select-100k 5 /s ">= 1.5x PostgreSQL" ratio ">=" 1.5
row "primary-key SELECT, 1,000,000 rows" pk-select-1m 5 /s ">= 0.9 of the 100,000-row figure" \
  "$(div "$K1M" "$K100")" ">=" 0.9
row "single-row INSERT" insert 5 /s ">= 1.0x PostgreSQL (synchronous_commit=off)" ratio ">=" 1.0
row "100-row INSERT" insert-100 7 " rows/s" ">= 2x PostgreSQL rows/s" ratio ">=" 2
row "100-row INSERTs 0 -> 1,000,000 rows, first tenth" grow-1 7 " rows/s" "" -
row "100-row INSERTs 0 -> 1,000,000 rows, last tenth" grow-10 7 " rows/s" \
  "last tenth / first tenth >= 0.8" "$(div "$G10" "$G1")" ">=" 0.8
row "two-table JOIN, 2,000 x 2,000 rows on an int column" join 5 ms "< 20 ms" "$JOIN_MS" "<" 20
row "GROUP BY over 10,000 groups (20,000 rows) with ORDER BY" group-order 5 ms "< 100 ms" "$GROUP_MS" "<" 100
row "GROUP BY over 10,000 groups (20,000 rows), no ORDER BY" group 5 ms "" -
row "ORDER BY a column without index LIMIT 10, 100,000 rows" topn-100k 5 ms "" -
row "ORDER BY a column without index LIMIT 10, 1,000,000 rows" topn-1m 5 ms "" -
row "GROUP BY over 100 groups, 100,000 rows" group-100k 5 ms "" -
row "GROUP BY over 100 groups, 1,000,000 rows" group-1m 5 ms "no slower than PostgreSQL" ratio ">=" 1.0
exit "$LOAD_STATUS"
