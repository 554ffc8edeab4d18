#!/usr/bin/env python3
"""isapi-host's asynchronous I/O end to end: the real host (natively, or the Windows host under
Wine) serving the asynchronous-I/O test extension, driven by curl and raw sockets.

Usage: host_async_e2e.py --host PATH --extension PATH [--emulator RUNNER [--emulator=ARG]...]
                         [unittest arguments]"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_client import Connection, seen_path, start_host  # noqa: E402

ARGS = None
PREFIX = "/scripts/async.dll"


def pattern(size):
    """The test extension's answer of size bytes: byte i is i % 251."""
    block = bytes(range(251))
    return (block * (size // 251 + 1))[:size]


def host_path(path):
    return seen_path(path, bool(ARGS.emulator))


class AsyncHostCase(unittest.TestCase):
    """One host for the class (each start of Wine costs seconds)."""
    extra_args = []

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="isapi-host-async-")
        cls.file = os.path.join(cls.folder, "data.bin")
        cls.data = os.urandom(300000)
        with open(cls.file, "wb") as f:
            f.write(cls.data)
        with open(os.path.join(cls.folder, "hello.txt"), "wb") as f:
            f.write(b"hello static\n")
        command = [ARGS.host, "--listen", "127.0.0.1:0", "--map",
                   "%s=%s" % (PREFIX, host_path(ARGS.extension)), "--root", host_path(cls.folder)]
        cls.host = start_host((ARGS.emulator or []) + command + cls.extra_args)

    @classmethod
    def tearDownClass(cls):
        cls.host.kill()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s%s" % (self.host.port, PREFIX, path)

    def curl(self, path, *args):
        return subprocess.run(["curl", "-s", "--max-time", "120"] + list(args) + [self.url(path)],
                              stdout=subprocess.PIPE, check=True).stdout

    def send_file(self, query):
        return self.curl("/send-file?file=%s&%s" % (host_path(self.file), query))


class AsyncWriteTest(AsyncHostCase):
    def test_chains_of_async_writes_deliver_every_byte_in_order_once_per_operation(self):
        self.assertEqual(self.curl("/write?kib=2048&second=1"), pattern(2048 << 10))
        self.host.wait_line(r"second write while one is pending: FALSE/170")
        self.host.wait_line(r"without a completion: FALSE/87")
        self.host.wait_line(r"async-write ended: bytes=2097152 ops=32 completions=32 error=0 "
                            r"problems=none")
        # Chunked, in odd pieces; and a request whose done-with-session came before its one
        # completion, which must still see the write through.
        self.assertEqual(self.curl("/write?kib=100&piece=7&chunked=1"), pattern(100 << 10))
        self.host.wait_line(r"bytes=102400 ops=15 completions=15 error=0 problems=none")
        connection = Connection(self.host.port)
        response = connection.request("GET", PREFIX + "/write?kib=40&early=1")
        self.assertEqual(response.body, pattern(40 << 10))
        self.assertEqual(connection.request("GET", PREFIX + "/write?kib=1").body, pattern(1024))
        connection.close()
        self.host.wait_line(r"bytes=40960 ops=1 completions=1 error=0 problems=none")
        # HttpExtensionProc waits for its own write's completion: the write moves meanwhile.
        self.assertEqual(self.curl("/wait?kib=1024"), pattern(1 << 20))
        self.host.wait_line(r"waited: cbIO=1048576 error=0")


class BrokenOffWriteTest(AsyncHostCase):
    # Wine 8 does not always complete a send pending on a socket its peer has reset: the write
    # then ends when no byte has moved for the connection timeout, kept short here, and its
    # completion reports the timeout (1460) instead.
    extra_args = ["--connection-timeout", "10"]

    def test_a_client_that_breaks_off_an_async_write_gets_error_995_in_the_completion(self):
        connection = Connection(self.host.port, receive_buffer=4096)
        connection.send(b"GET " + PREFIX.encode() + b"/write?kib=409600 HTTP/1.1\r\nHost: x\r\n\r\n")
        connection.sock.recv(4096)
        connection.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
        connection.close()
        error = "(995|1460)" if ARGS.emulator else "995"
        self.host.wait_line(r"async-write ended: bytes=\d+ ops=\d+ completions=\d+ error=%s "
                            r"problems=none" % error)


class AsyncReadTest(AsyncHostCase):
    def test_uploads_arrive_whole_by_async_reads_framed_by_length_or_chunked(self):
        upload = os.urandom(3 << 20)
        expected = b"read=%d crc=%d error=0 " % (len(upload), zlib.crc32(upload))
        body_file = os.path.join(self.folder, "upload.bin")
        with open(body_file, "wb") as f:
            f.write(upload)
        self.assertIn(expected, self.curl("/read", "--data-binary", "@" + body_file))
        self.assertIn(expected, self.curl("/read", "-H", "Transfer-Encoding: chunked",
                                          "--data-binary", "@" + body_file))
        # A client that sends the body in small pieces.
        connection = Connection(self.host.port)
        slow = os.urandom(256 << 10)
        connection.send(b"POST " + PREFIX.encode() + b"/read HTTP/1.1\r\nHost: x\r\n"
                        b"Content-Length: %d\r\n\r\n" % len(slow))
        for start in range(0, len(slow), 4096):
            connection.send(slow[start:start + 4096])
            time.sleep(0.002)  # the client's pace, not a wait for the host
        response = connection.read_response()
        self.assertIn(b"read=%d crc=%d error=0 " % (len(slow), zlib.crc32(slow)), response.body)
        self.assertIn(b"problems=none", response.body)
        connection.close()

    def test_a_cancelled_read_completes_with_995_and_the_connection_ends(self):
        connection = Connection(self.host.port)
        # The read-ahead is full and the rest never comes: the read waits until it is cancelled.
        connection.send(b"POST " + PREFIX.encode() + b"/read?cancel=1 HTTP/1.1\r\nHost: x\r\n"
                        b"Content-Length: 100000\r\n\r\n" + b"a" * 49152)
        response = connection.read_response()
        self.assertIn(b"read=49152 crc=%d error=995 reads=1 completions=1 problems=none"
                      % zlib.crc32(b"a" * 49152), response.body)
        self.assertTrue(connection.closed_by_peer())
        connection.close()
        self.host.wait_line(r"cancel: TRUE")
        # Closing the connection under the read: the client sees the end at once, the read
        # completes with ERROR_NETNAME_DELETED.
        connection = Connection(self.host.port)
        connection.send(b"POST " + PREFIX.encode() + b"/read?cancel=close HTTP/1.1\r\nHost: x\r\n"
                        b"Content-Length: 100000\r\n\r\n" + b"a" * 49152)
        self.assertTrue(connection.closed_by_peer())
        connection.close()
        self.host.wait_line(r"close: TRUE")
        self.host.wait_line(r"read ended: error=64")


class TransmitFileTest(AsyncHostCase):
    def test_files_go_out_with_head_and_tail_in_every_mode(self):
        whole = b"HEAD" + self.data + b"TAIL"
        for mode in ["headers=1&async=1", "headers=1", "async=1", "", "vector=1&async=1",
                     "vector=1&headers=1", "vector=1"]:
            self.assertEqual(self.send_file("head=HEAD&tail=TAIL&" + mode), whole, mode)
        part = b"<" + self.data[100:1100] + b">"
        self.assertEqual(self.send_file("head=<&tail=>&offset=100&length=1000&size=1002&async=1"),
                         part)
        self.assertEqual(self.send_file("head=<&tail=>&offset=100&length=1000&size=1002&vector=1"
                                        "&headers=1&async=1"), part)
        self.host.wait_line(r"send completed: cbIO=300008 error=0 problems=none")
        self.host.wait_line(r"send completed: cbIO=1002 error=0 problems=none")

    def test_the_connection_goes_on_unless_disconnect_after_send_and_refusals(self):
        connection = Connection(self.host.port)
        target = PREFIX + "/send-file?file=%s&size=300000" % host_path(self.file)
        self.assertEqual(connection.request("GET", target + "&headers=1&async=1").body, self.data)
        response = connection.request("GET", target + "&headers=1&async=1&close=1")
        self.assertEqual(response.body, self.data)
        self.assertEqual(response.header(b"Connection"), b"close")
        self.assertTrue(connection.closed_by_peer())
        connection.close()
        report = self.curl("/refusals?file=" + host_path(self.file))
        self.assertEqual(report, b"read-without-callback=FALSE/87\ntransmit-without-callback="
                         b"FALSE/87\noffset-past-the-end=FALSE/10022\nno-file=FALSE/87\n"
                         b"read-not-async=FALSE/87\ncancel-nothing=TRUE\n")


class ChildRequestTest(AsyncHostCase):
    def test_send_url_and_exec_url_answer_with_a_static_file_or_another_extension(self):
        connection = Connection(self.host.port)
        for target in ["/send-url?url=/hello.txt", "/exec?url=/hello.txt",
                       "/exec?unicode=1&url=/hello.txt"]:
            response = connection.request("GET", PREFIX + target)
            self.assertEqual((response.status, response.header(b"Content-Type"), response.body),
                             (200, b"text/plain", b"hello static\n"), target)
        self.assertEqual(connection.request("GET", PREFIX + "/exec?url=" + PREFIX +
                                            "/write?kib=3").body, pattern(3072))
        # The parent's headers and bytes around the child's body, framed by the parent.
        response = connection.request("GET", PREFIX + "/exec?noheaders=1&url=" + PREFIX +
                                      "/write?kib=2&chunked=1")
        self.assertEqual(response.body, b"before|" + pattern(2048) + b"|after")
        self.assertEqual(connection.request("GET", PREFIX + "/exec?url=/missing.txt").status, 404)
        connection.close()
        self.host.wait_line(r"send-url /hello.txt: TRUE status=200")
        self.host.wait_line(r"exec completed: /hello.txt cbIO=0 error=0 status=TRUE/200/0$",
                            count=2)
        self.host.wait_line(r"exec completed: /missing.txt cbIO=0 error=0 status=TRUE/404/0")

    def test_after_a_childs_complete_answer_the_parent_sends_nothing(self):
        connection = Connection(self.host.port)
        for target in ["/send-url?after=1&url=/hello.txt", "/exec?after=1&url=/hello.txt",
                       "/send-url?url=/hello.txt"]:
            response = connection.request("GET", PREFIX + target)
            self.assertEqual((response.status_line, response.body),
                             (b"HTTP/1.1 200 OK", b"hello static\n"), target)
        connection.close()
        reports = self.host.wait_line(r"after the child: ", count=2)
        refused = "write=FALSE/87 header=FALSE/87 header-ex=FALSE/87 redirect=FALSE/87"
        self.assertEqual([r.split("after the child: ")[1] for r in reports], [refused] * 2)
        # One line of the host's for each parent, however many of its calls were refused.
        self.assertEqual(len([l for l in self.host.stderr_lines()
                              if l.startswith("isapi-host:") and "child request's answer" in l]), 2)

    def test_a_cancelled_child_completes_with_995_and_its_cancel_ends_with_it(self):
        # The child waits until its parent has cancelled it. curl asks for the next answer on the
        # same connection when it stays open; either way it must come whole.
        following = os.path.join(self.folder, "following.bin")
        subprocess.run(["curl", "-s", "--max-time", "120",
                        "-o", os.devnull,
                        self.url("/exec?cancel=1&url=%s/held?for=cancel" % PREFIX),
                        "-o", following, self.url("/wait?kib=8192")], check=False)
        with open(following, "rb") as f:
            self.assertTrue(f.read() == pattern(8 << 20), "the following answer was cut")
        self.host.wait_line(r"exec cancel: TRUE")
        completed = self.host.wait_line(r"exec completed: \S*/held\?for=cancel ")[0]
        self.assertIn(" cbIO=0 error=995 ", completed)

    def test_done_with_session_during_send_url_ends_the_request_with_its_child(self):
        connection = Connection(self.host.port)
        connection.send(b"GET %s/send-url?park=1&url=%s/held?for=done HTTP/1.1\r\nHost: x\r\n\r\n"
                        % (PREFIX.encode(), PREFIX.encode()))
        self.host.wait_line(r"child held: for=done")
        self.assertEqual(self.curl("/release"), b"released\n")
        self.assertEqual(connection.read_response().body, b"held child\n")
        # The parent has ended with its child: the connection serves the next request.
        self.assertEqual(connection.request("GET", PREFIX + "/send-url?url=/hello.txt").body,
                         b"hello static\n")
        connection.close()
        self.host.wait_line(r"done while the child runs: TRUE")


class ChildTimeLimitTest(AsyncHostCase):
    extra_args = ["--pending-timeout", "1"]

    def test_the_pending_time_limit_ends_a_request_whose_child_still_runs(self):
        connection = Connection(self.host.port)
        response = connection.request("GET", PREFIX + "/send-url?thread=1&url=%s/forever" % PREFIX)
        self.assertEqual(response.status, 500)
        self.assertIn(b"did not complete the pending request", response.body)
        self.assertTrue(connection.closed_by_peer())
        connection.close()
        self.host.wait_line(r"send-url \S*/forever from a thread: FALSE/995")


class CallTranscriptTest(unittest.TestCase):
    def test_call_prints_each_completion_between_the_calls_around_it(self):
        if ARGS.emulator:
            self.skipTest("the transcript is the same host code; checked natively")
        result = subprocess.run([ARGS.host, "call", ARGS.extension, "--path-info", "/write",
                                 "--query", "kib=2&piece=1"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60, check=True)
        calls = json.loads(result.stdout)["calls"]
        sequence = [(c["function"], c["arguments"].get("request"), c["arguments"].get("cbIO"))
                    for c in calls
                    if c.get("result") != "FALSE" and c["function"] != "HttpExtensionProc"]
        self.assertEqual(sequence, [
            ("ServerSupportFunction", 3, None), ("ServerSupportFunction", 1005, None),
            ("WriteClient", None, None), ("IoCompletion", None, 1024), ("WriteClient", None, None),
            ("IoCompletion", None, 1024), ("ServerSupportFunction", 4, None),
            ("TerminateExtension", None, None)])
        self.assertEqual([c["arguments"]["dwError"] for c in calls
                          if c["function"] == "IoCompletion"], [0, 0])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--extension", required=True)
    parser.add_argument("--emulator", action="append",
                        help="a runner (Wine) and, repeated, its arguments")
    ARGS, rest = parser.parse_known_args()
    ARGS.host = os.path.abspath(ARGS.host)
    ARGS.extension = os.path.abspath(ARGS.extension)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
