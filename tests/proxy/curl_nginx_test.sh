#!/usr/bin/env bash
# lumaview-proxy between curl and nginx on 127.0.0.1, so that a client and a server we did not write
# agree with it: large bodies both ways, TLS tunnels, concurrency, the 504 after three failed connects,
# a clean SIGTERM with every counter at zero. Exits 0, 77 when a peer is missing, 1 on a failure.

set -u -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/testlib.sh"

PROXY_BIN=${1:-}
if [[ -z "$PROXY_BIN" || ! -x "$PROXY_BIN" ]]; then
    echo "usage: $0 PATH-TO-lumaview-proxy (got '${PROXY_BIN}')" >&2
    exit 2
fi
PROXY_BIN=$(readlink -f "$PROXY_BIN")
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null || true)
require_tools curl openssl cmp ss "${NGINX:-nginx}"

begin_test peers proxy.log nginx-error.log

mkdir -p "$WORK/www/dav" "$WORK/tmp" "$WORK/out"
printf 'hello through the proxy\n' > "$WORK/www/small.txt"
head -c $((5 * 1024 * 1024)) /dev/urandom > "$WORK/www/big.bin"
head -c $((1024 * 1024)) /dev/urandom > "$WORK/upload.bin"
# The certificate names 127.0.0.1, so curl verifies it with --cacert: a
# tunnel that reached anything but this nginx would fail the handshake.
make_cert "$WORK" 127.0.0.1 IP:127.0.0.1 ||
    fail "openssl could not make a certificate: $(cat "$WORK/openssl.log")"

write_nginx_conf() {
    nginx_conf_head "$WORK" warn 256
    cat <<EOC
    access_log off;
    # Upstream connections stay open long after a response, so a proxy that
    # waits for the close instead of framing the response shows up.
    keepalive_timeout 120s;
    client_max_body_size 8m;
    server {
        listen 127.0.0.1:$HTTP_PORT;
        listen 127.0.0.1:$TLS_PORT ssl;
        ssl_certificate $WORK/cert.pem;
        ssl_certificate_key $WORK/key.pem;
        root $WORK/www;
        location / { }
        location /dav/ { dav_methods PUT; }
    }
}
EOC
}
launch_nginx "$NGINX" write_nginx_conf || fail "nginx could not start"
PIDS+=("$NGINX_PID")

printf 'LogLevel=D\nDebugUseFixedLocalPort=0\nShowStatsOnAccept=1\n' > "$WORK/proxy.conf"
"$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>"$WORK/proxy.log" &
PROXY_PID=$!
PIDS+=("$PROXY_PID")
PROXY_PORT=$(port_of "$PROXY_PID" "$WORK/proxy.out") || fail "the proxy reported no port: $(cat "$WORK/proxy.out")"
[[ $(wc -l < "$WORK/proxy.out") -eq 1 ]] || fail "the proxy printed more than its port line: $(cat "$WORK/proxy.out")"

ORIGIN=http://127.0.0.1:$HTTP_PORT
TLS_ORIGIN=https://127.0.0.1:$TLS_PORT
CURL=(curl -sS --max-time 30 --noproxy '' -x "http://127.0.0.1:$PROXY_PORT")
GET=("${CURL[@]}" --fail)
TLS=(--cacert "$WORK/cert.pem")

# Transfers at once in both modes, down and up; each must get its own bytes.
pids=()
for i in 1 2 3 4; do
    "${GET[@]}" -o "$WORK/out/par-http-$i" "$ORIGIN/big.bin" & pids+=($!)
    "${GET[@]}" "${TLS[@]}" -o "$WORK/out/par-tls-$i" "$TLS_ORIGIN/big.bin" & pids+=($!)
    "${GET[@]}" -o "$WORK/out/par-small-$i" "$ORIGIN/small.txt" & pids+=($!)
done
"${GET[@]}" -o /dev/null -T "$WORK/upload.bin" "$ORIGIN/dav/upload.bin" & pids+=($!)
"${GET[@]}" "${TLS[@]}" -o /dev/null -T "$WORK/upload.bin" "$TLS_ORIGIN/dav/tls-upload.bin" & pids+=($!)
for pid in "${pids[@]}"; do
    wait "$pid" || fail "one of the concurrent transfers failed"
done
for i in 1 2 3 4; do
    cmp -s "$WORK/www/big.bin" "$WORK/out/par-http-$i" || fail "plain transfer $i arrived altered"
    cmp -s "$WORK/www/big.bin" "$WORK/out/par-tls-$i" || fail "tunnelled transfer $i arrived altered"
    cmp -s "$WORK/www/small.txt" "$WORK/out/par-small-$i" || fail "small transfer $i arrived altered"
done
cmp -s "$WORK/upload.bin" "$WORK/www/dav/upload.bin" || fail "the plain PUT of 1 MiB reached nginx altered"
cmp -s "$WORK/upload.bin" "$WORK/www/dav/tls-upload.bin" || fail "the tunnelled PUT reached nginx altered"
pass "14 concurrent transfers (5 MiB plain and tunnelled, small, 1 MiB PUTs), all identical"

# The exact answer to CONNECT, read off the wire.
exec 3<>"/dev/tcp/127.0.0.1/$PROXY_PORT" || fail "can not connect to the proxy"
printf 'CONNECT 127.0.0.1:%s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\n\r\n' "$TLS_PORT" "$TLS_PORT" >&3
IFS= read -r -t 10 status_line <&3 || fail "no answer to CONNECT"
exec 3<&- 3>&-
[[ "$status_line" == $'HTTP/1.0 200 Connection established\r' ]] || fail "CONNECT answered with '$status_line'"
pass "CONNECT answered with 'HTTP/1.0 200 Connection established'"

DEAD_PORT=$(free_port) || fail "no free port to leave closed"
"${CURL[@]}" -i -o "$WORK/out/dead.txt" "http://127.0.0.1:$DEAD_PORT/x" ||
    fail "curl to a closed port through the proxy failed"
printf 'HTTP/1.0 504 Gateway Timeout\r\nProxy-Agent: Skylark/2.0\r\n\r\n' > "$WORK/out/dead.want"
cmp -s "$WORK/out/dead.want" "$WORK/out/dead.txt" || fail "a closed upstream port did not give exactly one 504:
$(od -c "$WORK/out/dead.txt" | head -n 8)"
code=$("${CURL[@]}" -o /dev/null -w '%{http_connect}' "https://127.0.0.1:$DEAD_PORT/x" 2>/dev/null)
[[ "$code" == 504 ]] || fail "CONNECT to a closed port: expected 504, got '$code'"
pass "closed upstream port: exactly one 504, for a request and for CONNECT"

stop_and_status "$PROXY_PID"
status=$?
[[ "$status" -eq 0 ]] || fail "the proxy exited with status $status after SIGTERM (124: still running after 10 s)"
final=$(grep 'stats: {' "$WORK/proxy.log" | tail -n 1)
[[ "$final" == *"pxyctx=0, remoteconn=0} dnsreq=0,"* ]] || fail "contexts, connections or lookups left: $final"
# Only the two requests to the closed port fail to connect, each tried three times.
[[ "$final" == *"remotefail=6"* ]] || fail "expected 6 failed connects (2 requests x 3 tries): $final"
[[ $(grep -c 'httpPool=' "$WORK/proxy.log") -eq $(grep -c 'httpPool=0(0)' "$WORK/proxy.log") ]] ||
    fail "an upstream connection was pooled though keep-alive is off"
pass "SIGTERM: exit 0, final stats $final"

echo "PASS: $CHECKS checks"
