#!/usr/bin/env bash
# Drives a running lumaview-proxy with curl against a local nginx, so that a
# client and a server we did not write agree with the proxy: plain HTTP
# forwarding (rewritten head, bodies both ways, Content-Length and chunked
# framing), CONNECT tunnels carrying TLS, the 504 for a dead upstream, a
# clean shutdown with every context and remote connection released, and a
# shortage of descriptors that pauses accepting. Framing edge cases nginx
# does not produce are covered by NcmProxyContextTest.
#
# Usage: curl_nginx_test.sh PATH-TO-lumaview-proxy
# Exits 0 on success, 77 when a peer program is missing (CTest skips), and
# 1 with a message on the first failure. Everything stays on 127.0.0.1.
# LUMAVIEW_KEEP_TMP=1 keeps the working directory for a post-mortem.

set -u -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/testlib.sh"

PROXY_BIN=${1:-}
if [[ -z "$PROXY_BIN" || ! -x "$PROXY_BIN" ]]; then
    echo "usage: $0 PATH-TO-lumaview-proxy (got '${PROXY_BIN}')" >&2
    exit 2
fi
PROXY_BIN=$(readlink -f "$PROXY_BIN")

NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null || true)
for tool in curl openssl cmp ss; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed" >&2
        exit 77
    fi
done
if [[ -z "$NGINX" ]]; then
    echo "SKIP: nginx is not installed" >&2
    exit 77
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-peers.XXXXXX")
NGINX_PID=
PROXY_PID=
CHECKS=0

cleanup() {
    local status=$?
    [[ -n "$PROXY_PID" ]] && stop_pids KILL "$PROXY_PID"
    [[ -n "$NGINX_PID" ]] && stop_pids QUIT "$NGINX_PID"
    if [[ $status -ne 0 ]]; then
        tail_logs 40 "$WORK" proxy.log
        tail_logs 20 "$WORK" nginx-error.log
    fi
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- content
mkdir -p "$WORK/www/dav" "$WORK/tmp" "$WORK/out"
printf 'hello through the proxy\n' > "$WORK/www/small.txt"
head -c $((5 * 1024 * 1024)) /dev/urandom > "$WORK/www/big.bin"
# Compressible text: nginx gzips it on the fly and sends it chunked.
seq 1 40000 | sed 's/^/line of text number /' > "$WORK/www/text.txt"
head -c $((1024 * 1024)) /dev/urandom > "$WORK/upload.bin"

# The certificate names 127.0.0.1, so curl verifies it with --cacert: a
# tunnel that reached anything but this nginx would fail the handshake.
make_cert "$WORK" 127.0.0.1 IP:127.0.0.1 ||
    fail "openssl could not make a certificate: $(cat "$WORK/openssl.log")"

write_nginx_conf() {
    nginx_conf_head "$WORK" warn 256
    cat <<EOF
    log_format seen '\$request_method \$request_uri \$server_protocol '
                    'xncm=[\$http_x_ncm_proxy] pconn=[\$http_proxy_connection] '
                    'pauth=[\$http_proxy_authorization] conn=[\$http_connection] '
                    'custom=[\$http_x_lumaview_check]';
    access_log $WORK/access.log seen;
    types { text/plain txt; }
    default_type application/octet-stream;
    # Keep upstream connections open long after a response, so a proxy
    # that waits for the close instead of framing the response shows up.
    keepalive_timeout 120s;
    gzip on;
    gzip_types text/plain;
    gzip_min_length 1;
    gzip_proxied any;
    client_max_body_size 8m;
    client_body_buffer_size 1m;
    server {
        listen 127.0.0.1:$HTTP_PORT;
        listen 127.0.0.1:$TLS_PORT ssl;
        ssl_certificate $WORK/cert.pem;
        ssl_certificate_key $WORK/key.pem;
        root $WORK/www;
        location / { }
        location /dav/ { dav_methods PUT DELETE; }
        location = /nocontent { return 204; }
    }
}
EOF
}

# ---------------------------------------------------------------- nginx
launch_nginx "$NGINX" write_nginx_conf || fail "nginx could not start"

# ---------------------------------------------------------------- proxy
start_proxy() {
    printf 'LogLevel=D\nDebugUseFixedLocalPort=0\nShowStatsOnAccept=1\n' > "$WORK/proxy.conf"
    "$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>"$WORK/proxy.log" &
    PROXY_PID=$!
    PROXY_PORT=$(port_of "$PROXY_PID" "$WORK/proxy.out")
    [[ -n "$PROXY_PORT" ]] || fail "the proxy printed no port line: $(cat "$WORK/proxy.out")"
    [[ $(wc -l < "$WORK/proxy.out") -eq 1 ]] || fail "the proxy printed more than one line on stdout: $(cat "$WORK/proxy.out")"
    [[ "$PROXY_PORT" -gt 0 ]] || fail "the proxy could not listen (port = $PROXY_PORT)"
    is_listening "$PROXY_PORT" || fail "nothing listens on the proxy's port $PROXY_PORT"
}

start_proxy
echo "nginx http=$HTTP_PORT https=$TLS_PORT, lumaview-proxy=$PROXY_PORT"

PROXY=http://127.0.0.1:$PROXY_PORT
ORIGIN=http://127.0.0.1:$HTTP_PORT
TLS_ORIGIN=https://127.0.0.1:$TLS_PORT
CURL=(curl -sS --max-time 30 --noproxy '')

# Runs curl through the proxy; prints "<http_code> <http_connect>".
through() {
    "${CURL[@]}" -x "$PROXY" -w '%{http_code} %{http_connect}' "$@"
}

expect_status() {
    local what=$1 want=$2 got=$3
    [[ "$got" == "$want" ]] || fail "$what: expected status '$want', got '$got'"
}

# Last access-log line for a request URI; nginx writes it when the response is done.
seen_by_nginx() {
    local uri=$1
    for _ in $(seq 20); do
        local line
        line=$(grep -F " $uri HTTP/" "$WORK/access.log" | tail -n 1)
        if [[ -n "$line" ]]; then
            echo "$line"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# ---------------------------------------------------------------- plain HTTP
code=$(through -o "$WORK/out/small.txt" "$ORIGIN/small.txt") || fail "curl GET small.txt failed"
expect_status "GET small.txt" "200 000" "$code"
cmp -s "$WORK/www/small.txt" "$WORK/out/small.txt" || fail "small.txt arrived altered"
pass "GET of a small file over plain HTTP"

code=$(through -o "$WORK/out/big.bin" "$ORIGIN/big.bin") || fail "curl GET big.bin failed"
expect_status "GET big.bin" "200 000" "$code"
cmp "$WORK/www/big.bin" "$WORK/out/big.bin" || fail "big.bin (5 MiB, Content-Length framed) arrived altered"
pass "GET of 5 MiB over plain HTTP, identical"

code=$(through -D "$WORK/out/text.head" --compressed -o "$WORK/out/text.txt" "$ORIGIN/text.txt") ||
    fail "curl GET text.txt (chunked) failed"
expect_status "GET text.txt" "200 000" "$code"
grep -qi '^Transfer-Encoding: *chunked' "$WORK/out/text.head" ||
    fail "nginx did not send text.txt chunked, the check proves nothing: $(cat "$WORK/out/text.head")"
cmp -s "$WORK/www/text.txt" "$WORK/out/text.txt" || fail "chunked gzip text arrived altered"
pass "chunked gzip response, identical"

# The head nginx sees: HTTP/1.1, the proxy's mark, no proxy or hop headers,
# the client's own headers intact, the query kept.
code=$(through -o /dev/null -U 'user:secret' -H 'Connection: keep-alive' -H 'X-Lumaview-Check: kept' \
    "$ORIGIN/small.txt?q=1&r=two") || fail "curl GET with headers failed"
expect_status "GET with headers" "200 000" "$code"
line=$(seen_by_nginx "/small.txt?q=1&r=two") || fail "nginx logged no request for /small.txt?q=1&r=two"
want='GET /small.txt?q=1&r=two HTTP/1.1 xncm=[Skylark/2.0] pconn=[-] pauth=[-] conn=[-] custom=[kept]'
[[ "$line" == "$want" ]] || fail "nginx saw a different request:
  got:  $line
  want: $want"
pass "forwarded request rewritten (HTTP/1.1, proxy and Connection headers dropped, X-Ncm-Proxy added)"

# A request body forwarded to nginx and read back: PUT, then GET.
code=$(through -o /dev/null -T "$WORK/upload.bin" "$ORIGIN/dav/upload.bin") || fail "curl PUT failed"
expect_status "PUT /dav/upload.bin" "201 000" "$code"
cmp -s "$WORK/upload.bin" "$WORK/www/dav/upload.bin" || fail "PUT body of 1 MiB reached nginx altered"
code=$(through -o "$WORK/out/upload.bin" "$ORIGIN/dav/upload.bin") || fail "curl GET of the upload failed"
expect_status "GET /dav/upload.bin" "200 000" "$code"
cmp -s "$WORK/upload.bin" "$WORK/out/upload.bin" || fail "uploaded file came back altered"
pass "PUT of 1 MiB stored identical by nginx and read back"

# Statuses other than 200 pass through with their bodies.
code=$(through -o "$WORK/out/missing" "$ORIGIN/missing") || fail "curl GET /missing failed"
expect_status "GET /missing" "404 000" "$code"
grep -q '404 Not Found' "$WORK/out/missing" || fail "nginx's 404 page did not arrive"
code=$(through -o /dev/null -X POST --data 'a=1' "$ORIGIN/small.txt") || fail "curl POST to a static file failed"
expect_status "POST small.txt" "405 000" "$code"
code=$(through -o /dev/null "$ORIGIN/nocontent") || fail "curl GET /nocontent failed"
expect_status "GET /nocontent" "204 000" "$code"
code=$(through -o /dev/null -I "$ORIGIN/big.bin") || fail "curl HEAD big.bin failed"
expect_status "HEAD big.bin" "200 000" "$code"
pass "404, 405, 204 and HEAD answers pass through"

# ---------------------------------------------------------------- CONNECT
TLS=(--cacert "$WORK/cert.pem")
code=$(through "${TLS[@]}" -o "$WORK/out/tls-small.txt" "$TLS_ORIGIN/small.txt") || fail "curl HTTPS small.txt failed"
expect_status "HTTPS small.txt" "200 200" "$code"
cmp -s "$WORK/www/small.txt" "$WORK/out/tls-small.txt" || fail "small.txt over the tunnel arrived altered"
pass "HTTPS through a CONNECT tunnel, certificate verified"

code=$(through "${TLS[@]}" -o "$WORK/out/tls-big.bin" "$TLS_ORIGIN/big.bin") || fail "curl HTTPS big.bin failed"
expect_status "HTTPS big.bin" "200 200" "$code"
cmp "$WORK/www/big.bin" "$WORK/out/tls-big.bin" || fail "big.bin over the tunnel arrived altered"
code=$(through "${TLS[@]}" -o /dev/null -T "$WORK/upload.bin" "$TLS_ORIGIN/dav/tls-upload.bin") || fail "curl HTTPS PUT failed"
expect_status "HTTPS PUT" "201 200" "$code"
cmp -s "$WORK/upload.bin" "$WORK/www/dav/tls-upload.bin" || fail "PUT over the tunnel reached nginx altered"
pass "5 MiB down and 1 MiB up through a CONNECT tunnel, identical"

# The exact answer to CONNECT, read off the wire.
exec 3<>"/dev/tcp/127.0.0.1/$PROXY_PORT" || fail "can not connect to the proxy"
printf 'CONNECT 127.0.0.1:%s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\n\r\n' "$TLS_PORT" "$TLS_PORT" >&3
IFS= read -r -t 10 status_line <&3 || fail "no answer to CONNECT"
exec 3<&- 3>&-
[[ "$status_line" == $'HTTP/1.0 200 Connection established\r' ]] ||
    fail "CONNECT answered with '$status_line'"
pass "CONNECT answered with 'HTTP/1.0 200 Connection established'"

# ---------------------------------------------------------------- concurrency
# Several transfers at once in both modes; each must get its own bytes.
pids=()
for i in 1 2 3 4; do
    "${CURL[@]}" -x "$PROXY" -o "$WORK/out/par-http-$i" "$ORIGIN/big.bin" & pids+=($!)
    "${CURL[@]}" -x "$PROXY" "${TLS[@]}" -o "$WORK/out/par-tls-$i" "$TLS_ORIGIN/big.bin" & pids+=($!)
    "${CURL[@]}" -x "$PROXY" -o "$WORK/out/par-small-$i" "$ORIGIN/small.txt" & pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid" || fail "one of the concurrent transfers failed"
done
for i in 1 2 3 4; do
    cmp -s "$WORK/www/big.bin" "$WORK/out/par-http-$i" || fail "concurrent plain transfer $i arrived altered"
    cmp -s "$WORK/www/big.bin" "$WORK/out/par-tls-$i" || fail "concurrent tunnelled transfer $i arrived altered"
    cmp -s "$WORK/www/small.txt" "$WORK/out/par-small-$i" || fail "concurrent small transfer $i arrived altered"
done
pass "12 concurrent transfers (plain, tunnelled, small), all identical"

# ---------------------------------------------------------------- dead upstream
DEAD_PORT=$(free_port) || fail "no free port to leave closed"
"${CURL[@]}" -i -x "$PROXY" -o "$WORK/out/dead.txt" "http://127.0.0.1:$DEAD_PORT/x" ||
    fail "curl to a closed port through the proxy failed"
printf 'HTTP/1.0 504 Gateway Timeout\r\nProxy-Agent: Skylark/2.0\r\n\r\n' > "$WORK/out/dead.want"
cmp -s "$WORK/out/dead.want" "$WORK/out/dead.txt" || fail "a closed upstream port did not give exactly one 504:
$(od -c "$WORK/out/dead.txt" | head -n 8)"
code=$("${CURL[@]}" -x "$PROXY" -o /dev/null -w '%{http_connect}' "https://127.0.0.1:$DEAD_PORT/x" 2>/dev/null)
expect_status "CONNECT to a closed port" "504" "$code"
pass "closed upstream port: exactly one 504, for a request and for CONNECT"

# ---------------------------------------------------------------- shutdown
kill -0 "$PROXY_PID" 2>/dev/null || fail "the proxy died during the test"
stop_and_status "$PROXY_PID"
status=$?
[[ "$status" -ne 124 ]] || fail "the proxy did not stop within 10 s of SIGTERM"
PROXY_PID=
[[ "$status" -eq 0 ]] || fail "the proxy exited with status $status after SIGTERM"
final=$(grep 'stats: {' "$WORK/proxy.log" | tail -n 1)
[[ "$final" == *"pxyctx=0, remoteconn=0}"* ]] || fail "contexts or remote connections left at shutdown: $final"
# Nothing but the two requests to the closed port fails to connect, and each
# of them is tried three times before the 504.
[[ "$final" == *"remotefail=6"* ]] || fail "expected 6 failed connects (2 requests x 3 tries): $final"
if grep -q 'AddressSanitizer\|runtime error:\|LeakSanitizer\|SOMETHING WRONG\|memory leaks' "$WORK/proxy.log"; then
    fail "the proxy log reports a fault: $(grep -m 5 'AddressSanitizer\|runtime error:\|LeakSanitizer\|SOMETHING WRONG\|memory leaks' "$WORK/proxy.log")"
fi
pass "SIGTERM: exit 0, final stats $final"

# ---------------------------------------------------------------- out of descriptors
# With few descriptors allowed, accepting fails with EMFILE: the proxy pauses
# accepting (one log line for the episode), keeps running, and serves again
# once descriptors are free.
# The sanitizers' runtime needs descriptors of its own (it probes memory
# through a pipe) and reports false faults without them.
if ldd "$PROXY_BIN" 2>/dev/null | grep -q libubsan; then
    echo "skip: out of descriptors, under the sanitizers"
else
    printf 'LogLevel=I\nDebugUseFixedLocalPort=0\n' > "$WORK/fail.conf"
    (ulimit -n 24 && exec "$PROXY_BIN" --config "$WORK/fail.conf") >"$WORK/fail.out" 2>"$WORK/fail.log" &
    PROXY_PID=$!
    FAIL_PORT=$(port_of "$PROXY_PID" "$WORK/fail.out")
    [[ "$FAIL_PORT" -gt 0 ]] || fail "the descriptor-starved proxy did not report a port"
    held=()
    for _ in $(seq 40); do
        { exec {fd}<>"/dev/tcp/127.0.0.1/$FAIL_PORT"; } 2>/dev/null || break
        held+=("$fd")
    done
    sleep 1.5
    kill -0 "$PROXY_PID" 2>/dev/null || fail "the proxy exited when descriptors ran out"
    # Retries during the shortage say nothing more.
    paused=$(grep -c 'accept paused' "$WORK/fail.log" || true)
    [[ "$paused" -eq 1 ]] || fail "want one 'accept paused' line for the shortage, got $paused"
    for fd in "${held[@]}"; do exec {fd}>&-; done
    "${CURL[@]}" --retry 5 --retry-all-errors --retry-delay 1 -x "127.0.0.1:$FAIL_PORT" -o "$WORK/out/after-emfile" \
        "$ORIGIN/small.txt" || fail "no answer once descriptors were free again"
    cmp -s "$WORK/out/after-emfile" "$WORK/www/small.txt" || fail "wrong answer after the descriptor shortage"
    stop_and_status "$PROXY_PID" || fail "the proxy did not exit cleanly after the descriptor shortage"
    PROXY_PID=
    pass "out of descriptors (EMFILE): accepting pauses, resumes, one log line"
fi

echo "PASS: $CHECKS checks"
