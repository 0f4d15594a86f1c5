#!/usr/bin/env bash
# Usage: gui-test.sh PROGRAM [ARGS...]: under its own X server, home, settings, data and temp folder.
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/lumaview-guitest.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{home,config,data,cache,tmp,runtime}
chmod 700 "$work/runtime"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
  XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"
unset DISPLAY WAYLAND_DISPLAY
[ "$(id -u)" -ne 0 ] || export QTWEBENGINE_DISABLE_SANDBOX=1
# A random first server number keeps parallel tests from racing for one display.
xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1280x800x24" "$@"
