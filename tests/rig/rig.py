#!/usr/bin/python3
"""Runs a command inside a private headless desktop and tears the desktop down afterwards.

    rig.py [--layout icewm|openbox-trayer] [--timeout SECONDS] -- COMMAND...

The desktop: a private Xvfb (1024x768x24, no TCP) on a free display, a window manager with a
taskbar and an XEmbed tray, a private D-Bus session bus, PulseAudio with a null sink, and the
loopback stream server with its generated media. HOME and XDG_RUNTIME_DIR are private too.
COMMAND sees:

    DISPLAY, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER, HOME, XDG_RUNTIME_DIR,
    ORVANE_RIG=1, ORVANE_RIG_DIR, ORVANE_RIG_LAYOUT, ORVANE_SINK_MONITOR=orvane_sink.monitor,
    ORVANE_HTTP_PORT, ORVANE_HTTP_LOG, ORVANE_MEDIA_DIR,
    ORVANE_MMS_PORT (VLC's MMS over HTTP), ORVANE_RTSP_PORT (GStreamer's RTSP server)

The MMS and RTSP servers start on the first GET /servers/start to the stream server (a few
seconds; tests that need them ask), so a rig that never needs them stays fast. What each server
offers: streamroutes.py.

The exit status is COMMAND's (124 when --timeout ended it, 128+N when signal N ended the rig).
Everything started here is ended by PID, also on failure, signal or timeout. Rigs nest: each
one has its own display, bus, sound server and stream server.
"""
import argparse
import ctypes
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import xwait  # noqa: E402

SCREEN = "1024x768x24"
SINK = "orvane_sink"
PR_SET_CHILD_SUBREAPER = 36
STOP_GRACE_SECONDS = 3.0

ICEWM_PREFS = """\
ShowTaskBar=1
TaskBarEnableSystemTray=1
EdgeResistance=0
TaskBarShowClock=0
TaskBarShowMailboxStatus=0
TaskBarShowCPUStatus=0
TaskBarShowNetStatus=0
TaskBarShowMEMStatus=0
TaskBarShowAPMStatus=0
ShowProgramsMenu=0
ShowSettingsMenu=0
ShowHelp=0
"""

OPENBOX_RC = """\
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <desktops><number>1</number></desktops>
  <menu><file>menu.xml</file></menu>
</openbox_config>
"""

OPENBOX_MENU = """\
<?xml version="1.0" encoding="UTF-8"?>
<openbox_menu xmlns="http://openbox.org/3.4/menu">
  <menu id="root-menu" label="Orvane rig"/>
</openbox_menu>
"""

DBUS_CONFIG = """\
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

_libc = ctypes.CDLL(None, use_errno=True)


class RigError(Exception):
    pass


class Interrupted(Exception):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _on_signal(signum, frame):
    raise Interrupted(signum)


# If the rig is killed outright, what it started still ends. (setpriv rather than a preexec_fn:
# that would make every start some 25 ms slower.)
DIE_WITH_PARENT = ["setpriv", "--pdeathsig", "TERM", "--"]


def _children_of(pid):
    # Each thread lists the children it started (the stream server starts its MMS and RTSP servers from a thread).
    children = []
    try:
        threads = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return children
    for tid in threads:
        try:
            with open("/proc/%d/task/%s/children" % (pid, tid)) as f:
                children += [int(p) for p in f.read().split()]
        except OSError:
            pass
    return children


def _descendants(pid):
    found = []
    todo = _children_of(pid)
    while todo:
        child = todo.pop()
        found.append(child)
        todo.extend(_children_of(child))
    return found


def _alive(pid):
    """True while pid runs (a zombie, dead but not yet reaped, does not count)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return "?"


def _signal_all(pids, sig):
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def _reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def _stop(pids, grace=STOP_GRACE_SECONDS):
    """SIGTERM, a grace period, then SIGKILL: each pid and what it started."""
    targets = []
    for pid in pids:
        targets += [pid] + _descendants(pid)
    targets = [p for p in dict.fromkeys(targets) if _alive(p)]
    if not targets:
        return
    _signal_all(targets, signal.SIGTERM)
    end = time.monotonic() + grace
    while time.monotonic() < end:
        _reap()
        targets = [p for p in targets if _alive(p)]
        if not targets:
            return
        time.sleep(0.01)
    _signal_all(targets, signal.SIGKILL)
    while any(_alive(p) for p in targets):
        _reap()
        time.sleep(0.01)


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Rig:
    def __init__(self, layout, ready_timeout):
        self.layout = layout
        self.ready_timeout = ready_timeout
        self.services = []  # (name, Popen), in start order
        self.dir = tempfile.mkdtemp(prefix="orvane-rig.")
        os.chmod(self.dir, 0o700)
        self.home = os.path.join(self.dir, "home")
        self.runtime = os.path.join(self.dir, "run")
        self.logs = os.path.join(self.dir, "log")
        self.media = os.path.join(self.dir, "media")
        for path in (self.home, self.runtime, self.logs, self.media):
            os.makedirs(path, mode=0o700)
        self.env = self._base_env()

    def _base_env(self):
        env = dict(os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "SESSION_MANAGER",
                     "XAUTHORITY", "WAYLAND_DISPLAY", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER",
                     "PULSE_SINK", "PULSE_SOURCE", "PULSE_COOKIE", "ICEWM_PRIVCFG", "DESKTOP_SESSION",
                     "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORM", "ORVANE_HTTP_PORT", "ORVANE_MEDIA_DIR",
                     "ORVANE_MMS_PORT", "ORVANE_RTSP_PORT"):
            env.pop(name, None)
        env.update({
            "HOME": self.home,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_SESSION_TYPE": "x11",
            "QT_QPA_PLATFORM": "xcb",
            "NO_AT_BRIDGE": "1",
        })
        return env

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def _start(self, name, argv, env=None, pass_fds=(), cwd=None):
        log = open(os.path.join(self.logs, name + ".log"), "wb")
        try:
            proc = subprocess.Popen(DIE_WITH_PARENT + argv, env=env or self.env, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=log, pass_fds=pass_fds, cwd=cwd or self.dir, start_new_session=True)
        except OSError as error:
            raise RigError("cannot start %s: %s" % (argv[0], error))
        finally:
            log.close()
        self.services.append((name, proc))
        return proc

    def _log_tail(self, name, lines=8):
        try:
            with open(os.path.join(self.logs, name + ".log"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def _check_running(self):
        for name, proc in self.services:
            if proc.poll() is not None:
                raise RigError("%s exited early (status %s):\n%s" % (name, proc.returncode, self._log_tail(name)))

    def start(self):
        deadline = time.monotonic() + self.ready_timeout

        # The X server says which display it took, once it accepts clients.
        display_read, display_write = os.pipe()
        self._start("xvfb", ["Xvfb", "-displayfd", str(display_write), "-screen", "0", SCREEN, "-nolisten", "tcp",
                             "-noreset"], pass_fds=(display_write,))
        os.close(display_write)

        # Services that need no display start meanwhile.
        bus_socket = os.path.join(self.runtime, "bus")
        with open(self.path("dbus.conf"), "w") as f:
            f.write(DBUS_CONFIG.format(socket=bus_socket))
        self._start("dbus", ["dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + self.path("dbus.conf")])
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus_socket

        pulse_socket = os.path.join(self.runtime, "pulse-native")
        with open(self.path("pulse-client.conf"), "w") as f:
            f.write("autospawn = no\n")
        self.env["PULSE_CLIENTCONFIG"] = self.path("pulse-client.conf")
        self.env["PULSE_SERVER"] = "unix:" + pulse_socket
        self._start("pulseaudio", [
            "pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no", "--realtime=no",
            "--high-priority=no", "--disable-shm=yes", "--log-target=stderr",
            "--load=module-null-sink sink_name=%s sink_properties=device.description=Orvane" % SINK,
            "--load=module-native-protocol-unix socket=%s auth-anonymous=1" % pulse_socket])

        # A rig inside a rig takes the outer one's clips instead of rendering the same again.
        outer_media = os.environ.get("ORVANE_MEDIA_DIR")
        if outer_media and os.path.isdir(outer_media):
            for name in os.listdir(outer_media):
                if not name.endswith(".part"):
                    shutil.copy(os.path.join(outer_media, name), self.media)
        # The stream server holds these ports bound until it starts the MMS and RTSP servers on them.
        self.env["ORVANE_MMS_PORT"] = str(_free_port())
        self.env["ORVANE_RTSP_PORT"] = str(_free_port())
        port_file = self.path("http.port")
        request_log = os.path.join(self.logs, "http-requests.log")
        self._start("streamserver", [sys.executable, os.path.join(HERE, "streamserver.py"),
                                     "--media-dir", self.media, "--port-file", port_file,
                                     "--request-log", request_log])

        display = self._read_display(display_read, deadline)
        os.close(display_read)
        self.env["DISPLAY"] = ":%d" % display

        if self.layout == "icewm":
            with open(self.path("icewm-prefs"), "w") as f:
                f.write(ICEWM_PREFS)
            self.env["ICEWM_PRIVCFG"] = self.path("icewm")
            os.makedirs(self.env["ICEWM_PRIVCFG"])
            self._start("icewm", ["icewm", "--config=" + self.path("icewm-prefs")])
        else:
            with open(self.path("openbox-rc.xml"), "w") as f:
                f.write(OPENBOX_RC)
            with open(self.path("menu.xml"), "w") as f:
                f.write(OPENBOX_MENU)
            self._start("openbox", ["openbox", "--sm-disable", "--config-file", self.path("openbox-rc.xml")])
            # A panel mapped while openbox is still starting can stay unmanaged (no strut): start it after.
            self._wait_desktop(deadline, tray=False, strut=False)
            self._start("trayer", ["trayer", "--edge", "right", "--SetDockType", "true", "--SetPartialStrut", "true"])

        self._wait_desktop(deadline)
        self._wait_pulse(pulse_socket, deadline)
        port = self._wait_file(port_file, deadline, "the stream server's port")

        self.env.update({
            "ORVANE_RIG": "1",
            "ORVANE_RIG_DIR": self.dir,
            "ORVANE_RIG_LAYOUT": self.layout,
            "ORVANE_SINK_MONITOR": SINK + ".monitor",
            "ORVANE_HTTP_PORT": port,
            "ORVANE_HTTP_LOG": request_log,
            "ORVANE_MEDIA_DIR": self.media,
        })

    def _read_display(self, fd, deadline):
        data = b""
        while not data.endswith(b"\n"):
            self._check_running()
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise RigError("Xvfb did not come up:\n" + self._log_tail("xvfb"))
            readable, _, _ = select.select([fd], [], [], min(remaining, 0.05))
            if readable:
                chunk = os.read(fd, 32)
                if not chunk:
                    self._check_running()
                    raise RigError("Xvfb closed its display pipe:\n" + self._log_tail("xvfb"))
                data += chunk
        return int(data.strip())

    def _wait_desktop(self, deadline, tray=True, strut=True):
        missing = xwait.wait(self.env["DISPLAY"], deadline, tray=tray, strut=strut, poll=self._check_running)
        if missing:
            wm = "icewm" if self.layout == "icewm" else "openbox"
            raise RigError("the desktop is not ready, missing %s:\n%s" % (", ".join(missing), self._log_tail(wm)))

    def _wait_pulse(self, socket_path, deadline):
        while True:
            self._check_running()
            if os.path.exists(socket_path):
                probe = subprocess.run(["pactl", "info"], env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=5)
                if probe.returncode == 0 and b"Default Sink: " + SINK.encode() in probe.stdout:
                    return
            if time.monotonic() >= deadline:
                raise RigError("PulseAudio is not ready:\n" + self._log_tail("pulseaudio"))
            time.sleep(0.01)

    def _wait_file(self, path, deadline, what):
        while True:
            self._check_running()
            try:
                with open(path) as f:
                    return f.read().strip()
            except FileNotFoundError:
                pass
            if time.monotonic() >= deadline:
                raise RigError("timed out waiting for %s" % what)
            time.sleep(0.01)

    def stop(self):
        """Ends every process the rig started and removes the rig's directory."""
        _stop([proc.pid for _, proc in self.services])
        for _, proc in self.services:
            proc.poll()
        # Anything left was started by the command and outlived it (orphans come to us: we are their reaper).
        leftovers = [p for p in _descendants(os.getpid()) if _alive(p)]
        if leftovers:
            sys.stderr.write("rig: ending %d leftover process(es): %s\n" % (
                len(leftovers), "; ".join("%d %s" % (p, _command_line(p)[:80]) for p in leftovers)))
            _stop(leftovers)
        _reap()
        shutil.rmtree(self.dir, ignore_errors=True)


def run(command, rig, timeout):
    """Runs the command in the rig's environment; its exit status, or 124 when the timeout ended it."""
    proc = subprocess.Popen(DIE_WITH_PARENT + command, env=rig.env)
    try:
        return proc.wait(timeout=timeout or None)
    except subprocess.TimeoutExpired:
        sys.stderr.write("rig: %s still running after %s s, ending it\n" % (command[0], timeout))
        _stop([proc.pid])
        proc.wait()
        return 124
    except Interrupted as interrupted:
        # A terminal's Ctrl-C reached the command too; a signal sent to the rig alone is passed on.
        if interrupted.signum != signal.SIGINT:
            _signal_all([proc.pid], interrupted.signum)
        try:
            proc.wait(timeout=STOP_GRACE_SECONDS)
        except (subprocess.TimeoutExpired, Interrupted):
            _stop([proc.pid])
            proc.wait()
        raise


def main(argv):
    parser = argparse.ArgumentParser(usage="%(prog)s [--layout icewm|openbox-trayer] [--timeout S] -- COMMAND...",
                                     description=__doc__.splitlines()[0])
    parser.add_argument("--layout", choices=("icewm", "openbox-trayer"), default="icewm",
                        help="icewm: taskbar at the bottom; openbox-trayer: openbox and a tray panel on the right")
    parser.add_argument("--timeout", type=float, default=0, help="end COMMAND after this many seconds (0: never)")
    parser.add_argument("--ready-timeout", type=float, default=20, help="longest wait for the desktop to come up")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no COMMAND given")

    _libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _on_signal)

    rig = None
    try:
        started = time.monotonic()
        rig = Rig(args.layout, args.ready_timeout)
        rig.start()
        if os.environ.get("ORVANE_RIG_VERBOSE"):
            sys.stderr.write("rig: %s up on %s in %.2f s\n" % (args.layout, rig.env["DISPLAY"],
                                                               time.monotonic() - started))
        return run(command, rig, args.timeout)
    except RigError as error:
        sys.stderr.write("rig: %s\n" % error)
        return 125
    except Interrupted as interrupted:
        return 128 + interrupted.signum
    finally:
        # A second signal must not cut the teardown short.
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        if rig is not None:
            rig.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
