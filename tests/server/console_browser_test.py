#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The operators' console in a real browser (headless Chromium through Selenium), against a
zelk-server keeping its records in a SQLite file on loopback: signing in, finding a user, signing
out all their devices while their streams listen, an override that lets a second device in,
export, erase (the contacts gone from the file), a viewer with no buttons who is refused a post
anyway, and a form posted without its token. With --screenshots DIR, every page is saved there
at desktop width (and the overview and a user at phone width too).

Skipped (77) when chromium, chromedriver or python3-selenium is missing."""

import argparse
import http.client
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

SKIP = 77
DEADLINE = 20.0

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise Failure("timed out waiting for " + what)


def call(port, method, path, body=None, headers=None, form=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    all_headers = dict(headers or {})
    data = None
    if body is not None:
        data = json.dumps(body).encode()
        all_headers["Content-Type"] = "application/json"
    if form is not None:
        data = urllib.parse.urlencode(form).encode()
        all_headers["Content-Type"] = "application/x-www-form-urlencoded"
    conn.request(method, path, body=data, headers=all_headers)
    res = conn.getresponse()
    payload = res.read()
    conn.close()
    return res.status, payload


class Stream:
    """A device's listen stream, read on a thread: the events' data."""

    def __init__(self, port, client_id, device, access):
        self.events = []
        query = urllib.parse.urlencode({"access": access, "auth": "Basic %s:" % client_id})
        self.path = "/v2/access/device/%s/listen?%s" % (device, query)
        self.port = port
        self.opened = threading.Event()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        try:
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
            conn.request("GET", self.path, headers={"Accept": "text/event-stream"})
            res = conn.getresponse()
            self.opened.set()
            while True:
                line = res.readline()
                if not line:
                    return
                if line.startswith(b"data:"):
                    self.events.append(line[5:].strip().decode())
        except (OSError, http.client.HTTPException):
            return


def attach_body(user, vendor):
    return {"user": user, "library": "swift", "version": "3.0.2",
            "device_info": {"os": {"name": "iOS", "version": "17.4"},
                            "device": {"vendor": "Apple", "model": "iPhone15,2",
                                       "type": "mobile"}},
            "signals": {"iosVendorIdentifier": vendor}, "metadata": []}


class Console:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.db = os.path.join(work, "zelk.db")
        self.port = free_port()
        self.base = "http://127.0.0.1:%d" % self.port
        self.token_file = os.path.join(work, "admin-token")
        self.log = open(os.path.join(work, "server.log"), "w")
        self.server = subprocess.Popen(
            [args.server, "--data", self.db, "--listen", "127.0.0.1:%d" % self.port,
             "--admin-token-file", self.token_file, "--code-key-file",
             os.path.join(work, "code-key"), "--rate-limit-client", "0",
             "--rate-limit-address", "0"],
            stdout=self.log, stderr=subprocess.STDOUT)
        wait_for("the server", lambda: self.ready() or self.server.poll() is not None)
        check(self.server.poll() is None, "zelk-server did not start")
        with open(self.token_file) as f:
            self.admin = {"Authorization": "Bearer " + f.read().strip()}
        self.browser = None
        self.shots = args.screenshots

    def ready(self):
        try:
            return call(self.port, "GET", "/readyz")[0] == 200
        except OSError:
            return False

    def api(self, method, path, body=None):
        status, payload = call(self.port, method, path, body, self.admin)
        return status, (json.loads(payload) if payload else None)

    def add_operator(self, name, role, password):
        """The CLI's own command, then the set-up link it printed, in the browser."""
        out = subprocess.run(
            [self.args.server, "admin", "--url", self.base, "--token-file", self.token_file,
             "operator", "add", name, "--role", role],
            capture_output=True, text=True, timeout=30)
        check(out.returncode == 0, "operator add failed: " + out.stderr)
        link = [line for line in out.stdout.splitlines() if "/console/setup?" in line]
        check(link, "no set-up link in: " + out.stdout)
        self.open(link[0].strip())
        self.type("password", password)
        self.type("again", password)
        self.submit()
        check("Your password is set" in self.page(), "password not set: " + self.page())

    def start_browser(self):
        options = webdriver.ChromeOptions()
        options.binary_location = self.args.chromium
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900", "--no-first-run", "--disable-extensions",
                     "--user-data-dir=" + os.path.join(self.work, "profile")):
            options.add_argument(flag)
        self.browser = webdriver.Chrome(service=Service(self.args.chromedriver), options=options)
        self.browser.set_page_load_timeout(30)

    def open(self, url):
        self.browser.get(url if url.startswith("http") else self.base + url)

    def page(self):
        return self.browser.page_source

    def type(self, name, text, form=None):
        scope = form or self.browser
        field = scope.find_element(By.NAME, name)
        field.clear()
        field.send_keys(text)

    def submit(self, label=None, form=None):
        """Clicks the button and waits for the page the form leads to."""
        scope = form or self.browser
        self.mark()
        if label is None:
            scope.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        else:
            scope.find_element(By.XPATH, ".//button[normalize-space()='%s']" % label).click()
        self.wait_for_next_page()

    def mark(self):
        """Marks the page shown now, for wait_for_next_page()."""
        self.browser.execute_script("window.zelkOldPage = true;")

    def wait_for_next_page(self):
        def arrived(browser):
            try:
                return browser.execute_script(
                    "return !window.zelkOldPage && document.readyState === 'complete';")
            except WebDriverException:  # between the two pages
                return False
        WebDriverWait(self.browser, DEADLINE).until(arrived)

    def form_of(self, action):
        return self.browser.find_element(
            By.XPATH, "//form[input[@name='action' and @value='%s']]" % action)

    def shoot(self, name, phone=False):
        """The page at desktop width, and with `phone` at 390 px too."""
        if not self.shots:
            return
        os.makedirs(self.shots, exist_ok=True)
        for width, suffix in ((1280, ""), (390, "-phone"))[:2 if phone else 1]:
            self.browser.set_window_size(width, 900)
            height = self.browser.execute_script("return document.body.scrollHeight")
            self.browser.set_window_size(width, min(max(height + 40, 600), 4000))
            self.browser.save_screenshot(os.path.join(self.shots, name + suffix + ".png"))
        self.browser.set_window_size(1280, 900)

    def sign_in(self, name, password):
        self.open("/console/login")
        self.type("name", name)
        self.type("password", password)
        self.submit()

    def sign_out(self):
        self.submit("Sign out")

    def close(self):
        if self.browser:
            self.browser.quit()
        self.server.terminate()
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
        self.log.close()


def open_challenges(c, user):
    status, record = c.api("GET", "/admin/user?client_id=shop&user=" + user)
    check(status == 200, "no user %s" % user)
    return [ch for ch in record["challenges"] if ch["open"]]


def run(c):
    # A project whose users have one device at a time, a user with contacts and a device
    # listening, and a few more users for the lists.
    status, _ = c.api("POST", "/admin/projects",
                      {"client_id": "shop", "name": "The Shop", "overall_limit": 1})
    check(status == 200, "project not made")
    basic = {"Authorization": "Basic shop:"}
    devices = []
    for user in ("anna", "anne", "bert"):
        status, payload = call(c.port, "POST", "/v2/access", attach_body(user, user + "-phone"),
                               basic)
        check(status == 200, "attach failed: %s" % payload)
        devices.append(json.loads(payload))
    c.api("POST", "/admin/users", {"client_id": "shop", "user": "anna",
                                   "email": "anna@example.com", "phone": "+1 555 0100"})
    stream = Stream(c.port, "shop", devices[0]["device_id"], devices[0]["access"])
    check(stream.opened.wait(DEADLINE), "stream did not open")
    # A second device of anna's is over the limit: challenged.
    call(c.port, "POST", "/v2/access", attach_body("anna", "anna-tablet"), basic)
    check(open_challenges(c, "anna"), "a second device raised no challenge under a limit of one")

    c.start_browser()
    c.add_operator("ada", "owner", "correct horse battery")
    c.add_operator("vic", "viewer", "viewer password 1")

    # Signing in, the overview.
    c.sign_in("ada", "wrong password 1")
    check("Wrong name or password." in c.page(), "a wrong password was not refused")
    c.shoot("sign-in")
    c.sign_in("ada", "correct horse battery")
    check("devices attached" in c.page(), "no overview after signing in: " + c.page()[:500])
    c.shoot("overview", phone=True)
    c.open("/console/projects")
    c.shoot("projects")
    c.open("/console/project?client_id=shop")
    c.submit("Make a key")
    check("zk_" in c.page(), "no key shown")
    c.shoot("new-key")
    c.open("/console/project?client_id=shop")
    c.shoot("project")

    # Searching a user by e-mail, in any case.
    c.open("/console/users")
    c.type("q", "ANNA@example.com")
    c.submit("Search")
    check("anna@example.com" in c.page() and ">bert<" not in c.page(), "search by e-mail failed")
    c.shoot("users")
    c.mark()
    c.browser.find_element(By.LINK_TEXT, "anna").click()
    c.wait_for_next_page()
    check(devices[0]["device_id"] in c.page(), "the user's device is not listed")
    c.shoot("user", phone=True)

    # Signing out every device: the stream hears the logout.
    c.submit("Sign out every device", c.form_of("logout-all"))
    check("Signed out every device." in c.page(), "no note after signing out: " + c.page()[:800])
    wait_for("the logout on the stream", lambda: any("logout" in e for e in stream.events))
    status, user = c.api("GET", "/admin/user?client_id=shop&user=anna")
    check(user["devices"] == [], "devices left after signing out all: %s" % user)

    # An override of two: two devices attach without a challenge.
    form = c.form_of("override")
    c.type("overall_limit", "2", form)
    c.submit("Set override", form)
    check("The override is set." in c.page(), "override not set")
    for vendor in ("anna-phone", "anna-tablet"):
        status, payload = call(c.port, "POST", "/v2/access", attach_body("anna", vendor), basic)
        check(status == 200 and json.loads(payload).get("device_id"),
              "device %s not let in under the override: %s" % (vendor, payload))
    check(not open_challenges(c, "anna"), "two devices raised a challenge under an override of 2")
    status, user = c.api("GET", "/admin/user?client_id=shop&user=anna")
    check(len(user["devices"]) == 2, "not two devices under the override: %s" % user)

    # Export: the records as a JSON file (fetched with the session's cookie, as the link is).
    cookie = c.browser.get_cookie("zelk_console")
    check(cookie and cookie.get("httpOnly") and cookie.get("sameSite") == "Strict",
          "the session cookie is not HttpOnly and SameSite=Strict: %s" % cookie)
    status, payload = call(c.port, "GET", "/console/export?client_id=shop&user=anna",
                           headers={"Cookie": "zelk_console=" + cookie["value"]})
    check(status == 200 and json.loads(payload)["email"] == "anna@example.com",
          "export failed: %s %s" % (status, payload[:200]))

    # A form posted without its token is refused.
    status, _ = call(c.port, "POST", "/console/act",
                     headers={"Cookie": "zelk_console=" + cookie["value"]},
                     form={"action": "erase", "client_id": "shop", "user": "anna",
                           "confirm": "anna"})
    check(status == 403, "a post without its CSRF token was answered %d" % status)

    # Erase: gone from the database file.
    c.open("/console/user?client_id=shop&user=anna")
    form = c.form_of("erase")
    c.type("confirm", "anna", form)
    c.submit("Erase user", form)
    check("The user is erased." in c.page(), "erase failed: " + c.page()[:800])
    with sqlite3.connect("file:%s?mode=ro" % c.db, uri=True) as db:
        left = db.execute("SELECT count(*) FROM users WHERE email LIKE '%anna@example.com%'"
                          " OR phone = '+1 555 0100'").fetchone()[0]
    check(left == 0, "the erased user's contacts are still in the database file")

    for path, name in (("/console/suspects", "suspects"), ("/console/outbox", "outbox"),
                       ("/console/audit?client_id=shop", "audit")):
        c.open(path)
        check("<h1>" in c.page(), path + " did not render")
        c.shoot(name)
    check("operator ada" in c.page(), "the audit log does not name the operator")
    c.sign_out()

    # A viewer: no action on any page, and a post refused anyway.
    c.sign_in("vic", "viewer password 1")
    for path in ("/console/user?client_id=shop&user=bert", "/console/project?client_id=shop",
                 "/console/projects"):
        c.open(path)
        check(not c.browser.find_elements(By.CSS_SELECTOR, "form.action"),
              "a viewer sees an action on " + path)
    c.shoot("viewer-user")
    csrf = c.browser.find_element(By.NAME, "csrf").get_attribute("value")
    cookie = c.browser.get_cookie("zelk_console")["value"]
    status, _ = call(c.port, "POST", "/console/act", headers={"Cookie": "zelk_console=" + cookie},
                     form={"csrf": csrf, "action": "logout-all", "client_id": "shop",
                           "user": "bert"})
    check(status == 403, "a viewer's post was answered %d" % status)
    status, user = c.api("GET", "/admin/user?client_id=shop&user=bert")
    check(len(user["devices"]) == 1, "a viewer's post signed bert out")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium") or "/usr/bin/chromium")
    parser.add_argument("--chromedriver",
                        default=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    parser.add_argument("--screenshots", help="save a picture of every page here")
    args = parser.parse_args()
    missing = [what for what, there in (("python3-selenium", webdriver is not None),
                                        ("chromium", os.path.exists(args.chromium)),
                                        ("chromium-driver", os.path.exists(args.chromedriver)))
               if not there]
    if missing:
        print("skipped: " + ", ".join(missing) + " not installed")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="zelk-console-") as work:
        c = Console(args, work)
        try:
            run(c)
        except Failure as failure:
            print("FAILED: %s" % failure)
            with open(os.path.join(work, "server.log")) as f:
                print(f.read()[-3000:])
            return 1
        finally:
            c.close()
    print("console browser test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
