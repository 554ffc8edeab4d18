#!/usr/bin/env python3
"""isapi-host's threads by role, end to end: extension calls that block for good, clients that
never read, and a storm of child requests must not stall the host, and Ctrl-C must end it within
its shutdown timeout whatever the extension does. The real host serves the asynchronous-I/O test
extension (on Linux, or with --emulator the Windows host under Wine); the clients are raw
sockets on loopback.

Each case prints the times it measured. They are bounds only with --time-bounds, which
bench/http/stall passes on a release build: a sanitizer's build on a loaded machine is slower
than any bound a user would keep; what it must still show is that nothing stalls for good.

Usage: host_threads_e2e.py --host PATH --extension PATH [--emulator RUNNER [--emulator=ARG]...]
                           [--rss-bound-mib N] [--time-bounds] [unittest arguments]"""

import argparse
import os
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_client import Connection, seen_path, start_host, wait_servers_blocked  # noqa: E402

ARGS = None
PREFIX = "/scripts/async.dll"
MAX_THREADS = 64


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def process_status(pid):
    """The host's thread count and resident memory in KiB, from /proc (under Wine, the Windows
    process's threads are the Linux process's)."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.split()
    return int(fields["Threads"][0]), int(fields["VmRSS"][0])


class ThreadsCase(unittest.TestCase):
    host_args = []
    launcher = []  # what runs the host, e.g. nice

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="isapi-host-threads-")
        with open(os.path.join(self.folder, "hello.txt"), "wb") as f:
            f.write(b"hello static\n")
        emulated = bool(ARGS.emulator)
        self.host = start_host(self.launcher + (ARGS.emulator or []) +
                               [ARGS.host, "--listen", "127.0.0.1:0", "--map",
                                "%s=%s" % (PREFIX, seen_path(ARGS.extension, emulated)),
                                "--root", seen_path(self.folder, emulated)] + self.host_args)
        self.connections = []

    def tearDown(self):
        for connection in self.connections:
            connection.close()
        self.host.kill()
        shutil.rmtree(self.folder, ignore_errors=True)

    def connect(self, **kwargs):
        connection = Connection(self.host.port, **kwargs)
        self.connections.append(connection)
        return connection

    def assertWithin(self, seconds, bound, what):
        """Prints the time something took; a failure only with --time-bounds."""
        print("measured: %s in %.3f s (bound %.3g s)" % (what, seconds, bound), file=sys.stderr)
        if ARGS.time_bounds:
            self.assertLess(seconds, bound, what)

    def timed_get(self, target, timeout=900):
        """One request on a fresh connection: the response and the seconds it took. Slow is
        measured, not failed: an emulated machine behind a storm takes minutes."""
        connection = self.connect(timeout=timeout)
        started = time.monotonic()
        response = connection.request("GET", target)
        return response, time.monotonic() - started


class HeldCallsTest(ThreadsCase):
    SHUTDOWN_TIMEOUT = 2
    host_args = ["--max-threads", str(MAX_THREADS), "--queue-length", "100",
                 "--shutdown-timeout", str(SHUTDOWN_TIMEOUT)]

    def test_calls_held_for_good_fill_the_places_and_the_queue_and_the_rest_get_503(self):
        held = [self.connect() for _ in range(200)]
        for connection in held:
            connection.send(b"GET " + PREFIX.encode() + b"/stuck HTTP/1.1\r\nHost: x\r\n\r\n")
        started = time.monotonic()
        self.host.wait_line(r"^extension: stuck$", count=MAX_THREADS, timeout=600)
        # Past the places and the queue, the answer comes at once: 36 of the 200 are refused. An
        # emulated machine under load takes a minute over the 200 requests: what must not happen
        # is that refusals stop coming, so the wait fails once a minute passes without one.
        refused = set()
        last = time.monotonic()
        while len(refused) < 36 and time.monotonic() - last < 60:
            ready, _, _ = select.select([c.sock for c in held if c not in refused], [], [], 1)
            if ready:
                last = time.monotonic()
            refused |= {c for c in held if c.sock in ready}
        print("measured: every place held and the rest refused in %.1f s" %
              (time.monotonic() - started), file=sys.stderr)
        self.assertEqual(len(refused), 36, self.host.stderr_lines()[-10:])
        for connection in refused:
            self.assertEqual(connection.read_response().status, 503)
        # Static files go on, and no call beyond the places has started.
        response, seconds = self.timed_get("/hello.txt")
        self.assertEqual((response.status, response.body), (200, b"hello static\n"))
        self.assertWithin(seconds, 1.0, "a static file while every place and the queue are held")
        self.assertEqual(len(self.host.wait_line(r"^extension: stuck$")), MAX_THREADS)
        waiting = [c for c in held if c not in refused]
        self.assertEqual(select.select([c.sock for c in waiting], [], [], 0)[0], [])

        # Ctrl-C: every held client gets the 503 page, and the process ends in time, saying how
        # many calls it abandoned, without terminating the extension they are inside.
        started = time.monotonic()
        self.host.process.send_signal(signal.SIGINT)
        code = self.host.wait_exit(timeout=self.SHUTDOWN_TIMEOUT + 30)
        self.assertWithin(time.monotonic() - started, self.SHUTDOWN_TIMEOUT + 5,
                          "the end of the process after Ctrl-C")
        self.assertNotEqual(code, 0)
        lines = self.host.stderr_lines()
        # A machine too loaded to send every page before the shutdown's deadline (an emulated
        # one) ends there, and the clients it had not reached see their connection end instead.
        cut = any("the deadline has passed" in l for l in lines)
        for connection in waiting:
            try:
                response = connection.read_response()
            except (EOFError, ConnectionResetError):
                if not cut:
                    raise
                continue
            self.assertEqual(response.status_line, b"HTTP/1.1 503 Service Unavailable")
        self.assertTrue(any("64 requests were still inside an extension" in l for l in lines),
                        lines[-10:])
        self.assertTrue(any("TerminateExtension not called" in l and "64 threads" in l
                            for l in lines), lines[-10:])
        self.assertFalse(any("TerminateExtension(HSE_TERM_MUST_UNLOAD) called" in l
                             for l in lines))


class SlowReadersTest(ThreadsCase):
    CLIENTS = 1000
    host_args = ["--max-threads", str(MAX_THREADS), "--max-connections", "1100"]

    def setUp(self):
        if raise_descriptor_limit() < self.CLIENTS + 200:
            self.skipTest("the descriptor limit holds fewer than %d connections" % self.CLIENTS)
        super().setUp()

    def test_clients_that_never_read_an_asynchronous_answer_hold_no_thread(self):
        # The I/O threads are what an idle host runs once it has served a file: the loops', their
        # watcher, the main thread and whatever the build adds (a sanitizer's own thread).
        response, _ = self.timed_get("/hello.txt")
        self.assertEqual(response.status, 200)
        io_threads, _ = process_status(self.host.process.pid)
        readers = []
        for _ in range(self.CLIENTS):
            connection = self.connect(receive_buffer=4096)
            connection.send(b"GET " + PREFIX.encode() + b"/write?kib=1024 HTTP/1.1\r\n"
                            b"Host: x\r\n\r\n")
            readers.append(connection)
        wait_servers_blocked(readers, timeout=120)
        threads, rss_kib = process_status(self.host.process.pid)
        print("measured: %d threads (bound %d) and %d MiB resident among %d clients that do not "
              "read" % (threads, MAX_THREADS + io_threads, rss_kib // 1024, self.CLIENTS),
              file=sys.stderr)
        self.assertLessEqual(threads, MAX_THREADS + io_threads)
        if ARGS.rss_bound_mib is not None:
            self.assertLess(rss_kib, ARGS.rss_bound_mib * 1024)
        response, seconds = self.timed_get(PREFIX + "/write?kib=1")
        self.assertEqual((response.status, len(response.body)), (200, 1024))
        self.assertWithin(seconds, 0.1, "an asynchronous answer among clients that do not read")

    def test_clients_that_never_read_a_childs_answer_hold_no_thread(self):
        # EXEC_URL's child answers with a static file or with an extension's asynchronous
        # writes; more such clients than threads must leave the extension's calls free.
        with open(os.path.join(self.folder, "big.bin"), "wb") as f:
            f.write(os.urandom(1 << 20))
        response, _ = self.timed_get("/hello.txt")
        io_threads, _ = process_status(self.host.process.pid)
        readers = []
        for index in range(3 * MAX_THREADS):
            child = "/big.bin" if index % 2 else PREFIX + "/write?kib=1024"
            connection = self.connect(receive_buffer=4096)
            connection.send(("GET %s/exec?url=%s HTTP/1.1\r\nHost: x\r\n\r\n" %
                             (PREFIX, child)).encode())
            readers.append(connection)
        wait_servers_blocked(readers, timeout=120)
        threads, _ = process_status(self.host.process.pid)
        print("measured: %d threads (bound %d) among %d clients that do not read a child's "
              "answer" % (threads, MAX_THREADS + io_threads, len(readers)), file=sys.stderr)
        self.assertLessEqual(threads, MAX_THREADS + io_threads)
        response, seconds = self.timed_get(PREFIX + "/write?kib=1", timeout=60)
        self.assertEqual((response.status, len(response.body)), (200, 1024))
        self.assertWithin(seconds, 0.1, "an asynchronous answer among clients that do not read "
                          "a child's answer")


class ChildStormTest(ThreadsCase):
    REQUESTS = 200
    host_args = ["--max-threads", str(MAX_THREADS)]

    def test_requests_that_execute_themselves_are_all_answered_and_others_go_on(self):
        answers = {}
        started = threading.Barrier(self.REQUESTS + 1)

        def run(index):
            # An emulated 32-bit machine takes minutes over the storm: what must not happen is
            # that answers stop coming, which the wait below checks.
            connection = Connection(self.host.port, timeout=900)
            try:
                started.wait()
                begun = time.monotonic()
                response = connection.request("GET", PREFIX + "/exec")
                answers[index] = (response.status, time.monotonic() - begun)
            finally:
                connection.close()

        workers = [threading.Thread(target=run, args=(i,)) for i in range(self.REQUESTS)]
        for worker in workers:
            worker.start()
        started.wait()
        response, seconds = self.timed_get("/hello.txt")
        self.assertEqual(response.status, 200)
        self.assertWithin(seconds, 1.0, "a static file during the storm")
        response, seconds = self.timed_get(PREFIX + "/write?kib=1")
        self.assertEqual((response.status, len(response.body)), (200, 1024))
        self.assertWithin(seconds, 1.0, "an asynchronous answer during the storm")
        # Fails once a minute passes without an answer.
        answered = -1
        while len(answers) > answered and len(answers) < self.REQUESTS:
            answered = len(answers)
            deadline = time.monotonic() + 60
            while len(answers) == answered and time.monotonic() < deadline:
                time.sleep(0.1)
        self.assertEqual(len(answers), self.REQUESTS)
        for worker in workers:
            worker.join()
        # The innermost child, at the depth limit, is refused and answers 500: that answer is
        # the whole answer of every level above it.
        self.assertEqual({status for status, _ in answers.values()}, {500})
        self.assertWithin(max(seconds for _, seconds in answers.values()), 5.0,
                          "the slowest of the self-executing requests")


class ThreadShortageTest(ThreadsCase):
    """The system gives the host no more threads (its address space is nearly used up): calls
    that hold the threads it has must not end it, and Ctrl-C still does."""
    SHUTDOWN_TIMEOUT = 2
    host_args = ["--max-threads", str(MAX_THREADS), "--shutdown-timeout", str(SHUTDOWN_TIMEOUT)]

    def test_a_host_given_no_more_threads_goes_on_with_those_it_has(self):
        pid = self.host.process.pid
        with open("/proc/%d/status" % pid) as f:
            size_kib = int(next(l for l in f if l.startswith("VmSize:")).split()[1])
        # Room for a few more thread stacks (8 MiB each by default), not for 64.
        limit = (size_kib + 48 * 1024) * 1024
        subprocess.run(["prlimit", "--pid", str(pid), "--as=%d:%d" % (limit, limit)], check=True)
        held = [self.connect() for _ in range(16)]
        for connection in held:
            connection.send(b"GET " + PREFIX.encode() + b"/stuck HTTP/1.1\r\nHost: x\r\n\r\n")
        self.host.wait_line(r"no thread can be started", timeout=120)
        self.assertIsNone(self.host.process.poll(), "the host ended")
        self.assertLess(len(self.host.wait_line(r"^extension: stuck$")), len(held))

        self.host.process.send_signal(signal.SIGINT)
        code = self.host.wait_exit(timeout=self.SHUTDOWN_TIMEOUT + 30)
        self.assertNotEqual(code, 0)  # calls were abandoned
        lines = self.host.stderr_lines()
        self.assertFalse(any("terminate called" in l for l in lines), lines[-10:])
        self.assertTrue(any("still inside an extension" in l for l in lines), lines[-10:])


class LoopTurnsTest(ThreadsCase):
    """On Linux 6.12 and later a thread may ask for a short slice: the network loop does, so that
    a request it hands to an extension's thread, or answers for one, does not wait behind another
    thread's whole slice. A host started with a lower priority keeps it on every thread."""
    launcher = ["nice", "-n", "3"]

    def test_the_loop_asks_for_short_turns_and_every_thread_keeps_its_priority(self):
        # An answer comes from a loop that runs: its thread has asked by then.
        self.assertEqual(self.timed_get("/hello.txt")[0].status, 200)
        tasks = "/proc/%d/task" % self.host.process.pid
        slices = []
        for tid in os.listdir(tasks):
            with open("%s/%s/stat" % (tasks, tid)) as f:
                self.assertEqual(int(f.read().rpartition(")")[2].split()[16]), 3, "nice of " + tid)
            if os.path.exists("%s/%s/sched" % (tasks, tid)):
                with open("%s/%s/sched" % (tasks, tid)) as f:
                    slices += [int(l.split(":")[1]) for l in f if l.startswith("se.slice")]
        kernel = tuple(int(part) for part in os.uname().release.split(".")[:2])
        if kernel >= (6, 12) and slices:
            self.assertIn(100000, slices)  # nanoseconds, the least Linux grants


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--extension", required=True)
    parser.add_argument("--emulator", action="append",
                        help="runs the host through this program (Wine), with its arguments")
    parser.add_argument("--rss-bound-mib", type=int,
                        help="the host's resident memory bound among the slow readers")
    parser.add_argument("--time-bounds", action="store_true",
                        help="fail when a measured time passes its bound (release builds)")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
