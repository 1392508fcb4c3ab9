#!/usr/bin/env python3
"""nginx as a static file server over the update server's folder, for the
tests that hold the loader (or the update server) against a real web server.

nginx runs as the caller, in the foreground, on a free loopback port; every
file it writes lands in a working folder of its own. Besides its access log
it writes DIR/.ranges.log in the update server's form
(`TARGET range=VALUE if-range=VALUE`, `-` for a header not sent), so a test
reads what a client asked for in the same way from either server.

    python3 tools/update-server/nginx_beside.py --root DIR [--work WORK]
        [--port N] [--port-file FILE] [--directive 'limit_rate 256k;' ...]

Each --directive goes into the server block as it is (`max_ranges 0;`,
`limit_rate 256k;`, `etag off; add_header ETag 'W/"x"';`). The port is written
to FILE under a temporary name and renamed; --port N asks for that port
(a test that starts nginx again keeps its address). SIGTERM stops nginx. nginx is
Debian's package "nginx".
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

NGINX_CONF = """daemon off;
master_process off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format ranges '$request_uri range=$http_range if-range=$http_if_range';
    access_log {work}/access.log;
    access_log {root}/.ranges.log ranges;
    client_body_temp_path {work}/client_body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    types {{ }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        etag on;
{extra}
    }}
}}
"""


def find_nginx():
    """nginx's program, also where /usr/sbin is not on the PATH."""
    return shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(work, root, directives=(), port=0):
    """Starts nginx on `port`, or a free loopback port for 0; returns the
    process and port."""
    program = find_nginx()
    if program is None:
        raise RuntimeError("nginx is not installed (Debian package nginx)")
    extra = "\n".join("        " + d for d in directives)
    err = b""
    wanted = port
    for _ in range(3):
        port = wanted or free_port()
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(work=work, root=root, port=port, extra=extra))
        proc = subprocess.Popen([program, "-p", work, "-c", conf, "-e",
                                 os.path.join(work, "error.log")],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # A bound against hanging, not a measure of speed.
        deadline = time.monotonic() + 10
        while proc.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return proc, port
            except OSError:
                time.sleep(0.02)
        if proc.poll() is None:
            proc.kill()
        err = proc.communicate()[1]
        # Another program may have taken the port in the meantime: try another.
        if wanted or b"Address already in use" not in err:
            break
    raise RuntimeError("nginx did not start: %s" % err.decode(errors="replace"))


def stop_nginx(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--work", default=".")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--directive", action="append", default=[])
    args = parser.parse_args(argv)
    os.makedirs(args.work, exist_ok=True)
    try:
        proc, port = start_nginx(os.path.abspath(args.work), os.path.abspath(args.root),
                                 args.directive, args.port)
    except RuntimeError as e:
        print("nginx_beside: %s" % e, file=sys.stderr)
        return 1
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    print("listening on http://127.0.0.1:%d" % port, flush=True)
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    try:
        proc.wait()
    finally:
        if proc.poll() is None:
            stop_nginx(proc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
