#pragma once

#include <QString>
#include <exception>
#include <optional>

class QWidget;

// The one seam through which the main window talks to the user in modal boxes and file
// dialogs. The program uses TQtDialogs; tests answer through their own implementation.
class TDialogs {
public:
    enum class Icon { Stop, Information, Question };
    enum class Buttons { Ok, YesNo };
    enum class Result { Ok, Yes, No };

    struct OpenRequest {
        QString Title;
        QString Filter; // Qt filter string, entries separated by ";;"
    };
    struct SaveRequest {
        QString Title;
        QString Filter;
        QString DefaultExt; // without the dot
        QString FileName;   // proposed file name
    };
    struct SaveAnswer {
        QString Path;
        int FilterIndex = 1; // 1-based, as the filter lists the entries
    };

    virtual ~TDialogs() = default;

    // Title is always "Velmoran" for the program's own messages.
    virtual Result MessageBox(QWidget* Parent, const QString& Title, const QString& Text, Icon Kind,
                              Buttons Choice) = 0;
    // nullopt when the user cancels.
    virtual std::optional<QString> OpenFile(QWidget* Parent, const OpenRequest& Request) = 0;
    virtual std::optional<SaveAnswer> SaveFile(QWidget* Parent, const SaveRequest& Request) = 0;
    // Whether to trust a server whose identity is not known yet: a Yes/No question whose default
    // is No, so that Enter does not trust. HowToTrust tells how to trust it for good where nobody
    // can answer (a box needs no such text).
    virtual Result AskTrust(QWidget* Parent, const QString& Title, const QString& Text,
                            const QString& HowToTrust) {
        static_cast<void>(HowToTrust);
        return MessageBox(Parent, Title, Text, Icon::Question, Buttons::YesNo);
    }
};

// QMessageBox and QFileDialog.
class TQtDialogs final : public TDialogs {
public:
    Result MessageBox(QWidget* Parent, const QString& Title, const QString& Text, Icon Kind,
                      Buttons Choice) override;
    std::optional<QString> OpenFile(QWidget* Parent, const OpenRequest& Request) override;
    std::optional<SaveAnswer> SaveFile(QWidget* Parent, const SaveRequest& Request) override;
    Result AskTrust(QWidget* Parent, const QString& Title, const QString& Text,
                    const QString& HowToTrust) override;
};

// The application's standard error report: a stop box titled with the application's
// name and the error's text.
void ShowException(TDialogs& Dialogs, QWidget* Parent, const std::exception& E);
void ShowException(TDialogs& Dialogs, QWidget* Parent, const QString& Text);
