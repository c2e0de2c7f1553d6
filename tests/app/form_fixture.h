#pragma once

#include "app/mainwindow.h"
#include "fake_dialogs.h"

#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

// A main window with its own settings file and a folder for test pictures.
class FormTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qputenv("IMGLIFT_REGISTRY", Dir.filePath("HKCU.reg").toLocal8Bit());
    }
    void TearDown() override {
        Form.reset();
        qunsetenv("IMGLIFT_REGISTRY");
    }

    TForm1& MakeForm(const QStringList& Arguments = {}, bool Show = true) {
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

    QTemporaryDir Dir;
    FakeDialogs Dialogs;
    std::unique_ptr<TForm1> Form;
};
