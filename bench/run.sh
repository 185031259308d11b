#!/usr/bin/env bash
# Download benchmark: the engine (kavri_bench.exe under Wine, -s 10 and
# -s 16), aria2c -x10, aria2c -x16 and curl fetch a file from a private nginx
# (smooth, norange, latency: from our test server) in seven set-ups, each BENCH_RUNS times
# (default 3; the report gives the median time and the worst bytes and refusals):
#   capped   64 MiB, every connection limited to 2 MiB/s
#   smooth   64 MiB, every request held to 2 MiB/s from its first byte, no burst (the test server)
#   uneven   64 MiB, about one connection in four at 1 MiB/s (eight times slower), the rest 8 MiB/s
#   limited  64 MiB, at most 3 concurrent connections per client (the rest get 503), each 8 MiB/s
#   open     256 MiB, no limit at all (loopback)
#   norange  16 MiB, a server that ignores Range, 2 MiB/s (the test server)
#   latency  64 MiB, every answer's first byte 100 ms late, each connection 4 MB/s (the test server)
# and prints seconds, MB/s, bytes the server sent / file size (nginx $bytes_sent),
# the ratio to the physical limit (connections x per-connection rate), the
# time next to aria2c -x10 of the same run, and the engine's peak private
# memory above its idle process.
#
#   bench/run.sh BUILD_DIR        (make bench runs it inside scripts/test-env.sh)
#   BENCH_SETUPS="uneven open" bench/run.sh BUILD_DIR   runs only some set-ups
#   BENCH_TOOLS="engine aria2c" ...                      and only some tools (engine16: -s 16)
#   BENCH_LOG=FILE ...                                   keeps nginx's access log (bytes per request)
set -euo pipefail

build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
exe="$build/bin/kavri_bench.exe"
[ -f "$exe" ] || { echo "error: $exe missing; build the kavri_bench target" >&2; exit 1; }
for tool in nginx aria2c curl wine python3; do
  command -v "$tool" >/dev/null || { echo "error: $tool not found" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kavri-bench.XXXXXX)
nginx_pid_file="$work/nginx.pid"
cleanup() {
  [ -n "${BENCH_LOG:-}" ] && [ -f "$work/access.log" ] && cp "$work/access.log" "$BENCH_LOG"
  if [ -f "$nginx_pid_file" ]; then kill "$(cat "$nginx_pid_file")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The files: random bytes, kept in the build dir between runs.
data="$build/bench-data"
mkdir -p "$data"
make_file() {  # NAME MIB
  local want=$(($2 * 1024 * 1024))
  if [ ! -f "$data/$1" ] || [ "$(stat -c %s "$data/$1")" -ne "$want" ]; then
    head -c "$want" /dev/urandom > "$data/$1.tmp" && mv "$data/$1.tmp" "$data/$1"
  fi
}
make_file bench64m.bin 64
make_file bench256m.bin 256
make_file bench16m.bin 16
root="$work/www"
mkdir -p "$root/capped" "$root/smooth" "$root/uneven" "$root/limited" "$root/open" "$root/norange" "$work/tmp" "$work/out"
for d in capped smooth uneven limited; do ln -s "$data/bench64m.bin" "$root/$d/bench.bin"; done
ln -s "$data/bench256m.bin" "$root/open/bench.bin"
ln -s "$data/bench16m.bin" "$root/norange/bench.bin"
declare -A sums sizes
# The test server's set-ups: the query that makes each; it serves their files from one folder.
declare -A ts_query=([smooth]="file=bench.bin&rate=2097152" [norange]="file=norange.bin&ranges=0&rate=2097152"
                     [latency]="file=bench.bin&hold=100&rate=4000000")
mkdir -p "$root/latency" && ln -s "$data/bench64m.bin" "$root/latency/bench.bin"
ln -s "$data/bench16m.bin" "$root/latency/norange.bin"
for d in capped smooth uneven limited open norange latency; do
  sums[$d]=$(sha256sum "$root/$d/bench.bin" | cut -d' ' -f1)
  sizes[$d]=$(stat -L -c %s "$root/$d/bench.bin")
done

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
    log_format bench '\$bytes_sent \$status \$connection "\$request_uri" "\$http_range" \$msec \$request_time';
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
        "~(^|[02468])[048]\$" 1m;
        "~[13579][26]\$"      1m;
        default              8m;
    }
    limit_conn_zone \$binary_remote_addr zone=perclient:1m;
    server {
        listen 127.0.0.1:$port;
        root $root;
        location /capped/  { limit_rate 2m; }
        location /uneven/  { limit_rate \$bench_rate; }
        location /limited/ { limit_rate 8m; limit_conn perclient 3; limit_conn_status 503; }
        location /open/    { }
    }
}
EOF
nginx -c "$work/nginx.conf" -e "$work/error.log"
python3 "$(dirname "$0")/../tests/support/testserver.py" --port 0 --port-file "$work/ts.port" \
  --files-dir "$root/latency" >"$work/testserver.log" 2>&1 &
ts_pid=$!
trap 'kill $ts_pid 2>/dev/null || true; cleanup' EXIT INT TERM
for _ in $(seq 100); do [ -s "$work/ts.port" ] && break; sleep 0.1; done
ts_port=$(cat "$work/ts.port")

out_win=$(winepath -w "$work/out")
results="$work/results.tsv"
: > "$results"

# run SETUP TOOL N: downloads once, appends one line to results.
run() {
  local setup=$1 tool=$2 tag="$2-$1-$3" peak="-"
  local url="http://127.0.0.1:$port/$setup/bench.bin?run=$tag"
  [ -n "${ts_query[$setup]:-}" ] && url="http://127.0.0.1:$ts_port/$setup.bin?${ts_query[$setup]}&tag=$tag&run=$tag"
  rm -f "$work/out"/*
  local start end secs wall conns ok=no file=""
  start=$(date +%s.%N)
  case $tool in
    engine|engine16)
      local line n=10
      [ "$tool" = engine16 ] && n=16
      line=$(wine "$exe" "$url" "$out_win" $n 2>"$work/engine-$setup.err" | tr -d '\r' | tail -n1) || true
      end=$(date +%s.%N)
      secs=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
      wall=$(python3 -c "print($end-$start)")
      conns=$(sed -n 's/.*segments=\([0-9]*\).*/\1/p' <<<"$line")
      peak=$(sed -n 's/.*peakmb=\([0-9.-]*\).*/\1/p' <<<"$line")
      [ -n "$secs" ] || secs=$wall
      if ! grep -q 'result=0 ' <<<"$line"; then
        echo "engine/$setup: $line" >&2; head -c 2000 "$work/engine-$setup.err" >&2 || true
      fi
      file=$(ls "$work/out"/*.bin 2>/dev/null | head -n1 || true)
      ;;
    aria2c|aria2c16)
      local n=10
      [ "$tool" = aria2c16 ] && n=16
      aria2c -x$n -s$n -k1M -d "$work/out" -o bench.bin --allow-overwrite=true \
        --file-allocation=none --console-log-level=error --summary-interval=0 \
        --download-result=hide -q "$url" || echo "$tool/$setup failed" >&2
      end=$(date +%s.%N)
      secs=$(python3 -c "print($end-$start)"); wall=$secs
      conns=$n
      file="$work/out/bench.bin"
      ;;
    curl)
      curl -s --max-time 300 -o "$work/out/bench.bin" "$url" || echo "curl/$setup failed or timed out" >&2
      end=$(date +%s.%N)
      secs=$(python3 -c "print($end-$start)"); wall=$secs
      conns=1
      file="$work/out/bench.bin"
      ;;
  esac
  if [ -n "$file" ] && [ -f "$file" ] && [ "$(sha256sum "$file" | cut -d' ' -f1)" = "${sums[$setup]}" ]; then ok=yes; fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$setup" "$tool" "${conns:-0}" "$secs" "$ok" "$tag" "$wall" \
    "${peak:--}" "${sizes[$setup]}" >> "$results"
  sleep 1  # let nginx finish its log lines and close the connections
}

for setup in ${BENCH_SETUPS:-capped smooth uneven limited open norange latency}; do
  for tool in ${BENCH_TOOLS:-engine engine16 aria2c aria2c16 curl}; do
    for n in $(seq "${BENCH_RUNS:-3}"); do
      echo "running $tool / $setup ($n) ..." >&2
      run "$setup" "$tool" "$n"
    done
  done
done

python3 - "$results" "$work/access.log" "$ts_port" "${!ts_query[*]}" <<'EOF'
import json, statistics, sys, urllib.request
results, access, ts_port, ts_setups = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4].split()
mib = 1024 * 1024
rates = {'capped': 2 * mib, 'uneven': 8 * mib * (0.75 + 0.25 / 8), 'limited': 8 * mib, 'latency': 4e6,
         'norange': 2 * mib, 'smooth': 2 * mib}
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
runs = [r.rstrip('\n').split('\t') for r in open(results)]
for r in runs:
    if r[0] in ts_setups:  # the test server's own record of what it sent
        recs = json.load(urllib.request.urlopen("http://127.0.0.1:%s/_requests?tag=%s" % (ts_port, r[5])))
        sent[r[5]], requests[r[5]] = sum(max(0, x["sent"]) for x in recs), len(recs)
        refused[r[5]] = sum(1 for x in recs if x["status"] in (429, 503))
# One line per set-up and tool: the run of median time, with the worst bytes,
# refusals and check of all its runs.
groups = {}
for r in runs:
    groups.setdefault((r[0], r[1]), []).append(r)
rows = []
for key, group in groups.items():
    group.sort(key=lambda r: float(r[3]))
    median = list(group[len(group) // 2])
    worst = max(group, key=lambda r: sent.get(r[5], 0) / int(r[8]))
    median[4] = "yes" if all(r[4] == "yes" for r in group) else "no"
    sent[median[5] + "*"] = sent.get(worst[5], 0)
    requests[median[5] + "*"] = max(requests.get(r[5], 0) for r in group)
    refused[median[5] + "*"] = max(refused.get(r[5], 0) for r in group)
    median[5] += "*"
    rows.append(median)
secs_of = {(r[0], r[1]): float(r[3]) for r in rows}
print()
print("%-8s %-8s %5s %8s %7s %8s %10s %9s %7s %9s %8s %s" % ("setup", "tool", "conns", "seconds", "wall", "MB/s",
      "sent/size", "vs.limit", "vs.x10", "requests", "peak MB", "file"))
for setup, tool, conns, secs, ok, tag, wall, peak, size in rows:
    conns, secs, wall, size = int(conns), float(secs), float(wall), int(size)
    mbps = size / secs / 1e6 if secs > 0 else 0
    used = min(conns, 3) if setup == 'limited' else 1 if setup == 'norange' else conns
    ratio = "%.3f" % ((size / secs) / (used * rates[setup])) if secs > 0 and setup in rates else "-"
    x10 = secs_of.get((setup, 'aria2c'))
    vs = "%.2f" % (secs / x10) if x10 else "-"
    print("%-8s %-8s %5d %8.2f %7.2f %8.2f %10.4f %9s %7s %5d/%-3d %8s %s" % (
        setup, tool, conns, secs, wall, mbps, sent.get(tag, 0) / size, ratio, vs,
        requests.get(tag, 0), refused.get(tag, 0), peak, "sha256 ok" if ok == "yes" else "WRONG/MISSING"))
print()
print("Each line: the median of %d runs by time; sent/size, requests and refusals: the worst of them." % (
    len(runs) // max(1, len(rows))))
print("conns: connections the tool ran (engine: those open once its ramp ended; limited: at most 3 served).")
print("vs.limit: achieved rate / (served connections x per-connection rate); uneven assumes 1 in 4 at 1/8 rate;")
print("norange: one connection can serve it, so its limit is 2 MiB/s (8.0 s for its 16 MiB).")
print("vs.x10: seconds / aria2c -x10 -s10 -k1M seconds in the same run; aria2c16 is aria2c -x16 -s16 -k1M.")
print("requests: all/503 answers in the server's log; sent/size from nginx $bytes_sent (headers included) or the")
print("test server's record of body bytes (smooth, latency, norange).")
print("seconds: engine from Run to its final notification (in process); others the whole command. wall: the")
print("whole command (engine: with the Wine process start). peak MB: engine's peak private memory above idle.")
print("nginx's limit_rate lets each request send one second's worth at once, so a run can beat the limit.")
EOF
