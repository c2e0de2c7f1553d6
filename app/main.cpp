#include "app/commandline.h"
#include "app/imaging.h"
#include "app/mainwindow.h"
#include "app/platform/dialogs.h"

#include <QApplication>

int main(int argc, char** argv) {
    // --upload, --delete and the like run without a window, and without a display.
    if (commandline::Wanted(argc, argv)) return commandline::Run(argc, argv);
    // Takes the options meant for Qt out of argc and argv.
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmoran ImgLift"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.velmoran.ImgLift"));
    TQtDialogs dialogs;
    // File names as bytes: QApplication::arguments() would lose those that are not UTF-8.
    TForm1 form(dialogs, FileArguments(argc, argv));
    form.show();
    return QApplication::exec();
}
