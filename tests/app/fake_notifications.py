#!/usr/bin/python3
"""A stand-in desktop notification service on the session bus it is given.

    fake_notifications.py MODE LOG

MODE is "actions" (the service shows buttons) or "plain" (it does not). Every Notify call is
appended to LOG as one JSON line (the picture as its size and byte count). The tests press a
button through the extra method org.velmoran.Test.Press(id, key), which emits ActionInvoked and
then NotificationClosed as a notification service does.
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

INTERFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, mode, log_path):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.mode = mode
        self.log_path = log_path
        self.last_id = 0

    @dbus.service.method(INTERFACE, in_signature="", out_signature="as")
    def GetCapabilities(self):
        caps = ["body", "body-markup"]
        if self.mode == "actions":
            caps.append("actions")
        return caps

    @dbus.service.method(INTERFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        self.last_id += 1
        entry = {"id": self.last_id, "app_name": str(app_name), "app_icon": str(app_icon),
                 "summary": str(summary), "body": str(body),
                 "actions": [str(a) for a in actions], "timeout": int(timeout),
                 "hints": sorted(str(k) for k in hints.keys())}
        if "image-data" in hints:
            width, height, stride, alpha, bits, channels, data = hints["image-data"]
            entry["image"] = {"width": int(width), "height": int(height), "stride": int(stride),
                              "alpha": bool(alpha), "bits": int(bits),
                              "channels": int(channels), "bytes": len(data)}
        with open(self.log_path, "a") as f:
            f.write(json.dumps(entry) + "\n")
        return dbus.UInt32(self.last_id)

    @dbus.service.method(INTERFACE, in_signature="u", out_signature="")
    def CloseNotification(self, id):
        self.NotificationClosed(id, dbus.UInt32(3))

    @dbus.service.method(INTERFACE, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("fake", "velmoran", "1", "1.2")

    @dbus.service.signal(INTERFACE, signature="us")
    def ActionInvoked(self, id, key):
        pass

    @dbus.service.signal(INTERFACE, signature="uu")
    def NotificationClosed(self, id, reason):
        pass

    @dbus.service.method("org.velmoran.Test", in_signature="us", out_signature="")
    def Press(self, id, key):
        self.ActionInvoked(id, key)
        self.NotificationClosed(id, dbus.UInt32(2))


def main():
    mode, log_path = sys.argv[1], sys.argv[2]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service = Notifications(bus, mode, log_path)  # noqa: F841, kept alive while the loop runs
    name = dbus.service.BusName("org.freedesktop.Notifications", bus)  # noqa: F841
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
