#!/usr/bin/env bash
# A long run of the servers under steady mixed traffic, watching for growth.
#
#   - lumaview-proxy on loopback in front of nginx: keep-alive GETs of a
#     1 KiB and a 1 MiB file, the 1 MiB file through a CONNECT tunnel to
#     nginx's TLS port and sent chunked, uploads (PUT with a length and
#     chunked), and clients that give up mid-answer or mid-upload;
#   - lumaview-relay behind lumaview-lossy (two network namespaces joined by
#     tun devices, 5 % loss, 25 ms one way, 20 Mbit/s, as in kcp-bench.sh),
#     reached by a second lumaview-proxy over KCP: 256 KiB GETs and uploads
#     and aborted downloads to a second nginx;
#   - lumaview-httpdns under steady queries: names from its hosts file, names
#     its resolver (dnsmasq) answers and names the resolver refuses.
# Every body is compared byte for byte with its source (uploads: the stored
# file). Each process (both proxies, the relay, the HTTP-DNS service, the
# forwarder) is read every 2 s from /proc: VmRSS, open descriptors, CPU
# ticks. Every 10 s one row is kept per process with the smallest RSS and
# descriptor count of its window, so that connections in flight at the
# moment of a reading do not pass for growth; leaked memory or descriptors
# raise that floor. The run fails when
#   - over the second half of the run, the least-squares slope of a
#     process's RSS exceeds SOAK_RSS_KIB (1024 KiB per 10 min) or that of its
#     descriptors SOAK_FDS (1 per 10 min); judged only when the second half
#     spans at least SOAK_JUDGE_S (300 s), as a shorter run measures warm-up;
#   - a request that should succeed fails (an aborted client counts as
#     aborted when curl gave up at its time limit, and as failed otherwise);
#   - a process dies (the run then ends at once).
# It prints a table with a row per process (RSS and descriptors before the traffic,
# at the end of the traffic and after 5 s of quiet, slopes, CPU), one of the
# requests, and the figures as "soak key=KEY target=PROCESS value=V" lines.
# Each client pauses SOAK_PAUSE (0.2 s) between requests, so the run loads
# a shared machine moderately.
#
# Usage: bench/soak.sh [DURATION [build-dir]]
#        DURATION: seconds, or with a unit: 90s, 30m, 1h (default 30m).
# Knobs (environment): SOAK_PAUSE, SOAK_LOSS (5, percent), SOAK_RSS_KIB,
# SOAK_FDS, SOAK_JUDGE_S. Needs root, nginx, curl, openssl and dnsmasq.
# Exits 0 when the run passed, 1 when it failed, 2 when it could not run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"

die() {
    echo "soak: $*" >&2
    exit 2
}

case ${1:-30m} in
    *h) DURATION=$((${1%h} * 3600)) ;;
    *m) DURATION=$((${1%m} * 60)) ;;
    *s) DURATION=${1%s} ;;
    *) DURATION=${1:-1800} ;;
esac 2>/dev/null
[[ "${DURATION:-}" =~ ^[0-9]+$ && $DURATION -ge 20 ]] || die "bad duration '${1:-}' (at least 20 s: 90s, 30m, 1h)"
BUILD=${2:-$ROOT/build}
PROXY_BIN=$BUILD/tools/lumaview-proxy
RELAY_BIN=$BUILD/tools/lumaview-relay
LOSSY_BIN=$BUILD/tools/lumaview-lossy
HTTPDNS_BIN=$BUILD/tools/lumaview-httpdns
PAUSE=${SOAK_PAUSE:-0.2}
LOSS=${SOAK_LOSS:-5}
RSS_LIMIT=${SOAK_RSS_KIB:-1024}
FDS_LIMIT=${SOAK_FDS:-1}
JUDGE_S=${SOAK_JUDGE_S:-300}
DNSMASQ=/usr/sbin/dnsmasq

for bin in "$PROXY_BIN" "$RELAY_BIN" "$LOSSY_BIN" "$HTTPDNS_BIN"; do
    [[ -x "$bin" ]] || die "no $bin (build the tools, or pass the build directory)"
done
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null) || die "nginx is not installed"
[[ -x $DNSMASQ ]] || die "dnsmasq is not installed"
for tool in curl openssl cmp; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done
[[ $(id -u) -eq 0 ]] || die "needs root (network namespaces and tun devices)"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-soak.XXXXXX")
NS_CLIENT=lvsk-c-$$
NS_SERVER=lvsk-s-$$
CLIENT_IP=10.207.$(($$ % 250)).1
SERVER_IP=10.207.$(($$ % 250)).2
NS_HTTP_PORT=18080
PIDS=()
WORKERS=()
LOSSY_PID=

cleanup() {
    local status=$?
    touch "$WORK/stop"
    # A client stops after its request, which has a time limit.
    stop_pids TERM "${WORKERS[@]}"
    stop_pids TERM $LOSSY_PID "${PIDS[@]}"
    ip netns del "$NS_CLIENT" 2>/dev/null
    ip netns del "$NS_SERVER" 2>/dev/null
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

IN_CLIENT=(ip netns exec "$NS_CLIENT")
IN_SERVER=(ip netns exec "$NS_SERVER")

# ---------------------------------------------------------------- files
mkdir -p "$WORK/www/up" "$WORK/tmp" "$WORK/ns/tmp" "$WORK/req" "$WORK/got"
head -c 1024 /dev/urandom >"$WORK/www/small"
head -c $((1024 * 1024)) /dev/urandom >"$WORK/www/medium"
head -c $((256 * 1024)) /dev/urandom >"$WORK/www/kcp"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$WORK/www/big"
: >"$WORK/www/empty"
make_cert "$WORK" 127.0.0.1 IP:127.0.0.1 || die "openssl could not make a certificate"

# nginx for both sides: LISTEN names the addresses, DIR keeps its files.
write_nginx_conf() {
    local dir=$1 listen=$2
    nginx_conf_head "$dir" error 1024
    cat <<EOF
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    client_max_body_size 0;
    server {
        $listen
        ssl_certificate $WORK/cert.pem;
        ssl_certificate_key $WORK/key.pem;
        root $WORK/www;
        location /up/ { dav_methods PUT; }
        # The 1 MiB file without a length: an (empty) appended body makes
        # nginx send it chunked.
        location = /chunked {
            alias $WORK/www/medium;
            addition_types *;
            add_after_body /empty;
        }
    }
}
EOF
}
write_loopback_conf() {
    write_nginx_conf "$WORK" "listen 127.0.0.1:$HTTP_PORT; listen 127.0.0.1:$TLS_PORT ssl;"
}

# ---------------------------------------------------------------- the lossy side
netns_link_create "$NS_CLIENT" lvsk0 "$CLIENT_IP" "$NS_SERVER" lvsk1 "$SERVER_IP" ||
    die "can not create namespaces and tun devices"
start_lossy "$LOSSY_BIN" "$WORK" "$NS_CLIENT:lvsk0" "$NS_SERVER:lvsk1" \
    --loss "$LOSS%" --delay 25 --rate 20 --queue 131072 --seed 1 ||
    die "lumaview-lossy did not start: $(cat "$WORK/lossy.log")"

write_nginx_conf "$WORK/ns" "listen $SERVER_IP:$NS_HTTP_PORT;" >"$WORK/ns/nginx.conf"
"${IN_SERVER[@]}" "$NGINX" -e "$WORK/ns/nginx-error.log" -c "$WORK/ns/nginx.conf" -p "$WORK/ns" \
    -g 'daemon off;' >"$WORK/ns/nginx.out" 2>&1 &
NS_NGINX_PID=$!
PIDS+=("$NS_NGINX_PID")

"${IN_SERVER[@]}" "$RELAY_BIN" --listen "$SERVER_IP:0" --upstream "$SERVER_IP:$NS_HTTP_PORT" --log-level W \
    >"$WORK/relay.out" 2>"$WORK/relay.log" &
RELAY_PID=$!
PIDS+=("$RELAY_PID")
RELAY_PORT=$(port_of "$RELAY_PID" "$WORK/relay.out") || die "lumaview-relay did not start: $(cat "$WORK/relay.log")"

printf 'LogLevel=W\nDebugUseFixedLocalPort=0\nKcpEnabled=1\nKcpHostMapping=.kcp.soak#%s:%s\n' \
    "$SERVER_IP" "$RELAY_PORT" >"$WORK/proxy-kcp.conf"
"${IN_CLIENT[@]}" "$PROXY_BIN" --config "$WORK/proxy-kcp.conf" >"$WORK/proxy-kcp.out" 2>"$WORK/proxy-kcp.log" &
KCP_PROXY_PID=$!
PIDS+=("$KCP_PROXY_PID")
KCP_PROXY_PORT=$(port_of "$KCP_PROXY_PID" "$WORK/proxy-kcp.out") ||
    die "lumaview-proxy (KCP) did not start: $(cat "$WORK/proxy-kcp.log")"

# ---------------------------------------------------------------- the loopback side
launch_nginx "$NGINX" write_loopback_conf 127.0.0.1 || die "nginx did not start"
PIDS+=("$NGINX_PID")

printf 'LogLevel=W\nDebugUseFixedLocalPort=0\n' >"$WORK/proxy.conf"
"$PROXY_BIN" --config "$WORK/proxy.conf" >"$WORK/proxy.out" 2>"$WORK/proxy.log" &
PROXY_PID=$!
PIDS+=("$PROXY_PID")
PROXY_PORT=$(port_of "$PROXY_PID" "$WORK/proxy.out") || die "lumaview-proxy did not start: $(cat "$WORK/proxy.log")"

# dnsmasq answers *.dyn.soak and refuses every other name it is asked.
for _ in 1 2 3; do
    DNS_PORT=$(free_port 127.0.0.1) || die "no free port"
    "$DNSMASQ" --no-daemon --conf-file=/dev/null --no-resolv --no-hosts --no-poll \
        --listen-address=127.0.0.1 --bind-interfaces --port="$DNS_PORT" \
        --address=/dyn.soak/127.0.9.99 --pid-file="$WORK/dnsmasq.pid" --log-facility=- \
        >"$WORK/dnsmasq.log" 2>&1 &
    DNSMASQ_PID=$!
    wait_listening "$DNSMASQ_PID" "$DNS_PORT" 127.0.0.1 && break
    stop_pids TERM "$DNSMASQ_PID"
    DNSMASQ_PID=
done
[[ -n "$DNSMASQ_PID" ]] || die "dnsmasq did not start: $(cat "$WORK/dnsmasq.log")"
PIDS+=("$DNSMASQ_PID")

for i in $(seq 0 19); do echo "h$i.soak 127.0.9.$((i + 1)) 127.0.10.$((i + 1))"; done >"$WORK/hosts"
"$HTTPDNS_BIN" --listen 127.0.0.1:0 --hosts "$WORK/hosts" --resolver "127.0.0.1:$DNS_PORT" \
    >"$WORK/httpdns.out" 2>"$WORK/httpdns.log" &
HTTPDNS_PID=$!
PIDS+=("$HTTPDNS_PID")
HTTPDNS_PORT=$(port_of "$HTTPDNS_PID" "$WORK/httpdns.out") || die "lumaview-httpdns did not start"

# ---------------------------------------------------------------- clients
ORIGIN=127.0.0.1:$HTTP_PORT
TLS_ORIGIN=127.0.0.1:$TLS_PORT
KCP_ORIGIN=www.kcp.soak:$NS_HTTP_PORT
VIA_PROXY=(--noproxy '' -x "http://127.0.0.1:$PROXY_PORT")
VIA_KCP_PROXY=(--noproxy '' -x "http://127.0.0.1:$KCP_PROXY_PORT")

# Records one request's outcome (ok, fail or abort) for KIND; a failure is
# logged at once with its time.
note() {
    local kind=$1 outcome=$2
    shift 2
    echo "$outcome" >>"$WORK/req/$kind"
    [[ $outcome == fail ]] && echo "$(date -u +%T) failed $kind: $*" >&2
    return 0
}

running() {
    ((EPOCHSECONDS < END)) && [[ ! -e "$WORK/stop" ]]
}

# One download: KIND, the file it must equal, then curl's arguments. Runs
# curl under the prefix in the array RUN (empty, or into a namespace).
fetch() {
    local kind=$1 expect=$2 out=$WORK/got/$BASHPID result
    shift 2
    result=$("${RUN[@]}" curl -sS --max-time 60 -o "$out" -w '%{http_code} %{size_download}' "$@" 2>&1)
    if [[ ${result%% *} == 200 ]] && cmp -s "$out" "$expect"; then
        note "$kind" ok
    else
        note "$kind" fail "$result"
    fi
}

# One upload of FILE to URL (through the arguments that follow); the stored
# copy must equal it.
upload() {
    local kind=$1 file=$2 name=$3 result
    shift 3
    result=$("${RUN[@]}" curl -sS --max-time 60 -o /dev/null -w '%{http_code}' -T "$file" "$@" 2>&1)
    if [[ $result == 201 || $result == 204 ]] && cmp -s "$WORK/www/up/$name" "$file"; then
        note "$kind" ok
    else
        note "$kind" fail "$result"
    fi
    rm -f "$WORK/www/up/$name"
}

# A client that gives up after a second, mid-answer or mid-upload: curl's
# time-out (status 28) is the expected end; finishing whole is fine too.
give_up() {
    local kind=$1 expect=$2 out=$WORK/got/$BASHPID result status
    shift 2
    result=$("${RUN[@]}" curl -sS --max-time 1 -o "$out" -w '%{http_code}' "$@" 2>&1)
    status=$?
    if ((status == 28)); then
        note "$kind" abort
    elif ((status == 0)) && { [[ $expect == - ]] || { [[ $result == 200 ]] && cmp -s "$out" "$expect"; }; }; then
        note "$kind" ok
    else
        note "$kind" fail "curl status $status: $result"
    fi
}

client_plain() {
    local out=$WORK/got/$BASHPID result
    RUN=()
    while running; do
        # Two requests on one client connection.
        result=$(curl -sS --max-time 60 "${VIA_PROXY[@]}" -w '%{http_code} ' \
            -o "$out.1" "http://$ORIGIN/small" -o "$out.2" "http://$ORIGIN/medium" 2>&1)
        if [[ $result == "200 200 " ]] && cmp -s "$out.1" "$WORK/www/small" && cmp -s "$out.2" "$WORK/www/medium"; then
            note plain ok
            note plain ok
        else
            note plain fail "$result"
        fi
        sleep "$PAUSE"
    done
}

client_connect() {
    RUN=()
    while running; do
        fetch connect "$WORK/www/medium" "${VIA_PROXY[@]}" --cacert "$WORK/cert.pem" "https://$TLS_ORIGIN/medium"
        sleep "$PAUSE"
    done
}

client_chunked() {
    RUN=()
    while running; do
        fetch chunked "$WORK/www/medium" "${VIA_PROXY[@]}" "http://$ORIGIN/chunked"
        sleep "$PAUSE"
    done
}

client_upload() {
    local n=0
    RUN=()
    while running; do
        n=$((n + 1))
        if ((n % 2)); then
            upload upload "$WORK/www/medium" "u$n" "${VIA_PROXY[@]}" "http://$ORIGIN/up/u$n"
        else
            upload upload "$WORK/www/medium" "u$n" "${VIA_PROXY[@]}" -H 'Expect:' \
                -H 'Transfer-Encoding: chunked' "http://$ORIGIN/up/u$n"
        fi
        sleep "$PAUSE"
    done
}

client_abort() {
    local n=0
    RUN=()
    while running; do
        n=$((n + 1))
        case $((n % 3)) in
            0) give_up abort "$WORK/www/big" --limit-rate 1M "${VIA_PROXY[@]}" "http://$ORIGIN/big" ;;
            1) give_up abort "$WORK/www/big" --limit-rate 1M "${VIA_PROXY[@]}" --cacert "$WORK/cert.pem" \
                "https://$TLS_ORIGIN/big" ;;
            2) give_up abort - --limit-rate 1M "${VIA_PROXY[@]}" -T "$WORK/www/big" "http://$ORIGIN/up/a$n" ;;
        esac
        rm -f "$WORK/www/up/a$n"
        sleep "$PAUSE"
    done
}

client_kcp() {
    local n=0
    RUN=("${IN_CLIENT[@]}")
    while running; do
        n=$((n + 1))
        fetch kcp "$WORK/www/kcp" "${VIA_KCP_PROXY[@]}" "http://$KCP_ORIGIN/kcp"
        ((n % 4 == 0)) && upload kcp-upload "$WORK/www/kcp" "k$n" "${VIA_KCP_PROXY[@]}" -H 'Expect:' \
            "http://$KCP_ORIGIN/up/k$n"
        ((n % 6 == 0)) && give_up kcp-abort "$WORK/www/big" "${VIA_KCP_PROXY[@]}" "http://$KCP_ORIGIN/big"
        sleep "$PAUSE"
    done
}

# Four questions on one connection: two from the hosts file, one the
# resolver answers, one it refuses (an empty answer).
client_httpdns() {
    local n=0 args expected result i
    while running; do
        n=$((n + 1))
        args=()
        expected=
        for q in "h$((n % 20)).soak" "d$n.dyn.soak" "n$n.none.soak" "h$(((n + 7) % 20)).soak"; do
            ((${#args[@]})) && args+=(--next)
            args+=(-sS --max-time 10 --noproxy '*' -w '|' --data "q=$q&uid=soak&output=text"
                "http://127.0.0.1:$HTTPDNS_PORT/dns")
            case $q in
                h*) i=${q#h}; i=${i%.soak}; expected+=$'HTTPDNS\n'"127.0.9.$((i + 1));127.0.10.$((i + 1))|" ;;
                d*) expected+=$'HTTPDNS\n127.0.9.99|' ;;
                n*) expected+=$'HTTPDNS\n|' ;;
            esac
        done
        result=$(curl "${args[@]}" 2>&1)
        if [[ $result == "$expected" ]]; then
            for _ in 1 2 3 4; do note httpdns ok; done
        else
            note httpdns fail "$(tr '\n' ' ' <<<"$result")"
        fi
        sleep "$PAUSE"
    done
}

# Everything must work once before the clock starts.
RUN=()
fetch check "$WORK/www/medium" -D "$WORK/head" "${VIA_PROXY[@]}" "http://$ORIGIN/chunked"
grep -qi '^Transfer-Encoding: *chunked' "$WORK/head" || die "/chunked is not chunked: $(cat "$WORK/head")"
RUN=("${IN_CLIENT[@]}")
fetch check "$WORK/www/kcp" "${VIA_KCP_PROXY[@]}" "http://$KCP_ORIGIN/kcp"
grep -q '^fail' "$WORK/req/check" && die "the first requests failed"
rm -f "$WORK/req/check"

# ---------------------------------------------------------------- sampling
NAMES=(proxy proxy-kcp relay httpdns lossy)
declare -A PID_OF=([proxy]=$PROXY_PID [proxy-kcp]=$KCP_PROXY_PID [relay]=$RELAY_PID
    [httpdns]=$HTTPDNS_PID [lossy]=$LOSSY_PID)
declare -A RSS=() FDS=() CPU=() MIN_RSS=() MIN_FDS=() DIED=()
HZ=$(getconf CLK_TCK)

# Reads RSS (KiB), descriptors and CPU ticks of process NAME into RSS, FDS
# and CPU; fails when it is gone or a zombie. awk takes each /proc file in
# one read: bash's read builtin takes it in pieces, and the kernel writes the
# file anew between them, so a field can go missing.
read_proc() {
    local name=$1 pid=${PID_OF[$1]} reading rss cpu fds
    reading=$(awk 'FNR == 1 && NR > 1 { stat = 1 }
        !stat && $1 == "VmRSS:" { rss = $2 }
        stat { state = $3; cpu = $14 + $15 }
        END { if (rss != "" && cpu != "" && state != "Z") print rss, cpu }' \
        "/proc/$pid/status" "/proc/$pid/stat" 2>/dev/null)
    [[ -n "$reading" ]] || return 1
    read -r rss cpu <<<"$reading"
    fds=("/proc/$pid/fd/"*)
    RSS[$name]=$rss
    FDS[$name]=${#fds[@]}
    CPU[$name]=$cpu
}

# Takes one reading of every process into the window minima; records deaths.
sample() {
    local name pid state
    for name in "${NAMES[@]}"; do
        pid=${PID_OF[$name]}
        if ! read_proc "$name"; then
            [[ -n "${DIED[$name]:-}" ]] && continue
            # Only a process that is gone or a zombie has died.
            state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)
            [[ -n "$state" && "$state" != Z ]] && continue
            DIED[$name]=$((EPOCHSECONDS - START))
            # Each is this shell's child: its status tells a crash (128 + signal)
            # from a stop on SIGTERM or SIGINT (0), which this script never sends
            # before the end.
            wait "$pid"
            echo "soak: $name (PID $pid) is gone after ${DIED[$name]} s, exit status $?" >&2
            continue
        fi
        [[ -z "${MIN_RSS[$name]:-}" || ${RSS[$name]} -lt ${MIN_RSS[$name]} ]] && MIN_RSS[$name]=${RSS[$name]}
        [[ -z "${MIN_FDS[$name]:-}" || ${FDS[$name]} -lt ${MIN_FDS[$name]} ]] && MIN_FDS[$name]=${FDS[$name]}
    done
}

# Writes one row per process to FILE: seconds since the start, name, the
# window's least RSS and descriptors, CPU ticks now; starts a new window.
flush_window() {
    local file=$1 name
    for name in "${NAMES[@]}"; do
        [[ -n "${MIN_RSS[$name]:-}" ]] &&
            echo "$((EPOCHSECONDS - START)) $name ${MIN_RSS[$name]} ${MIN_FDS[$name]} ${CPU[$name]}" >>"$file"
    done
    MIN_RSS=()
    MIN_FDS=()
}

LOAD_BEFORE=$(uptime)
echo "soak: $(date -u '+%F %T') UTC for $DURATION s; load: $LOAD_BEFORE"
echo "proxy :$PROXY_PORT, nginx :$HTTP_PORT (TLS :$TLS_PORT), httpdns :$HTTPDNS_PORT, dnsmasq :$DNS_PORT;" \
    "relay $SERVER_IP:$RELAY_PORT behind lumaview-lossy at $LOSS % loss, proxy-kcp in $NS_CLIENT"
START=$EPOCHSECONDS
sample
flush_window "$WORK/before"
END=$((START + DURATION))
for client in plain plain connect chunked upload abort kcp httpdns; do
    "client_$client" &
    WORKERS+=($!)
done

next_row=$((START + 10))
while ((EPOCHSECONDS < END)) && ((${#DIED[@]} == 0)); do
    sleep 2
    sample
    if ((EPOCHSECONDS >= next_row)); then
        flush_window "$WORK/rows"
        next_row=$((next_row + 10))
        echo "$((EPOCHSECONDS - START)) s: $(for n in "${NAMES[@]}"; do printf '%s %s KiB %s fds; ' "$n" "${RSS[$n]:-?}" "${FDS[$n]:--}"; done)"
    fi
done
TRAFFIC_END=$((EPOCHSECONDS - START))
# Ends the run at once when a process died.
((${#DIED[@]})) && touch "$WORK/stop"
for pid in "${WORKERS[@]}"; do wait "$pid"; done
WORKERS=()
sleep 5
sample
flush_window "$WORK/after"
LOAD_AFTER=$(uptime)

# ---------------------------------------------------------------- verdict
STATUS=0
for pid in "$NGINX_PID" "$NS_NGINX_PID" "$DNSMASQ_PID"; do
    kill -0 "$pid" 2>/dev/null || { echo "soak: a peer (nginx or dnsmasq, PID $pid) died" >&2; STATUS=1; }
done
echo
echo "load before: $LOAD_BEFORE"
echo "load after:  $LOAD_AFTER"
echo "traffic for $TRAFFIC_END s; a row per process every 10 s (least RSS and fds of the window)"
printf '%-10s %9s %9s %9s %10s %5s %5s %5s %9s %7s %7s  %s\n' process "RSS0 KiB" "RSS KiB" "RSS1 KiB" \
    "KiB/10min" fds0 fds fds1 "fds/10min" "CPU s" "CPU%" verdict
for name in "${NAMES[@]}"; do
    line=$(awk -v n="$name" -v half=$((TRAFFIC_END / 2)) -v hz="$HZ" -v judge="$JUDGE_S" \
        -v rl="$RSS_LIMIT" -v fl="$FDS_LIMIT" -v died="${DIED[$name]:-}" '
        FILENAME ~ /before$/ && $2 == n { r0 = $3; f0 = $4; c0 = $5; t0 = $1 }
        FILENAME ~ /after$/ && $2 == n { r1 = $3; f1 = $4 }
        FILENAME ~ /rows$/ && $2 == n {
            rl_ = $3; fl_ = $4; cl = $5; tl = $1
            if ($1 >= half) { k++; t[k] = $1; r[k] = $3; f[k] = $4 }
        }
        function slope(y,   i, mt, my, sxy, sxx) {
            for (i = 1; i <= k; i++) { mt += t[i]; my += y[i] }
            mt /= k; my /= k
            for (i = 1; i <= k; i++) { sxy += (t[i] - mt) * (y[i] - my); sxx += (t[i] - mt) ^ 2 }
            return sxx > 0 ? sxy / sxx * 600 : 0
        }
        END {
            rs = k > 1 ? slope(r) : 0; fs = k > 1 ? slope(f) : 0
            cpu = (cl - c0) / hz; pct = tl > t0 ? cpu / (tl - t0) * 100 : 0
            span = k > 1 ? t[k] - t[1] : 0
            if (died != "") verdict = "DIED at " died " s"
            else if (span < judge) verdict = "not judged (second half " span " s)"
            else if (rs > rl) verdict = "GROWS (RSS)"
            else if (fs > fl) verdict = "GROWS (fds)"
            else verdict = "ok"
            printf "%-10s %9s %9s %9s %10.1f %5s %5s %5s %9.2f %7.1f %7.1f  %s\n", n, r0, rl_, r1, rs, f0, fl_, f1, fs, cpu, pct, verdict
            printf "soak key=rss-kib-per-10min target=%s value=%.1f\n", n, rs > "/dev/stderr"
            printf "soak key=fds-per-10min target=%s value=%.2f\n", n, fs > "/dev/stderr"
            printf "soak key=cpu-percent target=%s value=%.1f\n", n, pct > "/dev/stderr"
        }' "$WORK/before" "$WORK/rows" "$WORK/after" 2>>"$WORK/keys")
    echo "${line:-$name: no readings}"
    [[ -z $line || $line == *GROWS* || $line == *DIED* ]] && STATUS=1
done
echo "(RSS0/fds0 before the traffic, RSS/fds in the last 10 s of traffic, RSS1/fds1 after 5 s of quiet;"
echo " slopes by least squares over the second half of the traffic, limits $RSS_LIMIT KiB and $FDS_LIMIT fds"
echo " per 10 min; CPU s and CPU% of one core over the traffic)"

echo
printf '%-12s %8s %8s %8s\n' requests 'done' failed aborted
total_failed=0
for kind in plain connect chunked upload abort kcp kcp-upload kcp-abort httpdns; do
    f=$WORK/req/$kind
    touch "$f"
    ok=$(grep -c '^ok' "$f")
    failed=$(grep -c '^fail' "$f")
    aborted=$(grep -c '^abort' "$f")
    printf '%-12s %8s %8s %8s\n' "$kind" "$((ok + failed + aborted))" "$failed" "$aborted"
    echo "soak key=requests-$kind target=all value=$((ok + failed + aborted))" >>"$WORK/keys"
    echo "soak key=failed-$kind target=all value=$failed" >>"$WORK/keys"
    total_failed=$((total_failed + failed))
done
((total_failed)) && STATUS=1
echo
cat "$WORK/keys"
echo "relay log: $(grep -c . "$WORK/relay.log") lines; proxy logs: $(cat "$WORK/proxy.log" "$WORK/proxy-kcp.log" | grep -c .) lines"
if ((STATUS)); then
    echo "soak: FAILED"
    tail_logs 10 "$WORK" proxy.log proxy-kcp.log relay.log lossy.log nginx-error.log ns/nginx-error.log
else
    echo "soak: passed"
fi
exit "$STATUS"
