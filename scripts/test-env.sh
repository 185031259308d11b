#!/usr/bin/env bash
# Runs a command inside a private test environment and removes it afterwards:
# a fresh Wine prefix, an Xvfb display, a persistent wineserver with the crash
# dialog switched off, and no proxy variables. Nothing left over from an
# earlier run is used.
#
#   scripts/test-env.sh [--desktop WxH] command [args...]
set -euo pipefail

desktop=""
if [ "${1:-}" = "--desktop" ]; then desktop=$2; shift 2; fi

work=$(mktemp -d /tmp/kavri-env.XXXXXX)
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ftp_proxy FTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

xvfb_pid=""
cleanup() {
  local rc=$?
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" >/dev/null 2>&1 || true
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT INT TERM

# Display: let Xvfb pick a free display number and tell us which.
exec 5<> "$work/displayfd" || true
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  if [ -s "$work/displayfd" ]; then break; fi
  sleep 0.1
done
disp=$(head -n1 "$work/displayfd" | tr -d '[:space:]')
if [ -z "$disp" ]; then echo "error: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; fi
export DISPLAY=":$disp"

# Prefix, crash dialog off (an unhandled fault would otherwise wait in
# winedbg's window forever), optional virtual desktop for window captions.
wine wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
if [ -n "$desktop" ]; then
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$desktop" /f >/dev/null 2>&1
fi
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

# A persistent, detached server: every test process then starts in milliseconds.
wineserver -p </dev/null >/dev/null 2>&1 || true
wine wineboot </dev/null >/dev/null 2>&1 || true

set +e
"$@"
rc=$?
set -e
exit $rc
