#!/usr/bin/env bash
# Measures how long a page of 50 resources (one HTML page with 25 images, 12
# style sheets and 12 scripts, all Cache-Control: no-store, engine cache off)
# takes to load from a local nginx, from the call that starts the load to the
# view's loadFinished, in three settings:
#   engine  a bare QWebEngineView (the baseline: what the engine takes)
#   client  the client's own main window, the engine fetching directly
#   proxied the client's window with web_proxy=1 (through the in-process proxy)
# Each round starts each setting in a fresh process (own X server, home and
# profile) that loads the page once to warm up and then LOADS times; the
# settings are interleaved round after round, so a drift in machine load
# touches all alike. Medians and the ratios to the engine come from one run.
#
# Usage: bench/page-load-bench.sh [path-to-page_load_bench]
#        (default: build/bench/page_load_bench under the repository root)
# Knobs (environment): BENCH_ROUNDS (5), BENCH_LOADS (measured loads per
# process and round, 1), BENCH_TARGETS (a subset of "engine client proxied";
# the ratios need engine).
# A measurement, not a test: it exits non-zero only when it cannot run.

set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ROOT/scripts/lib/testlib.sh"
BENCH_BIN=${1:-$ROOT/build/bench/page_load_bench}
ROUNDS=${BENCH_ROUNDS:-5}
LOADS=${BENCH_LOADS:-1}
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
    server {
        listen 127.0.0.1:$HTTP_PORT;
        listen 127.0.0.1:$TLS_PORT;
        root $WORK/www;
        add_header Cache-Control "no-store" always;
        etag off;
        if_modified_since off;
    }
}
EOF
}

launch_nginx "$NGINX" write_nginx_conf 127.0.0.1 ||
    die "nginx did not start: $(cat "$WORK/nginx.out" "$WORK/nginx-error.log" 2>/dev/null)"
PIDS+=("$NGINX_PID")
PAGE_URL="http://127.0.0.1:$HTTP_PORT/index.html"

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
    printf '[setting]\nuse_proxy=%s\nweb_proxy=%s\nstart_url=about:blank\nlanguage=en\n' \
        "$use_proxy" "$web_proxy" > "$dir/lumaview.ini"
    printf '[setting]\nproxy_config=proxy.conf\n' > "$dir/lumashell.ini"
    printf 'LogLevel=W\nDebugUseFixedLocalPort=0\n' > "$dir/proxy.conf"
}
# As shipped, the client runs its proxy (for its own requests) and the engine goes direct.
make_setting engine 0 0
make_setting client 1 0
make_setting proxied 1 1

declare -A SAMPLES

# Runs one setting once under its own X server with a private home (a fresh
# profile); bounded in time whatever happens.
run_setting() {
    local target=$1 round=$2 mode=client out
    case $target in
        engine) mode=engine ;;
        client | proxied) ;;
        *) die "unknown setting $target" ;;
    esac
    out=$(timeout -k 10 $((60 + LOADS * 40)) bash "$ROOT/tests/shell/gui-test.sh" \
        "$WORK/$target/page_load_bench" "$mode" "$PAGE_URL" "$LOADS" "$RESOURCES" \
        2>"$WORK/$target.$round.err")
    local status=$?
    local line
    while read -r line; do
        [[ $line =~ ^load\ ms=([0-9.]+) ]] && SAMPLES[$target]+="${BASH_REMATCH[1]} "
    done <<<"$out"
    if [[ $status -ne 0 ]]; then
        echo "$target: exit status $status: $(grep -h 'page_load_bench' "$WORK/$target.$round.err" | tail -n 3)" >&2
    fi
    if [[ $target == proxied ]] && ! grep -q '^port = [1-9]' <<<"$out"; then
        echo "proxied: the local proxy did not report its port" >&2
    fi
}



echo "nginx :$HTTP_PORT; page of $((RESOURCES + 1)) resources ($(du -sk "$WORK/www" | cut -f1) kB); $ROUNDS rounds of $LOADS load(s) per setting after a warm-up"
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
printf '\n%-10s %8s %8s  %s\n' setting "median" "ratio" "samples (ms)"
for target in "${TARGETS[@]}"; do
    MEDIAN[$target]=$(median "${SAMPLES[$target]:-}" %.1f)
    printf '%-10s %8s %8s  %s\n' "$target" "${MEDIAN[$target]}" \
        "$(ratio "${MEDIAN[$target]}" "${MEDIAN[engine]:--}")" "${SAMPLES[$target]:-}"
done
echo
for target in "${TARGETS[@]}"; do
    echo "median key=page-load-ms target=$target value=${MEDIAN[$target]}"
done
echo "ratio client/engine=$(ratio "${MEDIAN[client]:--}" "${MEDIAN[engine]:--}")" \
    "proxied/engine=$(ratio "${MEDIAN[proxied]:--}" "${MEDIAN[engine]:--}")"
echo "total time $((SECONDS - started)) s"
