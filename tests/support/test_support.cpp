#include "test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace testsupport {

bool PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired()) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

void PumpFor(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
}

quint16 FreePort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) return 0;
    return server.serverPort();
}

bool WaitForListener(quint16 port, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200)) {
            probe.disconnectFromHost();
            return true;
        }
        QThread::msleep(50);
    }
    return false;
}

ServerProcess::ServerProcess(const QString& program, const QStringList& args)
    : proc_(std::make_unique<QProcess>()) {
    proc_->setProcessChannelMode(QProcess::MergedChannels);
    proc_->start(program, args);
    proc_->waitForStarted(5000);
}

ServerProcess::~ServerProcess() {
    if (proc_->state() != QProcess::NotRunning) {
        proc_->terminate();
        if (!proc_->waitForFinished(3000)) {
            proc_->kill();
            proc_->waitForFinished(3000);
        }
    }
}

bool ServerProcess::started() const {
    return proc_->state() == QProcess::Running;
}

QString ServerProcess::output() {
    return QString::fromLocal8Bit(proc_->readAll());
}

QString SourceDir() {
    const QByteArray dir = qgetenv("IMGLIFT_SOURCE_DIR");
    return dir.isEmpty() ? QStringLiteral(".") : QString::fromLocal8Bit(dir);
}

} // namespace testsupport
