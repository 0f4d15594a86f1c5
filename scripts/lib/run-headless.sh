#!/usr/bin/env bash
# Runs inside xvfb-run: starts the client, waits until a window shows a page
# title (the start page has loaded), saves a screenshot of the X screen, and
# keeps the client running until it ends or Ctrl-C.
# Usage: run-headless.sh SCREENSHOT.png CLIENT [ARGS...]
set -uo pipefail
shot=$1; shift
"$@" &
client=$!
trap 'kill "$client" 2>/dev/null; wait "$client" 2>/dev/null; exit 130' INT TERM

# The window title is "<page title> - <organisation>" once a page has a title.
loaded=0
for _ in $(seq 1 120); do
  kill -0 "$client" 2>/dev/null || break
  if xwininfo -root -tree 2>/dev/null | grep -q ' - lumaview\.example\.org"'; then
    loaded=1
    break
  fi
  sleep 0.5
done
if [ "$loaded" -eq 1 ]; then
  sleep 2 # let the page paint
  if import -window root "$shot" 2>/dev/null; then
    echo "run: the start page has loaded; screenshot saved to $shot" >&2
  else
    echo "run: the start page has loaded, but the screenshot failed" >&2
  fi
elif kill -0 "$client" 2>/dev/null; then
  echo "run: no page title after 60 s; no screenshot taken" >&2
fi
echo "run: lumaview is running (pid $client); press Ctrl-C to stop it" >&2
wait "$client"
