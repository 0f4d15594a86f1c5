#!/usr/bin/env bash
# curl through lumaview-proxy to a local nginx (127.0.6.x), straight and over KCP through lumaview-relay and
# lumaview-lossy: peers we did not write agree with it. Exits 0, 77 when a peer is missing, 1 on a failure.

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

mkdir -p "$WORK/www/dav" "$WORK/tmp" "$WORK/out"
printf 'hello over kcp\n' > "$WORK/www/small.txt"
head -c $((8 * 1024 * 1024)) /dev/urandom > "$WORK/www/8m.bin"
head -c $((4 * 1024 * 1024)) "$WORK/www/8m.bin" > "$WORK/www/4m.bin"
head -c $((2 * 1024 * 1024)) /dev/urandom > "$WORK/upload.bin"

# The certificate names the tunnels' hosts and curl checks it: a tunnel routed anywhere else fails.
make_cert "$WORK" tls.relay.test DNS:tls.relay.test,DNS:tls.lossy.test,IP:$ORIGIN_IP ||
    fail "openssl could not make a certificate: $(cat "$WORK/openssl.log")"

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

CURL=(curl -sS --max-time 60 --noproxy '' -x "http://127.0.0.1:$PROXY_PORT")
TLS=(--cacert "$WORK/cert.pem")

# N rounds of plain and tunnelled GETs of FILE plus a small GET, beside the transfers in pids; all exact.
concurrent_gets() {
    local n=$1 http=$2 https=$3 file=$4 i pid
    for i in $(seq "$n"); do
        "${CURL[@]}" --fail -o "$WORK/out/$i-http" "$http/$file" & pids+=($!)
        "${CURL[@]}" --fail "${TLS[@]}" -o "$WORK/out/$i-tls" "$https/$file" & pids+=($!)
        "${CURL[@]}" --fail -o "$WORK/out/$i-small" "$http/small.txt" & pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || fail "one of the concurrent transfers of $file failed"; done
    pids=()
    for i in $(seq "$n"); do
        cmp -s "$WORK/www/$file" "$WORK/out/$i-http" || fail "plain transfer $i of $file arrived altered"
        cmp -s "$WORK/www/$file" "$WORK/out/$i-tls" || fail "tunnelled transfer $i of $file arrived altered"
        cmp -s "$WORK/www/small.txt" "$WORK/out/$i-small" || fail "small transfer $i arrived altered"
    done
}

# ---------------------------------------------------------------- straight to nginx
ORIGIN=http://$ORIGIN_IP:$HTTP_PORT
"${CURL[@]}" --fail -o /dev/null -T "$WORK/upload.bin" "$ORIGIN/dav/direct.bin" & pids+=($!)
"${CURL[@]}" --fail "${TLS[@]}" -o /dev/null -T "$WORK/upload.bin" "https://$ORIGIN_IP:$TLS_PORT/dav/tls.bin" & pids+=($!)
concurrent_gets 4 "$ORIGIN" "https://$ORIGIN_IP:$TLS_PORT" 4m.bin
cmp -s "$WORK/upload.bin" "$WORK/www/dav/direct.bin" || fail "the plain PUT reached nginx altered"
cmp -s "$WORK/upload.bin" "$WORK/www/dav/tls.bin" || fail "the tunnelled PUT reached nginx altered"
pass "14 concurrent transfers over TCP (4 MiB plain and tunnelled, small, 2 MiB PUTs), all identical"

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

# ---------------------------------------------------------------- over KCP
# A slow reader: nginx keeps its connection open, so only the counted length ends the answer in time.
"${CURL[@]}" --fail --limit-rate 2M --max-time 30 -o "$WORK/out/slow.bin" "http://www.relay.test/8m.bin" ||
    fail "a slow reader did not see the end of 8 MiB over KCP"
cmp -s "$WORK/www/8m.bin" "$WORK/out/slow.bin" || fail "8m.bin read slowly arrived altered"
pass "GET of 8 MiB over KCP by a slow reader ends with the length"

concurrent_gets 6 http://www.relay.test https://tls.relay.test 8m.bin
pass "18 concurrent transfers over KCP (plain, tunnelled, small), all identical"

"${CURL[@]}" --fail -o "$WORK/out/lossy.bin" "http://www.lossy.test/4m.bin" || fail "GET through the lossy link failed"
cmp -s "$WORK/www/4m.bin" "$WORK/out/lossy.bin" || fail "4 MiB through the lossy link arrived altered"
"${CURL[@]}" --fail "${TLS[@]}" -T "$WORK/upload.bin" -o /dev/null "https://tls.lossy.test/dav/lossy-up.bin" ||
    fail "PUT through a tunnel over the lossy link failed"
cmp -s "$WORK/upload.bin" "$WORK/www/dav/lossy-up.bin" || fail "the upload through the lossy link arrived altered"
pass "10% loss, 2% duplicates, 2% reordered: 4 MiB down and a 2 MiB tunnelled upload, identical"

# ---------------------------------------------------------------- shutdown
# The last conversations finish while their channels linger in the proxy.
for _ in $(seq 100); do
    [[ $(grep -c ' finished: ' "$WORK/relay.log") -ge 21 ]] && break
    sleep 0.1
done
stop_and_status "$PROXY_PID" || fail "the proxy exited with status $? after SIGTERM"
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
stop_and_status "$RELAY_PID" || fail "the relay exited with status $? after SIGTERM"
# Conversations opened ahead and never used reach no upstream; a pooled one reuses its upstream.
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
faults=$(grep -m 5 'AddressSanitizer\|runtime error:\|LeakSanitizer\|SOMETHING WRONG' "$WORK/proxy.log" "$WORK/relay.log")
[[ -z "$faults" ]] || fail "a log reports a fault: $faults"
pass "SIGTERM: proxy, relay and lossy link exit 0; every conversation finished; $final"

echo "PASS: $CHECKS checks"
