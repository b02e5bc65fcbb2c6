#!/usr/bin/python3
"""The operators' console in a real Chromium (headless, through chromedriver
and Selenium), beside a real vexaim-server with real IM clients logged in
over TCP: sign-in refused then accepted, every page with live data, an
account created through the form and then used to log in, a user
disconnected by the button and seen to go, forged posts refused; then a
sign-in and a post through a real nginx as the TLS reverse proxy at the
console's public URL. A screenshot of each page (1280x800) is kept in the
output folder.

Usage: console_browser_test.py SERVER OUT_DIR CHROMIUM CHROMEDRIVER NGINX MAKE_CERTS
"""
import ctypes
import http.server
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

SERVER, OUT, CHROMIUM, CHROMEDRIVER, NGINX, MAKE_CERTS = sys.argv[1:7]
PASSWORD = "browser-admin-pass"
# The console's public name, which the browser resolves to loopback.
PUBLIC_NAME = "console.test"
SEP = b"!|!"


def die_with_parent():
    # The server must not outlive this test, however it ends.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class ImClient:
    """A client of the IM protocol over TCP, reading what it is sent on a thread of its own."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.packets = []
        self.cond = threading.Condition()
        self.closed = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                buf += chunk
                while len(buf) >= 4 and len(buf) >= int(buf[:4]) + 5:
                    n = int(buf[:4])
                    with self.cond:
                        self.packets.append((int(buf[4:8]), buf[8:4 + n]))
                        self.cond.notify_all()
                    buf = buf[n + 5:]
        except OSError:
            pass
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def send(self, body):
        self.sock.sendall(b"%04d" % len(body) + body)

    def wait(self, test, timeout=5):
        with self.cond:
            return self.cond.wait_for(lambda: test(self), timeout)

    def login(self, user, password):
        start = len(self.packets)
        self.send(b"0001" + user.encode() + SEP + password.encode())
        self.wait(lambda c: any(code == 2 for code, _ in c.packets[start:]) or c.closed)
        answers = [p for code, p in self.packets[start:] if code == 2]
        return answers[0] if answers else None

    def chat(self, sender, recipient, text):
        self.send(b"0003" + recipient + SEP + b"SYSTEMDATE" + SEP + sender + SEP + b"1" + SEP + text)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Run:
    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="vexaim-browser-")
        self.server = None
        self.driver = None
        self.clients = []
        self.log = ""
        self.stop_traffic = threading.Event()
        self.forger = None
        self.proxy = None
        self.proxy_port = free_port()

    # --- the pieces ---------------------------------------------------------

    def start_server(self):
        db = os.path.join(self.work, "vexaim.db")
        subprocess.run([SERVER, "--database", db, "--seed-demo", "--admin-only", "--set-admin-password", "-"],
                       input=(PASSWORD + "\n").encode(), check=True, capture_output=True, timeout=30)
        token = os.path.join(self.work, "token")
        with open(token, "w") as f:
            f.write("browser-test-scrape-token\n")
        self.server = subprocess.Popen([SERVER, "--database", db, "--port", "0", "--admin", "0",
                                        "--metrics-token-file", token,
                                        "--admin-url", "https://%s:%d/" % (PUBLIC_NAME, self.proxy_port)],
                                       stderr=subprocess.PIPE, preexec_fn=die_with_parent)
        threading.Thread(target=self._read_log, daemon=True).start()
        deadline = time.time() + 10
        while time.time() < deadline:
            im = re.search(r"listening on 127\.0\.0\.1:(\d+)", self.log)
            console = re.search(r"console on http://127\.0\.0\.1:(\d+)/", self.log)
            if im and console:
                self.im, self.base = int(im.group(1)), "http://127.0.0.1:" + console.group(1)
                return
            time.sleep(0.05)
        raise AssertionError("the server did not start:\n" + self.log)

    def start_proxy(self):
        """nginx as the README has it: TLS at the public URL, the console behind it on loopback."""
        conf = os.path.join(self.work, "nginx")
        certs = os.path.join(self.work, "certs")
        os.makedirs(conf)
        subprocess.run(["bash", MAKE_CERTS, certs], check=True, capture_output=True, timeout=60)
        with open(os.path.join(conf, "nginx.conf"), "w") as f:
            f.write("""daemon off;
master_process off;
pid %(conf)s/nginx.pid;
error_log stderr warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %(conf)s/body;
    proxy_temp_path %(conf)s/proxy;
    fastcgi_temp_path %(conf)s/fastcgi;
    uwsgi_temp_path %(conf)s/uwsgi;
    scgi_temp_path %(conf)s/scgi;
    server {
        listen 127.0.0.1:%(port)d ssl;
        server_name %(name)s;
        ssl_certificate %(certs)s/server.pem;
        ssl_certificate_key %(certs)s/server.key;
        location / {
            proxy_pass http://127.0.0.1:%(console)s;
            proxy_set_header Host $host;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
            proxy_set_header X-Forwarded-Proto https;
        }
    }
}
""" % {"conf": conf, "certs": certs, "port": self.proxy_port, "name": PUBLIC_NAME,
       "console": self.base.rsplit(":", 1)[1]})
        self.proxy = subprocess.Popen([NGINX, "-p", conf, "-c", os.path.join(conf, "nginx.conf"), "-e", "stderr"],
                                      stderr=subprocess.PIPE, preexec_fn=die_with_parent)
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.proxy.poll() is not None:
                raise AssertionError("nginx ended: " + self.proxy.stderr.read().decode("utf-8", "replace"))
            try:
                socket.create_connection(("127.0.0.1", self.proxy_port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise AssertionError("nginx did not start")

    def _read_log(self):
        for line in self.server.stderr:
            self.log += line.decode("utf-8", "replace")

    def client(self, user, password):
        c = ImClient(self.im)
        self.clients.append(c)
        answer = c.login(user, password)
        assert answer == b"0", "login of %s: %r" % (user, answer)
        return c

    def start_browser(self):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for a in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-extensions",
                  # The public name leads to the proxy on loopback, whose certificate is the tests' own.
                  "--host-resolver-rules=MAP %s 127.0.0.1" % PUBLIC_NAME, "--ignore-certificate-errors",
                  "--user-data-dir=" + os.path.join(self.work, "chromium"), "--window-size=1280,800",
                  "--lang=en-US"]:
            options.add_argument(a)
        self.driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER,
                                                       log_path=os.path.join(self.work, "chromedriver.log")),
                                       options=options)
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
        self.driver.set_page_load_timeout(20)

    def traffic(self, alice):
        # A steady trickle of chats, so the chart has something to show.
        n = 0
        while not self.stop_traffic.wait(0.125):
            alice.chat(b"10001", b"10002", b"hello %d" % n)
            n += 1

    def stop(self):
        self.stop_traffic.set()
        if self.driver:
            try:
                self.driver.quit()
            except Exception:
                pass
        if self.forger:
            self.forger.shutdown()
        if self.proxy and self.proxy.poll() is None:
            self.proxy.terminate()
            try:
                self.proxy.wait(10)
            except subprocess.TimeoutExpired:
                self.proxy.kill()
                self.proxy.wait()
        for c in self.clients:
            c.close()
        if self.server and self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    # --- helpers ---------------------------------------------------------------

    def go(self, path):
        self.driver.get(self.base + path)

    def text(self):
        return self.driver.find_element(By.TAG_NAME, "body").text

    def until(self, what, test, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                if test():
                    return
            except Exception:
                pass
            time.sleep(0.1)
        raise AssertionError("timed out waiting for " + what)

    def submit(self, button):
        """Clicks a button that sends its form, and waits until the page that answers has loaded.

        The old page is marked and the new one recognised by the mark's absence:
        asking Chrome about an element of a page being replaced can fail with an
        error other than "stale", so no element of the old page is asked about."""
        self.driver.execute_script("window.vexaOldPage = true;")
        button.click()
        self.until("the answering page", lambda: self.driver.execute_script(
            "return !window.vexaOldPage && document.readyState === 'complete';"))

    def shot(self, name):
        os.makedirs(OUT, exist_ok=True)
        self.driver.save_screenshot(os.path.join(OUT, name + ".png"))

    def cookie(self):
        return "vexa_session=" + self.driver.get_cookie("vexa_session")["value"]

    def post_outside(self, path, form, headers=None):
        """A post made with the session's cookie but not from the console's own page."""
        req = urllib.request.Request(self.base + path, data=form.encode(), method="POST",
                                     headers={"Cookie": self.cookie(), **(headers or {})})
        try:
            with urllib.request.urlopen(req, timeout=5) as r:
                return r.status
        except urllib.error.HTTPError as e:
            return e.code

    def fetch_in_page(self, path, body):
        return self.driver.execute_async_script(
            "var done = arguments[arguments.length - 1];"
            "fetch(arguments[0], {method: 'POST', credentials: 'same-origin', body: new URLSearchParams(arguments[1])})"
            ".then(function (r) { done(r.status); }, function () { done(-1); });", path, body)

    def api_text(self, path):
        self.go(path)
        return self.driver.find_element(By.TAG_NAME, "body").text


def steps(run):
    d = run.driver

    def sign_in_refused():
        run.go("/online")
        assert d.current_url.endswith("/login"), d.current_url
        d.find_element(By.ID, "password").send_keys("not the password")
        run.submit(d.find_element(By.ID, "sign-in"))
        assert "Wrong password" in run.text()
        assert d.current_url.endswith("/login")
        assert d.get_cookie("vexa_session") is None
        run.shot("01-sign-in-refused")

    def sign_in_and_overview():
        d.find_element(By.ID, "password").send_keys(PASSWORD)
        run.submit(d.find_element(By.ID, "sign-in"))
        run.until("the overview", lambda: d.current_url == run.base + "/")
        cookie = d.get_cookie("vexa_session")
        assert cookie["httpOnly"] and cookie["sameSite"] == "Strict", cookie
        run.until("two users online", lambda: d.find_element(By.ID, "card-online").text == "2")
        run.until("messages per second", lambda: float(d.find_element(By.ID, "card-messages").text) > 2)
        run.until("the chart's line", lambda: d.execute_script(
            "var c = Chart.getChart('rate-chart'); var p = c.data.datasets[0].data;"
            "return p.length >= 3 && p[p.length - 1].y > 0;"), timeout=15)
        assert d.find_element(By.ID, "card-mailbox").text == "5", d.find_element(By.ID, "card-mailbox").text
        rows = d.find_elements(By.CSS_SELECTOR, "#node-rows tr")
        assert len(rows) == 1 and rows[0].find_elements(By.TAG_NAME, "td")[1].text == "2"
        run.shot("02-overview")

    def users_online():
        run.go("/online")
        table = d.find_element(By.ID, "online").text
        for expected in ["10001", "爱丽丝", "10002", "鲍勃", "127.0.0.1:"]:
            assert expected in table, expected + " in " + table
        assert "10003" not in table
        run.shot("03-online")

    def accounts_search_and_create():
        run.go("/accounts")
        d.find_element(By.ID, "q").send_keys("爱丽")
        run.submit(d.find_element(By.CSS_SELECTOR, "form.search button"))
        rows = d.find_elements(By.CSS_SELECTOR, "#accounts tbody tr")
        assert len(rows) == 1 and "爱丽丝" in rows[0].text, [r.text for r in rows]
        d.find_element(By.ID, "name").send_keys("dave")
        d.find_element(By.ID, "nickname").send_keys("测试员")
        d.find_element(By.ID, "password").send_keys("dave1234")
        run.submit(d.find_element(By.ID, "create-account"))
        assert "Account dave created." in d.find_element(By.CSS_SELECTOR, ".flash").text
        assert "测试员" in d.find_element(By.ID, "accounts").text
        run.shot("04-accounts")
        run.dave = run.client("dave", "dave1234")

    def one_account():
        run.go("/account?id=10001")
        assert "爱丽丝" in d.find_element(By.ID, "nickname").text
        friends = d.find_element(By.ID, "friends").text
        assert "鲍勃" in friends and "卡罗尔" in friends, friends
        assert "你好，我是爱丽丝" in run.text()
        run.shot("05-account")

    def disable_and_enable():
        run.go("/account?id=10004")
        run.submit(d.find_element(By.XPATH, "//button[text()='Disable']"))
        # Read once the answering page has loaded: a lookup while it replaces
        # the old one can meet a node of neither.
        run.until("the account shown disabled", lambda: "disabled" in d.find_element(By.ID, "state").text)
        assert run.dave.wait(lambda c: c.closed), "dave was disconnected"
        c = ImClient(run.im)
        run.clients.append(c)
        answer = c.login("dave", "dave1234")
        assert answer == b"7" + "账号已被停用".encode("gbk"), answer
        run.submit(d.find_element(By.XPATH, "//button[text()='Enable']"))
        run.until("the account shown active", lambda: "active" in d.find_element(By.ID, "state").text)
        run.client("dave", "dave1234")

    def mailboxes():
        run.go("/mailboxes")
        table = d.find_element(By.ID, "mailboxes").text
        assert "10003" in table and "5" in table, table
        assert "for later" not in run.text(), "never the texts"
        run.shot("06-mailboxes")

    def log_lines():
        run.go("/log")
        log = d.find_element(By.ID, "log").text
        assert "console: administrator at 127.0.0.1 created account dave" in log, log[:2000]
        assert "console: administrator at 127.0.0.1 disabled dave" in log
        run.shot("07-log")

    def disconnect_by_the_button():
        run.go("/online")
        run.submit(d.find_element(By.CSS_SELECTOR, "tr[data-user='10002'] button"))
        assert run.bob.wait(lambda c: c.closed), "bob's connection was closed"
        assert "10002 was disconnected." in d.find_element(By.CSS_SELECTOR, ".flash").text
        assert not d.find_elements(By.CSS_SELECTOR, "tr[data-user='10002']"), "bob is gone from the list"
        run.shot("08-disconnected")

    def forged_posts_refused():
        # A script on the console's own page, without the token.
        assert run.fetch_in_page("/api/account/disable", {"id": "10001"}) == 403
        assert run.fetch_in_page("/account/disable", {"id": "10001", "csrf": "0" * 64}) == 403
        # Another program with the session's cookie, without the token or from another origin.
        assert run.post_outside("/account/disable", "id=10001") == 403
        assert run.post_outside("/api/account/delete", "id=10001&confirm=yes") == 403
        # A page of another site that posts a form to the console at once.
        port = run.start_forger()
        run.driver.get("http://127.0.0.1:%d/" % port)
        run.until("the forged form to be sent", lambda: run.forger.loaded.is_set())
        time.sleep(1)
        body = run.api_text("/api/account?id=10001")
        assert '"disabled":false' in body, body
        assert "10001" in run.api_text("/api/accounts?q=10001")

    def metrics_and_sign_out():
        run.go("/metrics")
        assert "vexaim_logins_succeeded_total" in run.text()
        run.go("/")
        run.submit(d.find_element(By.ID, "sign-out"))
        run.until("the sign-in page", lambda: d.current_url.endswith("/login"))
        assert '"ok":false' in run.api_text("/api/overview")

    def through_the_proxy():
        public = "https://%s:%d" % (PUBLIC_NAME, run.proxy_port)
        d.get(public + "/login")
        d.find_element(By.ID, "password").send_keys(PASSWORD)
        run.submit(d.find_element(By.ID, "sign-in"))
        run.until("the overview through the proxy", lambda: d.current_url == public + "/")
        run.until("users online through the proxy", lambda: d.find_element(By.ID, "card-online").text != "")
        d.get(public + "/account?id=10003")
        run.submit(d.find_element(By.XPATH, "//button[text()='Disable']"))
        assert d.current_url.startswith(public), d.current_url
        assert "disabled" in d.find_element(By.ID, "state").text, run.text()
        run.submit(d.find_element(By.XPATH, "//button[text()='Enable']"))
        assert "active" in d.find_element(By.ID, "state").text, run.text()
        run.shot("09-through-the-proxy")

    return [sign_in_refused, sign_in_and_overview, users_online, accounts_search_and_create, one_account,
            disable_and_enable, mailboxes, log_lines, disconnect_by_the_button, forged_posts_refused,
            metrics_and_sign_out, through_the_proxy]


class Forger(http.server.ThreadingHTTPServer):
    """Another site: its page posts a form to the console as soon as it loads."""


def start_forger(run):
    target = run.base + "/account/disable"
    page = ("<!doctype html><form method='post' action='%s'><input name='id' value='10001'></form>"
            "<script>document.forms[0].submit()</script>" % target).encode()
    loaded = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(page)
            loaded.set()

        def log_message(self, *args):
            pass

    server = Forger(("127.0.0.1", 0), Handler)
    server.loaded = loaded
    threading.Thread(target=server.serve_forever, daemon=True).start()
    run.forger = server
    return server.server_address[1]


Run.start_forger = start_forger


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    run = Run()
    passed = failed = 0

    def on_signal(signum, frame):
        run.stop()
        sys.exit(1)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        run.start_server()
        run.start_proxy()
        alice = run.client("10001", "alice123")
        run.bob = run.client("10002", "bob123")
        for i in range(5):
            alice.chat(b"10001", b"10003", b"waits for later %d" % i)
        threading.Thread(target=run.traffic, args=(alice,), daemon=True).start()
        run.start_browser()
        for step in steps(run):
            try:
                step()
                passed += 1
                print("[ ok ] " + step.__name__, flush=True)
            except Exception as e:
                failed += 1
                print("[FAIL] %s: %s: %s" % (step.__name__, type(e).__name__, e), flush=True)
                run.shot("failed-" + step.__name__)
                break
    except Exception as e:
        failed += 1
        print("[FAIL] setting up: %s: %s" % (type(e).__name__, e), flush=True)
    finally:
        run.stop()
    if failed:
        print("server log:\n" + run.log[-6000:])
        if run.proxy and run.proxy.stderr:
            print("nginx said:\n" + run.proxy.stderr.read().decode("utf-8", "replace")[-3000:])
    print("%d passed, %d failed" % (passed, failed))
    print("screenshots in " + OUT)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
