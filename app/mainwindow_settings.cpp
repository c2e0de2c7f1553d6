// The settings that survive a restart: which control shows each stored value, its default, and
// when values are read and written.

#include "app/mainwindow.h"

#include "settings/vkeey.h"
#include "settings/vreg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QToolButton>
#include <algorithm>
#include <variant>

struct TForm1::TStoredValue {
    const char* Name;
    // A check box stores "1" or "0", a choice the index of its entry, an edit its text.
    std::variant<QCheckBox*, QComboBox*, QLineEdit*> Control;
    const char* Default;
    // Position among the defaults that ResetData writes.
    int ResetOrder;
    // Stored scrambled; the default is written as it stands.
    bool Scrambled = false;
};

std::vector<TForm1::TStoredValue> TForm1::StoredValues() const {
    // clang-format off
    return {
        // Value name            Control    Default       Reset order
        {"AutoClose",            CheckBox1, "0",          3},
        {"OrginalSize",          CheckBox2, "0",          1},
        {"ScanAll",              CheckBox3, "0",          2},
        {"ConstrainPorportions", CheckBox4, "1",          4},
        {"Host",                 Edit1,     DefaultHost,  5},
        {"User",                 Edit2,     "testuser",   6},
        {"Password",             Edit3,     "",           7, true},
        {"Directory",            Edit4,     "/",          8},
        {"Port",                 Edit5,     "21",         9},
        {"MaxWidth",             Edit7,     "620",        10},
        {"MaxHeight",            Edit8,     "480",        11},
        {"Quality",              Edit9,     "80",         12},
        {"ImageName",            Edit10,    "image.jpg",  13},
    };
    // clang-format on
}

void TForm1::SaveData(QObject* Sender) {
    if (FLoading) return;
    // Only what the user typed or ticked is stored; texts the program sets are not.
    const auto* const edit = qobject_cast<const QLineEdit*>(Sender);
    const bool typed = edit && edit->hasFocus();
    if (!typed && !qobject_cast<const QCheckBox*>(Sender)) return;
    for (const TStoredValue& value : StoredValues()) {
        if (const auto* const box = std::get_if<QCheckBox*>(&value.Control)) {
            VReg1->PushCheckBox(value.Name, *box);
        } else if (const auto* const choice = std::get_if<QComboBox*>(&value.Control)) {
            VReg1->Push(value.Name, std::to_string((*choice)->currentIndex()));
        } else {
            const std::string text = std::get<QLineEdit*>(value.Control)->text().toStdString();
            VReg1->Push(value.Name, value.Scrambled ? VKeey1->Encode(text) : text);
        }
    }
}

bool TForm1::ResetData(QObject*) {
    std::vector<TStoredValue> values = StoredValues();
    std::ranges::sort(values, {}, &TStoredValue::ResetOrder);
    for (const TStoredValue& value : values)
        VReg1->Push(value.Name, value.Default);
    VReg1->Push("Reset", "0");
    return true;
}

void TForm1::LoadData(QObject* Sender) {
    // Filling a focused edit must not store: the controls not yet filled still hold their old
    // texts, and the rest of the load would read those back.
    const QScopedValueRollback loading(FLoading, true);
    if (VReg1->Pop("Reset") != "0") ResetData(Sender);
    for (const TStoredValue& value : StoredValues()) {
        if (const auto* const box = std::get_if<QCheckBox*>(&value.Control)) {
            (*box)->setChecked(VReg1->PopCheckBox(value.Name, true));
        } else if (const auto* const choice = std::get_if<QComboBox*>(&value.Control)) {
            // Anything but the number of an entry chooses the first.
            bool ok = false;
            const int index = QString::fromStdString(VReg1->Pop(value.Name)).toInt(&ok);
            (*choice)->setCurrentIndex(ok && index >= 0 && index < (*choice)->count() ? index : 0);
        } else {
            const std::string text = VReg1->Pop(value.Name);
            std::get<QLineEdit*>(value.Control)
                ->setText(QString::fromStdString(value.Scrambled ? VKeey1->Decode(text) : text));
        }
    }
    Edit6->setText(Edit10->text());
}

void TForm1::SpeedButton3Click() {
    ResetData(SpeedButton3);
    LoadData(SpeedButton3);
}

void TForm1::Edit10Change() {
    Edit6->setText(Edit10->text());
    SaveData(Edit10);
}
