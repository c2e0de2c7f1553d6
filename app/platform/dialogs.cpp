#include "app/platform/dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>

TDialogs::Result TQtDialogs::AskTrust(QWidget* Parent, const QString& Title, const QString& Text,
                                      const QString&) {
    // Enter and Escape both answer No: trusting takes a deliberate Yes.
    QMessageBox box(QMessageBox::Question, Title, Text, QMessageBox::Yes | QMessageBox::No, Parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? Result::Yes : Result::No;
}

TDialogs::Result TQtDialogs::MessageBox(QWidget* Parent, const QString& Title, const QString& Text,
                                        Icon Kind, Buttons Choice) {
    QMessageBox box(Parent);
    box.setWindowTitle(Title);
    box.setText(Text);
    switch (Kind) {
    case Icon::Stop:
        box.setIcon(QMessageBox::Critical);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case Icon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    }
    if (Choice == Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int answer = box.exec();
    if (Choice == Buttons::YesNo) return answer == QMessageBox::Yes ? Result::Yes : Result::No;
    return Result::Ok;
}

std::optional<QString> TQtDialogs::OpenFile(QWidget* Parent, const OpenRequest& Request) {
    QFileDialog dialog(Parent, Request.Title, QString(), Request.Filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Qt's own dialog, so that a picture preview can sit beside the file list.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (auto* const grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        auto* const preview = new QLabel(&dialog);
        preview->setFixedSize(160, 160);
        preview->setAlignment(Qt::AlignCenter);
        preview->setFrameShape(QFrame::StyledPanel);
        grid->addWidget(preview, 1, grid->columnCount(), grid->rowCount() - 1, 1);
        QObject::connect(
            &dialog, &QFileDialog::currentChanged, preview, [preview](const QString& Path) {
                QImageReader reader(Path);
                const QSize size = reader.size();
                // Only small enough pictures are read for the preview.
                if (size.isValid() && qint64(size.width()) * size.height() <= 50'000'000)
                    reader.setScaledSize(size.scaled(160, 160, Qt::KeepAspectRatio));
                const QImage image = size.isValid() ? reader.read() : QImage();
                preview->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
            });
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

std::optional<TDialogs::SaveAnswer> TQtDialogs::SaveFile(QWidget* Parent,
                                                         const SaveRequest& Request) {
    QFileDialog dialog(Parent, Request.Title, Request.FileName, Request.Filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(Request.DefaultExt);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    SaveAnswer answer;
    answer.Path = dialog.selectedFiles().first();
    const QStringList filters = Request.Filter.split(QStringLiteral(";;"));
    answer.FilterIndex = int(filters.indexOf(dialog.selectedNameFilter())) + 1;
    if (answer.FilterIndex < 1) answer.FilterIndex = 1;
    return answer;
}

void ShowException(TDialogs& Dialogs, QWidget* Parent, const QString& Text) {
    Dialogs.MessageBox(Parent, QCoreApplication::applicationName(), Text, TDialogs::Icon::Stop,
                       TDialogs::Buttons::Ok);
}

void ShowException(TDialogs& Dialogs, QWidget* Parent, const std::exception& E) {
    ShowException(Dialogs, Parent, QString::fromLocal8Bit(E.what()));
}
