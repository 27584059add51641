#!/bin/sh
# tests/rig/rig.sh [--layout icewm|openbox-trayer] [--timeout S] -- COMMAND...  (see rig.py)
# Debian's own Python: it has the GObject bindings the RTSP server needs, and starts fast.
exec /usr/bin/python3 "$(dirname "$0")/rig.py" "$@"
