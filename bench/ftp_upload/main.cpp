// Uploads one file with TFtpClient::Transmit and prints the wall time and throughput.
//   ftp_upload --host H --port P --user U --password W --dir D --file F [--passive]
//              [--security 0|1|2|3]   (FTP over TLS; the server's CA through SSL_CERT_FILE)

#include "ftp/ftpclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    std::string Host = "127.0.0.1", Port = "21", User, Password, Dir, File;
    bool Passive = false;
    int Security = 0;
    for (int I = 1; I < argc; ++I) {
        const std::string A = argv[I];
        const auto Next = [&]() -> std::string {
            if (I + 1 >= argc) {
                std::fprintf(stderr, "missing value after %s\n", A.c_str());
                std::exit(2);
            }
            return argv[++I];
        };
        if (A == "--host")
            Host = Next();
        else if (A == "--port")
            Port = Next();
        else if (A == "--user")
            User = Next();
        else if (A == "--password")
            Password = Next();
        else if (A == "--dir")
            Dir = Next();
        else if (A == "--file")
            File = Next();
        else if (A == "--passive")
            Passive = true;
        else if (A == "--security")
            Security = std::atoi(Next().c_str());
        else {
            std::fprintf(stderr,
                         "usage: ftp_upload --host H --port P --user U --password W --dir D "
                         "--file F [--passive] [--security 0|1|2|3]\n");
            return 2;
        }
    }
    if (File.empty()) {
        std::fprintf(stderr, "no --file given\n");
        return 2;
    }

    TFtpClient Ftp;
    Ftp.SetHostName(Host);
    Ftp.SetPort(Port);
    Ftp.SetUserName(User);
    Ftp.SetPassWord(Password);
    Ftp.SetHostDirName(Dir);
    Ftp.SetLocalFileName(File);
    Ftp.SetHostFileName(QFileInfo(QString::fromStdString(File)).fileName().toStdString());
    Ftp.SetPassive(Passive);
    Ftp.SetSecurity(static_cast<TFtpSecurity>(Security));
    qint64 Progress = 0;
    Ftp.OnProgress = [&](QObject*, qint64, bool&) { ++Progress; };

    QElapsedTimer Clock;
    Clock.start();
    const bool Ok = Ftp.Transmit();
    const double Seconds = static_cast<double>(Clock.nsecsElapsed()) / 1e9;
    if (!Ok) {
        std::fprintf(stderr, "Transmit failed: %s\n", Ftp.ErrorMessage().c_str());
        return 1;
    }
    const double Bytes = static_cast<double>(Ftp.ByteCount());
    std::printf("mode=%s%s bytes=%.0f seconds=%.3f MiB/s=%.1f progress_events=%lld\n",
                Passive ? "passive" : "active", Security ? "+tls" : "", Bytes, Seconds,
                Bytes / Seconds / 1048576.0, static_cast<long long>(Progress));
    return 0;
}
