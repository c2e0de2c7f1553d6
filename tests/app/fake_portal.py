#!/usr/bin/python3
"""A stand-in desktop portal with a Screenshot interface, on the session bus it is given.

    fake_portal.py MODE LOG

MODE is "picture:WxH" (answers at once with a WxH picture of one colour), "refuse" (answers 1,
as when the user cancels) or "silent" (never answers). Every request and every Close of a
request is appended to LOG as one JSON line. The answer is sent before the call returns, so a
client that subscribes only after the call misses it.
"""
import json
import os
import struct
import sys
import zlib

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

COLOUR = (40, 160, 90)


def png(width, height, rgb):
    def chunk(kind, data):
        crc = zlib.crc32(kind + data) & 0xFFFFFFFF
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)

    rows = b"".join(b"\x00" + bytes(rgb) * width for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


class Log:
    def __init__(self, path):
        self.path = path

    def write(self, entry):
        with open(self.path, "a") as f:
            f.write(json.dumps(entry) + "\n")


class Request(dbus.service.Object):
    def __init__(self, bus, path, log):
        super().__init__(bus, path)
        self.path = path
        self.log = log

    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass

    @dbus.service.method("org.freedesktop.portal.Request", in_signature="", out_signature="")
    def Close(self):
        self.log.write({"closed": self.path})
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self, bus, mode, log):
        super().__init__(bus, "/org/freedesktop/portal/desktop")
        self.bus = bus
        self.mode = mode
        self.log = log
        self.requests = []

    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}",
                         out_signature="o", sender_keyword="sender")
    def Screenshot(self, parent_window, options, sender):
        token = str(options.get("handle_token", "t%d" % len(self.requests)))
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
            sender[1:].replace(".", "_"), token)
        entry = {"parent_window": str(parent_window), "handle_token": token}
        if "interactive" in options:
            entry["interactive"] = bool(options["interactive"])
        request = Request(self.bus, path, self.log)
        self.requests.append(request)
        answer = None
        if self.mode == "refuse":
            answer = (1, {})
        elif self.mode.startswith("picture:"):
            width, height = (int(n) for n in self.mode[len("picture:"):].split("x"))
            picture = os.path.join(os.path.dirname(os.path.abspath(self.log.path)), "shot.png")
            with open(picture, "wb") as f:
                f.write(png(width, height, COLOUR))
            entry["file"] = picture
            answer = (0, {"uri": "file://" + picture})
        # Logged before the answer, which may end the client's wait at once.
        self.log.write(entry)
        if answer:
            request.Response(dbus.UInt32(answer[0]), dbus.Dictionary(answer[1], signature="sv"))
        return dbus.ObjectPath(path)


def main():
    mode, log_path = sys.argv[1], sys.argv[2]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, mode, Log(log_path))  # noqa: F841, kept alive while the loop runs
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)  # noqa: F841
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
