#!/usr/bin/env bash
# Checks the Debian packages that scripts/package built into BUILD_DIR: their
# file lists and conffiles against the layout, lintian, the desktop entry,
# the AppStream metainfo and the units; then runs the relay and the HTTP-DNS
# service with the command lines their units run, and the client unpacked
# from its package under xvfb-run as an unprivileged user.
# Usage: packaging/check-packages.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
client_deb=$(ls "$build"/lumaview_*.deb)
server_deb=$(ls "$build"/lumaview-server_*.deb)
work=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-pkgcheck.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-packages: FAIL: $*" >&2; exit 1; }
step() { echo "-- $*"; }

# Regular files and links of a package, "path" or "path -> target".
contents() {
  dpkg-deb -c "$1" | awk '$1 !~ /^d/ { $1=$2=$3=$4=$5=""; sub(/^ +/, ""); sub(/^\./, ""); print }' | sort
}

step "file lists"
expected_client="/etc/lumaview/lumashell.ini
/etc/lumaview/lumaview.ini
/usr/bin/lumaview -> ../lib/lumaview/lumaview
/usr/bin/lumaview-proxy -> ../lib/lumaview/lumaview-proxy
/usr/lib/lumaview/lumashell.ini -> /etc/lumaview/lumashell.ini
/usr/lib/lumaview/lumaview
/usr/lib/lumaview/lumaview-proxy
/usr/lib/lumaview/lumaview.ini -> /etc/lumaview/lumaview.ini
/usr/lib/lumaview/lumaview_zh.qm
/usr/lib/lumaview/qwebchannel.js
/usr/share/applications/org.example.lumaview.desktop
$(for s in 128 16 22 24 256 32 48 64; do echo "/usr/share/icons/hicolor/${s}x$s/apps/lumaview.png"; done)
/usr/share/icons/hicolor/scalable/apps/lumaview.svg
/usr/share/doc/lumaview/changelog.gz
/usr/share/doc/lumaview/copyright
/usr/share/man/man1/lumaview-proxy.1.gz
/usr/share/man/man1/lumaview.1.gz
/usr/share/metainfo/org.example.lumaview.metainfo.xml"
expected_server="/etc/lumaview/httpdns.conf
/etc/lumaview/httpdns.hosts
/etc/lumaview/relay.conf
/lib/systemd/system/lumaview-httpdns.service
/lib/systemd/system/lumaview-httpdns@.service
/lib/systemd/system/lumaview-relay@.service
/usr/bin/lumaview-httpdns
/usr/bin/lumaview-relay
/usr/share/doc/lumaview-server/changelog.gz
/usr/share/doc/lumaview-server/copyright
/usr/share/man/man1/lumaview-httpdns.1.gz
/usr/share/man/man1/lumaview-relay.1.gz"
for row in "client_deb:expected_client:/etc/lumaview/lumaview.ini /etc/lumaview/lumashell.ini:libqt5webenginewidgets5" \
  "server_deb:expected_server:/etc/lumaview/relay.conf /etc/lumaview/httpdns.conf /etc/lumaview/httpdns.hosts:libevent"; do
  IFS=: read -r deb_var list_var conffiles dependency <<<"$row"
  deb=${!deb_var}
  diff -u <(sort <<<"${!list_var}") <(contents "$deb") || fail "$(basename "$deb"): file list differs from the layout"
  diff -u <(tr ' ' '\n' <<<"$conffiles" | sort) <(dpkg-deb --info "$deb" conffiles | sort) \
    || fail "$(basename "$deb"): conffiles differ"
  dpkg-deb -f "$deb" Depends | grep -q "$dependency" || fail "$(basename "$deb"): Depends lacks $dependency"
done

step "lintian"
# With the informational tags: those about missing hardening are only that.
lintian_log="$work/lintian.log"
lintian --fail-on error,warning --display-info --tag-display-limit 0 "$client_deb" "$server_deb" >"$lintian_log" ||
  { cat "$lintian_log"; fail "lintian"; }
cat "$lintian_log"
! grep ' hardening-' "$lintian_log" || fail "lintian finds binaries built without hardening"

root="$work/root"
dpkg -x "$client_deb" "$root"
dpkg -x "$server_deb" "$root"

step "hardening-check"
# Every ELF file the packages install: PIE, stack protector, fortified
# functions, full RELRO and immediate binding. Not control-flow protection:
# Debian 12's C start files lack the CET note, so no program linked there has
# it (the system's own neither), whatever its objects were built with.
elves=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | tr -d '\0')" = $'\x7fELF' ] || continue
  hardening-check --nocfprotection "$file" || fail "$file is not hardened"
  elves=$((elves + 1))
done < <(find "$root" -type f -print0)
[ "$elves" -ge 4 ] || fail "only $elves ELF files found in the packages"
step "desktop-file-validate, appstreamcli"
desktop-file-validate "$root/usr/share/applications/org.example.lumaview.desktop"
appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/org.example.lumaview.metainfo.xml"

step "manual pages against --help"
# Every option a program's --help names must be in its manual page.
for program in usr/lib/lumaview/lumaview-proxy usr/bin/lumaview-relay usr/bin/lumaview-httpdns; do
  page="$root/usr/share/man/man1/$(basename "$program").1.gz"
  text=$(zcat "$page" | sed 's/\\-/-/g')
  for option in $("$root/$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -q -- "$option" <<<"$text" || fail "$(basename "$page") lacks $option"
  done
done

step "systemd-analyze verify"
# Without systemd as PID 1 the units are checked offline in the unpacked
# tree, which gets the system's own units (the targets ours hang on) beside
# ours; the programs they start must exist there. The template is checked
# through an instance.
cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
verify_log="$work/verify.log"
SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no --root="$root" \
  lumaview-relay@default.service lumaview-httpdns.service lumaview-httpdns@1.service >"$verify_log" 2>&1 || {
  cat "$verify_log"; fail "systemd-analyze verify"; }
# Unknown keys and bad values are only warnings there.
[ ! -s "$verify_log" ] || { cat "$verify_log"; fail "systemd-analyze verify reported problems"; }

# Waits until FILE holds "port = N" and prints N.
wait_port() {
  local file=$1 pid=$2
  for _ in $(seq 1 300); do
    local port
    port=$(sed -n 's/^port = \([0-9]*\)$/\1/p' "$file" | head -n1)
    if [ -n "$port" ]; then echo "$port"; return 0; fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}

# Runs a unit's ExecStart with its EnvironmentFile= files read the way systemd
# reads these simple assignments: ${VAR} is one word, $VAR splits at blanks.
# LISTEN is moved to LISTEN_AT (a free loopback port by default) and
# REUSE_PORT set from REUSE_AT when given; the rest of the shipped
# configuration is used as it is.
start_unit_command() {
  local unit=$1 instance=$2 out=$3
  local exec
  exec=$(sed -n 's/^ExecStart=//p' "$unit")
  (
    for env_file in $(sed -n 's/^EnvironmentFile=//p' "$unit"); do
      env_file=${env_file//%i/$instance}
      case $env_file in -*) env_file=${env_file#-}; [ -e "$root$env_file" ] || continue ;; esac
      set -a; . "$root$env_file"; set +a
    done
    LISTEN=${LISTEN_AT:-127.0.0.1:0}
    [ -z "${REUSE_AT:-}" ] || REUSE_PORT=$REUSE_AT
    [ -z "${HOSTS:-}" ] || HOSTS="$root$HOSTS"
    eval "set -- $exec"
    set -- "$root$1" "${@:2}"
    echo "running: $*" >&2
    exec "$@"
  ) >"$out" 2>"$out.err" &
  pids+=($!)
}

# Starts two units' command lines on one loopback port, both with
# --reuse-port, and sets pair_port.
start_pair() {
  local first_unit=$1 first=$2 second_unit=$3 second=$4 name=$5
  REUSE_AT=--reuse-port start_unit_command "$root/lib/systemd/system/$first_unit" "$first" "$work/$name-1.out"
  pair_port=$(wait_port "$work/$name-1.out" "${pids[-1]}") || { cat "$work/$name-1.out.err" >&2; return 1; }
  LISTEN_AT=127.0.0.1:$pair_port REUSE_AT=--reuse-port \
    start_unit_command "$root/lib/systemd/system/$second_unit" "$second" "$work/$name-2.out"
  [ "$(wait_port "$work/$name-2.out" "${pids[-1]}")" = "$pair_port" ] || { cat "$work/$name-2.out.err" >&2; return 1; }
}

step "lumaview-relay@1 and @2 as their units run them, sharing one port"
start_pair lumaview-relay@.service 1 lumaview-relay@.service 2 relay || fail "two relays could not share a port"
echo "two relays listen on UDP port $pair_port"
step "lumaview-httpdns.service and lumaview-httpdns@2 as their units run them, sharing one port"
start_pair lumaview-httpdns.service "" lumaview-httpdns@.service 2 httpdns ||
  fail "two HTTP-DNS services could not share a port"
for _ in 1 2 3 4; do
  answer=$(curl -sS --max-time 20 -d 'q=www.example.org&uid=1&output=text&known=' "http://127.0.0.1:$pair_port/dns")
  [ "$answer" = $'HTTPDNS\n198.51.100.21;198.51.100.22' ] || fail "HTTP-DNS answered: $answer"
done
echo "HTTP-DNS on port $pair_port answers from the shipped hosts file"
for pid in "${pids[@]}"; do
  kill -TERM "$pid"
  wait "$pid" || fail "a service did not exit 0 on SIGTERM"
done
pids=()

step "the unpacked client as an unprivileged user"
# The INI links in the package point into the real /etc; in the unpacked tree
# they are pointed at the unpacked conffiles, and lumashell.ini there names a
# proxy configuration that lets the system choose the proxy's port, so that a
# running client elsewhere does not matter. lumaview.ini stays as shipped.
lib="$root/usr/lib/lumaview"
ln -sfn ../../../etc/lumaview/lumaview.ini "$lib/lumaview.ini"
ln -sfn ../../../etc/lumaview/lumashell.ini "$lib/lumashell.ini"
printf '[setting]\nuse_kcp=0\nproxy_config=%s\n' "$root/etc/lumaview/proxy-test.conf" >"$root/etc/lumaview/lumashell.ini"
printf 'DebugUseFixedLocalPort=0\n' >"$root/etc/lumaview/proxy-test.conf"
mkdir -p "$work/site" "$work/user"/{home,config,data,cache,tmp,runtime}
printf '<html><head><title>Package check page</title></head><body>served for the check</body></html>\n' \
  >"$work/site/index.html"
python3 -u -m http.server --bind 127.0.0.1 --directory "$work/site" 0 >"$work/site.log" 2>&1 &
pids+=($!)
site_pid=$!
site_port=
for _ in $(seq 1 100); do
  site_port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/site.log" | head -n1)
  [ -n "$site_port" ] && break
  sleep 0.2
done
[ -n "$site_port" ] || fail "the page server did not start"

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 755 "$work"
  chown -R 65534:65534 "$work/user"
fi
chmod 700 "$work/user/runtime"
sandbox=on
if ! "${as_user[@]}" unshare --user --map-root-user true 2>/dev/null; then
  sandbox=off
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
echo "client runs as uid $("${as_user[@]}" id -u) with the web engine's sandbox $sandbox" \
  "($([ $sandbox = on ] && echo 'unprivileged user namespaces are allowed' || echo 'the kernel forbids unprivileged user namespaces'))"

cat >"$work/inner.sh" <<'INNER'
# Inside xvfb-run: start the client on the page, wait for its title, then ask
# the proxy inside it for the same page.
set -uo pipefail
client=$1 url=$2 out=$3
"$client" "$url" >"$out" 2>"$out.err" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT
for _ in $(seq 1 240); do
  kill -0 $pid 2>/dev/null || { echo "the client ended early" >&2; exit 1; }
  if xwininfo -root -tree 2>/dev/null | grep -q '"Package check page - lumaview\.example\.org"'; then
    port=$(sed -n 's/^port = \([0-9]*\)$/\1/p' "$out" | head -n1)
    [ -n "$port" ] || { echo "the client printed no proxy port" >&2; exit 1; }
    body=$(curl -sS --max-time 20 --noproxy '' -x "http://127.0.0.1:$port" "$url") || exit 1
    grep -q 'served for the check' <<<"$body" || { echo "the proxy answered: $body" >&2; exit 1; }
    echo "page loaded; the proxy on port $port answers"
    # The engine hands --no-sandbox to the helper processes it starts when
    # its sandbox is off.
    for child in $(pgrep -P $pid); do
      if tr '\0' ' ' </proc/$child/cmdline | grep -q -- '--no-sandbox'; then echo "sandbox: off"; exit 0; fi
    done
    echo "sandbox: on"
    exit 0
  fi
  sleep 0.5
done
echo "the page did not load in 120 s" >&2
exit 1
INNER
result=$(cd "$work/user" && "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$work/user/home" \
  XDG_CONFIG_HOME="$work/user/config" XDG_DATA_HOME="$work/user/data" XDG_CACHE_HOME="$work/user/cache" \
  XDG_RUNTIME_DIR="$work/user/runtime" TMPDIR="$work/user/tmp" \
  ${QTWEBENGINE_DISABLE_SANDBOX:+QTWEBENGINE_DISABLE_SANDBOX=1} \
  xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x768x24" \
  bash "$work/inner.sh" "$lib/lumaview" "http://127.0.0.1:$site_port/" "$work/user/client.out") || {
  tail -n 30 "$work/user/client.out.err" >&2; fail "the unpacked client"; }
echo "$result"
grep -q "sandbox: $sandbox" <<<"$result" || fail "expected the sandbox $sandbox"
kill "$site_pid"
echo "check-packages: all checks passed"
