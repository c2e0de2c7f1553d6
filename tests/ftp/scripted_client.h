#pragma once
// A TFtpClient set up for a scripted server that accepts its login: the fixture of the tests
// that need replies no real server gives.

#include "ftp/ftpclient.h"
#include "ftp_fixture.h"
#include "scripted_server.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace ftptest {

class ScriptedClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        Server.ScriptLogin();
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(std::to_string(Server.Port()));
        Ftp.SetUserName("user");
        Ftp.SetPassWord("pw");
        Ftp.SetTimeout(5);
        Log.Attach(Ftp);
    }
    bool Sent(const QByteArray& Line) const { return Server.Commands().contains(Line); }

    ScriptedFtpServer Server;
    TFtpClient Ftp;
    RequestLog Log;
    QTemporaryDir Dir;
};

} // namespace ftptest
