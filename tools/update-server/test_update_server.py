#!/usr/bin/env python3
"""Tests for update_server.py against a real server process on loopback."""

import hashlib
import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

from nginx_beside import find_nginx, start_nginx, stop_nginx

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "update_server.py")

PAYLOAD = bytes(range(256)) * 40  # 10240 bytes, every byte value present


def start_server(root, port_file, extra=()):
    proc = subprocess.Popen(
        [sys.executable, SERVER, "--root", root, "--port", "0", "--port-file", port_file]
        + list(extra),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Bounded wait for the port file; this is a guard against hanging, not a
    # measure of speed.
    deadline = time.monotonic() + 10
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            out, err = proc.communicate()
            raise RuntimeError("server did not start: %r %r" % (out, err))
        time.sleep(0.01)
    with open(port_file) as f:
        return proc, int(f.read())


def stop_server(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()


def parse_response(data):
    head, sep, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return lines[0], headers, body


class ServerTestBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="update-server-test-")
        cls.root = os.path.join(cls.tmp, "root")
        os.mkdir(cls.root)
        with open(os.path.join(cls.root, "file.bin"), "wb") as f:
            f.write(PAYLOAD)
        os.mkdir(os.path.join(cls.root, "sub"))
        with open(os.path.join(cls.root, "sub", "small.txt"), "wb") as f:
            f.write(b"small\n")
        # Lies outside the served folder; no request may reach it.
        with open(os.path.join(cls.tmp, "secret.txt"), "wb") as f:
            f.write(b"secret\n")
        cls.proc, cls.port = start_server(cls.root, os.path.join(cls.tmp, "port"))

    @classmethod
    def tearDownClass(cls):
        stop_server(cls.proc)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.set_rules({})

    def set_rules(self, rules):
        path = os.path.join(self.root, ".rules.json")
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(rules, f)
        os.replace(tmp, path)

    def connect(self, timeout=5.0):
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout)

    def raw(self, request, timeout=5.0):
        """Send raw request bytes and return everything until the server closes."""
        with self.connect(timeout) as s:
            s.sendall(request)
            chunks = []
            while True:
                data = s.recv(65536)
                if not data:
                    break
                chunks.append(data)
        return b"".join(chunks)

    def get_across_a_stall(self, rules, body_so_far, before_stall, headers=b""):
        """GETs /file.bin (with the header lines `headers`) under `rules`,
        whose body stalls once: reads until body_so_far(data) has as many
        bytes as `before_stall`, checks they are those bytes and that the
        server then stays silent for a while, and returns all the server sent
        until it closed."""
        self.set_rules(rules)
        with self.connect(timeout=5) as s:
            s.sendall(b"GET /file.bin HTTP/1.1\r\nHost: x\r\n" + headers + b"\r\n")
            data = b""
            while len(body_so_far(data)) < len(before_stall):
                chunk = s.recv(65536)
                self.assertTrue(chunk, "connection closed before the stall")
                data += chunk
            self.assertEqual(body_so_far(data), before_stall)
            s.settimeout(0.2)
            with self.assertRaises(socket.timeout):
                s.recv(1)
            s.settimeout(5)
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        return data

    def request(self, method, path, headers=()):
        """Sends one request with the extra header lines `headers`, (name,
        value) pairs, and returns the whole answer."""
        return self.raw(("%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (
            method, path, "".join("%s: %s\r\n" % h for h in headers))).encode("latin-1"))


class ResponseTable(ServerTestBase):
    """One row per behaviour; each row sets the rules, sends one request and
    checks the status line, selected headers and the body."""

    # name, rules, method, path, status line, headers expected (None = absent), body
    CASES = [
        ("plain GET", {}, "GET", "/file.bin", "HTTP/1.1 200 OK",
         {"content-length": str(len(PAYLOAD)), "content-type": "application/octet-stream"},
         PAYLOAD),
        ("GET in a subfolder", {}, "GET", "/sub/small.txt", "HTTP/1.1 200 OK",
         {"content-length": "6"}, b"small\n"),
        ("percent-encoded path", {}, "GET", "/sub/%73mall.txt", "HTTP/1.1 200 OK",
         {"content-length": "6"}, b"small\n"),
        ("plain HEAD", {}, "HEAD", "/file.bin", "HTTP/1.1 200 OK",
         {"content-length": str(len(PAYLOAD)), "content-type": "application/octet-stream"},
         b""),
        ("missing file", {}, "GET", "/nothing.bin", "HTTP/1.1 404 Not Found",
         {}, b"404 Not Found\n"),
        ("folder is not a file", {}, "GET", "/sub", "HTTP/1.1 404 Not Found", {}, None),
        ("status rule on an existing file", {"/file.bin": {"status": "503 Service Unavailable"}},
         "GET", "/file.bin", "HTTP/1.1 503 Service Unavailable",
         {"content-length": str(len(PAYLOAD))}, PAYLOAD),
        ("status rule on a missing file", {"/gone": {"status": "410 Gone"}},
         "GET", "/gone", "HTTP/1.1 410 Gone", {}, b"410 Gone\n"),
        ("404 rule hides an existing file", {"/file.bin": {"status": "404 Not Found"}},
         "GET", "/file.bin", "HTTP/1.1 404 Not Found", {}, PAYLOAD),
        ("204 has no body and no length", {"/file.bin": {"status": "204 No Content"}},
         "GET", "/file.bin", "HTTP/1.1 204 No Content", {"content-length": None}, b""),
        ("nolength", {"/file.bin": {"nolength": True}}, "GET", "/file.bin", "HTTP/1.1 200 OK",
         {"content-length": None}, PAYLOAD),
        ("cut", {"/file.bin": {"cut": 100}}, "GET", "/file.bin", "HTTP/1.1 200 OK",
         {"content-length": str(len(PAYLOAD))}, PAYLOAD[:100]),
        ("cut without length", {"/file.bin": {"cut": 100, "nolength": True}}, "GET", "/file.bin",
         "HTTP/1.1 200 OK", {"content-length": None}, PAYLOAD[:100]),
        ("length declares more than is sent", {"/file.bin": {"length": 99999}}, "GET", "/file.bin",
         "HTTP/1.1 200 OK", {"content-length": "99999"}, PAYLOAD),
        ("redirect", {"/file.bin": {"redirect": "http://127.0.0.1:1/x"}}, "GET", "/file.bin",
         "HTTP/1.1 302 Found", {"location": "http://127.0.0.1:1/x"}, b""),
        ("garbage", {"/file.bin": {"garbage": "SSH-2.0-nonsense\r\n"}}, "GET", "/file.bin",
         None, {}, None),
        ("bigheader", {"/file.bin": {"bigheader": 100000}}, "GET", "/file.bin", "HTTP/1.1 200 OK",
         {"x-filler": "x" * 100000}, PAYLOAD),
        ("rule for another path does not apply", {"/other": {"status": "500 Oops"}}, "GET",
         "/file.bin", "HTTP/1.1 200 OK", {}, PAYLOAD),
        ("rule keyed with a query string", {"/file.bin?v=2": {"status": "500 Oops"}}, "GET",
         "/file.bin?v=2", "HTTP/1.1 500 Oops", {}, PAYLOAD),
        ("other methods are refused", {}, "DELETE", "/file.bin", "HTTP/1.1 405 Method Not Allowed",
         {}, None),
        ("body replaces the file", {"/file.bin": {"body": "<html>login</html>"}}, "GET",
         "/file.bin", "HTTP/1.1 200 OK",
         {"content-length": "18", "content-type": "text/html; charset=utf-8"},
         b"<html>login</html>"),
        ("body of a missing file", {"/nothing.bin": {"body": "<html>login</html>"}}, "GET",
         "/nothing.bin", "HTTP/1.1 200 OK", {"content-length": "18"}, b"<html>login</html>"),
        ("HEAD of a body declares its length", {"/file.bin": {"body": "<html>login</html>"}},
         "HEAD", "/file.bin", "HTTP/1.1 200 OK", {"content-length": "18"}, b""),
        ("star applies to every path", {"*": {"body": "<p>sign in</p>"}}, "GET", "/sub/small.txt",
         "HTTP/1.1 200 OK", {"content-length": "14"}, b"<p>sign in</p>"),
        ("a path's own rule comes before the star",
         {"*": {"status": "500 Oops"}, "/sub/small.txt": {}}, "GET", "/sub/small.txt",
         "HTTP/1.1 200 OK", {}, b"small\n"),
        ("a method's star comes before the star",
         {"*": {"status": "500 Oops"}, "HEAD *": {"status": "404 Not Found"}}, "HEAD",
         "/file.bin", "HTTP/1.1 404 Not Found", {}, b""),
    ]

    def test_cases(self):
        for name, rules, method, path, status, headers, body in self.CASES:
            with self.subTest(name):
                self.set_rules(rules)
                data = self.request(method, path)
                if name == "garbage":
                    self.assertEqual(data, b"SSH-2.0-nonsense\r\n")
                    continue
                line, got, got_body = parse_response(data)
                self.assertEqual(line, status)
                self.assertEqual(got.get("connection"), "close")
                for key, value in headers.items():
                    if value is None:
                        self.assertNotIn(key, got)
                    else:
                        self.assertEqual(got.get(key), value, key)
                if body is not None:
                    self.assertEqual(got_body, body)


def dechunk(body):
    """Decode a chunked body. Returns (data, complete): complete is True only
    when the zero-length last chunk and the blank line after it arrived, and
    every chunk before it came whole with its line end."""
    data = b""
    rest = body
    while True:
        line, sep, after = rest.partition(b"\r\n")
        if not sep:
            return data, False
        size = int(line.split(b";")[0], 16)
        if size == 0:
            return data, after == b"\r\n"
        piece = after[:size]
        data += piece
        if len(piece) < size or after[size:size + 2] != b"\r\n":
            return data, False
        rest = after[size + 2:]


class Chunked(ServerTestBase):
    """The chunked transfer coding, whole and cut at every kind of place."""

    def get(self, rules):
        self.set_rules({"/file.bin": rules})
        line, headers, body = parse_response(self.request("GET", "/file.bin"))
        self.assertEqual(line, "HTTP/1.1 200 OK")
        self.assertEqual(headers.get("transfer-encoding"), "chunked")
        self.assertNotIn("content-length", headers)
        return body

    def test_whole_body_in_chunks(self):
        # (rule, chunk size the framing must show)
        for rule, size in [({"chunked": True}, 1 << 16), ({"chunked": 1000}, 1000),
                           ({"chunked": len(PAYLOAD)}, len(PAYLOAD))]:
            with self.subTest(rule):
                raw = self.get(rule)
                self.assertTrue(raw.startswith(b"%x\r\n" % min(size, len(PAYLOAD))))
                self.assertEqual(dechunk(raw), (PAYLOAD, True))

    def test_cut_body_stops_before_the_last_chunk(self):
        half = len(PAYLOAD) // 2
        # name, rule, body bytes that arrive
        cases = [
            ("cut at 0", {"cut_chunked": 0}, 0),
            ("cut at 1", {"cut_chunked": 1}, 1),
            ("cut in the middle of a chunk", {"chunked": 1000, "cut_chunked": 1500}, 1500),
            ("cut on a chunk boundary", {"chunked": 1000, "cut_chunked": 2000}, 2000),
            ("cut at half", {"cut_chunked": half}, half),
            ("all but one byte", {"chunked": 1000, "cut_chunked": len(PAYLOAD) - 1},
             len(PAYLOAD) - 1),
            ("all data but no last chunk", {"chunked": 1000, "cut_chunked": len(PAYLOAD)},
             len(PAYLOAD)),
            ("plain cut of a chunked body", {"chunked": 1000, "cut": 10}, 10),
        ]
        for name, rule, arrives in cases:
            with self.subTest(name):
                data, complete = dechunk(self.get(rule))
                self.assertEqual(data, PAYLOAD[:arrives])
                self.assertFalse(complete)

    def test_http_client_sees_whole_and_cut_bodies(self):
        for rule, whole in [({"chunked": 1000}, True), ({"cut_chunked": 100}, False),
                            ({"chunked": 1000, "cut_chunked": len(PAYLOAD)}, False)]:
            with self.subTest(rule):
                self.set_rules({"/file.bin": rule})
                conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
                try:
                    conn.request("GET", "/file.bin")
                    resp = conn.getresponse()
                    if whole:
                        self.assertEqual(resp.read(), PAYLOAD)
                    else:
                        with self.assertRaises(http.client.IncompleteRead):
                            resp.read()
                finally:
                    conn.close()

    def test_head_and_error_status_are_not_chunked(self):
        self.set_rules({"/file.bin": {"chunked": True}})
        line, headers, body = parse_response(self.request("HEAD", "/file.bin"))
        self.assertEqual(headers.get("transfer-encoding"), "chunked")
        self.assertEqual(body, b"")
        self.set_rules({"/file.bin": {"chunked": True, "status": "204 No Content"}})
        line, headers, body = parse_response(self.request("GET", "/file.bin"))
        self.assertEqual(line, "HTTP/1.1 204 No Content")
        self.assertNotIn("transfer-encoding", headers)
        self.assertEqual(body, b"")

    def test_stall_inside_a_chunked_body(self):
        data = self.get_across_a_stall(
            {"/file.bin": {"chunked": 1000, "stall_body": {"after": 1500, "seconds": 1.0}}},
            lambda data: dechunk(data.partition(b"\r\n\r\n")[2])[0], PAYLOAD[:1500])
        self.assertEqual(dechunk(parse_response(data)[2]), (PAYLOAD, True))


# file.bin of the range tests is dated 1 000 000 000 s after 1970, so its
# validators are known: nginx's ETag form and the date.
RANGE_MTIME = 1_000_000_000
ETAG = '"3b9aca00-2800"'
DATE = "Sun, 09 Sep 2001 01:46:40 GMT"


def multipart_parts(content_type, body):
    """The parts of a multipart/byteranges body: (Content-Range, data) pairs,
    after checking the framing around them."""
    prefix = "multipart/byteranges; boundary="
    assert content_type.startswith(prefix), content_type
    boundary = content_type[len(prefix):].encode()
    assert body.endswith(b"\r\n--" + boundary + b"--\r\n"), body[-60:]
    chunks = body[:-len(boundary) - 8].split(b"\r\n--" + boundary + b"\r\n")
    assert chunks[0] == b"", chunks[0]
    parts = []
    for chunk in chunks[1:]:
        head, _, data = chunk.partition(b"\r\n\r\n")
        fields = dict(line.split(b": ", 1) for line in head.split(b"\r\n"))
        assert fields[b"Content-Type"] == b"application/octet-stream", fields
        parts.append((fields[b"Content-Range"].decode(), data))
    return parts


def changed(headers, **changes):
    """A copy of `headers` with some replaced (a keyword's underscores stand
    for the header's dashes)."""
    return dict(headers, **{k.replace("_", "-"): v for k, v in changes.items()})


# The headers of a 200 answer with the whole of file.bin.
WHOLE = {"accept-ranges": "bytes", "content-range": None, "content-length": str(len(PAYLOAD)),
         "etag": ETAG, "last-modified": DATE}

# The headers of a 416 answer for file.bin: its size, no validators.
UNSATISFIABLE = {"content-range": "bytes */%d" % len(PAYLOAD), "etag": None,
                 "last-modified": None, "accept-ranges": None}


def part(start, end):
    """The headers of a 206 answer with the bytes start..end (end included)
    of file.bin."""
    return {"content-range": "bytes %d-%d/%d" % (start, end, len(PAYLOAD)),
            "content-length": str(end - start + 1), "accept-ranges": None,
            "etag": ETAG, "last-modified": DATE}


class Ranges(ServerTestBase):
    """Range and If-Range on a file, and the rules that change how a server
    answers them."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        os.utime(os.path.join(cls.root, "file.bin"), (RANGE_MTIME, RANGE_MTIME))

    # name, rule of /file.bin, method, request headers, status code,
    # headers expected (None = absent), body (None = not checked)
    CASES = [
        ("no Range", {}, "GET", [], 200, WHOLE, PAYLOAD),
        ("from an offset to the end", {}, "GET", [("Range", "bytes=100-")], 206,
         part(100, 10239), PAYLOAD[100:]),
        ("a closed range", {}, "GET", [("Range", "bytes=100-199")], 206,
         part(100, 199), PAYLOAD[100:200]),
        ("the last bytes", {}, "GET", [("Range", "bytes=-100")], 206,
         part(10140, 10239), PAYLOAD[-100:]),
        ("a range that ends past the end", {}, "GET", [("Range", "bytes=10000-99999")], 206,
         part(10000, 10239), PAYLOAD[10000:]),
        ("HEAD of a range", {}, "HEAD", [("Range", "bytes=100-199")], 206,
         part(100, 199), b""),
        ("a range from the size", {}, "GET", [("Range", "bytes=10240-")], 416,
         UNSATISFIABLE, b"416 Requested Range Not Satisfiable\n"),
        ("a range that is no range", {}, "GET", [("Range", "bytes=abc")], 416,
         UNSATISFIABLE, None),
        ("another unit", {}, "GET", [("Range", "items=0-9")], 200, WHOLE, PAYLOAD),
        ("If-Range with the ETag", {}, "GET", [("Range", "bytes=100-"), ("If-Range", ETAG)],
         206, part(100, 10239), PAYLOAD[100:]),
        ("If-Range with another ETag", {}, "GET",
         [("Range", "bytes=100-"), ("If-Range", '"3b9aca00-2801"')], 200, WHOLE, PAYLOAD),
        ("If-Range with the ETag made weak", {}, "GET",
         [("Range", "bytes=100-"), ("If-Range", "W/" + ETAG)], 200, WHOLE, PAYLOAD),
        ("If-Range with the date", {}, "GET", [("Range", "bytes=100-"), ("If-Range", DATE)],
         206, part(100, 10239), PAYLOAD[100:]),
        ("If-Range with a later date", {}, "GET",
         [("Range", "bytes=100-"), ("If-Range", "Sun, 09 Sep 2001 01:46:41 GMT")], 200,
         WHOLE, PAYLOAD),
        # Rules that take ranges away or answer them wrongly.
        ("ranges off", {"ranges": False}, "GET", [("Range", "bytes=100-")], 200,
         changed(WHOLE, accept_ranges=None), PAYLOAD),
        ("a status rule serves the whole file", {"status": "503 Service Unavailable"}, "GET",
         [("Range", "bytes=100-")], 503, {"content-range": None, "accept-ranges": None},
         PAYLOAD),
        ("a body rule serves its body", {"body": "<p>sign in</p>"}, "GET",
         [("Range", "bytes=2-")], 200, {"content-range": None}, b"<p>sign in</p>"),
        ("a range that starts later than asked", {"range_offset": 10}, "GET",
         [("Range", "bytes=100-")], 206, part(110, 10239), PAYLOAD[110:]),
        ("a range that starts earlier than asked", {"range_offset": -50}, "GET",
         [("Range", "bytes=100-199")], 206, part(50, 199), PAYLOAD[50:200]),
        ("an offset before the start of the file", {"range_offset": -500}, "GET",
         [("Range", "bytes=100-")], 206, part(0, 10239), PAYLOAD),
        ("a 206 without Content-Range", {"range_no_content_range": True}, "GET",
         [("Range", "bytes=100-")], 206,
         changed(part(100, 10239), content_range=None), PAYLOAD[100:]),
        # Validators of the rule's making.
        ("a weak ETag of the rule", {"etag": 'W/"v1"'}, "GET", [], 200,
         changed(WHOLE, etag='W/"v1"'), PAYLOAD),
        ("If-Range with the rule's weak ETag", {"etag": 'W/"v1"'}, "GET",
         [("Range", "bytes=100-"), ("If-Range", 'W/"v1"')], 206,
         changed(part(100, 10239), etag='W/"v1"'), PAYLOAD[100:]),
        ("If-Range with the file's own ETag", {"etag": 'W/"v1"'}, "GET",
         [("Range", "bytes=100-"), ("If-Range", ETAG)], 200, changed(WHOLE, etag='W/"v1"'),
         PAYLOAD),
        ("no validators", {"no_validators": True}, "GET", [], 200,
         changed(WHOLE, etag=None, last_modified=None), PAYLOAD),
        ("no validators: a range", {"no_validators": True}, "GET",
         [("Range", "bytes=100-")], 206,
         changed(part(100, 10239), etag=None, last_modified=None),
         PAYLOAD[100:]),
        ("no validators: If-Range with the date", {"no_validators": True}, "GET",
         [("Range", "bytes=100-"), ("If-Range", DATE)], 200,
         changed(WHOLE, etag=None, last_modified=None), PAYLOAD),
        # The misbehaviour of a 200 answer on a 206 one.
        ("a cut range", {"cut": 50}, "GET", [("Range", "bytes=100-")], 206,
         part(100, 10239), PAYLOAD[100:150]),
        ("a range that declares another length", {"length": 5}, "GET",
         [("Range", "bytes=100-")], 206, changed(part(100, 10239), content_length="5"),
         PAYLOAD[100:]),
        ("a range without a length", {"nolength": True}, "GET", [("Range", "bytes=100-")], 206,
         changed(part(100, 10239), content_length=None), PAYLOAD[100:]),
        ("a dripped and cut range", {"drip_body": 5, "cut": 3}, "GET",
         [("Range", "bytes=100-")], 206, part(100, 10239), PAYLOAD[100:103]),
    ]

    def test_cases(self):
        for name, rule, method, headers, code, expected, body in self.CASES:
            with self.subTest(name):
                self.set_rules({"/file.bin": rule})
                line, got, got_body = parse_response(self.request(method, "/file.bin", headers))
                self.assertEqual(int(line.split(" ")[1]), code, line)
                for key, value in expected.items():
                    self.assertEqual(got.get(key), value, key)
                if body is not None:
                    self.assertEqual(got_body, body)

    def test_several_ranges_make_one_multipart_body(self):
        ranges = [("Range", "bytes=500-599,0-9,-10")]
        line, headers, body = parse_response(self.request("GET", "/file.bin", ranges))
        self.assertEqual(line, "HTTP/1.1 206 Partial Content")
        self.assertNotIn("content-range", headers)
        self.assertEqual(headers.get("etag"), ETAG)
        self.assertEqual(headers.get("content-length"), str(len(body)))
        # The parts in the order asked.
        self.assertEqual(multipart_parts(headers["content-type"], body), [
            ("bytes 500-599/10240", PAYLOAD[500:600]),
            ("bytes 0-9/10240", PAYLOAD[:10]),
            ("bytes 10230-10239/10240", PAYLOAD[-10:])])
        # HEAD declares the same length; every answer has a boundary of its own.
        line, head, empty = parse_response(self.request("HEAD", "/file.bin", ranges))
        self.assertEqual((line, head.get("content-length"), empty),
                         ("HTTP/1.1 206 Partial Content", headers["content-length"], b""))
        self.assertNotEqual(head["content-type"], headers["content-type"])

    def test_chunked_range(self):
        self.set_rules({"/file.bin": {"chunked": 1000}})
        line, headers, body = parse_response(self.request(
            "GET", "/file.bin", [("Range", "bytes=100-")]))
        self.assertEqual(line, "HTTP/1.1 206 Partial Content")
        self.assertEqual(headers.get("content-range"), "bytes 100-10239/10240")
        self.assertEqual(headers.get("transfer-encoding"), "chunked")
        self.assertNotIn("content-length", headers)
        self.assertEqual(dechunk(body), (PAYLOAD[100:], True))

    def test_stall_inside_a_range(self):
        data = self.get_across_a_stall(
            {"/file.bin": {"stall_body": {"after": 1000, "seconds": 1.0}}},
            lambda data: data.partition(b"\r\n\r\n")[2], PAYLOAD[100:1100],
            headers=b"Range: bytes=100-\r\n")
        line, headers, body = parse_response(data)
        self.assertEqual(headers.get("content-range"), "bytes 100-10239/10240")
        self.assertEqual(body, PAYLOAD[100:])

    def test_range_log_records_what_was_asked(self):
        path = os.path.join(self.root, ".ranges.log")
        if os.path.exists(path):
            os.remove(path)
        self.request("GET", "/file.bin", [("Range", "bytes=100-"), ("If-Range", ETAG)])
        self.request("HEAD", "/sub/small.txt?x=1")
        self.request("GET", "/missing", [("If-Range", DATE)])
        with open(path, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(), [
                '/file.bin range=bytes=100- if-range="3b9aca00-2800"',
                "/sub/small.txt?x=1 range=- if-range=-",
                "/missing range=- if-range=" + DATE])


# The locations stand for the rules that the update server is given beside
# nginx.
NGINX_LOCATIONS = [
    """location = /weak.bin { etag off; add_header ETag 'W/"weak-1"'; }""",
    """location = /bare.bin { etag off; add_header Last-Modified ""; }""",
    "location = /plain.bin { max_ranges 0; }",
]

NGINX_RULES = {"/weak.bin": {"etag": 'W/"weak-1"'}, "/bare.bin": {"no_validators": True},
               "/plain.bin": {"ranges": False}}


def boundary_hidden(headers, body):
    """The answer with its multipart boundary (if any) replaced by one of the
    same length, so that two servers' answers compare byte for byte."""
    kind = headers.get("content-type", "")
    _, sep, boundary = kind.partition("boundary=")
    if not sep:
        return headers, body
    hidden = "x" * len(boundary)
    return (dict(headers, **{"content-type": kind.replace(boundary, hidden)}),
            body.replace(boundary.encode(), hidden.encode()))


class AgainstNginx(unittest.TestCase):
    """The same requests to nginx and to the update server, over one folder:
    the answers must agree in status, range, length, validators and body.

    nginx is a package of its own (Debian's "nginx"); without it this test
    fails rather than pass unchecked."""

    @classmethod
    def setUpClass(cls):
        cls.missing = None
        if find_nginx() is None:
            cls.missing = ("nginx is not installed: comparing the update server's ranges "
                           "with a real static file server needs the Debian package nginx")
            return
        cls.tmp = tempfile.mkdtemp(prefix="update-server-nginx-")
        cls.root = os.path.join(cls.tmp, "root")
        os.mkdir(cls.root)
        for name, data in [("file.bin", PAYLOAD), ("weak.bin", PAYLOAD), ("bare.bin", PAYLOAD),
                           ("plain.bin", PAYLOAD), ("empty.bin", b"")]:
            path = os.path.join(cls.root, name)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (RANGE_MTIME, RANGE_MTIME))
        with open(os.path.join(cls.root, ".rules.json"), "w") as f:
            json.dump(NGINX_RULES, f)
        cls.ours, cls.our_port = start_server(cls.root, os.path.join(cls.tmp, "port"))
        try:
            cls.nginx, cls.nginx_port = start_nginx(cls.tmp, cls.root, NGINX_LOCATIONS)
        except BaseException:
            stop_server(cls.ours)
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.missing:
            return
        stop_nginx(cls.nginx)
        stop_server(cls.ours)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    R = "Range"
    I = "If-Range"
    # name, method, path, request headers, the status both must answer
    CASES = [
        ("no Range", "GET", "/file.bin", [], 200),
        ("from an offset to the end", "GET", "/file.bin", [(R, "bytes=100-")], 206),
        ("from the start", "GET", "/file.bin", [(R, "bytes=0-")], 206),
        ("a closed range", "GET", "/file.bin", [(R, "bytes=100-199")], 206),
        ("one byte", "GET", "/file.bin", [(R, "bytes=0-0")], 206),
        ("the last byte", "GET", "/file.bin", [(R, "bytes=10239-")], 206),
        ("a range that ends past the end", "GET", "/file.bin", [(R, "bytes=10000-99999")], 206),
        ("the last bytes", "GET", "/file.bin", [(R, "bytes=-100")], 206),
        ("more last bytes than the file has", "GET", "/file.bin", [(R, "bytes=-99999")], 206),
        ("blanks and capitals", "GET", "/file.bin", [(R, "BYTES= 100 - 199")], 206),
        ("a range from the size", "GET", "/file.bin", [(R, "bytes=10240-")], 416),
        ("a range past the end", "GET", "/file.bin", [(R, "bytes=99999-")], 416),
        ("a range that ends before it starts", "GET", "/file.bin", [(R, "bytes=200-100")], 416),
        ("no last bytes", "GET", "/file.bin", [(R, "bytes=-0")], 416),
        ("not a number", "GET", "/file.bin", [(R, "bytes=abc")], 416),
        ("a comma with no range after it", "GET", "/file.bin", [(R, "bytes=100-199,")], 416),
        ("another unit", "GET", "/file.bin", [(R, "items=0-9")], 200),
        ("nothing after the unit", "GET", "/file.bin", [(R, "bytes=")], 200),
        ("two ranges", "GET", "/file.bin", [(R, "bytes=0-1,5-6")], 206),
        ("three ranges out of order", "GET", "/file.bin", [(R, "bytes=500-599,0-9,-10")], 206),
        ("ranges that add up to more than the file", "GET", "/file.bin",
         [(R, "bytes=0-9999,0-9999")], 200),
        ("a range past the end among others", "GET", "/file.bin", [(R, "bytes=0-1, 20000-")], 206),
        ("If-Range with the ETag", "GET", "/file.bin", [(R, "bytes=100-"), (I, ETAG)], 206),
        ("If-Range with another ETag", "GET", "/file.bin",
         [(R, "bytes=100-"), (I, '"3b9aca00-2801"')], 200),
        ("If-Range with the ETag made weak", "GET", "/file.bin",
         [(R, "bytes=100-"), (I, "W/" + ETAG)], 200),
        ("If-Range with the ETag and two ranges", "GET", "/file.bin",
         [(R, "bytes=0-1,5-6"), (I, ETAG)], 206),
        ("If-Range with the date", "GET", "/file.bin", [(R, "bytes=100-"), (I, DATE)], 206),
        ("If-Range with a date a second later", "GET", "/file.bin",
         [(R, "bytes=100-"), (I, "Sun, 09 Sep 2001 01:46:41 GMT")], 200),
        ("If-Range with the date in RFC 850 form", "GET", "/file.bin",
         [(R, "bytes=100-"), (I, "Sunday, 09-Sep-01 01:46:40 GMT")], 206),
        ("If-Range with the date in asctime form", "GET", "/file.bin",
         [(R, "bytes=100-"), (I, "Sun Sep  9 01:46:40 2001")], 206),
        ("If-Range with the date and a wrong weekday", "GET", "/file.bin",
         [(R, "bytes=100-"), (I, "Mon, 09 Sep 2001 01:46:40 GMT")], 206),
        ("If-Range that is no date", "GET", "/file.bin", [(R, "bytes=100-"), (I, "yesterday")],
         200),
        ("If-Range without Range", "GET", "/file.bin", [(I, ETAG)], 200),
        ("HEAD of a range", "HEAD", "/file.bin", [(R, "bytes=100-199")], 206),
        ("HEAD of two ranges", "HEAD", "/file.bin", [(R, "bytes=0-1,5-6")], 206),
        ("HEAD of a range past the end", "HEAD", "/file.bin", [(R, "bytes=99999-")], 416),
        ("a weak ETag: no Range", "GET", "/weak.bin", [], 200),
        ("a weak ETag: If-Range with it", "GET", "/weak.bin",
         [(R, "bytes=100-"), (I, 'W/"weak-1"')], 206),
        ("a weak ETag: If-Range with its strong form", "GET", "/weak.bin",
         [(R, "bytes=100-"), (I, '"weak-1"')], 200),
        ("a weak ETag: If-Range with the date", "GET", "/weak.bin",
         [(R, "bytes=100-"), (I, DATE)], 206),
        ("no validators: a range", "GET", "/bare.bin", [(R, "bytes=100-")], 206),
        ("no validators: If-Range with the date", "GET", "/bare.bin",
         [(R, "bytes=100-"), (I, DATE)], 200),
        ("no validators: If-Range with an ETag", "GET", "/bare.bin",
         [(R, "bytes=100-"), (I, ETAG)], 200),
        ("no ranges: no Range", "GET", "/plain.bin", [], 200),
        ("no ranges: a range", "GET", "/plain.bin", [(R, "bytes=100-")], 200),
        ("an empty file from its start", "GET", "/empty.bin", [(R, "bytes=0-")], 200),
        ("an empty file's last bytes", "GET", "/empty.bin", [(R, "bytes=-5")], 200),
        ("an empty file past its end", "GET", "/empty.bin", [(R, "bytes=5-")], 416),
    ]

    # What must agree; a 416's page is each server's own (nginx's is HTML).
    COMPARED = ["content-range", "content-length", "content-type", "etag", "last-modified",
                "accept-ranges", "transfer-encoding"]
    COMPARED_416 = ["content-range", "etag", "last-modified", "accept-ranges"]

    def ask(self, port, method, path, headers):
        request = "%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n%s\r\n" % (
            method, path, "".join("%s: %s\r\n" % h for h in headers))
        line, got, body = parse_response(raw_request(port, request.encode("latin-1")))
        got, body = boundary_hidden(got, body)
        return line, got, body

    def test_answers_agree(self):
        if self.missing:
            self.fail(self.missing)
        for name, method, path, headers, code in self.CASES:
            with self.subTest(name):
                theirs = self.ask(self.nginx_port, method, path, headers)
                ours = self.ask(self.our_port, method, path, headers)
                self.assertEqual(theirs[0].split(" ")[1], str(code), "nginx: " + theirs[0])
                self.assertEqual(ours[0], theirs[0])
                for key in self.COMPARED_416 if code == 416 else self.COMPARED:
                    self.assertEqual(ours[1].get(key), theirs[1].get(key), key)
                if code != 416:
                    self.assertEqual(ours[2], theirs[2])


class Paths(ServerTestBase):
    def test_escapes_are_rejected(self):
        targets = [
            "/../secret.txt",
            "/sub/../../secret.txt",
            "/%2e%2e/secret.txt",
            "/sub/%2E%2E/%2e%2e/secret.txt",
            "/..%2fsecret.txt",
            "/sub/../file.bin",
        ]
        for target in targets:
            with self.subTest(target):
                line, _, body = parse_response(self.request("GET", target))
                self.assertEqual(line, "HTTP/1.1 404 Not Found")
                self.assertNotIn(b"secret", body)


class Behaviour(ServerTestBase):
    def log_lines(self):
        try:
            with open(os.path.join(self.root, ".requests.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def test_requests_are_logged_in_order_before_rules_apply(self):
        before = len(self.log_lines())
        self.set_rules({"/garbled": {"garbage": "x"}})
        self.request("GET", "/file.bin")
        self.request("HEAD", "/sub/small.txt?x=1")
        self.request("GET", "/garbled")
        self.request("GET", "/missing")
        self.assertEqual(self.log_lines()[before:], [
            "GET /file.bin", "HEAD /sub/small.txt?x=1", "GET /garbled", "GET /missing"])

    def test_request_that_was_never_answered_is_logged(self):
        self.set_rules({"/hang": {"never": True}})
        with self.connect(timeout=0.3) as s:
            s.sendall(b"GET /hang HTTP/1.1\r\nHost: x\r\n\r\n")
            with self.assertRaises(socket.timeout):
                s.recv(1)
        self.assertIn("GET /hang", self.log_lines())

    def test_rule_for_one_method_comes_first(self):
        self.set_rules({"GET /file.bin": {"nolength": True}, "/file.bin": {"status": "410 Gone"},
                        "HEAD /sub/small.txt": {"status": "500 Oops"}})
        line, headers, body = parse_response(self.request("GET", "/file.bin"))
        self.assertEqual((line, headers.get("content-length"), body),
                         ("HTTP/1.1 200 OK", None, PAYLOAD))
        line, headers, _ = parse_response(self.request("HEAD", "/file.bin"))
        self.assertEqual(line, "HTTP/1.1 410 Gone")
        self.assertTrue(self.request("HEAD", "/sub/small.txt").startswith(b"HTTP/1.1 500 Oops"))
        self.assertTrue(self.request("GET", "/sub/small.txt").startswith(b"HTTP/1.1 200 OK"))

    def test_rules_are_reread_on_every_request(self):
        self.set_rules({"/file.bin": {"status": "500 Internal Server Error"}})
        self.assertTrue(self.request("GET", "/file.bin").startswith(b"HTTP/1.1 500 "))
        self.set_rules({})
        self.assertTrue(self.request("GET", "/file.bin").startswith(b"HTTP/1.1 200 "))

    def test_unreadable_rules_mean_no_rules(self):
        for content in ["{not json", "[1, 2]", '{"/file.bin": "not an object"}']:
            with self.subTest(content):
                with open(os.path.join(self.root, ".rules.json"), "w") as f:
                    f.write(content)
                self.assertTrue(self.request("GET", "/file.bin").startswith(b"HTTP/1.1 200 OK\r\n"))
        os.remove(os.path.join(self.root, ".rules.json"))
        self.assertTrue(self.request("GET", "/file.bin").startswith(b"HTTP/1.1 200 OK\r\n"))

    def test_http_client_sees_declared_sizes(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            conn.request("HEAD", "/file.bin")
            resp = conn.getresponse()
            self.assertEqual(resp.status, 200)
            self.assertEqual(resp.getheader("Content-Length"), str(len(PAYLOAD)))
            self.assertEqual(resp.read(), b"")
        finally:
            conn.close()

    def test_validators_follow_the_file(self):
        path = os.path.join(self.root, "validated.bin")

        def validators():
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
            try:
                conn.request("HEAD", "/validated.bin")
                resp = conn.getresponse()
                resp.read()
                return resp.getheader("ETag"), resp.getheader("Last-Modified")
            finally:
                conn.close()

        with open(path, "wb") as f:
            f.write(b"a" * 100)
        os.utime(path, ns=(1_000_000_000_000_000_000, 1_000_000_000_000_000_000))
        first = validators()
        self.assertEqual(first[1], "Sun, 09 Sep 2001 01:46:40 GMT")
        # nginx's form: the modification time in seconds and the size, in hex.
        self.assertEqual(first[0], '"3b9aca00-64"')
        self.assertEqual(validators(), first)
        # The same length, written later: another ETag and date.
        with open(path, "wb") as f:
            f.write(b"b" * 100)
        os.utime(path, ns=(1_000_000_001_000_000_000, 1_000_000_001_000_000_000))
        second = validators()
        self.assertNotEqual(second[0], first[0])
        self.assertNotEqual(second[1], first[1])
        os.remove(path)

    def test_redirect_is_not_followed_by_http_client(self):
        self.set_rules({"/moved": {"redirect": "http://127.0.0.1:1/x"}})
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            conn.request("GET", "/moved")
            resp = conn.getresponse()
            self.assertEqual((resp.status, resp.reason), (302, "Found"))
            self.assertEqual(resp.getheader("Location"), "http://127.0.0.1:1/x")
        finally:
            conn.close()

    def test_length_larger_than_body_is_detected_by_http_client(self):
        self.set_rules({"/file.bin": {"length": len(PAYLOAD) + 10}})
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            conn.request("GET", "/file.bin")
            with self.assertRaises(http.client.IncompleteRead):
                conn.getresponse().read()
        finally:
            conn.close()

    def test_stall_headers_delays_then_answers(self):
        self.set_rules({"/file.bin": {"stall_headers": 1.0}})
        with self.connect(timeout=0.2) as s:
            s.sendall(b"GET /file.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            # Nothing may arrive during the stall ...
            with self.assertRaises(socket.timeout):
                s.recv(1)
            # ... and the full answer arrives after it.
            s.settimeout(5)
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        line, _, body = parse_response(data)
        self.assertEqual(line, "HTTP/1.1 200 OK")
        self.assertEqual(body, PAYLOAD)

    def test_stall_body_pauses_after_n_bytes(self):
        data = self.get_across_a_stall(
            {"/file.bin": {"stall_body": {"after": 1000, "seconds": 1.0}}},
            lambda data: data.partition(b"\r\n\r\n")[2], PAYLOAD[:1000])
        self.assertEqual(parse_response(data)[2], PAYLOAD)

    def read_timed(self, sock):
        """Every byte until the server closes, each with its arrival time."""
        arrivals = []
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            now = time.monotonic()
            arrivals.extend((now, chunk[i:i + 1]) for i in range(len(chunk)))
        return arrivals

    def test_drip_sends_one_byte_at_a_time(self):
        # A status line and headers of about 100 bytes at 20 ms a byte take
        # about two seconds; the body of "small.txt" (6 bytes) at 100 ms a
        # byte half a second more.
        cases = [
            ("headers", {"drip_headers": 20}, "GET", 20),
            ("body", {"drip_body": 100}, "GET", 100),
            ("headers of a HEAD", {"drip_headers": 20}, "HEAD", 20),
        ]
        for name, rule, method, interval_ms in cases:
            with self.subTest(name):
                self.set_rules({"/sub/small.txt": rule})
                with self.connect(timeout=10) as s:
                    start = time.monotonic()
                    s.sendall(("%s /sub/small.txt HTTP/1.1\r\nHost: x\r\n\r\n" % method).encode())
                    arrivals = self.read_timed(s)
                data = b"".join(b for _, b in arrivals)
                head, _, body = data.partition(b"\r\n\r\n")
                self.assertTrue(head.startswith(b"HTTP/1.1 200 OK"), data[:40])
                self.assertEqual(body, b"small\n" if method == "GET" else b"")
                head_end = len(head) + 4
                dripped = arrivals[:head_end] if "drip_headers" in rule else arrivals[head_end:]
                gaps = [b[0] - a[0] for a, b in zip(dripped, dripped[1:])]
                # One byte at a time: the bytes arrive apart from each other
                # (a test process that the machine keeps waiting may now and
                # then read two at once, so most, not all, must come alone),
                # and the last byte cannot come before the server has paused
                # once for every byte before it.
                apart = sum(1 for g in gaps if g > interval_ms / 1000.0 * 0.5)
                self.assertGreaterEqual(apart, len(gaps) // 2, name)
                took = dripped[-1][0] - start
                self.assertGreaterEqual(took, (len(dripped) - 1) * interval_ms / 1000.0 * 0.9, name)
                if "drip_body" in rule:
                    # The headers came at once, before the first body byte.
                    self.assertLess(arrivals[head_end - 1][0] - start, 0.5, name)

    def test_drip_combines_with_cut_and_status(self):
        self.set_rules({"/sub/small.txt": {"drip_body": 10, "cut": 3,
                                           "status": "500 Internal Server Error"}})
        data = self.request("GET", "/sub/small.txt")
        line, headers, body = parse_response(data)
        self.assertEqual(line, "HTTP/1.1 500 Internal Server Error")
        self.assertEqual(headers.get("content-length"), "6")
        self.assertEqual(body, b"sma")

    def test_never_answers_until_client_leaves(self):
        self.set_rules({"/hang": {"never": True}})
        with self.connect(timeout=0.3) as s:
            s.sendall(b"GET /hang HTTP/1.1\r\nHost: x\r\n\r\n")
            with self.assertRaises(socket.timeout):
                s.recv(1)
        # The server still answers other requests afterwards.
        self.assertTrue(self.request("GET", "/file.bin").startswith(b"HTTP/1.1 200 OK"))


class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="update-server-life-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def wait_for_log_line(self, line):
        path = os.path.join(self.tmp, ".requests.log")
        for _ in range(500):
            try:
                with open(path) as f:
                    if line in f.read().splitlines():
                        return
            except FileNotFoundError:
                pass
            time.sleep(0.01)
        self.fail("%r never appeared in the request log" % line)

    def test_port_file_and_banner(self):
        port_file = os.path.join(self.tmp, "port")
        proc, port = start_server(self.tmp, port_file)
        try:
            banner = proc.stdout.readline().decode()
            self.assertEqual(banner, "listening on http://127.0.0.1:%d\n" % port)
            self.assertGreater(port, 0)
            self.assertEqual([n for n in os.listdir(self.tmp) if n.endswith(".tmp")], [])
        finally:
            self.assertEqual(stop_server(proc), 0)

    def test_stops_cleanly_on_signal_even_with_a_hanging_client(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig.name):
                port_file = os.path.join(self.tmp, "port-%s" % sig.name)
                with open(os.path.join(self.tmp, ".rules.json"), "w") as f:
                    json.dump({"/hang": {"never": True}}, f)
                proc, port = start_server(self.tmp, port_file)
                try:
                    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                        s.sendall(b"GET /hang HTTP/1.1\r\nHost: x\r\n\r\n")
                        # Make sure the request is being held before the signal.
                        self.wait_for_log_line("GET /hang")
                        proc.send_signal(sig)
                        # A bound against hanging, not a speed check.
                        self.assertEqual(proc.wait(timeout=10), 0)
                finally:
                    stop_server(proc)
                os.remove(os.path.join(self.tmp, ".requests.log"))

    def test_large_file_is_streamed(self):
        # A sparse 256 MiB file: cheap to make, and if the server read it all
        # into memory its peak resident size would show it.
        size = 256 << 20
        with open(os.path.join(self.tmp, "big.bin"), "wb") as f:
            f.truncate(size)
        proc, port = start_server(self.tmp, os.path.join(self.tmp, "port"))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
                s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
                buf = bytearray(1 << 20)
                head = b""
                while b"\r\n\r\n" not in head:
                    n = s.recv_into(buf)
                    self.assertGreater(n, 0)
                    head += bytes(buf[:n])
                head, _, first = head.partition(b"\r\n\r\n")
                self.assertIn(b"Content-Length: %d\r\n" % size, head + b"\r\n")
                received = len(first)
                digest = hashlib.sha256(first)
                view = memoryview(buf)
                while True:
                    n = s.recv_into(buf)
                    if n == 0:
                        break
                    received += n
                    digest.update(view[:n])
            self.assertEqual(received, size)
            zeros = hashlib.sha256()
            block = bytes(1 << 20)
            for _ in range(size >> 20):
                zeros.update(block)
            self.assertEqual(digest.hexdigest(), zeros.hexdigest())
            status = "/proc/%d/status" % proc.pid
            if os.path.exists(status):
                with open(status) as f:
                    peak = [l for l in f if l.startswith("VmHWM:")]
                if peak:
                    peak_kib = int(peak[0].split()[1])
                    self.assertLess(peak_kib, 128 * 1024)
        finally:
            self.assertEqual(stop_server(proc), 0)


def raw_request(port, request, timeout=10):
    """Sends `request` as it is and returns everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                return b"".join(chunks)
            chunks.append(data)


class TlsAndProxy(unittest.TestCase):
    """--tls CERT KEY serves over HTTPS; --proxy forwards absolute URLs to
    loopback servers; --proxy-status refuses every proxied request."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="update-server-tls-")
        cls.root = os.path.join(cls.tmp, "root")
        cls.proxy_root = os.path.join(cls.tmp, "proxy")
        os.mkdir(cls.root)
        os.mkdir(cls.proxy_root)
        with open(os.path.join(cls.root, "file.bin"), "wb") as f:
            f.write(PAYLOAD)
        with open(os.path.join(cls.proxy_root, "own.txt"), "wb") as f:
            f.write(b"own\n")
        with open(os.path.join(cls.root, ".rules.json"), "w") as f:
            json.dump({"/cut.bin": {"cut": 100}}, f)
        with open(os.path.join(cls.root, "cut.bin"), "wb") as f:
            f.write(PAYLOAD)
        ca_key, ca, key, csr, cert, ext = (os.path.join(cls.tmp, n) for n in (
            "ca.key", "ca.pem", "server.key", "server.csr", "server.pem", "ext"))
        with open(ext, "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        for cmd in (
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key,
                 "-out", ca, "-days", "1", "-subj", "/CN=update-server test CA"],
                ["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                 "-out", csr, "-subj", "/CN=127.0.0.1"],
                ["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                 "-CAcreateserial", "-days", "1", "-extfile", ext, "-out", cert]):
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.ca = ca
        cls.servers = []

        def start(name, root, extra=()):
            proc, port = start_server(root, os.path.join(cls.tmp, name + ".port"), extra)
            cls.servers.append(proc)
            return port

        cls.tls_port = start("tls", cls.root, ["--tls", cert, key])
        cls.origin_port = start("origin", cls.root)
        cls.proxy_port = start("proxy", cls.proxy_root, ["--proxy"])
        cls.refusing_port = start("refusing", cls.proxy_root,
                                  ["--proxy-status", "407 Proxy Authentication Required"])

    @classmethod
    def tearDownClass(cls):
        for proc in cls.servers:
            stop_server(proc)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def log_lines(self, root):
        with open(os.path.join(root, ".requests.log"), encoding="utf-8") as f:
            return f.read().splitlines()

    def test_tls_serves_files_to_a_client_that_trusts_the_ca(self):
        context = ssl.create_default_context(cafile=self.ca)
        conn = http.client.HTTPSConnection("127.0.0.1", self.tls_port, context=context, timeout=10)
        try:
            conn.request("GET", "/file.bin")
            resp = conn.getresponse()
            self.assertEqual(resp.status, 200)
            self.assertEqual(resp.read(), PAYLOAD)
        finally:
            conn.close()

    def test_tls_certificate_is_refused_without_the_ca(self):
        context = ssl.create_default_context()
        conn = http.client.HTTPSConnection("127.0.0.1", self.tls_port, context=context, timeout=10)
        try:
            with self.assertRaises(ssl.SSLCertVerificationError):
                conn.request("GET", "/file.bin")
        finally:
            conn.close()
        # The server survives a refused handshake.
        self.test_tls_serves_files_to_a_client_that_trusts_the_ca()

    def test_proxy_forwards_absolute_urls_and_relays_the_answer(self):
        cases = [
            ("/file.bin", "HTTP/1.1 200 OK", PAYLOAD, str(len(PAYLOAD))),
            ("/missing.bin", "HTTP/1.1 404 Not Found", None, None),
            # Misbehaviour of the server reaches the client unchanged.
            ("/cut.bin", "HTTP/1.1 200 OK", PAYLOAD[:100], str(len(PAYLOAD))),
        ]
        for path, status, body, length in cases:
            with self.subTest(path=path):
                url = "http://127.0.0.1:%d%s" % (self.origin_port, path)
                data = raw_request(self.proxy_port, (
                    "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
                    % (url, self.origin_port)).encode())
                line, headers, got = parse_response(data)
                self.assertEqual(line, status)
                if body is not None:
                    self.assertEqual(got, body)
                if length is not None:
                    self.assertEqual(headers.get("content-length"), length)
                self.assertIn("GET " + url, self.log_lines(self.proxy_root))
                self.assertIn("GET " + path, self.log_lines(self.root))

    def test_proxy_serves_its_own_folder_for_plain_requests(self):
        line, _, body = parse_response(raw_request(
            self.proxy_port, b"GET /own.txt HTTP/1.1\r\nHost: x\r\n\r\n"))
        self.assertEqual(line, "HTTP/1.1 200 OK")
        self.assertEqual(body, b"own\n")

    def test_proxy_refuses_what_it_must_not_or_cannot_reach(self):
        cases = [
            # Never a way off the machine: no connection is even tried.
            ("http://192.0.2.1/file.bin", "HTTP/1.1 502 Bad Gateway"),
            ("http://127.0.0.1:1/file.bin", "HTTP/1.1 502 Bad Gateway"),
        ]
        for url, status in cases:
            with self.subTest(url=url):
                line, _, _ = parse_response(raw_request(
                    self.proxy_port, ("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % url).encode()))
                self.assertEqual(line, status)

    def test_proxy_status_refuses_every_proxied_request(self):
        url = "http://127.0.0.1:%d/file.bin" % self.origin_port
        line, headers, _ = parse_response(raw_request(
            self.refusing_port, ("HEAD %s HTTP/1.1\r\nHost: x\r\n\r\n" % url).encode()))
        self.assertEqual(line, "HTTP/1.1 407 Proxy Authentication Required")
        self.assertEqual(headers.get("connection"), "close")
        # A tunnel for https is refused the same way.
        line, _, _ = parse_response(raw_request(
            self.refusing_port, b"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n"))
        self.assertEqual(line, "HTTP/1.1 407 Proxy Authentication Required")
        line, _, _ = parse_response(raw_request(
            self.proxy_port, b"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n"))
        self.assertEqual(line, "HTTP/1.1 501 Not Implemented")


class KeepAlive(unittest.TestCase):
    """--keep-alive: several requests on one connection, the connection
    record, and the ways a kept-alive connection can end."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="update-server-keepalive-")
        cls.root = os.path.join(cls.tmp, "root")
        os.mkdir(cls.root)
        with open(os.path.join(cls.root, "file.bin"), "wb") as f:
            f.write(PAYLOAD)
        cls.proc, cls.port = start_server(cls.root, os.path.join(cls.tmp, "port"),
                                          ["--keep-alive", "--keep-alive-timeout", "1"])

    @classmethod
    def tearDownClass(cls):
        stop_server(cls.proc)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        ServerTestBase.set_rules(self, {})

    def connections(self):
        """The record's lines, once every connection it opened has ended."""
        path = os.path.join(self.root, ".connections.log")
        deadline = time.monotonic() + 5
        while True:
            with open(path) as f:
                lines = f.read().split()
            opened = lines[0::2].count("open")
            closed = lines[0::2].count("closed")
            if opened == closed or time.monotonic() > deadline:
                return opened, closed

    def clear_record(self):
        path = os.path.join(self.root, ".connections.log")
        if os.path.exists(path):
            os.remove(path)

    def test_requests_share_one_connection_in_both_versions(self):
        cases = [("HTTP/1.1", {}, None),
                 ("HTTP/1.0", {"Connection": "keep-alive"}, "keep-alive")]
        for version, headers, connection in cases:
            with self.subTest(version=version):
                self.clear_record()
                conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
                conn._http_vsn_str = version
                for method in ("HEAD", "GET", "GET"):
                    conn.request(method, "/file.bin", headers=headers)
                    r = conn.getresponse()
                    body = r.read()
                    self.assertEqual(r.status, 200)
                    self.assertEqual(r.getheader("Connection"), connection)
                    self.assertEqual(body, b"" if method == "HEAD" else PAYLOAD)
                conn.close()
                self.assertEqual(self.connections(), (1, 1))

    def test_ranges_share_one_connection(self):
        # A client that resumes asks for the rest on the connection it has:
        # a 206 whose length is sent in full keeps it, as a 416 does.
        self.clear_record()
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        for asked, status, body in [("bytes=100-", 206, PAYLOAD[100:]),
                                    ("bytes=0-9,20-29", 206, None),
                                    ("bytes=99999-", 416, None),
                                    ("bytes=-10", 206, PAYLOAD[-10:])]:
            conn.request("GET", "/file.bin", headers={"Range": asked})
            r = conn.getresponse()
            data = r.read()
            self.assertEqual(r.status, status, asked)
            self.assertIsNone(r.getheader("Connection"), asked)
            if body is not None:
                self.assertEqual(data, body)
        conn.close()
        self.assertEqual(self.connections(), (1, 1))

    def test_connection_closes_where_the_answer_needs_it(self):
        # A body that only the close can end, a cut one, a request that asks
        # for it, an HTTP/1.0 request that does not ask to keep it.
        cases = [({"nolength": True}, b"HTTP/1.1", ""),
                 ({"cut": 10}, b"HTTP/1.1", ""),
                 ({}, b"HTTP/1.1", "Connection: close\r\n"),
                 ({}, b"HTTP/1.0", "")]
        for rule, version, extra in cases:
            with self.subTest(rule=rule, version=version, extra=extra):
                ServerTestBase.set_rules(self, {"/file.bin": rule})
                data = raw_request(self.port, b"GET /file.bin " + version +
                                   ("\r\nHost: x\r\n%s\r\n" % extra).encode())
                _, headers, _ = parse_response(data)
                self.assertEqual(headers.get("connection"), "close")

    def test_idle_connection_ends_after_the_keep_alive_time(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"HEAD /file.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            first = s.recv(65536)
            self.assertTrue(first.startswith(b"HTTP/1.1 200 OK"))
            # The server's 1 s idle time runs out; the read is bounded by 5 s.
            self.assertEqual(s.recv(65536), b"")

    def test_close_after_and_drop_reused(self):
        ServerTestBase.set_rules(self, {"/file.bin": {"close_after": True},
                                        "/other": {"drop_reused": True}})
        with open(os.path.join(self.root, "other"), "wb") as f:
            f.write(b"other")
        # close_after: a keep-alive answer (no "Connection: close"), then the end.
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"HEAD /file.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            data = b""
            while True:
                piece = s.recv(65536)
                if not piece:
                    break
                data += piece
            line, headers, _ = parse_response(data)
            self.assertEqual(line, "HTTP/1.1 200 OK")
            self.assertNotIn("connection", headers)
        # drop_reused: served as the first request of a connection, dropped
        # without a byte as a later one.
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"HEAD /other HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertTrue(s.recv(65536).startswith(b"HTTP/1.1 200 OK"))
            s.sendall(b"HEAD /other HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertEqual(s.recv(65536), b"")


if __name__ == "__main__":
    unittest.main()
