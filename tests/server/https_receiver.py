#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""An HTTPS receiver on 127.0.0.1 for the delivery tests: answers every POST with 202 and writes
it to DIR/<n>.json as {"path", "headers", "body"}. Prints "port <N>" once it listens; ends with
SIGTERM or when its parent is gone."""
import http.server
import json
import os
import signal
import ssl
import sys
import threading

folder, cert, key = sys.argv[1], sys.argv[2], sys.argv[3]
os.makedirs(folder, exist_ok=True)
count = [0]
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with lock:
            count[0] += 1
            name = os.path.join(folder, "%d.json" % count[0])
            with open(name + ".tmp", "w") as out:
                json.dump({"path": self.path, "headers": dict(self.headers.items()),
                           "body": body.decode("utf-8", "replace")}, out)
            os.replace(name + ".tmp", name)
        self.send_response(202)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
print("port %d" % server.server_address[1], flush=True)
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
while not stop.wait(0.2):
    if os.getppid() == 1:
        break
server.shutdown()
