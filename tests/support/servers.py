#!/usr/bin/env python3
"""servers.py start|stop STATE_DIR: nginx, the fault-injecting test server and a
squid proxy that asks for Basic credentials, for one test run, on free ports of
127.0.0.1. STATE_DIR/servers.json tells the tests where: {"nginx_port",
"nginx_root", "testserver_port", "squid_port", "squid_user", "squid_password",
"squid_log"}. Tests may add files to nginx_root (the test server serves them
too, as file=NAME).
"""
import json, os, random, signal, socket, subprocess, sys, time

NGINX_CONF = """
{user}
worker_processes 2;
pid {state}/nginx.pid;
error_log {state}/nginx-error.log warn;
events {{ worker_connections 512; }}
http {{
    access_log {state}/nginx-access.log;
    client_body_temp_path {state}/nginx-tmp; proxy_temp_path {state}/nginx-tmp;
    fastcgi_temp_path {state}/nginx-tmp; uwsgi_temp_path {state}/nginx-tmp; scgi_temp_path {state}/nginx-tmp;
    types {{ application/octet-stream exe bin; text/plain ini txt; }}
    default_type application/octet-stream;
    sendfile on;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location /norange/ {{ max_ranges 0; }}
        location /slow/ {{ limit_rate 2m; }}
    }}
}}
"""

SQUID_CONF = """
http_port 127.0.0.1:{port}
pid_filename {dir}/squid.pid
cache_log {dir}/cache.log
access_log stdio:{dir}/access.log
coredump_dir {dir}
cache deny all
pinger_enable off
strip_query_terms off
shutdown_lifetime 0 seconds
auth_param basic program /usr/lib/squid/basic_ncsa_auth {dir}/passwd
auth_param basic realm kavri-test
acl authed proxy_auth REQUIRED
http_access allow authed
http_access deny all
"""
SQUID_USER, SQUID_PASSWORD = "kavri-proxy", "s3cret pass:word"

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

def wait_until(ready, failure):
    deadline = time.time() + 20
    while not ready():
        if time.time() > deadline:
            sys.exit(failure)
        time.sleep(0.05)

def start(state):
    stop(state, quiet=True)
    root = os.path.join(state, "www")
    for sub in ("www/norange", "www/slow", "nginx-tmp"):
        os.makedirs(os.path.join(state, sub), exist_ok=True)
    for name, size, seed in (("file10m.bin", 10_000_000, 1), ("small.bin", 500_000, 2)):
        for path in (os.path.join(root, name), os.path.join(root, "norange", name)):
            if not os.path.exists(path) or os.path.getsize(path) != size:
                with open(path, "wb") as f:
                    f.write(random.Random(seed).randbytes(size))
    info = {"nginx_root": root, "nginx_port": free_port()}
    conf = os.path.join(state, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(user="user root root;" if os.geteuid() == 0 else "",
                                  state=state, port=info["nginx_port"], root=root))
    subprocess.run(["nginx", "-c", conf, "-e", os.path.join(state, "nginx-error.log")], check=True)

    port_file = os.path.join(state, "testserver.port")
    if os.path.exists(port_file):
        os.remove(port_file)
    with open(os.path.join(state, "testserver.log"), "ab") as log:
        server = os.path.join(os.path.dirname(os.path.abspath(__file__)), "testserver.py")
        proc = subprocess.Popen([sys.executable, server, "--port", "0", "--port-file", port_file, "--files-dir", root],
                                stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
    with open(os.path.join(state, "testserver.pid"), "w") as f:
        f.write(str(proc.pid))
    wait_until(lambda: proc.poll() is not None or os.path.exists(port_file), "test server did not start")
    if proc.poll() is not None:
        sys.exit("test server did not start; see testserver.log")
    info["testserver_port"] = int(open(port_file).read())
    info.update(start_squid(state))
    for what in ("nginx_port", "testserver_port", "squid_port"):
        wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", info[what])) == 0, f"{what} is not listening")
    with open(os.path.join(state, "servers.json"), "w") as f:
        json.dump(info, f)
    print("servers:", json.dumps(info))

def start_squid(state):
    """squid with one Basic user; its files in a directory its own user can write."""
    directory = os.path.join(state, "squid")
    os.makedirs(directory, exist_ok=True)
    os.chmod(directory, 0o777)
    hashed = subprocess.run(["openssl", "passwd", "-apr1", SQUID_PASSWORD], check=True, capture_output=True,
                            text=True).stdout.strip()
    with open(os.path.join(directory, "passwd"), "w") as f:
        f.write("%s:%s\n" % (SQUID_USER, hashed))
    port = free_port()
    conf = os.path.join(directory, "squid.conf")
    with open(conf, "w") as f:
        f.write(SQUID_CONF.format(port=port, dir=directory))
    with open(os.path.join(directory, "out.log"), "ab") as log:
        proc = subprocess.Popen(["squid", "-N", "-f", conf], stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                                start_new_session=True)
    with open(os.path.join(state, "squid.pid"), "w") as f:
        f.write(str(proc.pid))
    return {"squid_port": port, "squid_user": SQUID_USER, "squid_password": SQUID_PASSWORD,
            "squid_log": os.path.join(directory, "access.log")}

def stop(state, quiet=False):
    if os.path.exists(os.path.join(state, "nginx.pid")):
        subprocess.run(["nginx", "-c", os.path.join(state, "nginx.conf"), "-s", "stop", "-e",
                        os.path.join(state, "nginx-error.log")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for pid_file in (os.path.join(state, name) for name in ("testserver.pid", "squid.pid")):
        if os.path.exists(pid_file):
            try:
                os.killpg(int(open(pid_file).read()), signal.SIGTERM)
            except (OSError, ValueError):
                pass
            os.remove(pid_file)
    if os.path.exists(os.path.join(state, "servers.json")):
        os.remove(os.path.join(state, "servers.json"))
    if not quiet:
        print("servers stopped")

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    (start if sys.argv[1] == "start" else stop)(os.path.abspath(sys.argv[2]))
