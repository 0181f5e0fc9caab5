# SPDX-License-Identifier: Apache-2.0
"""An attach through the Python package (ctypes) against the service at ZELK_BENCH_URL, from the
call until the main thread's loop knows of the reply, in rounds with p50 and p99; and a call
without I/O (the device ID) in nanoseconds. bench/bindings_compare.sh runs it.
    python3 attach_bench.py [ROUNDS CALLS]"""

import os
import sys
import threading
import time

import zelk


def percentile(values, fraction):
    values = sorted(values)
    return values[int(fraction * (len(values) - 1))]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    calls = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    zelk.set_log_sink(lambda level, category, message: None)
    loop = zelk.RunLoop()
    client = zelk.Client("bench-bindings", base_url=os.environ["ZELK_BENCH_URL"], run_loop=loop,
                         preferences="memory",
                         device=zelk.DeviceFacts("iPhone", "iOS", "17.2",
                                                 "0A1B2C3D-4E5F-4061-8272-839495A6B7C8"))
    client.set_user_id("bench-user")
    p50, p99 = [], []
    for round_ in range(-1, rounds):  # round -1 makes the connections
        times = []
        for _ in range(calls):
            done = threading.Event()

            def replied(reply):
                done.set()
                loop.stop()

            start = time.perf_counter()
            client.attach(None, replied)
            if not loop.run_until(done.is_set, timeout=5):
                continue
            times.append((time.perf_counter() - start) * 1e6)
            loop.run(0.002)
        if round_ < 0:
            continue
        p50.append(percentile(times, 0.5))
        p99.append(percentile(times, 0.99))
        print("round %d: attach ctypes p50 %.0f us p99 %.0f us" % (round_ + 1, p50[-1], p99[-1]))
    print("attach, median of %d rounds of %d: ctypes p50 %.0f us, p99 %.0f us"
          % (rounds, calls, percentile(p50, 0.5), percentile(p99, 0.5)))
    runs = []
    for _ in range(5):
        count = 50000
        start = time.perf_counter()
        for _ in range(count):
            client.device_id
        runs.append((time.perf_counter() - start) * 1e9 / count)
    print("device ID, a call without I/O: ctypes %.0f ns per call" % percentile(runs, 0.5))
    client.flush(5)
    client.close()
    loop.run(0.05)


if __name__ == "__main__":
    main()
