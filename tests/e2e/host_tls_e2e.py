#!/usr/bin/env python3
"""isapi-host's HTTPS listener end to end: the real host with a certificate the test makes
(openssl), curl as the client, and raw sockets for the clients that never finish a handshake.
Every way an extension's bytes move (synchronous and asynchronous writes and reads, a child
request) goes through the TLS session; the plain listener beside it goes on as before.

Usage: host_tls_e2e.py --host PATH --async-extension PATH --test-extension PATH
                       --variables PATH --support PATH [--rss-bound-mib N] [unittest arguments]"""

import argparse
import os
import re
import resource
import select
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_client import make_certificate, start_host  # noqa: E402

ARGS = None


def pattern(size):
    """The asynchronous test extension's answer of size bytes: byte i is i % 251."""
    block = bytes(range(251))
    return (block * (size // 251 + 1))[:size]


def big_answer(mib):
    """The synchronous test extension's answer: write k of 64 KiB starts at byte k % 251."""
    block = bytes(range(251)) * 263
    return b"".join(block[k % 251:k % 251 + 65536] for k in range(mib * 16))


class TlsHostCase(unittest.TestCase):
    extra_args = []

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="isapi-host-tls-")
        cls.cert, cls.key = make_certificate(cls.folder)
        with open(os.path.join(cls.folder, "hello.txt"), "wb") as f:
            f.write(b"hello over tls\n")
        cls.host = start_host([ARGS.host, "--listen", "127.0.0.1:0",
                               "--listen-tls", "127.0.0.1:0", "--cert", cls.cert, "--key", cls.key,
                               "--map", "/scripts/async.dll=" + ARGS.async_extension,
                               "--map", "/scripts/test.dll=" + ARGS.test_extension,
                               "--root", cls.folder] + cls.extra_args)
        line = cls.host.wait_listening_tls()
        cls.tls_port = cls.host.tls_port
        fingerprint = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256",
                                      "-in", cls.cert], check=True, capture_output=True,
                                     text=True).stdout.strip().split("=", 1)[1]
        cls.printed_fingerprint = fingerprint in line

    @classmethod
    def tearDownClass(cls):
        cls.host.kill()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def curl(self, path, *args, tls=True):
        base = ("https://localhost:%d" % self.tls_port if tls
                else "http://127.0.0.1:%d" % self.host.port)
        result = subprocess.run(["curl", "-sS", "--max-time", "60", "--cacert", self.cert] +
                                list(args) + [base + path], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr + self.host.output().encode())
        return result.stdout


class ExchangeTest(TlsHostCase):
    def test_every_way_an_answer_and_a_body_move_goes_through_the_session(self):
        self.assertTrue(self.printed_fingerprint, "the listening line names the fingerprint")
        self.assertEqual(self.curl("/hello.txt"), b"hello over tls\n")
        self.assertEqual(self.curl("/hello.txt", tls=False), b"hello over tls\n")
        # Synchronous writes of 64 KiB, asynchronous writes, a child answered by a static file.
        self.assertEqual(self.curl("/scripts/test.dll/big?mb=3"), big_answer(3))
        self.assertEqual(self.curl("/scripts/async.dll/write?kib=2048"), pattern(2048 << 10))
        self.assertEqual(self.curl("/scripts/async.dll/exec?url=/hello.txt"),
                         b"hello over tls\n")
        # Bodies read synchronously and asynchronously, larger than a TLS record.
        upload = os.urandom(3 << 20)
        body_file = os.path.join(self.folder, "upload.bin")
        with open(body_file, "wb") as f:
            f.write(upload)
        self.assertIn(b"read=%d crc=%d error=0 " % (len(upload), zlib.crc32(upload)),
                      self.curl("/scripts/async.dll/read", "--data-binary", "@" + body_file))
        self.assertIn(b"read=%d reads=" % len(upload),
                      self.curl("/scripts/test.dll/body", "--data-binary", "@" + body_file))
        # The variables that tell an HTTPS request from a plain one.
        self.assertIn(b"var.HTTPS=on\n", self.curl("/scripts/test.dll/vars"))
        self.assertIn(b"var.SERVER_PORT_SECURE=1\n", self.curl("/scripts/test.dll/vars"))
        self.assertIn(b"var.HTTPS=off\n", self.curl("/scripts/test.dll/vars", tls=False))
        # Keep-alive: three answers on one connection, one handshake.
        command = ["curl", "-sS", "--max-time", "60"]
        for path in ("/hello.txt", "/scripts/async.dll/write?kib=1", "/scripts/test.dll/big?mb=1"):
            command += ["--cacert", self.cert, "-o", "/dev/null", "-w", "%{num_connects} ",
                        "https://localhost:%d%s" % (self.tls_port, path), "--next"]
        out = subprocess.run(command[:-1], capture_output=True, check=True).stdout
        self.assertEqual(out.split(), [b"1", b"0", b"0"])

    def test_requests_that_arrive_together_are_each_answered(self):
        # Two requests, each in a record of its own, reach the host in one read of the socket:
        # the second one waits in the session, not on the socket, and must still be answered.
        context = ssl.create_default_context(cafile=self.cert)
        with socket.create_connection(("127.0.0.1", self.tls_port), timeout=30) as raw, \
                context.wrap_socket(raw, server_hostname="localhost") as connection:
            request = b"GET /hello.txt HTTP/1.1\r\nHost: localhost\r\n\r\n"
            connection.sendall(request)
            connection.sendall(request.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n"))
            received = b""
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                received += chunk
        self.assertEqual(received.count(b"HTTP/1.1 200 "), 2, received)
        self.assertEqual(received.count(b"hello over tls\n"), 2, received)


# The first bytes of a ClientHello, and no more.
HALF_HELLO = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"


class HostileClientTest(TlsHostCase):
    extra_args = ["--header-wait-timeout", "2"]

    def connect(self):
        connection = socket.create_connection(("127.0.0.1", self.tls_port), timeout=30)
        self.addCleanup(connection.close)
        return connection

    def assertClosedByHost(self, connection):
        """The host ends the connection; whatever it sends before (an alert) is no HTTP."""
        received = b""
        while True:
            try:
                chunk = connection.recv(4096)
            except ConnectionResetError:
                break
            if not chunk:
                break
            received += chunk
        self.assertFalse(received.startswith(b"HTTP/"), received[:100])

    def test_clients_that_break_the_handshake_are_closed_and_others_go_on(self):
        # Plain HTTP, and garbage, where a ClientHello belongs.
        connection = self.connect()
        connection.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertClosedByHost(connection)
        connection = self.connect()
        connection.sendall(os.urandom(3000))
        self.assertClosedByHost(connection)
        # A handshake begun and never finished ends at the head's time limit (2 s here); the
        # socket's own 30 s limit would fail the test instead.
        connection = self.connect()
        connection.sendall(HALF_HELLO)
        started = time.monotonic()
        self.assertClosedByHost(connection)
        print("measured: a half handshake closed after %.1f s" % (time.monotonic() - started),
              file=sys.stderr)
        # Resets in the middle of a handshake and of an answer.
        for stop_after in (1, 3):
            curl = subprocess.Popen(["curl", "-s", "--cacert", self.cert, "-o", "/dev/null",
                                     "--limit-rate", "100k", "https://localhost:%d"
                                     "/scripts/test.dll/big?mb=8" % self.tls_port])
            time.sleep(stop_after / 10)
            curl.kill()
            curl.wait()
        self.assertEqual(self.curl("/hello.txt"), b"hello over tls\n")


class DevelopmentCertificateTest(unittest.TestCase):
    def test_without_a_certificate_one_for_localhost_is_made_once_and_kept(self):
        cache = tempfile.mkdtemp(prefix="isapi-host-tls-cache-")
        self.addCleanup(shutil.rmtree, cache, True)
        env = dict(os.environ, XDG_CACHE_HOME=cache)
        lines = []
        for _ in range(2):
            host = start_host([ARGS.host, "--listen", "127.0.0.1:0", "--listen-tls", "127.0.0.1:0",
                               "--map", "/scripts/test.dll=" + ARGS.test_extension], env=env)
            try:
                lines.append(host.wait_listening_tls())
                port = host.tls_port
                cert = os.path.join(cache, "isapi-host", "localhost.crt")
                result = subprocess.run(["curl", "-sS", "--cacert", cert,
                                         "https://localhost:%d/scripts/test.dll/vars" % port],
                                        capture_output=True)
                self.assertIn(b"var.HTTPS=on\n", result.stdout, result.stderr)
            finally:
                host.kill()
        self.assertIn("made now", lines[0])
        self.assertNotIn("made now", lines[1])
        fingerprints = [re.search(r"SHA-256 ([0-9A-F:]+)", line).group(1) for line in lines]
        self.assertEqual(fingerprints[0], fingerprints[1])


class IdleHandshakesTest(TlsHostCase):
    LIMIT = 1000
    extra_args = ["--max-connections", str(LIMIT)]

    def test_idle_handshakes_stay_within_the_connection_limit_and_memory(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
        count = min(5000, resource.getrlimit(resource.RLIMIT_NOFILE)[0] - 200)
        clients = []
        try:
            for _ in range(count):
                client = socket.create_connection(("127.0.0.1", self.tls_port), timeout=30)
                client.sendall(HALF_HELLO)
                clients.append(client)
            # The host keeps at most its limit: the clients idle longest make room, closed.
            deadline = time.monotonic() + 60
            open_clients = list(clients)
            while len(open_clients) > self.LIMIT and time.monotonic() < deadline:
                poll = select.poll()
                for client in open_clients:
                    poll.register(client, select.POLLIN)
                ready = {fd for fd, _ in poll.poll(1000)}
                for client in [c for c in open_clients if c.fileno() in ready]:
                    try:
                        closed = client.recv(4096, socket.MSG_PEEK) == b""
                    except ConnectionResetError:
                        closed = True
                    if closed:
                        open_clients.remove(client)
            rss_kib = resident_kib(self.host.process.pid)
            print("measured: %d of %d idle handshakes still open, %d MiB resident"
                  % (len(open_clients), count, rss_kib // 1024), file=sys.stderr)
            self.assertLessEqual(len(open_clients), self.LIMIT)
            if ARGS.rss_bound_mib is not None:
                self.assertLess(rss_kib, ARGS.rss_bound_mib * 1024)
            self.assertEqual(self.curl("/hello.txt"), b"hello over tls\n")
        finally:
            for client in clients:
                client.close()


def openssl(*args, input=None):
    return subprocess.run(["openssl"] + list(args), input=input, check=True,
                          capture_output=True).stdout


def certificate_facts(cert):
    """What the test reads of a certificate itself, with openssl: names in the form the
    variables document (short names, the certificate's order, ", ", RFC 2253 escapes, UTF-8),
    the serial number, the SHA-256 fingerprint, the public key's bits and the DER bytes."""
    def field(option, *more):
        text = openssl("x509", "-noout", option, *more, "-in", cert).decode().strip()
        return text.split("=", 1)[1]
    names = ("-nameopt", "sep_comma_plus_space,sname,esc_2253,esc_ctrl,utf8")
    return {
        "issuer": field("-issuer", *names),
        "subject": field("-subject", *names),
        "serial": field("-serial"),
        "sha256": field("-fingerprint", "-sha256"),
        "bits": re.search(r"Public-Key: \((\d+) bit\)",
                          openssl("x509", "-noout", "-text", "-in", cert).decode()).group(1),
        "der": openssl("x509", "-outform", "DER", "-in", cert),
    }


class ClientCertificateTest(unittest.TestCase):
    """An authority of the test's own issues the server's certificate (a P-384 key) and a
    client's; another client brings a certificate it signed itself. The host asks for one and
    takes any (--client-cert optional), trusting that authority; the variables extension and
    the support extension's GET_CERT_INFO_EX report what a request sees."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="isapi-host-tls-client-")
        f = cls.file
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-utf8",
                "-subj", "/C=DE/O=Example, Inc./CN=Test Authority",
                "-keyout", f("ca.key"), "-out", f("ca.pem"))

        def issue(name, subject, key_options, serial):
            openssl("req", "-new", "-newkey", *key_options, "-nodes", "-utf8", "-subj", subject,
                    "-keyout", f(name + ".key"), "-out", f(name + ".csr"))
            openssl("x509", "-req", "-in", f(name + ".csr"), "-CA", f("ca.pem"),
                    "-CAkey", f("ca.key"), "-set_serial", serial, "-days", "2",
                    "-extfile", f(name + ".ext"), "-out", f(name + ".pem"))
        with open(f("server.ext"), "w") as ext:
            ext.write("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n")
        with open(f("client.ext"), "w") as ext:
            ext.write("extendedKeyUsage=clientAuth\n")
        issue("server", "/O=Example, Inc./CN=localhost",
              ["ec", "-pkeyopt", "ec_paramgen_curve:P-384"], "0x1001")
        # A serial number whose first bit is set: DER adds a 00 byte that is no part of it.
        issue("client", "/C=FR/O=Clients/CN=Zo\u00eb Client/emailAddress=zoe@example.test",
              ["rsa:2048"], "0x8a0b0c0d0e0f1011")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=Stranger", "-keyout", f("stranger.key"), "-out", f("stranger.pem"))
        cls.host = start_host([ARGS.host, "--listen", "127.0.0.1:0", "--listen-tls",
                               "127.0.0.1:0", "--cert", f("server.pem"), "--key", f("server.key"),
                               "--client-cert", "optional", "--client-ca", f("ca.pem"),
                               "--map", "/scripts/vars.dll=" + ARGS.variables,
                               "--map", "/scripts/support.dll=" + ARGS.support])
        cls.host.wait_listening_tls()
        cls.tls_port = cls.host.tls_port

    @classmethod
    def tearDownClass(cls):
        cls.host.kill()
        shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def file(cls, name):
        return os.path.join(cls.folder, name)

    def request(self, path, client=None, *options):
        """curl over HTTPS trusting the authority, with the client's certificate when given;
        answers the body and the bits of the cipher suite's key, read from the suite's name."""
        command = ["curl", "-sS", "-v", "--max-time", "60", "--cacert", self.file("ca.pem")]
        if client:
            command += ["--cert", self.file(client + ".pem"), "--key", self.file(client + ".key")]
        result = subprocess.run(command + list(options) + [
            "https://localhost:%d%s" % (self.tls_port, path)], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr + self.host.output().encode())
        suite = re.search(rb"SSL connection using \S+ / (\S+)", result.stderr).group(1).decode()
        bits = "256" if "CHACHA20" in suite else re.search(r"AES_?(\d+)", suite).group(1)
        return result.stdout.decode("utf-8"), bits

    def variables(self, client=None, *options):
        body, bits = self.request("/scripts/vars.dll", client, *options)
        values = dict(line.split("=", 1) for line in body.splitlines())
        return {name: value for name, value in values.items()
                if name.startswith(("HTTPS", "CERT_"))}, bits

    def cert_info(self, client=None, size=None):
        body, _ = self.request("/scripts/support.dll/cert-info" +
                               ("?size=%d" % size if size else ""), client)
        return dict(item.split("=", 1) for item in body.split())

    def test_variables_and_cert_info_describe_the_certificates_as_openssl_reads_them(self):
        server = certificate_facts(self.file("server.pem"))
        client = certificate_facts(self.file("client.pem"))
        stranger = certificate_facts(self.file("stranger.pem"))
        self.assertEqual(server["issuer"], "C=DE, O=Example\\, Inc., CN=Test Authority")
        self.assertIn("CN=Zo\u00eb Client", client["subject"])

        def expected(bits, certificate, flags):
            values = {"HTTPS": "on", "HTTPS_KEYSIZE": bits, "CERT_KEYSIZE": bits,
                      "HTTPS_SECRETKEYSIZE": server["bits"], "CERT_SECRETKEYSIZE": server["bits"],
                      "HTTPS_SERVER_ISSUER": server["issuer"],
                      "CERT_SERVER_ISSUER": server["issuer"],
                      "HTTPS_SERVER_SUBJECT": server["subject"],
                      "CERT_SERVER_SUBJECT": server["subject"], "CERT_FLAGS": flags,
                      "CERT_ISSUER": "", "CERT_SUBJECT": "", "CERT_SERIALNUMBER": "",
                      "CERT_COOKIE": ""}
            if certificate:
                serial = certificate["serial"].lstrip("0") or "0"
                serial = serial.rjust(len(serial) + len(serial) % 2, "0").lower()
                values.update({
                    "CERT_ISSUER": certificate["issuer"], "CERT_SUBJECT": certificate["subject"],
                    "CERT_SERIALNUMBER": "-".join(serial[i:i + 2]
                                                  for i in range(0, len(serial), 2)),
                    "CERT_COOKIE": certificate["sha256"].replace(":", "")})
            return values

        # A certificate of the trusted authority, over TLS 1.2 with a 128-bit suite.
        values, bits = self.variables("client", "--tls-max", "1.2",
                                      "--ciphers", "ECDHE-ECDSA-AES128-GCM-SHA256")
        self.assertEqual(bits, "128")
        self.assertEqual(values, expected("128", client, "1"))
        self.assertEqual(values["CERT_SERIALNUMBER"], "8a-0b-0c-0d-0e-0f-10-11")
        # One the authority did not issue, over TLS 1.3 with ChaCha20: taken, and flagged.
        values, bits = self.variables("stranger", "--tls13-ciphers", "TLS_CHACHA20_POLY1305_SHA256")
        self.assertEqual(values, expected("256", stranger, "3"))
        # None: the TLS variables stay, those of the client's certificate are empty.
        values, bits = self.variables()
        self.assertEqual(values, expected(bits, None, "0"))

        # GET_CERT_INFO_EX: the exact DER bytes, the encoding type and the flags as CERT_FLAGS.
        for name, facts, flags in (("client", client, "1"), ("stranger", stranger, "3")):
            self.assertEqual(self.cert_info(name), {
                "result": "TRUE", "type": "1", "bytes": str(len(facts["der"])), "flags": flags,
                "der": facts["der"].hex()})
        # Too small a buffer: the size needed, and nothing else written.
        self.assertEqual(self.cert_info("client", size=16), {
            "result": "FALSE/122", "type": "77", "bytes": str(len(client["der"])),
            "flags": "77", "der": "00" * 16})
        # No certificate: the call works and answers "none".
        self.assertEqual(self.cert_info(), {"result": "TRUE", "type": "1", "bytes": "0",
                                            "flags": "0", "der": ""})


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--async-extension", required=True)
    parser.add_argument("--test-extension", required=True)
    parser.add_argument("--variables", required=True, help="the variables test extension")
    parser.add_argument("--support", required=True, help="the support test extension")
    parser.add_argument("--rss-bound-mib", type=int,
                        help="the host's resident memory bound among idle handshakes")
    ARGS, rest = parser.parse_known_args()
    ARGS.host = os.path.abspath(ARGS.host)
    ARGS.async_extension = os.path.abspath(ARGS.async_extension)
    ARGS.test_extension = os.path.abspath(ARGS.test_extension)
    ARGS.variables = os.path.abspath(ARGS.variables)
    ARGS.support = os.path.abspath(ARGS.support)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
