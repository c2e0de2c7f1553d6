// Uploads one file with TSftpClient::Upload, as the window does, and prints the wall time and
// the throughput.
//   sftp_upload --host H --port P --user U --password W --dir D --file F
//               [--ssh-dir S] [--known-hosts K]

#include "ftp/sftpclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    TSftpClient Sftp;
    std::string File;
    for (int I = 1; I < argc; ++I) {
        const std::string A = argv[I];
        if (I + 1 >= argc) {
            std::fprintf(stderr, "usage: sftp_upload --host H --port P --user U --password W "
                                 "--dir D --file F [--ssh-dir S] [--known-hosts K]\n");
            return 2;
        }
        const std::string V = argv[++I];
        if (A == "--host")
            Sftp.SetHostName(V);
        else if (A == "--port")
            Sftp.SetPort(V);
        else if (A == "--user")
            Sftp.SetUserName(V);
        else if (A == "--password")
            Sftp.SetPassWord(V);
        else if (A == "--dir")
            Sftp.SetHostDirName(V);
        else if (A == "--file")
            File = V;
        else if (A == "--ssh-dir")
            Sftp.SetSshDir(V);
        else if (A == "--known-hosts")
            Sftp.SetKnownHostsFile(V);
        else {
            std::fprintf(stderr, "unknown option %s\n", A.c_str());
            return 2;
        }
    }
    if (File.empty()) {
        std::fprintf(stderr, "no --file given\n");
        return 2;
    }
    Sftp.SetLocalFileName(File);
    Sftp.SetHostFileName(QFileInfo(QString::fromStdString(File)).fileName().toStdString());
    qint64 Progress = 0;
    Sftp.OnProgress = [&](QObject*, qint64, bool&) { ++Progress; };

    QElapsedTimer Clock;
    Clock.start();
    const bool Ok = Sftp.Upload();
    const double Seconds = static_cast<double>(Clock.nsecsElapsed()) / 1e9;
    if (!Ok) {
        std::fprintf(stderr, "Upload failed: %s\n", Sftp.ErrorMessage().c_str());
        return 1;
    }
    const double Bytes = static_cast<double>(Sftp.ByteCount());
    std::printf("bytes=%.0f seconds=%.3f MiB/s=%.1f progress_events=%lld\n", Bytes, Seconds,
                Bytes / Seconds / 1048576.0, static_cast<long long>(Progress));
    return 0;
}
