#!/usr/bin/python3
"""An RTSP server on 127.0.0.1 for the rig: a live test picture (H.264) with a tone (Opus).

    rtspserver.py --port PORT [--lifetime SECONDS]

Mount points (a query after the path, such as an access token, is accepted and ignored):
    /tv/live   a stream path
    /rtn       also reached as /rtn/?TOKEN, a path ending in a slash followed by a query

Needs Debian's python3-gi and gir1.2-gst-rtsp-server-1.0 (run it with /usr/bin/python3). It prints
"ready" once it accepts clients and ends by itself after --lifetime seconds.
"""
import argparse
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

# Live sources: every client joins the picture and tone where they are now, as on a real station.
PIPELINE = (
    "( videotestsrc is-live=true pattern=ball ! video/x-raw,width=160,height=120,framerate=10/1"
    " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=10 ! rtph264pay name=pay0 pt=96"
    " audiotestsrc is-live=true freq=660 volume=0.5 ! audioconvert ! audioresample ! opusenc"
    " ! rtpopuspay name=pay1 pt=97 )"
)
MOUNTS = ("/tv/live", "/rtn")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--lifetime", type=float, default=3600)
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(PIPELINE)
    factory.set_shared(True)
    mounts = server.get_mount_points()
    for path in MOUNTS:
        mounts.add_factory(path, factory)
    if server.attach(None) == 0:
        sys.exit("rtspserver: cannot listen on 127.0.0.1:%d" % args.port)

    loop = GLib.MainLoop()
    GLib.timeout_add(int(args.lifetime * 1000), loop.quit)
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    main()
