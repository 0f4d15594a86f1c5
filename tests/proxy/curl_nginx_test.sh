#!/usr/bin/env bash
# curl through lumaview-proxy to a local nginx, so that a client and a server we did not write agree
# with it: straight over TCP (large bodies both ways, TLS tunnels, concurrency, the exact CONNECT
# answer, the 504 after three failed connects) and over KCP to lumaview-relay (a slow reader, many
# plain and tunnelled transfers at once, TLS routed by the ClientHello's server name, and a download
# and a tunnelled upload through lumaview-lossy at 10% loss). Ends with clean shutdowns, every
# counter at zero.
# Usage: curl_nginx_test.sh LUMAVIEW-PROXY LUMAVIEW-RELAY LUMAVIEW-LOSSY
# Exits 0 on success, 77 when a peer program is missing, 1 on the first
# failure. Servers listen on 127.0.6.x only; LUMAVIEW_KEEP_TMP=1 keeps files.

set -u -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/testlib.sh"

if [[ $# -ne 3 ]]; then
    echo "usage: $0 LUMAVIEW-PROXY LUMAVIEW-RELAY LUMAVIEW-LOSSY" >&2
    exit 2
fi
PROXY_BIN=$(readlink -f "$1")
RELAY_BIN=$(readlink -f "$2")
LOSSY_BIN=$(readlink -f "$3")
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null || true)
require_tools curl openssl cmp ss "${NGINX:-nginx}"
ORIGIN_IP=127.0.6.3
RELAY_IP=127.0.6.1

begin_test peers proxy.log relay.log lossy.log nginx-error.log

# ---------------------------------------------------------------- content
mkdir -p "$WORK/www/dav" "$WORK/tmp" "$WORK/out"
printf 'hello over kcp\n' > "$WORK/www/small.txt"
head -c $((8 * 1024 * 1024)) /dev/urandom > "$WORK/www/8m.bin"
head -c $((4 * 1024 * 1024)) "$WORK/www/8m.bin" > "$WORK/www/4m.bin"
head -c $((2 * 1024 * 1024)) /dev/urandom > "$WORK/upload.bin"

# The certificate names the tunnels' hosts, so curl verifies it with --cacert:
# a tunnel routed anywhere but this nginx fails the handshake.
make_cert "$WORK" tls.relay.test DNS:tls.relay.test,DNS:tls.lossy.test,IP:$ORIGIN_IP ||
    fail "openssl could not make a certificate: $(cat "$WORK/openssl.log")"

# ---------------------------------------------------------------- nginx
write_nginx_conf() {
    nginx_conf_head "$WORK" warn 512
    cat <<EOF
    access_log off;
    default_type application/octet-stream;
    keepalive_timeout 120s;
    client_max_body_size 64m;
    server {
        listen $ORIGIN_IP:$HTTP_PORT;
        listen $ORIGIN_IP:$TLS_PORT ssl;
        ssl_certificate $WORK/cert.pem;
        ssl_certificate_key $WORK/key.pem;
        root $WORK/www;
        location /dav/ { dav_methods PUT; }
    }
}
EOF
}

launch_nginx "$NGINX" write_nginx_conf $ORIGIN_IP || fail "nginx could not start"
PIDS+=("$NGINX_PID")

# ---------------------------------------------------------------- relay, lossy link, proxy
"$RELAY_BIN" --listen $RELAY_IP:0 --upstream $ORIGIN_IP:$HTTP_PORT \
    --route tls.relay.test=$ORIGIN_IP:$TLS_PORT --route tls.lossy.test=$ORIGIN_IP:$TLS_PORT \
    --log-level D >"$WORK/relay.out" 2>"$WORK/relay.log" &
RELAY_PID=$!
PIDS+=("$RELAY_PID")
RELAY_PORT=$(port_of "$RELAY_PID" "$WORK/relay.out") || fail "the relay did not start: $(cat "$WORK/relay.out")"

"$LOSSY_BIN" --listen $RELAY_IP:0 --target $RELAY_IP:$RELAY_PORT --loss 10% --duplicate 2% --reorder 2% \
    --seed 5 >"$WORK/lossy.out" 2>"$WORK/lossy.log" &
LOSSY_PID=$!
PIDS+=("$LOSSY_PID")
LOSSY_PORT=$(port_of "$LOSSY_PID" "$WORK/lossy.out") || fail "the lossy forwarder did not start"

printf 'LogLevel=D\nDebugUseFixedLocalPort=0\nShowStatsOnAccept=1\nKcpEnabled=1\nKcpHostMapping=.relay.test#%s:%s;.lossy.test#%s:%s\n' \
    $RELAY_IP "$RELAY_PORT" $RELAY_IP "$LOSSY_PORT" > "$WORK/proxy.conf"
"$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>"$WORK/proxy.log" &
PROXY_PID=$!
PIDS+=("$PROXY_PID")
PROXY_PORT=$(port_of "$PROXY_PID" "$WORK/proxy.out") || fail "the proxy did not start: $(cat "$WORK/proxy.out")"
[[ $(wc -l < "$WORK/proxy.out") -eq 1 ]] || fail "the proxy printed more than its port line: $(cat "$WORK/proxy.out")"
echo "nginx $ORIGIN_IP:$HTTP_PORT (TLS $TLS_PORT), relay :$RELAY_PORT, lossy :$LOSSY_PORT, proxy :$PROXY_PORT"

CURL=(curl -sS --max-time 60 --noproxy '' -x "http://127.0.0.1:$PROXY_PORT")
TLS=(--cacert "$WORK/cert.pem")

# Prints "<http_code> <http_connect>".
through() {
    "${CURL[@]}" -w '%{http_code} %{http_connect}' "$@"
}

expect_status() {
    [[ "$3" == "$2" ]] || fail "$1: expected status '$2', got '$3'"
}

# ---------------------------------------------------------------- straight to nginx
# Transfers at once in both modes, down and up; each must get its own bytes.
ORIGIN=http://$ORIGIN_IP:$HTTP_PORT
TLS_ORIGIN=https://$ORIGIN_IP:$TLS_PORT
pids=()
for i in 1 2 3 4; do
    "${CURL[@]}" --fail -o "$WORK/out/direct-http-$i" "$ORIGIN/4m.bin" & pids+=($!)
    "${CURL[@]}" --fail "${TLS[@]}" -o "$WORK/out/direct-tls-$i" "$TLS_ORIGIN/4m.bin" & pids+=($!)
    "${CURL[@]}" --fail -o "$WORK/out/direct-small-$i" "$ORIGIN/small.txt" & pids+=($!)
done
"${CURL[@]}" --fail -o /dev/null -T "$WORK/upload.bin" "$ORIGIN/dav/direct.bin" & pids+=($!)
"${CURL[@]}" --fail "${TLS[@]}" -o /dev/null -T "$WORK/upload.bin" "$TLS_ORIGIN/dav/direct-tls.bin" & pids+=($!)
for pid in "${pids[@]}"; do
    wait "$pid" || fail "one of the concurrent transfers over TCP failed"
done
for i in 1 2 3 4; do
    cmp -s "$WORK/www/4m.bin" "$WORK/out/direct-http-$i" || fail "plain transfer $i arrived altered"
    cmp -s "$WORK/www/4m.bin" "$WORK/out/direct-tls-$i" || fail "tunnelled transfer $i arrived altered"
    cmp -s "$WORK/www/small.txt" "$WORK/out/direct-small-$i" || fail "small transfer $i arrived altered"
done
cmp -s "$WORK/upload.bin" "$WORK/www/dav/direct.bin" || fail "the plain PUT reached nginx altered"
cmp -s "$WORK/upload.bin" "$WORK/www/dav/direct-tls.bin" || fail "the tunnelled PUT reached nginx altered"
pass "14 concurrent transfers over TCP (4 MiB plain and tunnelled, small, 2 MiB PUTs), all identical"

# The exact answer to CONNECT, read off the wire.
exec 3<>"/dev/tcp/127.0.0.1/$PROXY_PORT" || fail "can not connect to the proxy"
printf 'CONNECT %s:%s HTTP/1.1\r\nHost: %s:%s\r\n\r\n' $ORIGIN_IP "$TLS_PORT" $ORIGIN_IP "$TLS_PORT" >&3
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

# ---------------------------------------------------------------- plain HTTP over KCP
# A slow reader: nginx keeps its connection open, so only the counted length
# can end the answer before nginx's keep-alive time-out.
code=$(through --limit-rate 2M --max-time 30 -o "$WORK/out/slow.bin" "http://www.relay.test/8m.bin") ||
    fail "a slow reader did not see the end of 8 MiB over KCP"
expect_status "slow GET 8m.bin" "200 000" "$code"
cmp -s "$WORK/www/8m.bin" "$WORK/out/slow.bin" || fail "8m.bin read slowly arrived altered"
pass "GET of 8 MiB over KCP by a slow reader ends with the length"

# ---------------------------------------------------------------- concurrency
pids=()
for i in 1 2 3 4 5 6; do
    "${CURL[@]}" -o "$WORK/out/par-http-$i" "http://www.relay.test/8m.bin" & pids+=($!)
    "${CURL[@]}" "${TLS[@]}" -o "$WORK/out/par-tls-$i" "https://tls.relay.test/8m.bin" & pids+=($!)
    "${CURL[@]}" -o "$WORK/out/par-small-$i" "http://www.relay.test/small.txt" & pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid" || fail "one of the concurrent transfers failed"
done
for i in 1 2 3 4 5 6; do
    cmp -s "$WORK/www/8m.bin" "$WORK/out/par-http-$i" || fail "concurrent plain transfer $i arrived altered"
    cmp -s "$WORK/www/8m.bin" "$WORK/out/par-tls-$i" || fail "concurrent tunnelled transfer $i arrived altered"
    cmp -s "$WORK/www/small.txt" "$WORK/out/par-small-$i" || fail "concurrent small transfer $i arrived altered"
done
pass "18 concurrent transfers over KCP (plain, tunnelled, small), all identical"

# ---------------------------------------------------------------- 10% loss
code=$(through -o "$WORK/out/lossy.bin" "http://www.lossy.test/4m.bin") || fail "GET through the lossy link failed"
expect_status "lossy GET" "200 000" "$code"
cmp -s "$WORK/www/4m.bin" "$WORK/out/lossy.bin" || fail "4 MiB through the lossy link arrived altered"
code=$(through "${TLS[@]}" -T "$WORK/upload.bin" -o /dev/null "https://tls.lossy.test/dav/lossy-up.bin") ||
    fail "PUT through a tunnel over the lossy link failed"
cmp -s "$WORK/upload.bin" "$WORK/www/dav/lossy-up.bin" || fail "the upload through the lossy link arrived altered"
pass "10% loss, 2% duplicates, 2% reordered: 4 MiB down and a 2 MiB tunnelled upload, identical"

# ---------------------------------------------------------------- shutdown
# The last conversations finish while their channels linger in the proxy.
for _ in $(seq 100); do
    [[ $(grep -c ' finished: ' "$WORK/relay.log") -ge 21 ]] && break
    sleep 0.1
done
stop_and_status "$PROXY_PID"
status=$?
[[ $status -eq 0 ]] || fail "the proxy exited with status $status after SIGTERM"
final=$(grep 'stats: {' "$WORK/proxy.log" | tail -n 1)
[[ "$final" == *"pxyctx=0, remoteconn=0} dnsreq=0,"* ]] || fail "contexts, connections or lookups left: $final"
# Only the two requests to the closed port fail to connect, each tried three times.
[[ "$final" == *"remotefail=6"* ]] || fail "expected 6 failed connects (2 requests x 3 tries): $final"
# Upstream TCP connections are never pooled; relay conversations carry later requests.
! grep 'releaseHttp .* for tcp:' "$WORK/proxy.log" | grep -vq 'keep alive disabled' ||
    fail "an upstream TCP connection was pooled though keep-alive is off"
grep -q 'from pool for kcp:' "$WORK/proxy.log" || fail "no relay conversation carried a later request"

stop_and_status "$LOSSY_PID" || fail "the lossy forwarder did not exit 0"
grep -q 'dropped=[1-9]' "$WORK/lossy.log" || fail "the lossy link dropped nothing: $(cat "$WORK/lossy.log")"
stop_and_status "$RELAY_PID"
status=$?
[[ $status -eq 0 ]] || fail "the relay exited with status $status after SIGTERM"
# Conversations opened ahead of a request that none used reach no upstream;
# a pooled one serves its later requests on the same upstream.
routed=$(grep -c ': upstream [0-9[]' "$WORK/relay.log")
finished=$(grep -c ' finished: up=[1-9]' "$WORK/relay.log")
expected=$((21 - $(grep -c 'from pool for kcp:' "$WORK/proxy.log") + $(grep -c 'ended unanswered' "$WORK/proxy.log")))
[[ $routed -eq $expected ]] || fail "$routed conversations reached an upstream, expected $expected"
# Those still pooled at the stop are left to the relay's time-outs.
pooled=$(grep -o 'httpPool=[0-9]*([0-9]*)' "$WORK/proxy.log" | tail -n 1 | sed 's/.*(\(.*\))/\1/')
[[ $((finished + ${pooled:-0})) -eq $routed ]] ||
    fail "only $finished of $routed conversations finished cleanly, ${pooled:-0} pooled at the stop"
# The random value that proves a client's address must not pass for a send time.
slow=$(grep -c ' finished: .*srtt=[0-9]\{5,\}' "$WORK/relay.log")
[[ $slow -eq 0 ]] || fail "$slow conversations finished with a round-trip estimate of 10 s or more"
if grep -q 'AddressSanitizer\|runtime error:\|LeakSanitizer\|SOMETHING WRONG' "$WORK/proxy.log" "$WORK/relay.log"; then
    fail "a log reports a fault: $(grep -m 5 'AddressSanitizer\|runtime error:\|LeakSanitizer\|SOMETHING WRONG' "$WORK/proxy.log" "$WORK/relay.log")"
fi
pass "SIGTERM: proxy, relay and lossy link exit 0; every conversation finished; $final"

echo "PASS: $CHECKS checks"
