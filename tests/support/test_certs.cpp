#include "test_certs.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <utility>

namespace testsupport {

QString RunOpenssl(const QString& Dir, const QStringList& Args) {
    QProcess P;
    P.setWorkingDirectory(Dir);
    P.start("openssl", Args);
    if (!P.waitForFinished(20000) || P.exitCode() != 0) {
        qWarning("openssl %s: %s", qPrintable(Args.join(' ')),
                 P.readAllStandardError().constData());
        return {};
    }
    return QString::fromLocal8Bit(P.readAllStandardOutput());
}

const TestCerts& TestCerts::Get() {
    static const TestCerts C;
    return C;
}

QString TestCerts::Path(const QString& Name) const {
    return QDir(Dir).filePath(Name);
}

QString TestCerts::Fingerprint(const QString& Name) const {
    const QString Out =
        RunOpenssl(Dir, {"x509", "-in", Pem(Name), "-noout", "-fingerprint", "-sha256"});
    return Out.section('=', 1).trimmed();
}

TestCerts::TestCerts() {
    static QTemporaryDir Temp; // lives as long as the program
    Dir = Temp.path();
    const QStringList Ec = {"-newkey", "ec",    "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes",  "-days", "30"};
    RunOpenssl(Dir, QStringList{"req", "-x509"} + Ec +
                        QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-subj",
                                    "/CN=ImgLift Test CA"});
    for (const auto& [Name, San] : {std::pair{QString("srv"), "DNS:localhost,IP:127.0.0.1"},
                                    std::pair{QString("other"), "DNS:other.example"}}) {
        QFile Ext(Path(Name + ".ext"));
        if (Ext.open(QIODevice::WriteOnly)) Ext.write(QByteArray("subjectAltName=") + San + "\n");
        Ext.close();
        RunOpenssl(Dir, QStringList{"req"} + Ec +
                            QStringList{"-keyout", Name + ".key", "-out", Name + ".csr", "-subj",
                                        "/CN=" + Name});
        RunOpenssl(Dir, {"x509", "-req", "-in", Name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                         "-CAcreateserial", "-days", "30", "-extfile", Name + ".ext", "-out",
                         Name + ".pem"});
    }
    RunOpenssl(Dir, QStringList{"req", "-x509"} + Ec +
                        QStringList{"-keyout", "self.key", "-out", "self.pem", "-subj",
                                    "/CN=localhost/O=Self Signed", "-addext",
                                    "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    qputenv("SSL_CERT_FILE", Pem("ca").toLocal8Bit());
    qputenv("SSL_CERT_DIR", Dir.toLocal8Bit());
}

} // namespace testsupport
