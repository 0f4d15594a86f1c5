#!/usr/bin/env bash
# Named hosts through lumaview-proxy with dnsmasq, lumaview-httpdns, Python's web server and curl; then
# lumaview-httpdns under bad, slow, greedy and departing clients. Exits 0, 77 when a peer is missing, 1 on a failure.
set -u -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/testlib.sh"

[[ -x "${1:-}" && -x "${2:-}" ]] || { echo "usage: $0 LUMAVIEW-PROXY LUMAVIEW-HTTPDNS" >&2; exit 2; }
PROXY_BIN=$1
HTTPDNS_BIN=$2

DNSMASQ=/usr/sbin/dnsmasq
require_tools "$DNSMASQ" curl python3 ss

DNS_ADDR=127.0.5.201
HTTPDNS_ADDR=127.0.5.202
WEB_ADDR=127.0.5.203
SILENT_ADDR=127.0.5.204
LOST_ADDR=127.0.5.209
DNS_PORT=10053 # not 53, so that any user can run this; the proxy learns it from LUMAVIEW_DNS_PORT

begin_test httpdns proxy.log httpdns.log silent-httpdns.log dnsmasq.log web.log

# POST /dns to a lumaview-httpdns, with more curl options after the body; prints the answer.
ask_httpdns() {
    curl -sS --max-time 5 --noproxy '*' -X POST --data "$2" "http://$1/dns" "${@:3}"
}

status_of() {
    curl -s -o /dev/null -w '%{http_code}' --max-time 5 --noproxy '*' "$@"
}

# Starts lumaview-httpdns on HTTPDNS_ADDR (FDS: a descriptor limit), output in WORK/NAME.{out,log}; sets PORT.
start_httpdns() {
    local name=$1
    shift
    (ulimit -n "${FDS:-$(ulimit -n)}" && exec "$HTTPDNS_BIN" --listen $HTTPDNS_ADDR:0 "$@") \
        >"$WORK/$name.out" 2>"$WORK/$name.log" &
    PIDS+=($!)
    HTTPDNS_PIDS+=($!)
    PORT=$(port_of $! "$WORK/$name.out") || fail "lumaview-httpdns ($name) did not start"
}

# Opens up to N connections to the service on PORT and sends TEXT on each; their descriptors go to held.
hold() {
    local n=$1 port=$2 text=${3:-} fd
    held=()
    for _ in $(seq "$n"); do
        { exec {fd}<>"/dev/tcp/$HTTPDNS_ADDR/$port"; } 2>/dev/null || break
        printf '%s' "$text" >&"$fd"
        held+=("$fd")
    done
}

mkdir -p "$WORK/www"
printf 'named hosts work\n' > "$WORK/www/hello.txt"

"$DNSMASQ" --no-daemon --conf-file=/dev/null --no-resolv --no-hosts --no-poll \
    --listen-address=$DNS_ADDR --bind-interfaces --port=$DNS_PORT \
    --address=/some.name.test/$WEB_ADDR --address=/pinned.name.test/$LOST_ADDR \
    --pid-file="$WORK/dnsmasq.pid" --log-facility=- --log-queries \
    >"$WORK/dnsmasq.log" 2>&1 &
PIDS+=($!)

WEB_PORT=$(free_port $WEB_ADDR) || fail "no free port for the web server"
python3 -m http.server --bind $WEB_ADDR --directory "$WORK/www" "$WEB_PORT" >"$WORK/web.log" 2>&1 &
PIDS+=($!)
wait_listening $! "$WEB_PORT" $WEB_ADDR || fail "the web server did not start"

{
    echo "pinned.name.test $WEB_ADDR"
    for i in $(seq 0 23); do echo "r$i.name.test $LOST_ADDR $WEB_ADDR"; done
} >"$WORK/hosts"
start_httpdns httpdns --hosts "$WORK/hosts" --resolver $DNS_ADDR:$DNS_PORT
HTTPDNS_PORT=$PORT
HTTPDNS=$HTTPDNS_ADDR:$HTTPDNS_PORT

answer=
for _ in $(seq 50); do
    answer=$(ask_httpdns "$HTTPDNS" "q=some.name.test&output=text" 2>/dev/null)
    [[ "$answer" == $'HTTPDNS\n'"$WEB_ADDR" ]] && break
    sleep 0.2
done
[[ "$answer" == $'HTTPDNS\n'"$WEB_ADDR" ]] || fail "lumaview-httpdns could not resolve through dnsmasq: '$answer'"
pass "lumaview-httpdns answers from dnsmasq"

# ------------------------------------------------------------------ proxy
# rN.name.test gives a refusing address and the web server's in a fresh order: a refusing first is discarded.
cat > "$WORK/proxy.conf" <<EOF
LogLevel=V
DebugUseFixedLocalPort=0
UseSystemDns=1
UID=end-to-end
DnsUdp=$DNS_ADDR
DnsHttp=$HTTPDNS
EOF
# The system's resolvers are dnsmasq too, never the machine's own.
printf 'nameserver %s\nnameserver ::1\n' "$DNS_ADDR" > "$WORK/resolv.conf"
LUMAVIEW_DNS_PORT=$DNS_PORT LUMAVIEW_RESOLV_CONF="$WORK/resolv.conf" \
    "$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>"$WORK/proxy.log" &
PROXY_PID=$!
PIDS+=("$PROXY_PID")
PROXY_PORT=$(port_of "$PROXY_PID" "$WORK/proxy.out") || fail "lumaview-proxy did not start"

discarded=
for i in $(seq 0 23); do
    body=$(curl -sS --max-time 20 -x 127.0.0.1:$PROXY_PORT "http://r$i.name.test:$WEB_PORT/hello.txt") \
        || fail "curl through the proxy to r$i.name.test failed"
    [[ "$body" == "named hosts work" ]] || fail "unexpected page for r$i.name.test: '$body'"
    grep -q "discardUnusableIp $LOST_ADDR from r$i.name.test" "$WORK/proxy.log" && { discarded=r$i; break; }
done
[[ -n "$discarded" ]] || fail "the refusing address never came first"
! grep -q "discardUnusableIp $WEB_ADDR" "$WORK/proxy.log" || fail "the working address was discarded"
pass "a refusing address is discarded and the retry reaches the other"

# ------------------------------------------------------------------ bad requests
[[ $(status_of "http://$HTTPDNS/dns") == 405 ]] || fail "GET /dns is not 405"
[[ $(status_of -X POST --data "q=a.test" "http://$HTTPDNS/other") == 404 ]] || fail "POST /other is not 404"
[[ $(status_of -X POST --data "uid=1" "http://$HTTPDNS/dns") == 400 ]] || fail "a request without q is not 400"
[[ $(status_of -X POST --data "q=a%20b%0A" "http://$HTTPDNS/dns") == 400 ]] || fail "a bad name is not 400"
[[ $(status_of -X POST --data "q=a.test&output=json" "http://$HTTPDNS/dns") == 400 ]] || fail "output=json is not 400"
head -c 40000 /dev/zero | tr '\0' q > "$WORK/big.txt"
[[ $(status_of -X POST --data-binary @"$WORK/big.txt" "http://$HTTPDNS/dns") == 413 ]] || fail "a huge body is not 413"
hold 1 "$HTTPDNS_PORT" $'GARBAGE\r\n\r\n'
[[ ${#held[@]} -eq 1 ]] || fail "can not connect to lumaview-httpdns"
timeout 3 head -c 1 <&"${held[0]}" >/dev/null
for fd in "${held[@]}"; do exec {fd}>&-; done
[[ "$(ask_httpdns "$HTTPDNS" "q=PINNED.name.test.")" == $'HTTPDNS\n'"$WEB_ADDR" ]] \
    || fail "lumaview-httpdns does not serve after bad requests"
pass "bad requests get 400, 404, 405 and 413, and the service keeps serving"

# ------------------------------------------------------------------ a client that leaves
# A resolver that never answers, and a client that gives up before the service's own time-out.
python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], int(sys.argv[2])))
time.sleep(120)' $SILENT_ADDR $DNS_PORT >"$WORK/silent.log" 2>&1 &
PIDS+=($!)
wait_listen $! u $SILENT_ADDR:$DNS_PORT || fail "the silent resolver did not start"
start_httpdns silent-httpdns --hosts /dev/null --resolver $SILENT_ADDR:$DNS_PORT
ask_httpdns "$HTTPDNS_ADDR:$PORT" q=gone.test --max-time 0.5 >/dev/null 2>&1
sleep 2.5 # past the service's resolver time-out
answer=$(ask_httpdns "$HTTPDNS_ADDR:$PORT" "q=late.test")
[[ "$answer" == $'HTTPDNS\n' || "$answer" == "HTTPDNS" ]] || fail "silent resolver: unexpected answer '$answer'"
grep -q "answer late.test =  (resolver timed out)" "$WORK/silent-httpdns.log" || fail "no time-out logged"
pass "a silent resolver times out and a client leaving early does no harm"

# ------------------------------------------------------------------ out of descriptors
# Accepting pauses and is retried on a timer, instead of failing again at once with a log line each time.
FDS=16 start_httpdns starved --hosts "$WORK/hosts"
hold 30 "$PORT"
sleep 1.5
lines=$(wc -l < "$WORK/starved.log")
for fd in "${held[@]}"; do exec {fd}>&-; done
[[ "$lines" -lt 20 ]] || fail "lumaview-httpdns wrote $lines log lines while out of descriptors"
grep -q "accept paused" "$WORK/starved.log" || fail "the descriptor shortage was not logged"
answer=
for _ in $(seq 25); do
    answer=$(ask_httpdns "$HTTPDNS_ADDR:$PORT" "q=pinned.name.test" 2>/dev/null) && break
    sleep 0.2
done
[[ "$answer" == $'HTTPDNS\n'"$WEB_ADDR" ]] || fail "no answer once descriptors were free: '$answer'"
pass "out of descriptors: accepting pauses without spinning, then serves again"

# ------------------------------------------------------------------ slow clients
# Three unfinished requests fill the cap and are cut at their deadline; a fourth client waits, then is served.
start_httpdns capped --hosts "$WORK/hosts" --request-seconds 2 --max-connections 3
hold 3 "$PORT" $'POST /dns HTTP/1.1\r\nHost: x\r\n'
[[ ${#held[@]} -eq 3 ]] || fail "can not connect to the capped service"
sleep 0.5
start=$SECONDS
answer=$(ask_httpdns "$HTTPDNS_ADDR:$PORT" q=pinned.name.test --max-time 8)
waited=$((SECONDS - start))
for fd in "${held[@]}"; do exec {fd}>&-; done
[[ "$answer" == $'HTTPDNS\n'"$WEB_ADDR" ]] || fail "the waiting client got '$answer'"
[[ "$waited" -ge 1 ]] || fail "a fourth connection was served beside three at the cap"
[[ $(grep -c 'took longer than 2 s' "$WORK/capped.log") -eq 3 ]] || fail "the slow connections were not cut at their deadline"
pass "slow clients are cut at the request deadline; connections beyond the cap wait"

# ------------------------------------------------------------------ one greedy peer
# Two unfinished requests use 127.0.0.1's share: its third connection is closed at once, others are served.
start_httpdns shared --hosts "$WORK/hosts" --max-per-peer 2
hold 2 "$PORT" $'POST /dns HTTP/1.1\r\nHost: x\r\n'
[[ ${#held[@]} -eq 2 ]] || fail "can not connect to the per-peer capped service"
sleep 0.3
ask_httpdns "$HTTPDNS_ADDR:$PORT" q=pinned.name.test --max-time 3 --interface 127.0.0.1 >/dev/null 2>&1
status=$?
answer=$(ask_httpdns "$HTTPDNS_ADDR:$PORT" q=pinned.name.test --max-time 3 --interface 127.0.5.210)
for fd in "${held[@]}"; do exec {fd}>&-; done
[[ $status -eq 52 || $status -eq 56 ]] || fail "a third connection from one peer was not closed at once (curl status $status)"
[[ "$answer" == $'HTTPDNS\n'"$WEB_ADDR" ]] || fail "another peer got '$answer'"
grep -q "127.0.0.1 holds 2 connections" "$WORK/shared.log" || fail "the refusal was not logged"
pass "one peer holds no more than its share of connections"

# ------------------------------------------------------------------ shutdown
for pid in "${HTTPDNS_PIDS[@]}"; do
    stop_and_status "$pid" || fail "lumaview-httpdns did not exit 0 on SIGTERM"
done
stop_and_status $PROXY_PID || fail "lumaview-proxy did not exit 0 on SIGTERM"
grep -q "dnsctx=0" "$WORK/proxy.log" || fail "resolution tasks left at shutdown"
pass "both programs stop cleanly"

echo "all $CHECKS checks passed"
