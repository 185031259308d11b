#!/usr/bin/env bash
# Download benchmark: the engine (kavri_bench.exe under Wine), aria2c and curl
# fetch one 64 MiB file from a private nginx in three set-ups:
#   capped   every connection limited to 2 MiB/s
#   uneven   about one connection in four at 256 KiB/s (eight times slower), the rest 2 MiB/s
#   limited  at most 3 concurrent connections per client (the rest get 503), each 2 MiB/s
#   open     no limit at all (loopback): shows what the engine's 8 KiB reads cost
# and prints seconds, MB/s, bytes the server sent / file size (nginx $bytes_sent)
# and the ratio to the physical limit (connections x per-connection rate).
#
#   bench/run.sh BUILD_DIR        (make bench runs it inside scripts/test-env.sh)
set -euo pipefail

build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
exe="$build/bin/kavri_bench.exe"
[ -f "$exe" ] || { echo "error: $exe missing; build the kavri_bench target" >&2; exit 1; }
for tool in nginx aria2c curl wine python3; do
  command -v "$tool" >/dev/null || { echo "error: $tool not found" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kavri-bench.XXXXXX)
nginx_pid_file="$work/nginx.pid"
cleanup() {
  if [ -f "$nginx_pid_file" ]; then kill "$(cat "$nginx_pid_file")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The file: 64 MiB of random bytes, kept in the build dir between runs.
data="$build/bench-data"
mkdir -p "$data"
size=$((64 * 1024 * 1024))
if [ ! -f "$data/bench64m.bin" ] || [ "$(stat -c %s "$data/bench64m.bin")" -ne "$size" ]; then
  head -c "$size" /dev/urandom > "$data/bench64m.bin.tmp" && mv "$data/bench64m.bin.tmp" "$data/bench64m.bin"
fi
root="$work/www"
mkdir -p "$root/capped" "$root/uneven" "$root/limited" "$root/open" "$work/tmp" "$work/out"
for d in capped uneven limited open; do ln -s "$data/bench64m.bin" "$root/$d/bench64m.bin"; done
sum=$(sha256sum "$data/bench64m.bin" | cut -d' ' -f1)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
# One worker: $connection is then one serial over all connections, and every
# fourth of them is the slow one in the uneven set-up.
cat > "$work/nginx.conf" <<EOF
$user_line
worker_processes 1;
daemon on;
pid $nginx_pid_file;
error_log $work/error.log warn;
events { worker_connections 1024; }
http {
    log_format bench '\$bytes_sent \$status \$connection "\$request_uri" "\$http_range"';
    access_log $work/access.log bench;
    client_body_temp_path $work/tmp;
    proxy_temp_path $work/tmp;
    fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp;
    scgi_temp_path $work/tmp;
    default_type application/octet-stream;
    sendfile on;
    keepalive_timeout 30;
    map \$connection \$bench_rate {
        "~(^|[02468])[048]\$" 256k;
        "~[13579][26]\$"      256k;
        default              2m;
    }
    limit_conn_zone \$binary_remote_addr zone=perclient:1m;
    server {
        listen 127.0.0.1:$port;
        root $root;
        location /capped/  { limit_rate 2m; }
        location /uneven/  { limit_rate \$bench_rate; }
        location /limited/ { limit_rate 2m; limit_conn perclient 3; limit_conn_status 503; }
        location /open/    { }
    }
}
EOF
nginx -c "$work/nginx.conf" -e "$work/error.log"

out_win=$(winepath -w "$work/out")
results="$work/results.tsv"
: > "$results"

# run SETUP TOOL: downloads once, appends "setup tool conns seconds ok tag" to results.
run() {
  local setup=$1 tool=$2 tag="$2-$1"
  local url="http://127.0.0.1:$port/$setup/bench64m.bin?run=$tag"
  rm -f "$work/out"/*
  local start end secs wall conns ok=no file=""
  start=$(date +%s.%N)
  case $tool in
    engine)
      local line
      line=$(wine "$exe" "$url" "$out_win" 10 2>"$work/engine-$setup.err" | tr -d '\r' | tail -n1) || true
      end=$(date +%s.%N)
      secs=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
      wall=$(python3 -c "print($end-$start)")
      conns=$(sed -n 's/.*segments=\([0-9]*\).*/\1/p' <<<"$line")
      [ -n "$secs" ] || secs=$wall
      if ! grep -q 'result=0 ' <<<"$line"; then
        echo "engine/$setup: $line" >&2; head -c 2000 "$work/engine-$setup.err" >&2 || true
      fi
      file=$(ls "$work/out"/* 2>/dev/null | head -n1 || true)
      ;;
    aria2c)
      aria2c -x10 -s10 -k1M -d "$work/out" -o bench64m.bin --allow-overwrite=true \
        --file-allocation=none --console-log-level=error --summary-interval=0 \
        --download-result=hide -q "$url" || echo "aria2c/$setup failed" >&2
      end=$(date +%s.%N)
      secs=$(python3 -c "print($end-$start)"); wall=$secs
      conns=10
      file="$work/out/bench64m.bin"
      ;;
    curl)
      curl -s --max-time 120 -o "$work/out/bench64m.bin" "$url" || echo "curl/$setup failed or timed out" >&2
      end=$(date +%s.%N)
      secs=$(python3 -c "print($end-$start)"); wall=$secs
      conns=1
      file="$work/out/bench64m.bin"
      ;;
  esac
  if [ -n "$file" ] && [ -f "$file" ] && [ "$(sha256sum "$file" | cut -d' ' -f1)" = "$sum" ]; then ok=yes; fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$setup" "$tool" "${conns:-0}" "$secs" "$ok" "$tag" "$wall" >> "$results"
  sleep 1  # let nginx finish its log lines and close the connections
}

for setup in capped uneven limited open; do
  for tool in engine aria2c curl; do
    echo "running $tool / $setup ..." >&2
    run "$setup" "$tool"
  done
done

python3 - "$results" "$work/access.log" "$size" <<'EOF'
import sys
results, access, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
rate = 2 * 1024 * 1024
sent, requests, refused = {}, {}, {}
for line in open(access):
    parts = line.split(' ', 3)
    if len(parts) < 4 or '?run=' not in parts[3]:
        continue
    tag = parts[3].split('?run=')[1].split('"')[0].split(' ')[0]
    sent[tag] = sent.get(tag, 0) + int(parts[0])
    requests[tag] = requests.get(tag, 0) + 1
    if parts[1] == '503':
        refused[tag] = refused.get(tag, 0) + 1
print()
print("%-8s %-7s %5s %8s %7s %8s %10s %10s %9s %s" % ("setup", "tool", "conns", "seconds", "wall", "MB/s",
      "sent/size", "vs.limit", "requests", "file"))
for row in open(results):
    setup, tool, conns, secs, ok, tag, wall = row.rstrip('\n').split('\t')
    conns, secs, wall = int(conns), float(secs), float(wall)
    mbps = size / secs / 1e6 if secs > 0 else 0
    used = conns
    if setup == 'limited':
        used = min(conns, 3)
    per = rate * (0.75 + 0.25 / 8) if setup == 'uneven' else rate
    limit = used * per
    ratio = "%.3f" % ((size / secs) / limit) if secs > 0 and setup != 'open' else "-"
    print("%-8s %-7s %5d %8.2f %7.2f %8.2f %10.4f %10s %5d/%-3d %s" % (
        setup, tool, conns, secs, wall, mbps, sent.get(tag, 0) / size, ratio,
        requests.get(tag, 0), refused.get(tag, 0), "sha256 ok" if ok == "yes" else "WRONG/MISSING"))
print()
print("conns: connections the tool ran (engine: segments after its connectivity test; limited: at most 3 served).")
print("vs.limit: achieved rate / (served connections x per-connection rate); uneven assumes 1 in 4 at 1/8 rate.")
print("requests: all/503 answers in the nginx log for that run; sent/size from nginx $bytes_sent.")
print("seconds: engine from Run to its final notification (in process); aria2c/curl the command. wall: the")
print("whole command (for the engine including the Wine process start).")
print("nginx's limit_rate lets each request send one second's worth at once, so a run can beat")
print("connections x rate (by more, the more requests it makes).")
EOF
