// The FTP client through a SOCKS 5 proxy (microsocks with user name and password) to a real
// server, all on loopback.

#include "ftp/ftpclient.h"
#include "ftp_fixture.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace ftptest;

namespace {

class FtpSocksTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Server.Ok()) << Server.Output().toStdString();
        SocksPort = testsupport::FreePort();
        Proxy = std::make_unique<testsupport::ServerProcess>(
            "microsocks", QStringList{"-i", "127.0.0.1", "-p", QString::number(SocksPort), "-u",
                                      "proxyuser", "-P", "proxypass"});
        ASSERT_TRUE(Proxy->started());
        ASSERT_TRUE(testsupport::WaitForListener(SocksPort));

        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(Server.PortText());
        Ftp.SetUserName("user");
        Ftp.SetPassWord("secret");
        Ftp.SetTimeout(10);
        Ftp.SetConnectionType(ftpSocks5);
        Ftp.SetSocksServer("127.0.0.1");
        Ftp.SetSocksPort(std::to_string(SocksPort));
        Ftp.SetSocksUserCode("proxyuser");
        Ftp.SetSocksPassword("proxypass");
        Log.Attach(Ftp);
    }

    PyFtpServer Server;
    quint16 SocksPort = 0;
    std::unique_ptr<testsupport::ServerProcess> Proxy;
    TFtpClient Ftp;
    RequestLog Log;
    QTemporaryDir Dir;
};

} // namespace

TEST_F(FtpSocksTest, TransmitAndReceiveThroughTheProxy) {
    EXPECT_TRUE(Ftp.Passive()) << "SOCKS connections are passive";
    const QByteArray Content = Pattern(200000, 21);
    ASSERT_TRUE(WriteFile(Dir.filePath("s.bin"), Content));
    Ftp.SetLocalFileName(Dir.filePath("s.bin").toStdString());
    Ftp.SetHostFileName("s.bin");
    EXPECT_TRUE(Ftp.Transmit()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_EQ(ReadFile(Server.RootFile("s.bin")), Content);

    // A second request: the proxy settings survive the close of the first connection.
    Ftp.SetLocalFileName(Dir.filePath("back.bin").toStdString());
    EXPECT_TRUE(Ftp.Receive()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_EQ(ReadFile(Dir.filePath("back.bin")), Content);
}

TEST_F(FtpSocksTest, WrongProxyPasswordFailsTheConnect) {
    Ftp.SetSocksPassword("wrong");
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.StatusCode(), 500);
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(Ftp.State(), ftpReady);
    // Back to the right one: the proxy carries the session again.
    Ftp.SetSocksPassword("proxypass");
    EXPECT_TRUE(Ftp.Connect()) << Ftp.ErrorMessage();
    EXPECT_TRUE(Ftp.Quit());
}
