#!/usr/bin/env bash
# A real squid for the tests, on 127.0.0.1 only, in front of the nginx fixture; run by CTest as
# the fixture "squid" (squid-fixture.cmake wires it; klv_use_squid(<test>) makes a test require it
# and nginx).
#
#   squid-fixture.sh start <dir> <open port> <login port> <nginx http port> <nginx https port>
#   squid-fixture.sh stop  <dir>
#
# One squid with two ports:
#   <open port>           forwards without asking who is calling
#   <login port>          answers 407 until Basic credentials of the fixed test user come along
#                         (KLV_SQUID_USER / KLV_SQUID_PASSWORD; the password needs percent-encoding
#                         in a URL)
# Both forward only to the update server's name updates.klv.test (or 127.0.0.1, localhost) on the
# two nginx ports, and tunnel (CONNECT) only to the https one; anything else gets 403. That name
# resolves to 127.0.0.1 inside squid only, so a client that goes around the proxy cannot reach it.
# nginx's certificate names it too.
# Everything lives below <dir> (the build folder's squid-fixture/):
#   access.log            one line per request (a CONNECT tunnel's line when it closes):
#                         addr local-port user method url status, e.g.
#                         127.0.0.1 26001 kantoor GET http://updates.klv.test:23312/a.txt 200
#                         (user "-" when none was given or accepted)
#   passwd                the proxy's users; tests may append "name:$(openssl passwd -apr1 secret)"
#   cache.log             squid's own messages
# Works as root (squid then runs as the proxy user, which gets <dir>; if that user cannot reach
# <dir>, <dir> is a link to a folder in /tmp) and as a normal user. A start stops a squid left
# behind by an interrupted run first.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start or stop}
dir=${2:?fixture folder}
user=kantoor
password='Pr0xy:Geh@im'
PATH=$PATH:/usr/sbin:/sbin

stop() {
    [ -f "$dir/squid.pid" ] || return 0
    local pid
    pid=$(cat "$dir/squid.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        # Even told to wait for nobody, squid takes some 3 seconds to wind down. Its master leads a
        # process group of its own with the worker and the login helpers.
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$pid" 2>/dev/null || true
    fi
    rm -f "$dir/squid.pid"
}

case "$cmd" in
stop)
    stop
    ;;
start)
    open_port=${3:?open port}
    login_port=${4:?login port}
    http_port=${5:?nginx http port}
    https_port=${6:?nginx https port}
    stop
    [ -L "$dir" ] && rm -rf "$(readlink "$dir")"
    rm -rf "$dir"
    mkdir -p "$dir"

    ncsa_auth=""
    for d in /usr/lib/squid /usr/lib64/squid /usr/libexec/squid; do
        [ -x "$d/basic_ncsa_auth" ] && ncsa_auth=$d/basic_ncsa_auth && break
    done
    [ -n "$ncsa_auth" ] || { echo "basic_ncsa_auth of squid not found" >&2; exit 1; }

    # Squid refuses to run as root: started by root, it switches to the proxy user, who must be
    # able to reach and write the folder.
    if [ "$(id -u)" -eq 0 ]; then
        run_user=proxy
        id proxy >/dev/null 2>&1 || run_user=nobody
        chown "$run_user:" "$dir"
        if ! runuser -u "$run_user" -- test -w "$dir"; then
            rmdir "$dir"
            ln -s "$(mktemp -d /tmp/klv-squid.XXXXXX)" "$dir"
        fi
    else
        run_user=$(id -un)
    fi
    dir=$(cd "$dir" && pwd -P)

    printf '%s:%s\n' "$user" "$(openssl passwd -apr1 "$password")" >"$dir/passwd"
    printf '127.0.0.1 updates.klv.test localhost\n' >"$dir/hosts"
    sed -e "s|@DIR@|$dir|g" -e "s|@OPEN_PORT@|$open_port|g" -e "s|@LOGIN_PORT@|$login_port|g" \
        -e "s|@HTTP_PORT@|$http_port|g" -e "s|@HTTPS_PORT@|$https_port|g" \
        -e "s|@RUN_USER@|$run_user|g" -e "s|@NCSA_AUTH@|$ncsa_auth|g" \
        "$here/squid-fixture.conf.in" >"$dir/squid.conf"
    [ "$(id -u)" -eq 0 ] && chown -R "$run_user:" "$dir"

    # Squid names its shared memory after the service name: one of its own per folder, so that
    # several build folders can test at the same time, and leftovers of a killed squid go first.
    service=klv$(printf '%s' "$dir" | md5sum | cut -c1-8)
    rm -f /dev/shm/"$service"-* 2>/dev/null || true
    if ! squid -n "$service" -f "$dir/squid.conf" >"$dir/start.log" 2>&1; then
        echo "squid did not start:" >&2
        cat "$dir/start.log" "$dir/cache.log" >&2 2>/dev/null || true
        exit 1
    fi
    # Ready once squid says it listens on both ports (a trial connection would show in access.log).
    for port in "$open_port" "$login_port"; do
        for i in $(seq 100); do
            grep -q "Accepting HTTP Socket connections at .* local=127.0.0.1:$port " "$dir/cache.log" 2>/dev/null && break
            if [ "$i" -eq 100 ] || grep -qE "FATAL|Cannot bind" "$dir/cache.log" 2>/dev/null; then
                echo "squid does not listen on port $port (in use?):" >&2
                cat "$dir/cache.log" >&2 || true
                stop
                exit 1
            fi
            sleep 0.1
        done
    done
    echo "squid proxies on http://127.0.0.1:$open_port (open) and http://127.0.0.1:$login_port" \
        "(login $user) to nginx at updates.klv.test:$http_port/$https_port"
    ;;
*)
    echo "usage: $0 start <dir> <open port> <login port> <nginx http port> <nginx https port> | stop <dir>" >&2
    exit 2
    ;;
esac
