"""Writes results.md and the time-to-first-sound chart from the benchmark's results."""
import datetime
import os
import subprocess

PLAYERS = ("Orvane", "libmpv", "mpv", "cvlc")


def cell(s, unit="", digits=0):
    if s is None:
        return "fails"
    fmt = "%%.%df" % digits
    return (fmt + "%s (" + fmt + "–" + fmt + ")") % (s["median"], unit, s["min"], s["max"])


def ratio(a, b):
    if a is None or b is None or b["median"] <= 0:
        return "–"
    return "%.2f" % (a["median"] / b["median"])


def verdict(ok):
    return "met" if ok else "**missed**"


def command_output(argv):
    try:
        return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    except OSError:
        return ""


def machine(bench):
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) / 1024 / 1024
    versions = command_output(["dpkg-query", "-W", "-f", "${Package} ${Version}\\n", "libmpv2", "mpv", "vlc-bin",
                               "libqt6widgets6", "libgl1-mesa-dri", "pulseaudio"])
    loads = bench.loads or [0]
    return [
        "- CPUs: %d × %s; memory %.1f GiB" % (os.cpu_count(), model, memory),
        "- Load average (1 min) during the run: median %.2f, min %.2f, max %.2f (other work shared the machine)"
        % (sorted(loads)[len(loads) // 2], min(loads), max(loads)),
        "- Versions: " + "; ".join(versions.splitlines()),
        "- Display: Xvfb 1024x768x24 + icewm (tests/rig); video through Mesa llvmpipe (software OpenGL)",
        "- Sound: PulseAudio null sink, timed at its monitor (the path from sink to monitor delays every player "
        "alike)",
    ]


def limits(results):
    """What the figures of this run say about the targets they miss, worded from the measures that show it."""
    lines = []
    cold = results["cold"]

    def med(name, index=0):
        entry = cold.get(name)
        return entry[index]["median"] if entry and entry[index] else None

    base, linked, ours = (med(n) for n in ("minimal Qt", "minimal + libmpv linked", "Orvane"))
    ready_ms, ready_rss = results.get("ready") or (None, None)
    if base and ours and ours > 2.5 * base:
        text = ("Cold start: Orvane's window is painted %.0f ms after exec, the minimal window's %.0f ms. libmpv is "
                "opened only once the player's area has been painted, so what lies between is Orvane's own "
                "start-up: its windows, tray icon and catalogue." % (ours, base))
        if linked:
            text += (" Linking libmpv would add about %.0f ms more (its libraries loading at exec, the row above)."
                     % (linked - base))
        lines.append(text)
    elif base and ours and linked and linked > 2.5 * base:
        lines.append("Cold start: Orvane's window is painted in %.2fx the minimal window's time, where linking "
                     "libmpv alone comes to %.2fx (its libraries loading at exec): opening it after the first paint "
                     "is what keeps the window within 2.5x." % (ours / base, linked / base))
    if ready_ms and ours:
        lines.append("Ready to play: the player has opened libmpv on a thread of its own and created its core %.0f ms "
                     "after launch (%.0f ms after Orvane's window is painted, in the medians). A station put before "
                     "then starts the core at once, with the wait in that station's first load."
                     % (ready_ms["median"], ready_ms["median"] - ours))
    steady = results["steady"]
    audio, bare = steady.get(("audio", "Orvane")), steady.get(("audio", "libmpv"))
    ours_rss, base_rss = med("Orvane", 1), med("minimal Qt", 1)
    if audio and bare and ours_rss and base_rss and audio[1]["median"] > 1.3 * bare[1]["median"]:
        text = ("Audio RSS: Orvane plays sound in %.0f MiB against bare libmpv's %.0f MiB; bare libmpv and mpv, "
                "as Orvane's player does, open no video output for an audio stream. At its first paint, before "
                "libmpv is opened, Orvane already takes %.0f MiB (a minimal Qt window %.0f MiB)"
                % (audio[1]["median"], bare[1]["median"], ours_rss, base_rss))
        if ready_rss:
            text += ", and %.0f MiB once its player is ready" % ready_rss["median"]
        above = audio[1]["median"] - bare[1]["median"]
        if 0.7 * above <= ours_rss <= 1.3 * above:
            text += (": about the %.0f MiB between the two, so it is Qt and the program's own windows that come on "
                     "top of libmpv's share." % above)
        elif ours_rss < 0.7 * above:
            text += (": that accounts for only part of the %.0f MiB between the two; the rest comes with playing."
                     % above)
        else:
            text += "; the two differ by %.0f MiB." % above
        lines.append(text)
    switch = results["switch"]
    first = results["ttfs"].get("http MP3", {})
    if (switch.get("Orvane") and first.get("Orvane") and switch.get("libmpv") and first.get("libmpv") and
            switch["Orvane"]["median"] > 1.1 * first["Orvane"]["median"]):
        bare_ratio = switch["libmpv"]["median"] / first["libmpv"]["median"]
        if bare_ratio > 1.1:
            lines.append("Station switch: the new station is heard only after a silence longer than a first load "
                         "from idle takes. Bare libmpv switches in %.2fx of its own first-sound time: before it "
                         "opens the new station, libmpv closes the playing stream's demuxer, which is blocked in a "
                         "read of the live stream until its server sends on. Orvane tells libmpv to close it at "
                         "once (`demuxer-termination-timeout=0`), but FFmpeg notices only between its network polls. "
                         "In trials on this machine `cache=no` with `demuxer-readahead-secs=0.5` removed the wait; "
                         "Orvane keeps its 10 s cache, which carries a live station over the network's hiccups. The "
                         "switch is also timed by a 20 ms tone window where there is no 50 ms gap, which reads a few "
                         "ms later than the onset of a first sound."
                         % bare_ratio)
        else:
            lines.append("Station switch: bare libmpv switches within 1.1x of its own first-sound time in this run "
                         "(%.2fx) and Orvane does not: the difference is in Orvane's load path." % bare_ratio)
    for kind, row in results["ttfs"].items():
        o, b = row.get("Orvane"), row.get("libmpv")
        if o and b and o["median"] > 1.1 * b["median"]:
            lines.append("Time to first sound, %s: %.0f ms against bare libmpv's %.0f ms, fastest runs %.0f and %.0f "
                         "ms, libmpv's own runs spreading over %.0f ms: a difference of this size is not resolved "
                         "by %d runs on this machine." % (kind, o["median"], b["median"], o["min"], b["min"],
                                                           b["max"] - b["min"], b["n"])
                         if o["median"] - b["median"] < (b["max"] - b["min"]) / 2 else
                         "Time to first sound, %s: %.0f ms against bare libmpv's %.0f ms." % (kind, o["median"],
                                                                                            b["median"]))
    probing = results.get("probing") or {}
    default, light = probing.get(("libmpv defaults", "rtsp")), probing.get(("demuxer-lavf-o=fpsprobesize=0", "rtsp"))
    if default and light:
        lines.append("rtsp: %.1f s in libmpv's defaults, all of it in FFmpeg's stream probing waiting to estimate the "
                     "live video's frame rate; `demuxer-lavf-o=fpsprobesize=0` brings it to %.1f s and leaves the "
                     "other kinds as they were. Orvane's player sets it for its rtsp and mms loads."
                     % (default["median"] / 1000, light["median"] / 1000))
    mms, mms_video = results["ttfs"].get("mms", {}), results["ttfs"].get("mms video", {})
    if mms.get("libmpv") and mms_video.get("libmpv") and mms_video.get("Orvane"):
        lines.append("mms: sound alone starts in %.0f ms in libmpv's defaults; with a picture it takes %.1f s there. "
                     "FFmpeg reads up to 5 s of a live stream to learn its codecs and then waits to estimate the "
                     "video's frame rate. Orvane's player reads 1.5 s at most for mms and rtsp and skips the frame "
                     "rate estimate (playback takes the timestamps anyway): %.2f s."
                     % (mms["libmpv"]["median"], mms_video["libmpv"]["median"] / 1000,
                        mms_video["Orvane"]["median"] / 1000))
    lines.append("`mpv` and `cvlc` figures are differences of two launches of a few hundred milliseconds each on a "
                 "machine shared with other builds: their spread is larger than the streams' own times.")
    return lines


def write(args, bench, results):
    out = []
    add = out.append
    quick = " (--quick: %d runs, %d s windows, %d switches)" % (bench.runs, bench.steady_seconds, bench.switches) \
        if args.quick else ""
    add("# Orvane benchmark results")
    add("")
    add("Regenerated by `bench/run.sh`%s on %s in %.0f s. Each figure is the median of %d runs with the minimum and "
        "maximum in brackets; a ratio is Orvane's median over the peer's."
        % (quick, datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), results["duration"], bench.runs))
    add("")
    add("## Machine")
    add("")
    out.extend(machine(bench))
    add("")

    targets = []

    cold = results["cold"]
    ours_ms, ours_rss = cold["Orvane"]
    base_ms, base_rss = cold["minimal Qt"]
    add("## 1. Cold start: exec to the main window first painted")
    add("")
    add("From just before `exec` to the X server's first DAMAGE report for the mapped window (orvane_bench_xwatch); "
        "RSS read at that moment. The first start of each is not counted (it only fills the page cache).")
    add("")
    add("| program | time (ms) | RSS then (MiB) |")
    add("|---|---|---|")
    add("| Orvane (`build/orvane`) | %s | %s |" % (cell(ours_ms), cell(ours_rss, digits=1)))
    add("| minimal Qt 6 widgets window, 249 x 198 | %s | %s |" % (cell(base_ms), cell(base_rss, digits=1)))
    add("| ratio | %s | %s |" % (ratio(ours_ms, base_ms), ratio(ours_rss, base_rss)))
    add("")
    add("Where the difference goes: Orvane opens libmpv (with dlopen, on a thread of its own) only once its video "
        "area has been painted, so no part of libmpv is on the way to the first paint. What it would cost there if "
        "linked: the minimal window with libmpv's libraries loaded at exec.")
    add("")
    add("| program | time (ms) | RSS then (MiB) | time / minimal |")
    add("|---|---|---|---|")
    for name, label in (("minimal Qt", "minimal Qt window"),
                        ("minimal + libmpv linked",
                         "+ libmpv linked (its ~190 libraries load at exec; nothing called)"),
                        ("Orvane", "Orvane")):
        if name not in cold:
            continue
        ms, rss = cold[name]
        add("| %s | %s | %s | %s |" % (label, cell(ms), cell(rss, digits=1), ratio(ms, base_ms)))
    add("")
    ready_ms, ready_rss = results.get("ready") or (None, None)
    add("Ready to play: from launch to the player having opened libmpv and created its core, as "
        "orvane_bench_driver (the program's windows and player, started as the program starts them) sees it: "
        "%s ms, RSS then %s MiB. The player gives no sign of it, so the driver looks for the core's threads every "
        "2 ms." % (cell(ready_ms), cell(ready_rss, digits=1)) if ready_ms else
        "Ready to play: the driver did not report its player ready in this run.")
    add("")
    if ours_ms and base_ms:
        targets.append(("Cold start ≤ 2.5 × the minimal Qt window", "%sx" % ratio(ours_ms, base_ms),
                        verdict(ours_ms["median"] <= 2.5 * base_ms["median"])))

    add("## 2. Time to first sound")
    add("")
    add("Orvane and bare libmpv: from the URL put (into the program's player, or `loadfile` into an already "
        "initialised libmpv handle with `ytdl=no vo=gpu gpu-sw=yes geometry=249x198`) to the first non-silent "
        "sample at the sink's monitor. `mpv` (`--no-config --ytdl=no` and the same video options) and `cvlc` "
        "(`--no-video`, as user nobody): launch to first sound, less the "
        "launch to first sound of a local MP3 file just before it (over all runs: mpv %s ms, cvlc %s ms). That "
        "difference of two launches is noisy on a shared machine, and can come out below zero."
        % tuple(cell(results["local"][n]) for n in ("mpv", "cvlc")))
    add("")
    add("| kind | Orvane | libmpv | mpv | cvlc | Orvane / libmpv | Orvane / cvlc |")
    add("|---|---|---|---|---|---|---|")
    chart = ["kind\t" + "\t".join(PLAYERS)]
    for kind, row in results["ttfs"].items():
        add("| %s | %s | %s | %s | %s | %s | %s |" % (
            kind, cell(row["Orvane"]), cell(row["libmpv"]), cell(row["mpv"]), cell(row["cvlc"]),
            ratio(row["Orvane"], row["libmpv"]), ratio(row["Orvane"], row["cvlc"])))
        chart.append(kind + "\t" + "\t".join("%.1f" % row[p]["median"] if row[p] else "-" for p in PLAYERS))
        o, b, c = row["Orvane"], row["libmpv"], row["cvlc"]
        if o and b:
            targets.append(("Time to first sound, %s ≤ 1.1 × libmpv" % kind, "%sx" % ratio(o, b),
                            verdict(o["median"] <= 1.1 * b["median"])))
        elif not o:
            targets.append(("Time to first sound, %s" % kind, "Orvane does not play it", verdict(False)))
        if o and c:
            # cvlc's figure is a difference of two launches: within half its launch-time spread it is not resolved.
            noise = (results["local"]["cvlc"]["max"] - results["local"]["cvlc"]["min"]) / 2
            measured = "%.0f ms vs %.0f ms" % (o["median"], c["median"])
            if o["median"] <= c["median"]:
                result = verdict(True)
            elif o["median"] - c["median"] <= noise:
                result = "within cvlc's launch noise (%.0f ms)" % noise
            else:
                result = verdict(False)
            targets.append(("Time to first sound, %s ≤ cvlc" % kind, measured, result))
    add("")
    kinds = results["ttfs"]
    if "ASX" in kinds:
        add("- ASX (`/asx/lower.asx`, one entry, an http MP3 stream): libmpv reads no ASX, so bare libmpv and `mpv` "
            "played the playlist's entry directly; Orvane's figure includes fetching and reading the playlist.")
    if "mms" in kinds:
        add("- mms: `/radio/rki.wma`, sound only; mms video: `/tv/live` from the same VLC server, with a picture. "
            "`cvlc` was given the `mmsh://` spelling; Debian's VLC does not open MMS over HTTP from `mms://`.")
    if "rtsp" in kinds:
        add("- rtsp: Debian's VLC is built without live555 and opens no rtsp:// stream.")
    if "HLS" in kinds:
        add("- HLS: the VLC here has no video output module (only `vlc-plugin-base` is installed), so `cvlc` runs "
            "with `--no-video` and starts its sound without waiting for the first picture, which every other "
            "player here does.")
    add("")
    add("![Time to first sound](ttfs.png)")
    add("")
    probing = results.get("probing") or {}
    if probing:
        add("### Where rtsp's seconds go")
        add("")
        add("libmpv opens an rtsp stream and then runs FFmpeg's `avformat_find_stream_info()` on it, which reads the "
            "live stream until it has estimated the video's frame rate: seconds of waiting, though the SDP "
            "already describes both streams. Bare libmpv on the video kinds with lighter probing:")
        add("")
        probe_kinds = sorted({kind for _, kind in probing}, reverse=True)
        add("| libmpv option | " + " | ".join(probe_kinds) + " |")
        add("|---|" + "---|" * len(probe_kinds))
        for label in dict.fromkeys(label for label, _ in probing):
            shown = "`%s`" % label if "=" in label else label
            add("| %s | %s |" % (shown, " | ".join(cell(probing.get((label, k))) for k in probe_kinds)))
        add("")

    add("## 3. Station switch")
    add("")
    add("While the 440 Hz stream plays, the 880 Hz stream's URL is put; the time until 880 Hz is heard (its onset "
        "after the gap, or the moment a 20 ms Goertzel window is mostly 880 Hz when there is no gap).")
    add("")
    switch = results["switch"]
    http_ttfs = results["ttfs"].get("http MP3", {}).get("Orvane")
    cut = results.get("switch_cut", {})
    add("| player | switch (ms) | time to first sound, http MP3 (ms) | switch / first sound | old station silent "
        "after (ms) |")
    add("|---|---|---|---|---|")
    for name in ("Orvane", "libmpv"):
        first = results["ttfs"].get("http MP3", {}).get(name)
        gap = cut.get(name)
        add("| %s | %s | %s | %s | %s |" % (name, cell(switch[name]), cell(first), ratio(switch[name], first),
                                           "%s, in %d of %d" % (cell(gap), gap["n"], switch[name]["n"])
                                           if gap and switch[name] else "no silence of 50 ms or more"))
    add("")
    if switch["Orvane"] and http_ttfs:
        targets.append(("Station switch ≤ 1.1 × time to first sound", "%sx" % ratio(switch["Orvane"], http_ttfs),
                        verdict(switch["Orvane"]["median"] <= 1.1 * http_ttfs["median"])))

    steady = results["steady"]
    add("## 4. Steady state")
    add("")
    add("Over a %d s window cut in 5 slices, after 2 s of playing: CPU in percent of one core, the whole window's "
        "average (the slices' min–max); RSS, the median of the slices' ends (min–max). Audio: the endless "
        "128 kb/s MP3 stream. Video: a 640x360 25 fps H.264 + AAC "
        "MPEG-TS stream paced at its bitrate; Orvane shows it with libmpv's `vo=gpu gpu-sw=yes` in a window "
        "inside its 249 x 198 video area, bare libmpv and `mpv` in their own 249 x 198 window with the same "
        "output. All draw with Mesa llvmpipe on the CPU." % bench.steady_seconds)
    add("")
    add("| what | player | CPU (% of a core) | RSS (MiB) | CPU / libmpv | RSS / libmpv |")
    add("|---|---|---|---|---|---|")
    for what in ("audio", "video"):
        base = steady.get((what, "libmpv"))
        for name in ("Orvane", "libmpv", "mpv"):
            s = steady.get((what, name))
            cpu, rss = (s if s else (None, None))
            add("| %s | %s | %s | %s | %s | %s |" % (
                what, name, cell(cpu, digits=1), cell(rss, digits=1),
                ratio(cpu, base[0]) if base and name != "libmpv" else "",
                ratio(rss, base[1]) if base and name != "libmpv" else ""))
    for what, label in (("idle", "idle, window shown, nothing playing"), ("tray", "idle, hidden in the tray")):
        s = steady.get((what, "Orvane"))
        cpu, rss = (s if s else (None, None))
        add("| %s | Orvane | %s | %s | | |" % (label, cell(cpu, digits=2), cell(rss, digits=1)))
    add("")
    ours_audio, bare_audio = steady.get(("audio", "Orvane")), steady.get(("audio", "libmpv"))
    if ours_audio and bare_audio:
        targets.append(("Audio CPU ≤ 1.2 × libmpv", "%sx" % ratio(ours_audio[0], bare_audio[0]),
                        verdict(ours_audio[0]["median"] <= 1.2 * bare_audio[0]["median"])))
        targets.append(("Audio RSS ≤ 1.3 × libmpv", "%sx" % ratio(ours_audio[1], bare_audio[1]),
                        verdict(ours_audio[1]["median"] <= 1.3 * bare_audio[1]["median"])))
    for what in ("idle", "tray"):
        s = steady.get((what, "Orvane"))
        if s:
            targets.append(("Idle CPU < 0.5 %% (%s)" % ("window shown" if what == "idle" else "in the tray"),
                            "%.2f %%" % s[0]["median"], verdict(s[0]["median"] < 0.5)))

    add("## 5. Endurance")
    add("")
    e = results["endurance"]
    if e:
        growth = e["rssN"] - e["rss10"]
        add("%d station switches (440 Hz and 880 Hz streams alternately, each put once the last one plays; %d did "
            "not reach playing within 10 s)." % (e["switches"], e["failed"]))
        add("")
        add("| RSS after 10 switches (MiB) | RSS after %d (MiB) | growth (MiB) |" % e["switches"])
        add("|---|---|---|")
        add("| %.1f | %.1f | %+.1f |" % (e["rss10"], e["rssN"], growth))
        targets.append(("Endurance growth < 5 MB over %d switches" % e["switches"], "%+.1f MiB" % growth,
                        verdict(growth * 1.048576 < 5)))
    else:
        add("The switch loop did not finish.")
    add("")

    add("## Reading the figures")
    add("")
    for line in limits(results):
        add("- " + line)
    add("")
    add("## Targets")
    add("")
    add("| target | measured | |")
    add("|---|---|---|")
    for name, measured, result in targets:
        add("| %s | %s | %s |" % (name, measured, result))
    add("")
    if bench.notes:
        add("## Not measured in this run")
        add("")
        for note in bench.notes:
            add("- " + note)
        add("")

    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write("\n".join(out))
    data = os.path.join(args.cache, "ttfs.tsv")
    with open(data, "w") as f:
        f.write("\n".join(chart) + "\n")
    subprocess.run([os.path.join(args.build, "bench", "orvane_bench_chart"), data, os.path.join(args.out, "ttfs.png"),
                    "Time to first sound on loopback (lower is better)"], check=False)
