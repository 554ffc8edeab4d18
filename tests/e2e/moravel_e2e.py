#!/usr/bin/env python3
"""End-to-end tests of the real moravel extension in the real isapi-host: curl and a raw-socket
client against the redirect, in pool mode (the host as built) and in direct mode (the same host
under the file name httpd.exe, which moravel recognises), a shutdown with requests in flight,
`isapi-host call`, and headless Chromium clicking through the demo page and through pages the
host serves over HTTPS.

Usage: moravel_e2e.py --host PATH --extension MORAVEL [unittest arguments, e.g. a test class]"""

import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import HeadlessChromium, find_chromium  # noqa: E402
from host_client import Connection, HostProcess, make_certificate  # noqa: E402

HOST = None
MORAVEL = None
PREFIX = "/scripts/moravel.dll"
# moravel's worker pool; the host itself runs a handful of threads.
POOL_THREADS = 25

# An absolute URL with a query, a fragment, spaces and bytes of 128 and above.
AWKWARD_REFERER = b"http://back.example:8081/a page/x.htm?q=1&r=%20 b&s=\xe9t\xe9#frag \x80\xff"


def host_threads(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^Threads:\s+(\d+)$", f.read(), re.M).group(1))


def spki_hash(cert):
    """The base64 SHA-256 of the certificate's public key, as Chromium names a key to trust."""
    public = subprocess.run(["openssl", "x509", "-pubkey", "-noout", "-in", cert],
                            check=True, capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=public,
                         check=True, capture_output=True).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode()


def access_entries(lines, stem):
    """The access-log entries (split into fields) whose cs-uri-stem starts with stem."""
    entries = []
    for line in lines:
        fields = line.split(" ")
        if len(fields) == 12 and re.match(r"\d{4}-\d\d-\d\d$", fields[0]) and \
                fields[4].startswith(stem):
            entries.append(fields)
    return entries


class MoravelHostCase(unittest.TestCase):
    """A host of its own for each test, serving moravel, with a root beside a secret file."""

    direct_mode = False

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="isapi-host-moravel-")
        self.root = os.path.join(self.folder, "root")
        os.makedirs(os.path.join(self.root, "sub"))
        with open(os.path.join(self.root, "index.html"), "w") as f:
            f.write("<p>index page</p>")
        with open(os.path.join(self.folder, "secret.txt"), "w") as f:
            f.write("SECRET-OUTSIDE-ROOT")
        self.executable = HOST
        if self.direct_mode:
            # moravel serves without its pool when the host executable is named httpd.exe.
            folder = os.path.join(self.folder, "bin")
            os.makedirs(folder)
            self.executable = os.path.join(folder, "httpd.exe")
            shutil.copy2(HOST, self.executable)
        self.host = None

    def tearDown(self):
        if self.host is not None:
            self.host.kill()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start(self, *args, merge_output=False):
        command = [self.executable, "--listen", "127.0.0.1:0", "--map",
                   "%s=%s" % (PREFIX, MORAVEL), "--root", self.root] + list(args)
        self.host = HostProcess(command, merge_output=merge_output)
        self.host.wait_listening()
        self.assertIn("serving %s=%s" % (PREFIX, MORAVEL), self.host.first_line)
        return self.host

    def connect(self):
        return Connection(self.host.port)

    def get(self, target, headers=(), version=b"HTTP/1.1", method="GET"):
        connection = self.connect()
        try:
            return connection.request(method, target, headers=headers, version=version)
        finally:
            connection.close()

    def curl(self, *args):
        result = subprocess.run(["curl", "-s", "--max-time", "60"] + list(args),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        return result.stdout

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.host.port, path)

    def assertRedirectTo(self, response, target):
        self.assertEqual(response.status_line, b"HTTP/1.1 302 Object Moved", response.raw)
        self.assertEqual([v for n, v in response.headers if n.lower() == b"location"], [target])
        self.assertEqual(response.header(b"Content-Type"), b"text/html")
        self.assertIsNotNone(response.header(b"Date"))
        self.assertEqual(response.header(b"Server")[:11], b"isapi-host/")

    def assertNoAttackerHeader(self, response):
        head = response.raw.split(b"\r\n\r\n", 1)[0]
        self.assertNotIn(b"x-evil", response.header_names(), response.raw)
        self.assertNotIn(b"\nx-evil", head.lower(), response.raw)
        for _, value in response.headers:
            self.assertNotIn(b"\r", value)
            self.assertNotIn(b"\n", value)


class MoravelCases:
    """What a client of moravel sees; run in both of moravel's modes."""

    def test_the_referer_comes_back_byte_for_byte_as_object_moved(self):
        self.start()
        response = self.get(PREFIX, headers=[(b"Referer", AWKWARD_REFERER)])
        self.assertRedirectTo(response, AWKWARD_REFERER)
        self.assertEqual(int(response.header(b"Content-Length")), len(response.body))
        self.assertIn(b"Object Moved", response.body)
        # The page's link holds the same target, escaped for HTML.
        self.assertIn(b"?q=1&amp;r=%20 b&amp;s=\xe9t\xe9#frag \x80\xff", response.body)
        # Whatever follows the prefix is the path info; moravel's one action answers it all.
        response = self.get(PREFIX + "/any/path?x=1", headers=[(b"Referer", b"http://a.test/")])
        self.assertRedirectTo(response, b"http://a.test/")
        # curl sends the same bytes; its dump of the answer's head shows them unchanged.
        head = self.curl("-o", os.devnull, "-D", "-", "-H", b"Referer: " + AWKWARD_REFERER,
                         self.url(PREFIX))
        self.assertTrue(head.startswith(b"HTTP/1.1 302 Object Moved\r\n"), head)
        self.assertIn(b"\r\nLocation: " + AWKWARD_REFERER + b"\r\n", head)
        out = self.curl("-o", os.devnull, "-w", "%{http_code} %{redirect_url}",
                        "-H", "Referer: http://example.com/back?x=1#top", self.url(PREFIX))
        self.assertEqual(out, b"302 http://example.com/back?x=1#top")
        # The mode is the one this class stands for: the pool's threads exist only in pool mode.
        threads = host_threads(self.host.process.pid)
        if self.direct_mode:
            self.assertLess(threads, POOL_THREADS, "direct mode started a pool")
        else:
            self.assertGreater(threads, POOL_THREADS, "pool mode has no pool")

    def test_without_a_referer_the_host_answers_its_502_page(self):
        self.start()
        response = self.get(PREFIX)
        self.assertEqual(response.status_line, b"HTTP/1.1 502 Bad Gateway")
        self.assertIsNone(response.header(b"Location"))
        self.assertIn(b"redirect to an empty target", response.body)
        self.host.wait_line(r"GET %s answered 502" % re.escape(PREFIX))
        out = self.curl("-o", os.devnull, "-w", "%{http_code}", self.url(PREFIX + "/x"))
        self.assertEqual(out, b"502")
        # A control character the request may legally carry (TAB) is refused by the host.
        response = self.get(PREFIX, headers=[(b"Referer", b"http://a.test/\tX-Evil: tab")])
        self.assertEqual(response.status, 502, response.raw)
        self.assertIn(b"invalid target", response.body)
        self.assertNoAttackerHeader(response)

    def test_a_referer_with_cr_or_lf_never_produces_an_attacker_header(self):
        self.start()
        attempts = [
            b"Referer: http://a.example/\rX-Evil: injected\r\n",
            b"Referer: http://a.example/\nX-Evil: injected\r\n",
            b"Referer: http://a.example/\r\nX-Evil: injected\r\n",
            b"Referer: http://a.example/\r\n X-Evil: injected\r\n",
            b"Referer: http://a.example/\r\n\tX-Evil: injected\r\n",
            b"Referer: http://a.example/\r\r\nX-Evil: injected\r\n",
            b"Referer: http://a.example/\x00\r\nX-Evil: injected\r\n",
        ]
        for attempt in attempts:
            connection = self.connect()
            connection.send(b"GET " + PREFIX.encode() + b" HTTP/1.1\r\nHost: localhost\r\n" +
                            attempt + b"\r\n")
            response = connection.read_response()
            connection.close()
            self.assertNoAttackerHeader(response)
            self.assertIn(response.status, (302, 400, 500, 502), (attempt, response.raw))
            if response.status == 302:
                self.assertTrue(response.header(b"Location").startswith(b"http://a.example/"))
        # Encoded line ends are plain bytes of a URL: passed on as they are, never decoded.
        response = self.get(PREFIX, headers=[(b"Referer", b"http://a.example/%0d%0aX-Evil:%20x")])
        self.assertRedirectTo(response, b"http://a.example/%0d%0aX-Evil:%20x")
        self.assertNoAttackerHeader(response)
        out = self.curl("-o", os.devnull, "-D", "-", "-H", "Referer: http://a.example/\rX-Evil: 1",
                        self.url(PREFIX))
        self.assertNotIn(b"x-evil", out.lower())

    def test_a_thousand_requests_on_one_keep_alive_connection(self):
        self.start()
        connection = self.connect()
        for i in range(1000):
            referer = b"http://a.test/page %d?n=%d#f\xe9" % (i, i)
            response = connection.request("GET", PREFIX + "/r%d" % i,
                                          headers=[(b"Referer", referer)])
            self.assertRedirectTo(response, referer)
            self.assertIsNone(response.header(b"Connection"))
        self.assertEqual(connection.request("GET", "/index.html").body, b"<p>index page</p>")
        connection.close()
        # curl keeps its one connection for every URL of a run.
        urls = [self.url(PREFIX + "/c%d" % i) for i in range(5)]
        out = self.curl("-H", "Referer: http://a.test/", "-w", "%{http_code}:%{num_connects} ",
                        *sum((["-o", os.devnull, u] for u in urls), []))
        self.assertEqual(out, b"302:1 " + b"302:0 " * 4)

    def test_a_pipelining_client_that_pauses_reading_gets_every_redirect_whole(self):
        self.start()
        connection = Connection(self.host.port, receive_buffer=4096)
        # Long targets: the answers (9 MB) are more than the socket buffers can hold.
        referer = b"http://r.test/" + b"x" * 2000
        requests = b"".join(b"GET %s/p HTTP/1.1\r\nHost: x\r\nReferer: %s%d\r\n\r\n"
                            % (PREFIX.encode(), referer, i) for i in range(2000))
        # The host stops reading requests once it waits for this client to read its answers.
        sender = threading.Thread(target=connection.send, args=(requests,))
        sender.start()
        connection.wait_server_blocked()
        for i in range(2000):
            self.assertRedirectTo(connection.read_response(), referer + b"%d" % i)
        sender.join()
        connection.close()

    def test_http_1_0_and_head(self):
        self.start()
        connection = self.connect()
        response = connection.request("GET", PREFIX, version=b"HTTP/1.0",
                                      headers=[("Referer", "http://a.test/ten")])
        # The answer is HTTP/1.1's, as IIS's is, framed for a 1.0 client: no chunks, then close.
        self.assertEqual(response.status_line, b"HTTP/1.1 302 Object Moved")
        self.assertEqual(response.header(b"Location"), b"http://a.test/ten")
        self.assertIsNone(response.header(b"Transfer-Encoding"))
        self.assertTrue(connection.closed_by_peer())
        connection.close()
        connection = self.connect()
        for i in range(3):
            response = connection.request("GET", PREFIX, version=b"HTTP/1.0",
                                          headers=[("Connection", "keep-alive"),
                                                   ("Referer", "http://a.test/%d" % i)])
            self.assertEqual(response.header(b"Location"), b"http://a.test/%d" % i)
            self.assertEqual(response.header(b"Connection"), b"keep-alive")
        connection.close()

        connection = self.connect()
        response = connection.request("HEAD", PREFIX, headers=[("Referer", "http://a.test/h")])
        self.assertRedirectTo(response, b"http://a.test/h")
        self.assertGreater(int(response.header(b"Content-Length")), 0)
        # The next answer starts right after the head: no body was sent for HEAD.
        response = connection.request("GET", PREFIX, headers=[("Referer", "http://a.test/g")])
        self.assertRedirectTo(response, b"http://a.test/g")
        self.assertIn(b"Object Moved", response.body)
        connection.close()

        out = self.curl("-I", "-H", "Referer: http://a.test/curl-head", self.url(PREFIX))
        self.assertTrue(out.startswith(b"HTTP/1.1 302 Object Moved\r\n"), out)
        self.assertIn(b"\r\nLocation: http://a.test/curl-head\r\n", out)
        out = self.curl("--http1.0", "-D", "-", "-o", os.devnull,
                        "-H", "Referer: http://a.test/curl-ten", self.url(PREFIX))
        self.assertTrue(out.startswith(b"HTTP/1.1 302 Object Moved\r\n"), out)
        self.assertIn(b"\r\nLocation: http://a.test/curl-ten\r\n", out)

    def test_16_kib_of_headers_give_431_and_a_30_mb_body_413(self):
        self.start()
        connection = self.connect()
        response = connection.request("GET", PREFIX, headers=[("Referer", "http://a.test/"),
                                                              ("X-Big", "a" * 16384)])
        self.assertEqual(response.status, 431)
        self.assertIsNone(response.header(b"Location"))
        connection.close()
        # moravel offers the host a 4096-byte buffer for the Referer (its NUL included): the
        # longest that comes back whole is 4095 bytes; one more is refused as too long and read
        # as empty, which the host answers with its 502 page.
        referer = b"http://a.test/" + b"b" * (4095 - len(b"http://a.test/"))
        self.assertRedirectTo(self.get(PREFIX, headers=[(b"Referer", referer)]), referer)
        response = self.get(PREFIX, headers=[(b"Referer", referer + b"b"), ("X-Big", "a" * 11000)])
        self.assertEqual(response.status, 502)
        self.assertIn(b"empty target", response.body)

        connection = self.connect()
        connection.send(b"POST " + PREFIX.encode() + b" HTTP/1.1\r\nHost: x\r\n"
                        b"Referer: http://a.test/\r\nContent-Length: 31457280\r\n\r\n" +
                        b"x" * 65536)
        response = connection.read_response()
        self.assertEqual(response.status, 413)
        self.assertIsNone(response.header(b"Location"))
        connection.close()
        path = os.path.join(self.folder, "big.bin")
        with open(path, "wb") as f:
            f.truncate(30 * 1024 * 1024)
        out = self.curl("-o", os.devnull, "-w", "%{http_code}", "--data-binary", "@" + path,
                        "-H", "Referer: http://a.test/", self.url(PREFIX))
        self.assertEqual(out, b"413")
        # A chunked body has no declared length: the host hands moravel its first 48 KiB and
        # keeps the rest in the connection, as IIS does. moravel reads none of it and redirects;
        # the unread rest ends the connection after the answer, however long it would go on.
        out = self.curl("-o", os.devnull, "-w", "%{http_code} %{num_connects}", "--data-binary",
                        "@" + path, "-H", "Referer: http://a.test/", "-H",
                        "Transfer-Encoding: chunked", self.url(PREFIX), "-o", os.devnull,
                        self.url(PREFIX))
        self.assertEqual(out, b"302 1302 1")
        # A body within the limit reaches moravel, which redirects all the same.
        response = self.curl("-o", os.devnull, "-w", "%{http_code} %{redirect_url}",
                             "--data-binary", "small body", "-H", "Referer: http://a.test/post",
                             self.url(PREFIX))
        self.assertEqual(response, b"302 http://a.test/post")

    def test_dot_dot_and_backslash_paths_never_leave_the_root(self):
        os.symlink(os.path.join(self.folder, "secret.txt"), os.path.join(self.root, "link.txt"))
        self.start()
        prefix = PREFIX.encode()
        for target in [b"/..", b"/%2e%2e", b"/%2E%2e/secret.txt", b"/../secret.txt",
                       b"/%2e%2e/secret.txt", b"/%2e%2e%2fsecret.txt", b"/..%5csecret.txt",
                       b"/\\..\\secret.txt", b"/sub\\..\\..\\secret.txt", b"/sub/../../secret.txt",
                       b"/.%2e/secret.txt", b"//../secret.txt", b"/link.txt",
                       prefix + b"/../../secret.txt", prefix + b"/../../../secret.txt",
                       prefix + b"/%2e%2e/%2e%2e/%2e%2e/secret.txt",
                       prefix + b"\\..\\..\\..\\secret.txt"]:
            response = self.get(target, headers=[("Referer", "http://a.test/")])
            self.assertNotIn(b"SECRET-OUTSIDE-ROOT", response.raw, target)
            self.assertIn(response.status, (302, 400, 404), (target, response.raw))
            if response.status == 302:
                # What reached the extension is answered by the extension, not from the disk.
                self.assertEqual(response.header(b"Location"), b"http://a.test/", target)
        self.assertEqual(self.get(b"/..").status, 400)
        self.assertEqual(self.get(b"/%2e%2e").status, 400)
        self.assertEqual(self.get(prefix + b"/../../../secret.txt").status, 400)
        # Dot segments resolve before mapping: this reaches moravel.
        response = self.get(b"/scripts/x/.." + prefix[len(b"/scripts"):] + b"/./y",
                            headers=[("Referer", "http://a.test/dots")])
        self.assertRedirectTo(response, b"http://a.test/dots")
        out = self.curl("--path-as-is", "-o", os.devnull, "-w", "%{http_code}",
                        self.url("/../secret.txt"))
        self.assertEqual(out, b"400")

    def test_sigterm_answers_every_request_in_flight_then_terminates_once(self):
        # stdout (the access log) and stderr (the host's own lines) in one pipe keep their order.
        self.start("--access-log", "-", "--threads", "2", merge_output=True)
        count = 6
        connections = [self.connect() for _ in range(count)]
        for i, connection in enumerate(connections):
            # "100 Continue" says the host has read the head: the request is in flight; its body
            # follows only after the signal.
            connection.send(b"POST " + PREFIX.encode() + b"/in-flight-%d HTTP/1.1\r\nHost: x\r\n"
                            b"Referer: http://a.test/back?request=%d\r\nContent-Length: 5\r\n"
                            b"Expect: 100-continue\r\n\r\n" % (i, i))
        for connection in connections:
            self.assertEqual(connection.read_response().status_line, b"HTTP/1.1 100 Continue")
        idle = self.connect()
        self.assertEqual(idle.request("GET", "/index.html").status, 200)
        self.host.process.send_signal(signal.SIGTERM)
        self.host.wait_line(r"shutting down")
        self.assertTrue(idle.closed_by_peer())
        idle.close()
        for i, connection in enumerate(connections):
            connection.send(b"hello")
            response = connection.read_response()
            self.assertRedirectTo(response, b"http://a.test/back?request=%d" % i)
            self.assertEqual(response.header(b"Connection"), b"close")
            self.assertTrue(connection.closed_by_peer())
            connection.close()
        self.assertEqual(self.host.wait_exit(), 0, self.host.output())
        lines = self.host.stderr_lines()
        terminations = [n for n, l in enumerate(lines) if "TerminateExtension" in l]
        self.assertEqual(len(terminations), 1, lines)
        self.assertIn("TerminateExtension(HSE_TERM_MUST_UNLOAD) called for %s, answered TRUE" %
                      MORAVEL, lines[terminations[0]])
        answered = [n for n, l in enumerate(lines) if "/in-flight-" in l]
        self.assertEqual(len(answered), count, lines)
        self.assertEqual([f[10] for f in access_entries(lines, PREFIX)], ["302"] * count)
        shutting = next(n for n, l in enumerate(lines) if "shutting down" in l)
        self.assertLess(shutting, min(answered))
        self.assertLess(max(answered), terminations[0])
        self.assertEqual(lines[-1], "isapi-host: stopped")


class MoravelPoolTest(MoravelHostCase, MoravelCases):
    direct_mode = False


class MoravelDirectTest(MoravelHostCase, MoravelCases):
    direct_mode = True


class MoravelCallTest(MoravelHostCase):
    def call(self, executable, *args):
        result = subprocess.run([executable, "call", MORAVEL] + list(args),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
                                check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def redirects(self, transcript):
        return [c for c in transcript["calls"] if c["function"] == "ServerSupportFunction" and
                c["arguments"]["request"] == 1]

    def test_call_prints_the_redirect_with_exactly_the_referer(self):
        for direct in (False, True):
            if direct:
                folder = os.path.join(self.folder, "bin")
                os.makedirs(folder)
                executable = os.path.join(folder, "httpd.exe")
                shutil.copy2(HOST, executable)
            else:
                executable = HOST
            transcript = self.call(executable, "--header", "Referer: http://a.test/p?q=1")
            redirects = self.redirects(transcript)
            self.assertEqual(len(redirects), 1, transcript["calls"])
            self.assertEqual(redirects[0]["arguments"]["buffer"], "http://a.test/p?q=1")
            self.assertEqual(redirects[0]["result"], "TRUE")
            referer_reads = [c for c in transcript["calls"] if c["function"] == "GetServerVariable"
                             and c["arguments"]["name"] == "HTTP_REFERER"]
            self.assertEqual([c["answers"]["value"] for c in referer_reads],
                             ["http://a.test/p?q=1"])
            response = transcript["response"]
            self.assertEqual(response["status_line"], "HTTP/1.1 302 Object Moved")
            self.assertIn(["Location", "http://a.test/p?q=1"], response["headers"])
            self.assertEqual(transcript["calls"][-1]["function"], "TerminateExtension")
            # Pool mode answers on a worker thread: pending, then done with session.
            proc = [c for c in transcript["calls"] if c["function"] == "HttpExtensionProc"]
            done = [c for c in transcript["calls"] if c["function"] == "ServerSupportFunction"
                    and c["arguments"]["request"] == 4]
            if direct:
                self.assertEqual(proc[0]["answers"]["meaning"], "HSE_STATUS_SUCCESS")
                self.assertEqual(done, [])
            else:
                self.assertEqual(proc[0]["answers"]["meaning"], "HSE_STATUS_PENDING")
                self.assertEqual(len(done), 1)

        # Bytes above 127 show as the Latin-1 characters of the same number.
        transcript = self.call(HOST, "--header", b"Referer: http://a.test/\xe9 x#\xff")
        self.assertEqual(self.redirects(transcript)[0]["arguments"]["buffer"],
                         "http://a.test/\u00e9 x#\u00ff")
        # No Referer: the redirect is asked for an empty target and refused.
        transcript = self.call(HOST)
        redirect = self.redirects(transcript)[0]
        self.assertEqual((redirect["arguments"]["buffer"], redirect["result"], redirect["error"]),
                         ("", "FALSE", 87))
        self.assertEqual(transcript["response"]["status"], 502)


class MoravelDemoBrowserTest(unittest.TestCase):
    """Chromium opens the demo page of a host started with its defaults (on free ports) and an
    HTTPS listener with the development certificate, over HTTP and over HTTPS, clicks the link
    to moravel and lands on the demo page again."""

    def setUp(self):
        self.chromium = find_chromium()
        self.assertIsNotNone(self.chromium, "chromium is not installed (scripts/bootstrap)")
        cache = tempfile.mkdtemp(prefix="isapi-host-demo-cache-")
        self.addCleanup(shutil.rmtree, cache, True)
        self.host = HostProcess([HOST, "--listen", "127.0.0.1:0", "--listen-tls", "127.0.0.1:0",
                                 "--access-log", "-"], env=dict(os.environ, XDG_CACHE_HOME=cache))
        self.addCleanup(self.host.kill)
        self.host.wait_listening()
        self.host.wait_listening_tls()
        self.tls_port = self.host.tls_port
        # The browser trusts the development certificate, as a user who imported it does.
        certificate = os.path.join(cache, "isapi-host", "localhost.crt")
        self.browser = HeadlessChromium(self.chromium, flags=[
            "--ignore-certificate-errors-spki-list=" + spki_hash(certificate)])
        self.addCleanup(self.browser.close)

    def test_the_browser_is_sent_back_to_the_demo_page(self):
        # The defaults: the built moravel at its usual prefix, the demo folder as the root.
        self.assertIn(" serving /scripts/moravel.dll=%s, root " % MORAVEL, self.host.first_line)
        self.assertTrue(self.host.first_line.endswith(os.sep + "demo"), self.host.first_line)
        state = ("[location.href, document.referrer,"
                 " document.getElementById('trip').dataset.returned,"
                 " document.getElementById('trip').dataset.visits, document.title]")
        for page, port in (("http://127.0.0.1:%d/" % self.host.port, self.host.port),
                           ("https://127.0.0.1:%d/" % self.tls_port, self.tls_port)):
            session = self.browser.open_page()
            self.browser.send("Page.navigate", {"url": page}, session=session)
            self.browser.wait_event("Page.loadEventFired", session)
            self.assertEqual(self.browser.evaluate(session, state),
                             [page, "", "no", "1", "isapi-host demo"])

            box = self.browser.evaluate(session, "(function () {"
                                        " var r = document.getElementById('extension')"
                                        ".getBoundingClientRect();"
                                        " return [r.left + r.width / 2, r.top + r.height / 2,"
                                        " document.getElementById('extension')"
                                        ".getAttribute('href')];"
                                        "})()")
            self.assertEqual(box[2], "/scripts/moravel.dll")
            self.browser.drop_events("Page.loadEventFired", session)
            self.browser.click(session, box[0], box[1])
            self.browser.wait_event("Page.loadEventFired", session)
            location, referrer, returned, visits, title = self.browser.evaluate(session, state)
            self.assertEqual((location, referrer, returned, visits, title),
                             (page, page, "yes", "2", "isapi-host demo"))
            text = self.browser.evaluate(session, "document.getElementById('trip').textContent")
            self.assertIn("Back again: the extension redirected you to " + page, text)
            # The host's access log tells the trip: the page, the extension's URL with the
            # browser's own Referer answered 302, and the page again, asked for with the same
            # Referer (and with If-Modified-Since: the browser's copy is still good, 304).
            self.host.wait_line(r" GET / - %d " % port, stream="stdout", count=2)
            with self.host.changed:
                lines = [l for l in self.host.lines["stdout"] if l is not None]
            trip = [(f[4], f[9], f[10]) for f in access_entries(lines, "/")
                    if f[4] != "/favicon.ico" and f[6] == str(port)]
            self.assertEqual(trip, [("/", "-", "200"), ("/scripts/moravel.dll", page, "302"),
                                    ("/", page, "304")], lines)


class MoravelHttpsBrowserTest(unittest.TestCase):
    """Chromium on a page the host serves over HTTPS, with a certificate the test makes and the
    browser trusts by its key, clicking links to moravel: the HTTPS rows of README's table of the
    browser's referrer policy."""

    def setUp(self):
        self.chromium = find_chromium()
        self.assertIsNotNone(self.chromium, "chromium is not installed (scripts/bootstrap)")
        self.folder = tempfile.mkdtemp(prefix="isapi-host-moravel-https-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        cert, key = make_certificate(self.folder)
        root = os.path.join(self.folder, "root")
        os.makedirs(os.path.join(root, "shop"))
        with open(os.path.join(root, "index.html"), "w") as f:
            f.write("<title>root</title>")
        self.host = HostProcess([HOST, "--listen", "127.0.0.1:0", "--listen-tls", "127.0.0.1:0",
                                 "--cert", cert, "--key", key, "--map", "%s=%s" % (PREFIX, MORAVEL),
                                 "--root", root, "--access-log", "-"])
        self.addCleanup(self.host.kill)
        self.host.wait_listening()
        self.host.wait_listening_tls()
        self.tls_port = self.host.tls_port
        secure = "https://127.0.0.1:%d" % self.tls_port
        # The links, each to moravel: on this origin, on the plain listener, on another origin
        # (the same listener by its name), and on this origin without a referrer.
        self.links = {
            "same": PREFIX + "/back",
            "plain": "http://127.0.0.1:%d%s" % (self.host.port, PREFIX),
            "other": "https://localhost:%d%s" % (self.tls_port, PREFIX),
            "none": PREFIX + "/none",
        }
        with open(os.path.join(root, "shop", "page.html"), "w") as f:
            f.write("<title>shop</title>" + "".join(
                '<p><a id="%s" href="%s"%s>%s</a></p>' % (
                    name, href, ' rel="noreferrer"' if name == "none" else "", name)
                for name, href in self.links.items()))
        self.page = secure + "/shop/page.html?item=42&size=l"
        self.browser = HeadlessChromium(self.chromium, flags=[
            "--ignore-certificate-errors-spki-list=" + spki_hash(cert),
            "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1, EXCLUDE localhost"])
        self.addCleanup(self.browser.close)

    def visit_and_click(self, link):
        """Opens the page in a new tab (with a fragment, which no Referer carries), clicks the
        link and waits for where it leads; answers the page's security state and the browser's
        end point."""
        session = self.browser.open_page()
        self.browser.send("Network.enable", session=session)
        self.browser.send("Page.navigate", {"url": self.page + "#reviews"}, session=session)
        response = self.browser.wait_event("Network.responseReceived", session)["response"]
        self.browser.wait_event("Page.loadEventFired", session)
        self.assertEqual(self.browser.evaluate(session, "[location.href, isSecureContext]"),
                         [self.page + "#reviews", True])
        box = self.browser.evaluate(session, "(function () {"
                                    " var r = document.getElementById('%s')"
                                    ".getBoundingClientRect();"
                                    " return [r.left + r.width / 2, r.top + r.height / 2];"
                                    "})()" % link)
        self.browser.drop_events("Page.loadEventFired", session)
        self.browser.click(session, box[0], box[1])
        self.browser.wait_event("Page.loadEventFired", session)
        return response["securityState"], self.browser.evaluate(
            session, "[location.href, document.body.innerText]")

    def test_https_pages_get_back_what_the_referrer_policy_lets_the_browser_send(self):
        outcomes = {link: self.visit_and_click(link) for link in self.links}
        # The certificate counts as valid, not as an error clicked through.
        self.assertEqual({state for state, _ in outcomes.values()}, {"secure"})
        # Same origin: the full URL with path and query, not the fragment, and back on it.
        self.assertEqual(outcomes["same"][1][0], self.page)
        # Another origin: the origin only, and moravel sends the browser to that site's root.
        self.assertEqual(outcomes["other"][1][0], "https://127.0.0.1:%d/" % self.tls_port)
        # From HTTPS to plain HTTP, and rel="noreferrer": no Referer, the empty redirect, which
        # the host answers with its 502 page.
        for link, url in (("plain", self.links["plain"]),
                          ("none", "https://127.0.0.1:%d%s" % (self.tls_port, self.links["none"]))):
            location, text = outcomes[link][1]
            self.assertEqual(location, url)
            self.assertIn("redirect to an empty target", text)
        # The host's access log: what each request to moravel carried, and its answer.
        lines = self.host.wait_line(r" GET %s" % re.escape(PREFIX), stream="stdout", count=4)
        seen = [(f[4], f[6], f[9], f[10]) for f in access_entries(lines, PREFIX)]
        tls, plain = str(self.tls_port), str(self.host.port)
        self.assertEqual(seen, [(PREFIX + "/back", tls, self.page, "302"),
                                (PREFIX, plain, "-", "502"),
                                (PREFIX, tls, "https://127.0.0.1:%s/" % tls, "302"),
                                (PREFIX + "/none", tls, "-", "502")])


def main():
    global HOST, MORAVEL
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--extension", required=True)
    args, rest = parser.parse_known_args()
    HOST = os.path.abspath(args.host)
    MORAVEL = os.path.abspath(args.extension)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
