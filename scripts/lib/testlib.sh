# shellcheck shell=bash
# Helpers shared by the end-to-end test scripts and the benchmarks. Sourcing
# this file only defines functions; the caller owns its globals (WORK, PIDS,
# CHECKS) and its traps.

# Ends the script with a message; the EXIT trap then cleans up.
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Exits 77, which CTest counts as skipped, when one of the given programs is not installed.
require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
    done
}

# Counts a passed check, so the summary can say how many ran.
pass() {
    CHECKS=$((CHECKS + 1))
    echo "ok: $*"
}

# Stops each given process with SIGNAL, allows it 5 s to exit, then kills and
# reaps it, so no peer outlives the script. QUIT suits nginx: its master then
# stops the worker too, where KILL would orphan it.
stop_pids() {
    local signal=$1 pid
    shift
    for pid in "$@"; do
        kill -0 "$pid" 2>/dev/null && kill -"$signal" "$pid" 2>/dev/null
    done
    for pid in "$@"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    return 0
}

# Prints the last LINES lines of each named log in DIR to stderr, for the
# post-mortem of a failed run; logs that were never written are skipped.
tail_logs() {
    local lines=$1 dir=$2 log
    shift 2
    for log in "$@"; do
        echo "--- last lines of $log ---" >&2
        tail -n "$lines" "$dir/$log" >&2 2>/dev/null
    done
    return 0
}

# Starts a test script: WORK is a fresh directory (lumaview-NAME.*), PIDS and CHECKS are empty.
# At exit every process in PIDS gets SIGTERM (and KILL after 5 s), the last lines of the LOGS in
# WORK are printed when the script failed, and WORK is removed.
begin_test() {
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-$1.XXXXXX")
    PIDS=()
    CHECKS=0
    TEST_LOGS=("${@:2}")
    trap end_test EXIT
    trap 'exit 130' INT TERM
}

end_test() {
    local status=$?
    stop_pids TERM "${PIDS[@]}"
    [[ $status -ne 0 ]] && tail_logs 30 "$WORK" "${TEST_LOGS[@]}"
    remove_workdir "$WORK"
    exit "$status"
}

# Removes the working directory unless LUMAVIEW_KEEP_TMP=1 asks to keep it.
remove_workdir() {
    if [[ "${LUMAVIEW_KEEP_TMP:-0}" == 1 ]]; then
        echo "kept $1" >&2
    else
        rm -rf "$1"
    fi
}

# True when something listens on TCP PORT (on ADDRESS only, when given).
is_listening() {
    local port=$1 address=${2:-}
    if [[ -n "$address" ]]; then
        ss -Htln "src $address:$port" 2>/dev/null | grep -q .
    else
        ss -Htln "sport = :$port" 2>/dev/null | grep -q .
    fi
}

# Echoes a TCP port below the kernel's ephemeral range that nothing listens
# on (on ADDRESS, when given), so the many short connections of a run do not
# collide with our listeners. Fails after 100 tries.
free_port() {
    local address=${1:-} port
    for _ in $(seq 100); do
        port=$((20000 + RANDOM % 12000))
        is_listening "$port" "$address" || { echo "$port"; return 0; }
    done
    return 1
}

# Waits at most 10 s for process PID to listen on PORT (on ADDRESS, when
# given); fails at once if the process exits.
wait_listening() {
    local pid=$1 port=$2 address=${3:-}
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 1
        is_listening "$port" "$address" && return 0
        sleep 0.1
    done
    return 1
}

# Waits at most 10 s for the line "port = N" that our programs print on
# standard output (in FILE) and echoes N; fails unless N is a port (the
# process PID exited first, no line came, or N is -1).
port_of() {
    local pid=$1 out=$2
    for _ in $(seq 100); do
        grep -q '^port = ' "$out" 2>/dev/null && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    local port
    port=$(sed -n 's/^port = \(-\{0,1\}[0-9]*\)$/\1/p' "$out" | head -n 1)
    echo "$port"
    [[ -n "$port" && "$port" -gt 0 ]]
}

# Sends SIGTERM to PID and waits at most 10 s; returns its exit status, or
# 124 when it is still running.
stop_and_status() {
    local pid=$1
    kill -TERM "$pid"
    wait_exit "$pid"
}

# Waits at most 10 s for PID to exit; returns its exit status, or 124.
wait_exit() {
    local pid=$1
    for _ in $(seq 100); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            return $?
        fi
        sleep 0.1
    done
    return 124
}

# Makes DIR/key.pem and DIR/cert.pem, a self-signed P-256 certificate for
# subject CN with the subjectAltName SAN, so that clients can verify peers
# with --cacert. openssl's output goes to DIR/openssl.log.
make_cert() {
    local dir=$1 cn=$2 san=$3
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$dir/key.pem" -out "$dir/cert.pem" -days 2 \
        -subj "/CN=$cn" -addext "subjectAltName=$san" >"$dir/openssl.log" 2>&1
}

# Prints the start of an nginx configuration that keeps every file in DIR
# (pid, error log at LEVEL, temporary paths) and allows CONNECTIONS per
# worker; the caller goes on inside the open "http {" block.
nginx_conf_head() {
    local dir=$1 level=$2 connections=$3
    # Workers of a root master would run as nobody and could not read the
    # private temporary directory.
    [[ $(id -u) -eq 0 ]] && echo "user root;"
    cat <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/nginx-error.log $level;
events { worker_connections $connections; }
http {
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
CONF
}

# Starts NGINX (the binary) in the background on two fresh ports, HTTP_PORT
# and TLS_PORT (on ADDRESS, when given), with the configuration that the
# caller's function WRITE_CONF writes to $WORK/nginx.conf; sets NGINX_PID.
# A free port can be taken between the check and nginx's bind, so this
# retries with other ports, five times at most.
launch_nginx() {
    local nginx=$1 write_conf=$2 address=${3:-} attempt
    for attempt in 1 2 3 4 5; do
        HTTP_PORT=$(free_port "$address") && TLS_PORT=$(free_port "$address") || return 1
        [[ "$HTTP_PORT" == "$TLS_PORT" ]] && continue
        "$write_conf" > "$WORK/nginx.conf"
        : > "$WORK/nginx-error.log"
        "$nginx" -e "$WORK/nginx-error.log" -c "$WORK/nginx.conf" -p "$WORK" -g 'daemon off;' \
            >"$WORK/nginx.out" 2>&1 &
        NGINX_PID=$!
        if wait_listening "$NGINX_PID" "$HTTP_PORT" "$address" &&
            wait_listening "$NGINX_PID" "$TLS_PORT" "$address"; then
            return 0
        fi
        kill -QUIT "$NGINX_PID" 2>/dev/null
        wait "$NGINX_PID" 2>/dev/null
        NGINX_PID=
        echo "nginx could not start (attempt $attempt): $(tail -n 3 "$WORK/nginx-error.log" "$WORK/nginx.out")" >&2
    done
    return 1
}

# Waits at most 10 s for a line matching PATTERN in FILE, the standard output
# of process PID; fails at once if the process exits.
wait_line() {
    local pid=$1 out=$2 pattern=$3
    for _ in $(seq 100); do
        grep -q "$pattern" "$out" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Waits until PID listens on ADDRESS:PORT; PROTO is t (TCP) or u (UDP).
# Any words after it are a prefix for ss, such as "ip netns exec NS".
wait_listen() {
    local pid=$1 proto=$2 where=$3
    shift 3
    for _ in $(seq 100); do
        "$@" ss -Hl${proto}n "src $where" | grep -q . && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# CPU time (user and system) of process PID so far, in milliseconds; 0 when it is gone.
cpu_ms() {
    [[ -n "$1" ]] || { echo 0; return; }
    awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat" 2>/dev/null || echo 0
}

# Creates two network namespaces joined by nothing but a pair of tun devices,
# CLIENT_NS:CLIENT_DEV with CLIENT_IP and SERVER_NS:SERVER_DEV with SERVER_IP,
# each the other's peer: only lumaview-lossy (see start_lossy) carries
# packets between them. MTU 1500 and no segmentation offload, so every
# packet the forwarder sees is one on the wire. Needs root; the caller
# deletes the namespaces.
netns_link_create() {
    local client_ns=$1 client_dev=$2 client_ip=$3 server_ns=$4 server_dev=$5 server_ip=$6 end
    ip netns add "$client_ns" && ip netns add "$server_ns" &&
        ip -n "$client_ns" tuntap add dev "$client_dev" mode tun &&
        ip -n "$server_ns" tuntap add dev "$server_dev" mode tun || return 1
    ip -n "$client_ns" link set lo up && ip -n "$server_ns" link set lo up &&
        ip -n "$client_ns" addr add "$client_ip" peer "$server_ip" dev "$client_dev" &&
        ip -n "$server_ns" addr add "$server_ip" peer "$client_ip" dev "$server_dev" || return 1
    for end in "$client_ns:$client_dev" "$server_ns:$server_dev"; do
        ip -n "${end%%:*}" link set "${end#*:}" mtu 1500 up || return 1
        # Normally a no-op on tun; where ethtool exists, make sure.
        command -v ethtool >/dev/null &&
            ip netns exec "${end%%:*}" ethtool -K "${end#*:}" tso off gso off gro off 2>/dev/null
    done
    return 0
}

# Starts the forwarder LOSSY_BIN between the tun devices NS:DEV and NS:DEV of
# netns_link_create with the impairment options that follow; its standard
# output goes to DIR/lossy.out, its log to DIR/lossy.log. Sets LOSSY_PID and
# fails unless it reports ready.
start_lossy() {
    local bin=$1 dir=$2 a=$3 b=$4
    shift 4
    "$bin" --tun "$a" --tun "$b" "$@" >"$dir/lossy.out" 2>>"$dir/lossy.log" &
    LOSSY_PID=$!
    wait_line "$LOSSY_PID" "$dir/lossy.out" '^ready'
}

# Median of the space-separated numbers in $1, "-" for none; $2 is the
# printf format of a mean of the middle two (benchmarks differ in precision).
median() {
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk -v fmt="${2:-%.2f}\n" '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit }
        if (NR % 2) print v[(NR + 1) / 2]; else printf fmt, (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# $1 / $2 with two decimals, "-" when either is missing or $2 is zero.
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f\n", a / b }'
}
