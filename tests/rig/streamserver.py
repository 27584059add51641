#!/usr/bin/python3
"""The rig's loopback stream server: endless radio-like streams and misbehaving servers.

Listens on 127.0.0.1 only. Every route is one entry of ROUTES (a path pattern and a
handler); add a route with the @route decorator:

    @route(r"/hello")
    def hello(req, match):
        req.send_body(200, "text/plain", b"hi")

A handler gets the request (Request: path, query, headers, helpers below) and the
regular-expression match of its path (the query string is not part of the path).
Media comes from MEDIA, generated with ffmpeg into the media directory: the eager
entries when the server starts, the others on first use (media_path()).

Every connection ends after MAX_CONNECTION_SECONDS, whatever the route does.
"""
import argparse
import os
import re
import select
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_CONNECTION_SECONDS = 600
SEND_TIMEOUT_SECONDS = 60
BURST_SECONDS = 1.0  # sent at once, as a real station's server does, so a player starts quickly
TITLE_SECONDS = 3.0  # how long each ICY StreamTitle lasts
DEFAULT_METAINT = 8192

MEDIA_DIR = None

# name -> (ffmpeg input arguments, output arguments, eager).
# 192 frames of 1152 samples: the loop repeats whole MP3 frames.
CLIP_SECONDS = "%.6f" % (192 * 1152 / 44100)
MP3_OUT = ["-c:a", "libmp3lame", "-b:a", "128k", "-ac", "1", "-write_xing", "0", "-id3v2_version", "0", "-f", "mp3"]


def tone_input(hz):
    return ["-f", "lavfi", "-i", "sine=f=%d:sample_rate=44100:d=%s" % (hz, CLIP_SECONDS)]


MEDIA = {
    "tone-440.mp3": (tone_input(440), MP3_OUT, True),
    "tone-880.mp3": (tone_input(880), MP3_OUT, True),
    "silence.mp3": (["-f", "lavfi", "-i", "anullsrc=r=44100:cl=mono:d=" + CLIP_SECONDS], MP3_OUT, True),
}

_media_lock = threading.Lock()
FFMPEG = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"]


def render(names):
    """Renders clips in one ffmpeg run (one start-up for all of them), each file appearing whole."""
    inputs = []
    outputs = []
    for index, name in enumerate(names):
        clip_inputs, clip_outputs, _ = MEDIA[name]
        inputs += clip_inputs
        outputs += ["-map", str(index)] + clip_outputs + [os.path.join(MEDIA_DIR, name + ".part")]
    subprocess.run(FFMPEG + inputs + outputs, check=True)
    for name in names:
        os.replace(os.path.join(MEDIA_DIR, name + ".part"), os.path.join(MEDIA_DIR, name))


def generate_eager_media():
    names = [name for name, (_, _, eager) in MEDIA.items()
             if eager and not os.path.exists(os.path.join(MEDIA_DIR, name))]
    if names:
        with _media_lock:
            render(names)


def media_path(name):
    """The clip's file, rendered now if it does not exist yet; None for an unknown name."""
    if name not in MEDIA:
        return None
    path = os.path.join(MEDIA_DIR, name)
    with _media_lock:
        if not os.path.exists(path):
            render([name])
    return path


MP3_BITRATES_KBPS = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0]


def mp3_byte_rate(data):
    """Bytes per second of a constant-bitrate MPEG-1 Layer III clip, from its first frame header."""
    if len(data) >= 4 and data[0] == 0xFF and (data[1] & 0xFE) == 0xFA:
        kbps = MP3_BITRATES_KBPS[data[2] >> 4]
        if kbps:
            return kbps * 1000 // 8
    return 16000


ROUTES = []


def route(pattern):
    """Registers a handler for paths matching pattern (a whole-path regular expression)."""
    def register(handler):
        ROUTES.append((re.compile(pattern + r"\Z"), handler))
        return handler
    return register


class Request(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "OrvaneTestServer/1.0"

    # Helpers for handlers.

    @property
    def deadline(self):
        return self._started + MAX_CONNECTION_SECONDS

    def time_left(self):
        return self.deadline - time.monotonic()

    def wants_icy(self):
        return self.headers.get("Icy-MetaData", "").strip() == "1"

    def send_body(self, code, content_type, body, headers=()):
        """A complete response with a Content-Length."""
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def client_gone(self, wait=0.0):
        """True once the client has closed its side (waits up to `wait` seconds for that)."""
        readable, _, _ = select.select([self.connection], [], [], wait)
        if not readable:
            return False
        try:
            return self.connection.recv(4096, socket.MSG_PEEK) == b""
        except OSError:
            return True

    def hold(self, seconds=None):
        """Keeps the connection open without sending, until the client leaves or the time is up."""
        end = min(self.deadline, time.monotonic() + seconds) if seconds is not None else self.deadline
        while time.monotonic() < end:
            if self.client_gone(min(0.5, max(0.0, end - time.monotonic()))):
                return

    def stream_loop(self, data, byte_rate, metaint=None, title=None, limit_bytes=None):
        """Sends data again and again at byte_rate after a short burst, like a live station.

        With metaint, an ICY metadata block follows every metaint bytes of audio; title(elapsed)
        gives its StreamTitle (sent when it changes, an empty block otherwise).
        """
        start = time.monotonic()
        sent = 0
        position = 0
        until_meta = metaint
        last_title = None
        while time.monotonic() < self.deadline and (limit_bytes is None or sent < limit_bytes):
            due = int(byte_rate * (BURST_SECONDS + time.monotonic() - start)) - sent
            if limit_bytes is not None:
                due = min(due, limit_bytes - sent)
            if due <= 0:
                time.sleep(0.02)
                continue
            chunk = bytearray()
            while due > 0:
                take = min(due, len(data) - position)
                if metaint:
                    take = min(take, until_meta)
                chunk += data[position:position + take]
                position = (position + take) % len(data)
                due -= take
                sent += take
                if metaint:
                    until_meta -= take
                    if until_meta == 0:
                        current = title(time.monotonic() - start) if title else ""
                        chunk += icy_block(current if current != last_title else None)
                        last_title = current
                        until_meta = metaint
            self.wfile.write(chunk)

    # Plumbing.

    def handle_one_request(self):
        self._started = time.monotonic()
        self.connection.settimeout(SEND_TIMEOUT_SECONDS)
        try:
            super().handle_one_request()
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            self.close_connection = True

    def dispatch(self):
        split = urllib.parse.urlsplit(self.path)
        self.path_only = urllib.parse.unquote(split.path)
        self.query = dict(urllib.parse.parse_qsl(split.query, keep_blank_values=True))
        self.server.log_request_line(self)
        for pattern, handler in ROUTES:
            match = pattern.match(self.path_only)
            if match:
                handler(self, match)
                return
        self.send_body(404, "text/plain", "no such route\n")

    do_GET = dispatch
    do_HEAD = dispatch

    def log_message(self, format, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), format % args))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, log_path):
        super().__init__(address, Request)
        self._log = open(log_path, "a", buffering=1) if log_path else None
        self._log_lock = threading.Lock()

    def log_request_line(self, req):
        """One line per request (method, path as sent, Icy-MetaData), for tests that check what a client asked."""
        if self._log:
            with self._log_lock:
                self._log.write("%s %s icy=%s\n" % (req.command, req.path, req.headers.get("Icy-MetaData", "")))


def icy_block(title):
    """An ICY metadata block: a length byte (in 16-byte units), then the padded text."""
    if title is None:
        return b"\0"
    text = ("StreamTitle='%s';" % title.replace("'", "")).encode("utf-8")
    units = (len(text) + 15) // 16
    return bytes([units]) + text.ljust(units * 16, b"\0")


def read_media(name):
    with open(media_path(name), "rb") as f:
        return f.read()


def stream_mp3(req, name, default_title=None):
    """An endless MP3 stream of a clip; ICY metadata when the client asks for it."""
    data = read_media(name)
    headers = [("icy-name", "Orvane Test Radio"), ("icy-br", str(mp3_byte_rate(data) * 8 // 1000)),
               ("Cache-Control", "no-cache")]
    metaint = None
    title = None
    if req.wants_icy() and default_title is not None:
        metaint = int(req.query.get("metaint", DEFAULT_METAINT))
        base = req.query.get("title", default_title)
        period = float(req.query.get("period", TITLE_SECONDS))
        title = lambda elapsed: "%s %d" % (base, 1 + int(elapsed / period))
        headers.append(("icy-metaint", str(metaint)))
    req.send_response(200)
    req.send_header("Content-Type", "audio/mpeg")
    for key, value in headers:
        req.send_header(key, value)
    req.end_headers()
    if req.command == "HEAD":
        return
    req.stream_loop(data, mp3_byte_rate(data), metaint, title)


@route(r"/icy\.mp3")
def icy(req, match):
    stream_mp3(req, "tone-440.mp3", default_title="Orvane Test Title")


@route(r"/tone/(\d+)\.mp3")
def tone(req, match):
    hz = int(match.group(1))
    if not 20 <= hz <= 20000:
        req.send_body(404, "text/plain", "tone out of range\n")
        return
    name = "tone-%d.mp3" % hz
    MEDIA.setdefault(name, (tone_input(hz), MP3_OUT, False))
    stream_mp3(req, name, default_title="Tone %d Hz" % hz)


@route(r"/silence\.mp3")
def silence(req, match):
    stream_mp3(req, "silence.mp3", default_title="Silence")


@route(r"/stall")
def stall(req, match):
    req.hold()


@route(r"/status/(\d{3})")
def status(req, match):
    code = int(match.group(1))
    req.send_body(code, "text/plain", "status %d\n" % code)


@route(r"/media/([^/]+)")
def media(req, match):
    """A generated clip as a plain file (Content-Length, then the connection closes)."""
    if match.group(1) not in MEDIA:
        req.send_body(404, "text/plain", "no such clip\n")
        return
    req.send_body(200, "audio/mpeg", read_media(match.group(1)))


# Every kind of station location and every misbehaving server, and the MMS and RTSP servers (streamroutes.py).
import streamroutes  # noqa: E402

streamroutes.install(sys.modules[__name__])


def main():
    global MEDIA_DIR
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--media-dir", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", help="written (atomically) with the port once the server is ready")
    parser.add_argument("--request-log", help="one line per request")
    args = parser.parse_args()

    MEDIA_DIR = args.media_dir
    os.makedirs(MEDIA_DIR, exist_ok=True)
    server = Server(("127.0.0.1", args.port), args.request_log)
    generate_eager_media()
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".part", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".part", args.port_file)
    else:
        print(port, flush=True)
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    main()
