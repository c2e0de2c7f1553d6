#include "test_support.h"

#include "common/posix_file.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <set>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

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

namespace {
// Test programs run side by side. A port that the kernel handed out and took back can go to
// another program's server, or become the local end of someone's connection, before our server
// binds it; a client would then talk to the wrong server. So ports come from below the ephemeral
// range, and each is claimed with a lock that its program holds until it exits.
constexpr quint16 FirstPort = 20000;
constexpr quint16 PortCount = 12000;

bool Claim(quint16 port) {
    static std::vector<posix::UniqueFd> held;
    const QString dir = QDir::temp().filePath(QString("imglift-test-ports-%1").arg(::getuid()));
    QDir().mkpath(dir);
    const QByteArray path = QFile::encodeName(dir + "/" + QString::number(port));
    posix::UniqueFd fd(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
    held.push_back(std::move(fd));
    return true;
}
} // namespace

quint16 FreePort() {
    static std::mt19937 random(std::random_device{}());
    static std::set<quint16> mine;
    static std::mutex lock;
    const std::lock_guard hold(lock);
    std::uniform_int_distribution<int> pick(0, PortCount - 1);
    for (int tries = 0; tries < 200; ++tries) {
        const auto port = static_cast<quint16>(FirstPort + pick(random));
        if (mine.count(port) || !Claim(port)) continue;
        mine.insert(port);
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port)) return port;
    }
    return 0;
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
