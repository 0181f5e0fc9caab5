#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Push latency across instances: two zelk-server instances A and B on one PostgreSQL database.

    instances_push.py --server PATH/zelk-server --database postgres://... [--rounds 500]

A device's stream is held by B; an operator raises a challenge for its user through A. Measured
from writing the request to A to reading the challenge on B's stream (the commit on A, NOTIFY,
B reading the message and writing it), p50 and p99 over the rounds, next to the same with the
stream on A itself; and B's own zelk_notify_lag_seconds (from the message's send to the stream
write), as its histogram's buckets. Goal: p99 under 20 ms on loopback.
"""

import argparse
import os
import re
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "server"))
import instances_test as it  # noqa: E402


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def measure(cluster, raise_port, stream_port, user, rounds):
    conn = it.Http(raise_port)
    _, device = cluster.attach(conn, "push", user, "BBBBBBBB-0000-4000-8000-%012d" % len(user))
    stream = it.open_stream(cluster, stream_port, "push", device["device_id"], device["access"])
    before = it.open_streams_on(stream_port)
    it.wait_for("the stream", lambda: it.open_streams_on(stream_port) >= max(before, 1))
    samples = []
    for n in range(rounds + 20):
        seen = len(stream.events)
        stream.heard.clear()
        started = time.perf_counter()
        status, _ = conn.json("POST", "/admin/challenges", {"client_id": "push", "user": user},
                              cluster.admin)
        it.check(status == 200, "raise: %s" % status)
        while len([d for _, d in stream.events[seen:] if d]) == 0:
            it.check(stream.heard.wait(5), "no push within 5 s")
            stream.heard.clear()
        if n >= 20:  # the first ones warm the connections up
            samples.append((time.perf_counter() - started) * 1000)
    stream.close()
    return samples


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--database", required=True)
    parser.add_argument("--scripts", default=os.path.join(os.path.dirname(__file__), "..",
                                                          "scripts"))
    parser.add_argument("--rounds", type=int, default=500)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="zelk-push-") as work:
        cluster = it.Cluster(args, work)
        cluster.url = args.database
        try:
            cluster.start_server("A")
            cluster.start_server("B")
            a, b = cluster.port("A"), cluster.port("B")
            cluster.configure(a, "push", overall_limit=1000, limit_policy="challenge")
            same = measure(cluster, a, a, "same", args.rounds)
            across = measure(cluster, a, b, "across", args.rounds)
            _, metrics = it.Http(b).request("GET", "/metrics")
        finally:
            cluster.stop()
    print("push latency, %d rounds, ms     p50     p99     max" % args.rounds)
    for label, samples in (("stream on A (same instance)", same),
                           ("stream on B (across)", across)):
        print("%-30s %7.2f %7.2f %7.2f" % (label, statistics.median(samples),
                                           percentile(samples, 99), max(samples)))
    print("B's zelk_notify_lag_seconds buckets:")
    for line in metrics.decode().splitlines():
        if re.match(r"zelk_notify_lag_seconds_(bucket|count|sum)", line):
            print("  " + line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
