#!/usr/bin/env python3
"""The Windows isapi-host under Wine, serving the test extension DLL and the real moravel.dll,
answers over HTTP; the client side runs natively.

Usage: host_wine_e2e.py --emulator WINE_RUN [--emulator=ARG]... --host isapi-host.exe
                        --extension test_extension.dll --moravel moravel.dll"""

import argparse
import os
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_client import Connection, HostProcess  # noqa: E402

ARGS = None
PREFIX = "/scripts/test.dll"
MORAVEL_PREFIX = "/scripts/moravel.dll"
# moravel's worker pool in pool mode.
POOL_THREADS = 25


def windows_path(path):
    """Wine sees the Linux file system as drive Z:."""
    return "Z:" + os.path.abspath(path)


def process_threads(pid):
    """Wine runs each Windows thread as a thread of the Linux process."""
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^Threads:\s+(\d+)$", f.read(), re.M).group(1))


class WineHostCase(unittest.TestCase):
    """One host for the whole class: each start of Wine costs seconds."""

    executable_name = None  # None: the host as built; else a copy under that name

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="isapi-host-wine-")
        with open(os.path.join(cls.folder, "index.html"), "w") as f:
            f.write("<p>wine index</p>")
        executable = ARGS.host
        if cls.executable_name:
            executable = os.path.join(cls.folder, cls.executable_name)
            shutil.copy2(ARGS.host, executable)
        maps = ["--map", "%s=%s" % (PREFIX, windows_path(ARGS.extension)),
                "--map", "%s=%s" % (MORAVEL_PREFIX, windows_path(ARGS.moravel))]
        cls.host = HostProcess(ARGS.emulator + [executable, "--listen", "127.0.0.1:0"] + maps +
                               ["--root", windows_path(cls.folder)])
        try:
            # Wine's first start in a fresh prefix takes a while; the line is what is waited for.
            cls.host.wait_listening(timeout=300)
        except BaseException:
            cls.host.kill()
            shutil.rmtree(cls.folder, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.host.kill()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def assertMoravelRedirects(self):
        self.assertIn(", %s=" % MORAVEL_PREFIX, self.host.first_line)
        connection = Connection(self.host.port)
        referer = b"http://back.example/a page/x?q=1&r=2#frag \xe9\x80\xff"
        response = connection.request("GET", MORAVEL_PREFIX, headers=[(b"Referer", referer)])
        self.assertEqual(response.status_line, b"HTTP/1.1 302 Object Moved", response.raw)
        self.assertEqual(response.header(b"Location"), referer)
        self.assertEqual(response.header(b"Content-Type"), b"text/html")
        self.assertIn(b"Object Moved", response.body)
        for i in range(20):
            response = connection.request("GET", MORAVEL_PREFIX + "/p%d" % i,
                                          headers=[("Referer", "http://a.test/%d" % i)])
            self.assertEqual(response.header(b"Location"), b"http://a.test/%d" % i)
        response = connection.request("GET", MORAVEL_PREFIX)
        self.assertEqual(response.status_line, b"HTTP/1.1 502 Bad Gateway")
        self.assertIn(b"empty target", response.body)
        connection.close()
        return process_threads(self.host.process.pid)


class WineHostTest(WineHostCase):
    def test_the_windows_host_loads_the_dll_and_answers_a_redirect(self):
        self.assertIn("serving %s=" % PREFIX, self.host.first_line)
        connection = Connection(self.host.port)
        referer = b"http://example.com/back page?x=1#frag\xe9"
        response = connection.request("GET", PREFIX + "/redirect-referer",
                                      headers=[(b"Referer", referer)])
        self.assertEqual(response.status_line, b"HTTP/1.1 302 Object Moved")
        self.assertEqual(response.header(b"Location"), referer)
        self.assertIn(b"Object Moved", response.body)
        # Same connection: the extension's server variables and the static root.
        response = connection.request("GET", PREFIX + "/vars?a=1",
                                      headers=[("X-Test-Header", "wine")])
        self.assertIn(b"var.HTTP_X_TEST_HEADER=wine\n", response.body)
        self.assertIn(b"small=FALSE/122 needed=4\n", response.body)
        self.assertIn(b"unknown=FALSE/1413\n", response.body)
        response = connection.request("GET", "/")
        self.assertEqual(response.body, b"<p>wine index</p>")
        response = connection.request("GET", PREFIX + "/pending-thread")
        self.assertEqual(response.body, b"answered from another thread\n")
        self.assertEqual(connection.request("GET", "/%2e%2e/x").status, 400)
        connection.close()

    def test_a_paused_reader_and_a_body_past_the_read_ahead_through_winsock(self):
        # The synchronous write waits for room and the body comes by ReadClient from the socket,
        # on the Windows side of the host's socket calls.
        paused = Connection(self.host.port, receive_buffer=4096)
        paused.send(b"GET " + PREFIX.encode() + b"/big?mb=4 HTTP/1.1\r\nHost: x\r\n\r\n")
        connection = Connection(self.host.port)
        body = bytes(i % 251 for i in range(200000))
        response = connection.request("POST", PREFIX + "/body", body=body)
        self.assertIn(b"total=200000 available=49152 read=200000 ", response.body)
        connection.close()
        response = paused.read_response()
        pattern = bytes(i % 251 for i in range(65536 + 251))
        self.assertEqual(response.body, b"".join(pattern[k % 251:k % 251 + 65536]
                                                 for k in range(64)))
        paused.close()

    def test_moravel_dll_redirects_to_the_referer_in_pool_mode(self):
        self.assertGreater(self.assertMoravelRedirects(), POOL_THREADS, "pool mode has no pool")


class WineHttpdTest(WineHostCase):
    executable_name = "httpd.exe"

    def test_moravel_dll_redirects_to_the_referer_in_direct_mode(self):
        self.assertLess(self.assertMoravelRedirects(), POOL_THREADS, "direct mode started a pool")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", action="append", required=True,
                        help="the runner and, repeated, its arguments (--emulator=--win64)")
    parser.add_argument("--host", required=True)
    parser.add_argument("--extension", required=True)
    parser.add_argument("--moravel", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
