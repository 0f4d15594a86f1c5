#!/usr/bin/env bash
# Goodput of a download through lumaview-proxy over KCP (via lumaview-relay)
# against plain TCP (CUBIC and BBR) and against kcptun (without and with its
# FEC) on the same bad link, at several loss rates.
#
# The link is lumaview-lossy joining two network namespaces through a pair
# of tun devices (MTU 1500; a tun device without a virtio header gets no
# segmentation offload, and the forwarder's "largest" counter shows it):
# every IP packet, TCP and UDP alike, both directions, goes through the same
# bandwidth cap with a bounded drop-tail queue, independent per-packet loss
# and the one-way delay. curl, the proxy and the kcptun clients run in the
# client namespace, nginx, the relay and the kcptun servers in the server
# namespace. The transports alternate, so all see the same machine load.
# "tcp" runs CUBIC in both namespaces (the Linux default; BENCH_TCP_CC changes
# it), "bbr" the same path with BBR (skipped, with a message, where the kernel
# has no BBR); TCP keeps no route metrics between downloads. kcptun runs with
# its own defaults (window 1024 on its server, 512 on its client, encryption
# and compression on, FEC 10+3), "kcptun" with FEC off, "kcptun_fec" with it
# on; its one session is persistent, as kcptun is used. Needs root.
#
# For each loss rate and transport it prints the median goodput, bytes on the
# link (both directions, as put there by the senders, lost ones included) per
# byte delivered, the time to the first byte of a small request, the CPU per
# MB of the client-side and server-side programs, and an upload; then the
# goodput that a loss-driven TCP should reach (the square-root law, and its
# extension with time-outs). Then one summary line per loss rate:
#   loss=10 kcp_MBps=... tcp_MBps=... bbr_MBps=... kcptun_MBps=... kcptun_fec_MBps=... ratio=... kcp_wire=...
#
# Usage: bench/kcp-bench.sh [build-dir]      (default: build/ under the repository)
# Knobs (environment): BENCH_LOSSES ("0 1 5 10 20", percent), BENCH_REPS (3),
# BENCH_SIZE_MIB (20), BENCH_DELAY_MS (25, one way), BENCH_RATE_MBIT (20),
# BENCH_QUEUE_BYTES (131072), BENCH_JITTER_MS (0), BENCH_BURST ("" or
# ENTER,LEAVE[,LOSS] for lumaview-lossy --burst), BENCH_MAX_TIME (20 s per
# transfer; a cut-off download counts with what it delivered in that time
# and is marked "~"; a cut-off upload shows "<" and the rate at which curl
# handed bytes on), BENCH_UPLOAD_MIB (1, one upload after each download, the
# median shown; 0 skips), BENCH_TCP_CC (cubic), BENCH_RELAY_ARGS (extra options for
# lumaview-relay), BENCH_PROXY_CONFIG (extra lines for the proxy's configuration,
# "\n" between them, e.g. "KcpPacing=1\nKcpCongestionWindow=0\nKcpAckRepeat=1"),
# BENCH_KCPTUN_ARGS (extra options for both kcptun ends),
# BENCH_TRANSPORTS ("kcp tcp bbr kcptun kcptun_fec"; one alone while tuning).
# A measurement, not a test: it exits non-zero only when it cannot run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
BUILD=${1:-$ROOT/build}
PROXY_BIN=$BUILD/tools/lumaview-proxy
RELAY_BIN=$BUILD/tools/lumaview-relay
LOSSY_BIN=$BUILD/tools/lumaview-lossy
SIZE_MIB=${BENCH_SIZE_MIB:-20}
LOSSES=(${BENCH_LOSSES:-0 1 5 10 20})
DELAY_MS=${BENCH_DELAY_MS:-25}
RATE_MBIT=${BENCH_RATE_MBIT:-20}
QUEUE_BYTES=${BENCH_QUEUE_BYTES:-131072}
JITTER_MS=${BENCH_JITTER_MS:-0}
BURST=${BENCH_BURST:-}
REPS=${BENCH_REPS:-3}
MAX_TIME=${BENCH_MAX_TIME:-20}
UPLOAD_MIB=${BENCH_UPLOAD_MIB:-1}
TCP_CC=${BENCH_TCP_CC:-cubic}
RELAY_ARGS=(${BENCH_RELAY_ARGS:-})
PROXY_CONFIG=${BENCH_PROXY_CONFIG:-}
KCPTUN_ARGS=(${BENCH_KCPTUN_ARGS:-})
TRANSPORTS=${BENCH_TRANSPORTS:-kcp tcp bbr kcptun kcptun_fec}

die() {
    echo "kcp-bench: $*" >&2
    exit 1
}

for bin in "$PROXY_BIN" "$RELAY_BIN" "$LOSSY_BIN"; do
    [[ -x "$bin" ]] || die "no $bin (build lumaview-proxy, lumaview-relay and lumaview-lossy, or pass the build directory)"
done
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null) || die "nginx is not installed"
command -v curl >/dev/null || die "curl is not installed"
[[ $(id -u) -eq 0 ]] || die "needs root (network namespaces and tun devices)"

# Peers that this machine lacks drop out with a word, the rest still run.
without() {
    local gone=$1 kept=() t
    for t in $TRANSPORTS; do [[ $t == "$gone" ]] || kept+=("$t"); done
    TRANSPORTS=${kept[*]:-}
}
if [[ " $TRANSPORTS " == *" bbr "* ]] && ! grep -qw bbr /proc/sys/net/ipv4/tcp_available_congestion_control; then
    modprobe tcp_bbr 2>/dev/null
    grep -qw bbr /proc/sys/net/ipv4/tcp_available_congestion_control ||
        { echo "kcp-bench: this kernel has no TCP BBR; skipping bbr" >&2; without bbr; }
fi
if [[ "$TRANSPORTS" == *kcptun* ]] && ! command -v kcptun-client >/dev/null; then
    echo "kcp-bench: kcptun is not installed (Debian's kcptun package); skipping kcptun and kcptun_fec" >&2
    without kcptun
    without kcptun_fec
fi
[[ -n "$TRANSPORTS" ]] || die "no transport left to measure"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-kcp-bench.XXXXXX")
NS_CLIENT=lvkb-c-$$
NS_SERVER=lvkb-s-$$
CLIENT_IP=10.206.$(($$ % 250)).1
SERVER_IP=10.206.$(($$ % 250)).2
PIDS=()
LOSSY_PID=
PROXY_PID=
RELAY_PID=
declare -A CLIENT_PID SERVER_PID KCPTUN_PORT

cleanup() {
    local status=$?
    stop_pids TERM $LOSSY_PID "${PIDS[@]}"
    ip netns del "$NS_CLIENT" 2>/dev/null
    ip netns del "$NS_SERVER" 2>/dev/null
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Prefixes that run a program in a namespace. Not functions: a function run
# in the background is a subshell, and $! would name it, not the program.
IN_CLIENT=(ip netns exec "$NS_CLIENT")
IN_SERVER=(ip netns exec "$NS_SERVER")

# ---------------------------------------------------------------- the link
netns_link_create "$NS_CLIENT" lvkb0 "$CLIENT_IP" "$NS_SERVER" lvkb1 "$SERVER_IP" ||
    die "can not create namespaces and tun devices"
for ns in "$NS_CLIENT" "$NS_SERVER"; do
    ip netns exec "$ns" sysctl -qw net.ipv4.tcp_no_metrics_save=1
done
# Per route: a namespace may only pick the host's allowed algorithms by
# sysctl. A connection takes its route's algorithm when it is made, so
# switching between downloads leaves no running transfer half-changed.
set_cc() {
    ip -n "$NS_CLIENT" route replace "$SERVER_IP" dev lvkb0 src "$CLIENT_IP" congctl "$1" &&
        ip -n "$NS_SERVER" route replace "$CLIENT_IP" dev lvkb1 src "$SERVER_IP" congctl "$1"
}
set_cc "$TCP_CC" || die "can not set TCP congestion control $TCP_CC"

# Restarts the forwarder with a loss in percent.
stop_lossy() {
    if [[ -n "$LOSSY_PID" ]]; then
        kill -TERM "$LOSSY_PID" 2>/dev/null
        wait "$LOSSY_PID" 2>/dev/null
        LOSSY_PID=
        sed 's/^/  /' "$WORK/lossy.log"
    fi
}

set_loss() {
    local loss=$1
    stop_lossy
    : >"$WORK/lossy.log"
    local impair=(--loss "$loss%" --delay "$DELAY_MS" --rate "$RATE_MBIT" --queue "$QUEUE_BYTES" --seed 1)
    [[ "$JITTER_MS" != 0 ]] && impair+=(--jitter "$JITTER_MS")
    [[ -n "$BURST" ]] && impair+=(--burst "$BURST")
    start_lossy "$LOSSY_BIN" "$WORK" "$NS_CLIENT:lvkb0" "$NS_SERVER:lvkb1" "${impair[@]}" || die "lumaview-lossy did not start: $(cat "$WORK/lossy.log")"
}

# Bytes the senders have put on the link so far, both directions: SIGUSR1
# makes the forwarder print one "counters" line per direction.
link_bytes() {
    local before
    before=$(grep -c '^counters' "$WORK/lossy.out")
    kill -USR1 "$LOSSY_PID"
    for _ in $(seq 50); do
        (($(grep -c '^counters' "$WORK/lossy.out") >= before + 2)) && break
        sleep 0.02
    done
    tail -n 2 "$WORK/lossy.out" | sed -n 's/.* received_bytes=\([0-9]*\).*/\1/p' | awk '{ s += $1 } END { print s + 0 }'
}

# A cut-off KCP download leaves the relay resending its window for a while;
# the next measurement starts once the link is quiet (10 s at most).
wait_quiet() {
    local last now
    last=$(link_bytes)
    for _ in $(seq 20); do
        sleep 0.5
        now=$(link_bytes)
        ((now - last < 20000)) && return
        last=$now
    done
}

# ---------------------------------------------------------------- server side
mkdir -p "$WORK/www/up" "$WORK/tmp"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom >"$WORK/www/big"
BIG_SIZE=$(stat -c %s "$WORK/www/big")
echo ok >"$WORK/www/small"
head -c $((UPLOAD_MIB * 1024 * 1024)) /dev/urandom >"$WORK/upload"
HTTP_PORT=18080
{
    nginx_conf_head "$WORK" error 256
    echo "    access_log off;"
    cat <<EOF
    default_type application/octet-stream;
    sendfile on;
    client_max_body_size 0;
    server {
        listen $SERVER_IP:$HTTP_PORT;
        root $WORK/www;
        location /up/ { dav_methods PUT; }
    }
}
EOF
} >"$WORK/nginx.conf"
"${IN_SERVER[@]}" "$NGINX" -e "$WORK/nginx-error.log" -c "$WORK/nginx.conf" -p "$WORK" -g 'daemon off;' \
    >"$WORK/nginx.out" 2>&1 &
PIDS+=($!)

# The idle time-out stays above the life of the client's conversations
# opened ahead (10 s): one the relay forgot silently would hang its request,
# as an upload 9 s after a download's start did with 5 s.
"${IN_SERVER[@]}" "$RELAY_BIN" --listen "$SERVER_IP:0" --upstream "$SERVER_IP:$HTTP_PORT" --log-level W --idle-timeout 15 \
    "${RELAY_ARGS[@]}" >"$WORK/relay.out" 2>"$WORK/relay.log" &
RELAY_PID=$!
PIDS+=($RELAY_PID)
wait_line "$RELAY_PID" "$WORK/relay.out" '^port = ' || die "lumaview-relay did not start: $(cat "$WORK/relay.log")"
RELAY_PORT=$(sed -n 's/^port = //p' "$WORK/relay.out")

# ---------------------------------------------------------------- client side
printf 'LogLevel=W\nDebugUseFixedLocalPort=0\nKcpEnabled=1\nKcpHostMapping=.kcp.bench#%s:%s\n%b\n' \
    "$SERVER_IP" "$RELAY_PORT" "$PROXY_CONFIG" >"$WORK/proxy.conf"
"${IN_CLIENT[@]}" "$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>>"$WORK/proxy.log" &
PROXY_PID=$!
PIDS+=($PROXY_PID)
wait_line "$PROXY_PID" "$WORK/proxy.out" '^port = ' || die "lumaview-proxy did not start: $(cat "$WORK/proxy.log")"
PROXY_PORT=$(sed -n 's/^port = //p' "$WORK/proxy.out")
for t in kcp tcp bbr; do CLIENT_PID[$t]=$PROXY_PID; done
SERVER_PID[kcp]=$RELAY_PID

# kcptun: a server in front of nginx and a client on the client's loopback
# per setting; both ends must agree on the FEC shards.
start_kcptun() {
    local name=$1 port=$((HTTP_PORT + $2)) fec=()
    [[ $name == kcptun ]] && fec=(--datashard 0 --parityshard 0)
    "${IN_SERVER[@]}" kcptun-server --listen "$SERVER_IP:$port" --target "$SERVER_IP:$HTTP_PORT" --quiet \
        "${fec[@]}" "${KCPTUN_ARGS[@]}" >"$WORK/$name-server.log" 2>&1 &
    SERVER_PID[$name]=$!
    PIDS+=($!)
    "${IN_CLIENT[@]}" kcptun-client --localaddr "127.0.0.1:$port" --remoteaddr "$SERVER_IP:$port" --quiet \
        "${fec[@]}" "${KCPTUN_ARGS[@]}" >"$WORK/$name-client.log" 2>&1 &
    CLIENT_PID[$name]=$!
    PIDS+=($!)
    KCPTUN_PORT[$name]=$port
    wait_listen "${CLIENT_PID[$name]}" t "127.0.0.1:$port" "${IN_CLIENT[@]}" && return
    die "$name did not start: $(cat "$WORK/$name-client.log" "$WORK/$name-server.log")"
}
[[ " $TRANSPORTS " == *" kcptun "* ]] && start_kcptun kcptun 1
[[ " $TRANSPORTS " == *" kcptun_fec "* ]] && start_kcptun kcptun_fec 2

# Runs curl in the client namespace along TRANSPORT's path to PATH on nginx.
fetch() {
    local transport=$1 path=$2
    shift 2
    case $transport in
        kcp) set -- --noproxy '' -x "http://127.0.0.1:$PROXY_PORT" "$@" "http://www.kcp.bench:$HTTP_PORT/$path" ;;
        tcp | bbr) set -- --noproxy '' -x "http://127.0.0.1:$PROXY_PORT" "$@" "http://$SERVER_IP:$HTTP_PORT/$path" ;;
        kcptun*) set -- --noproxy '*' "$@" "http://127.0.0.1:${KCPTUN_PORT[$transport]}/$path" ;;
    esac
    [[ $transport == bbr ]] && set_cc bbr
    "${IN_CLIENT[@]}" curl -sS "$@" 2>/dev/null
    [[ $transport == bbr ]] && set_cc "$TCP_CC"
    return 0
}

declare -A SAMPLES WIRE TTFB PCPU RCPU UPLOAD CUT CC_SEEN

# Time to the first byte of a small request, in ms, on a client in use: a
# first small request goes ahead (as the page's own request would), so
# lumaview has its conversation opened ahead and kcptun its session, as
# while browsing; TCP connects anew either way. Three samples per download:
# one lost datagram costs a time-out, and one sample per download left the
# median to chance.
first_byte() {
    local transport=$1 loss=$2 result code t
    fetch "$transport" small --max-time 30 -o /dev/null
    for _ in 1 2 3; do
        sleep 0.3
        result=$(fetch "$transport" small --max-time 30 -o /dev/null -w '%{http_code} %{time_starttransfer}')
        read -r code t <<<"$result"
        [[ "$code" == 200 ]] || { echo "  $transport at $loss%: a small request answered '$result'" >&2; continue; }
        TTFB[$transport:$loss]+="$(awk -v t="$t" 'BEGIN { printf "%.0f", t * 1000 }') "
    done
}

# One download (or upload with "up"); records MB/s, link bytes per byte
# delivered and CPU ms per MB.
measure() {
    local transport=$1 loss=$2 direction=${3:-down} result code size time wire0 wire1 p0 p1 r0 r1
    wait_quiet
    wire0=$(link_bytes)
    p0=$(cpu_ms "${CLIENT_PID[$transport]:-}")
    r0=$(cpu_ms "${SERVER_PID[$transport]:-}")
    # Which algorithm nginx's connection really runs, seen once mid-transfer.
    local watch=
    if [[ ($transport == tcp || $transport == bbr) && -z "${CC_SEEN[$transport]:-}" ]]; then
        { sleep 2; "${IN_SERVER[@]}" ss -tin dst "$CLIENT_IP"; } >"$WORK/ss.txt" 2>/dev/null &
        watch=$!
    fi
    if [[ $direction == up ]]; then
        result=$(fetch "$transport" "up/$transport-$loss" --max-time "$MAX_TIME" -H 'Expect:' -T "$WORK/upload" \
            -o /dev/null -w '%{http_code} %{size_upload} %{time_total}')
    else
        result=$(fetch "$transport" big --max-time "$MAX_TIME" -o /dev/null \
            -w '%{http_code} %{size_download} %{time_total}')
    fi
    read -r code size time <<<"$result"
    [[ -n "$watch" ]] && wait "$watch" 2>/dev/null &&
        CC_SEEN[$transport]=$(grep -o -w -E 'cubic|bbr|reno' "$WORK/ss.txt" | head -n 1)
    wire1=$(link_bytes)
    p1=$(cpu_ms "${CLIENT_PID[$transport]:-}")
    r1=$(cpu_ms "${SERVER_PID[$transport]:-}")
    # A cut-off download has a status 200 and fewer bytes; a cut-off upload
    # has no final status, and curl counts what it handed to the proxy.
    if [[ $direction == up && "$code" != 201 && "$code" != 204 && "$size" != 0 && ${time%.*} -ge $((MAX_TIME - 1)) ]]; then
        UPLOAD[$transport:$loss]+="$(awk -v s="$size" -v t="$time" 'BEGIN { printf "%.3f", s / t / 1e6 }') "
        CUT[$transport:up:$loss]=1
        echo "  $transport up at $loss%: cut off after $time s ($result)"
        return
    fi
    if [[ -z "$size" || "$size" == 0 || ("$code" != 200 && "$code" != 201 && "$code" != 204) ]]; then
        echo "  $transport $direction at $loss%: failed ($result)" >&2
        return
    fi
    local rate wire
    rate=$(awk -v s="$size" -v t="$time" 'BEGIN { printf "%.3f", s / t / 1e6 }')
    wire=$(awk -v w="$((wire1 - wire0))" -v s="$size" 'BEGIN { printf "%.3f", w / s }')
    local full=$BIG_SIZE
    [[ $direction == up ]] && full=$((UPLOAD_MIB * 1024 * 1024))
    [[ "$size" != "$full" ]] && CUT[$transport:$direction:$loss]=1
    if [[ $direction == up ]]; then
        UPLOAD[$transport:$loss]+="$rate "
    else
        SAMPLES[$transport:$loss]+="$rate "
        WIRE[$transport:$loss]+="$wire "
        PCPU[$transport:$loss]+="$(awk -v c="$((${p1%.*} - ${p0%.*}))" -v s="$size" 'BEGIN { printf "%.1f", c / (s / 1e6) }') "
        [[ -n "${SERVER_PID[$transport]:-}" ]] &&
            RCPU[$transport:$loss]+="$(awk -v c="$((${r1%.*} - ${r0%.*}))" -v s="$size" 'BEGIN { printf "%.1f", c / (s / 1e6) }') "
    fi
    echo "  $transport $direction at $loss%: $rate MB/s, $wire link bytes per byte ($size bytes in $time s)"
}


echo "kcp-bench: $(date -u '+%F %T') UTC, load $(cut -d' ' -f1-3 /proc/loadavg), kernel $(uname -r)"
echo "link: ${RATE_MBIT} Mbit/s, queue ${QUEUE_BYTES} B, one-way delay ${DELAY_MS} ms, jitter ${JITTER_MS} ms${BURST:+, burst $BURST}, MTU 1500; TCP $TCP_CC"
echo "transports: $TRANSPORTS"
echo "${SIZE_MIB} MiB per download, $REPS per figure, cut off after ${MAX_TIME} s; relay options: ${RELAY_ARGS[*]:-(defaults)}"
[[ -n $PROXY_CONFIG ]] && echo "proxy configuration added: ${PROXY_CONFIG//\\n/ }"
started=$SECONDS
for loss in "${LOSSES[@]}"; do
    set_loss "$loss"
    echo "loss $loss%:"
    for _ in $(seq "$REPS"); do
        for transport in $TRANSPORTS; do
            first_byte "$transport" "$loss"
            measure "$transport" "$loss"
            [[ "$UPLOAD_MIB" != 0 ]] && measure "$transport" "$loss" up
        done
    done
    stop_lossy
done

# What a loss-driven TCP should reach, with RTT = two one-way delays plus
# the serialisation of a full packet: the square-root law 1.22 MSS / (RTT
# sqrt(p)), and the same with retransmission time-outs (Padhye et al.,
# one segment per ack, first time-out 200 ms + RTT as on Linux); both at
# most the cap's payload rate.
tcp_model() {
    local loss=$1 kind=$2
    awk -v p="$loss" -v d="$DELAY_MS" -v cap="$RATE_MBIT" -v kind="$kind" 'BEGIN {
        rtt = 2 * d / 1000 + 1500 * 8 / (cap * 1e6); limit = cap * 1e6 / 8 * 1448 / 1500 / 1e6
        if (p == 0) { printf "%.3f", limit; exit }
        p /= 100
        if (kind == "sqrt") {
            r = 1.22 * 1448 / (rtt * sqrt(p)) / 1e6
        } else {
            t0 = 0.2 + rtt; q = 3 * sqrt(3 * p / 8); if (q > 1) q = 1
            r = 1448 / (rtt * sqrt(2 * p / 3) + t0 * q * p * (1 + 32 * p * p)) / 1e6
        }
        printf "%.3f", (r < limit ? r : limit) }'
}

# The median of a transport's samples of one kind at one loss rate.
med() {
    local -n samples=$1
    median "${samples[$2:$3]:-}" %.4g
}

echo
printf '%-6s %-11s %9s %8s %8s %9s %9s %9s\n' loss transport "MB/s" "wire" "1st ms" "client" "server" "up MB/s"
for loss in "${LOSSES[@]}"; do
    for transport in $TRANSPORTS; do
        printf '%-6s %-11s %9s %8s %8s %9s %9s %9s\n' "$loss%" "$transport" \
            "$(med SAMPLES "$transport" "$loss")${CUT[$transport:down:$loss]:+~}" "$(med WIRE "$transport" "$loss")" \
            "$(med TTFB "$transport" "$loss")" "$(med PCPU "$transport" "$loss")" "$(med RCPU "$transport" "$loss")" \
            "${CUT[$transport:up:$loss]:+<}$(med UPLOAD "$transport" "$loss")"
    done
    printf '%-6s %-11s %9s\n' "$loss%" "TCP sqrt" "$(tcp_model "$loss" sqrt)"
    printf '%-6s %-11s %9s\n' "$loss%" "TCP pftk" "$(tcp_model "$loss" pftk)"
done
echo "(medians of $REPS; wire = bytes on the link, both directions, per byte delivered; 1st = ms to the"
echo " first byte of a small request; client / server = CPU ms per MB of the client-side program (the"
echo " proxy, or kcptun's client) and of the server side (the relay, or kcptun's server; nginx is not"
echo " counted); up = ${UPLOAD_MIB} MiB uploads, one per download (< = one was cut off); ~ = cut off after ${MAX_TIME} s, counted with"
echo " what it delivered; TCP sqrt / pftk = what a loss-driven TCP should reach, by the square-root"
echo " law / with time-outs)"
echo
for loss in "${LOSSES[@]}"; do
    line="loss=$loss"
    for transport in kcp tcp bbr kcptun kcptun_fec; do
        line+=" ${transport}_MBps=$(med SAMPLES "$transport" "$loss")"
    done
    line+=" ratio=$(ratio "$(med SAMPLES kcp "$loss")" "$(med SAMPLES tcp "$loss")")"
    for transport in kcp tcp bbr kcptun kcptun_fec; do
        line+=" ${transport}_wire=$(med WIRE "$transport" "$loss")"
    done
    echo "$line"
done
for transport in tcp bbr; do
    [[ " $TRANSPORTS " == *" $transport "* ]] &&
        echo "TCP congestion control seen on nginx's connection for $transport: ${CC_SEEN[$transport]:-(not seen)}"
done
echo "total time $((SECONDS - started)) s"
