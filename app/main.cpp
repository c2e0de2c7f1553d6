#include "app/mainwindow.h"
#include "app/platform/dialogs.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmoran ImgLift"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.velmoran.ImgLift"));
    TQtDialogs dialogs;
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    TForm1 form(dialogs, arguments);
    form.show();
    return QApplication::exec();
}
