// "T&est" on the FTP page: the settings as they stand, tried the way the upload uses them.

#include "app/mainwindow.h"

#include "app/settingstest.h"
#include "ftp/transferclient.h"

#include <QLineEdit>
#include <QToolButton>
#include <utility>

bool TForm1::TestSettings(const TTestObserver& Observer, QString& Failure) {
    TTransferClient& client = Client();
    client.Abort();
    SetServer(client);
    TSettingsTest test(client, {Edit1->text(), Edit4->text(), Edit2->text(), WebAddressSetting()});
    test.OnStep = Observer;
    FSettingsTest = &test;
    bool passed = false;
    try {
        passed = test.Run();
    } catch (...) {
        FSettingsTest = nullptr;
        throw;
    }
    FSettingsTest = nullptr;
    Failure = test.Failure();
    return passed;
}

void TForm1::Button4Click() {
    if (FSettingsTest) return;
    if (TestDialog) TestDialog->close();
    auto* const dialog = new TSettingsTestDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    TestDialog = dialog;
    dialog->OnAbort = [this] { SpeedButton4Click(); };
    dialog->show();
    BeginBusy();
    QString failure;
    bool passed = false;
    try {
        passed = TestSettings(
            [dialog = QPointer(dialog)](TSettingsTest::TStep Step, TSettingsTest::TState State,
                                        const QString& Text) {
                if (dialog) dialog->Show(Step, State, Text);
            },
            failure);
    } catch (...) {
        EndBusy();
        throw;
    }
    EndBusy();
    if (TestDialog) TestDialog->Finish(passed, failure);
}
