#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A local SMTP server for the delivery tests and for trying code e-mails by hand.

Listens on 127.0.0.1, writes each message it takes to DIR as <n>.eml (the envelope's
recipients in an X-Envelope-To header line first), and prints "port <N>" once it is ready.
--refuse answers every message with a temporary refusal (451) and counts them in DIR/refused;
--tls CERT KEY offers STARTTLS with that certificate, and --require-starttls insists on it.
Runs until SIGTERM or SIGINT, or until its parent ends; with --detached (scripts/smtp.sh
start), only until a signal.
"""
import argparse
import asyncio
import os
import signal
import socket
import ssl
import sys
import threading

from aiosmtpd.controller import Controller


class Sink:
    def __init__(self, folder, refuse):
        self.folder = folder
        self.refuse = refuse
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            if self.refuse:
                refused = os.path.join(self.folder, "refused")
                count = int(open(refused).read()) if os.path.exists(refused) else 0
                with open(refused + ".tmp", "w") as out:
                    out.write(str(count + 1))
                os.replace(refused + ".tmp", refused)
                return "451 4.3.0 Try again later"
            self.count += 1
            name = os.path.join(self.folder, "%d.eml" % self.count)
            with open(name + ".tmp", "wb") as out:
                out.write(("X-Envelope-To: %s\r\n" % ", ".join(envelope.rcpt_tos)).encode())
                out.write(envelope.original_content or envelope.content)
            os.replace(name + ".tmp", name)
        return "250 OK"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--refuse", action="store_true")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--detached", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)

    context = None
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.tls[0], args.tls[1])
    port = args.port or free_port()
    controller = Controller(Sink(args.folder, args.refuse), hostname="127.0.0.1", port=port,
                            tls_context=context, require_starttls=args.require_starttls,
                            decode_data=False)
    controller.start()
    print("port %d" % port, flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    # Ends with its parent too, unless detached: a test that dies leaves no server behind.
    parent = os.getppid()
    while not stop.wait(0.2):
        if not args.detached and os.getppid() != parent:
            break
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
