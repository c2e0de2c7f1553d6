// The window's accelerators (Alt and a caption's underlined letter) on every page: a press
// presses a control that carries the key, the same one every time, also where controls share it.

#include "form_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <map>

namespace {

class AcceleratorTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        TForm1& form = MakeForm();
        form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        // Pressed buttons only say so: uploads, scans and the end of the program stay undone.
        for (QAbstractButton* const button : form.findChildren<QAbstractButton*>()) {
            button->disconnect();
            QObject::connect(button, &QAbstractButton::clicked,
                             [this, button] { Clicked.append(button); });
        }
    }

    // What one press of Key on Page pressed: a clicked button, a focused buddy's label, or the
    // page shown by its tab; empty when it was none of these or more than one button.
    QString Press(int Page, const QKeySequence& Key) {
        TForm1& form = *Form;
        form.PageControl1->setCurrentIndex(Page);
        form.PageControl1->setFocus();
        Clicked.clear();
        QTest::keyClick(&form, Key[0].key(), Key[0].keyboardModifiers());
        QTest::qWait(0);
        if (Clicked.size() > 1) return {};
        if (Clicked.size() == 1) return Clicked.front()->text();
        for (QLabel* const label : form.findChildren<QLabel*>())
            if (label->buddy() && label->buddy() == QApplication::focusWidget())
                return label->text();
        return "tab " + form.PageControl1->tabText(form.PageControl1->currentIndex());
    }

    // The visible captions of the page that carry an accelerator, by key.
    std::map<int, QStringList> CarriedKeys() const {
        std::map<int, QStringList> keys;
        const auto add = [&](const QString& caption) {
            const QKeySequence key = QKeySequence::mnemonic(caption);
            if (!key.isEmpty()) keys[key[0].toCombined()].append(caption);
        };
        for (QAbstractButton* const button : Form->findChildren<QAbstractButton*>())
            if (button->isVisible()) add(button->text());
        for (QLabel* const label : Form->findChildren<QLabel*>())
            if (label->isVisible() && label->buddy()) add(label->text());
        for (int i = 0; i < Form->PageControl1->count(); ++i)
            add(Form->PageControl1->tabText(i));
        return keys;
    }

    QList<QAbstractButton*> Clicked;
};

TEST_F(AcceleratorTest, EveryAcceleratorOfEveryPagePressesOneCarrierEveryTime) {
    int keysTried = 0;
    for (int page = 0; page < Form->PageControl1->count(); ++page) {
        Form->PageControl1->setCurrentIndex(page);
        for (const auto& [combined, carriers] : CarriedKeys()) {
            const QKeySequence key(QKeyCombination::fromCombined(combined));
            const QString first = Press(page, key);
            const QString second = Press(page, key);
            SCOPED_TRACE(("page " + QString::number(page) + ", " + key.toString()).toStdString());
            const QString caption = first.startsWith("tab ") ? first.mid(4) : first;
            EXPECT_TRUE(carriers.contains(caption))
                << first.toStdString() << " of " << carriers.join(", ").toStdString();
            EXPECT_EQ(second.toStdString(), first.toStdString())
                << "a second press presses the same control";
            ++keysTried;
        }
    }
    EXPECT_GT(keysTried, 15);
}

TEST_F(AcceleratorTest, SharedKeysPressTheFirstControlThatCarriesThem) {
    const QKeySequence altT = QKeySequence::mnemonic("&Twain");
    EXPECT_EQ(Press(0, altT).toStdString(), "&Twain");
    EXPECT_EQ(Press(0, altT).toStdString(), "&Twain");
    // A page control's tabs come before the controls on its pages.
    const QKeySequence altC = QKeySequence::mnemonic("&C");
    EXPECT_EQ(Press(0, altC).toStdString(), "tab Sour&ce");
    EXPECT_EQ(Press(3, altC).toStdString(), "tab Sour&ce");
    EXPECT_EQ(Press(0, QKeySequence::mnemonic("&F")).toStdString(), "tab &FTP Settings");
    // A disabled control is passed over.
    Form->BitBtn1->setEnabled(false);
    EXPECT_EQ(Press(0, altT).toStdString(), "&Twain Source");
}

} // namespace
