#!/usr/bin/env bash
# Start-up benchmark: from process start to the progress window, and a whole
# 12 MiB download-and-start, with a working and with a hanging analytics host
# (it accepts the connection and never answers), next to a no-op Wine program
# that only shows a window. Medians of 5 runs, printed as a table.
#
#   bench/startup.sh BUILD_DIR        (make bench runs it inside scripts/test-env.sh)
set -euo pipefail

build=$(cd "${1:?usage: bench/startup.sh BUILD_DIR}" && pwd)
bin="$build/bin"
for f in setup.exe uidriver.exe argrecorder.exe kavri_noopwindow.exe; do
  [ -f "$bin/$f" ] || { echo "error: $bin/$f missing" >&2; exit 1; }
done
work=$(mktemp -d /tmp/kavri-startup.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# The installer to download: argrecorder padded to 12 MiB, from nginx.
mkdir -p "$work/www" "$work/tmp"
python3 -c "import sys; d=open(sys.argv[1],'rb').read(); open(sys.argv[2],'wb').write(d+b'\0'*(12*1024*1024-len(d)))" \
  "$bin/argrecorder.exe" "$work/www/KavriSetup.exe"
port=$(free_port)
user_line=""; [ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat > "$work/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
    server { listen 127.0.0.1:$port; root $work/www; location / { limit_rate 4m; } }
}
CONF
nginx -c "$work/nginx.conf" -e "$work/error.log"

# The hanging analytics host.
hang=$(free_port)
python3 - "$hang" <<'PY' &
import socket, sys, threading
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(64)
held = []
while True:
    c, _ = s.accept(); held.append(c)   # accepted, read by no one, never answered
PY
pids+=($!)

now() { date +%s.%N; }
# Seconds until a window with the title shows; the driver is started first and
# given a moment, so its own start-up is not counted.
time_to_window() {  # title command...
  local title=$1; shift
  wine "$bin/uidriver.exe" dump --title "$title" --timeout 30000 >/dev/null 2>&1 &
  local drv=$!
  sleep 1
  local t0; t0=$(now)
  "$@" >/dev/null 2>&1 &
  local prog=$!
  wait "$drv" || true
  local t1; t1=$(now)
  wait "$prog" 2>/dev/null || true
  python3 -c "print('%.3f' % ($t1 - $t0))"
}

run_setup() {  # dir tracking-host-port
  local dir=$1
  rm -f "$dir/setup.log" "$dir/record.txt"
  (cd "$dir" && ARGRECORDER_OUT="$(winpath "$dir/record.txt")" wine setup.exe)
}

setup_dir() {  # name tracking-port
  local dir="$work/$1"
  mkdir -p "$dir"
  cp "$bin/setup.exe" "$dir/"
  printf '[PRODUCT]\r\nURL=http://127.0.0.1:%s/KavriSetup.exe\r\n[CAMPAIGN]\r\nURL=http://127.0.0.1:%s/track?e=%%1\r\n' \
    "$port" "$2" > "$dir/setup.ini"
  echo "$dir"
}
working=$(setup_dir working "$port")
hanging=$(setup_dir hanging "$hang")

median() { python3 -c "import sys, statistics; print('%.2f' % statistics.median(float(x) for x in sys.argv[1:]))" "$@"; }
declare -a noop win_ok win_hang all_ok all_hang
for i in 1 2 3 4 5; do
  noop+=("$(time_to_window "Kavri Noop" wine "$bin/kavri_noopwindow.exe")")
  win_ok+=("$(time_to_window "Kavri Skyguard" run_setup "$working")")
  win_hang+=("$(time_to_window "Kavri Skyguard" run_setup "$hanging")")
  t0=$(now); run_setup "$working" >/dev/null 2>&1 || true; all_ok+=("$(python3 -c "print($(now) - $t0)")")
  t0=$(now); run_setup "$hanging" >/dev/null 2>&1 || true; all_hang+=("$(python3 -c "print($(now) - $t0)")")
  [ -s "$hanging/record.txt" ] || echo "warning: run $i with the hanging host started no installer" >&2
done

n=$(median "${noop[@]}"); wo=$(median "${win_ok[@]}"); wh=$(median "${win_hang[@]}")
ao=$(median "${all_ok[@]}"); ah=$(median "${all_hang[@]}")
echo
echo "== start-up (medians of 5; seconds)"
echo "| measure | no-op Wine window | setup.exe, analytics answers | setup.exe, analytics hangs |"
echo "|---|---|---|---|"
echo "| process start to window | $n | $wo | $wh |"
echo "| 12 MiB download-and-start, to exit | — | $ao | $ah |"
python3 - "$n" "$wo" "$wh" "$ao" "$ah" <<'PY'
import sys
n, wo, wh, ao, ah = map(float, sys.argv[1:])
def check(ok, text): print("   %s %s" % ("met " if ok else "MISSED", text))
check(wo - n <= 0.25, "window within 0.25 s of the no-op program (+%.2f s)" % (wo - n))
check(wh - wo <= 0.1, "a hanging host adds at most 0.1 s to the window (+%.2f s)" % (wh - wo))
check(ah - ao <= 1.5, "a hanging host adds at most 1.5 s to download-and-start (+%.2f s)" % (ah - ao))
PY
