"""Starting isapi-host on port 0 and talking to it: a raw-socket HTTP client that keeps every
byte as sent and received, and a process wrapper that waits on output lines, never on time."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time


# Wine's report of a heap call given a block that is not one, or a block written after it was
# freed (warn+heap, which cmake/wine-run turns on).
WINE_HEAP_REPORT = re.compile(r"^[0-9a-f]+:(warn|err):heap:")


class HostProcess:
    """A running isapi-host; its stdout and stderr are collected line by line."""

    def __init__(self, command, env=None, cwd=None, merge_output=False, preexec_fn=None):
        """merge_output sends stderr into the stdout pipe: one stream whose lines keep the order
        in which the host wrote them (its access log on stdout, its diagnostics on stderr)."""
        self.command = command
        self.merged = merge_output
        self.process = subprocess.Popen(
            command, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT if merge_output else subprocess.PIPE, env=env, cwd=cwd,
            preexec_fn=preexec_fn)
        self.changed = threading.Condition()
        self.heap_reports = []
        if merge_output:
            merged = []
            self.lines = {"stdout": merged, "stderr": merged}
            self.readers = [threading.Thread(
                target=self._read, args=(self.process.stdout, "stdout"), daemon=True)]
        else:
            self.lines = {"stdout": [], "stderr": []}
            self.readers = [
                threading.Thread(target=self._read, args=(self.process.stdout, "stdout"),
                                 daemon=True),
                threading.Thread(target=self._read, args=(self.process.stderr, "stderr"),
                                 daemon=True),
            ]
        for reader in self.readers:
            reader.start()
        self.port = None

    def _read(self, stream, name):
        for raw in iter(stream.readline, b""):
            line = raw.decode("latin-1").rstrip("\r\n")
            with self.changed:
                # Wine's heap reports are no lines of the host's; they fail it once it ends.
                if WINE_HEAP_REPORT.search(line):
                    self.heap_reports.append(line)
                    continue
                self.lines[name].append(line)
                self.changed.notify_all()
        with self.changed:
            self.lines[name].append(None)  # end of stream
            self.changed.notify_all()

    def wait_line(self, pattern, stream="stderr", count=1, timeout=60):
        """Waits until count lines of the stream match the pattern; answers the matches."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                matches = [l for l in self.lines[stream] if l is not None and regex.search(l)]
                if len(matches) >= count:
                    return matches
                if None in self.lines[stream]:
                    raise AssertionError("%s ended without %r; it said: %s" % (
                        stream, pattern, self.output()))
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError("no %r on %s; it said: %s\n%s" % (
                        pattern, stream, self.output(), self.stacks()))
                self.changed.wait(remaining)

    def wait_listening(self, timeout=60):
        line = self.wait_line(r"^listening on http://", stream="stdout", timeout=timeout)[0]
        self.first_line = line
        self.port = int(re.search(r"^listening on http://[^ ]*:(\d+)/", line).group(1))
        return line

    def wait_listening_tls(self, timeout=60):
        """The HTTPS listener's line (its certificate and fingerprint); sets tls_port."""
        line = self.wait_line(r"^listening on https://", stream="stdout", timeout=timeout)[0]
        self.tls_port = int(re.search(r"^listening on https://[^ ]*:(\d+)/", line).group(1))
        return line

    def output(self):
        with self.changed:
            names = ("stdout",) if self.merged else ("stdout", "stderr")
            return "\n".join(
                "[%s] %s" % (name, line)
                for name in names for line in self.lines[name] if line is not None)

    def stacks(self):
        """Where each thread of a host that seems stuck is waiting (gdb's backtraces), so that
        a failure seen once on a busy machine says more than its timeout."""
        if self.process.poll() is not None or not shutil.which("gdb"):
            return ""
        result = subprocess.run(
            ["gdb", "-p", str(self.process.pid), "-batch", "-ex", "thread apply all bt 12"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120, check=False)
        frames = [l for l in result.stdout.decode("latin-1").splitlines()
                  if l.startswith(("Thread ", "#"))]
        return "its threads:\n" + "\n".join(frames[:400])

    def stderr_lines(self):
        with self.changed:
            return [l for l in self.lines["stderr"] if l is not None]

    def terminate(self, sig=signal.SIGTERM, timeout=60):
        """Sends the signal and waits for the exit; answers the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        code = self.process.wait(timeout)
        self._close()
        self._check_heap()
        return code

    def wait_exit(self, timeout=60):
        """Waits for the process to end by itself; answers the exit status."""
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the host did not exit in %d s; it said: %s\n%s" % (
                timeout, self.output(), self.stacks())) from None
        self._close()
        self._check_heap()
        return code

    def kill(self):
        """Ends the host; one that had already failed on its own (a crash, a sanitizer's report)
        shows its status and the end of its stderr, so that the failure it caused says why."""
        if self.process.poll() is None and self._crashed_under_wine():
            # Wine's debugger is printing the crash's registers and backtrace (on stdout); it
            # ends the process when done.
            try:
                self.process.wait(60)
            except subprocess.TimeoutExpired:
                pass
        ended_itself = self.process.poll() is not None
        if not ended_itself:
            self.process.kill()
            self.process.wait()
        self._close()
        if ended_itself and self.process.returncode != 0:
            self._report_failed_exit()
        self._check_heap()

    def _report_failed_exit(self):
        with self.changed:
            tail = [line for line in self.lines["stderr"] if line is not None][-100:]
        print("the host had ended on its own with status %d; its stderr ended with:\n%s"
              % (self.process.returncode, "\n".join(tail)), file=sys.stderr)
        if self._crashed_under_wine():
            with self.changed:
                report = [line for line in self.lines["stdout"] if line is not None]
            # The registers, the stack and the backtrace; the lists of modules and of every
            # thread of the machine that follow would crowd them out of a clipped log.
            end = next((i for i, line in enumerate(report) if line.startswith("Modules:")),
                       len(report))
            print("Wine's debugger (on stdout):\n%s" % "\n".join(report[:end][-150:]),
                  file=sys.stderr)

    def _check_heap(self):
        """Called once the readers have ended: every report is in."""
        reports = self.heap_reports
        if reports:
            raise AssertionError("Wine saw the host free or touch memory that was no block of "
                                 "its heap (%d times):\n%s" % (len(reports), "\n".join(reports[:20])))

    def _crashed_under_wine(self):
        with self.changed:
            return any(line is not None and line.startswith("wine: Unhandled ")
                       for line in self.lines["stderr"])

    def _close(self):
        for reader in self.readers:
            reader.join(60)
        self.process.stdout.close()
        if self.process.stderr is not None:
            self.process.stderr.close()


def start_host(command, timeout=300, **options):
    """Starts a host (options as HostProcess takes them) and waits for its listening line
    (Wine's first start in a fresh prefix takes a while); a host that does not get there is
    killed."""
    host = HostProcess(command, **options)
    try:
        host.wait_listening(timeout=timeout)
    except BaseException:
        host.kill()
        raise
    return host


def seen_path(path, emulated):
    """A path as the host sees it: Wine sees the Linux file system as drive Z:."""
    return "Z:" + os.path.abspath(path) if emulated else path


class Response:
    def __init__(self, status_line, headers, body, raw):
        self.status_line = status_line
        self.headers = headers  # [(name bytes, value bytes)] in order
        self.body = body
        self.raw = raw
        self.status = int(status_line.split(b" ")[1])

    def header(self, name):
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return values[0] if values else None

    def header_names(self):
        return [n.lower() for n, _ in self.headers]


def make_certificate(folder):
    """A self-signed certificate for localhost and 127.0.0.1 (openssl): answers its files."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-addext",
                    "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def wait_servers_blocked(connections, timeout=60):
    """Waits until the server's side of each connection holds bytes that its client has no room
    for (Linux, IPv4). One reading of the kernel's table a round serves every connection: with a
    thousand of them, reading it once for each would take longer than the server. Slow is not
    failed (an emulated machine under load takes minutes over a thousand): the wait fails once
    timeout seconds pass in which no further connection got there."""
    waiting = {(c.sock.getpeername()[1], c.sock.getsockname()[1]) for c in connections}
    deadline = time.monotonic() + timeout
    left = len(waiting)
    while True:
        with open("/proc/net/tcp") as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if int(fields[4].split(":")[0], 16) >= 8192:
                    waiting.discard((int(fields[1].split(":")[1], 16),
                                     int(fields[2].split(":")[1], 16)))
        if not waiting:
            return
        if len(waiting) < left:
            left = len(waiting)
            deadline = time.monotonic() + timeout
        if time.monotonic() > deadline:
            raise AssertionError("the server never waited for %d of its clients to read"
                                 % len(waiting))
        time.sleep(0.01)


class Connection:
    """One TCP connection; requests are written as raw bytes."""

    def __init__(self, port, host="127.0.0.1", timeout=60, receive_buffer=None):
        """receive_buffer makes the client's window small, so that a client that does not read
        soon leaves the server with bytes it cannot send."""
        if receive_buffer is None:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        else:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
            self.sock.settimeout(timeout)
            self.sock.connect((host, port))
        self.buffer = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def request(self, method, target, headers=(), body=b"", version=b"HTTP/1.1"):
        lines = [b"%s %s %s" % (_b(method), _b(target), version)]
        names = [_b(n).lower() for n, _ in headers]
        if b"host" not in names:
            lines.append(b"Host: localhost")
        for name, value in headers:
            lines.append(_b(name) + b": " + _b(value))
        if body and b"content-length" not in names and b"transfer-encoding" not in names:
            lines.append(b"Content-Length: %d" % len(body))
        self.send(b"\r\n".join(lines) + b"\r\n\r\n" + body)
        return self.read_response(head_only=_b(method) == b"HEAD")

    def _fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError("connection closed")
        self.buffer += data

    def _take_line(self):
        while b"\r\n" not in self.buffer:
            self._fill()
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def _take(self, count):
        while len(self.buffer) < count:
            self._fill()
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def read_response(self, head_only=False):
        raw_start = len(self.buffer)
        status_line = self._take_line()
        headers = []
        while True:
            line = self._take_line()
            if not line:
                break
            name, _, value = line.partition(b":")
            headers.append((name, value.strip(b" \t")))
        lookup = {n.lower(): v for n, v in headers}
        status = int(status_line.split(b" ")[1])
        body = b""
        if head_only or status in (204, 304) or 100 <= status < 200:
            pass
        elif lookup.get(b"transfer-encoding", b"").lower() == b"chunked":
            while True:
                size = int(self._take_line().split(b";")[0], 16)
                if size == 0:
                    self._take_line()
                    break
                body += self._take(size)
                self._take(2)
        elif b"content-length" in lookup:
            body = self._take(int(lookup[b"content-length"]))
        else:
            body = self.read_to_end()
        del raw_start
        raw = status_line + b"\r\n" + b"".join(n + b": " + v + b"\r\n" for n, v in headers)
        return Response(status_line, headers, body, raw + b"\r\n" + body)

    def wait_server_blocked(self, timeout=60):
        """Waits until the server's side of this connection holds bytes that the client has no
        room for: the server is waiting for the client to read (Linux, IPv4)."""
        wait_servers_blocked([self], timeout)

    def read_to_end(self):
        data = self.buffer
        self.buffer = b""
        while True:
            chunk = self.sock.recv(65536)
            if not chunk:
                return data
            data += chunk

    def closed_by_peer(self):
        """Whether the server closed the connection (reading yields end of stream)."""
        try:
            return self.sock.recv(1) == b"" and not self.buffer
        except ConnectionResetError:
            return True


def _b(text):
    return text if isinstance(text, bytes) else text.encode("latin-1")
