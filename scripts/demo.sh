#!/usr/bin/env bash
# make demo: the installer's main job on its embedded defaults, watched.
#
#   scripts/demo.sh BUILD_DIR
#
# Serves a small demo "main installer" (padded to 12 MB, so it is split into
# segments) from a local nginx with byte ranges and a per-connection rate,
# points setup.exe at it with an INI file, sends its tracking to a local
# capture server, runs it under Wine + Xvfb with a virtual desktop, takes a
# screenshot of the progress window mid-download (BUILD_DIR/demo/progress.png)
# and ends once setup.exe has started the demo program. Then it prints what
# happened. Every wait is bounded.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)

if [ "${KAVRI_DEMO_INSIDE:-}" != 1 ]; then
  cmake --build "$build" --target setup demoinstaller uidriver trustroot -j 2 >/dev/null
  export KAVRI_DEMO_INSIDE=1
  exec "$here/scripts/test-env.sh" --desktop 1024x768 "$here/scripts/demo.sh" "$build"
fi

# ---- inside the Wine + Xvfb environment of scripts/test-env.sh ----
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo/www" "$demo/run" "$demo/nginx-tmp"
bin="$build/bin"
file_size=12000000
rate=300k

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do [ -n "$p" ] && kill "$p" >/dev/null 2>&1 || true; done
  [ -f "$demo/nginx.pid" ] && nginx -c "$demo/nginx.conf" -e "$demo/nginx-error.log" -s stop >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The demo program, padded: a PE runs with zeros behind its last section.
python3 - "$bin/demoinstaller.exe" "$demo/www/KavriSkyguardSetup.exe" "$file_size" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
size = int(sys.argv[3])
open(sys.argv[2], "wb").write(data + b"\0" * max(0, size - len(data)))
EOF

# Trust: a throw-away CA made now (its keys are deleted at once), the demo
# installer signed by a leaf under it, the CA trusted in this Wine prefix
# only, and setup.exe told to start only what that signer signed.
python3 "$here/scripts/testsign.py" --one "$demo/pki" "$demo/www/KavriSkyguardSetup.exe" "$demo/www/signed.exe"
mv "$demo/www/signed.exe" "$demo/www/KavriSkyguardSetup.exe"
wine "$bin/trustroot.exe" "$(winpath "$demo/pki/root.der")"

# nginx: byte ranges (its default), a per-connection rate, timing in the log.
nginx_port=$(free_port)
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat >"$demo/nginx.conf" <<EOF
$user_line
worker_processes 2;
daemon on;
pid $demo/nginx.pid;
error_log $demo/nginx-error.log warn;
events { worker_connections 256; }
http {
    log_format timing '\$msec \$request_time \$status \$bytes_sent "\$http_range"';
    access_log $demo/nginx-access.log timing;
    client_body_temp_path $demo/nginx-tmp;
    proxy_temp_path $demo/nginx-tmp;
    fastcgi_temp_path $demo/nginx-tmp;
    uwsgi_temp_path $demo/nginx-tmp;
    scgi_temp_path $demo/nginx-tmp;
    types { application/octet-stream exe; }
    server {
        listen 127.0.0.1:$nginx_port;
        root $demo/www;
        location / { limit_rate $rate; }
    }
}
EOF
nginx -c "$demo/nginx.conf" -e "$demo/nginx-error.log"

# Tracking capture server: records every request's path and query.
python3 - "$demo/capture.port" "$demo/capture.log" <<'EOF' &
import http.server, sys, time
port_file, log_file = sys.argv[1], sys.argv[2]
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(log_file, "a") as f:
            f.write("%.3f %s\n" % (time.time(), self.path))
        self.send_response(200); self.send_header("Content-Length", "0"); self.end_headers()
    def log_message(self, *a): pass
s = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
open(port_file + ".tmp", "w").write(str(s.server_address[1]))
import os; os.replace(port_file + ".tmp", port_file)
s.serve_forever()
EOF
pids+=($!)
for _ in $(seq 1 100); do [ -s "$demo/capture.port" ] && break; sleep 0.1; done
capture_port=$(cat "$demo/capture.port")

# The tracking template: the product's own default, sent to the capture server.
template=$(python3 - "$here/resources/strings/neutral.rc" "$capture_port" <<'EOF'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
m = re.search(r'RC_IDS_TRACKING_URL\s+"([^"]*)"', text)
print(re.sub(r"^https?://[^/]+", "http://127.0.0.1:%s" % sys.argv[2], m.group(1)))
EOF
)

cp "$bin/setup.exe" "$demo/run/setup.exe"
cat >"$demo/run/setup.ini" <<EOF
[PRODUCT]
URL=http://127.0.0.1:$nginx_port/KavriSkyguardSetup.exe
Signer=CN=Kavri Test Signer
[CAMPAIGN]
URL=$template
SOURCE=demo
MEDIUM=make
INFORMATION=demo-run
EOF

marker="$demo/demo-started.txt"
echo "== make demo: setup.exe downloads the 12 MB demo installer from nginx (127.0.0.1:$nginx_port, $rate/s per connection)"
start=$(date +%s.%N)
(cd "$demo/run" && KAVRI_DEBUG_LEVEL=1 KAVRI_DEMO_MARKER="$(winpath "$marker")" \
   exec wine setup.exe >"$demo/setup.out" 2>&1) &
setup_pid=$!
pids+=($setup_pid)

# Mid-download screenshot: as soon as the bar is between 40 and 85 percent
# (by then the transfer line shows the rate and the time left).
shot=""
deadline=$(( $(date +%s) + 90 ))
while [ "$(date +%s)" -lt "$deadline" ] && [ ! -s "$marker" ]; do
  line=$(wine "$bin/uidriver.exe" dump --title "Kavri Skyguard" --has-id 1008 --timeout 200 2>/dev/null \
         | grep '"id":1008' || true)
  pos=$(printf '%s' "$line" | sed -n 's/.*"pos":\([0-9]*\).*/\1/p')
  if [ -n "$pos" ] && [ "$pos" -ge 40 ] && [ "$pos" -le 85 ]; then
    # The virtual desktop is 1024x768 in the top-left corner of the screen.
    import -display "$DISPLAY" -window root -crop 1024x768+0+0 +repage "$demo/progress.png" \
      && shot="at $pos%"
    break
  fi
  sleep 0.1
done

# The demo program has started (bounded), then setup.exe ends.
for _ in $(seq 1 1200); do [ -s "$marker" ] && break; sleep 0.1; done
setup_rc="(still running)"
for _ in $(seq 1 300); do
  if ! kill -0 "$setup_pid" 2>/dev/null; then
    set +e; wait "$setup_pid"; setup_rc=$?; set -e
    break
  fi
  sleep 0.1
done
end=$(date +%s.%N)

echo
if [ -s "$marker" ]; then
  echo "== the demo program ran:"
  sed 's/^/   /' "$marker"
else
  echo "== the demo program did NOT start within the time limit" >&2
fi
echo "== verification (setup.log):"
grep -E 'verified signer|not verified|was refused' "$demo/run/setup.log" | sed 's/^/   /' | tr -d '\r' || true
echo "== setup.exe exit code: $setup_rc (wall time $(python3 -c "print('%.1f s' % ($end - $start))"))"
echo
echo "== stages (setup.log):"
grep -E 'SetState|CDownloader:(Connecting to server|Testing Connection|Starting download|Runnig)|RunConnectivityTest: [0-9]|Download complete|Application' \
  "$demo/run/setup.log" | sed 's/^/   /' | tr -d '\r' || true
echo
python3 - "$demo/nginx-access.log" "$file_size" <<'EOF'
import sys
rows = []
for line in open(sys.argv[1]):
    parts = line.split(" ", 4)
    if len(parts) == 5:
        end, took, status, sent, rng = float(parts[0]), float(parts[1]), parts[2], int(parts[3]), parts[4].strip().strip('"')
        rows.append((end - took, end, status, sent, rng))
big = [r for r in rows if r[3] > 100000]
print("== segments: %d byte ranges of the file (plus %d short size and connection probes)" % (len(big), len(rows) - len(big)))
for begin, end, status, sent, rng in sorted(big, key=lambda r: int(r[4].split("=")[-1].split("-")[0] or 0) if "=" in r[4] else 0):
    print("   %s %-26s %9d bytes in %5.2f s = %.2f MB/s" % (status, rng or "(whole file)", sent, end - begin, sent / (end - begin) / 1e6 if end > begin else 0))
if big:
    t0, t1 = min(r[0] for r in big), max(r[1] for r in big)
    total = sum(r[3] for r in big)
    print("== transfer: %d bytes in %.2f s = %.2f MB/s (file %s bytes)" % (total, t1 - t0, total / (t1 - t0) / 1e6 if t1 > t0 else 0, sys.argv[2]))
EOF
echo
echo "== tracking events received by the capture server:"
python3 - "$demo/capture.log" <<'EOF' || true
import re, sys, urllib.parse
for line in open(sys.argv[1]):
    stamp, path = line.split(" ", 1)
    q = urllib.parse.parse_qs(urllib.parse.urlsplit(path.strip()).query)
    cookie = q.get("utmcc", [""])[0]
    visitor = re.search(r"__utma=\d+\.(\w+)\.", cookie)
    campaign = dict(re.findall(r"(utmcsr|utmccn|utmcmd)=([^|;]*)", cookie))
    print("   %-40s machine %s, source %s, campaign %s, medium %s" % (
        q.get("utmp", ["?"])[0], visitor.group(1) if visitor else "?", campaign.get("utmcsr", "?"),
        campaign.get("utmccn", "?"), campaign.get("utmcmd", "?")))
EOF
echo
if [ -n "$shot" ]; then
  echo "== screenshot of the progress window ($shot): $demo/progress.png"
else
  echo "== no mid-download screenshot was taken" >&2
fi
[ -s "$marker" ] && [ -n "$shot" ]
