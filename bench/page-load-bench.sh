#!/usr/bin/env bash
# Measures what the client costs on top of the engine it is built on, in three
# settings:
#   engine  a bare QWebEngineView in a tab widget (the baseline: what the
#           engine takes; same profile, cache settings and window size)
#   client  the client's own main window, the engine fetching directly
#   proxied the client's window with web_proxy=1 (through the in-process proxy)
#   closing (only when asked for) the bare view again, from a port of the same
#           server that closes each connection after one answer, as the proxy
#           closes the engine's: what a new connection per request costs the
#           engine, a floor for proxied
#   haproxy (only when asked for) the client's window again, its engine going
#           through a one-thread HAProxy that closes both connections after
#           each answer, as the in-process proxy does: what a hop of that
#           pattern costs with an established proxy; proxied against it is
#           the in-process proxy against that peer
# and four figures, each a median over the rounds and a ratio to the engine:
#   load     ms from the call that starts a load of a page of 50 resources
#            (25 images, 12 style sheets, 12 scripts, all Cache-Control:
#            no-store, engine cache off) from a local nginx to the view's
#            loadFinished
#   startup  ms from the process's exec to the first contentful paint of the
#            client's bundled start page (the bare view loads the same page)
#   rss      MiB of memory of the process and all its descendants (zygotes,
#            renderers, GPU process) with one tab of the page loaded: the
#            anonymous and shared-memory part of their proportional set size
#            (PSS). PSS, not RSS, because the engine's processes share most of
#            their pages and RSS would count those once per process; without
#            the pages of the program's files (libraries), which are the same
#            for every setting but whose share moves with whatever else on the
#            machine maps them (page_load_bench prints the full PSS and RSS too)
#   tabs10   ms to open ten more tabs of the page until all ten have loaded:
#            the client is handed the ten URLs over its instance socket, as ten
#            later launches would hand them; the bare setting adds ten views
# Each round starts each setting in a fresh process (own X server, home and
# profile) that paints its start page, loads the page once to warm up and then
# LOADS times, reads its memory and opens the ten tabs; the settings are
# interleaved round after round, so a drift in machine load touches all alike.
# Medians and the ratios to the engine come from one run.
#
# Usage: bench/page-load-bench.sh [path-to-page_load_bench]
#        (default: build/bench/page_load_bench under the repository root)
# Knobs (environment): BENCH_ROUNDS (5), BENCH_LOADS (measured loads per
# process and round, 1), BENCH_TABS (10), BENCH_TARGETS (a subset of "engine
# client proxied closing haproxy"; the ratios need engine).
# A measurement, not a test: it exits non-zero only when it cannot run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
BENCH_BIN=${1:-$ROOT/build/bench/page_load_bench}
ROUNDS=${BENCH_ROUNDS:-5}
LOADS=${BENCH_LOADS:-1}
TABS=${BENCH_TABS:-10}
START_PAGE=qrc:/welcome.html
read -r -a TARGETS <<<"${BENCH_TARGETS:-engine client proxied}"
IMAGES=25
SHEETS=12
SCRIPTS=12
RESOURCES=$((IMAGES + SHEETS + SCRIPTS))

die() {
    echo "page-load-bench: $*" >&2
    exit 1
}

[[ -x "$BENCH_BIN" ]] || die "no page_load_bench at $BENCH_BIN (build with the shell and LUMAVIEW_BENCH=ON, or pass its path)"
NGINX=$(command -v nginx 2>/dev/null || { [[ -x /usr/sbin/nginx ]] && echo /usr/sbin/nginx; }) ||
    die "nginx is not installed"
for tool in xvfb-run ss timeout; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-page-bench.XXXXXX")
PIDS=()

cleanup() {
    local status=$?
    stop_pids QUIT "${PIDS[@]}"
    remove_workdir "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- the page
# Small files of a few kB each, as a typical page's icons, styles and scripts.
mkdir -p "$WORK/www" "$WORK/tmp"
python3 "$ROOT/bench/make-page.py" "$WORK/www" "$IMAGES" "$SHEETS" "$SCRIPTS" || die "could not write the page"

write_nginx_conf() {
    nginx_conf_head "$WORK" error 1024
    cat <<EOF
    access_log off;
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    sendfile on;
    root $WORK/www;
    add_header Cache-Control "no-store" always;
    etag off;
    if_modified_since off;
    server {
        listen 127.0.0.1:$HTTP_PORT;
    }
    server {
        listen 127.0.0.1:$TLS_PORT;
        keepalive_timeout 0;
    }
}
EOF
}

launch_nginx "$NGINX" write_nginx_conf 127.0.0.1 ||
    die "nginx did not start: $(cat "$WORK/nginx.out" "$WORK/nginx-error.log" 2>/dev/null)"
PIDS+=("$NGINX_PID")

# ---------------------------------------------------------------- the peer proxy
# One thread and no logs, like the in-process proxy; "option httpclose" closes
# the engine's connection and nginx's after each answer, as that proxy does.
HAPROXY_PORT=
start_haproxy() {
    local haproxy pid
    haproxy=$(command -v haproxy 2>/dev/null || { [[ -x /usr/sbin/haproxy ]] && echo /usr/sbin/haproxy; }) ||
        die "haproxy is not installed (the haproxy setting needs it)"
    HAPROXY_PORT=$(free_port 127.0.0.1) || die "no free port"
    cat > "$WORK/haproxy.conf" <<EOF
global
    nbthread 1
defaults
    mode http
    option httpclose
    timeout connect 10s
    timeout client 60s
    timeout server 60s
frontend page
    bind 127.0.0.1:$HAPROXY_PORT
    default_backend nginx
backend nginx
    server origin 127.0.0.1:$HTTP_PORT
EOF
    "$haproxy" -db -f "$WORK/haproxy.conf" >"$WORK/haproxy.out" 2>&1 &
    pid=$!
    PIDS+=("$pid")
    wait_listening "$pid" "$HAPROXY_PORT" 127.0.0.1 || die "haproxy did not start: $(tail -n 3 "$WORK/haproxy.out")"
}
[[ " ${TARGETS[*]} " == *" haproxy "* ]] && start_haproxy
PAGE_URL="http://127.0.0.1:$HTTP_PORT/index.html"
CLOSING_URL="http://127.0.0.1:$TLS_PORT/index.html"

# ---------------------------------------------------------------- the programs
# The client reads its INI files beside its executable, so each setting gets
# its own folder with a copy of the program. The proxy logs warnings only:
# debug lines would dominate what is measured.
make_setting() {
    local dir=$WORK/$1 use_proxy=$2 web_proxy=$3
    mkdir -p "$dir"
    cp "$BENCH_BIN" "$dir/page_load_bench" || die "could not copy $BENCH_BIN"
    for file in qwebchannel.js lumaview_zh.qm; do
        [[ -f "$ROOT/build/shell/$file" ]] && cp "$ROOT/build/shell/$file" "$dir/"
    done
    printf '[setting]\nuse_proxy=%s\nweb_proxy=%s\nstart_url=%s\nlanguage=en\n' \
        "$use_proxy" "$web_proxy" "$START_PAGE" > "$dir/lumaview.ini"
    printf '[setting]\nproxy_config=proxy.conf\n' > "$dir/lumashell.ini"
    printf 'LogLevel=W\nDebugUseFixedLocalPort=0\n' > "$dir/proxy.conf"
}
# As shipped, the client runs its proxy (for its own requests) and the engine goes direct.
make_setting engine 0 0
make_setting client 1 0
make_setting proxied 1 1
make_setting closing 0 0
make_setting haproxy 1 0

KEYS=(load startup rss tabs10)
declare -A SAMPLES

# Runs one setting once under its own X server with a private home (a fresh
# profile); bounded in time whatever happens. The wrapper reads the clock just
# before it becomes the program, once the X server is up.
run_setting() {
    local target=$1 round=$2 mode=client url=$PAGE_URL out flags=${QTWEBENGINE_CHROMIUM_FLAGS:-}
    case $target in
        engine) mode=engine ;;
        closing) mode=engine url=$CLOSING_URL ;;
        client | proxied) ;;
        # The engine skips a proxy for loopback unless told not to, as the client tells it for its own.
        haproxy) flags+=" --proxy-server=http://127.0.0.1:$HAPROXY_PORT --proxy-bypass-list=<-loopback>" ;;
        *) die "unknown setting $target" ;;
    esac
    # shellcheck disable=SC2016
    out=$(QTWEBENGINE_CHROMIUM_FLAGS=$flags PAGE_LOAD_BENCH_START="$START_PAGE?proxy=off" PAGE_LOAD_BENCH_MEMORY=1 PAGE_LOAD_BENCH_TABS=$TABS \
        timeout -k 10 $((90 + LOADS * 40)) bash "$ROOT/tests/shell/gui-test.sh" \
        bash -c 'export PAGE_LOAD_BENCH_STARTED=${EPOCHREALTIME/[.,]/}; exec "$@"' exec-timed \
        "$WORK/$target/page_load_bench" "$mode" "$url" "$LOADS" "$RESOURCES" \
        2>"$WORK/$target.$round.err")
    local status=$?
    local line
    while read -r line; do
        case $line in
            "load ms="*) [[ $line =~ ^load\ ms=([0-9.]+) ]] && SAMPLES[load $target]+="${BASH_REMATCH[1]} " ;;
            "startup ms="*) [[ $line =~ ^startup\ ms=([0-9.]+) ]] && SAMPLES[startup $target]+="${BASH_REMATCH[1]} " ;;
            "memory "*) [[ $line =~ allocated-kb=([0-9]+) ]] &&
                SAMPLES[rss $target]+="$(awk -v k="${BASH_REMATCH[1]}" 'BEGIN { printf "%.1f", k / 1024 }') " ;;
            "tabs ms="*) [[ $line =~ ^tabs\ ms=([0-9.]+) ]] && SAMPLES[tabs10 $target]+="${BASH_REMATCH[1]} " ;;
        esac
    done <<<"$out"
    if [[ $status -ne 0 ]]; then
        echo "$target: exit status $status: $(grep -h 'page_load_bench' "$WORK/$target.$round.err" | tail -n 3)" >&2
    fi
    if [[ $target == proxied ]] && ! grep -q '^port = [1-9]' <<<"$out"; then
        echo "proxied: the local proxy did not report its port" >&2
    fi
}

echo "nginx :$HTTP_PORT; page of $((RESOURCES + 1)) resources ($(du -sk "$WORK/www" | cut -f1) kB); $ROUNDS rounds" \
    "of $LOADS load(s) per setting after a warm-up, then $TABS tabs"
echo "load before: $(uptime)"
started=$SECONDS
for round in $(seq "$ROUNDS"); do
    for target in "${TARGETS[@]}"; do
        run_setting "$target" "$round"
    done
    echo "round $round done ($((SECONDS - started)) s)"
done
echo "load after: $(uptime)"

declare -A MEDIAN
printf '\n%-8s %-8s %9s %7s  %s\n' key setting median ratio samples
for key in "${KEYS[@]}"; do
    for target in "${TARGETS[@]}"; do
        MEDIAN[$key $target]=$(median "${SAMPLES[$key $target]:-}" %.1f)
        printf '%-8s %-8s %9s %7s  %s\n' "$key" "$target" "${MEDIAN[$key $target]}" \
            "$(ratio "${MEDIAN[$key $target]}" "${MEDIAN[$key engine]:--}")" "${SAMPLES[$key $target]:-}"
    done
done
echo "(load, startup and tabs10 in ms; rss in MiB, the anonymous and shared-memory PSS of the process tree)"
echo
for key in "${KEYS[@]}"; do
    for target in "${TARGETS[@]}"; do
        echo "median key=$key target=$target value=${MEDIAN[$key $target]}"
    done
done
for key in "${KEYS[@]}"; do
    for target in "${TARGETS[@]}"; do
        [[ $target == engine ]] && continue
        echo "ratio key=$key target=$target value=$(ratio "${MEDIAN[$key $target]}" "${MEDIAN[$key engine]:--}")"
    done
done
echo "total time $((SECONDS - started)) s"
