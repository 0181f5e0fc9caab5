#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What zelk-server asks of PostgreSQL: statements per call, and writes while streams stay open.

    bench/server_statements.py --server build/.../zelk-server [--vs OTHER-zelk-server]
                               [--calls 100] [--streams 2000] [--idle 60]

Makes a throwaway cluster (scripts/postgres.sh --durable --log-statements) and, for each
server, a database of its own; runs the server in sandbox mode on it (the sandbox reveals codes,
which the verifications need) and counts, from the cluster's statement log, the statements each
kind of call sends: new attaches, attaches again of a held user, the same of a user not held
(after a restart), detaches, verifications and stream opens, --calls of each, one after the
other. Statements an instance sends on its own (its beat, the streams it writes) are counted
apart. Then it opens --streams streams, leaves them idle for --idle seconds and counts the rows
the database wrote meanwhile (pg_stat_database). Goals: at most 3 statements per call, none on a
stream's opening when its user is held, and writes per minute that do not grow with the streams.
Everything runs on 127.0.0.1.
"""

import argparse
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# The names of the statements an instance sends on its own, not for a call.
BACKGROUND = ("zelk_beat", "zelk_streams", "LISTEN", "pg_advisory", "schema_version")


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, check=True, **kw)


class Cluster:
    def __init__(self, work):
        self.dir = os.path.join(work, "pg")
        port = free_port()
        out = run("bash", os.path.join(ROOT, "scripts", "postgres.sh"), "start", "--port",
                  str(port), "--dir", self.dir, "--durable", "--log-statements")
        self.url = re.search(r"listening on (\S+)", out.stdout).group(1)
        self.log = os.path.join(self.dir, "server.log")

    def psql(self, sql, database=None):
        url = self.url if database is None else self.url.rsplit("/", 1)[0] + "/" + database
        return run("psql", "-tA", url, "-c", sql).stdout.strip()

    def offset(self):
        return os.path.getsize(self.log)

    def statements(self, since):
        """The statements logged since `since`: (for calls, by the instance on its own)."""
        with open(self.log, errors="replace") as f:
            f.seek(since)
            text = f.read()
        calls = background = 0
        for line in text.splitlines():
            found = re.search(r"LOG:  (statement|execute [^:]*): (.*)", line)
            if not found:
                continue
            what = found.group(1) + " " + found.group(2)
            if any(name in what for name in BACKGROUND):
                background += 1
            elif "pg_stat_database" not in what:
                calls += 1
        return calls, background

    def stop(self):
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "postgres.sh"), "stop", "--dir",
                        self.dir], capture_output=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, binary, url, work):
        self.binary, self.url, self.work = binary, url, work
        self.process = None

    def start(self):
        self.port = free_port()
        self.process = subprocess.Popen(
            [self.binary, "--sandbox", "--database", self.url, "--listen",
             "127.0.0.1:%d" % self.port, "--code-key-file", os.path.join(self.work, "code-key"),
             "--admin-token-file", os.path.join(self.work, "admin-token"), "--log-format", "none",
             "--heartbeat", "25"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            try:
                if self.call("GET", "/readyz")[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.02)
        raise RuntimeError("the server did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(20)

    def call(self, method, path, body=None, auth="bench"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        headers = {"Authorization": "Basic %s:" % auth, "Content-Type": "application/json"}
        conn.request(method, path, None if body is None else json.dumps(body), headers)
        res = conn.getresponse()
        payload = res.read()
        conn.close()
        return res.status, (json.loads(payload) if payload else None)


def attach_body(user, vendor):
    return {"user": user, "library": "swift", "version": "3.0.2", "metadata": [],
            "device_info": {"os": {"name": "iOS", "version": "17.4"},
                            "device": {"vendor": "Apple", "model": "iPhone15,2", "type": "mobile"}},
            "signals": {"iosVendorIdentifier": vendor}}


def open_stream(port, device, access):
    s = socket.create_connection(("127.0.0.1", port))
    query = urllib.parse.urlencode({"access": access, "auth": "Basic bench:"})
    s.sendall(("GET /v2/access/device/%s/listen?%s HTTP/1.1\r\nHost: x\r\n\r\n"
               % (device, query)).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(4096)
        if not chunk:
            raise RuntimeError("the stream closed")
        head += chunk
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError("the stream answered " + head[:40].decode())
    return s


def measure(label, binary, cluster, args, work):
    database = "bench_%d" % int(time.time() * 1000)
    cluster.psql("CREATE DATABASE " + database)
    server = Server(binary, cluster.url.rsplit("/", 1)[0] + "/" + database, work)
    server.start()
    server.call("POST", "/_sandbox/project", {"client_id": "bench", "overall_limit": 1000000,
                                             "mobile_limit": 0})
    rows = []

    def phase(name, calls):
        time.sleep(0.3)
        since, began = cluster.offset(), time.monotonic()
        calls()
        time.sleep(0.3)
        counted, background = cluster.statements(since)
        rows.append((label, name, counted / args.calls, background,
                     time.monotonic() - began))

    n = args.calls
    devices = {}
    phase("attach, new user", lambda: [devices.__setitem__(
        i, server.call("POST", "/v2/access", attach_body("u%d" % i, "v%d" % i))[1])
        for i in range(n)])
    phase("attach again, held", lambda: [server.call(
        "POST", "/v2/access", attach_body("u%d" % i, "v%d" % i)) for i in range(n)])
    streams = []
    phase("stream open, held", lambda: [streams.append(open_stream(
        server.port, devices[i]["device_id"], devices[i]["access"])) for i in range(n)])
    for s in streams:
        s.close()
    # Over the limit of one device: each of these raises a challenge, whose code is verified.
    server.call("POST", "/_sandbox/project", {"client_id": "bench", "overall_limit": 1})
    for i in range(n):
        server.call("POST", "/v2/access", attach_body("u%d" % i, "w%d" % i))
    state = server.call("GET", "/_sandbox/state")[1]
    by_user = {}
    for challenge, view in state["challenges"].items():
        by_user.setdefault(view["user"], challenge)
    codes = {}
    for i in range(n):
        challenge = by_user["u%d" % i]
        server.call("POST", "/v2/challenge/attempt",
                    {"challenge": challenge, "action": "verify", "channel": "email"})
        codes[i] = (challenge, server.call("GET", "/_sandbox/challenge/" + challenge)[1]["code"])
    phase("verify, held", lambda: [server.call(
        "POST", "/v2/challenge/verify", {"challenge": codes[i][0], "code": codes[i][1]})
        for i in range(n)])
    phase("detach, held", lambda: [server.call(
        "POST", "/v2/access/detach", {"device": devices[i]["device_id"], "user": "u%d" % i})
        for i in range(n)])
    server.stop()
    server.start()  # nothing held now
    phase("attach again, not held", lambda: [server.call(
        "POST", "/v2/access", attach_body("u%d" % i, "w%d" % i)) for i in range(n)])

    # Streams left open and idle: what the database writes meanwhile.
    server.call("POST", "/_sandbox/project", {"client_id": "bench", "overall_limit": 1000000})
    idle = []
    for i in range(args.streams):
        _, attached = server.call("POST", "/v2/access", attach_body("s%d" % i, "s%d" % i))
        idle.append(open_stream(server.port, attached["device_id"], attached["access"]))
    time.sleep(2)
    written = ("SELECT tup_inserted + tup_updated + tup_deleted, xact_commit FROM "
               "pg_stat_database WHERE datname = '%s'" % database)
    before = [int(x) for x in cluster.psql(written).split("|")]
    time.sleep(args.idle)
    after = [int(x) for x in cluster.psql(written).split("|")]
    per_minute = 60.0 / args.idle
    rows.append((label, "%d idle streams: rows written a minute" % args.streams,
                 (after[0] - before[0]) * per_minute, (after[1] - before[1]) * per_minute,
                 args.idle))
    for s in idle:
        s.close()
    server.stop()
    cluster.psql("DROP DATABASE %s WITH (FORCE)" % database)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--vs")
    parser.add_argument("--calls", type=int, default=100)
    parser.add_argument("--streams", type=int, default=2000)
    parser.add_argument("--idle", type=int, default=60)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        cluster = Cluster(work)
        try:
            rows = measure("zelk-server", args.server, cluster, args, work)
            if args.vs:
                rows += measure("other", args.vs, cluster, args, work)
        finally:
            cluster.stop()
    print("%-12s %-44s %14s %14s" % ("subject", "calls", "per call", "on its own"))
    for label, name, per_call, background, _ in rows:
        if "idle" in name:
            print("%-12s %-44s %14.0f %14.0f  (transactions a minute)"
                  % (label, name, per_call, background))
        else:
            print("%-12s %-44s %14.2f %14d" % (label, name, per_call, background))
    return 0


if __name__ == "__main__":
    sys.exit(main())
