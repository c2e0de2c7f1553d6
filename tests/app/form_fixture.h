#pragma once

#include "app/mainwindow.h"
#include "fake_dialogs.h"
#include "support/test_support.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>
#include <vector>

// Types Text into Edit the way a user would: with the keyboard focus on it.
inline void Type(TForm1& Form, QLineEdit* Edit, const QString& Text) {
    Form.activateWindow();
    QApplication::setActiveWindow(&Form);
    Edit->setFocus();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return Edit->hasFocus(); }, 2000));
    Edit->setText(Text);
}

// A main window with its own settings file and a folder for test pictures.
class FormTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qputenv("IMGLIFT_REGISTRY", Dir.filePath("HKCU.reg").toLocal8Bit());
    }
    void TearDown() override {
        Form.reset();
        // QTemporaryDir cannot name these files itself.
        for (const QByteArray& native : NativeFiles)
            ::unlink(native.constData());
        qunsetenv("IMGLIFT_REGISTRY");
    }

    TForm1& MakeForm(const QStringList& Arguments = {}, bool Show = true) {
        // One window at a time: the scanner manager serves one connection.
        Form.reset();
        Form = std::make_unique<TForm1>(Dialogs, Arguments);
        if (Show) Form->show();
        return *Form;
    }

    // Writes a picture of the given size; the format follows the file's extension.
    QString Picture(const QString& Name, int Width, int Height, const char* Format = nullptr) {
        QImage image(Width, Height, QImage::Format_RGB32);
        image.fill(QColor(40, 120, 200));
        const QString path = Dir.filePath(Name);
        EXPECT_TRUE(image.save(path, Format)) << path.toStdString();
        return path;
    }

    QString File(const QString& Name, const QByteArray& Bytes) {
        const QString path = Dir.filePath(Name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(Bytes);
        return path;
    }

    // A JPEG in Dir whose file name is the given bytes, UTF-8 or not; returns its full path.
    QByteArray NativePicture(const QByteArray& Name, int Width, int Height) {
        const QString path = Picture("native.jpg", Width, Height, "JPG");
        const QByteArray native = QFile::encodeName(Dir.path()) + '/' + Name;
        EXPECT_EQ(::rename(QFile::encodeName(path).constData(), native.constData()), 0);
        NativeFiles.push_back(native);
        return native;
    }

    QTemporaryDir Dir;
    std::vector<QByteArray> NativeFiles;
    FakeDialogs Dialogs;
    std::unique_ptr<TForm1> Form;
};
