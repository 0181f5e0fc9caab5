#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Several zelk-server instances on one PostgreSQL, behind nginx, all on loopback.

    instances_test.py --server PATH/zelk-server [--scripts DIR] [--only NAME]

Starts a throwaway PostgreSQL (scripts/postgres.sh), three zelk-server processes on it and nginx
in front of them (scripts/nginx.sh), then checks:
  race      200 attaches of 20 users racing over every instance give the devices, counts and
            challenges one instance gives for the same attaches;
  across    a challenge raised through A reaches a stream held by B, a logout through A one held
            by C;
  failover  kill -9 of the instance holding 100 streams: every client reconnects through nginx
            and hears every message raised meanwhile, once and in order;
  gone      kill -9 of the instance holding a device's only stream: with a grace of 2 s the
            device stops counting on the others within the grace and one beat of the instances;
  restart   PostgreSQL restarted under attaches: /readyz says not ready and attaches answer 503
            at once, then ready on its own, and no attach that was answered is lost.
Runs when env ZELK_TEST_POSTGRES is set (to the URL of a PostgreSQL server for the other tests:
this one restarts the database, so it makes a cluster of its own) and needs Debian's postgresql,
nginx and, as root, runuser; without it the test says so and is skipped (exit 77). Bounded: about
half a minute in all.
"""

import argparse
import glob
import concurrent.futures
import http.client
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

SKIP = 77
DEADLINE = 20.0  # seconds any single wait may take before the test fails


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout=DEADLINE, every=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(every)
    raise Failure("timed out waiting for " + what)


class Http:
    """One keep-alive connection to host:port."""

    def __init__(self, port, timeout=10):
        self.port = port
        self.timeout = timeout
        self.conn = None

    def request(self, method, path, body=None, headers=None):
        for attempt in range(2):
            if self.conn is None:
                self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=self.timeout)
            try:
                data = None if body is None else json.dumps(body).encode()
                all_headers = {"Content-Type": "application/json"} if data is not None else {}
                all_headers.update(headers or {})
                self.conn.request(method, path, body=data, headers=all_headers)
                res = self.conn.getresponse()
                payload = res.read()
                return res.status, payload
            except (ConnectionError, http.client.HTTPException, socket.timeout, OSError):
                self.conn.close()
                self.conn = None
                if attempt == 1:
                    raise
        raise AssertionError("unreachable")

    def json(self, method, path, body=None, headers=None):
        status, payload = self.request(method, path, body, headers)
        try:
            return status, json.loads(payload) if payload else None
        except ValueError:
            return status, None

    def close(self):
        if self.conn:
            self.conn.close()


def basic(client_id):
    return "Basic " + client_id + ":"


def attach_body(user, vendor, kind="mobile"):
    return {
        "user": user,
        "library": "swift",
        "version": "3.0.2",
        "device_info": {"os": {"name": "iOS", "version": "17.4"},
                        "device": {"vendor": "Apple", "model": "iPhone15,2", "type": kind}},
        "signals": {"iosVendorIdentifier": vendor},
        "metadata": [],
    }


class Stream:
    """A listen stream read on a thread of its own: the events it hears, in order."""

    def __init__(self, port, client_id, device, access, last_event_id=None):
        self.events = []  # (id or None, data)
        self.heard = threading.Event()  # set with each event
        self.ended = threading.Event()
        self.status = None
        self.opened = threading.Event()
        query = urllib.parse.urlencode({"access": access, "auth": basic(client_id)})
        self.path = "/v2/access/device/%s/listen?%s" % (urllib.parse.quote(device), query)
        self.port = port
        self.last_event_id = last_event_id
        self.conn = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
            headers = {"Accept": "text/event-stream"}
            if self.last_event_id is not None:
                headers["Last-Event-ID"] = str(self.last_event_id)
            self.conn.request("GET", self.path, headers=headers)
            res = self.conn.getresponse()
            self.status = res.status
            self.opened.set()
            if res.status != 200:
                res.read()
                return
            event_id, data = None, None
            while True:
                line = res.readline()
                if not line:
                    return
                line = line.decode().rstrip("\r\n")
                if line == "":
                    if data is not None or event_id is not None:
                        self.events.append((event_id, data))
                        self.heard.set()
                    event_id, data = None, None
                elif line.startswith(":"):
                    continue
                else:
                    field, _, value = line.partition(":")
                    value = value[1:] if value.startswith(" ") else value
                    if field == "id":
                        event_id = int(value) if value.isdigit() else None
                    elif field == "data":
                        data = value if data is None else data + "\n" + value
        except (OSError, http.client.HTTPException, ValueError):
            return
        finally:
            self.opened.set()
            self.ended.set()

    def close(self):
        if self.conn and self.conn.sock:
            try:
                self.conn.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.thread.join(5)

    def data(self):
        return [d for _, d in self.events if d]


class Cluster:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.servers = {}  # name -> (process, port)
        self.pg_dir = os.path.join(work, "pg")
        self.nginx_dir = None
        self.nginx_port = None
        self.url = None
        self.code_key = os.path.join(work, "code-key")
        self.admin_token_file = os.path.join(work, "admin-token")
        self.admin = None

    def script(self, name):
        return os.path.join(self.args.scripts, name)

    def start_postgres(self):
        port = free_port()
        out = subprocess.run(["bash", self.script("postgres.sh"), "start", "--port", str(port),
                              "--dir", self.pg_dir],
                             capture_output=True, text=True, timeout=120)
        if out.returncode != 0:
            raise Failure("postgres.sh start failed: " + out.stderr[-2000:])
        found = re.search(r"listening on (postgres\S+)", out.stdout)
        check(found, "postgres.sh said no URL: " + out.stdout)
        self.url = found.group(1)

    def pg_ctl(self, *args):
        """Runs pg_ctl on the cluster postgres.sh made, as its owner."""
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                      key=lambda p: [int(x) for x in re.findall(r"\d+", p)])
        check(bins, "no pg_ctl under /usr/lib/postgresql")
        command = [bins[-1], "-D", os.path.join(self.pg_dir, "data"), "-w", "-t", "60"] + list(args)
        if os.getuid() == 0:
            command = ["runuser", "-u", "postgres", "--"] + command
        out = subprocess.run(command, capture_output=True, text=True, timeout=120)
        check(out.returncode == 0, "pg_ctl %s failed: %s" % (args[-1], out.stderr[-2000:]))

    def stop_postgres(self):
        # A fast stop writes what was committed before it goes: it loses nothing answered.
        with open(os.path.join(self.pg_dir, "data", "postmaster.opts")) as f:
            self.pg_options = shlex.split(f.read())[1:]
        self.pg_ctl("-m", "fast", "stop")

    def start_postgres_again(self):
        options = list(self.pg_options)
        if "-D" in options:
            at = options.index("-D")
            del options[at:at + 2]
        self.pg_ctl("-l", os.path.join(self.pg_dir, "server.log"), "-o",
                    " ".join(shlex.quote(o) for o in options), "start")

    def start_server(self, name, database=None):
        port = free_port()
        log = open(os.path.join(self.work, name + ".log"), "w")
        process = subprocess.Popen(
            [self.args.server, "--database", database or self.url, "--listen",
             "127.0.0.1:%d" % port, "--admin-token-file", self.admin_token_file,
             "--code-key-file", self.code_key, "--rate-limit-client", "0",
             "--rate-limit-address", "0", "--heartbeat", "1"],
            stdout=log, stderr=subprocess.STDOUT)
        self.servers[name] = (process, port)
        wait_for(name + " to answer", lambda: self.ready(port) or self._dead(name))
        check(process.poll() is None, name + " did not start: " + self.log(name))
        if self.admin is None:
            with open(self.admin_token_file) as f:
                self.admin = {"Authorization": "Bearer " + f.read().strip()}
        return port

    def _dead(self, name):
        return self.servers[name][0].poll() is not None

    def log(self, name):
        with open(os.path.join(self.work, name + ".log")) as f:
            return f.read()[-3000:]

    @staticmethod
    def ready(port):
        try:
            status, _ = Http(port, timeout=2).request("GET", "/readyz")
            return status == 200
        except OSError:
            return False

    def port(self, name):
        return self.servers[name][1]

    def kill(self, name):
        process, _ = self.servers[name]
        process.send_signal(signal.SIGKILL)
        process.wait(10)

    def start_nginx(self, names):
        config = os.path.join(self.args.scripts, "..", "deploy", "nginx", "zelk-instances.conf")
        command = ["bash", self.script("nginx.sh"), "start", "--config", config]
        for name in names:
            command += ["--upstream", "127.0.0.1:%d" % self.port(name)]
        out = subprocess.run(command, capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            raise Failure("nginx.sh start failed: " + out.stderr[-2000:])
        self.nginx_port = int(re.search(r"listening on http://127\.0\.0\.1:(\d+)", out.stdout).group(1))
        self.nginx_dir = re.search(r"nginx folder (\S+)", out.stdout).group(1)

    def stop(self):
        for name, (process, _) in self.servers.items():
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
        if self.nginx_dir:
            subprocess.run(["bash", self.script("nginx.sh"), "stop", "--dir", self.nginx_dir],
                           capture_output=True, timeout=60)
            self.nginx_dir = None
        if os.path.isdir(self.pg_dir):
            subprocess.run(["bash", self.script("postgres.sh"), "stop", "--dir", self.pg_dir],
                           capture_output=True, timeout=120)

    def configure(self, port, client_id, **settings):
        body = {"client_id": client_id, "name": client_id}
        body.update(settings)
        status, answer = Http(port).json("POST", "/admin/projects", body, self.admin)
        check(status == 200, "configuring %s: %s %s" % (client_id, status, answer))

    def attach(self, conn, client_id, user, vendor, kind="mobile"):
        status, answer = conn.json("POST", "/v2/access", attach_body(user, vendor, kind),
                                   {"Authorization": basic(client_id)})
        return status, answer

    def user_view(self, port, client_id, user):
        query = urllib.parse.urlencode({"client_id": client_id, "user": user})
        status, answer = Http(port).json("GET", "/admin/user?" + query, None, self.admin)
        check(status == 200, "user %s of %s: %s %s" % (user, client_id, status, answer))
        return answer


# race: the same attaches, once through one instance one after the other, once racing over all.
USERS, PER_USER = 20, 10


def race_attaches():
    return [("u%02d" % u, "%08X-0000-4000-8000-%012X" % (u, d), "tablet" if d % 3 == 0 else "mobile")
            for d in range(PER_USER) for u in range(USERS)]


def summary(view):
    devices = sorted((d["vendor_identifier"], d["type"]) for d in view["devices"])
    reasons = sorted(c["reason"] for c in view["challenges"])
    open_challenges = sum(1 for c in view["challenges"] if c["open"])
    return {"devices": devices, "count": len(devices), "reasons": reasons, "open": open_challenges}


def run_attaches(cluster, client_id, ports, workers):
    """Sends every attach twice (a new device, then once again: a known one), spread over `ports`
    by `workers` threads; returns the answers that were not a 200."""
    local = threading.local()
    failures = []

    def one(index, attach):
        if not hasattr(local, "conns"):
            local.conns = {p: Http(p) for p in ports}
        port = ports[index % len(ports)]
        status, answer = cluster.attach(local.conns[port], client_id, *attach)
        if status != 200 or not answer or not answer.get("device_id"):
            failures.append((status, answer))

    attaches = race_attaches()
    for _ in range(2):
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            list(pool.map(lambda pair: one(*pair), enumerate(attaches)))
    return failures


def test_race(cluster):
    a, b, c = (cluster.port(n) for n in "ABC")
    settings = dict(overall_limit=4, tablet_limit=2, mobile_limit=0, computer_limit=0,
                    limit_policy="challenge")
    cluster.configure(a, "race-one", **settings)
    cluster.configure(b, "race-all", **settings)
    failures = run_attaches(cluster, "race-one", [a], workers=1)
    check(not failures, "single-instance attaches failed: %s" % failures[:3])
    failures = run_attaches(cluster, "race-all", [a, b, c, cluster.nginx_port], workers=12)
    check(not failures, "racing attaches failed: %s" % failures[:3])
    for u in range(USERS):
        user = "u%02d" % u
        one = summary(cluster.user_view(a, "race-one", user))
        # Any instance answers for the records of all of them.
        every = [summary(cluster.user_view(p, "race-all", user)) for p in (a, b, c)]
        check(every[0] == every[1] == every[2], "instances disagree on %s: %s" % (user, every))
        check(one == every[0], "racing differs from one instance for %s:\n one: %s\n all: %s" %
              (user, one, every[0]))
        check(one["count"] == PER_USER, "%s has %d devices" % (user, one["count"]))
    print("race: %d attaches twice over 3 instances and nginx give what one instance gives"
          % (USERS * PER_USER))


def open_stream(cluster, port, client_id, device, access, last_event_id=None, streams_before=None):
    stream = Stream(port, client_id, device, access, last_event_id)
    check(stream.opened.wait(DEADLINE), "stream did not open")
    check(stream.status == 200, "stream answered %s" % stream.status)
    return stream


def open_streams_on(port):
    status, payload = Http(port).request("GET", "/metrics")
    found = re.search(rb"^zelk_open_streams (\d+)", payload, re.M)
    return int(found.group(1)) if found else 0


def test_across(cluster):
    a, b, c = (cluster.port(n) for n in "ABC")
    cluster.configure(a, "across", overall_limit=10, limit_policy="challenge")
    conn = Http(a)
    _, first = cluster.attach(conn, "across", "alice", "AAAAAAAA-0000-4000-8000-000000000001")
    _, second = cluster.attach(conn, "across", "alice", "AAAAAAAA-0000-4000-8000-000000000002")
    on_b_before, on_c_before = open_streams_on(b), open_streams_on(c)
    on_b = open_stream(cluster, b, "across", first["device_id"], first["access"])
    on_c = open_stream(cluster, c, "across", second["device_id"], second["access"])
    wait_for("both streams", lambda: open_streams_on(b) > on_b_before and
             open_streams_on(c) > on_c_before)
    status, raised = conn.json("POST", "/admin/challenges", {"client_id": "across", "user": "alice"},
                               cluster.admin)
    check(status == 200, "raising a challenge: %s %s" % (status, raised))
    notice = json.dumps({"action": "challenge", "challenge": {"_id": raised["challenge"]}},
                        separators=(",", ":"))
    wait_for("the challenge on B", lambda: any(json.loads(d) == json.loads(notice)
                                                 for d in on_b.data()))
    wait_for("the challenge on C", lambda: len(on_c.data()) >= 1)
    status, answer = conn.json("POST", "/admin/logout",
                               {"client_id": "across", "device": second["device_id"]}, cluster.admin)
    check(status == 200, "logout: %s %s" % (status, answer))
    wait_for("the logout on C", lambda: '"logout"' in on_c.data())
    check(on_c.data().count('"logout"') == 1, "logout heard more than once: %s" % on_c.events)
    check('"logout"' not in on_b.data(), "B's device heard another's logout")
    ids = [i for i, _ in on_c.events if i is not None]
    check(ids == sorted(set(ids)), "ids on C out of order or repeated: %s" % ids)
    on_b.close()
    on_c.close()
    print("across: a challenge through A reached B, a logout through A reached C, once each")


class Client:
    """A device's stream that comes back, as the library does: after a drop it waits its backoff
    and reconnects through the load balancer with the id of the last message it heard."""

    def __init__(self, cluster, port, client_id, device, access):
        self.cluster = cluster
        self.client_id, self.device, self.access = client_id, device, access
        self.heard = []  # (id, data) with data, in the order heard
        self.last_id = None
        self.reconnects = 0
        self.stop = threading.Event()
        self.stream = Stream(port, client_id, device, access)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _take(self, stream, seen):
        for event_id, data in stream.events[seen:]:
            if event_id is not None:
                self.last_id = event_id
            if data:
                self.heard.append((event_id, data))
        return len(stream.events)

    def _run(self):
        stream, seen, backoff = self.stream, 0, 0.25
        while not self.stop.is_set():
            if stream.ended.wait(0.05):
                seen = self._take(stream, seen)
                if self.stop.is_set():
                    return
                time.sleep(backoff)
                backoff = min(backoff * 2, 2.0)
                self.reconnects += 1
                stream = Stream(self.cluster.nginx_port, self.client_id, self.device, self.access,
                                self.last_id)
                self.stream, seen = stream, 0
                if stream.opened.wait(DEADLINE) and stream.status == 200:
                    backoff = 0.25
            else:
                seen = self._take(stream, seen)

    def close(self):
        self.stop.set()
        self.stream.close()
        self.thread.join(5)


def test_failover(cluster):
    a, c = cluster.port("A"), cluster.port("C")
    cluster.configure(a, "failover", overall_limit=10, limit_policy="challenge")
    conn = Http(a)
    devices = []
    for i in range(100):
        status, answer = cluster.attach(conn, "failover", "f%03d" % i,
                                        "FFFFFFFF-0000-4000-8000-%012d" % i)
        check(status == 200, "attach: %s %s" % (status, answer))
        devices.append((answer["device_id"], answer["access"]))
    before = open_streams_on(c)
    clients = [Client(cluster, c, "failover", d, acc) for d, acc in devices]
    wait_for("100 streams on C", lambda: open_streams_on(c) >= before + 100)
    raised = {i: [] for i in range(100)}

    def raise_all():
        for i in range(100):
            status, answer = conn.json("POST", "/admin/challenges",
                                       {"client_id": "failover", "user": "f%03d" % i}, cluster.admin)
            check(status == 200, "raise: %s %s" % (status, answer))
            raised[i].append(answer["challenge"])

    raise_all()  # heard on C through the store's notices
    wait_for("the first challenge on every stream", lambda: all(len(x.heard) >= 1 for x in clients))
    cluster.kill("C")
    killed = time.monotonic()
    raise_all()  # while the streams are down or moving
    raise_all()
    try:
        wait_for("every client back with all its messages",
                 lambda: all(len(x.heard) >= 3 for x in clients), timeout=30)
        took = time.monotonic() - killed
    finally:
        for x in clients:
            x.close()
    for i, x in enumerate(clients):
        got = [json.loads(d)["challenge"]["_id"] for _, d in x.heard]
        check(got == raised[i], "client %d heard %s, raised %s" % (i, got, raised[i]))
        ids = [event_id for event_id, _ in x.heard]
        check(ids == sorted(set(ids)), "client %d ids %s" % (i, ids))
        check(x.reconnects >= 1, "client %d never reconnected" % i)
    print("failover: 100 streams moved off a killed instance in %.1f s; each heard its 3 "
          "messages once, in order" % took)


def test_gone(cluster):
    """The grace after a stream's end is the project's, also when its instance dies: its streams
    count as ended at its last beat, which the others read every second."""
    a = cluster.port("A")
    d = cluster.start_server("D")
    cluster.configure(a, "gone", overall_limit=1, liveness_grace=2, limit_policy="block")
    conn = Http(a)
    _, phone = cluster.attach(conn, "gone", "g", "DDDDDDDD-0000-4000-8000-000000000001")
    stream = open_stream(cluster, d, "gone", phone["device_id"], phone["access"])
    time.sleep(2.5)  # past the grace of its attach: only the stream on D keeps it counted
    tablet = "DDDDDDDD-0000-4000-8000-000000000002"

    def admitted():
        status, answer = cluster.attach(conn, "gone", "g", tablet, "tablet")
        return status == 200 and answer.get("success") is True

    check(not admitted(), "a second device got in while the first streamed on D")
    cluster.kill("D")
    killed = time.monotonic()
    while not admitted():
        check(time.monotonic() - killed < 10, "the device of the killed instance kept counting")
        time.sleep(0.05)
    took = time.monotonic() - killed
    stream.close()
    # Gone with D: its last beat was at most a beat before the kill.
    check(took <= 2.0 + 1.0 + 0.3, "the device stopped counting %.2f s after the kill" % took)
    print("gone: the stream's device stopped counting %.2f s after its instance was killed "
          "(grace 2 s, beat 1 s)" % took)


def test_restart(cluster):
    a = cluster.port("A")
    cluster.configure(a, "restart", overall_limit=1000, limit_policy="challenge")
    answered = []  # (user, vendor, device id) of every attach answered with success
    refused = [0]
    stop = threading.Event()

    def load(worker):
        conn = Http(cluster.nginx_port, timeout=5)
        n = 0
        while not stop.is_set():
            vendor = "EEEEEEEE-0000-4000-8000-%06d%06d" % (worker, n)
            # A new user every 50 devices: a user has at most 100 (--max-devices-per-user).
            user = "r%d-%d" % (worker, n // 50)
            n += 1
            try:
                status, answer = cluster.attach(conn, "restart", user, vendor)
            except OSError:
                refused[0] += 1
                time.sleep(0.05)
                continue
            if status == 200 and answer and answer.get("success"):
                answered.append((user, vendor, answer["device_id"]))
            else:
                refused[0] += 1
                time.sleep(0.05)

    workers = [threading.Thread(target=load, args=(w,), daemon=True) for w in range(4)]
    for w in workers:
        w.start()
    try:
        wait_for("some attaches", lambda: len(answered) >= 20)
        cluster.stop_postgres()
        wait_for("every instance not ready",
                 lambda: not any(cluster.ready(cluster.port(n)) for n in "AB"))
        # Nothing hangs: an attach is refused at once, and said so.
        asked = time.monotonic()
        status, answer = cluster.attach(Http(a, timeout=15), "restart", "r-down",
                                        "EEEEEEEE-0000-4000-8000-999999999999")
        check(status == 503, "an attach without the database answered %s %s" % (status, answer))
        check(time.monotonic() - asked < 5, "the refusal took %.1f s" % (time.monotonic() - asked))
        cluster.start_postgres_again()
        wait_for("every instance ready again",
                 lambda: all(cluster.ready(cluster.port(n)) for n in "AB"), timeout=40)
        count = len(answered)
        wait_for("attaches answered again", lambda: len(answered) >= count + 20)
    finally:
        stop.set()
        for w in workers:
            w.join(10)
    lost = []
    for user in sorted({x[0] for x in answered}):
        view = cluster.user_view(a, "restart", user)
        stored = {d["device_id"] for d in view["devices"]}
        lost += [x for x in answered if x[0] == user and x[2] not in stored]
    check(not lost, "%d answered attaches lost, e.g. %s" % (len(lost), lost[:3]))
    print("restart: PostgreSQL went away and came back under load; instances went not ready and "
          "back on their own; %d answered attaches all stored (%d refused meanwhile)"
          % (len(answered), refused[0]))


TESTS = {"race": test_race, "across": test_across, "failover": test_failover,
         "gone": test_gone, "restart": test_restart}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--scripts", default=os.path.join(os.path.dirname(__file__), "..", "..",
                                                          "scripts"))
    parser.add_argument("--only", choices=sorted(TESTS))
    args = parser.parse_args()
    if not os.environ.get("ZELK_TEST_POSTGRES"):
        print("skipped: ZELK_TEST_POSTGRES is not set (scripts/test.sh sets it where Debian's "
              "postgresql is installed); this test also needs nginx")
        return SKIP
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="zelk-instances-") as work:
        os.chmod(work, 0o755)  # the postgres user makes its cluster in here
        cluster = Cluster(args, work)
        try:
            cluster.start_postgres()
            for name in "ABC":
                cluster.start_server(name)
            cluster.start_nginx("ABC")
            names = [args.only] if args.only else ["race", "across", "failover", "gone", "restart"]
            for name in names:
                TESTS[name](cluster)
            cluster.stop()
            # A sanitizer build reports in the servers' logs, as they end.
            for name in cluster.servers:
                with open(os.path.join(work, name + ".log")) as f:
                    log = f.read()
                found = re.search(r"ERROR: (Address|Leak|Thread)Sanitizer|runtime error:", log)
                check(not found, "%s's log reports: %s" % (name, log[found.start():][:3000]
                                                           if found else ""))
        except Failure as failure:
            print("FAILED: %s" % failure)
            for name in cluster.servers:
                print("--- %s log (end) ---\n%s" % (name, cluster.log(name)))
            return 1
        finally:
            cluster.stop()
    print("all passed in %.1f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
