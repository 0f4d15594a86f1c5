#!/usr/bin/env bash
# Load on the KCP servers: many conversations at once through lumaview-relay
# (one instance, and two sharing a port with --reuse-port) and, as an
# independent peer in the same run, through kcptun's server with its
# defaults and FEC off. Everything runs on loopback: nginx on 127.0.8.1, the
# servers on 127.0.8.2; the relays' clients are one lumaview-proxy per
# target, kcptun's is kcptun-client; curl makes the fetches, one connection
# (so one conversation or stream) each.
#
# Per target and repetition:
#   (a) BENCH_CONVERSATIONS (1000) fetches of 100 KiB at once;
#   (b) BENCH_BULK (32) downloads of BENCH_BULK_MIB (10) MiB at once;
#   (c) new conversations per second, in steps that double from 50, each
#       for 2 s of 1 KiB fetches, until a fetch fails or is refused or the
#       step is BENCH_MAX_RATE (6400).
# and prints "median key=KEY target=TARGET value=V" lines over the
# repetitions, with the keys
#   cpu-ms-per-mb            server CPU (user + system) per MB carried, (a)+(b)
#   bytes-per-conversation   the servers' resident memory growth per
#                            conversation, taken while the conversations of
#                            (a) have finished and linger (live, at rest)
#   conversations-per-second the last step of (c) without a failure
#   first-byte-p99-ms        99th percentile of curl's time to first byte in (a)
#   failed-fetches           fetches in (a) and (b) that failed or came short
# Targets: relay1, relay2, kcptun. The relays run with the per-address
# shares (--max-per-source, --max-unproven-per-source) and --max-unproven
# raised to 4096, since all clients share one address here; their limit of
# 4096 conversations stays.
#
# A measurement, not a test: it exits non-zero only when it cannot run. The
# load generators share the machine's cores with the servers, so on a small
# machine the clients, not the servers, may set the rates.
#
# Usage: bench/relay-load.sh [build-dir]     (default: build/ under the repository)
# Knobs (environment): BENCH_REPS (3), BENCH_TARGETS ("relay1 relay2 kcptun"),
# BENCH_CONVERSATIONS, BENCH_BULK, BENCH_BULK_MIB, BENCH_MAX_RATE.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
BUILD=${1:-$ROOT/build}
PROXY_BIN=$BUILD/tools/lumaview-proxy
RELAY_BIN=$BUILD/tools/lumaview-relay
REPS=${BENCH_REPS:-3}
TARGETS=${BENCH_TARGETS:-relay1 relay2 kcptun}
CONVERSATIONS=${BENCH_CONVERSATIONS:-1000}
BULK=${BENCH_BULK:-32}
BULK_MIB=${BENCH_BULK_MIB:-10}
MAX_RATE=${BENCH_MAX_RATE:-6400}
ORIGIN_IP=127.0.8.1
SERVER_IP=127.0.8.2

die() {
    echo "relay-load: $*" >&2
    exit 1
}
for bin in "$PROXY_BIN" "$RELAY_BIN"; do
    [[ -x "$bin" ]] || die "no $bin (build lumaview-proxy and lumaview-relay, or pass the build directory)"
done
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null) || die "nginx is not installed"
command -v curl >/dev/null || die "curl is not installed"
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

# ---------------------------------------------------------------- nginx
mkdir -p "$WORK/www" "$WORK/tmp"
head -c $((100 * 1024)) /dev/urandom >"$WORK/www/100k.bin"
head -c $((BULK_MIB * 1024 * 1024)) /dev/urandom >"$WORK/www/bulk.bin"
head -c 1024 /dev/urandom >"$WORK/www/1k.bin"
write_nginx_conf() {
    nginx_conf_head "$WORK" error 8192
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
# Starts TARGET's servers and its client; sets SERVER_PIDS, CLIENT_PID and
# CURL_VIA (curl options and the URL prefix that reach nginx through it).
start_target() {
    local target=$1 port
    SERVER_PIDS=()
    rm -f "$WORK"/relay-*.log
    case $target in
    relay1 | relay2)
        local count=${target#relay} i reuse=()
        [[ $count -gt 1 ]] && reuse=(--reuse-port)
        port=0
        for i in $(seq "$count"); do
            "$RELAY_BIN" --listen $SERVER_IP:$port --upstream $ORIGIN_IP:$HTTP_PORT --max-per-source 4096 \
                --max-unproven 4096 --max-unproven-per-source 4096 "${reuse[@]}" --log-level I >"$WORK/relay-$i.out" 2>"$WORK/relay-$i.log" &
            SERVER_PIDS+=($!)
            port=$(port_of $! "$WORK/relay-$i.out") || die "relay $i did not start: $(cat "$WORK/relay-$i.log")"
        done
        printf 'LogLevel=W\nDebugUseFixedLocalPort=0\nKcpEnabled=1\nKcpHostMapping=.load.test#%s:%s\n' \
            $SERVER_IP "$port" >"$WORK/proxy.conf"
        "$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>"$WORK/proxy.log" &
        CLIENT_PID=$!
        port=$(port_of $CLIENT_PID "$WORK/proxy.out") || die "the proxy did not start"
        CURL_VIA=(--noproxy '' -x "http://127.0.0.1:$port" "http://www.load.test:$HTTP_PORT")
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
        CURL_VIA=("http://127.0.0.1:$cport")
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

# Fetches PATH COUNT times at once, one connection each, and appends
# "code bytes first-byte-seconds" lines to OUT.
fetch_many() {
    local path=$1 count=$2 out=$3 max_time=${4:-120}
    local via_opts=("${CURL_VIA[@]:0:${#CURL_VIA[@]}-1}") prefix=${CURL_VIA[-1]}
    local config="$WORK/urls.$BASHPID"
    for _ in $(seq "$count"); do printf 'url = "%s%s"\noutput = "/dev/null"\n' "$prefix" "$path"; done >"$config"
    curl -sS --no-progress-meter --parallel --parallel-immediate --parallel-max "$count" --max-time "$max_time" \
        -H 'Connection: close' -w '%{http_code} %{size_download} %{time_starttransfer}\n' \
        "${via_opts[@]}" --config "$config" >>"$out" 2>>"$WORK/curl.err"
    rm -f "$config"
}

# Fetches that failed or came short of BYTES, from an OUT of fetch_many.
failures() {
    awk -v want="$2" '$1 != 200 || $2 != want { n++ } END { print n + 0 }' "$1"
}

# Phase (c): the last rate (conversations per second) at which every fetch
# of 2 s of starts succeeded.
rate_until_failure() {
    local rate=50 best=0 out batches
    while [[ $rate -le $MAX_RATE ]]; do
        out="$WORK/rate-$rate.txt"
        : >"$out"
        batches=()
        # Ten batches a second for 2 s, each into its own file (appends of
        # parallel curls could interleave).
        for step in $(seq 20); do
            fetch_many /1k.bin $((rate / 10)) "$out.$step" 20 &
            batches+=($!)
            sleep 0.1
        done
        wait "${batches[@]}"
        cat "$out".* >"$out"
        rm -f "$out".*
        if [[ $(wc -l <"$out") -ne $((rate / 10 * 20)) || $(failures "$out" 1024) -ne 0 ]]; then
            echo "  $rate/s: $(failures "$out" 1024) of $(wc -l <"$out") fetches failed; status counts:" \
                "$(awk '{ print $1 }' "$out" | sort | uniq -c | tr -s ' \n' ' ')" >&2
            break
        fi
        best=$rate
        rate=$((rate * 2))
    done
    echo $best
}

declare -A RESULTS
for rep in $(seq "$REPS"); do
    for target in $TARGETS; do
        start_target "$target"
        rss0=$(server_rss)
        ticks0=$(server_ticks)
        : >"$WORK/a.txt"
        fetch_many /100k.bin "$CONVERSATIONS" "$WORK/a.txt"
        # The finished conversations linger for 5 s: that is the relay at rest.
        rss1=$(server_rss)
        : >"$WORK/b.txt"
        fetch_many /bulk.bin "$BULK" "$WORK/b.txt"
        ticks1=$(server_ticks)
        bytes=$(cat "$WORK/a.txt" "$WORK/b.txt" | awk '$1 == 200 { n += $2 } END { print n + 0 }')
        failed=$(($(failures "$WORK/a.txt" 102400) + $(failures "$WORK/b.txt" $((BULK_MIB * 1048576)))))
        cpu=$(awk -v t=$((ticks1 - ticks0)) -v hz="$TICK" -v b="$bytes" 'BEGIN { printf "%.2f", b ? t * 1000 / hz / (b / 1e6) : 0 }')
        per_conv=$(awk -v d=$((rss1 - rss0)) -v n="$CONVERSATIONS" 'BEGIN { printf "%d", d * 1024 / n }')
        p99=$(awk '$1 == 200 { print $3 * 1000 }' "$WORK/a.txt" | sort -g |
            awk '{ v[NR] = $1 } END { i = int(NR * 0.99); if (i < 1) i = 1; printf "%.1f", v[i] }')
        stop_target
        # A fresh server for the rate steps, so that (a) and (b) leave nothing.
        start_target "$target"
        rate=$(rate_until_failure)
        stop_target
        # What the relays counted in the rate steps (opened, refused, ...).
        grep -h 'relay stopping' "$WORK"/relay-*.log 2>/dev/null | sed 's/.*relay stopping: /  relay: /' >&2
        echo "rep $rep $target: cpu-ms-per-mb=$cpu bytes-per-conversation=$per_conv first-byte-p99-ms=$p99" \
            "conversations-per-second=$rate failed-fetches=$failed (MB carried $((bytes / 1000000)))"
        for kv in cpu-ms-per-mb=$cpu bytes-per-conversation=$per_conv first-byte-p99-ms=$p99 \
            conversations-per-second=$rate failed-fetches=$failed; do
            RESULTS["${kv%%=*} $target"]+=" ${kv#*=}"
        done
    done
done

for key in cpu-ms-per-mb bytes-per-conversation conversations-per-second first-byte-p99-ms failed-fetches; do
    for target in $TARGETS; do
        echo "median key=$key target=$target value=$(median "${RESULTS["$key $target"]}")"
    done
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
