// FTP over TLS against pyftpdlib's TLS handler on loopback, with the certificates of
// testsupport::TestCerts. The server requires TLS on both connections and refuses a data
// connection whose TLS session does not resume the control connection's.

#include "ftp/ftpclient.h"
#include "ftp_fixture.h"
#include "support/test_certs.h"

#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <vector>

using namespace ftptest;
using testsupport::TestCerts;

namespace {

QStringList TlsArgs(const QString& Cert, const QStringList& More = {}) {
    const TestCerts& C = TestCerts::Get();
    return QStringList{"--tls-cert", C.Pem(Cert), "--tls-key", C.Key(Cert), "--log-commands"} +
           More;
}

class FtpTls : public ::testing::Test {
protected:
    void Start(const QStringList& Args, TFtpSecurity Security) {
        Server = std::make_unique<PyFtpServer>(Args);
        ASSERT_TRUE(Server->Ok()) << Server->Output().toStdString();
        Ftp.SetHostName("localhost");
        Ftp.SetPort(Server->PortText());
        Ftp.SetUserName("user");
        Ftp.SetPassWord("secret");
        Ftp.SetHostDirName("/");
        Ftp.SetTimeout(10);
        Ftp.SetSecurity(Security);
        Ftp.OnCertificateQuestion = [this](QObject*, const TCertificateInfo& Info, bool& Trust) {
            Questions.push_back(Info);
            if (ThinkMs > 0) QThread::msleep(ThinkMs);
            Trust = Answer;
        };
        Log.Attach(Ftp);
    }
    bool Upload(const QByteArray& Content, const QString& Name) {
        if (!WriteFile(Dir.filePath(Name), Content)) return false;
        Ftp.SetLocalFileName(Dir.filePath(Name).toStdString());
        Ftp.SetHostFileName(Name.toStdString());
        return Ftp.Transmit();
    }
    const QString& ServerLog() {
        Text += Server->Output();
        return Text;
    }
    std::string Key() const { return "localhost:" + Server->PortText(); }

    std::unique_ptr<PyFtpServer> Server;
    TFtpClient Ftp;
    RequestLog Log;
    QTemporaryDir Dir;
    std::vector<TCertificateInfo> Questions;
    bool Answer = false;
    unsigned long ThinkMs = 0;
    QString Text;
};

struct TransferCase {
    TFtpSecurity Security;
    bool Passive;
    const char* Version;
};

void PrintTo(const TransferCase& C, std::ostream* Os) {
    *Os << "security " << C.Security << (C.Passive ? " passive" : " active") << " TLS "
        << C.Version;
}

class FtpTlsTransfers : public FtpTls, public ::testing::WithParamInterface<TransferCase> {};

std::string CaseName(const ::testing::TestParamInfo<TransferCase>& Info) {
    std::string V = Info.param.Version;
    V.erase(V.find('.'), 1);
    return std::string(Info.param.Security == ftpSecImplicit ? "Implicit" : "Explicit") +
           (Info.param.Passive ? "Passive" : "Active") + "Tls" + V;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Tls, FtpTlsTransfers,
                         ::testing::Values(TransferCase{ftpSecExplicit, false, "1.2"},
                                           TransferCase{ftpSecExplicit, true, "1.3"},
                                           TransferCase{ftpSecImplicit, false, "1.3"},
                                           TransferCase{ftpSecImplicit, true, "1.2"}),
                         CaseName);

// Upload and download through encrypted control and data connections: every data connection
// resumes the control connection's session (the server refuses any other), and the upload's
// close_notify lets the server keep the whole file.
TEST_P(FtpTlsTransfers, UploadAndDownload) {
    const TransferCase C = GetParam();
    QStringList Args = TlsArgs("srv", {"--tls-required", "--tls-reuse-required", "--tls-min",
                                       C.Version, "--tls-max", C.Version});
    if (C.Security == ftpSecImplicit) Args << "--tls-implicit";
    Start(Args, C.Security);
    Ftp.SetPassive(C.Passive);

    const QByteArray Content = Pattern(3 * 1024 * 1024 + 77, 5);
    ASSERT_TRUE(Upload(Content, "up.bin")) << Ftp.ErrorMessage() << "\n"
                                           << Log.Trace() << ServerLog().toStdString();
    EXPECT_TRUE(ReadFile(Server->RootFile("up.bin")) == Content);
    EXPECT_EQ(Ftp.ControlSocket()->SslVersion(), std::string("TLSv") + C.Version);
    EXPECT_TRUE(Questions.empty());

    const QString Down = Dir.filePath("down.bin");
    Ftp.SetLocalFileName(Down.toStdString());
    ASSERT_TRUE(Ftp.Receive()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_TRUE(ReadFile(Down) == Content);

    EXPECT_EQ(ServerLog().count("DATA TLS reused=1"), 2) << ServerLog().toStdString();
    EXPECT_FALSE(ServerLog().contains("reused=0"));
    EXPECT_FALSE(ServerLog().contains("CMD AUTH") && C.Security == ftpSecImplicit);
}

// An unverifiable certificate is put to the user: Yes is remembered for host:port and asks
// nothing the next time; a changed certificate asks again, and No ends before USER.
TEST_F(FtpTls, UntrustedCertificateAsksOnceAndNoSendsNoUser) {
    Start(TlsArgs("self", {"--tls-required"}), ftpSecExplicit);
    Answer = true;
    // The user takes longer than the time-out to answer: that time does not count.
    Ftp.SetTimeout(1);
    ThinkMs = 1300;
    const QByteArray Content = Pattern(100000, 9);
    ASSERT_TRUE(Upload(Content, "a.bin")) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    ThinkMs = 0;
    Ftp.SetTimeout(10);
    EXPECT_TRUE(ReadFile(Server->RootFile("a.bin")) == Content);
    ASSERT_EQ(Questions.size(), 1u);
    const TCertificateInfo& Q = Questions[0];
    EXPECT_EQ(Q.Host, "localhost");
    EXPECT_EQ(Q.Port, Server->PortText());
    EXPECT_NE(Q.Reason.find("self"), std::string::npos) << Q.Reason;
    EXPECT_EQ(Q.Sha256, TestCerts::Get().Fingerprint("self").toStdString());
    EXPECT_NE(Q.Subject.find("CN=localhost"), std::string::npos) << Q.Subject;
    EXPECT_FALSE(Q.NotAfter.empty());
    EXPECT_EQ(Ftp.TrustedCertificates().at(Key()), Q.Sha256);

    ASSERT_TRUE(Upload(Content, "b.bin")) << Ftp.ErrorMessage();
    EXPECT_EQ(Questions.size(), 1u);

    Ftp.SetTrustedCertificates({{Key(), "00:11:22"}});
    Answer = false;
    const int UsersBefore = ServerLog().count("CMD USER");
    EXPECT_FALSE(Upload(Content, "c.bin"));
    EXPECT_EQ(Questions.size(), 2u);
    EXPECT_EQ(Ftp.StatusCode(), 534);
    EXPECT_NE(Ftp.ErrorMessage().find("not trusted"), std::string::npos) << Ftp.ErrorMessage();
    EXPECT_NE(Ftp.ErrorMessage().find("self"), std::string::npos) << Ftp.ErrorMessage();
    testsupport::PumpFor(200);
    EXPECT_EQ(ServerLog().count("CMD USER"), UsersBefore);
}

// A refused certificate ends the upload at once: one question, nothing sent after the
// handshake, and the failure is told apart from a refusal by the server.
TEST_F(FtpTls, RefusedCertificateEndsTheUploadAfterOneQuestion) {
    Start(TlsArgs("self", {"--tls-required"}), ftpSecExplicit);
    Answer = false;
    ASSERT_TRUE(WriteFile(Dir.filePath("r.bin"), Pattern(5000)));
    Ftp.SetLocalFileName(Dir.filePath("r.bin").toStdString());
    Ftp.SetHostFileName("r.bin");
    EXPECT_FALSE(Ftp.Upload());
    EXPECT_EQ(Questions.size(), 1u);
    EXPECT_EQ(Ftp.LastFailure(), TTransferFailure::Untrusted);
    testsupport::PumpFor(200);
    const QString Seen = ServerLog();
    EXPECT_EQ(Seen.count("CMD "), 1) << "AUTH TLS only: " << Seen.toStdString();
}

// A certificate for another name is questioned with that reason, also under implicit TLS.
TEST_F(FtpTls, NameMismatchIsQuestioned) {
    Start(TlsArgs("other", {"--tls-implicit"}), ftpSecImplicit);
    EXPECT_FALSE(Upload(Pattern(1000), "m.bin"));
    ASSERT_EQ(Questions.size(), 1u);
    EXPECT_NE(Questions[0].Reason.find("hostname mismatch"), std::string::npos)
        << Questions[0].Reason;
    EXPECT_NE(Ftp.ErrorMessage().find("hostname mismatch"), std::string::npos);
    testsupport::PumpFor(200);
    EXPECT_FALSE(ServerLog().contains("CMD USER"));
}

// A server without TLS: "TLS when offered" goes on in plain FTP, "TLS required" stops before
// USER.
TEST_F(FtpTls, ServerRefusingAuthTls) {
    Start({"--log-commands"}, ftpSecTlsIfOffered);
    const QByteArray Content = Pattern(50000, 4);
    ASSERT_TRUE(Upload(Content, "plain.bin")) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_TRUE(ReadFile(Server->RootFile("plain.bin")) == Content);
    EXPECT_TRUE(ServerLog().contains("CMD AUTH"));
    const int UsersBefore = ServerLog().count("CMD USER");

    Ftp.SetSecurity(ftpSecExplicit);
    EXPECT_FALSE(Upload(Content, "never.bin"));
    EXPECT_EQ(Ftp.StatusCode(), 534);
    EXPECT_NE(Ftp.ErrorMessage().find("AUTH TLS"), std::string::npos) << Ftp.ErrorMessage();

    // Implicit TLS against it: the handshake fails on the plain greeting, with its reason.
    Ftp.SetSecurity(ftpSecImplicit);
    EXPECT_FALSE(Upload(Content, "never.bin"));
    EXPECT_EQ(Ftp.StatusCode(), 534);
    EXPECT_NE(Ftp.ErrorMessage().find("TLS handshake"), std::string::npos) << Ftp.ErrorMessage();
    testsupport::PumpFor(200);
    EXPECT_EQ(ServerLog().count("CMD USER"), UsersBefore);
}
