#!/usr/bin/env bash
# Goodput of a 20 MiB download through lumaview-proxy over KCP (via
# lumaview-relay) versus over plain TCP, at 0%, 5% and 20% loss.
#
# The bad network is lumaview-lossy joining two network namespaces with a
# pair of tun devices: every IP packet between client and server, TCP and
# UDP alike, crosses the same seeded loss and delay, so both transports see
# the same link. The proxy and curl run in the client namespace; nginx and
# the relay in the server namespace. Needs root (namespaces, tun); without
# them it falls back to loopback, where only KCP can be given loss (through
# lumaview-lossy in UDP mode) and TCP is measured at 0% only.
#
# Usage: bench/kcp-bench.sh [build-dir]      (default: build/ under the repository)
# Knobs (environment): BENCH_SIZE_MIB (20), BENCH_LOSSES ("0 5 20", percent),
# BENCH_DELAY_MS (10, one way), BENCH_REPS (3), BENCH_MAX_TIME (600 s per
# download; a download cut off there is reported with a "+" as a lower bound).
# A measurement, not a test: it exits non-zero only when it cannot run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
BUILD=${1:-$ROOT/build}
PROXY_BIN=$BUILD/tools/lumaview-proxy
RELAY_BIN=$BUILD/tools/lumaview-relay
LOSSY_BIN=$BUILD/tools/lumaview-lossy
SIZE_MIB=${BENCH_SIZE_MIB:-20}
LOSSES=(${BENCH_LOSSES:-0 5 20})
DELAY_MS=${BENCH_DELAY_MS:-10}
REPS=${BENCH_REPS:-3}
MAX_TIME=${BENCH_MAX_TIME:-600}

die() {
    echo "kcp-bench: $*" >&2
    exit 1
}

for bin in "$PROXY_BIN" "$RELAY_BIN" "$LOSSY_BIN"; do
    [[ -x "$bin" ]] || die "no $bin (build lumaview-proxy, lumaview-relay and lumaview-lossy, or pass the build directory)"
done
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null) || die "nginx is not installed"
command -v curl >/dev/null || die "curl is not installed"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-kcp-bench.XXXXXX")
NS_CLIENT=lvkb-c-$$
NS_SERVER=lvkb-s-$$
CLIENT_IP=10.206.$(($$ % 250)).1
SERVER_IP=10.206.$(($$ % 250)).2
PIDS=()
LOSSY_PID=
PROXY_PID=
MODE=netns

cleanup() {
    local status=$?
    stop_pids TERM $LOSSY_PID $PROXY_PID "${PIDS[@]}"
    if [[ $MODE == netns ]]; then
        ip netns del "$NS_CLIENT" 2>/dev/null
        ip netns del "$NS_SERVER" 2>/dev/null
    fi
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Prefixes that run a program in a namespace. Not functions: a function run
# in the background is a subshell, and $! would name it, not the program.
IN_CLIENT=()
IN_SERVER=()

# Waits for "port = N" (or "ready") on a program's standard output.
wait_line() {
    local pid=$1 out=$2 pattern=$3
    for _ in $(seq 100); do
        grep -q "$pattern" "$out" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# ---------------------------------------------------------------- the link
if ip netns add "$NS_CLIENT" 2>/dev/null && ip netns add "$NS_SERVER" 2>/dev/null &&
    ip -n "$NS_CLIENT" tuntap add dev lvkb0 mode tun 2>/dev/null &&
    ip -n "$NS_SERVER" tuntap add dev lvkb1 mode tun 2>/dev/null; then
    IN_CLIENT=(ip netns exec "$NS_CLIENT")
    IN_SERVER=(ip netns exec "$NS_SERVER")
    for ns in "$NS_CLIENT" "$NS_SERVER"; do ip -n "$ns" link set lo up; done
    ip -n "$NS_CLIENT" addr add "$CLIENT_IP" peer "$SERVER_IP" dev lvkb0
    ip -n "$NS_SERVER" addr add "$SERVER_IP" peer "$CLIENT_IP" dev lvkb1
    ip -n "$NS_CLIENT" link set lvkb0 up
    ip -n "$NS_SERVER" link set lvkb1 up
else
    ip netns del "$NS_CLIENT" 2>/dev/null
    ip netns del "$NS_SERVER" 2>/dev/null
    MODE=loopback
    SERVER_IP=127.0.6.2
    echo "kcp-bench: no network namespaces or tun devices here; measuring on loopback (TCP at 0% only)" >&2
fi

# Restarts the impairing forwarder with a loss in percent. In netns mode it
# carries the whole link; on loopback it stands in front of the relay.
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
    : > "$WORK/lossy.log"
    local common=(--loss "$loss%" --delay "$DELAY_MS" --seed 1)
    if [[ $MODE == netns ]]; then
        "$LOSSY_BIN" --tun "$NS_CLIENT:lvkb0" --tun "$NS_SERVER:lvkb1" "${common[@]}" \
            >"$WORK/lossy.out" 2>"$WORK/lossy.log" &
        LOSSY_PID=$!
        wait_line "$LOSSY_PID" "$WORK/lossy.out" '^ready' || die "lumaview-lossy did not start: $(cat "$WORK/lossy.log")"
        KCP_ENTRY=$SERVER_IP:$RELAY_PORT
    else
        "$LOSSY_BIN" --listen 127.0.6.1:0 --target "127.0.6.1:$RELAY_PORT" "${common[@]}" \
            >"$WORK/lossy.out" 2>"$WORK/lossy.log" &
        LOSSY_PID=$!
        wait_line "$LOSSY_PID" "$WORK/lossy.out" '^port = ' || die "lumaview-lossy did not start"
        KCP_ENTRY=127.0.6.1:$(sed -n 's/^port = //p' "$WORK/lossy.out")
    fi
}

# ---------------------------------------------------------------- server side
mkdir -p "$WORK/www" "$WORK/tmp"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/www/big"
BIG_SIZE=$(stat -c %s "$WORK/www/big")
echo ok > "$WORK/www/small"
HTTP_PORT=18080
{
    nginx_conf_head "$WORK" error 256
    echo "    access_log off;"
    cat <<EOF
    default_type application/octet-stream;
    sendfile on;
    server {
        listen $SERVER_IP:$HTTP_PORT;
        root $WORK/www;
    }
}
EOF
} > "$WORK/nginx.conf"
"${IN_SERVER[@]}" "$NGINX" -e "$WORK/nginx-error.log" -c "$WORK/nginx.conf" -p "$WORK" -g 'daemon off;' \
    >"$WORK/nginx.out" 2>&1 &
PIDS+=($!)

RELAY_LISTEN=$SERVER_IP:0
[[ $MODE == loopback ]] && RELAY_LISTEN=127.0.6.1:0
"${IN_SERVER[@]}" "$RELAY_BIN" --listen "$RELAY_LISTEN" --upstream "$SERVER_IP:$HTTP_PORT" --log-level W \
    >"$WORK/relay.out" 2>"$WORK/relay.log" &
RELAY_PID=$!
PIDS+=($RELAY_PID)
wait_line "$RELAY_PID" "$WORK/relay.out" '^port = ' || die "lumaview-relay did not start: $(cat "$WORK/relay.log")"
RELAY_PORT=$(sed -n 's/^port = //p' "$WORK/relay.out")

# ---------------------------------------------------------------- client side
start_proxy() {
    if [[ -n "$PROXY_PID" ]]; then
        kill -TERM "$PROXY_PID" 2>/dev/null
        wait "$PROXY_PID" 2>/dev/null
    fi
    # Warnings only: debug logging would dominate what is measured.
    printf 'LogLevel=W\nDebugUseFixedLocalPort=0\nKcpEnabled=1\nKcpHostMapping=.kcp.bench#%s\n' "$KCP_ENTRY" \
        > "$WORK/proxy.conf"
    "${IN_CLIENT[@]}" "$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>>"$WORK/proxy.log" &
    PROXY_PID=$!
    wait_line "$PROXY_PID" "$WORK/proxy.out" '^port = ' || die "lumaview-proxy did not start: $(cat "$WORK/proxy.log")"
    PROXY_PORT=$(sed -n 's/^port = //p' "$WORK/proxy.out")
}

url_of() {
    case $1 in
        kcp) echo "http://www.kcp.bench:$HTTP_PORT/$2" ;;
        tcp) echo "http://$SERVER_IP:$HTTP_PORT/$2" ;;
    esac
}

declare -A SAMPLES CUT

# One download; records MB/s (a lower bound when curl was cut off).
measure() {
    local transport=$1 loss=$2 result code size time
    result=$("${IN_CLIENT[@]}" curl -sS --noproxy '' --max-time "$MAX_TIME" -x "http://127.0.0.1:$PROXY_PORT" -o /dev/null \
        -w '%{http_code} %{size_download} %{time_total}' "$(url_of "$transport" big)" 2>/dev/null)
    read -r code size time <<<"$result"
    if [[ "$code" != 200 || -z "$size" || "$size" == 0 ]]; then
        echo "  $transport at $loss%: failed ($result)" >&2
        return
    fi
    local rate
    rate=$(awk -v s="$size" -v t="$time" 'BEGIN { printf "%.2f", s / t / 1e6 }')
    SAMPLES[$transport:$loss]+="$rate "
    [[ "$size" != "$BIG_SIZE" ]] && CUT[$transport:$loss]=1
    echo "  $transport at $loss%: $rate MB/s ($size bytes in $time s)"
}

median() {
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit }
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "mode $MODE; ${SIZE_MIB} MiB per download; one-way delay ${DELAY_MS} ms; $REPS downloads per figure"
started=$SECONDS
for loss in "${LOSSES[@]}"; do
    set_loss "$loss"
    start_proxy
    for transport in kcp tcp; do
        code=$("${IN_CLIENT[@]}" curl -sS --noproxy '' --max-time 60 -x "http://127.0.0.1:$PROXY_PORT" -o /dev/null \
            -w '%{http_code}' "$(url_of "$transport" small)" 2>/dev/null)
        [[ "$code" == 200 ]] || die "$transport at $loss%: a small request answered '$code'"
    done
    echo "loss $loss%:"
    for _ in $(seq "$REPS"); do
        measure kcp "$loss"
        if [[ $MODE == netns || "$loss" == 0 ]]; then
            measure tcp "$loss"
        fi
    done
    stop_lossy
done

echo
printf '%-10s %16s %16s %10s\n' "loss" "KCP MB/s" "TCP MB/s" "KCP/TCP"
for loss in "${LOSSES[@]}"; do
    k=$(median "${SAMPLES[kcp:$loss]:-}")
    t=$(median "${SAMPLES[tcp:$loss]:-}")
    [[ -n "${CUT[kcp:$loss]:-}" ]] && k="$k+"
    [[ -n "${CUT[tcp:$loss]:-}" ]] && t="$t+"
    ratio=$(awk -v a="${k%+}" -v b="${t%+}" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b }')
    printf '%-10s %16s %16s %10s\n' "$loss%" "$k" "$t" "$ratio"
done
echo "(medians; + marks a figure from a download cut off after $MAX_TIME s)"
echo "total time $((SECONDS - started)) s"
