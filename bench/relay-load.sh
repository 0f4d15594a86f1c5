#!/usr/bin/env bash
# Load on the KCP servers: many conversations at once through lumaview-relay
# (one instance, and two sharing a port with --reuse-port) and, as an
# independent peer in the same run, through kcptun's server with its
# defaults and FEC off. Everything runs on loopback: nginx on 127.0.8.1, the
# servers on 127.0.8.2. The fetches come from relay_load (built in bench/),
# one event loop that opens each conversation from its own address 127.9.x.y,
# so that the per-address shares keep their defaults and SO_REUSEPORT spreads
# the conversations; it speaks KCP to the relays itself and plain TCP to
# kcptun-client (one stream per fetch), and costs far less per fetch than a
# proxy and curl, so the servers set the rates.
#
# Per target and repetition:
#   (a) BENCH_CONVERSATIONS (1000) fetches of 100 KiB at once;
#   (b) BENCH_BULK (32) downloads of BENCH_BULK_MIB (10) MiB at once;
#   (c) new conversations per second: 1 KiB fetches started evenly at a
#       fixed rate for BENCH_STEP_SECONDS (2), from 250 a second, doubling
#       while a step passes, then from the last passed rate up by 10 % until
#       one fails; a step passes when no fetch failed (refused, stalled,
#       short) and the fetches completed at 90 % of the rate or more.
#       BENCH_MAX_RATE (40000) and 30 steps bound it.
# and prints "median key=KEY target=TARGET value=V" lines over the
# repetitions, with the keys
#   cpu-ms-per-mb            server CPU (user + system) per MB carried, (a)+(b)
#   bytes-per-conversation   the servers' resident memory growth per
#                            conversation, taken while the conversations of
#                            (a) are open (proven, upstream connected) and
#                            idle, before their requests
#   first-byte-p99-ms        99th percentile of the time from request to
#                            first byte in (a)
#   conversations-per-second the highest completion rate of a passed step of (c)
#   cpu-ms-per-conversation  server CPU per completed fetch over the steps of (c)
#   failed-fetches           fetches in (a) and (b) that failed or came short
# Targets: relay1, relay2, kcptun. The relays keep their default caps but
# one: --max-unproven 2048, since (a) opens 1000 conversations within one
# round trip and the default 512 would have the newest push out the oldest
# before their proofs could come back.
#
# CPU: the relays' own cost per conversation is about that of their client
# and nginx together, so with everything on two cores relay2 could not pass
# relay1 by much even if its instances were free. For the rate steps, each
# relay instance therefore runs with a fixed share of a CPU,
# BENCH_RELAY_SHARE percent (30; 0 = none), reserved with SCHED_DEADLINE
# (chrt -d, 3 ms of every 10 ms): relay1 gets one share, relay2 two, a small
# machine's one core against its two, and the clients and nginx keep the
# rest, whatever else runs. kcptun's server runs unreserved (a Go program
# starts threads, which SCHED_DEADLINE does not allow), so its rate compares
# with the relays' only when the share is 0. Nothing is pinned to a core.
#
# A measurement, not a test: it exits non-zero only when it cannot run.
#
# Usage: bench/relay-load.sh [build-dir]     (default: build/ under the repository)
# Knobs (environment): BENCH_REPS (3), BENCH_TARGETS ("relay1 relay2 kcptun"),
# BENCH_CONVERSATIONS, BENCH_BULK, BENCH_BULK_MIB, BENCH_MAX_RATE,
# BENCH_STEP_SECONDS, BENCH_RELAY_SHARE, BENCH_RELAY_OPTIONS (added to each
# relay's options).

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
BUILD=${1:-$ROOT/build}
RELAY_BIN=$BUILD/tools/lumaview-relay
LOAD_BIN=$BUILD/bench/relay_load
REPS=${BENCH_REPS:-3}
TARGETS=${BENCH_TARGETS:-relay1 relay2 kcptun}
CONVERSATIONS=${BENCH_CONVERSATIONS:-1000}
BULK=${BENCH_BULK:-32}
BULK_MIB=${BENCH_BULK_MIB:-10}
MAX_RATE=${BENCH_MAX_RATE:-40000}
STEP_SECONDS=${BENCH_STEP_SECONDS:-2}
SHARE=${BENCH_RELAY_SHARE:-30}
read -r -a RELAY_EXTRA <<<"--max-unproven 2048 ${BENCH_RELAY_OPTIONS:-}"
ORIGIN_IP=127.0.8.1
SERVER_IP=127.0.8.2
HOST=www.load.test

die() {
    echo "relay-load: $*" >&2
    exit 1
}
for bin in "$RELAY_BIN" "$LOAD_BIN"; do
    [[ -x "$bin" ]] || die "no $bin (build lumaview-relay and relay_load, or pass the build directory)"
done
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null) || die "nginx is not installed"
RESERVE=()
if [[ $SHARE -gt 0 ]]; then
    RESERVE=(chrt -d --sched-runtime $((SHARE * 100000)) --sched-deadline 10000000 --sched-period 10000000 0)
    "${RESERVE[@]}" true 2>/dev/null ||
        die "can not reserve CPU with chrt -d (needs root): run with BENCH_RELAY_SHARE=0"
fi
if [[ " $TARGETS " == *" kcptun "* ]]; then
    command -v kcptun-server >/dev/null && command -v kcptun-client >/dev/null ||
        die "kcptun is not installed (apt install kcptun, or BENCH_TARGETS without kcptun)"
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-relay-load.XXXXXX")
PIDS=()
SERVER_PIDS=()
CLIENT_PID=
cleanup() {
    local status=$?
    stop_pids TERM $CLIENT_PID "${SERVER_PIDS[@]}"
    stop_pids QUIT "${PIDS[@]}"
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
TICK=$(getconf CLK_TCK)
BEGIN=$SECONDS

# ---------------------------------------------------------------- nginx
mkdir -p "$WORK/www" "$WORK/tmp"
head -c $((100 * 1024)) /dev/urandom >"$WORK/www/100k.bin"
head -c $((BULK_MIB * 1024 * 1024)) /dev/urandom >"$WORK/www/bulk.bin"
head -c 1024 /dev/urandom >"$WORK/www/1k.bin"
write_nginx_conf() {
    nginx_conf_head "$WORK" error 16384
    cat <<EOF
    access_log off;
    keepalive_timeout 0;
    server {
        listen $ORIGIN_IP:$HTTP_PORT backlog=4096;
        listen $ORIGIN_IP:$TLS_PORT;
        root $WORK/www;
    }
}
EOF
}
ulimit -n 65536 2>/dev/null || ulimit -n 16384 2>/dev/null
launch_nginx "$NGINX" write_nginx_conf $ORIGIN_IP || die "nginx could not start"
PIDS+=("$NGINX_PID")

# ---------------------------------------------------------------- targets
# Starts TARGET's servers (and kcptun's client), the relays with RESERVE in
# front when the second argument is "reserved"; sets SERVER_PIDS, CLIENT_PID
# and VIA (relay_load's mode and address).
start_target() {
    local target=$1 port prefix=()
    [[ ${2:-} == reserved ]] && prefix=("${RESERVE[@]}")
    SERVER_PIDS=()
    rm -f "$WORK"/relay-*.log
    case $target in
    relay1 | relay2)
        local count=${target#relay} i reuse=()
        [[ $count -gt 1 ]] && reuse=(--reuse-port)
        port=0
        for i in $(seq "$count"); do
            "${prefix[@]}" "$RELAY_BIN" --listen $SERVER_IP:$port --upstream $ORIGIN_IP:$HTTP_PORT "${reuse[@]}" "${RELAY_EXTRA[@]}" \
                >"$WORK/relay-$i.out" 2>"$WORK/relay-$i.log" &
            SERVER_PIDS+=($!)
            port=$(port_of $! "$WORK/relay-$i.out") || die "relay $i did not start: $(cat "$WORK/relay-$i.log")"
        done
        VIA=(kcp "$SERVER_IP:$port")
        ;;
    kcptun)
        local kport cport
        kport=$(free_port $SERVER_IP) && cport=$(free_port 127.0.0.1) || die "no free port"
        kcptun-server -l "$SERVER_IP:$kport" -t "$ORIGIN_IP:$HTTP_PORT" --datashard 0 --parityshard 0 --quiet \
            >"$WORK/kcptun-server.log" 2>&1 &
        SERVER_PIDS+=($!)
        kcptun-client -l "127.0.0.1:$cport" -r "$SERVER_IP:$kport" --datashard 0 --parityshard 0 --quiet \
            >"$WORK/kcptun-client.log" 2>&1 &
        CLIENT_PID=$!
        wait_listening $CLIENT_PID "$cport" 127.0.0.1 || die "kcptun-client did not start"
        VIA=(tcp "127.0.0.1:$cport")
        ;;
    esac
}

stop_target() {
    stop_pids TERM $CLIENT_PID "${SERVER_PIDS[@]}"
    CLIENT_PID=
    SERVER_PIDS=()
}

# CPU ticks (user + system) of the servers so far.
server_ticks() {
    local pid total=0
    for pid in "${SERVER_PIDS[@]}"; do
        total=$((total + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
    done
    echo $total
}

# Resident kB of the servers.
server_rss() {
    local pid total=0
    for pid in "${SERVER_PIDS[@]}"; do
        total=$((total + $(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")))
    done
    echo $total
}

# relay_load through the target: PATH BYTES and its options; prints its line.
load() {
    "$LOAD_BIN" "${VIA[@]}" $HOST:$HTTP_PORT "$@" 2>>"$WORK/load.err"
}

# The value of KEY in a relay_load line.
field() {
    sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"
}

# Phase (c): echoes "RATE CPU-MS-PER-CONVERSATION P99" for the best passed
# step, and reports each step on standard error.
rate_until_failure() {
    local rate=250 best=0 best_p99=- passed=0 fine=0 steps=0 good=0 line achieved failed ticks0
    ticks0=$(server_ticks)
    while [[ $rate -le $MAX_RATE && $steps -lt 30 ]]; do
        steps=$((steps + 1))
        line=$(load /1k.bin 1024 --rate "$rate" --seconds "$STEP_SECONDS" --timeout 3000)
        achieved=$(field per-second "$line")
        failed=$(field failed "$line")
        good=$((good + $(field good "$line" | grep . || echo 0)))
        echo "  $rate/s: $line" >&2
        if [[ -z "$failed" || $failed -ne 0 ]] ||
            awk -v a="$achieved" -v r="$rate" 'BEGIN { exit !(a < 0.9 * r) }'; then
            # Doubling overshot: step up finely from the last rate that passed.
            [[ $fine -eq 1 || $passed -eq 0 ]] && break
            fine=1
            rate=$(((passed * 11 + 9) / 10))
            continue
        fi
        passed=$rate
        if awk -v a="$achieved" -v b="$best" 'BEGIN { exit !(a > b) }'; then
            best=$achieved
            best_p99=$(field first-byte-p99-ms "$line")
        fi
        if [[ $fine -eq 1 ]]; then rate=$(((rate * 11 + 9) / 10)); else rate=$((rate * 2)); fi
    done
    awk -v b="$best" -v t=$(($(server_ticks) - ticks0)) -v hz="$TICK" -v n="$good" -v p="$best_p99" \
        'BEGIN { printf "%.0f %.3f %s\n", b, n ? t * 1000 / hz / n : 0, p }'
}

declare -A RESULTS
for rep in $(seq "$REPS"); do
    for target in $TARGETS; do
        start_target "$target"
        rss0=$(server_rss)
        ticks0=$(server_ticks)
        # The conversations stay idle for HOLD ms after their proof: the
        # servers at rest, then each fetches at once.
        load /100k.bin 102400 --at-once "$CONVERSATIONS" --hold 4000 --timeout 60000 >"$WORK/a.txt" &
        sleep 3
        rss1=$(server_rss)
        wait $!
        a=$(cat "$WORK/a.txt")
        b=$(load /bulk.bin $((BULK_MIB * 1048576)) --at-once "$BULK" --timeout 120000 --sources 9.200)
        ticks1=$(server_ticks)
        echo "  (a) $a" >&2
        echo "  (b) $b" >&2
        bytes=$(($(field body-bytes "$a" | grep . || echo 0) + $(field body-bytes "$b" | grep . || echo 0)))
        failed=$(($(field failed "$a" | grep . || echo 1000000) + $(field failed "$b" | grep . || echo 1000000)))
        cpu=$(awk -v t=$((ticks1 - ticks0)) -v hz="$TICK" -v b="$bytes" \
            'BEGIN { printf "%.2f", b ? t * 1000 / hz / (b / 1e6) : 0 }')
        per_conv=$(awk -v d=$((rss1 - rss0)) -v n="$CONVERSATIONS" 'BEGIN { printf "%d", d * 1024 / n }')
        p99=$(field first-byte-p99-ms "$a")
        stop_target
        # A fresh server for the rate steps, so that (a) and (b) leave nothing.
        start_target "$target" reserved
        read -r rate conv_cpu rate_p99 < <(rate_until_failure)
        stop_target
        # What the relays counted in the rate steps (opened, refused, ...),
        # and the state of each fetch that timed out.
        grep -h 'relay stopping' "$WORK"/relay-*.log 2>/dev/null | sed 's/.*relay stopping: /  relay: /' >&2
        grep -h 'timed out' "$WORK/load.err" 2>/dev/null | head -n 5 | sed 's/^/  /' >&2
        : >"$WORK/load.err"
        echo "rep $rep $target: cpu-ms-per-mb=$cpu bytes-per-conversation=$per_conv first-byte-p99-ms=$p99" \
            "conversations-per-second=$rate cpu-ms-per-conversation=$conv_cpu (first byte p99 at that rate" \
            "$rate_p99 ms) failed-fetches=$failed (MB carried $((bytes / 1000000)))"
        for kv in cpu-ms-per-mb=$cpu bytes-per-conversation=$per_conv first-byte-p99-ms=$p99 \
            conversations-per-second=$rate cpu-ms-per-conversation=$conv_cpu failed-fetches=$failed; do
            RESULTS["${kv%%=*} $target"]+=" ${kv#*=}"
        done
    done
done

for key in cpu-ms-per-mb bytes-per-conversation conversations-per-second first-byte-p99-ms \
    cpu-ms-per-conversation failed-fetches; do
    for target in $TARGETS; do
        echo "median key=$key target=$target value=$(median "${RESULTS["$key $target"]}")"
    done
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores; $((SECONDS - BEGIN)) s;" \
    "relays' share of a CPU each in the rate steps: ${SHARE:-0} % (0 = unreserved)"
