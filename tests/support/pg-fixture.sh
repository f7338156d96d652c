#!/usr/bin/env bash
# Starts or stops the PostgreSQL 15 server the database tests use: a throw-away cluster on
# 127.0.0.1:$KLV_TEST_PG_PORT with password authentication over TCP, and the role the updater
# logs in with (it may create databases, so each test makes its own). PostgreSQL refuses to run
# as root, so as root the cluster belongs to the system user postgres.
#   pg-fixture.sh start|stop
# KLV_TEST_PG_FSYNC=on makes a server that flushes its commits, as a production one does
# (benchmarks); the tests run without.
set -euo pipefail

port=${KLV_TEST_PG_PORT:-55432}
fsync=${KLV_TEST_PG_FSYNC:-off}
dir=/tmp/klv-pgtest-$(id -u)-$port
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$bindir" ] || { echo "PostgreSQL server binaries not found" >&2; exit 1; }

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop() {
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

case "${1:-}" in
start)
    stop
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
    as_owner "$bindir/initdb" -D "$dir/data" -U postgres --auth-local=trust --auth-host=scram-sha-256 \
        -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=$fsync -c max_connections=60" start >/dev/null ||
        { cat "$dir/server.log" >&2; exit 1; }
    as_owner "$bindir/psql" -h "$dir" -p "$port" -U postgres -d postgres -q -v ON_ERROR_STOP=1 \
        -c "create role orvant login createdb password 'wimbrel'"
    echo "PostgreSQL ready on 127.0.0.1:$port"
    ;;
stop)
    stop
    ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
