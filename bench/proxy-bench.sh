#!/usr/bin/env bash
# Measures lumaview-proxy against no proxy and against HAProxy, tinyproxy,
# squid and privoxy, on loopback, with nginx as the origin:
#   - requests per second and p99 latency with wrk, absolute-form requests
#     with "Connection: close", at 1, 16 and 64 connections;
#   - download of a 10 MiB file with curl: plain HTTP, HTTPS through a
#     CONNECT tunnel (direct HTTPS for "no proxy"), and chunked (nginx sends
#     the same file without a length);
#   - the proxy's CPU time, in ms per 10 MiB plain download and in us per
#     request of the wrk runs;
#   - resident memory per held idle client (connected, nothing sent).
# HAProxy runs one thread with splice-auto, an HTTP-mode frontend in front of
# nginx's HTTP port (absolute-form requests go to that one backend). It does
# not tunnel CONNECT: its CONNECT+TLS figure is HTTPS fetched directly from a
# second, TCP-mode frontend in front of nginx's TLS port.
# CPU time is the sum of the first field of /proc/PID/task/*/schedstat (ns on
# the CPU) over the proxy's threads (and, for squid, its children's), read
# right before and after each download of /big through the proxy (scaled to
# 10 MiB) and each wrk run at 16 and 64 connections (divided by the requests
# wrk completed in it). The runs at one connection are left out: there each
# request costs a loop turn of its own, about half as much again, and mixed
# in they put the median on the edge between two clusters. A proxy that runs
# a thread per connection takes CPU time away with each exited thread; for
# such a proxy the complete utime+stime of /proc/PID/stat, in clock ticks, is
# used instead, and the output says so.
# The targets are measured interleaved, round after round, so a drift in
# machine load touches all of them alike; each figure is the median, and the
# ratios are to no proxy in the same run. Each median is also printed as one
# line "median key=KEY target=TARGET value=V", for scripts that compare runs.
#
# Usage: bench/proxy-bench.sh [path-to-lumaview-proxy]
#        (default: build/tools/lumaview-proxy under the repository root)
# Knobs (environment): BENCH_ROUNDS (3), BENCH_DURATION (wrk seconds, 2),
# BENCH_REPS (curl downloads per round, mode and target, 3), BENCH_IDLE
# (idle clients held for the memory figure, 300), BENCH_TARGETS (a subset of
# "none lumaview haproxy tinyproxy squid privoxy"; a missing program is
# skipped), BENCH_BASELINE (another lumaview-proxy binary, measured as
# "baseline" beside the first: before and after a change in one run).
# A measurement, not a test: it exits non-zero only when it cannot run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
PROXY_BIN=${1:-$ROOT/build/tools/lumaview-proxy}
ROUNDS=${BENCH_ROUNDS:-3}
DURATION=${BENCH_DURATION:-2}
REPS=${BENCH_REPS:-3}
IDLE=${BENCH_IDLE:-300}
CONNS=(1 16 64)
read -r -a TARGETS <<<"${BENCH_TARGETS:-none lumaview haproxy tinyproxy squid privoxy}"
BASELINE_BIN=${BENCH_BASELINE:-}
if [[ -n "$BASELINE_BIN" ]]; then
    [[ -x "$BASELINE_BIN" ]] || die "no baseline binary at $BASELINE_BIN"
    TARGETS=("${TARGETS[0]}" baseline "${TARGETS[@]:1}")
fi
MODES=(plain tunnel chunked)

die() {
    echo "proxy-bench: $*" >&2
    exit 1
}

find_program() {
    command -v "$1" 2>/dev/null || { [[ -x /usr/sbin/$1 ]] && echo "/usr/sbin/$1"; }
}

[[ -x "$PROXY_BIN" ]] || die "no lumaview-proxy at $PROXY_BIN (build it, or pass its path)"
NGINX=$(find_program nginx) || die "nginx is not installed"
for tool in wrk curl openssl ss; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done
declare -A PROGRAM
kept=()
for target in "${TARGETS[@]}"; do
    case $target in
        none | lumaview | baseline) kept+=("$target") ;;
        haproxy | tinyproxy | squid | privoxy)
            if PROGRAM[$target]=$(find_program "$target"); then
                kept+=("$target")
            else
                echo "proxy-bench: $target is not installed, skipped" >&2
            fi
            ;;
        *) die "unknown target $target" ;;
    esac
done
TARGETS=("${kept[@]}")

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-bench.XXXXXX")
PIDS=()

cleanup() {
    local status=$?
    release_idle
    stop_pids TERM "${PIDS[@]}"
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- nginx
mkdir -p "$WORK/www" "$WORK/tmp"
head -c 512 /dev/urandom | base64 -w 64 > "$WORK/www/small"
head -c $((10 * 1024 * 1024)) /dev/urandom > "$WORK/www/big"
: > "$WORK/www/empty"
BIG_SIZE=$(stat -c %s "$WORK/www/big")
make_cert "$WORK" 127.0.0.1 IP:127.0.0.1 || die "openssl could not make a certificate"

write_nginx_conf() {
    nginx_conf_head "$WORK" error 4096
    echo "    access_log off;"
    cat <<EOF
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:$HTTP_PORT backlog=4096;
        listen 127.0.0.1:$TLS_PORT ssl backlog=4096;
        ssl_certificate $WORK/cert.pem;
        ssl_certificate_key $WORK/key.pem;
        root $WORK/www;
        # The same 10 MiB without a length: an (empty) appended body makes
        # nginx send it chunked, at almost no cost of its own.
        location = /chunked {
            alias $WORK/www/big;
            addition_types *;
            add_after_body /empty;
        }
    }
}
EOF
}

launch_nginx "$NGINX" write_nginx_conf ||
    die "nginx did not start: $(cat "$WORK/nginx.out" "$WORK/nginx-error.log" 2>/dev/null)"
PIDS+=("$NGINX_PID")

# ---------------------------------------------------------------- proxies
# Each proxy runs in the foreground on its own free port with its own files
# under $WORK; PORT[target] and PID[target] are set once it listens.
declare -A PORT PID

start_lumaview() {
    local name=$1 binary=$2
    # Warnings only: debug logging would dominate what is measured.
    printf 'LogLevel=W\nDebugUseFixedLocalPort=0\n' > "$WORK/lumaview.conf"
    "$binary" --config "$WORK/lumaview.conf" >"$WORK/$name.out" 2>"$WORK/$name.log" &
    local pid=$!
    PIDS+=("$pid")
    PORT[$name]=$(port_of "$pid" "$WORK/$name.out") ||
        die "$binary did not start: $(cat "$WORK/$name.out" "$WORK/$name.log")"
    PID[$name]=$pid
}

write_tinyproxy_conf() {
    cat <<EOF
Port $1
Listen 127.0.0.1
Timeout 60
MaxClients 1024
Allow 127.0.0.1
ConnectPort $TLS_PORT
DisableViaHeader Yes
LogLevel Error
LogFile "$WORK/tinyproxy/log"
EOF
}

write_squid_conf() {
    # Memory only, no cache, no logs but errors: a forwarding proxy.
    cat <<EOF
http_port 127.0.0.1:$1
http_access allow all
cache deny all
cache_mem 8 MB
access_log none
cache_store_log none
cache_log $WORK/squid/cache.log
pid_filename none
coredump_dir $WORK/squid
forwarded_for delete
via off
max_filedescriptors 4096
shutdown_lifetime 1 seconds
EOF
}

write_privoxy_conf() {
    # No action or filter files: plain forwarding.
    cat <<EOF
confdir $WORK/privoxy
logdir $WORK/privoxy
listen-address 127.0.0.1:$1
toggle 0
enable-remote-toggle 0
enable-edit-actions 0
max-client-connections 1024
socket-timeout 60
EOF
}

write_haproxy_conf() {
    # No log lines: nothing is logged. The timeouts outlast any download, and
    # maxconn leaves room for the 64 wrk connections and the idle clients.
    cat <<EOF
global
    nbthread 1
    maxconn $((IDLE + 1024))
defaults
    mode http
    option splice-auto
    maxconn $((IDLE + 1024))
    timeout connect 10s
    timeout client 60s
    timeout server 60s
frontend plain
    bind 127.0.0.1:$1
    default_backend nginx-http
backend nginx-http
    server origin 127.0.0.1:$HTTP_PORT
frontend tls
    mode tcp
    bind 127.0.0.1:$2
    default_backend nginx-tls
backend nginx-tls
    mode tcp
    server origin 127.0.0.1:$TLS_PORT
EOF
}

# Port of HAProxy's TCP-mode frontend: HTTPS fetched directly from it stands
# in for the CONNECT tunnel that HAProxy does not offer.
HAPROXY_TLS_PORT=

start_packaged() {
    local target=$1 port tcp_port pid
    mkdir -p "$WORK/$target"
    # squid drops to its own user for its log.
    chmod 711 "$WORK"
    chmod 777 "$WORK/$target"
    for _ in 1 2 3 4 5; do
        port=$(free_port) || die "no free port"
        tcp_port=$(free_port) || die "no free port"
        [[ $port == "$tcp_port" ]] && continue
        "write_${target}_conf" "$port" "$tcp_port" > "$WORK/$target/conf"
        # exec: the background subshell becomes the proxy, so that $! is the
        # proxy itself, which the cleanup stops and the figures read.
        case $target in
            haproxy) exec "${PROGRAM[$target]}" -db -f "$WORK/$target/conf" ;;
            tinyproxy) exec "${PROGRAM[$target]}" -d -c "$WORK/$target/conf" ;;
            squid) exec "${PROGRAM[$target]}" -N -f "$WORK/$target/conf" ;;
            privoxy) exec "${PROGRAM[$target]}" --no-daemon "$WORK/$target/conf" ;;
        esac >"$WORK/$target/out" 2>&1 &
        pid=$!
        if wait_listening "$pid" "$port" 127.0.0.1 &&
            { [[ $target != haproxy ]] || wait_listening "$pid" "$tcp_port" 127.0.0.1; }; then
            [[ $target == haproxy ]] && HAPROXY_TLS_PORT=$tcp_port
            PIDS+=("$pid")
            PORT[$target]=$port
            PID[$target]=$pid
            return 0
        fi
        stop_pids TERM "$pid"
    done
    die "$target did not start: $(cat "$WORK/$target/out" "$WORK/$target"/*.log 2>/dev/null | tail -n 5)"
}

for target in "${TARGETS[@]}"; do
    case $target in
        none) ;;
        lumaview) start_lumaview lumaview "$PROXY_BIN" ;;
        baseline) start_lumaview baseline "$BASELINE_BIN" ;;
        *) start_packaged "$target" ;;
    esac
done

ORIGIN_HOST=127.0.0.1:$HTTP_PORT

# wrk has no proxy support: through a proxy it connects to the proxy and
# sends the absolute URL as the request target.
cat > "$WORK/request.lua" <<'EOF'
wrk.method = "GET"
wrk.path = os.getenv("BENCH_PATH")
wrk.headers["Host"] = os.getenv("BENCH_HOST")
wrk.headers["Connection"] = "close"
EOF

# Sets ROUTE to curl's proxy option (if any) and URL for fetching the file of
# MODE (small, plain, tunnel, chunked) through TARGET.
route() {
    local target=$1 mode=$2
    ROUTE=()
    if [[ $target == haproxy && $mode == tunnel ]]; then
        ROUTE=("https://127.0.0.1:$HAPROXY_TLS_PORT/big")
        return
    fi
    [[ $target != none ]] && ROUTE=(-x "http://127.0.0.1:${PORT[$target]}")
    case $mode in
        small) ROUTE+=("http://$ORIGIN_HOST/small") ;;
        plain) ROUTE+=("http://$ORIGIN_HOST/big") ;;
        tunnel) ROUTE+=("https://127.0.0.1:$TLS_PORT/big") ;;
        chunked) ROUTE+=("http://$ORIGIN_HOST/chunked") ;;
    esac
}

declare -A SAMPLES NOTES

add_sample() {
    SAMPLES[$1]+="$2 "
}

add_note() {
    NOTES[$1]=$((${NOTES[$1]:-0} + ${2:-0}))
}

# wrk's latency figures carry their unit (us, ms, s): echoes milliseconds.
to_ms() {
    awk -v v="$1" 'BEGIN {
        n = v + 0
        if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0; else if (v ~ /s$/) n *= 1000
        printf "%.2f\n", n }'
}

run_wrk() {
    local target=$1 conns=$2 url path out cpu_before cpu_after
    if [[ $target == none ]]; then
        url="http://$ORIGIN_HOST"
        path=/small
    else
        url="http://127.0.0.1:${PORT[$target]}"
        path="http://$ORIGIN_HOST/small"
    fi
    cpu_before=$(cpu_times "$target")
    out=$(BENCH_PATH=$path BENCH_HOST=$ORIGIN_HOST \
        timeout $((DURATION + 20)) wrk -t1 -c"$conns" -d"${DURATION}s" --timeout 2s --latency \
        -s "$WORK/request.lua" "$url/" 2>&1)
    cpu_after=$(cpu_times "$target")
    local rps p99 errors non2xx requests
    rps=$(sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$out")
    p99=$(sed -n 's/^ *99% *\([0-9.]*[a-z]*\).*/\1/p' <<<"$out")
    errors=$(sed -n 's/.*Socket errors: connect \([0-9]*\), read \([0-9]*\), write \([0-9]*\), timeout \([0-9]*\).*/\1 \2 \3 \4/p' <<<"$out")
    non2xx=$(sed -n 's/.*Non-2xx or 3xx responses: *\([0-9]*\).*/\1/p' <<<"$out")
    if [[ -z "$rps" ]]; then
        echo "wrk failed for $target c=$conns: $out" >&2
        return
    fi
    add_sample "rps$conns:$target" "$rps"
    [[ -n "$p99" ]] && add_sample "p99-$conns:$target" "$(to_ms "$p99")"
    if [[ -n "$errors" ]]; then
        read -r ec er ew et <<<"$errors"
        add_note "connect:$target" "$ec"
        add_note "read:$target" "$er"
        add_note "write:$target" "$ew"
        add_note "timeout:$target" "$et"
    fi
    [[ -n "$non2xx" ]] && add_note "non2xx:$target" "$non2xx"
    requests=$(sed -n 's/^ *\([0-9]*\) requests in.*/\1/p' <<<"$out")
    add_note "requests:$target" "$requests"
    ((conns > 1 && ${requests:-0} > 0)) &&
        add_cpu_sample cpu-request "$target" "$cpu_before" "$cpu_after" 1 $((1000 * requests))
    return 0
}

run_bulk() {
    local target=$1 mode=$2 cpu_before cpu_after
    route "$target" "$mode"
    for _ in $(seq "$REPS"); do
        local result code size speed
        cpu_before=$(cpu_times "$target")
        result=$(curl -sS -k --noproxy '' --max-time 60 -o /dev/null \
            -w '%{http_code} %{size_download} %{speed_download}' "${ROUTE[@]}" 2>&1)
        cpu_after=$(cpu_times "$target")
        read -r code size speed <<<"$result"
        if [[ "$code" != 200 || "$size" != "$BIG_SIZE" ]]; then
            echo "bulk $mode via $target failed: $result" >&2
            add_note "bulkfail:$target" 1
            continue
        fi
        add_sample "bulk-$mode:$target" "$(awk -v s="$speed" 'BEGIN { printf "%.1f", s / 1e6 }')"
        [[ $mode == plain ]] &&
            add_cpu_sample cpu-plain "$target" "$cpu_before" "$cpu_after" 10485760 $((1000000 * size))
    done
}

# CPU time of TARGET's process (for squid, its kids too) in ns, two ways: the
# first fields of its threads' schedstat (exact, but a thread that exits
# takes its time with it) and utime, stime, cutime and cstime of its stat
# (complete, but in clock ticks). Nothing for "none".
CLK_TCK=$(getconf CLK_TCK)
cpu_times() {
    [[ $1 == none ]] && return
    local pid=${PID[$1]} p
    for p in $pid $(pgrep -P "$pid" 2>/dev/null); do
        cat "/proc/$p/task/"*/schedstat 2>/dev/null | awk '{ print "s", $1 }'
        sed 's/.*) //' "/proc/$p/stat" 2>/dev/null | awk '{ print "t", $12 + $13 + $14 + $15 }'
    done | awk -v hz="$CLK_TCK" '$1 == "s" { s += $2 } $1 == "t" { t += $2 }
        END { printf "%.0f %.0f\n", s, t * 1e9 / hz }'
}

# Records the CPU time between BEFORE and AFTER (from cpu_times) times MUL
# over DIV as a sample of KEY for TARGET, each way.
add_cpu_sample() {
    local key=$1 target=$2 mul=$5 div=$6 s0 t0 s1 t1
    read -r s0 t0 <<<"$3"
    read -r s1 t1 <<<"$4"
    [[ -n "${t0:-}" && -n "${t1:-}" ]] || return 0
    add_sample "$key:$target" "$(awk -v d=$((s1 - s0)) -v m="$mul" -v n="$div" 'BEGIN { printf "%.2f", d * m / n }')"
    add_sample "$key-ticks:$target" "$(awk -v d=$((t1 - t0)) -v m="$mul" -v n="$div" 'BEGIN { printf "%.2f", d * m / n }')"
    add_note "cpu-sched:$target" $((s1 - s0))
    add_note "cpu-ticks:$target" $((t1 - t0))
}

# Resident memory of a process in kB (for squid, its kids too).
rss_kb() {
    local pid=$1 total=0 p
    for p in $pid $(pgrep -P "$pid" 2>/dev/null); do
        total=$((total + $(awk '/^VmRSS:/ { print $2 }' "/proc/$p/status" 2>/dev/null || echo 0)))
    done
    echo "$total"
}

IDLE_FDS=()
release_idle() {
    local fd
    for fd in "${IDLE_FDS[@]}"; do
        exec {fd}>&-
    done
    IDLE_FDS=()
}

# Holds IDLE connected clients that send nothing for a second, and records
# the growth of the resident memory per client in bytes. Measured once, before
# any traffic: afterwards the heap holds freed buffers of the loads, which
# new clients would reuse without growing the resident set.
run_idle() {
    local target=$1 pid=${PID[$1]} before after fd held=0
    before=$(rss_kb "$pid")
    for _ in $(seq "$IDLE"); do
        exec {fd}<>"/dev/tcp/127.0.0.1/${PORT[$target]}" 2>/dev/null || break
        IDLE_FDS+=("$fd")
        held=$((held + 1))
    done
    sleep 1
    after=$(rss_kb "$pid")
    release_idle
    if [[ $held -eq 0 ]]; then
        echo "idle clients to $target: none could connect" >&2
        return
    fi
    add_sample "idle:$target" "$(awk -v a="$after" -v b="$before" -v n="$held" 'BEGIN { printf "%.0f", (a - b) * 1024 / n }')"
}



for target in "${TARGETS[@]}"; do
    [[ $target != none ]] && run_idle "$target"
done
sleep 0.5 # let the proxies see the idle clients go

# Sanity: every target serves every file whole before anything is measured,
# and the chunked one really is chunked.
for target in "${TARGETS[@]}"; do
    for mode in small "${MODES[@]}"; do
        route "$target" "$mode"
        result=$(curl -sS -k --noproxy '' --max-time 30 -D "$WORK/head" -o "$WORK/body" \
            -w '%{http_code} %{size_download}' "${ROUTE[@]}" 2>&1) || die "$target: ${ROUTE[*]} failed: $result"
        [[ ${result%% *} == 200 ]] || die "$target: ${ROUTE[*]} answered $result"
        case $mode in
            small) cmp -s "$WORK/body" "$WORK/www/small" ;;
            *) cmp -s "$WORK/body" "$WORK/www/big" ;;
        esac || die "$target: ${ROUTE[*]} arrived altered"
    done
    grep -qi '^Transfer-Encoding: *chunked' "$WORK/head" ||
        die "$target: /chunked arrived without chunked encoding: $(cat "$WORK/head")"
done

echo "nginx :$HTTP_PORT (TLS :$TLS_PORT); $(for t in "${TARGETS[@]}"; do [[ $t != none ]] && printf '%s :%s ' "$t" "${PORT[$t]}"; done)"
echo "$ROUNDS rounds; wrk -t1 -d${DURATION}s per figure; $REPS downloads of 10 MiB per round, mode and target; $IDLE idle clients held once before any traffic"
echo "load before: $(uptime)"
started=$SECONDS
for round in $(seq "$ROUNDS"); do
    for conns in "${CONNS[@]}"; do
        for target in "${TARGETS[@]}"; do
            run_wrk "$target" "$conns"
        done
    done
    for mode in "${MODES[@]}"; do
        for target in "${TARGETS[@]}"; do
            run_bulk "$target" "$mode"
        done
    done
    echo "round $round done ($((SECONDS - started)) s)"
done
echo "load after: $(uptime)"

# Every proxy must still be alive, or its figures mean little.
for target in "${TARGETS[@]}"; do
    [[ $target == none ]] && continue
    kill -0 "${PID[$target]}" 2>/dev/null || echo "warning: $target died during the run" >&2
done

# A proxy with a thread per connection loses most of its CPU time from the
# live threads' schedstat: where the complete tick count says far more was
# spent, that proxy's CPU figures are the tick-based ones (10 ms grain).
TICK_TARGETS=()
for target in "${TARGETS[@]}"; do
    sched=${NOTES[cpu-sched:$target]:-0}
    ticks=${NOTES[cpu-ticks:$target]:-0}
    if ((ticks > sched + sched / 4 + 100000000)); then
        SAMPLES[cpu-plain:$target]=${SAMPLES[cpu-plain-ticks:$target]:-}
        SAMPLES[cpu-request:$target]=${SAMPLES[cpu-request-ticks:$target]:-}
        TICK_TARGETS+=("$target")
    fi
done

# One table of medians, then one of ratios to no proxy (times no proxy for
# throughput; for p99 latency, the proxy's milliseconds over no proxy's).
LABELS=("req/s 1 conn" "req/s 16 conn" "req/s 64 conn" "p99 ms 1 conn" "p99 ms 16 conn" "p99 ms 64 conn"
    "10 MiB plain MB/s" "10 MiB CONNECT+TLS MB/s" "10 MiB chunked MB/s"
    "CPU ms per 10 MiB plain" "CPU us per request" "idle client, bytes")
KEYS=(rps1 rps16 rps64 p99-1 p99-16 p99-64 bulk-plain bulk-tunnel bulk-chunked cpu-plain cpu-request idle)
# Figures without a no-proxy counterpart: the ratios table repeats their medians.
ABSOLUTE=" cpu-plain cpu-request "
print_table() {
    local what=$1 i target value
    printf '\n%-26s' "$what"
    for target in "${TARGETS[@]}"; do printf ' %10s' "$target"; done
    echo
    for i in "${!KEYS[@]}"; do
        printf '%-26s' "${LABELS[$i]}"
        for target in "${TARGETS[@]}"; do
            value=$(median "${SAMPLES[${KEYS[$i]}:$target]:-}")
            if [[ $what == ratios* && $ABSOLUTE != *" ${KEYS[$i]} "* ]]; then
                if [[ $target == none || ${KEYS[$i]} == idle ]]; then
                    value=-
                else
                    value=$(ratio "$value" "$(median "${SAMPLES[${KEYS[$i]}:none]:-}")")
                fi
            fi
            printf ' %10s' "$value"
        done
        echo
    done
}
print_table "medians"
print_table "ratios to no proxy"
echo "(the CPU rows of the ratios table are the medians themselves: no proxy has no CPU figure)"
((${#TICK_TARGETS[@]})) &&
    echo "(CPU of ${TICK_TARGETS[*]} from clock ticks in /proc/PID/stat: threads that exited took theirs out of schedstat)"
echo
for key in rps1 rps16 rps64 p99-16 bulk-plain bulk-tunnel bulk-chunked cpu-plain cpu-request idle; do
    for target in "${TARGETS[@]}"; do
        [[ -n "${SAMPLES[$key:$target]:-}" ]] &&
            echo "median key=$key target=$target value=$(median "${SAMPLES[$key:$target]}")"
    done
done
echo
echo "wrk totals over all runs (requests; socket errors connect/read/write/timeout; non-2xx):"
for target in "${TARGETS[@]}"; do
    printf '  %-10s %9s requests; errors %s/%s/%s/%s; non-2xx %s%s\n' "$target" \
        "${NOTES[requests:$target]:-0}" "${NOTES[connect:$target]:-0}" "${NOTES[read:$target]:-0}" \
        "${NOTES[write:$target]:-0}" "${NOTES[timeout:$target]:-0}" "${NOTES[non2xx:$target]:-0}" \
        "$([[ -n "${NOTES[bulkfail:$target]:-}" ]] && echo "; failed downloads ${NOTES[bulkfail:$target]}")"
done
echo "CPU seconds over the measured work (schedstat of live threads; clock ticks):"
for target in "${TARGETS[@]}"; do
    [[ $target == none ]] && continue
    awk -v t="$target" -v s="${NOTES[cpu-sched:$target]:-0}" -v k="${NOTES[cpu-ticks:$target]:-0}" \
        'BEGIN { printf "  %-10s %9.3f; %.2f\n", t, s / 1e9, k / 1e9 }'
done
echo "total time $((SECONDS - started)) s"
