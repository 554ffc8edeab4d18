#!/usr/bin/env python3
"""isapi-host's answers to the support functions beyond the first four and its server
variables, through the real host: on Linux, or (--emulator) the Windows host under Wine.

Usage: host_support_e2e.py [--emulator RUNNER [--emulator=ARG]...] --host isapi-host
                           --support support_extension --variables variables_extension"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_client import Connection, seen_path, start_host  # noqa: E402

ARGS = None
SUPPORT = "/scripts/support.dll"
VARIABLES = "/scripts/vars.dll"
REFUSED = [1002, 1007, 1015, 1038, 1040, 1041, 1042, 1044, 1045, 1046, 1047, 1048, 1050]


def on_windows():
    return bool(ARGS.emulator)


def native(path):
    return seen_path(path, on_windows())


class SupportTest(unittest.TestCase):
    """One host for the class (a start of Wine costs seconds), both extensions mapped."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="isapi-host-support-")
        cls.host = start_host(
            (ARGS.emulator or []) +
            [ARGS.host, "--listen", "127.0.0.1:0", "--root", native(cls.folder),
             "--access-log", "-", "--map", "%s=%s" % (SUPPORT, native(ARGS.support)),
             "--map", "%s=%s" % (VARIABLES, native(ARGS.variables))])

    @classmethod
    def tearDownClass(cls):
        cls.host.kill()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def get(self, target, connection=None, headers=()):
        own = connection is None
        connection = connection or Connection(self.host.port)
        try:
            return connection.request("GET", target, headers=headers)
        finally:
            if own:
                connection.close()

    def test_header_ex_keeps_the_connection_with_keep_conn_and_closes_without(self):
        connection = Connection(self.host.port)
        for _ in range(2):
            response = self.get(SUPPORT + "/header-ex?keep=1", connection)
            self.assertEqual(response.status_line, b"HTTP/1.1 201 Made")
            self.assertEqual(response.header(b"X-Ex"), b"1")
            self.assertIsNone(response.header(b"X-Not"), response.raw)
            self.assertIsNone(response.header(b"Connection"))
            self.assertEqual(response.body, b"keep-before=1 header=TRUE second=FALSE/87 "
                             b"keep-after=1 connected=1 in-process=TRUE/0 abortive=TRUE\n")
        response = self.get(SUPPORT + "/header-ex?keep=0", connection)
        self.assertEqual(response.header(b"Connection"), b"close")
        self.assertIn(b" keep-after=0 ", response.body)
        self.assertTrue(connection.closed_by_peer())
        connection.close()

    def test_header_texts_with_cr_lf_or_nul_are_refused_whole(self):
        response = self.get(SUPPORT + "/header-ex-refused")
        self.assertEqual(response.body, b"crlf-status=FALSE/87 nul-header=FALSE/87 "
                         b"lf-value=FALSE/87 unterminated=FALSE/87 null=FALSE/87 good=TRUE\n")
        self.assertEqual(response.status_line, b"HTTP/1.1 200 OK")
        self.assertNotIn(b"X-Evil", response.raw)

    def test_close_connection_ends_the_answer_where_it_was(self):
        connection = Connection(self.host.port)
        connection.send(b"GET " + SUPPORT.encode() + b"/close HTTP/1.1\r\nHost: x\r\n\r\n")
        data = connection.read_to_end()
        connection.close()
        self.assertIn(b"partial\n", data)
        self.assertNotIn(b"never", data)
        self.assertFalse(data.endswith(b"0\r\n\r\n"), data)
        self.host.wait_line(r"close=TRUE write-after=FALSE/64 keep=0 connected=0")

    def test_is_connected_sees_the_client_go(self):
        connection = Connection(self.host.port)
        connection.send(b"GET " + SUPPORT.encode() + b"/wait-disconnect HTTP/1.1\r\nHost: x\r\n\r\n")
        self.host.wait_line(r"waiting for the client to go")
        connection.close()
        self.host.wait_line(r"connected=1 then 0$")

    def test_the_flush_flag_sends_each_write_while_the_extension_runs(self):
        connection = Connection(self.host.port)
        connection.send(b"GET " + SUPPORT.encode() + b"/flush HTTP/1.1\r\nHost: x\r\n\r\n")
        while b"flag=TRUE\n" not in connection.buffer:
            connection._fill()
        self.assertEqual(self.get(SUPPORT + "/release").status, 200)
        while not connection.buffer.endswith(b"0\r\n\r\n"):
            connection._fill()
        self.assertIn(b"\r\nreleased\n", connection.buffer)
        connection.close()

    def test_log_parameters_reach_cs_uri_query_and_unhealthy_is_logged(self):
        response = self.get(SUPPORT + "/log?q=1")
        self.assertEqual(response.body, b"append=TRUE,TRUE huge=FALSE/87 unhealthy=TRUE\n")
        self.host.wait_line(r" GET %s/log q=1\|data\|first\|second " % SUPPORT, stream="stdout")
        self.host.wait_line(r"reports itself unhealthy: disk nearly full$")

    def test_mapping_and_normalising_urls(self):
        body = self.get(SUPPORT + "/map").body.decode("latin-1")
        sep = "\\" if on_windows() else "/"
        ex = re.search(r"^ex=TRUE path=(.*) flags=513 matching=(\d+),0 size=(\d+)$", body, re.M)
        self.assertIsNotNone(ex, body)
        path, matching, size = ex.group(1), int(ex.group(2)), int(ex.group(3))
        suffix = sep + "a b" + sep + "c.txt"
        self.assertTrue(path.endswith(suffix), path)
        self.assertEqual(matching, len(path) - len(suffix))
        self.assertEqual(size, len(path) + 1)
        root = path[:matching]
        wide = re.search(r"^unicode=TRUE hex=([0-9a-f]*) size=(\d+)$", body, re.M)
        self.assertEqual(bytes.fromhex(wide.group(1)).decode("utf-16-le"),
                         root + sep + "\u00e9t\u00e9" + sep + "x\0")
        self.assertEqual(int(wide.group(2)), 2 * (len(root) + 7))
        self.assertIn("unicode-tiny=FALSE/122 needed=%d\n" % (2 * (len(root) + 1)), body)
        wide_ex = re.search(r"^unicode-ex=TRUE hex=([0-9a-f]*) matching=(\d+),0$", body, re.M)
        self.assertEqual(bytes.fromhex(wide_ex.group(1)).decode("utf-16-le"),
                         root + sep + "d\u00e9j\u00e0")
        self.assertEqual(int(wide_ex.group(2)), len(root))
        self.assertIn("climb=FALSE/87\nnormalize=TRUE url=/a/cA/d?x=%41/../\n"
                      "normalize-relative=FALSE/87\nnormalize-above=FALSE/87\n", body)

    def test_send_custom_error_answers_the_hosts_page(self):
        response = self.get(SUPPORT + "/custom-error")
        self.assertEqual(response.status_line, b"HTTP/1.1 404 Not Found")
        self.assertEqual(response.header(b"Content-Type"), b"text/html")
        self.assertIn(b"HTTP Error 404.2", response.body)
        # Asynchronous without a completion function: refused.
        self.host.wait_line(r"custom-error async=FALSE/87 sync=TRUE again=FALSE/87")
        response = self.get(SUPPORT + "/custom-error-async")
        self.assertEqual(response.status_line, b"HTTP/1.1 500 Internal Server Error")
        self.assertIn(b"HTTP Error 500.13", response.body)
        self.host.wait_line(r"custom-error-async bytes=%d error=0" % len(response.body))

    def test_impersonation_token(self):
        body = self.get(SUPPORT + "/token").body
        if on_windows():
            self.assertEqual(body, b"token=TRUE again=TRUE handle=set same impersonates\n")
        else:
            self.assertEqual(body, b"token=FALSE/50 again=FALSE/50 handle=none same\n")
            self.host.wait_line(r"HSE_REQ_GET_IMPERSONATION_TOKEN \(1011\), which this host")

    def test_each_refused_code_answers_50_and_says_so_once(self):
        for _ in range(2):
            body = self.get(SUPPORT + "/refused").body.decode()
            self.assertEqual(body, "".join("%d=FALSE/50,FALSE/50\n" % c for c in REFUSED))
        self.host.wait_line(r"\(%d\), which this host does not support" % REFUSED[-1])
        for code in REFUSED:
            lines = [l for l in self.host.stderr_lines() if "(%d), which this host" % code in l]
            self.assertEqual(len(lines), 1, lines)
            self.assertIn("support_extension", lines[0])
            self.assertTrue(lines[0].endswith("FALSE, error 50 (ERROR_NOT_SUPPORTED)"), lines[0])

    def test_the_dump_lists_every_documented_variable(self):
        target = VARIABLES + "/a/%C3%A9?x=1"
        body = self.get(target, headers=[("X-Test-Header", "hi")]).body.decode("utf-8")
        values = dict(line.split("=", 1) for line in body.splitlines())
        self.assertEqual(len(values), 69, body)  # the whole dump came
        for name, value in values.items():
            if name not in ("UNICODE_HTTP_X_TEST_HEADER", "unicode-small"):
                self.assertFalse(value.startswith("FALSE/"), (name, value))
            self.assertNotIn("SIZE-MISMATCH", value, name)
        expected = {
            "APPL_MD_PATH": "/LM/W3SVC/1/ROOT", "INSTANCE_ID": "1",
            "INSTANCE_META_PATH": "/LM/W3SVC/1", "GATEWAY_INTERFACE": "CGI/1.1", "HTTPS": "off",
            "HTTP_VERSION": "HTTP/1.1", "HTTP_METHOD": "GET", "HTTP_URL": target,
            "UNENCODED_URL": target, "LOCAL_ADDR": "127.0.0.1", "SERVER_ADDR": "127.0.0.1",
            "HEADER_X-Test-Header": "hi", "HEADER_x_test_header": "hi", "AUTH_USER": "",
            "AUTH_PASSWORD": "", "LOGON_USER": "", "UNMAPPED_REMOTE_USER": "", "CERT_FLAGS": "",
            "CERT_SUBJECT": "", "HTTPS_KEYSIZE": "", "URL_PATH_INFO": "/a/\u00e9",
            "CACHE_URL": "http://localhost:%d%s/a/\u00e9" % (self.host.port, VARIABLES),
            "SCRIPT_TRANSLATED": native(ARGS.variables).replace("/", "\\") if on_windows()
            else os.path.abspath(ARGS.variables),
            "UNICODE_HTTP_X_TEST_HEADER": "FALSE/1413",
        }
        for name, value in expected.items():
            self.assertEqual(values[name], value, name)
        self.assertTrue(values["APPL_PHYSICAL_PATH"].endswith("\\" if on_windows() else "/"))
        for name in ("APPL_PHYSICAL_PATH", "PATH_INFO", "PATH_TRANSLATED", "SCRIPT_NAME", "URL",
                     "QUERY_STRING", "CACHE_URL"):
            self.assertEqual(bytes.fromhex(values["UNICODE_" + name]).decode("utf-16-le"),
                             values[name], name)
        self.assertEqual(values["unicode-small"],
                         "FALSE/122 needed=%d" % (2 * len(values["URL"]) + 2))

    def test_the_call_command_shows_the_new_calls(self):
        result = subprocess.run(
            (ARGS.emulator or []) + [ARGS.host, "call", native(ARGS.support), "--path-info",
                                     "/header-ex", "--query", "keep=0"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True, timeout=300)
        calls = json.loads(result.stdout)["calls"]
        header = [c for c in calls if c["arguments"].get("name") ==
                  "HSE_REQ_SEND_RESPONSE_HEADER_EX" and c["result"] == "TRUE"]
        self.assertEqual(header[0]["arguments"]["status"], "201 Made")
        self.assertEqual(header[0]["arguments"]["keep_conn"], 0)
        keep = [c for c in calls if c["arguments"].get("name") == "HSE_REQ_IS_KEEP_CONN"]
        self.assertEqual([c["answers"]["value"] for c in keep], [1, 0])
        self.assertEqual([c for c in calls if c["arguments"].get("request") == 1030][0]["answers"],
                         {"value": 0})


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", action="append",
                        help="the runner and, repeated, its arguments (--emulator=--win64)")
    parser.add_argument("--host", required=True)
    parser.add_argument("--support", required=True)
    parser.add_argument("--variables", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
