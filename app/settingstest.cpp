// The settings test's steps. The upload's own session does steps 2 to 5, so the test proves what
// an upload will meet; how far that session got tells which step failed.

#include "app/settingstest.h"

#include "app/mainwindow.h"
#include "ftp/transferclient.h"

#include <QBuffer>
#include <QEventLoop>
#include <QFile>
#include <QHostInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSslError>
#include <QTemporaryFile>
#include <QTimer>

Q_LOGGING_CATEGORY(lcSettingsTest, "imglift.settingstest")

namespace {

constexpr int WebTimeoutMs = 10000;
constexpr int MaxRedirects = 5;
constexpr qint64 MaxBody = 64 * 1024;

QByteArray ProbeJpeg() {
    QImage image(1, 1, QImage::Format_RGB32);
    image.fill(Qt::white);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

QString Words(const std::string& Text) {
    return QString::fromStdString(Text).trimmed();
}

// A redirect stays on the site: the same host, and never from https down to http.
bool SameSite(const QUrl& From, const QUrl& To) {
    if (From.host().compare(To.host(), Qt::CaseInsensitive) != 0) return false;
    return !(From.scheme() == QStringLiteral("https") && To.scheme() != QStringLiteral("https"));
}

} // namespace

TSettingsTest::TSettingsTest(TTransferClient& Client, TSettings Settings, QObject* Parent)
    : QObject(Parent), FClient(Client), FSettings(std::move(Settings)) {
    FProbeName = QStringLiteral(".imglift-test-%1.jpg")
                     .arg(QRandomGenerator::system()->generate64() & 0xffffffffffffULL, 12, 16,
                          QLatin1Char('0'));
}

QString TSettingsTest::StepTitle(TStep Step) {
    switch (Step) {
    case TStep::Resolve:
        return QStringLiteral("Find the server");
    case TStep::Connect:
        return QStringLiteral("Connect");
    case TStep::LogIn:
        return QStringLiteral("Log in");
    case TStep::Folder:
        return QStringLiteral("Open the folder");
    case TStep::Store:
        return QStringLiteral("Store a test picture");
    case TStep::Web:
        return QStringLiteral("Fetch it from the web address");
    case TStep::Delete:
        return QStringLiteral("Remove the test picture");
    }
    return {};
}

void TSettingsTest::Report(TStep Step, TState State, const QString& Text) {
    if (OnStep) OnStep(Step, State, Text);
}

void TSettingsTest::Fail(TStep Step, const QString& Text) {
    if (FFailure.isEmpty()) FFailure = Text;
    qCWarning(lcSettingsTest).noquote() << StepTitle(Step) << "failed:" << Text;
    Report(Step, TState::Failed, Text);
}

void TSettingsTest::Abort() {
    FAborted = true;
    FClient.Abort();
    if (FAbortWait) FAbortWait();
}

bool TSettingsTest::Run() {
    FFailure.clear();
    FStored = false;
    const QByteArray probe = ProbeJpeg();
    QTemporaryFile local;
    if (!local.open() || local.write(probe) != probe.size() || !local.flush()) {
        Fail(TStep::Store,
             QStringLiteral("Cannot write the test picture: %1").arg(local.errorString()));
        return false;
    }
    local.close();

    bool ok = Resolve() && Upload(local.fileName());
    if (ok && FSettings.WebAddress.isEmpty()) {
        Report(TStep::Web, TState::Skipped, QStringLiteral("No web address is set."));
    } else if (ok) {
        ok = CheckWeb(probe);
    }
    // Always, whatever failed after the probe reached the server.
    RemoveProbe();
    if (FAborted) {
        FFailure = QStringLiteral("Test aborted by user.");
        return false;
    }
    return ok && FFailure.isEmpty();
}

bool TSettingsTest::Resolve() {
    Report(TStep::Resolve, TState::Running);
    if (FSettings.Host.trimmed().isEmpty()) {
        Fail(TStep::Resolve, QStringLiteral("No host is set: enter the server's name."));
        return false;
    }
    QHostInfo found;
    QEventLoop loop;
    const int id =
        QHostInfo::lookupHost(FSettings.Host.trimmed(), &loop, [&](const QHostInfo& Info) {
            found = Info;
            loop.quit();
        });
    FAbortWait = [&] { loop.quit(); };
    loop.exec();
    FAbortWait = nullptr;
    if (FAborted) {
        QHostInfo::abortHostLookup(id);
        Fail(TStep::Resolve, QStringLiteral("Aborted."));
        return false;
    }
    if (found.error() != QHostInfo::NoError || found.addresses().isEmpty()) {
        Fail(TStep::Resolve, QStringLiteral("The server '%1' was not found (%2): check the host.")
                                 .arg(FSettings.Host, found.errorString()));
        return false;
    }
    const QString address = found.addresses().first().toString();
    Report(TStep::Resolve, TState::Passed,
           address == FSettings.Host.trimmed()
               ? QString()
               : QStringLiteral("%1 is %2").arg(FSettings.Host, address));
    return true;
}

bool TSettingsTest::Upload(const QString& LocalFile) {
    FClient.SetLocalFileName(QFile::encodeName(LocalFile).toStdString());
    FClient.SetHostFileName(FProbeName.toStdString());
    // Steps 2 to 5 run in one session: the display follows the stage it has reached.
    const TStep order[] = {TStep::Connect, TStep::LogIn, TStep::Folder, TStep::Store};
    int shown = 0; // steps reported as passed
    const auto follow = [&](int Reached) {
        for (; shown < Reached && shown < 4; ++shown) {
            Report(order[shown], TState::Passed);
            if (shown + 1 < 4) Report(order[shown + 1], TState::Running);
        }
    };
    const auto reached = [&] {
        switch (FClient.ReachedStage()) {
        case TUploadStage::None:
            return 0;
        case TUploadStage::Connected:
            return 1;
        case TUploadStage::LoggedIn:
            return 2;
        case TUploadStage::InFolder:
        case TUploadStage::Stored:
            return 3;
        case TUploadStage::Renamed:
            return 4;
        }
        return 0;
    };
    Report(TStep::Connect, TState::Running);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, this, [&] { follow(reached()); });
    watch.start(50);
    const bool uploaded = !FAborted && FClient.Upload();
    watch.stop();
    const int stage = reached();
    FStored = stage == 4;
    if (uploaded || FStored) {
        follow(4);
        return !FAborted;
    }
    follow(stage);
    const TStep failed = order[stage];
    const QString server = Words(FClient.ErrorMessage());
    if (FAborted || FClient.LastFailure() == TTransferFailure::Aborted) {
        Fail(failed, QStringLiteral("Aborted."));
        return false;
    }
    QString text;
    switch (failed) {
    case TStep::Connect:
        if (FClient.LastFailure() == TTransferFailure::Untrusted)
            text = QStringLiteral("The server's identity was not trusted: %1").arg(server);
        else if (FClient.LastFailure() == TTransferFailure::Timeout)
            text = QStringLiteral("The server did not answer in time: %1: check the port and the "
                                  "security setting.")
                       .arg(server);
        else
            text = QStringLiteral("Could not connect: %1: check the host, the port and the "
                                  "security setting.")
                       .arg(server);
        break;
    case TStep::LogIn:
        text = QStringLiteral("Connected, but the login as '%1' was refused: %2: check the user "
                              "name and the password.")
                   .arg(FSettings.User, server);
        break;
    case TStep::Folder:
        text = QStringLiteral("Logged in, but '%1' does not exist and could not be created: %2")
                   .arg(FSettings.Folder, server);
        break;
    default:
        text = FClient.ReachedStage() == TUploadStage::Stored
                   ? QStringLiteral("The picture was stored, but could not be renamed as the "
                                    "upload does: %1")
                         .arg(server)
                   : QStringLiteral("In the folder, but the picture could not be stored: %1: "
                                    "check that the account may write there.")
                         .arg(server);
        break;
    }
    Fail(failed, text);
    return false;
}

bool TSettingsTest::CheckWeb(const QByteArray& Probe) {
    Report(TStep::Web, TState::Running);
    const QString address = TForm1::PictureAddress(FSettings.WebAddress, FProbeName);
    const QUrl url(address);
    const auto fail = [&](const QString& What) {
        Fail(TStep::Web, QStringLiteral("The picture was stored, but %1 does not serve it (%2): "
                                        "check the web address.")
                             .arg(FSettings.WebAddress, What));
        return false;
    };
    if (!url.isValid() ||
        (url.scheme() != QStringLiteral("http") && url.scheme() != QStringLiteral("https")))
        return fail(QStringLiteral("not an http or https address"));

    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(WebTimeoutMs);
    const std::unique_ptr<QNetworkReply> reply(manager.get(request));

    QByteArray body;
    QUrl offSite;
    QStringList tlsErrors;
    bool tooLarge = false;
    bool timedOut = false;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    QObject::connect(reply.get(), &QNetworkReply::redirected, &loop, [&](const QUrl& To) {
        if (SameSite(url, To))
            emit reply->redirectAllowed();
        else {
            offSite = To;
            reply->abort();
        }
    });
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, &loop,
                     [&](const QList<QSslError>& Errors) {
                         for (const QSslError& e : Errors)
                             tlsErrors << e.errorString();
                     });
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        body += reply->read(MaxBody + 1 - body.size());
        if (body.size() > MaxBody) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    FAbortWait = [&] { reply->abort(); };
    limit.start(WebTimeoutMs);
    if (!reply->isFinished()) loop.exec();
    FAbortWait = nullptr;
    if (!tooLarge && reply->isOpen()) body += reply->read(MaxBody + 1 - body.size());

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason =
        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    const QString final = reply->url().toString();
    if (FAborted) {
        Fail(TStep::Web, QStringLiteral("Aborted."));
        return false;
    }
    if (!offSite.isEmpty())
        return fail(QStringLiteral("it redirects to another site, %1").arg(offSite.toString()));
    if (timedOut) return fail(QStringLiteral("no answer within %1 s").arg(WebTimeoutMs / 1000));
    if (!tlsErrors.isEmpty())
        return fail(QStringLiteral("TLS error at %1: %2").arg(final, tlsErrors.join("; ")));
    if (status == 0) return fail(QStringLiteral("%1 at %2").arg(reply->errorString(), final));
    if (status != 200) {
        const QString code = reason.isEmpty() ? QString::number(status)
                                              : QStringLiteral("%1 %2").arg(status).arg(reason);
        return fail(final == address ? code : QStringLiteral("%1 at %2").arg(code, final));
    }
    if (body != Probe) {
        if (final != address)
            return fail(QStringLiteral("it redirects to %1, a login page or another folder, and "
                                       "sends something else there")
                            .arg(final));
        return fail(QStringLiteral("%1 sends other content (%2 bytes): it shows another folder")
                        .arg(final)
                        .arg(tooLarge ? QStringLiteral("more than %1").arg(MaxBody)
                                      : QString::number(body.size())));
    }
    Report(TStep::Web, TState::Passed, QStringLiteral("%1 serves the picture.").arg(final));
    return true;
}

void TSettingsTest::RemoveProbe() {
    if (!FStored) {
        Report(TStep::Delete, TState::Skipped, QStringLiteral("Nothing was stored."));
        return;
    }
    Report(TStep::Delete, TState::Running);
    // An abort ended the step before; this one must still reach the server.
    FClient.SetHostFileName(FProbeName.toStdString());
    if (FClient.Delete()) {
        FStored = false;
        Report(TStep::Delete, TState::Passed);
        return;
    }
    Fail(TStep::Delete, QStringLiteral("The test picture %1 could not be removed: %2: remove it "
                                       "by hand.")
                            .arg(FProbeName, Words(FClient.ErrorMessage())));
}
