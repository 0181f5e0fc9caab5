# SPDX-License-Identifier: Apache-2.0
"""The Python package over libzelk-c, installed with pip, against zelk-server in sandbox mode
(ZELK_TEST_URL, ZELK_TEST_CLIENT_ID: tests/bindings/road_server.sh sets them up): the road of a
challenge through the screens, and the statuses a host's mistakes get."""

import gc
import json
import os
import socket
import subprocess
import sys
import threading
import unittest
import urllib.request
import uuid
import weakref

import zelk

URL = os.environ["ZELK_TEST_URL"]
CLIENT_ID = os.environ["ZELK_TEST_CLIENT_ID"]


def sandbox_code(challenge_id):
    with urllib.request.urlopen("%s/_sandbox/challenge/%s" % (URL, challenge_id), timeout=10) as r:
        return json.load(r)["code"]


class Base(unittest.TestCase):
    def setUp(self):
        self.loop = zelk.RunLoop()
        self.clients = []
        # Devices stay attached on the server: each test but the road has a user of its own.
        self.user = "user-" + uuid.uuid4().hex

    def tearDown(self):
        for client in self.clients:
            client.flush(5)
            client.close()
        self.loop.run(0.1)
        self.loop.close()

    def client(self, model, user=None, base_url=URL):
        client = zelk.Client(CLIENT_ID, base_url=base_url, run_loop=self.loop, preferences="memory",
                             device=zelk.DeviceFacts(model, "iOS", "17.2",
                                                     str(uuid.uuid4()).upper()))
        client.set_user_id(user or self.user)
        self.clients.append(client)
        return client

    def pump(self, predicate):
        self.assertTrue(self.loop.run_until(predicate, timeout=10))


class Road(Base):
    def test_walks_the_challenge_road(self):
        self.user = "alice"  # the one with an e-mail address
        tablet = self.client("iPad Air")
        replies = []
        tablet.attach({"plan": "pro"}, replies.append)
        self.pump(lambda: replies)
        self.assertEqual(replies[0]["attached_devices"], 1)
        self.assertEqual(replies[0]["device_id"], tablet.device_id)
        tablet_out = []
        tablet.on_logout(lambda: tablet_out.append(True))

        phone = self.client("iPhone")
        container = zelk.Container(phone)
        changes = []
        token = container.subscribe(lambda: changes.append(1))
        self.pump(lambda: container.challenge_visible)
        self.assertTrue(changes)
        challenge = container.challenge
        self.assertEqual(challenge["project"]["name"], "Bindings Road")

        entry = container.screen()
        self.assertEqual(entry.kind, zelk.ScreenKind.ENTRY)
        self.assertEqual(entry.text(zelk.Screen.TITLE), "Start your own Bindings Road account today")

        def actions(elements):
            for element in elements:
                if element["action"]:
                    yield element["action"], element["enabled"], element["text"]
                yield from actions(element["children"])

        self.assertIn(("verifyToContinue", True, "Verify to continue"), list(actions(entry.elements)))
        self.assertTrue(entry.perform("verifyToContinue"))

        options = container.screen()
        self.assertEqual(options.kind, zelk.ScreenKind.VERIFICATION_OPTIONS)
        self.assertIn("alice@example.com", options.plain_text)
        self.assertTrue(options.perform("requestEmailCode"))
        self.pump(lambda: container.screen().kind == zelk.ScreenKind.VERIFICATION_CODE)

        code = container.screen()
        self.assertEqual(code.type_code(sandbox_code(challenge["_id"])), 6)
        code = container.screen()
        self.assertEqual(code.number(zelk.Screen.VALID_CODE), 1)
        self.assertTrue(code.perform("verifyCode"))

        def limiter_loaded():
            screen = container.screen()
            return (screen is not None and screen.kind == zelk.ScreenKind.DEVICE_LIMITER and
                    screen.device_limit is not None and not container.loading_devices and
                    not container.detach_loading)

        self.pump(limiter_loaded)
        limiter = container.screen()
        self.assertEqual(limiter.number(zelk.Screen.OVER_LIMIT), 1)
        self.assertEqual(limiter.device_limit["attached_devices"]["total"], 2)
        ids = [device["_id"] for device in container.attached_devices]
        self.assertIn(tablet.device_id, ids)
        self.assertTrue(limiter.toggle_device(tablet.device_id))
        ticked = container.screen()
        self.assertEqual([d["_id"] for d in ticked.selected_devices], [tablet.device_id])
        self.assertTrue(ticked.perform("logOut"))

        self.pump(lambda: tablet_out and limiter_loaded())
        done = container.screen()
        self.assertEqual(done.number(zelk.Screen.OVER_LIMIT), 0)
        self.assertIn("Verification complete", done.plain_text)
        self.assertTrue(done.perform("logOut"))
        self.pump(lambda: not container.challenge_visible)
        self.assertIsNone(container.screen())
        container.unsubscribe(token)
        container.close()


class Mistakes(Base):
    def assertStatus(self, status, call, *args):
        with self.assertRaises(zelk.ZelkError) as caught:
            call(*args)
        self.assertEqual(caught.exception.status, status)
        return caught.exception

    def test_a_null_handle(self):
        error = self.assertStatus(zelk.Status.NULL_ARGUMENT, lambda: zelk.Screen(None).kind)
        self.assertIn("screen is NULL", error.message)

    def test_text_that_is_not_utf8(self):
        client = self.client("iPhone")
        self.assertStatus(zelk.Status.INVALID_UTF8, client.set_user_id, b"\xc3\x28")
        self.assertStatus(zelk.Status.INVALID_UTF8, client.set_user_id, "\udcff")
        self.assertStatus(zelk.Status.INVALID_ARGUMENT, client.attach, {"seats": 3})

    def test_a_freed_handle_used_again(self):
        client = self.client("iPhone")
        self.clients.remove(client)
        client.close()
        self.assertStatus(zelk.Status.INVALID_HANDLE, client.set_user_id, "bob")
        self.assertStatus(zelk.Status.INVALID_HANDLE, lambda: client.device_id)
        client.close()  # twice is harmless

    def test_a_callback_that_calls_back_in(self):
        self.client("iPad Air").attach()
        phone = self.client("iPhone")
        container = zelk.Container(phone)
        seen = {}

        def changed():
            screen = container.screen()  # reading is allowed inside
            if screen is None or "back" in seen:
                return
            try:
                container.back()
            except zelk.ZelkError as error:
                seen["back"] = error.status
            try:
                self.loop.run(0)
            except zelk.ZelkError as error:
                seen["run"] = error.status

        container.subscribe(changed)
        self.pump(lambda: "back" in seen)
        self.assertEqual(seen["back"], zelk.Status.REENTRANT)
        self.assertEqual(seen["run"], zelk.Status.REENTRANT)
        container.close()

    def test_a_client_freed_with_a_request_in_flight(self):
        # A loopback server that accepts and never answers.
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(8)
        try:
            client = self.client("iPhone", base_url="http://127.0.0.1:%d" % server.getsockname()[1])
            self.clients.remove(client)
            calls = []

            def on_reply(reply):
                calls.append(reply)

            alive = weakref.ref(on_reply)
            client.attach(None, on_reply)
            del on_reply
            self.assertFalse(client.flush(0.2))
            client.close()
            self.loop.run(0.2)
            gc.collect()
            self.assertIsNone(alive())  # the library let go of the callback
            self.assertEqual(calls, [])
        finally:
            server.close()

    def test_main_thread_calls_from_another_thread(self):
        client = self.client("iPhone")
        seen = {}

        def elsewhere():
            try:
                zelk.Container(client)
            except zelk.ZelkError as error:
                seen["status"] = error.status

        thread = threading.Thread(target=elsewhere)
        thread.start()
        thread.join()
        self.assertEqual(seen["status"], zelk.Status.WRONG_THREAD)


class Exit(unittest.TestCase):
    def test_the_interpreter_ends_with_a_log_sink_installed(self):
        # The library's threads log, reply and release callbacks while the process ends; any of
        # them calling into an ending interpreter is stopped there, mid-way through C++ code,
        # which aborted one run in a few before the package closed its handles at exit.
        script = """
import zelk
zelk.set_log_sink(lambda level, category, message: None)
zelk.set_localizer(lambda key: None)
loop = zelk.RunLoop()
client = zelk.Client(%r, base_url=%r, run_loop=loop, preferences="memory")
client.set_user_id("exit-user")
client.attach(None, lambda reply: loop.stop())
loop.run(5)
""" % (CLIENT_ID, URL)
        for _ in range(8):
            done = subprocess.run([sys.executable, "-c", script], timeout=60,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace")[-2000:])


class Texts(unittest.TestCase):
    def test_the_localiser(self):
        zelk.set_localizer(lambda key: "Vérifier" if key == "Verify to continue" else None)
        try:
            self.assertEqual(zelk.localized("Verify to continue"), "Vérifier")
            self.assertEqual(zelk.localized("Verify code"), "Verify code")
        finally:
            zelk.set_localizer(None)
        self.assertEqual(zelk.abi_version(), zelk.ABI_VERSION)


if __name__ == "__main__":
    unittest.main()
