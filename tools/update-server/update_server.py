#!/usr/bin/env python3
"""Loopback HTTP/1.1 file server for KestroLoader tests and demos.

It serves the files under --root as nginx serves static files, byte ranges
(Range, If-Range) included, and, when asked to, misbehaves in the ways a
real update server or a broken proxy can: wrong status lines, missing or false
Content-Length, truncated bodies, stalls, redirects, junk instead of HTTP and
oversized headers. The misbehaviour is described per URL path in
ROOT/.rules.json, which is read again on every request so that a test can
change it between two requests without restarting anything. Every request is
also recorded in ROOT/.requests.log so that a test can check what the client
actually asked for (its Range and If-Range headers in ROOT/.ranges.log),
and every connection's opening and end in ROOT/.connections.log, so that it
can count the connections it opened.

By default every answer carries "Connection: close" and the connection ends
after it. With --keep-alive the server keeps a connection open for the next
request, as web servers do, until the client leaves or it has been idle for
--keep-alive-timeout seconds.

With --tls CERT KEY it speaks HTTPS instead of plain HTTP. With --proxy it is
also a forward proxy for plain HTTP: a request for an absolute URL
("GET http://127.0.0.1:8080/x HTTP/1.1") is passed on to that server (on
loopback only) and its answer handed back byte for byte.

Only the Python standard library is used, so the server runs wherever the
tests run, and it starts fast because it imports little.
"""

import argparse
import email.utils
import json
import os
import posixpath
import re
import select
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

RULES_FILE = ".rules.json"
REQUESTS_LOG = ".requests.log"
CONNECTIONS_LOG = ".connections.log"
RANGES_LOG = ".ranges.log"

# Big enough that a 256 MiB file goes out in a few hundred system calls when
# sendfile is not available, small enough to keep the memory use flat.
CHUNK = 1 << 20

# Set when the server is told to stop, so that handlers that are sleeping or
# holding a connection open on purpose give up at once.
STOPPING = threading.Event()

_log_lock = threading.Lock()


def load_rules(root):
    """Return the rule table, or an empty one when the file is missing or bad.

    A test may be halfway through rewriting the file when a request comes in;
    treating an unreadable file as "no rules" keeps the server running, and
    tests that care write the file atomically anyway.
    """
    try:
        with open(os.path.join(root, RULES_FILE), "r", encoding="utf-8") as f:
            rules = json.load(f)
    except (OSError, ValueError):
        return {}
    return rules if isinstance(rules, dict) else {}


def append_line(root, name, line):
    # Opened and closed per line so that a reader sees each line at once.
    with _log_lock:
        try:
            with open(os.path.join(root, name), "a", encoding="utf-8") as f:
                f.write(line + "\n")
        except OSError:
            pass


def append_request(root, method, target, headers):
    """Record a request in the request log, and its Range and If-Range
    headers ("-" for one not sent) in the range log."""
    append_line(root, REQUESTS_LOG, "%s %s" % (method, target))
    asked = [headers.get(name) for name in ("Range", "If-Range")]
    append_line(root, RANGES_LOG, "%s range=%s if-range=%s" % (
        (target,) + tuple("-" if v is None else v.strip(" \t") for v in asked)))


_connection_numbers = iter(range(1, 1 << 62))


def safe_file_path(root, url_path):
    """Map a decoded URL path to a file under root, or None.

    Any ".." segment is refused outright rather than resolved, because a
    client that sends one is either buggy or probing, and a 404 is what a
    careful real server would answer. Symbolic links inside the root are
    followed on purpose: tests may link a large file in from elsewhere.
    """
    if "\0" in url_path or "\\" in url_path:
        return None
    parts = [p for p in url_path.split("/") if p not in ("", ".")]
    if any(p == ".." for p in parts):
        return None
    if not parts:
        return None
    full = os.path.join(root, *parts)
    normal = posixpath.normpath(full)
    if not (normal == root or normal.startswith(root.rstrip("/") + "/")):
        return None
    return full if os.path.isfile(full) else None


def _int(value, default=None):
    try:
        return int(value)
    except (TypeError, ValueError):
        return default


def _float(value, default=0.0):
    try:
        return float(value)
    except (TypeError, ValueError):
        return default


# The chunk size of a chunked body when no number is given.
DEFAULT_CHUNK = 1 << 16


def _chunk_size(rule):
    """The chunk size a rule asks for, or 0 for a body sent as it is.

    "chunked": true (or a positive number of bytes) sends the body chunked;
    "cut_chunked" alone implies chunks of the default size.
    """
    value = rule.get("chunked")
    if value is True:
        return DEFAULT_CHUNK
    if isinstance(value, int) and not isinstance(value, bool) and value > 0:
        return value
    if _int(rule.get("cut_chunked")) is not None:
        return DEFAULT_CHUNK
    return 0


OCTETS = "application/octet-stream"
TEXT = "text/plain; charset=utf-8"

_boundary_numbers = iter(range(1, 1 << 62))


def file_validators(rule, st):
    """A served file's validator headers, with the modification time (whole
    seconds) that an If-Range date must name and the ETag that an If-Range
    tag must equal, None for either that is not sent.

    They are what nginx gives a static file: a Last-Modified date and an
    ETag of the modification time and size, both in hex. A rule may replace
    the ETag ("etag", sent as it is, a weak one too) or drop both
    ("no_validators")."""
    if rule.get("no_validators"):
        return [], None, None
    mtime = st.st_mtime_ns // 1_000_000_000
    etag = str(rule["etag"]) if "etag" in rule else '"%x-%x"' % (mtime, st.st_size)
    return ([("Last-Modified", email.utils.formatdate(mtime, usegmt=True)), ("ETag", etag)],
            mtime, etag)


NOT_SATISFIABLE = "not satisfiable"


def requested_ranges(headers, size, etag, mtime):
    """The byte ranges that a GET of a file of `size` bytes asks for, read as
    nginx reads them: None for the whole file, NOT_SATISFIABLE, or a list of
    (start, end) pairs, end not included."""
    value = (headers.get("Range") or "").strip(" \t")
    # Another unit, or nothing after "bytes=", is no request for a range.
    if len(value) < 7 or value[:6].lower() != "bytes=":
        return None
    if_range = headers.get("If-Range")
    if if_range is not None:
        if_range = if_range.strip(" \t")
        # A value that ends in a quote is an entity tag and must be the ETag
        # sent, byte for byte: W/"x" never matches "x", nor "x" W/"x". Any
        # other value is a date, which must name the Last-Modified second.
        if len(if_range) >= 2 and if_range.endswith('"'):
            if if_range != etag:
                return None
        elif mtime is None or parse_http_date(if_range) != mtime:
            return None
    return parse_ranges(value[6:], size)


def _digits(text, p):
    """The number made of the ASCII digits at text[p:], and where they end;
    None for a number too large for a file offset."""
    q = p
    while "0" <= text[q] <= "9":
        q += 1
    value = int(text[p:q])
    return (value if value < 1 << 63 else None), q


def parse_ranges(value, size):
    """A Range header's ranges (what follows "bytes="), read as nginx reads
    them. Blanks may stand around the numbers; anything else that is not a
    range or a comma between two makes the request not satisfiable, and so
    do ranges that all lie past the end. A range that starts past the end is
    dropped; one that ends past it ends at the end. A range from 0 that holds
    nothing (any range of an empty file) asks for the whole file, and so do
    ranges that add up to more than the file."""
    text = value + "\0"
    p = 0
    ranges = []
    total = 0

    def blanks(p):
        while text[p] == " ":
            p += 1
        return p

    while True:
        p = blanks(p)
        start, end = 0, None
        suffix = text[p] == "-"
        if suffix:
            p += 1
        else:
            if not "0" <= text[p] <= "9":
                return NOT_SATISFIABLE
            start, p = _digits(text, p)
            p = blanks(p)
            if start is None or text[p] != "-":
                return NOT_SATISFIABLE
            p = blanks(p + 1)
            if text[p] in ",\0":
                end = size
        if end is None:
            if not "0" <= text[p] <= "9":
                return NOT_SATISFIABLE
            last, p = _digits(text, p)
            p = blanks(p)
            if last is None or text[p] not in ",\0":
                return NOT_SATISFIABLE
            if suffix:
                start, last = max(0, size - last), size - 1
            end = min(last + 1, size)
        if start < end:
            ranges.append((start, end))
            total += end - start
        elif start == 0:
            return None
        if text[p] != ",":
            break
        p += 1
    if not ranges:
        return NOT_SATISFIABLE
    return None if total > size else ranges


_MONTH_DAYS = [31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
# The three forms of an HTTP date, as far as nginx reads them: the weekday
# and whatever follows the time (RFC 1123, RFC 850) or the year (asctime)
# are not looked at, and of the month only the letters that tell it apart.
_DATE_FORMS = [
    re.compile(r"[^, ]*, *(?P<day>\d\d) (?P<month>[JFMASOND]..) (?P<year>\d{4}) "
               r"(?P<h>\d\d):(?P<m>\d\d):(?P<s>\d\d)", re.ASCII),
    re.compile(r"[^, ]*, *(?P<day>\d\d)-(?P<month>[JFMASOND]..)-(?P<year>\d\d) "
               r"(?P<h>\d\d):(?P<m>\d\d):(?P<s>\d\d)", re.ASCII),
    re.compile(r"[^, ]* +(?P<month>[JFMASOND]..). ?(?P<day>\d\d?) "
               r"(?P<h>\d\d):(?P<m>\d\d):(?P<s>\d\d) (?P<year>\d{4})", re.ASCII),
]


def _month(name):
    first, second, third = name
    if first == "J":
        return 0 if second == "a" else 5 if third == "n" else 6
    if first == "M":
        return 2 if third == "r" else 4
    if first == "A":
        return 3 if second == "p" else 7
    return {"F": 1, "S": 8, "O": 9, "N": 10, "D": 11}[first]


def parse_http_date(text):
    """Seconds since 1970 of an HTTP date, or None, as nginx reads an
    If-Range date (which must then be the Last-Modified second exactly)."""
    for form in _DATE_FORMS:
        found = form.match(text)
        if found:
            break
    else:
        return None
    day, year = int(found["day"]), int(found["year"])
    if len(found["year"]) == 2:
        year += 2000 if year < 70 else 1900
    month = _month(found["month"])
    hour, minute, second = int(found["h"]), int(found["m"]), int(found["s"])
    if hour > 23 or minute > 59 or second > 59:
        return None
    if day == 29 and month == 1:
        if year % 4 or (year % 100 == 0 and year % 400):
            return None
    elif day > _MONTH_DAYS[month]:
        return None
    # Days counted from 1 March of a year that starts in March, so that
    # February's length only matters at the end of the year.
    month -= 1
    if month <= 0:
        month += 12
        year -= 1
    days = (365 * year + year // 4 - year // 100 + year // 400 + 367 * month // 12 - 30
            + day - 1 - 719527 + 31 + 28)
    return days * 86400 + hour * 3600 + minute * 60 + second


class Body:
    """What an answer sends after its headers: pieces one after another, each
    either bytes of the server's own (bytes) or a stretch of the served file
    ((offset, length) in the file at `path`)."""

    def __init__(self, pieces, path=None):
        self.pieces = pieces
        self.path = path
        self.size = sum(len(p) if isinstance(p, bytes) else p[1] for p in pieces)

    def spans(self, start, end):
        """The body bytes start..end as (piece, from, to), from and to
        counted within the piece."""
        pos = 0
        for piece in self.pieces:
            n = len(piece) if isinstance(piece, bytes) else piece[1]
            lo, hi = max(start, pos), min(end, pos + n)
            if lo < hi:
                yield piece, lo - pos, hi - pos
            pos += n

    def read(self, f, start, end):
        """The body bytes start..end; f is the served file, open."""
        data = []
        for piece, lo, hi in self.spans(start, end):
            if isinstance(piece, bytes):
                data.append(piece[lo:hi])
            else:
                f.seek(piece[0] + lo)
                data.append(f.read(hi - lo))
        return b"".join(data)


def _status_code(status):
    return _int(str(status).split(" ", 1)[0], 0)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KestroUpdateServer/1"

    # Quiet by default: the C++ tests print their own diagnostics and a line
    # per request would bury them.
    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("update-server: %s\n" % (format % args))

    def setup(self):
        # An idle kept-alive connection ends after the keep-alive time: the
        # wait for its next request line times out.
        if self.server.keep_alive:
            self.timeout = self.server.keep_alive_timeout
        super().setup()
        with _log_lock:
            self.number = next(_connection_numbers)
        self.served = 0
        append_line(self.server.root, CONNECTIONS_LOG, "open %d" % self.number)

    def finish(self):
        try:
            super().finish()
        finally:
            append_line(self.server.root, CONNECTIONS_LOG, "closed %d" % self.number)

    def client_allows_keep_alive(self):
        """Whether the request lets the connection stay open: HTTP/1.1 unless
        it says "Connection: close", HTTP/1.0 only when it asks for it."""
        tokens = [t.strip().lower()
                  for t in (self.headers.get("Connection") or "").split(",")]
        if self.request_version == "HTTP/1.1":
            return "close" not in tokens
        return self.request_version == "HTTP/1.0" and "keep-alive" in tokens

    def do_GET(self):
        self.serve("GET")

    def do_HEAD(self):
        self.serve("HEAD")

    # Other methods are logged and answered 405 unless a rule says otherwise,
    # so a client that sends the wrong method shows up in the log.
    def do_POST(self):
        self.serve("POST")

    def do_PUT(self):
        self.serve("PUT")

    def do_DELETE(self):
        self.serve("DELETE")

    def do_OPTIONS(self):
        self.serve("OPTIONS")

    def do_PATCH(self):
        self.serve("PATCH")

    def do_CONNECT(self):
        # No tunnels: as a refusing proxy it refuses them like any request,
        # otherwise it says it cannot.
        self.close_connection = True
        append_request(self.server.root, "CONNECT", self.path, self.headers)
        status = self.server.proxy_status or "501 Not Implemented"
        self.send_raw(("HTTP/1.1 %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                       % status).encode("latin-1"))

    # -- helpers -------------------------------------------------------------

    def wait(self, seconds):
        """Sleep, but return early (False) when the server is stopping."""
        if seconds > 0:
            STOPPING.wait(seconds)
        return not STOPPING.is_set()

    def hold_open(self):
        """Keep the connection open without answering until the peer leaves."""
        sock = self.connection
        while not STOPPING.is_set():
            try:
                ready, _, _ = select.select([sock], [], [], 0.1)
                if ready and not sock.recv(65536):
                    return
            except OSError:
                return

    def send_raw(self, data):
        self.connection.sendall(data)

    def drip(self, data, interval):
        """Send `data` one byte at a time, `interval` seconds apart.

        Each byte goes out on its own so that the client sees a steady trickle
        rather than one late burst. False when the server is stopping.
        """
        for i in range(len(data)):
            if i > 0 and not self.wait(interval):
                return False
            self.send_raw(data[i:i + 1])
        return True

    def drip_body(self, body, f, total, interval):
        """Send the first `total` body bytes one at a time, `interval` apart."""
        sent = 0
        while sent < total:
            piece = body.read(f, sent, min(total, sent + 4096))
            if not piece:
                return
            # The pause also separates the last byte of one piece from
            # the first byte of the next.
            if sent > 0 and not self.wait(interval):
                return
            if not self.drip(piece, interval):
                return
            sent += len(piece)

    def send_body(self, body, f, total, stall):
        """Send `total` bytes of the body, pausing once if `stall` says so."""
        after, seconds = stall if stall else (None, 0.0)
        segments = []
        if after is not None and 0 <= after <= total:
            segments = [(0, after), None, (after, total)]
        else:
            segments = [(0, total)]
        for seg in segments:
            if seg is None:
                if not self.wait(seconds):
                    return
                continue
            for piece, start, end in body.spans(*seg):
                if isinstance(piece, bytes):
                    self.send_raw(piece[start:end])
                else:
                    self.connection.sendfile(f, piece[0] + start, end - start)

    def send_chunked(self, body, f, total, chunk, stall, last=True):
        """Send the body in the chunked transfer coding, `chunk` bytes a chunk.

        Only the first `total` body bytes go out. When that is all of them and
        `last` is set, the zero-length last chunk ends the body; otherwise the
        connection is closed right there, in the middle of a chunk whose size
        line promised more, or (when the cut falls on a chunk boundary) before
        the next size line: the ways a chunked body can be cut short.
        """
        after, seconds = stall if stall else (None, 0.0)
        stalled = False
        sent = 0
        size = body.size
        pos = 0
        while pos < size and sent < total:
            n = min(chunk, size - pos)
            data = body.read(f, pos, pos + n)
            pos += n
            self.send_raw(b"%x\r\n" % n)
            data = data[:total - sent]
            if not stalled and after is not None and sent <= after < sent + len(data):
                self.send_raw(data[:after - sent])
                if not self.wait(seconds):
                    return
                stalled = True
                self.send_raw(data[after - sent:])
            else:
                self.send_raw(data)
            sent += len(data)
            if len(data) == n:
                self.send_raw(b"\r\n")
        if sent >= size and last:
            self.send_raw(b"0\r\n\r\n")

    # -- files and their ranges ---------------------------------------------

    def file_answer(self, path, rule, status):
        """Status, headers and body of an answer that serves the file at
        `path`: the whole file under `status`, or, for a 200 answer, what the
        request's Range and If-Range headers ask for, as nginx answers them
        for a static file."""
        st = os.stat(path)
        size = st.st_size
        validators, mtime, etag = file_validators(rule, st)
        whole = [("Content-Type", OCTETS)] + validators
        if "status" in rule or rule.get("ranges") is False:
            # A server without ranges does not offer them either.
            return status, whole, Body([(0, size)], path)
        ranges = requested_ranges(self.headers, size, etag, mtime)
        if ranges is None:
            return status, whole + [("Accept-Ranges", "bytes")], Body([(0, size)], path)
        if ranges is NOT_SATISFIABLE:
            # nginx's error page carries the size and no validators.
            status = "416 Requested Range Not Satisfiable"
            return (status, [("Content-Type", TEXT), ("Content-Range", "bytes */%d" % size)],
                    Body([(status + "\n").encode("utf-8")]))
        # A broken server's ranges start elsewhere than asked, inside the
        # file and the range as asked.
        offset = _int(rule.get("range_offset"), 0)
        ranges = [(max(0, min(start + offset, end - 1)), end) for start, end in ranges]
        if len(ranges) == 1:
            start, end = ranges[0]
            if not rule.get("range_no_content_range"):
                whole.append(("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size)))
            return "206 Partial Content", whole, Body([(start, end - start)], path)
        # Several ranges: one multipart/byteranges body, the parts in the
        # order asked, framed as nginx frames them (a 20-digit boundary).
        with _log_lock:
            boundary = "%020d" % next(_boundary_numbers)
        pieces = []
        for start, end in ranges:
            pieces.append(("\r\n--%s\r\nContent-Type: %s\r\nContent-Range: bytes %d-%d/%d\r\n\r\n"
                           % (boundary, OCTETS, start, end - 1, size)).encode("latin-1"))
            pieces.append((start, end - start))
        pieces.append(("\r\n--%s--\r\n" % boundary).encode("latin-1"))
        headers = [("Content-Type", "multipart/byteranges; boundary=" + boundary)] + validators
        return "206 Partial Content", headers, Body(pieces, path)

    # -- the one request path ------------------------------------------------

    def serve(self, method):
        self.close_connection = True
        self.served += 1
        root = self.server.root
        target = self.path
        append_request(root, method, target, self.headers)
        if self.server.proxy and "://" in target:
            self.forward(method, target)
            return

        # A request body, if any, is read and dropped so that closing the
        # socket afterwards does not turn into a reset that loses our answer.
        length = _int(self.headers.get("Content-Length"), 0) or 0
        if length > 0:
            try:
                self.rfile.read(length)
            except OSError:
                return

        split = urllib.parse.urlsplit(target)
        url_path = urllib.parse.unquote(split.path)
        rules = load_rules(root)
        rule = None
        # A key that starts with the method ("GET /x") applies to that method
        # only and comes first, so that, say, a HEAD and a GET of one path can
        # declare different things.
        keys = ["%s %s" % (method, k) for k in (target, split.path, url_path)]
        # "*" is the rule of every path that has none of its own, as for a
        # login page in front of the whole server.
        for key in keys + [target, split.path, url_path, "%s *" % method, "*"]:
            candidate = rules.get(key)
            if isinstance(candidate, dict):
                rule = candidate
                break
        rule = rule or {}

        if rule.get("drop_reused") and self.served > 1:
            # The server gave up the idle connection just as this request
            # came in: it ends without a byte of an answer.
            return
        if not self.wait(_float(rule.get("stall_headers"))):
            return
        if rule.get("never"):
            self.hold_open()
            return
        if "garbage" in rule:
            self.send_raw(str(rule["garbage"]).encode("utf-8"))
            return

        file_path = safe_file_path(root, url_path)
        headers = []
        body = Body([])
        if "redirect" in rule:
            status = str(rule.get("status") or "302 Found")
            headers.append(("Location", str(rule["redirect"])))
        else:
            if "status" in rule:
                status = str(rule["status"])
            elif method not in ("GET", "HEAD"):
                status = "405 Method Not Allowed"
            elif file_path is not None or "body" in rule:
                status = "200 OK"
            else:
                status = "404 Not Found"
            if "body" in rule:
                # A page of the server's own in place of the file (a login
                # page, an error page with a success status).
                body = Body([str(rule["body"]).encode("utf-8")])
                headers.append(("Content-Type", "text/html; charset=utf-8"))
            elif file_path is not None and (method in ("GET", "HEAD") or "status" in rule):
                status, headers, body = self.file_answer(file_path, rule, status)
            else:
                body = Body([(status + "\n").encode("utf-8")])
                headers.append(("Content-Type", TEXT))

        code = _status_code(status)
        has_body = not (code == 204 or code == 304 or 100 <= code < 200)
        if not has_body:
            body = Body([])
            headers = [h for h in headers if h[0] != "Content-Type"]

        size = body.size
        if "length" in rule:
            headers.append(("Content-Length", str(_int(rule["length"], size))))
        elif has_body and not rule.get("nolength"):
            headers.append(("Content-Length", str(size)))
        if rule.get("nolength"):
            headers = [h for h in headers if h[0] != "Content-Length"]
        # A chunked body carries its own framing instead of a length (a
        # "length" rule still adds one, as a broken server might).
        chunk = _chunk_size(rule)
        if chunk and has_body:
            if "length" not in rule:
                headers = [h for h in headers if h[0] != "Content-Length"]
            headers.append(("Transfer-Encoding", "chunked"))
        filler = _int(rule.get("bigheader"), 0)
        if filler > 0:
            headers.append(("X-Filler", "x" * filler))
        # A connection stays open only for an answer whose end the client can
        # tell without the connection closing: a length that is sent in full,
        # or whole chunks.
        cut = _int(rule.get("cut"))
        framed = (not has_body or method == "HEAD" or
                  (chunk and "cut_chunked" not in rule and cut is None) or
                  (not chunk and not rule.get("nolength") and "length" not in rule and
                   cut is None))
        keep = self.server.keep_alive and framed and self.client_allows_keep_alive()
        if not keep:
            headers.append(("Connection", "close"))
        elif self.request_version == "HTTP/1.0":
            headers.append(("Connection", "keep-alive"))
        # "close_after" ends a kept-alive connection right after the answer
        # without saying so first, as a server does when its idle time is up.
        self.close_connection = not keep or bool(rule.get("close_after"))

        head = "HTTP/1.1 %s\r\n" % status
        head += "".join("%s: %s\r\n" % h for h in headers) + "\r\n"
        head_bytes = head.encode("latin-1", "replace")
        drip_headers = _float(rule.get("drip_headers"), 0.0)
        if drip_headers > 0:
            if not self.drip(head_bytes, drip_headers / 1000.0):
                return
        else:
            self.send_raw(head_bytes)
        if method == "HEAD" or not has_body:
            return

        total = size
        if cut is not None:
            total = max(0, min(cut, size))
        cut_chunked = _int(rule.get("cut_chunked"))
        if chunk and cut_chunked is not None:
            total = max(0, min(cut_chunked, total))
        stall = None
        sb = rule.get("stall_body")
        if isinstance(sb, dict):
            stall = (_int(sb.get("after"), 0), _float(sb.get("seconds")))
        drip_body = _float(rule.get("drip_body"), 0.0)
        f = open(body.path, "rb") if body.path is not None else None
        try:
            if drip_body > 0:
                self.drip_body(body, f, total, drip_body / 1000.0)
            elif chunk:
                self.send_chunked(body, f, total, chunk, stall, last=cut_chunked is None)
            else:
                self.send_body(body, f, total, stall)
        finally:
            if f is not None:
                f.close()


    # -- forward proxy -------------------------------------------------------

    def forward(self, method, target):
        """Pass a request for an absolute URL on to its server and relay the
        answer as it comes, misbehaviour included."""
        refuse = self.server.proxy_status
        if refuse:
            body = (refuse + "\n").encode("utf-8")
            self.send_raw(("HTTP/1.1 %s\r\nContent-Type: text/plain; charset=utf-8\r\n"
                           "Content-Length: %d\r\nConnection: close\r\n\r\n"
                           % (refuse, len(body))).encode("latin-1") + body)
            return
        split = urllib.parse.urlsplit(target)
        host = split.hostname or ""
        # Loopback only: the proxy must never become a way out of the machine.
        if split.scheme != "http" or host not in ("127.0.0.1", "::1", "localhost"):
            self.send_raw(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n"
                          b"Connection: close\r\n\r\n")
            return
        path = split.path or "/"
        if split.query:
            path += "?" + split.query
        try:
            upstream = socket.create_connection((host, split.port or 80), timeout=30)
        except OSError:
            self.send_raw(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n"
                          b"Connection: close\r\n\r\n")
            return
        with upstream:
            upstream.sendall(("%s %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
                              % (method, path, split.netloc)).encode("latin-1"))
            upstream.settimeout(0.1)
            while not STOPPING.is_set():
                try:
                    data = upstream.recv(CHUNK)
                except socket.timeout:
                    continue
                except OSError:
                    return
                if not data:
                    return
                self.send_raw(data)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    request_queue_size = 128
    tls = None
    proxy = False
    proxy_status = None
    keep_alive = False
    keep_alive_timeout = 60.0

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so a
        # client that stalls or rejects it holds up nobody else.
        if self.tls is not None:
            request = self.tls.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        # Clients in these tests hang up early on purpose all the time, and
        # refuse certificates on purpose; only real bugs in the server
        # deserve a traceback.
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, TimeoutError, socket.timeout, ssl.SSLError)):
            return
        super().handle_error(request, client_address)


def write_port_file(path, port):
    # Written under a temporary name and renamed, so a reader polling for the
    # file never sees it half written.
    directory = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(directory, ".%s.%d.tmp" % (os.path.basename(path), os.getpid()))
    with open(tmp, "w", encoding="ascii") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


def watch_parent(parent):
    # Used by the test wrapper: if it is killed outright it cannot stop us, so
    # we notice that we have been handed to another parent and stop ourselves.
    while not STOPPING.wait(0.2):
        if os.getppid() != parent:
            os.kill(os.getpid(), signal.SIGTERM)
            return


def main(argv=None):
    parser = argparse.ArgumentParser(description="Loopback HTTP/1.1 server for KestroLoader tests.")
    parser.add_argument("--root", required=True, help="folder to serve")
    parser.add_argument("--port", type=int, default=0, help="port to listen on, 0 for a free one")
    parser.add_argument("--port-file", help="write the chosen port number to this file")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    parser.add_argument("--exit-with-parent", action="store_true",
                        help="stop when the process that started the server goes away")
    parser.add_argument("--verbose", action="store_true", help="log each request to stderr")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="speak HTTPS with this certificate (chain) and key, PEM files")
    parser.add_argument("--proxy", action="store_true",
                        help="also act as a forward proxy for plain HTTP to loopback servers")
    parser.add_argument("--proxy-status", metavar="STATUS",
                        help="as a proxy, refuse every request with this status, "
                             "e.g. \"407 Proxy Authentication Required\"")
    parser.add_argument("--keep-alive", action="store_true",
                        help="keep connections open for further requests instead of "
                             "closing after every answer")
    parser.add_argument("--keep-alive-timeout", type=float, default=60.0, metavar="S",
                        help="with --keep-alive, close a connection idle for S seconds "
                             "(default 60)")
    args = parser.parse_args(argv)

    root = os.path.abspath(args.root)
    if not os.path.isdir(root):
        parser.error("--root %s is not a folder" % args.root)

    # The handler only raises a flag. Doing more inside a signal handler (or
    # raising an exception from it) could interrupt the main thread while it
    # holds a lock inside the threading machinery and hang the shutdown.
    stop_requested = []

    def on_signal(signum, frame):
        stop_requested.append(signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    tls = None
    if args.tls:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        try:
            tls.load_cert_chain(args.tls[0], args.tls[1])
        except (OSError, ssl.SSLError) as e:
            parser.error("--tls: %s" % e)

    server = Server((args.host, args.port), Handler)
    server.root = root
    server.verbose = args.verbose
    server.tls = tls
    server.proxy = args.proxy or bool(args.proxy_status)
    server.proxy_status = args.proxy_status
    server.keep_alive = args.keep_alive
    server.keep_alive_timeout = args.keep_alive_timeout
    port = server.server_address[1]
    if args.port_file:
        write_port_file(args.port_file, port)
    print("listening on %s://%s:%d" % ("https" if tls else "http", args.host, port), flush=True)

    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                               daemon=True)
    serving.start()
    if args.exit_with_parent:
        threading.Thread(target=watch_parent, args=(os.getppid(),), daemon=True).start()
    try:
        while not stop_requested:
            time.sleep(0.1)
    finally:
        STOPPING.set()
        server.shutdown()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
