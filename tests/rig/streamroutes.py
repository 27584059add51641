"""Routes of the rig's stream server for every kind of location a station may give, and for every way a
server can misbehave; plus the MMS and RTSP servers those kinds need, started on first demand.

streamserver.py installs these routes (install()). The MMS server (VLC, MMS over HTTP) and the RTSP
server (GStreamer) listen on 127.0.0.1 at the ports the rig exports as ORVANE_MMS_PORT and
ORVANE_RTSP_PORT; they start on the first GET /servers/start (a few seconds, once per rig), so a rig
whose tests never ask stays fast. The stream server keeps both ports bound until then, so nothing else
takes them.

Kinds (all endless live streams unless said otherwise):
    /radio/live                      a stream path without extension (ICY metadata when asked)
    /icy/live                        the same, answering with an "ICY 200 OK" status line
    /                                a bare address and port
    /list.m3u, /list.pls             playlists naming /radio/live
    /asx/NAME.asx?type=T             ASX playlists (ASX_BODIES), served as type T (video/x-ms-asf)
    /tv/live.php?ch=1&a=&b=&id=123456789   a web script answering an ASX body as text/html (400 for
                                     any other query)
    /tv/asx.asp                      a web script answering an ASX with an mms ref as video/x-ms-asf
    /radio/onair.asp                 a web script answering with a redirect to /radio/live
    /scc tv/live                     a path with a space inside
    /radio/power?...%20              only when the query ends in an encoded space (else 400)
    /radio/onnuri?...&amp;file=live.asf    only when the query holds "&amp;" verbatim (else 400)
    /hls/live.m3u8                   live HLS: a sliding window over generated segments
MMS (VLC): /, /tv/live, /tv/bloomberg1.asf (picture and sound), /radio/rki.wma (sound only).
RTSP: see rtspserver.py.

Failures:
    /html                   an HTML page
    /garbage                endless random bytes
    /drop?s=N               a live stream that ends after N seconds (3), every time: it comes back
    /once/ID                the same the first time for an ID, then 503: it never comes back
    /loop/a, /loop/b        redirect to each other
    /asx/big.asx            a 10 MiB ASX
    /asx/nest/N.asx         ASX nested 50 levels deep (N = 1..50)
    /asx/laughs.asx         a "billion laughs" DTD; its ref is /radio/live?&lol9; (entity unexpanded)
    /asx/stall.asx          a playlist whose server accepts and never answers
    /unsafe.m3u             an .m3u naming file:///etc/passwd
    /unsafe-local.m3u       an .m3u naming a local clip that would sound if it were opened
(/stall, /status/CODE and /media/NAME come with the stream server.)
"""
import concurrent.futures
import json
import os
import random
import socket
import subprocess
import threading
import time
import urllib.parse

S = None  # the streamserver module, set by install()

MMS_CLIP = "mms-clip.asf"
MMS_CLIP_SECONDS = 900
MMS_RESTART_MARGIN = 300  # a VLC closer than this to its clip's end is restarted before use
RTSP_LIFETIME = 3600
READY_SECONDS = 30
HLS_SEGMENTS = 15
HLS_SEGMENT_SECONDS = 2
HLS_WINDOW = 3
DROP_SECONDS = 3.0
GARBAGE_RATE = 256 * 1024
NEST_LEVELS = 50
BIG_ASX_BYTES = 10 * 1024 * 1024
RTSP_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtspserver.py")
DIE_WITH_PARENT = ["setpriv", "--pdeathsig", "TERM", "--"]

ASX_BODIES = {
    "lower": '<asx version="3.0"><title>Lower</title>\n'
             '<entry><title>Live</title><ref href="{http}/radio/live"/></entry>\n</asx>\n',
    "upper": '<ASX VERSION="3.0">\n<ENTRY>\n<REF HREF="{mms}/tv/live" />\n</ENTRY>\n</ASX>\n',
    "fallback": '<asx version="3.0"><entry><ref href="{http}/status/404"/><ref href="{http}/radio/live"/>'
                '</entry></asx>\n',
}

# Each entity is ten of the one before: &lol9; would expand to 10^9 "lol"s.
LAUGHS = ('<?xml version="1.0"?>\n<!DOCTYPE asx [\n  <!ENTITY lol "lol">\n' +
          "".join('  <!ENTITY lol%d "%s">\n' % (i, ("&lol%s;" % (i - 1 if i > 1 else "")) * 10) for i in range(1, 10)) +
          ']>\n<asx version="3.0"><title>&lol9;</title>'
          '<entry><ref href="{http}/radio/live?&lol9;"/></entry></asx>\n')

_started = time.monotonic()
_servers_lock = threading.Lock()
_launcher = concurrent.futures.ThreadPoolExecutor(max_workers=1)
_hls_lock = threading.Lock()
_once_seen = set()
_once_lock = threading.Lock()
_big_asx = None
_garbage = random.Random(1).randbytes(64 * 1024)


class Servers:
    """The MMS and RTSP servers: their ports held until they start, their processes once started."""

    def __init__(self):
        self.ports = {}
        self.holders = {}
        self.procs = {}
        self.vlc_started = 0.0
        for name in ("mms", "rtsp"):
            wanted = int(os.environ.get("ORVANE_%s_PORT" % name.upper(), "0") or 0)
            holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                holder.bind(("127.0.0.1", wanted))
            except OSError:
                holder.bind(("127.0.0.1", 0))
            self.ports[name] = holder.getsockname()[1]
            self.holders[name] = holder

    def _release(self, name):
        holder = self.holders.pop(name, None)
        if holder:
            holder.close()

    def _log(self, name):
        logs = os.path.join(os.path.dirname(S.MEDIA_DIR), "log")
        path = os.path.join(logs if os.path.isdir(logs) else S.MEDIA_DIR, name + ".log")
        return open(path, "ab")

    def _alive(self, name):
        proc = self.procs.get(name)
        return proc is not None and proc.poll() is None

    def _stop(self, name):
        proc = self.procs.pop(name, None)
        if proc and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def _start_vlc(self):
        clip = S.media_path(MMS_CLIP)
        port = self.ports["mms"]
        std = "std{access=mmsh,mux=asfh,dst=127.0.0.1:%d%s}"
        sout = "#duplicate{%s}" % ",".join(
            ["dst=" + std % (port, path) for path in ("/", "/tv/live", "/tv/bloomberg1.asf")] +
            ["dst=" + std % (port, "/radio/rki.wma"), "select=novideo"])
        argv = ["cvlc", "--quiet", "--play-and-exit", "--no-plugins-cache", "fd://0", "--sout", sout]
        # VLC refuses to run as root.
        if os.geteuid() == 0:
            argv = ["runuser", "-u", "nobody", "--"] + argv
        self._release("mms")
        with open(clip, "rb") as source, self._log("vlc") as log:
            self.procs["mms"] = subprocess.Popen(DIE_WITH_PARENT + argv, stdin=source, stdout=log, stderr=log,
                                                 start_new_session=True)
        self.vlc_started = time.monotonic()

    def _start_rtsp(self):
        self._release("rtsp")
        with self._log("rtspserver") as log:
            self.procs["rtsp"] = subprocess.Popen(
                DIE_WITH_PARENT + ["/usr/bin/python3", RTSP_SCRIPT, "--port", str(self.ports["rtsp"]),
                                   "--lifetime", str(RTSP_LIFETIME)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)

    def _wait_port(self, name, deadline):
        while time.monotonic() < deadline:
            if not self._alive(name):
                raise RuntimeError("the %s server exited" % name)
            try:
                socket.create_connection(("127.0.0.1", self.ports[name]), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the %s server did not come up" % name)

    def ensure(self):
        # Started from one thread that lives as long as the server: a child's death signal follows the thread
        # that started it, and a request's thread ends with the request.
        return _launcher.submit(self._ensure).result()

    def _ensure(self):
        with _servers_lock:
            if self._alive("mms") and time.monotonic() - self.vlc_started > MMS_CLIP_SECONDS - MMS_RESTART_MARGIN:
                self._stop("mms")
            if not self._alive("mms"):
                self._start_vlc()
            if not self._alive("rtsp"):
                self._start_rtsp()
            deadline = time.monotonic() + READY_SECONDS
            self._wait_port("mms", deadline)
            self._wait_port("rtsp", deadline)
            return dict(self.ports)


SERVERS = None


def base(req):
    return "http://127.0.0.1:%d" % req.server.server_address[1]


def mms_base():
    return "mms://127.0.0.1:%d" % SERVERS.ports["mms"]


def live_mp3(req, seconds=None):
    """An endless MP3 stream (ICY metadata when asked); with seconds, one that ends after that long."""
    if seconds is None:
        S.stream_mp3(req, "tone-440.mp3", default_title="Orvane Live")
        return
    data = S.read_media("tone-440.mp3")
    rate = S.mp3_byte_rate(data)
    req.send_response(200)
    req.send_header("Content-Type", "audio/mpeg")
    req.send_header("icy-name", "Orvane Drop")
    req.end_headers()
    if req.command != "HEAD":
        # The burst counts: the stream carries `seconds` of sound in all.
        req.stream_loop(data, rate, limit_bytes=int(rate * seconds))


def route(pattern):
    def register(handler):
        return S.route(pattern)(handler)
    return register


def install(server):
    """Registers the routes on the stream server module and holds the MMS and RTSP ports."""
    global S, SERVERS
    S = server
    SERVERS = Servers()
    # One input per clip (streamserver's render() maps input N to clip N): picture and tone from one graph.
    inputs = ["-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:d=%d[out0];sine=f=550:sample_rate=44100:d=%d[out1]"
              % (MMS_CLIP_SECONDS, MMS_CLIP_SECONDS)]
    outputs = ["-c:v", "wmv2", "-b:v", "100k", "-c:a", "wmav2", "-b:a", "48k", "-ac", "1", "-f", "asf"]
    S.MEDIA[MMS_CLIP] = (inputs, outputs, False)
    _install_routes()


def _install_routes():
    @route(r"/servers/start")
    def servers_start(req, match):
        try:
            ports = SERVERS.ensure()
        except (RuntimeError, OSError, subprocess.SubprocessError) as error:
            req.send_body(503, "text/plain", "%s\n" % error)
            return
        req.send_body(200, "application/json", json.dumps(ports) + "\n")

    @route(r"/radio/live")
    def radio_live(req, match):
        live_mp3(req)

    @route(r"/")
    def bare_address(req, match):
        live_mp3(req)

    @route(r"/icy/live")
    def icy_status_line(req, match):
        data = S.read_media("tone-440.mp3")
        req.wfile.write(b"ICY 200 OK\r\nicy-name: Orvane ICY\r\nicy-br: 128\r\nContent-Type: audio/mpeg\r\n\r\n")
        req.close_connection = True
        if req.command != "HEAD":
            req.stream_loop(data, S.mp3_byte_rate(data))

    @route(r"/list\.m3u")
    def list_m3u(req, match):
        req.send_body(200, "audio/x-mpegurl", "#EXTM3U\n#EXTINF:-1,Live\n%s/radio/live\n" % base(req))

    @route(r"/list\.pls")
    def list_pls(req, match):
        req.send_body(200, "audio/x-scpls", "[playlist]\nNumberOfEntries=1\nFile1=%s/radio/live\nTitle1=Live\n"
                      "Length1=-1\nVersion=2\n" % base(req))

    @route(r"/asx/(lower|upper|fallback)\.asx")
    def asx(req, match):
        body = ASX_BODIES[match.group(1)].format(http=base(req), mms=mms_base())
        req.send_body(200, req.query.get("type", "video/x-ms-asf"), body)

    @route(r"/tv/live\.php")
    def script_php(req, match):
        if urllib.parse.urlsplit(req.path).query != "ch=1&a=&b=&id=123456789":
            req.send_body(400, "text/plain", "bad query\n")
            return
        req.send_body(200, "text/html; charset=UTF-8", ASX_BODIES["lower"].format(http=base(req)))

    @route(r"/tv/asx\.asp")
    def script_asp_asx(req, match):
        req.send_body(200, "video/x-ms-asf", ASX_BODIES["upper"].format(mms=mms_base()))

    @route(r"/radio/onair\.asp")
    def script_asp_redirect(req, match):
        req.send_body(302, "text/html", "<a href=\"/radio/live\">moved</a>\n", [("Location", "/radio/live")])

    @route(r"/scc tv/live")
    def space_inside(req, match):
        live_mp3(req)

    @route(r"/radio/power")
    def trailing_space(req, match):
        if not req.path.endswith("%20"):
            req.send_body(400, "text/plain", "the trailing space is missing\n")
            return
        live_mp3(req)

    @route(r"/radio/onnuri")
    def amp_entity(req, match):
        if "&amp;file=live.asf" not in req.path:
            req.send_body(400, "text/plain", "the entity is missing\n")
            return
        live_mp3(req)

    @route(r"/hls/live\.m3u8")
    def hls_playlist(req, match):
        count = hls_segments()
        sequence = int((time.monotonic() - _started) / HLS_SEGMENT_SECONDS)
        lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:%d" % HLS_SEGMENT_SECONDS,
                 "#EXT-X-MEDIA-SEQUENCE:%d" % sequence,
                 "#EXT-X-DISCONTINUITY-SEQUENCE:%d" % ((sequence + count - 1) // count)]
        for number in range(sequence, sequence + HLS_WINDOW):
            if number % count == 0 and number > 0:
                lines.append("#EXT-X-DISCONTINUITY")
            lines += ["#EXTINF:%d.0," % HLS_SEGMENT_SECONDS, "seg-%d.ts" % (number % count)]
        req.send_body(200, "application/vnd.apple.mpegurl", "\n".join(lines) + "\n",
                      [("Cache-Control", "no-cache")])

    @route(r"/hls/seg-(\d+)\.ts")
    def hls_segment(req, match):
        hls_segments()
        path = os.path.join(S.MEDIA_DIR, "hls-%d.ts" % int(match.group(1)))
        if not os.path.exists(path):
            req.send_body(404, "text/plain", "no such segment\n")
            return
        with open(path, "rb") as f:
            req.send_body(200, "video/mp2t", f.read())

    @route(r"/html")
    def html(req, match):
        req.send_body(200, "text/html; charset=UTF-8", "<!DOCTYPE html>\n<html><head><title>Station moved</title>"
                      "</head><body><h1>This station has moved</h1><p>Visit our new site.</p></body></html>\n")

    @route(r"/garbage")
    def garbage(req, match):
        req.send_response(200)
        req.send_header("Content-Type", "application/octet-stream")
        req.end_headers()
        if req.command != "HEAD":
            req.stream_loop(_garbage, GARBAGE_RATE)

    @route(r"/drop")
    def drop(req, match):
        live_mp3(req, float(req.query.get("s", DROP_SECONDS)))

    @route(r"/once/(\w+)")
    def once(req, match):
        with _once_lock:
            first = match.group(1) not in _once_seen
            _once_seen.add(match.group(1))
        if first:
            live_mp3(req, DROP_SECONDS)
        else:
            req.send_body(503, "text/plain", "off the air\n")

    @route(r"/loop/(a|b)")
    def redirect_loop(req, match):
        other = "/loop/b" if match.group(1) == "a" else "/loop/a"
        req.send_body(302, "text/plain", "moved\n", [("Location", other)])

    @route(r"/asx/big\.asx")
    def big_asx(req, match):
        req.send_body(200, "video/x-ms-asf", big_asx_body(base(req)))

    @route(r"/asx/nest/(\d+)\.asx")
    def nested_asx(req, match):
        level = int(match.group(1))
        target = "%s/asx/nest/%d.asx" % (base(req), level + 1) if level < NEST_LEVELS else base(req) + "/radio/live"
        req.send_body(200, "video/x-ms-asf", '<asx version="3.0"><entry><ref href="%s"/></entry></asx>\n' % target)

    @route(r"/asx/stall\.asx")
    def stalled_asx(req, match):
        req.hold()

    @route(r"/asx/laughs\.asx")
    def laughs(req, match):
        req.send_body(200, "video/x-ms-asf", LAUGHS.replace("{http}", base(req)))

    @route(r"/unsafe\.m3u")
    def unsafe_m3u(req, match):
        req.send_body(200, "audio/x-mpegurl", "#EXTM3U\nfile:///etc/passwd\n")

    @route(r"/unsafe-local\.m3u")
    def unsafe_local_m3u(req, match):
        req.send_body(200, "audio/x-mpegurl", "#EXTM3U\nfile://%s\n" % S.media_path("tone-880.mp3"))


def big_asx_body(http):
    global _big_asx
    if _big_asx is None:
        entry = '<entry><ref href="%s/status/404"/></entry>\n' % http
        head = '<asx version="3.0">\n'
        count = (BIG_ASX_BYTES - len(head)) // len(entry) + 1
        _big_asx = (head + entry * count + "</asx>\n").encode()
    return _big_asx


def hls_segments():
    """Renders the HLS segments into the media directory on first use; returns their count."""
    with _hls_lock:
        last = os.path.join(S.MEDIA_DIR, "hls-%d.ts" % (HLS_SEGMENTS - 1))
        if not os.path.exists(last):
            seconds = HLS_SEGMENTS * HLS_SEGMENT_SECONDS
            work = os.path.join(S.MEDIA_DIR, "hls.part")
            os.makedirs(work, exist_ok=True)
            subprocess.run(S.FFMPEG + [
                "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:d=%d" % seconds,
                "-f", "lavfi", "-i", "sine=f=770:sample_rate=44100:d=%d" % seconds,
                "-c:v", "libx264", "-preset", "ultrafast", "-g", "10", "-c:a", "aac", "-b:a", "64k",
                "-f", "hls", "-hls_time", str(HLS_SEGMENT_SECONDS), "-hls_list_size", "0",
                "-hls_segment_filename", os.path.join(work, "hls-%d.ts"), os.path.join(work, "index.m3u8")],
                check=True)
            # The last segment moves last: its presence says the set is complete.
            for index in range(HLS_SEGMENTS):
                os.replace(os.path.join(work, "hls-%d.ts" % index), os.path.join(S.MEDIA_DIR, "hls-%d.ts" % index))
        return HLS_SEGMENTS
