// The settings test's results dialog.

#include "app/settingstest.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString Mark(TSettingsTest::TState State) {
    switch (State) {
    case TSettingsTest::TState::Running:
        return QStringLiteral("\u2026");
    case TSettingsTest::TState::Passed:
        return QStringLiteral("\u2714");
    case TSettingsTest::TState::Failed:
        return QStringLiteral("\u2718");
    case TSettingsTest::TState::Skipped:
        return QStringLiteral("\u2013");
    }
    return {};
}

} // namespace

TSettingsTestDialog::TSettingsTestDialog(QWidget* Parent)
    : QDialog(Parent), FSteps(new QListWidget(this)), FSummary(new QLabel(this)),
      FButton(new QPushButton(QStringLiteral("Abort"), this)) {
    setWindowTitle(QStringLiteral("Velmoran"));
    FSteps->setWordWrap(true);
    FSteps->setSelectionMode(QAbstractItemView::NoSelection);
    FSteps->setFocusPolicy(Qt::NoFocus);
    for (int i = 0; i < TSettingsTest::StepCount; ++i)
        FSteps->addItem(
            QStringLiteral("   %1").arg(TSettingsTest::StepTitle(TSettingsTest::TStep(i))));
    FSummary->setWordWrap(true);
    FSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* const layout = new QVBoxLayout(this);
    layout->addWidget(FSteps);
    layout->addWidget(FSummary);
    layout->addWidget(FButton, 0, Qt::AlignRight);
    connect(FButton, &QPushButton::clicked, this, [this] {
        if (!FRunning) return accept();
        if (OnAbort) OnAbort();
    });
    resize(480, 280);
}

void TSettingsTestDialog::Show(TSettingsTest::TStep Step, TSettingsTest::TState State,
                               const QString& Text) {
    QListWidgetItem* const item = FSteps->item(int(Step));
    if (!item) return;
    QString line = Mark(State) + QStringLiteral("  ") + TSettingsTest::StepTitle(Step);
    if (!Text.isEmpty()) line += QStringLiteral("\n      ") + Text;
    item->setText(line);
    if (State == TSettingsTest::TState::Failed) item->setForeground(Qt::darkRed);
    FSteps->scrollToItem(item);
}

void TSettingsTestDialog::Finish(bool Passed, const QString& Failure) {
    FRunning = false;
    OnAbort = nullptr;
    FSummary->setText(Passed ? QStringLiteral("All steps passed: the settings work.") : Failure);
    FButton->setText(QStringLiteral("Close"));
    FButton->setDefault(true);
    FButton->setFocus();
}

QStringList TSettingsTestDialog::Lines() const {
    QStringList lines;
    for (int i = 0; i < FSteps->count(); ++i)
        lines << FSteps->item(i)->text();
    return lines;
}

QString TSettingsTestDialog::Summary() const {
    return FSummary->text();
}

void TSettingsTestDialog::reject() {
    // Escape or the title bar's close button stop a running test first.
    if (FRunning) {
        if (OnAbort) OnAbort();
        return;
    }
    QDialog::reject();
}
