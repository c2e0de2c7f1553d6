#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace testsupport {

// Runs the event loop until pred() holds or timeoutMs passes; true when pred() held.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

// Runs the event loop for about ms milliseconds.
void PumpFor(int ms);

// A TCP port on 127.0.0.1 that was free a moment ago.
quint16 FreePort();

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool WaitForListener(quint16 port, int timeoutMs = 10000);

// A program started for a test and ended with it (terminated, then killed).
class ServerProcess {
public:
    ServerProcess(const QString& program, const QStringList& args);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    bool started() const;
    QString output();
    QProcess& process() { return *proc_; }

private:
    std::unique_ptr<QProcess> proc_;
};

// The source tree's root (set by CTest); the current folder otherwise.
QString SourceDir();

} // namespace testsupport
