#!/usr/bin/env bash
# Measures lumaview-proxy against no proxy and against tinyproxy, on loopback,
# with nginx as the origin:
#   - requests per second with wrk, absolute-form requests with
#     "Connection: close", at 1, 16 and 64 connections;
#   - bulk download of a 10 MiB file with curl, plain HTTP and HTTPS through a
#     CONNECT tunnel (direct HTTPS for "no proxy").
# The three targets are measured interleaved, round after round, so a drift
# in machine load touches all of them alike; each figure is the median.
#
# Usage: bench/proxy-bench.sh [path-to-lumaview-proxy]
#        (default: build/tools/lumaview-proxy under the repository root)
# Knobs (environment): BENCH_ROUNDS (3), BENCH_DURATION (wrk seconds, 3),
# BENCH_REPS (curl downloads per round and target, 3).
# A measurement, not a test: it exits non-zero only when it cannot run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
PROXY_BIN=${1:-$ROOT/build/tools/lumaview-proxy}
ROUNDS=${BENCH_ROUNDS:-3}
DURATION=${BENCH_DURATION:-3}
REPS=${BENCH_REPS:-3}
CONNS=(1 16 64)
TARGETS=(none lumaview tinyproxy)

die() {
    echo "proxy-bench: $*" >&2
    exit 1
}

[[ -x "$PROXY_BIN" ]] || die "no lumaview-proxy at $PROXY_BIN (build it, or pass its path)"
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null) || die "nginx is not installed"
TINYPROXY=$(command -v tinyproxy || ls /usr/sbin/tinyproxy 2>/dev/null) || die "tinyproxy is not installed"
for tool in wrk curl openssl ss; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-bench.XXXXXX")
PIDS=()

cleanup() {
    local status=$?
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
    }
}
EOF
}

start_nginx() {
    launch_nginx "$NGINX" write_nginx_conf ||
        die "nginx did not start: $(cat "$WORK/nginx.out" "$WORK/nginx-error.log" 2>/dev/null)"
    PIDS+=("$NGINX_PID")
}

# ---------------------------------------------------------------- proxies
start_lumaview() {
    # Warnings only: debug logging would dominate what is measured.
    printf 'LogLevel=W\nDebugUseFixedLocalPort=0\n' > "$WORK/lumaview.conf"
    "$PROXY_BIN" --config "$WORK/lumaview.conf" >"$WORK/lumaview.out" 2>"$WORK/lumaview.log" &
    local pid=$!
    PIDS+=("$pid")
    for _ in $(seq 100); do
        grep -q '^port = ' "$WORK/lumaview.out" 2>/dev/null && break
        sleep 0.1
    done
    LUMAVIEW_PORT=$(sed -n 's/^port = //p' "$WORK/lumaview.out")
    [[ -n "$LUMAVIEW_PORT" && "$LUMAVIEW_PORT" -gt 0 ]] ||
        die "lumaview-proxy did not start: $(cat "$WORK/lumaview.out" "$WORK/lumaview.log")"
}

start_tinyproxy() {
    for _ in 1 2 3 4 5; do
        TINY_PORT=$(free_port) || die "no free port"
        cat > "$WORK/tinyproxy.conf" <<EOF
Port $TINY_PORT
Listen 127.0.0.1
Timeout 60
MaxClients 512
Allow 127.0.0.1
ConnectPort $TLS_PORT
DisableViaHeader Yes
LogLevel Error
LogFile "$WORK/tinyproxy.log"
PidFile "$WORK/tinyproxy.pid"
EOF
        "$TINYPROXY" -d -c "$WORK/tinyproxy.conf" >"$WORK/tinyproxy.out" 2>&1 &
        local pid=$!
        if wait_listening "$pid" "$TINY_PORT"; then
            PIDS+=("$pid")
            return 0
        fi
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    die "tinyproxy did not start: $(cat "$WORK/tinyproxy.out" "$WORK/tinyproxy.log" 2>/dev/null)"
}

start_nginx
start_lumaview
start_tinyproxy

ORIGIN_HOST=127.0.0.1:$HTTP_PORT
proxy_port() {
    case $1 in
        lumaview) echo "$LUMAVIEW_PORT" ;;
        tinyproxy) echo "$TINY_PORT" ;;
    esac
}

# wrk has no proxy support: through a proxy it connects to the proxy and
# sends the absolute URL as the request target.
cat > "$WORK/request.lua" <<'EOF'
wrk.method = "GET"
wrk.path = os.getenv("BENCH_PATH")
wrk.headers["Host"] = os.getenv("BENCH_HOST")
wrk.headers["Connection"] = "close"
EOF

# Sanity: every target serves both files before anything is measured.
for target in "${TARGETS[@]}"; do
    via=()
    [[ $target != none ]] && via=(-x "http://127.0.0.1:$(proxy_port "$target")")
    for url in "http://$ORIGIN_HOST/small" "https://127.0.0.1:$TLS_PORT/big"; do
        code=$(curl -sS -k --noproxy '' --max-time 30 "${via[@]}" -o /dev/null -w '%{http_code}' "$url") ||
            die "$target: $url failed"
        [[ $code == 200 ]] || die "$target: $url answered $code"
    done
done

declare -A SAMPLES NOTES

add_sample() {
    SAMPLES[$1]+="$2 "
}

add_note() {
    NOTES[$1]=$((${NOTES[$1]:-0} + $2))
}

run_wrk() {
    local target=$1 conns=$2 url path out
    if [[ $target == none ]]; then
        url="http://$ORIGIN_HOST"
        path=/small
    else
        url="http://127.0.0.1:$(proxy_port "$target")"
        path="http://$ORIGIN_HOST/small"
    fi
    out=$(BENCH_PATH=$path BENCH_HOST=$ORIGIN_HOST \
        timeout $((DURATION + 20)) wrk -t1 -c"$conns" -d"${DURATION}s" --timeout 2s \
        -s "$WORK/request.lua" "$url/" 2>&1)
    local rps errors non2xx
    rps=$(sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$out")
    errors=$(sed -n 's/.*Socket errors: connect \([0-9]*\), read \([0-9]*\), write \([0-9]*\), timeout \([0-9]*\).*/\1 \2 \3 \4/p' <<<"$out")
    non2xx=$(sed -n 's/.*Non-2xx or 3xx responses: *\([0-9]*\).*/\1/p' <<<"$out")
    if [[ -z "$rps" ]]; then
        echo "wrk failed for $target c=$conns: $out" >&2
        return
    fi
    add_sample "rps$conns:$target" "$rps"
    if [[ -n "$errors" ]]; then
        read -r ec er ew et <<<"$errors"
        add_note "connect:$target" "$ec"
        add_note "read:$target" "$er"
        add_note "write:$target" "$ew"
        add_note "timeout:$target" "$et"
    fi
    [[ -n "$non2xx" ]] && add_note "non2xx:$target" "$non2xx"
    add_note "requests:$target" "$(sed -n 's/^ *\([0-9]*\) requests in.*/\1/p' <<<"$out")"
}

run_bulk() {
    local target=$1 mode=$2 url via=()
    [[ $target != none ]] && via=(-x "http://127.0.0.1:$(proxy_port "$target")")
    if [[ $mode == plain ]]; then
        url="http://$ORIGIN_HOST/big"
    else
        url="https://127.0.0.1:$TLS_PORT/big"
    fi
    for _ in $(seq "$REPS"); do
        local result code size speed
        result=$(curl -sS -k --noproxy '' --max-time 60 "${via[@]}" -o /dev/null \
            -w '%{http_code} %{size_download} %{speed_download}' "$url" 2>&1)
        read -r code size speed <<<"$result"
        if [[ "$code" != 200 || "$size" != "$BIG_SIZE" ]]; then
            echo "bulk $mode via $target failed: $result" >&2
            add_note "bulkfail:$target" 1
            continue
        fi
        add_sample "bulk-$mode:$target" "$(awk -v s="$speed" 'BEGIN { printf "%.1f", s / 1e6 }')"
    done
}

median() {
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit }
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f\n", a / b }'
}

echo "nginx :$HTTP_PORT (TLS :$TLS_PORT), lumaview-proxy :$LUMAVIEW_PORT, tinyproxy :$TINY_PORT"
echo "$ROUNDS rounds; wrk -t1 -d${DURATION}s per figure; $REPS downloads of 10 MiB per round and target"
started=$SECONDS
for round in $(seq "$ROUNDS"); do
    for conns in "${CONNS[@]}"; do
        for target in "${TARGETS[@]}"; do
            run_wrk "$target" "$conns"
        done
    done
    for mode in plain tunnel; do
        for target in "${TARGETS[@]}"; do
            run_bulk "$target" "$mode"
        done
    done
    echo "round $round done ($((SECONDS - started)) s)"
done

# Both proxies must still be alive, or their figures mean little.
for pid in "${PIDS[@]}"; do
    kill -0 "$pid" 2>/dev/null || echo "warning: process $pid died during the run" >&2
done

echo
printf '%-30s %12s %12s %12s %10s %10s\n' "" "no proxy" "lumaview" "tinyproxy" "lv/none" "lv/tiny"
row() {
    local label=$1 key=$2 none lv tiny
    none=$(median "${SAMPLES[$key:none]:-}")
    lv=$(median "${SAMPLES[$key:lumaview]:-}")
    tiny=$(median "${SAMPLES[$key:tinyproxy]:-}")
    printf '%-30s %12s %12s %12s %10s %10s\n' "$label" "$none" "$lv" "$tiny" "$(ratio "$lv" "$none")" "$(ratio "$lv" "$tiny")"
}
for conns in "${CONNS[@]}"; do
    row "requests/s, $conns conn" "rps$conns"
done
row "10 MiB plain HTTP, MB/s" "bulk-plain"
row "10 MiB CONNECT+TLS, MB/s" "bulk-tunnel"
echo
echo "wrk totals over all runs (requests; socket errors connect/read/write/timeout; non-2xx):"
for target in "${TARGETS[@]}"; do
    printf '  %-10s %9s requests; errors %s/%s/%s/%s; non-2xx %s%s\n' "$target" \
        "${NOTES[requests:$target]:-0}" "${NOTES[connect:$target]:-0}" "${NOTES[read:$target]:-0}" \
        "${NOTES[write:$target]:-0}" "${NOTES[timeout:$target]:-0}" "${NOTES[non2xx:$target]:-0}" \
        "$([[ -n "${NOTES[bulkfail:$target]:-}" ]] && echo "; failed downloads ${NOTES[bulkfail:$target]}")"
done
echo "total time $((SECONDS - started)) s"
