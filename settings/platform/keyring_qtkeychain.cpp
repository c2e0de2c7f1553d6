#include "settings/platform/keyring.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <qt6keychain/keychain.h>

namespace keyring {

namespace {

// True when the Secret Service's default keyring is locked.
bool DefaultKeyringLocked(int TimeoutMs) {
    QDBusMessage get = QDBusMessage::createMethodCall("org.freedesktop.secrets",
                                                      "/org/freedesktop/secrets/aliases/default",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    const QDBusReply<QDBusVariant> locked =
        QDBusConnection::sessionBus().call(get, QDBus::Block, TimeoutMs);
    return locked.isValid() && locked.value().variant().toBool();
}

class TQtKeychain final : public TKeyring {
public:
    explicit TQtKeychain(int TimeoutMs) : FTimeoutMs(TimeoutMs) {}

    TResult Read(const QString& Key) override {
        TResult found = Run(new QKeychain::ReadPasswordJob(QString::fromLatin1(Service)), Key);
        // An entry in a keyring that stayed locked (nobody to unlock it, or the unlock was
        // cancelled) comes back as not found: the password is there, only out of reach.
        if (found.Status == TStatus::NotFound && DefaultKeyringLocked(FTimeoutMs)) {
            found.Status = TStatus::Unavailable;
            found.Why = QStringLiteral("the keyring is locked");
        }
        return found;
    }
    TResult Write(const QString& Key, const QString& Secret) override {
        auto* const job = new QKeychain::WritePasswordJob(QString::fromLatin1(Service));
        job->setTextData(Secret);
        return Run(job, Key);
    }
    TResult Remove(const QString& Key) override {
        return Run(new QKeychain::DeletePasswordJob(QString::fromLatin1(Service)), Key);
    }

private:
    // Filled in by the job when it finishes, which may be after the wait has given up.
    struct TAnswer {
        bool Done = false;
        QKeychain::Error Error = QKeychain::NoError;
        QString ErrorText;
        QString Secret;
    };

    // Starts Job and waits for it in a local event loop that takes no user input. The job
    // deletes itself once finished: one still running after the time-out is left to finish
    // on its own, since a job destroyed under a pending D-Bus call is not safe.
    TResult Run(QKeychain::Job* Job, const QString& Key) const {
        Job->setAutoDelete(true);
        Job->setInsecureFallback(false);
        Job->setKey(Key);
        const auto answer = std::make_shared<TAnswer>();
        QEventLoop loop;
        const QPointer<QEventLoop> waiting(&loop);
        QObject::connect(
            Job, &QKeychain::Job::finished, Job, [answer, waiting](QKeychain::Job* Finished) {
                answer->Done = true;
                answer->Error = Finished->error();
                answer->ErrorText = Finished->errorString();
                if (const auto* const read = qobject_cast<QKeychain::ReadPasswordJob*>(Finished))
                    answer->Secret = read->textData();
                if (waiting) waiting->quit();
            });
        Job->start();
        if (!answer->Done) {
            QTimer::singleShot(FTimeoutMs, &loop, &QEventLoop::quit);
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        }

        TResult result;
        if (!answer->Done) {
            result.Why =
                QStringLiteral("the keyring gave no answer within %1 s").arg(FTimeoutMs / 1000.0);
            return result;
        }
        switch (answer->Error) {
        case QKeychain::NoError:
            result.Status = TStatus::Ok;
            result.Secret = answer->Secret;
            break;
        case QKeychain::EntryNotFound:
            result.Status = TStatus::NotFound;
            break;
        case QKeychain::AccessDeniedByUser:
            result.Why = QStringLiteral("the keyring stayed locked (%1)").arg(answer->ErrorText);
            break;
        default:
            result.Why = QStringLiteral("the keyring refused: %1").arg(answer->ErrorText);
            break;
        }
        return result;
    }

    int FTimeoutMs;
};

} // namespace

std::unique_ptr<TKeyring> MakeQtKeychain(int TimeoutMs) {
    return std::make_unique<TQtKeychain>(TimeoutMs);
}

} // namespace keyring
