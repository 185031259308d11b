#!/usr/bin/env python3
"""Starts and stops the local servers that the tests use, for one test run.

    servers.py start STATE_DIR   # nginx + the fault-injecting test server
    servers.py stop STATE_DIR

Both listen on 127.0.0.1 on free ports. STATE_DIR/servers.json tells the tests
where: {"nginx_port", "nginx_root", "testserver_port"}. Tests may put their
own files into nginx_root; the standard files are created here.
"""
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_file(path, size, seed):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(rng.randbytes(n))
            left -= n


NGINX_CONF = """
{user}
worker_processes 2;
daemon on;
pid {state}/nginx.pid;
error_log {state}/nginx-error.log warn;
events {{ worker_connections 512; }}
http {{
    access_log {state}/nginx-access.log;
    client_body_temp_path {state}/nginx-tmp;
    proxy_temp_path {state}/nginx-tmp;
    fastcgi_temp_path {state}/nginx-tmp;
    uwsgi_temp_path {state}/nginx-tmp;
    scgi_temp_path {state}/nginx-tmp;
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


def start(state):
    stop(state, quiet=True)
    os.makedirs(state, exist_ok=True)
    root = os.path.join(state, "www")
    for sub in ("", "norange", "slow"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    os.makedirs(os.path.join(state, "nginx-tmp"), exist_ok=True)
    for name, size, seed in (("file10m.bin", 10_000_000, 1), ("small.bin", 500_000, 2)):
        for sub in ("", "norange"):
            path = os.path.join(root, sub, name)
            if not os.path.exists(path) or os.path.getsize(path) != size:
                make_file(path, size, seed)

    info = {"nginx_root": root}
    port = free_port()
    conf = os.path.join(state, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(user="user root root;" if os.geteuid() == 0 else "",
                                  state=state, port=port, root=root))
    subprocess.run(["nginx", "-c", conf, "-e", os.path.join(state, "nginx-error.log")],
                   check=True)
    info["nginx_port"] = port

    server = os.path.join(HERE, "testserver.py")
    if os.path.exists(server):
        port_file = os.path.join(state, "testserver.port")
        if os.path.exists(port_file):
            os.remove(port_file)
        log = open(os.path.join(state, "testserver.log"), "ab")
        proc = subprocess.Popen([sys.executable, server, "--port", "0", "--port-file", port_file],
                                stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                                start_new_session=True)
        with open(os.path.join(state, "testserver.pid"), "w") as f:
            f.write(str(proc.pid))
        deadline = time.time() + 20
        while not (os.path.exists(port_file) and open(port_file).read().strip()):
            if proc.poll() is not None or time.time() > deadline:
                sys.exit("test server did not start; see testserver.log")
            time.sleep(0.05)
        info["testserver_port"] = int(open(port_file).read().strip())

    for what, port in (("nginx", info["nginx_port"]), ("testserver", info.get("testserver_port"))):
        if port is None:
            continue
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline:
                    sys.exit(f"{what} is not listening on {port}")
                time.sleep(0.05)

    with open(os.path.join(state, "servers.json"), "w") as f:
        json.dump(info, f)
    print("servers:", json.dumps(info))


def stop(state, quiet=False):
    conf = os.path.join(state, "nginx.conf")
    if os.path.exists(os.path.join(state, "nginx.pid")):
        subprocess.run(["nginx", "-c", conf, "-s", "stop", "-e",
                        os.path.join(state, "nginx-error.log")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pid_file = os.path.join(state, "testserver.pid")
    if os.path.exists(pid_file):
        try:
            os.killpg(int(open(pid_file).read()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        os.remove(pid_file)
    info = os.path.join(state, "servers.json")
    if os.path.exists(info):
        os.remove(info)
    if not quiet:
        print("servers stopped")


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    (start if sys.argv[1] == "start" else stop)(os.path.abspath(sys.argv[2]))
