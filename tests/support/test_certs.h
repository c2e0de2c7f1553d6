#pragma once
// Certificates for the TLS tests, made once per test program with the openssl tool: a test CA
// that OpenSSL trusts through SSL_CERT_FILE (system roots are left out through SSL_CERT_DIR),
// "srv" signed by it for localhost and 127.0.0.1, "other" signed by it for other.example only,
// and "self", self-signed for localhost and 127.0.0.1. Each NAME has NAME.pem and NAME.key.

#include <QString>
#include <QStringList>

namespace testsupport {

class TestCerts {
public:
    static const TestCerts& Get();
    QString Path(const QString& Name) const;
    QString Pem(const QString& Name) const { return Path(Name + ".pem"); }
    QString Key(const QString& Name) const { return Path(Name + ".key"); }
    // The SHA-256 fingerprint as `openssl x509 -fingerprint` prints it ("AB:CD:...").
    QString Fingerprint(const QString& Name) const;

private:
    TestCerts();
    QString Dir;
};

// Runs the openssl tool in Dir; its standard output, or a null string when it failed.
QString RunOpenssl(const QString& Dir, const QStringList& Args);

} // namespace testsupport
