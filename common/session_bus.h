#pragma once
// Whether the session has a D-Bus bus, as libdbus and GLib find one. Without one, Qt's D-Bus
// would try to start a bus of its own on the X display ("autolaunch"), which a headless upload
// or a desktop without a bus must never do.

#include <QFileInfo>
#include <QString>
#include <QtGlobal>

inline bool SessionBusNamed() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}
