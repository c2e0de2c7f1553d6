#include "app/platform/dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>

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
