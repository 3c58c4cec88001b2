#!/usr/bin/env bash
# qai schema against a real PostgreSQL server: a throwaway cluster in a
# temporary directory, reached over a Unix socket there and run by an
# unprivileged user (the server refuses root). It is stopped and removed at
# the end, whatever happens.
#
#   postgres_schema.sh QAI FIXTURES
set -euo pipefail
qai=$1
fixtures=$2
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bindir/initdb" ] || { echo "postgres_schema: no PostgreSQL server installed (scripts/setup)" >&2; exit 1; }

work=$(mktemp -d)
as_server() {
  if [ "$(id -u)" = 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}
cleanup() {
  as_server "$bindir/pg_ctl" -D "$work/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
[ "$(id -u)" = 0 ] && chown nobody "$work"

as_server "$bindir/initdb" -D "$work/data" -A trust -U postgres --no-sync >/dev/null
as_server "$bindir/pg_ctl" -D "$work/data" -l "$work/data/server.log" -w \
  -o "-k $work -c listen_addresses= -c fsync=off" start >/dev/null
"$bindir/psql" -h "$work" -U postgres -d postgres -q -c "CREATE DATABASE shop" >/dev/null
"$bindir/psql" -h "$work" -U postgres -d shop -q -v ON_ERROR_STOP=1 < "$fixtures/postgres.sql" >/dev/null

database="postgresql:///shop?host=$work&user=postgres"
status=0
"$qai" schema "$database" > "$work/structure.json"
diff -u "$fixtures/postgres_structure.json" "$work/structure.json" || status=1
# The description renders as the library renders the same JSON, read directly
# from the database or from the file.
"$qai" prompt --schema "$database" > "$work/direct.txt"
"$qai" prompt --schema "$work/structure.json" > "$work/from_file.txt"
diff -u "$fixtures/postgres_prompt.txt" "$work/direct.txt" || status=1
cmp -s "$work/direct.txt" "$work/from_file.txt" || { echo "prompt differs between database and file" >&2; status=1; }

# A database that is not there, and a server that is not running: one clear line each.
secrets=()
source "$(dirname "$0")/expect_error.sh"
expect_error 'qai: cannot connect to PostgreSQL: ' "$qai" schema "postgresql:///nosuchdb?host=$work&user=postgres"
as_server "$bindir/pg_ctl" -D "$work/data" -m fast -w stop >/dev/null
expect_error 'qai: cannot connect to PostgreSQL: ' "$qai" schema "$database"
exit $status
