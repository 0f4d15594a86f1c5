#!/usr/bin/env bash
# How long one page takes to load over a slow, lossy link whose DNS lies, in
# the bare engine and in the client, at several loss rates.
#
# Two network namespaces joined by lumaview-lossy (as in kcp-bench.sh: every
# packet through one bandwidth cap with a drop-tail queue, per-packet loss and
# a one-way delay). The server namespace holds the origin (nginx serving the
# page, by default page-load-bench's 50 resources, no-store), the relay in
# front of it, lumaview-httpdns knowing the site, an honest resolver, and the
# attack: a hijacking resolver (dnsmasq) that answers the site's name with the
# impostor's address, and the impostor (a second nginx serving a copy of the
# site with a marker appended to every file). Every body's size therefore
# tells whose server sent it. The client namespace's system resolver is the
# hijacking one, except for the two baselines:
#   engine           the bare engine, direct, honest resolver
#   engine-hijacked  the bare engine, direct, hijacking resolver (must show the impostor)
#   engine-bbr       as engine, with the origin's TCP on BBR instead of CUBIC
#   client           the client with web_proxy=1, its proxy over TCP, resolving
#                    through HTTP-DNS (its system resolver the hijacking one)
#   client-relay     the same with the site mapped to the relay (KCP)
# Each load is a fresh process (own X server, home and profile) that warms the
# engine up on a data: page and then loads the site once, so the measured load
# pays for its name lookups and connections; the targets are interleaved load
# after load. Nothing has a route out of the two namespaces, and the client's
# proxy gets only the namespaces' servers (its built-in server tables are
# overridden). Needs root.
#
# Prints a table, then per loss rate and target:
#   median key=load-lossN target=T value=SECONDS   (a failed or timed-out load counts as 30 s)
#   p90 key=load-lossN target=T value=SECONDS
#   failed key=load-lossN target=T value=COUNT     (resources that failed, over all loads)
#   real key=load-lossN target=T value=COUNT       (resources of one load that came from
#                                                   the origin: the worst load, i.e. the fewest,
#                                                   and for engine-hijacked the most)
#
# Usage: bench/bad-network-bench.sh [build-dir]      (default: build/ under the repository)
# Knobs (environment): BENCH_LOSSES ("0 1 5 10", percent), BENCH_LOADS (5 per
# target and loss rate), BENCH_TARGETS (a subset of the five above),
# BENCH_DELAY_MS (50, one way), BENCH_RATE_MBIT (20), BENCH_QUEUE_BYTES
# (131072), BENCH_RELAY_ARGS (extra options for lumaview-relay),
# BENCH_PROXY_CONFIG (extra lines for the client's proxy, such as
# "KcpKeepAlive=0", "\n" between lines),
# BENCH_SITE=DIR and BENCH_PAGE=PATH (serve DIR and load PATH in it instead of
# the generated page; its pages should fetch from their own site only, and
# the count of its resources is taken from one honest load on a clean link).
# A measurement, not a test: it exits non-zero only when it cannot run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
BUILD=${1:-$ROOT/build}
BENCH_BIN=$BUILD/bench/page_load_bench
RELAY_BIN=$BUILD/tools/lumaview-relay
HTTPDNS_BIN=$BUILD/tools/lumaview-httpdns
LOSSY_BIN=$BUILD/tools/lumaview-lossy
LOSSES=(${BENCH_LOSSES:-0 1 5 10})
LOADS=${BENCH_LOADS:-5}
read -r -a TARGETS <<<"${BENCH_TARGETS:-engine engine-hijacked engine-bbr client client-relay}"
DELAY_MS=${BENCH_DELAY_MS:-50}
RATE_MBIT=${BENCH_RATE_MBIT:-20}
QUEUE_BYTES=${BENCH_QUEUE_BYTES:-131072}
RELAY_ARGS=(${BENCH_RELAY_ARGS:-})
PROXY_CONFIG=${BENCH_PROXY_CONFIG:-}
SITE=${BENCH_SITE:-}
PAGE=${BENCH_PAGE:-index.html}
PAGE=${PAGE#/}
SITE_NAME=www.badnet.test
# As page_load_bench waits for one load.
LOAD_TIMEOUT_S=30

die() {
    echo "bad-network-bench: $*" >&2
    exit 1
}

for bin in "$BENCH_BIN" "$RELAY_BIN" "$HTTPDNS_BIN" "$LOSSY_BIN"; do
    [[ -x "$bin" ]] || die "no $bin (build the client with LUMAVIEW_BENCH=ON and the tools, or pass the build directory)"
done
NGINX=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null) || die "nginx is not installed"
DNSMASQ=$(command -v dnsmasq || ls /usr/sbin/dnsmasq 2>/dev/null) || die "dnsmasq is not installed"
for tool in xvfb-run timeout python3; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done
[[ $(id -u) -eq 0 ]] || die "needs root (network namespaces and tun devices)"
[[ -z "$SITE" || -f "$SITE/$PAGE" ]] || die "no page $PAGE in $SITE"
for target in "${TARGETS[@]}"; do
    case $target in
        engine | engine-hijacked | engine-bbr | client | client-relay) ;;
        *) die "unknown target $target" ;;
    esac
done
if [[ " ${TARGETS[*]} " == *" engine-bbr "* ]] && ! grep -qw bbr /proc/sys/net/ipv4/tcp_available_congestion_control; then
    modprobe tcp_bbr 2>/dev/null
    if ! grep -qw bbr /proc/sys/net/ipv4/tcp_available_congestion_control; then
        echo "bad-network-bench: this kernel has no TCP BBR; skipping engine-bbr" >&2
        read -r -a TARGETS <<<"$(tr ' ' '\n' <<<"${TARGETS[*]}" | grep -vx engine-bbr | tr '\n' ' ')"
    fi
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-badnet-bench.XXXXXX")
NS_CLIENT=lvbn-c-$$
NS_SERVER=lvbn-s-$$
# The range set aside for benchmarking networks, inside our own namespaces only.
NET=198.18.$(($$ % 250))
CLIENT_IP=$NET.1
ORIGIN_IP=$NET.2
IMPOSTOR_IP=$NET.3
HIJACKER_IP=$NET.4
PIDS=()
NGINX_PIDS=()
LOSSY_PID=

cleanup() {
    local status=$?
    stop_pids TERM $LOSSY_PID "${PIDS[@]}"
    stop_pids QUIT "${NGINX_PIDS[@]}"
    ip netns del "$NS_CLIENT" 2>/dev/null
    ip netns del "$NS_SERVER" 2>/dev/null
    rm -rf "/etc/netns/$NS_CLIENT"
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

IN_CLIENT=(ip netns exec "$NS_CLIENT")
IN_SERVER=(ip netns exec "$NS_SERVER")

# ---------------------------------------------------------------- the link
ip netns add "$NS_CLIENT" && ip netns add "$NS_SERVER" &&
    ip -n "$NS_CLIENT" tuntap add dev lvbn0 mode tun &&
    ip -n "$NS_SERVER" tuntap add dev lvbn1 mode tun || die "can not create namespaces and tun devices"
for ns in "$NS_CLIENT" "$NS_SERVER"; do
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sysctl -qw net.ipv4.tcp_no_metrics_save=1
done
ip -n "$NS_CLIENT" addr add "$CLIENT_IP/24" dev lvbn0
for ip in "$ORIGIN_IP" "$IMPOSTOR_IP" "$HIJACKER_IP"; do
    ip -n "$NS_SERVER" addr add "$ip/24" dev lvbn1
done
for end in "$NS_CLIENT:lvbn0" "$NS_SERVER:lvbn1"; do
    ip -n "${end%%:*}" link set "${end#*:}" mtu 1500 up
    command -v ethtool >/dev/null &&
        ip netns exec "${end%%:*}" ethtool -K "${end#*:}" tso off gso off gro off 2>/dev/null
done
# The origin's algorithm is its route's, taken when a connection is made.
set_origin_cc() {
    ip -n "$NS_SERVER" route replace "$CLIENT_IP" dev lvbn1 congctl "$1"
}
ip -n "$NS_CLIENT" route replace "$NET.0/24" dev lvbn0 src "$CLIENT_IP" congctl cubic &&
    set_origin_cc cubic || die "can not set TCP congestion control"

set_loss() {
    if [[ -n "$LOSSY_PID" ]]; then
        kill -TERM "$LOSSY_PID" 2>/dev/null
        wait "$LOSSY_PID" 2>/dev/null
    fi
    : >"$WORK/lossy.log"
    start_lossy "$LOSSY_BIN" "$WORK" "$NS_CLIENT:lvbn0" "$NS_SERVER:lvbn1" --loss "$1%" --delay "$DELAY_MS" \
        --rate "$RATE_MBIT" --queue "$QUEUE_BYTES" --seed 1 || die "lumaview-lossy did not start: $(cat "$WORK/lossy.log")"
}

# ---------------------------------------------------------------- the sites
mkdir -p "$WORK/site" "$WORK/impostor"
if [[ -z "$SITE" ]]; then
    python3 "$ROOT/bench/make-page.py" "$WORK/site" 25 12 12 || die "could not write the page"
    EXPECTED=50
else
    cp -a "$SITE/." "$WORK/site/" || die "can not copy $SITE"
    EXPECTED=
fi
# The impostor's copy differs in every body: a trailing comment that HTML,
# CSS and scripts ignore and image decoders skip.
cp -a "$WORK/site/." "$WORK/impostor/"
find "$WORK/impostor" -type f -exec sh -c 'for f; do printf "\n<!-- impostor -->\n" >>"$f"; done' sh {} +

# Starts an nginx serving ROOT on ADDRESS:80, its files in its own folder.
start_nginx() {
    local name=$1 root=$2 address=$3 dir=$WORK/$1-nginx
    mkdir -p "$dir/tmp"
    {
        nginx_conf_head "$dir" error 1024
        cat <<EOF
    access_log off;
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    sendfile on;
    server {
        listen $address:80;
        root $root;
        add_header Cache-Control "no-store" always;
        etag off;
        if_modified_since off;
    }
}
EOF
    } >"$dir/nginx.conf"
    "${IN_SERVER[@]}" "$NGINX" -e "$dir/nginx-error.log" -c "$dir/nginx.conf" -p "$dir" -g 'daemon off;' \
        >"$dir/nginx.out" 2>&1 &
    NGINX_PIDS+=($!)
    wait_listen $! t "$address:80" "${IN_SERVER[@]}" && return
    die "$name nginx did not start: $(cat "$dir/nginx.out" "$dir/nginx-error.log" 2>/dev/null)"
}
start_nginx origin "$WORK/site" "$ORIGIN_IP"
start_nginx impostor "$WORK/impostor" "$IMPOSTOR_IP"

# Resolvers that forward nothing: one honest, one that lies about the site.
start_resolver() {
    local name=$1 address=$2 answer=$3
    "${IN_SERVER[@]}" "$DNSMASQ" --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --no-poll \
        --bind-interfaces --listen-address="$address" --port=53 --user=root --pid-file="$WORK/$name.pid" \
        --address="/$SITE_NAME/$answer" >"$WORK/$name.log" 2>&1 &
    PIDS+=($!)
    wait_listen $! u "$address:53" "${IN_SERVER[@]}" && return
    die "dnsmasq ($name) did not start: $(cat "$WORK/$name.log")"
}
start_resolver honest "$ORIGIN_IP" "$ORIGIN_IP"
start_resolver hijacker "$HIJACKER_IP" "$IMPOSTOR_IP"

echo "$SITE_NAME $ORIGIN_IP" >"$WORK/httpdns.hosts"
"${IN_SERVER[@]}" "$HTTPDNS_BIN" --listen "$ORIGIN_IP:0" --hosts "$WORK/httpdns.hosts" \
    >"$WORK/httpdns.out" 2>"$WORK/httpdns.log" &
PIDS+=($!)
HTTPDNS_PORT=$(port_of $! "$WORK/httpdns.out") || die "lumaview-httpdns did not start: $(cat "$WORK/httpdns.log")"

"${IN_SERVER[@]}" "$RELAY_BIN" --listen "$ORIGIN_IP:0" --upstream "$ORIGIN_IP:80" --log-level W \
    "${RELAY_ARGS[@]}" >"$WORK/relay.out" 2>"$WORK/relay.log" &
PIDS+=($!)
RELAY_PORT=$(port_of $! "$WORK/relay.out") || die "lumaview-relay did not start: $(cat "$WORK/relay.log")"

# ---------------------------------------------------------------- the programs
# The client reads its INI files beside its executable: a folder per setting.
# Its proxy's lines override every server table the client carries, so that
# only the namespaces' servers are asked.
make_setting() {
    local dir=$WORK/$1 relay=$2
    mkdir -p "$dir"
    cp "$BENCH_BIN" "$dir/page_load_bench" || die "could not copy $BENCH_BIN"
    for file in qwebchannel.js lumaview_zh.qm; do
        [[ -f "$BUILD/shell/$file" ]] && cp "$BUILD/shell/$file" "$dir/"
    done
    printf '[setting]\nuse_proxy=1\nweb_proxy=1\nstart_url=about:blank\nlanguage=en\n' >"$dir/lumaview.ini"
    printf '[setting]\nproxy_config=proxy.conf\n' >"$dir/lumashell.ini"
    {
        printf 'LogLevel=W\nShowStatsOnAccept=0\nDebugUseFixedLocalPort=0\nUseSystemDns=1\n'
        printf 'DnsUdp=%s\nDnsTcp=%s\nDnsHttp=%s:%s\n' "$HIJACKER_IP" "$HIJACKER_IP" "$ORIGIN_IP" "$HTTPDNS_PORT"
        [[ $relay == 1 ]] && printf 'KcpEnabled=1\nKcpHostMapping=.badnet.test#%s:%s\n' "$ORIGIN_IP" "$RELAY_PORT"
        [[ -n "$PROXY_CONFIG" ]] && printf '%b\n' "$PROXY_CONFIG"
    } >"$dir/proxy.conf"
}
mkdir -p "$WORK/engine" "/etc/netns/$NS_CLIENT"
cp "$BENCH_BIN" "$WORK/engine/page_load_bench" || die "could not copy $BENCH_BIN"
make_setting client 0
make_setting client-relay 1

PAGE_URL="http://$SITE_NAME/$PAGE"
declare -A SAMPLES FAILED REAL
FAILED_LOGS=0

# Loads the page once in a fresh process of TARGET, bounded in time; leaves
# its output in $WORK/load.out and echoes "SECONDS REAL IMPOSTOR" (bodies of
# the origin and of the impostor).
load_once() {
    local target=$1 mode=client dir=$WORK/$1 resolver=$HIJACKER_IP
    case $target in
        engine*) mode=engine dir=$WORK/engine ;;
    esac
    [[ $target == engine || $target == engine-bbr ]] && resolver=$ORIGIN_IP
    # ip netns exec mounts this over the namespace's /etc/resolv.conf.
    echo "nameserver $resolver" >"/etc/netns/$NS_CLIENT/resolv.conf"
    [[ $target == engine-bbr ]] && set_origin_cc bbr
    local attempt
    for attempt in 1 2; do
        PAGE_LOAD_BENCH_WARMUP='data:text/html,<title>warm-up</title>' PAGE_LOAD_BENCH_LIST=1 \
            "${IN_CLIENT[@]}" timeout -k 10 $((LOAD_TIMEOUT_S + 90)) bash "$ROOT/tests/shell/gui-test.sh" \
            "$dir/page_load_bench" "$mode" "$PAGE_URL" 1 $((${EXPECTED:-1} - 1)) >"$WORK/load.out" 2>"$WORK/load.err"
        # A warm-up that never finished says the machine was too busy to start
        # the engine; the site was not asked yet, so it is no failed load.
        grep -q '^load ms=' "$WORK/load.out" || ! grep -q 'page_load_bench: load 0 ' "$WORK/load.err" && break
        echo "  $target: the engine did not start in time (attempt $attempt)" >&2
    done
    [[ $target == engine-bbr ]] && set_origin_cc cubic
    if [[ $mode == client ]] && ! grep -q '^port = [1-9]' "$WORK/load.out"; then
        echo "  $target: the client's proxy did not report its port" >&2
    fi
    local seconds
    seconds=$(sed -n 's/^load ms=\([0-9.]*\) .*/\1/p' "$WORK/load.out" | head -n 1)
    if [[ -z "$seconds" ]] || grep -q '^load .*failed=1' "$WORK/load.out"; then
        FAILED_LOGS=$((FAILED_LOGS + 1))
        cp "$WORK/load.err" "$WORK/failed-$FAILED_LOGS.err"
        echo "  $target: load failed: $(grep -h 'page_load_bench:' "$WORK/load.err" | tail -n 2 | tr '\n' ' ')" \
            "(its log: failed-$FAILED_LOGS.err in $WORK, kept with LUMAVIEW_KEEP_TMP=1)" >&2
        seconds=$LOAD_TIMEOUT_S
    else
        seconds=$(awk -v ms="$seconds" 'BEGIN { printf "%.3f", ms / 1000 }')
    fi
    echo "$seconds $(python3 - "$WORK/site" "$WORK/impostor" "$WORK/load.out" <<'EOF'
import os, sys, urllib.parse

site, impostor, listing = sys.argv[1:4]

def size_in(root, path):
    # Only files inside the folder count; a URL may name anything.
    base = os.path.realpath(root)
    name = os.path.realpath(os.path.join(base, path))
    if not name.startswith(base + os.sep) or not os.path.isfile(name):
        return None
    return os.path.getsize(name)

real = fake = 0
for line in open(listing, errors="replace"):
    if not line.startswith("body size="):
        continue
    size, _, url = line[len("body size="):].rstrip("\n").partition(" url=")
    path = urllib.parse.unquote(urllib.parse.urlsplit(url).path).lstrip("/")
    if path == "" or path.endswith("/"):
        path += "index.html"
    if not size.isdigit():
        continue
    if int(size) == size_in(site, path):
        real += 1
    elif int(size) == size_in(impostor, path):
        fake += 1
print(real, fake)
EOF
)"
}

echo "bad-network-bench: $(date -u '+%F %T') UTC, kernel $(uname -r)"
echo "link: ${RATE_MBIT} Mbit/s, queue ${QUEUE_BYTES} B, one-way delay ${DELAY_MS} ms, MTU 1500; origin TCP cubic (engine-bbr: bbr)"
if [[ -z "$EXPECTED" ]]; then
    # A site of one's own: its resources are what one honest load on a clean link fetches.
    set_loss 0
    read -r _ EXPECTED _ <<<"$(load_once engine)"
    [[ "$EXPECTED" -gt 0 ]] || die "the bare engine fetched nothing of $PAGE_URL: $(tail -n 5 "$WORK/load.err")"
fi
echo "page $PAGE_URL: $EXPECTED resources ($(du -sk "$WORK/site" | cut -f1) kB); $LOADS loads per target and loss rate; targets ${TARGETS[*]}"
echo "load before: $(uptime)"
started=$SECONDS
for loss in "${LOSSES[@]}"; do
    set_loss "$loss"
    for n in $(seq "$LOADS"); do
        for target in "${TARGETS[@]}"; do
            read -r seconds real fake <<<"$(load_once "$target")"
            SAMPLES[$target:$loss]+="$seconds "
            REAL[$target:$loss]+="$real "
            FAILED[$target:$loss]=$((${FAILED[$target:$loss]:-0} + (real + fake < EXPECTED ? EXPECTED - real - fake : 0)))
            echo "  loss $loss% load $n $target: $seconds s, $real from the origin, $fake from the impostor"
        done
    done
done
echo "load after: $(uptime)"

# Nearest-rank 90th percentile of the space-separated numbers in $1.
p90() {
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit } i = int(0.9 * NR); if (i < 0.9 * NR) i++; print v[i] }'
}

# The worst load's count of origin bodies: the fewest, or for the hijacked engine the most.
worst_real() {
    tr ' ' '\n' <<<"$2" | grep . | sort -n | if [[ $1 == engine-hijacked ]]; then tail -n 1; else head -n 1; fi
}

printf '\n%-6s %-16s %8s %8s %9s %7s %7s  %s\n' loss target median p90 "/engine" failed real "seconds per load"
for loss in "${LOSSES[@]}"; do
    for target in "${TARGETS[@]}"; do
        printf '%-6s %-16s %8s %8s %9s %7s %7s  %s\n' "$loss%" "$target" "$(median "${SAMPLES[$target:$loss]:-}" %.3f)" \
            "$(p90 "${SAMPLES[$target:$loss]:-}")" \
            "$(ratio "$(median "${SAMPLES[$target:$loss]:-}" %.3f)" "$(median "${SAMPLES[engine:$loss]:-}" %.3f)")" \
            "${FAILED[$target:$loss]:-0}" "$(worst_real "$target" "${REAL[$target:$loss]:-}")" "${SAMPLES[$target:$loss]:-}"
    done
done
echo "(seconds from the start of the load to the page's load event, $LOADS loads each; a failed or timed-out"
echo " load counts as $LOAD_TIMEOUT_S s; failed = resources missing over all loads; real = origin bodies in the"
echo " worst load, out of $EXPECTED)"
echo
for loss in "${LOSSES[@]}"; do
    for target in "${TARGETS[@]}"; do
        key="key=load-loss$loss target=$target"
        echo "median $key value=$(median "${SAMPLES[$target:$loss]:-}" %.3f)"
        echo "p90 $key value=$(p90 "${SAMPLES[$target:$loss]:-}")"
        echo "failed $key value=${FAILED[$target:$loss]:-0}"
        echo "real $key value=$(worst_real "$target" "${REAL[$target:$loss]:-}")"
    done
done
echo "total time $((SECONDS - started)) s"
