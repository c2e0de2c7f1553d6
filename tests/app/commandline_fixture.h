#pragma once
// Runs the program's command line as a separate process with no display at all, its settings
// and home folder in a scratch folder.

#include "settings/vkeey.h"
#include "settings/vreg.h"
#include "support/test_support.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CommandLineFixture : public testing::Test {
protected:
    struct TRun {
        int Code = -1;
        QString Out;
        QString Err;
    };

    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qputenv("IMGLIFT_REGISTRY", Dir.filePath("HKCU.reg").toLocal8Bit());
        Settings({{"Reset", "0"}, {"ConstrainPorportions", "1"}});
    }
    void TearDown() override {
        if (Process) Process->kill();
        Process.reset();
        qunsetenv("IMGLIFT_REGISTRY");
    }

    // Stored values as the window would store them; the password scrambled.
    void Settings(const std::vector<std::pair<std::string, std::string>>& Values,
                  const std::string& Password = {}) {
        TVReg reg;
        reg.SetProgrammname("ImgLift");
        reg.SetFirmenname("Velmoran");
        for (const auto& [name, value] : Values)
            reg.Push(name, value);
        if (!Password.empty()) {
            TVKeey keey;
            keey.SetProgrammID(11);
            keey.SetSchluessel("mirobask");
            reg.Push("Password", keey.Encode(Password));
        }
    }

    // The keyring's tests run the program on their private bus.
    bool KeepSessionBus = false;

    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // No display, and no desktop to notify, unless a test brings a bus of its own.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_DATA_HOME"})
            env.remove(name);
        if (!KeepSessionBus) env.remove("DBUS_SESSION_BUS_ADDRESS");
        env.insert("IMGLIFT_REGISTRY", Dir.filePath("HKCU.reg"));
        env.insert("HOME", Dir.path());
        return env;
    }

    QProcess& Start(const QStringList& Arguments, const QString& Program = IMGLIFT_PROGRAM) {
        Process = std::make_unique<QProcess>();
        Process->setProcessEnvironment(Environment());
        Process->start(Program, Arguments);
        EXPECT_TRUE(Process->waitForStarted(5000));
        return *Process;
    }

    // Runs to the end while this thread's events flow (a server in the test may answer).
    TRun Run(const QStringList& Arguments) { return RunIn(IMGLIFT_PROGRAM, Arguments); }
    TRun RunIn(const QString& Program, const QStringList& Arguments, int TimeoutMs = 60000) {
        QProcess& process = Start(Arguments, Program);
        process.closeWriteChannel();
        EXPECT_TRUE(testsupport::PumpUntil([&] { return process.state() == QProcess::NotRunning; },
                                           TimeoutMs));
        TRun run;
        run.Code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.Out = QString::fromLocal8Bit(process.readAllStandardOutput());
        run.Err = QString::fromLocal8Bit(process.readAllStandardError());
        return run;
    }

    QString Picture(const QString& Name, int Width = 1600, int Height = 1200) {
        QImage image(Width, Height, QImage::Format_RGB32);
        image.fill(QColor(200, 120, 40));
        const QString path = Dir.filePath(Name);
        EXPECT_TRUE(image.save(path, "JPG"));
        return path;
    }

    QString File(const QString& Name, const QByteArray& Bytes) {
        const QString path = Dir.filePath(Name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(Bytes);
        return path;
    }

    // Where the command's upload history lives.
    QString HistoryPath() const { return Dir.filePath(".local/share/imglift/history.sqlite"); }

    QTemporaryDir Dir;
    std::unique_ptr<QProcess> Process;
};
