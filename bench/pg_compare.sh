#!/bin/bash
# The PostgreSQL side of `make bench`: starts a throwaway PostgreSQL cluster in
# a temporary directory on a free loopback port, runs the workloads of
# bench/kyrel_load.cpp against it with pgbench (same tables and row shapes,
# same client count, simple query protocol over TCP on 127.0.0.1), prints its
# figures in kyrel_load's line form with "postgresql" in place of "kyreldb",
# and stops and removes the cluster.
#
# The cluster runs with synchronous_commit=off (fsync stays on) and otherwise
# the defaults of initdb. As root, the cluster runs as the postgres user (or
# nobody), since the server refuses to run as root; the clients stay as they are.
#
# When PostgreSQL is not installed it prints one line saying so and exits 0.
# Usage: bench/pg_compare.sh [seconds-per-workload] [timed-query-runs]
set -u
SECS=${1:-10}
QUERIES=${2:-3}
CLIENTS=8

say() { echo "pg_compare: $*" >&2; }

find_pg() {
  local d
  if command -v initdb >/dev/null 2>&1; then
    d=$(dirname "$(readlink -f "$(command -v initdb)")")
    [ -x "$d/pg_ctl" ] && [ -x "$d/postgres" ] && { echo "$d"; return 0; }
  fi
  for d in /usr/lib/postgresql/*/bin /usr/local/pgsql/bin; do
    [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && [ -x "$d/postgres" ] && { echo "$d"; return 0; }
  done
  return 1
}
tool() { # tool NAME: path of a client program beside the server, else on PATH
  if [ -x "$PGBIN/$1" ]; then echo "$PGBIN/$1"; else command -v "$1"; fi
}

if ! PGBIN=$(find_pg) || ! PGBENCH=$(tool pgbench) || ! PSQL=$(tool psql); then
  echo "PostgreSQL not installed (initdb, pg_ctl, postgres, pgbench and psql needed): comparison skipped"
  exit 0
fi

DIR=$(mktemp -d /tmp/kyrel_pg.XXXXXX)
RUNAS=
if [ "$(id -u)" = 0 ]; then
  RUNAS=postgres
  getent passwd postgres >/dev/null || RUNAS=nobody
  chown "$RUNAS" "$DIR"
fi
as_owner() { # runs a server program as the cluster's owner
  if [ -n "$RUNAS" ]; then runuser -u "$RUNAS" -- "$@"; else "$@"; fi
}
STARTED=
cleanup() {
  [ -n "$STARTED" ] && as_owner "$PGBIN/pg_ctl" -D "$DIR/data" -m immediate -w stop >/dev/null 2>&1
  rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null \
       || echo $((30000 + RANDOM % 20000)))
say "$("$PGBIN/postgres" --version), throwaway cluster on 127.0.0.1:$PORT"
if ! as_owner "$PGBIN/initdb" -D "$DIR/data" -A trust -U bench -E UTF8 --no-sync >"$DIR/initdb.log" 2>&1; then
  echo "PostgreSQL: initdb failed: comparison skipped"
  sed 's/^/  /' "$DIR/initdb.log" >&2
  exit 0
fi
if ! as_owner "$PGBIN/pg_ctl" -D "$DIR/data" -l "$DIR/data/server.log" -w -t 60 \
     -o "-p $PORT -k $DIR -c listen_addresses=127.0.0.1 -c synchronous_commit=off -c max_connections=40" \
     start >/dev/null 2>&1; then
  echo "PostgreSQL: the server did not start: comparison skipped"
  tail -5 "$DIR/data/server.log" >&2
  exit 0
fi
STARTED=1

CONN=(-h 127.0.0.1 -p "$PORT" -U bench)
sql() { "$PSQL" "${CONN[@]}" -d bench -X -q -v ON_ERROR_STOP=1 "$@"; }
"$PSQL" "${CONN[@]}" -d postgres -X -q -c "CREATE DATABASE bench" || exit 1

say "creating the tables and loading items (100,000 rows), grp (20,000 rows), big (1,000,000 rows), jl and jr (2,000 rows each)"
SHAPE="(id bigint PRIMARY KEY, name text, qty bigint, price double precision)"
sql <<EOF || exit 1
CREATE TABLE items $SHAPE;
CREATE TABLE items_one $SHAPE;
CREATE TABLE items_batch $SHAPE;
CREATE TABLE grow $SHAPE;
CREATE TABLE grp $SHAPE;
CREATE TABLE big $SHAPE;
CREATE TABLE jl (id bigint PRIMARY KEY, k bigint, v bigint);
CREATE TABLE jr (id bigint PRIMARY KEY, k bigint, v bigint);
INSERT INTO items SELECT g, 'name' || g, g % 100, g / 2 + 0.5 FROM generate_series(1, 100000) g;
INSERT INTO grp SELECT g, 'name' || g, g % 10000, g / 2 + 0.5 FROM generate_series(1, 20000) g;
INSERT INTO big SELECT g, 'name' || g, g % 100, g / 2 + 0.5 FROM generate_series(1, 1000000) g;
INSERT INTO jl SELECT g, g, g % 10 FROM generate_series(1, 2000) g;
INSERT INTO jr SELECT g, (g * 7) % 2000 + 1, g % 10 FROM generate_series(1, 2000) g;
VACUUM ANALYZE;
EOF

# Scripts. pgbench keeps a client's variables from one transaction to the
# next, so n counts that client's requests (-D n=0 starts it).
ROW="'name', 7, 1.5"
cat >"$DIR/pk100k.sql" <<EOF
\set id random(1, 100000)
SELECT * FROM items WHERE id = :id;
EOF
cat >"$DIR/pk1m.sql" <<EOF
\set id random(1, 1000000)
SELECT * FROM grow WHERE id = :id;
EOF
cat >"$DIR/insert.sql" <<EOF
\set n :n + 1
\set id 1000000000 * (:client_id + 1) + :n
INSERT INTO items_one VALUES (:id, $ROW);
EOF
# insert_100 TABLE FIRST-ID-EXPRESSION: a script of one 100-row INSERT with
# literal ids from the expression on.
insert_100() {
  local i
  echo "\\set n :n + 1"
  echo "\\set b $2"
  for i in $(seq 0 99); do echo "\\set i$i :b + $i"; done
  printf 'INSERT INTO %s VALUES ' "$1"
  for i in $(seq 0 99); do
    [ "$i" -gt 0 ] && printf ', '
    printf "(:i%d, %s)" "$i" "$ROW"
  done
  echo ";"
}
insert_100 items_batch "1000000000 * (:client_id + 1) + :n * 100" >"$DIR/insert100.sql"

# rate NAME SCRIPT ROWS-PER-REQUEST PGBENCH-ARGS...: one throughput line.
rate() {
  local name=$1 script=$2 rows=$3 out tps
  shift 3
  out=$("$PGBENCH" "${CONN[@]}" -n -M simple -c "$CLIENTS" -j "$CLIENTS" -D n=0 "$@" -f "$script" bench 2>&1)
  tps=$(echo "$out" | sed -nE 's/^tps = ([0-9.]+).*/\1/p' | head -1)
  if [ -z "$tps" ] || echo "$out" | grep -qE 'number of failed transactions: [1-9]|aborted'; then
    echo "postgresql $name $CLIENTS clients: failed: $(echo "$out" | grep -iE 'error|abort' | head -1)"
    return
  fi
  awk -v w="$name" -v c="$CLIENTS" -v t="$tps" -v r="$rows" \
    'BEGIN { printf "postgresql %s %d clients: %.0f requests/s, %.0f rows/s\n", w, c, t, t * r }'
}

say "pk-select-100k: primary-key SELECT over items (100,000 rows), $CLIENTS clients, $SECS s"
rate pk-select-100k "$DIR/pk100k.sql" 1 -T "$SECS"
say "insert: single-row INSERT into items_one, $CLIENTS clients, $SECS s"
rate insert "$DIR/insert.sql" 1 -T "$SECS"
say "insert-100: 100-row INSERT into items_batch, $CLIENTS clients, $SECS s"
rate insert-100 "$DIR/insert100.sql" 100 -T "$SECS"

# Growth: ten runs of 1,000 requests; in run t client c writes the ids
# t*100,000 + c*(100,000/CLIENTS) + 1 onwards, so grow ends with ids 1..1,000,000.
say "grow: 100-row INSERTs into grow from 0 to 1,000,000 rows, $CLIENTS clients"
for t in $(seq 0 9); do
  insert_100 grow "$((t * 100000 + 1)) + :client_id * $((100000 / CLIENTS)) + (:n - 1) * 100" \
    >"$DIR/grow.sql"
  rate "grow-$((t + 1))" "$DIR/grow.sql" 100 -t $((1000 / CLIENTS))
  say "grow: tenth $((t + 1)) of 10 done"
done
COUNT=$(sql -Atc "SELECT count(*) FROM grow")
[ "$COUNT" = 1000000 ] || say "grow holds $COUNT rows, not 1,000,000"
sql -c "VACUUM ANALYZE grow"
say "pk-select-1m: primary-key SELECT over grow (1,000,000 rows), $CLIENTS clients, $SECS s"
rate pk-select-1m "$DIR/pk1m.sql" 1 -T "$SECS"

# query NAME SQL: one warm-up, then QUERIES runs on one connection; mean time.
query() {
  local name=$1 out ms
  echo "$2;" >"$DIR/query.sql"
  say "$name: $2 (1 warm-up, $QUERIES timed)"
  sql -o /dev/null -c "$2" || { echo "postgresql $name 1 clients: failed"; return; }
  out=$("$PGBENCH" "${CONN[@]}" -n -M simple -c 1 -t "$QUERIES" -f "$DIR/query.sql" bench 2>&1)
  ms=$(echo "$out" | sed -nE 's/^latency average = ([0-9.]+) ms.*/\1/p' | head -1)
  if [ -z "$ms" ]; then
    echo "postgresql $name 1 clients: failed: $(echo "$out" | grep -iE 'error|abort' | head -1)"
  else
    echo "postgresql $name 1 clients: $ms ms per query"
  fi
}
query join "SELECT * FROM jl a JOIN jr b ON a.k = b.k"
query group-order "SELECT qty, COUNT(*), SUM(price) FROM grp GROUP BY qty ORDER BY qty"
query group "SELECT qty, COUNT(*), SUM(price) FROM grp GROUP BY qty"
for t in items:100k big:1m; do
  query "topn-${t#*:}" "SELECT id, price FROM ${t%%:*} ORDER BY price DESC LIMIT 10"
  query "group-${t#*:}" "SELECT qty, COUNT(*), SUM(price) FROM ${t%%:*} GROUP BY qty"
done
exit 0
