#!/usr/bin/env bash
# A real nginx for the tests, on 127.0.0.1 only, run by CTest as the fixture "nginx"
# (nginx-fixture.cmake wires it; klv_use_nginx(<test>) makes a test require it).
#
#   nginx-fixture.sh start <dir> <http port> <https port>
#   nginx-fixture.sh stop  <dir>
#
# Everything lives below <dir> (the build folder's nginx-fixture/):
#   docroot/              served at / on both ports; tests put their files in a folder of their
#                         own below it (tests run in parallel)
#   htpasswd              basic-auth users, reread by nginx on every request; holds the fixed
#                         test user (KLV_NGINX_USER / KLV_NGINX_PASSWORD). Tests may append
#                         lines of their own: "name:$(openssl passwd -apr1 secret)"
#   logs/access.log       one line per request:
#                         addr "user" "GET /path HTTP/1.1" status bytes "user agent" "accept"
#                         "content type" "cookies" c=<connection serial number>
#   tls/other-ca.pem      an authority of the same name that issued nothing
#   tls/ca.pem            the test certificate authority (made anew, or taken from KLV_NGINX_CA_DIR);
#                         tls/server.pem is issued by it for 127.0.0.1, localhost and
#                         updates.klv.test (the update server's name behind the squid fixture)
# Every location asks for basic authentication except the redirecting ones, which answer first:
#   /cookie/set/...       files that come with Set-Cookie: klvsession=fixture-cookie
#   /cookie/check/...     files that answer 403 unless that cookie is sent back
#   /redirect/<p>         302 to /<p> on the same server
#   /to-https/<p>         302 to https://127.0.0.1:<https port>/<p>
#   /to-http/<p>          302 to http://127.0.0.1:<http port>/<p>
#   /to-localhost/<p>     302 to http://localhost:<http port>/<p>
# Works as root (workers then run as root too, so that build folders of any mode are readable)
# and as a normal user. A start stops an nginx left behind by an interrupted run first.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start or stop}
dir=${2:?fixture folder}
user=klvtest
password='Kl1-Test:Key'

stop() {
    [ -f "$dir/nginx.pid" ] || return 0
    local pid
    pid=$(cat "$dir/nginx.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -QUIT "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/nginx.pid"
}

case "$cmd" in
stop)
    stop
    ;;
start)
    http_port=${3:?http port}
    https_port=${4:?https port}
    stop
    rm -rf "$dir"
    mkdir -p "$dir"/{docroot,logs,tmp,tls} "$dir"/docroot/{cookie/set,cookie/check,supports,public}
    dir=$(cd "$dir" && pwd)

    # A certificate authority of our own (or the one in KLV_NGINX_CA_DIR, ca.pem and ca.key, which a
    # build may trust already) and a server certificate it issued.
    (
        cd "$dir/tls"
        if [ -n "${KLV_NGINX_CA_DIR:-}" ]; then
            cp "$KLV_NGINX_CA_DIR/ca.pem" "$KLV_NGINX_CA_DIR/ca.key" .
        else
            openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
                -subj "/CN=AutoUpdate test CA" -keyout ca.key -out ca.pem \
                -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
        fi
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -subj "/CN=127.0.0.1" -keyout server.key -out server.csr 2>/dev/null
        printf 'subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:updates.klv.test\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >server.ext
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
            -extfile server.ext -out server.pem 2>/dev/null
        # An authority that issued nothing here: trusting it must not make the server trusted.
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
            -subj "/CN=AutoUpdate test CA" -keyout other-ca.key -out other-ca.pem \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    )
    printf '%s:%s\n' "$user" "$(openssl passwd -apr1 "$password")" >"$dir/htpasswd"
    echo "session cookie set" >"$dir/docroot/cookie/set/set.txt"
    echo "session cookie seen" >"$dir/docroot/cookie/check/check.txt"
    chmod -R a+rX "$dir"

    user_line=""
    [ "$(id -u)" -eq 0 ] && user_line="user root root;"
    sed -e "s|@DIR@|$dir|g" -e "s|@HTTP_PORT@|$http_port|g" -e "s|@HTTPS_PORT@|$https_port|g" \
        -e "s|@USER_LINE@|$user_line|" "$here/nginx-fixture.conf.in" >"$dir/nginx.conf"
    if ! nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/logs/error.log"; then
        echo "nginx did not start (ports $http_port/$https_port in use?):" >&2
        cat "$dir/logs/error.log" >&2 || true
        exit 1
    fi
    for _ in $(seq 50); do
        [ -s "$dir/nginx.pid" ] && break
        sleep 0.1
    done
    echo "nginx serves $dir/docroot on http://127.0.0.1:$http_port and https://127.0.0.1:$https_port"
    ;;
*)
    echo "usage: $0 start <dir> <http port> <https port> | stop <dir>" >&2
    exit 2
    ;;
esac
