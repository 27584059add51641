#!/usr/bin/python3
"""Orvane's benchmark: runs inside the rig (tests/rig/rig.sh) and writes results.md and the chart.

    bench.py --build BUILD_DIR --out OUT_DIR [--quick]

Every player plays the same loopback streams in the same run; sound is timed at the PulseAudio null sink's
monitor by orvane_bench_listen, outside the players, on the CLOCK_MONOTONIC clock that the drivers also use
to stamp the moment a location is put.
"""
import argparse
import http.server
import json
import os
import queue
import re
import shutil
import signal
import socketserver
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

MAIN_TITLE = "Orvane 2.2"
MINIMAL_TITLE = "Minimal Qt window"
ATTEMPT_SECONDS = 10.0
# The peers' own video window: libmpv's gpu output on Mesa's software renderer, as Orvane's player uses in a window
# inside its video area (libmpv refuses a software renderer unless told, and its default list of outputs hangs
# under Xvfb probing hardware ones).
VIDEO_WINDOW = ("vo=gpu", "gpu-sw=yes", "geometry=249x198")
MIB = 1024.0


def now_ns():
    return time.monotonic_ns()


def log(text):
    sys.stderr.write("bench: %s\n" % text)
    sys.stderr.flush()


# Processes this benchmark started, ended by PID (their own process group) when the benchmark ends.
STARTED = []


def start(argv, **kwargs):
    proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
    STARTED.append(proc)
    return proc


def end(proc, grace=3.0):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
    if proc in STARTED:
        STARTED.remove(proc)


def end_all():
    for proc in list(STARTED):
        end(proc, grace=1.0)


class Listener:
    """The sink monitor's events: ("onset", t, peak), ("silence", t), ("tone", t, hz)."""

    def __init__(self, build):
        self.events = []
        self.silent = True
        self.cond = threading.Condition()
        self.proc = start([os.path.join(build, "orvane_bench_listen")], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if not line or line[0] != "ready":
            raise RuntimeError("the sound recorder did not start")
        self.latency_ms = int(line[2]) / 1000.0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            words = line.split()
            with self.cond:
                if words[0] == "onset":
                    self.events.append(("onset", int(words[1]), int(words[2])))
                    self.silent = False
                elif words[0] == "silence":
                    self.events.append(("silence", int(words[1])))
                    self.silent = True
                elif words[0] == "tone":
                    self.events.append(("tone", int(words[2]), int(words[1])))
                self.cond.notify_all()

    def wait_silence(self, timeout=10.0, settle=0.15):
        """Waits until the sink has been silent for `settle` seconds."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while time.monotonic() < deadline:
                if self.silent and self.events and self.events[-1][0] == "silence":
                    quiet_for = (now_ns() - self.events[-1][1]) / 1e9
                    if quiet_for >= settle:
                        return True
                    self.cond.wait(settle - quiet_for)
                elif self.silent and not self.events:
                    return True
                else:
                    self.cond.wait(0.05)
        return False

    def wait_for(self, test, timeout, alive=None):
        """The first event passing test; None after timeout or once alive() turns false."""
        deadline = time.monotonic() + timeout
        seen = 0
        with self.cond:
            while True:
                while seen < len(self.events):
                    if test(self.events[seen]):
                        return self.events[seen]
                    seen += 1
                if time.monotonic() >= deadline or (alive is not None and not alive()):
                    return None
                self.cond.wait(0.05)

    def onset_after(self, t, timeout, alive=None, blip_ns=100_000_000):
        """The first onset after t that is not a click: sound that falls silent again within blip_ns is skipped."""
        deadline = time.monotonic() + timeout
        while True:
            event = self.wait_for(lambda e: e[0] == "onset" and e[1] >= t, deadline - time.monotonic(), alive)
            if not event:
                return None
            onset = event[1]
            ended = self.wait_for(lambda e: e[0] == "silence" and e[1] > onset, 0.2 + blip_ns / 1e9)
            if not ended or ended[1] - onset > blip_ns:
                return onset
            t = ended[1]

    def tone_start_after(self, t, hz, timeout):
        """When tone hz starts after t: the onset that begins it when it follows a silence, else the moment the
        tone detector's window is half full of it."""
        event = self.wait_for(lambda e: e[0] == "tone" and e[1] >= t and e[2] == hz, timeout)
        if not event:
            return None
        with self.cond:
            onsets = [e[1] for e in self.events if e[0] == "onset" and t <= e[1] <= event[1] + 15_000_000]
        return onsets[-1] if onsets else event[1]


class Driven:
    """A player driven over stdin: our driver or the bare libmpv client (same commands). Replies are read by a
    thread and matched by their first word, so a late or extra line (an error after a put) cannot shift them."""

    def __init__(self, name, argv):
        self.name = name
        self.proc = start(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.replies = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        if self.expect(("ready",), 30) is None:
            end(self.proc)
            raise RuntimeError("%s did not start" % name)

    def _read(self):
        for line in self.proc.stdout:
            self.replies.put(line.strip())
        self.replies.put(None)

    @property
    def pid(self):
        return self.proc.pid

    def expect(self, words, timeout):
        """The next reply starting with one of words, or None after timeout or when the player has ended."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.replies.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                return None
            if line is None:
                self.replies.put(None)
                return None
            if line.split(" ", 1)[0] in words:
                return line

    def send(self, text, words=("ok", "error"), timeout=10):
        try:
            self.proc.stdin.write(text + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            return None
        return self.expect(words, timeout)

    def load(self, url):
        reply = self.send("load " + url, ("put",))
        if not reply or not reply.startswith("put "):
            raise RuntimeError("%s: load answered %r" % (self.name, reply))
        return int(reply.split()[1])

    def stop(self):
        self.send("stop")

    def alive(self):
        return self.proc.poll() is None

    def quit(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=5)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            pass
        end(self.proc)


def proc_cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "n": len(values)}


# Loopback video: a paced H.264 stream served by the benchmark itself.

class PacedFile(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    path_on_disk = None
    byte_rate = 0

    def do_GET(self):
        with open(self.path_on_disk, "rb") as f:
            data = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "video/mp2t")
        self.end_headers()
        started = time.monotonic()
        sent = 0
        try:
            while sent < len(data):
                due = min(len(data), int(self.byte_rate * (1.0 + time.monotonic() - started)))
                if due > sent:
                    self.wfile.write(data[sent:due])
                    sent = due
                time.sleep(0.05)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


def serve_video(cache_dir, seconds):
    path = os.path.join(cache_dir, "video-640x360-%ds.ts" % seconds)
    if not os.path.exists(path):
        log("rendering a %d s 640x360 H.264 clip" % seconds)
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
                        "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=%d" % seconds,
                        "-f", "lavfi", "-i", "sine=f=440:sample_rate=44100:duration=%d" % seconds,
                        "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "main", "-pix_fmt", "yuv420p",
                        "-b:v", "800k", "-g", "50", "-c:a", "aac", "-b:a", "96k", "-f", "mpegts", path + ".part"],
                       check=True)
        os.replace(path + ".part", path)
    handler = type("Handler", (PacedFile,), {"path_on_disk": path, "byte_rate": os.path.getsize(path) / seconds})
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
    return "http://127.0.0.1:%d/video.ts" % server.server_address[1], server


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = args.build
        self.bench_bin = os.path.join(args.build, "bench")
        self.runs = 3 if args.quick else args.runs
        self.steady_seconds = 10 if args.quick else 60
        self.switches = 60 if args.quick else 500
        self.port = os.environ["ORVANE_HTTP_PORT"]
        self.results = {}
        self.notes = []
        self.loads = []
        self.listener = None
        self.nobody_home = None
        self.nobody_pulse = None

    def bin(self, name):
        return os.path.join(self.bench_bin, name)

    def http(self, path):
        return "http://127.0.0.1:%s%s" % (self.port, path)

    def sample_load(self):
        self.loads.append(os.getloadavg()[0])

    # The stream kinds, as (label, URL, URL for libmpv and mpv or None for the same). Each is asked of the rig
    # first: a kind its servers do not offer is left out, with a note.
    def fetch(self, path, timeout=60):
        try:
            with urllib.request.urlopen(self.http(path), timeout=timeout) as reply:
                return reply.read().decode("utf-8", "replace")
        except (OSError, ValueError):
            return None

    def kinds(self):
        kinds = [("http MP3", self.http("/tone/440.mp3"), None)]
        if self.fetch("/hls/live.m3u8") is not None:
            kinds.append(("HLS", self.http("/hls/live.m3u8"), None))
        else:
            self.notes.append("HLS: the rig serves no /hls/live.m3u8.")
        asx = self.fetch("/asx/lower.asx")
        ref = re.search(r'href="([^"]+)"', asx or "", re.IGNORECASE)
        if ref:
            # libmpv reads no ASX: bare libmpv and mpv get the playlist's entry, which is what Orvane ends up
            # playing, so the difference is the cost of reading the playlist.
            kinds.append(("ASX", self.http("/asx/lower.asx"), ref.group(1)))
        else:
            self.notes.append("ASX: the rig serves no /asx/lower.asx.")
        ports = self.fetch("/servers/start")
        try:
            ports = json.loads(ports) if ports else {}
        except ValueError:
            ports = {}
        if ports.get("mms"):
            kinds.append(("mms", "mms://127.0.0.1:%d/radio/rki.wma" % ports["mms"], None))
            # A TV station over MMS: the same server, with a picture.
            kinds.append(("mms video", "mms://127.0.0.1:%d/tv/live" % ports["mms"], None))
        else:
            self.notes.append("mms: the rig's MMS server did not start.")
        if ports.get("rtsp"):
            kinds.append(("rtsp", "rtsp://127.0.0.1:%d/tv/live" % ports["rtsp"], None))
        else:
            self.notes.append("rtsp: the rig's RTSP server did not start.")
        return kinds

    # The players.

    def ours(self):
        """Our driver, once its player is ready to play (libmpv is opened after the window is first painted)."""
        driver = Driven("Orvane", [self.bin("orvane_bench_driver")])
        if driver.expect(("engine",), 30) in (None, "engine none"):
            log("Orvane's player did not report ready; measuring on")
        return driver

    def bare(self, *options):
        return Driven("libmpv", [self.bin("orvane_bench_libmpv"), "ytdl=no"] + list(options))

    def mpv_command(self, url, *options):
        return ["mpv", "--no-config", "--ytdl=no", "--no-terminal"] + list(options) + [url]

    # Without a video output module in the VLC here, cvlc plays sound only.
    def cvlc_command(self, url):
        env = ["env", "HOME=" + self.nobody_home, "PULSE_SERVER=" + self.nobody_pulse]
        return ["runuser", "-u", "nobody", "--"] + env + ["cvlc", "--quiet", "--no-video", "--play-and-exit", url]

    def prepare_cvlc(self):
        """cvlc refuses root: it runs as nobody, with a home of its own and a socket of the rig's sound server
        that it can reach (the rig's runtime directory must stay private: Qt insists on that)."""
        rig_dir = os.environ["ORVANE_RIG_DIR"]
        os.chmod(rig_dir, os.stat(rig_dir).st_mode | 0o001)
        self.nobody_home = os.path.join(rig_dir, "nobody-home")
        os.makedirs(self.nobody_home, exist_ok=True)
        shutil.chown(self.nobody_home, user="nobody")
        socket_path = os.path.join(self.nobody_home, "pulse-native")
        subprocess.run(["pactl", "load-module", "module-native-protocol-unix", "socket=" + socket_path,
                        "auth-anonymous=1"], check=True, stdout=subprocess.DEVNULL)
        self.nobody_pulse = "unix:" + socket_path
        local = os.path.join(self.nobody_home, "tone-440.mp3")
        shutil.copy(os.path.join(os.environ["ORVANE_MEDIA_DIR"], "tone-440.mp3"), local)
        os.chmod(local, 0o644)
        return local

    # 1. Cold start.

    def cold_start(self):
        log("cold start")
        commands = {"Orvane": (MAIN_TITLE, [os.path.join(self.build, "orvane")]),
                    "minimal Qt": (MINIMAL_TITLE, [self.bin("orvane_bench_minimal")]),
                    # What libmpv's libraries would cost if they loaded at exec, as they did while it was linked.
                    "minimal + libmpv linked": (MINIMAL_TITLE, [self.bin("orvane_bench_minimal_linked")])}
        results = {name: ([], []) for name in commands}
        ready_ms, ready_rss = [], []
        for run in range(self.runs + 1):
            for name, (title, argv) in commands.items():
                self.sample_load()
                out = subprocess.run([self.bin("orvane_bench_xwatch"), title, "30", "--"] + argv,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                words = out.stdout.split()
                if run == 0 or len(words) != 3:  # the first run of each only warms the page cache
                    continue
                results[name][0].append(float(words[1]))
                results[name][1].append(int(words[2]) / MIB)
            # The player opens libmpv only after the first paint: when it is ready to play, from the driver (which
            # starts as the program does), timed from its launch.
            self.sample_load()
            launched = now_ns()
            try:
                driver = Driven("Orvane", [self.bin("orvane_bench_driver")])
            except RuntimeError:
                continue
            words = (driver.expect(("engine",), 30) or "").split()
            driver.quit()
            if run > 0 and len(words) == 3:
                ready_ms.append((int(words[1]) - launched) / 1e6)
                ready_rss.append(int(words[2]) / MIB)
        self.results["cold"] = {name: (summary(ms), summary(rss)) for name, (ms, rss) in results.items()}
        self.results["ready"] = (summary(ready_ms), summary(ready_rss))

    # 2. Time to first sound.

    def ttfs_driven(self, player, url):
        """Milliseconds from the URL put to the first sound, or None when nothing is heard."""
        if not self.listener.wait_silence():
            raise RuntimeError("the sink does not fall silent")
        self.sample_load()
        put = player.load(url)
        onset = self.listener.onset_after(put, ATTEMPT_SECONDS, player.alive)
        player.stop()
        return (onset - put) / 1e6 if onset else None

    def ttfs_launched(self, argv):
        """Milliseconds from launching a player to its first sound, or None."""
        if not self.listener.wait_silence():
            raise RuntimeError("the sink does not fall silent")
        self.sample_load()
        started = now_ns()
        proc = start(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        onset = self.listener.onset_after(started, ATTEMPT_SECONDS, lambda: proc.poll() is None)
        end(proc)
        return (onset - started) / 1e6 if onset else None

    def time_to_first_sound(self, kinds):
        log("time to first sound")
        local_file = self.prepare_cvlc()
        # Video streams (HLS, rtsp) start when picture and sound are both ready: every player shows the picture.
        ours, bare = self.ours(), self.bare(*VIDEO_WINDOW)
        launchers = {"mpv": lambda url: self.mpv_command(url, *["--" + o for o in VIDEO_WINDOW]),
                     "cvlc": self.cvlc_command}

        # Each launched player's own start-up: launch to the first sound of a local file, once not counted (it
        # fills the page cache), then before each of its stream runs (a pair shares the machine's load of the
        # moment).
        local_runs = {name: [] for name in launchers}
        for name, command in launchers.items():
            self.ttfs_launched(command(local_file))

        # One load of each kind first, not counted: caches and first-use initialisation.
        for _, url, peer_url in kinds:
            self.ttfs_driven(ours, url)
            self.ttfs_driven(bare, peer_url or url)

        table = {}
        for label, url, peer_url in kinds:
            log("  " + label)
            urls = {"Orvane": url, "libmpv": peer_url or url, "mpv": peer_url or url,
                    # Debian's VLC opens MMS over HTTP only when the location says so.
                    "cvlc": url.replace("mms://", "mmsh://", 1)}
            samples = {name: [] for name in urls}
            failed = set()
            for _ in range(self.runs):
                for name in samples:
                    if name in failed:
                        continue
                    if name == "Orvane":
                        value = self.ttfs_driven(ours, urls[name])
                    elif name == "libmpv":
                        value = self.ttfs_driven(bare, urls[name])
                    else:
                        baseline = self.ttfs_launched(launchers[name](local_file))
                        launched = self.ttfs_launched(launchers[name](urls[name]))
                        local_runs[name].append(baseline)
                        value = launched - baseline if launched is not None and baseline is not None else None
                    if value is None:
                        failed.add(name)
                    else:
                        samples[name].append(value)
            table[label] = {name: (None if name in failed else summary(values)) for name, values in samples.items()}
        ours.quit()
        bare.quit()
        self.results["ttfs"] = table
        self.results["local"] = {name: summary(values) for name, values in local_runs.items()}

    # 2b. What libmpv's stream probing costs on the video kinds, and what a lighter probe gives.
    PROBES = (("libmpv defaults", ()),
              ("demuxer-lavf-o=fpsprobesize=0", ("demuxer-lavf-o=fpsprobesize=0",)),
              ("demuxer-lavf-probe-info=nostreams", ("demuxer-lavf-probe-info=nostreams",)))

    def probing(self, kinds):
        log("probing options")
        table = {}
        for label, options in self.PROBES:
            bare = self.bare(*VIDEO_WINDOW, *options)
            for kind, url, peer_url in kinds:
                if kind not in ("rtsp", "mms video", "HLS"):
                    continue
                self.ttfs_driven(bare, peer_url or url)
                values = [self.ttfs_driven(bare, peer_url or url) for _ in range(self.runs)]
                table[(label, kind)] = None if None in values else summary(values)
            bare.quit()
        self.results["probing"] = table

    # 3. Station switch.

    def station_switch(self):
        log("station switch")
        low, high = self.http("/tone/440.mp3"), self.http("/tone/880.mp3")
        table = {}
        cuts = {}
        for name, make in (("Orvane", self.ours), ("libmpv", self.bare)):
            player = make()
            values = []
            cuts[name] = []
            for _ in range(self.runs):
                self.listener.wait_silence()
                put = player.load(low)
                if self.listener.tone_start_after(put, 440, ATTEMPT_SECONDS) is None:
                    break
                time.sleep(0.5)
                self.sample_load()
                put = player.load(high)
                heard = self.listener.tone_start_after(put, 880, ATTEMPT_SECONDS)
                player.stop()
                if heard is None:
                    break
                values.append((heard - put) / 1e6)
                # Whether the old station fell silent before the new one was heard, and when.
                with self.listener.cond:
                    silences = [e[1] for e in self.listener.events
                                if e[0] == "silence" and put - 20_000_000 <= e[1] <= heard]
                if silences:
                    cuts[name].append((silences[0] - put) / 1e6)
            player.quit()
            table[name] = summary(values)
        self.results["switch"] = table
        self.results["switch_cut"] = {name: summary(values) for name, values in cuts.items()}

    # 4. Steady state.

    def measure_steady(self, pid, seconds, slices=5):
        """CPU (% of one core): the whole window's average, with the slices' lowest and highest; RSS (MiB) at the
        end of each slice. The kernel counts CPU time in 10 ms ticks: only the whole window resolves an idle
        program's fraction of a percent."""
        cpu, rss = [], []
        slice_seconds = seconds / slices
        first = before = proc_cpu_seconds(pid)
        started = time.monotonic()
        for _ in range(slices):
            time.sleep(slice_seconds)
            self.sample_load()
            after = proc_cpu_seconds(pid)
            cpu.append(100.0 * (after - before) / slice_seconds)
            rss.append(proc_rss_kb(pid) / MIB)
            before = after
        average = 100.0 * (before - first) / (time.monotonic() - started)
        return dict(summary(cpu), median=average), summary(rss)

    def steady_driven(self, player, url):
        self.listener.wait_silence()
        put = player.load(url)
        if self.listener.onset_after(put, ATTEMPT_SECONDS, player.alive) is None:
            return None
        time.sleep(2)
        result = self.measure_steady(player.pid, self.steady_seconds)
        player.stop()
        return result

    def steady_launched(self, argv):
        self.listener.wait_silence()
        started = now_ns()
        proc = start(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.listener.onset_after(started, ATTEMPT_SECONDS, lambda: proc.poll() is None) is None:
            end(proc)
            return None
        time.sleep(2)
        result = self.measure_steady(proc.pid, self.steady_seconds)
        end(proc)
        return result

    def steady(self):
        log("steady state (%d s windows)" % self.steady_seconds)
        audio = self.http("/tone/440.mp3")
        video, server = serve_video(self.args.cache, self.steady_seconds + 20)
        table = {}
        ours = self.ours()
        table[("audio", "Orvane")] = self.steady_driven(ours, audio)
        table[("video", "Orvane")] = self.steady_driven(ours, video)
        ours.quit()
        bare = self.bare()
        table[("audio", "libmpv")] = self.steady_driven(bare, audio)
        bare.quit()
        bare = self.bare(*VIDEO_WINDOW)
        table[("video", "libmpv")] = self.steady_driven(bare, video)
        bare.quit()
        table[("audio", "mpv")] = self.steady_launched(self.mpv_command(audio))
        table[("video", "mpv")] = self.steady_launched(self.mpv_command(video, *["--" + o for o in VIDEO_WINDOW]))
        server.shutdown()

        ours = self.ours()
        time.sleep(1)
        table[("idle", "Orvane")] = self.measure_steady(ours.pid, self.steady_seconds)
        ours.send("tray")
        time.sleep(1)
        table[("tray", "Orvane")] = self.measure_steady(ours.pid, self.steady_seconds)
        ours.quit()
        self.results["steady"] = table

    # 5. Endurance.

    def endurance(self):
        log("endurance (%d switches)" % self.switches)
        ours = self.ours()
        reply = ours.send("switch %d %s %s" % (self.switches, self.http("/tone/440.mp3"), self.http("/tone/880.mp3")),
                          ("switched", "error"), timeout=30 + 12 * self.switches)
        ours.quit()
        words = (reply or "").split()
        if len(words) != 5 or words[0] != "switched":
            self.results["endurance"] = None
            return
        self.results["endurance"] = {"switches": int(words[1]), "failed": int(words[2]),
                                     "rss10": int(words[3]) / MIB, "rssN": int(words[4]) / MIB}

    def run(self):
        started = time.monotonic()
        self.listener = Listener(self.bench_bin)
        kinds = self.kinds()
        self.cold_start()
        self.time_to_first_sound(kinds)
        self.probing(kinds)
        self.station_switch()
        self.steady()
        self.endurance()
        self.results["duration"] = time.monotonic() - started
        end(self.listener.proc)
        return self.results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--cache", required=True, help="where generated media is kept between runs")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    os.makedirs(args.cache, exist_ok=True)
    bench = Bench(args)
    try:
        results = bench.run()
    finally:
        end_all()
    import report
    report.write(args, bench, results)


if __name__ == "__main__":
    main()
