#!/usr/bin/env python3
"""The Windows isapi-host under Wine, serving the test extension DLL, answers over HTTP; the
client side runs natively.

Usage: host_wine_e2e.py --emulator WINE_RUN --host isapi-host.exe --extension test_extension.dll"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_client import Connection, HostProcess  # noqa: E402

ARGS = None
PREFIX = "/scripts/test.dll"


def windows_path(path):
    """Wine sees the Linux file system as drive Z:."""
    return "Z:" + os.path.abspath(path)


class WineHostTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="isapi-host-wine-")
        with open(os.path.join(self.folder, "index.html"), "w") as f:
            f.write("<p>wine index</p>")
        self.host = HostProcess([ARGS.emulator, ARGS.host, "--listen", "127.0.0.1:0",
                                 "--map", "%s=%s" % (PREFIX, windows_path(ARGS.extension)),
                                 "--root", windows_path(self.folder)])
        # Wine's first start in a fresh prefix takes a while; the line is what is waited for.
        self.host.wait_listening(timeout=300)

    def tearDown(self):
        self.host.kill()
        shutil.rmtree(self.folder, ignore_errors=True)

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


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--extension", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
