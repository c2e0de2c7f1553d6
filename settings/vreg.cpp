#include "settings/vreg.h"

#include <QCheckBox>
#include <QRadioButton>

namespace {

constexpr const char* kShellFolders =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kMapGroups =
    "Software\\Microsoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups";

std::string Quoted(const char* text, const std::string& name) {
    return std::string(text) + " '" + name + "'";
}

// The text value under keyPath, nullopt when the key or the value does not exist.
std::optional<std::string> ReadString(const std::string& keyPath, const std::string& name) {
    std::optional<TRegHive> hive;
    try {
        hive = TRegistryFile(TRegistryFile::DefaultPath()).Load();
    } catch (const ERegistryParseError&) {
        throw;
    } catch (const ERegistryException&) {
        throw ERegistryException(Quoted("Failed to get data for", name));
    }
    if (!hive) return std::nullopt;
    const TRegValue* value = hive->FindValue(keyPath, name);
    if (!value) return std::nullopt;
    if (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ)
        throw ERegistryException(Quoted("Invalid data type for", name));
    return StringData(*value);
}

std::string WithSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

bool Checked(const QRadioButton* button) {
    return button && button->isChecked();
}

} // namespace

TVReg::TVReg(QObject* owner) : QObject(owner) {
}

std::string TVReg::KeyPath() const {
    const std::string path =
        FFirmenname.empty() ? FProgrammname : FFirmenname + "\\" + FProgrammname;
    return "Software\\" + path;
}

void TVReg::Push(const std::string& name, const std::string& value) const {
    try {
        TRegistryFile(TRegistryFile::DefaultPath()).WriteString(KeyPath(), name, value);
    } catch (const ERegistryParseError&) {
        throw;
    } catch (const ERegistryException&) {
        throw ERegistryException(Quoted("Failed to set data for", name));
    }
}

std::string TVReg::Pop(const std::string& name) const {
    return ReadString(KeyPath(), name).value_or(std::string());
}

void TVReg::PushCheckBox(const std::string& name, const QCheckBox* box) const {
    Push(name, box && box->isChecked() ? "1" : "0");
}

bool TVReg::PopCheckBox(const std::string& name, bool /*flag*/) const {
    return Pop(name) == "1";
}

void TVReg::PushIndex(const std::string& name, std::initializer_list<bool> states) const {
    int index = 0;
    int position = 0;
    for (const bool on : states) {
        ++position;
        if (on) index = position;
    }
    Push(name, std::to_string(index));
}

int TVReg::PopIndex(const std::string& name, int count, int defaultIndex) const {
    const std::string text = Pop(name);
    for (int k = 1; k <= count; ++k)
        if (text == std::to_string(k)) return k;
    return defaultIndex >= 1 && defaultIndex <= count ? defaultIndex : 0;
}

void TVReg::PopFlags(const std::string& name, std::initializer_list<bool*> flags,
                     int defaultIndex) const {
    const int index = PopIndex(name, static_cast<int>(flags.size()), defaultIndex);
    if (index == 0) return;
    if (bool* flag = flags.begin()[index - 1]) *flag = true;
}

void TVReg::PopButtons(const std::string& name, std::initializer_list<QRadioButton*> buttons,
                       int defaultIndex) const {
    const int index = PopIndex(name, static_cast<int>(buttons.size()), defaultIndex);
    if (index == 0) return;
    if (QRadioButton* button = buttons.begin()[index - 1]) button->setChecked(true);
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2) const {
    PushIndex(name, {f1 && *f1, f2 && *f2});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2,
                     const bool* f3) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                     const bool* f4) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3, f4 && *f4});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                     const bool* f4, const bool* f5) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3, f4 && *f4, f5 && *f5});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                     const bool* f4, const bool* f5, const bool* f6) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3, f4 && *f4, f5 && *f5, f6 && *f6});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                     const bool* f4, const bool* f5, const bool* f6, const bool* f7) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3, f4 && *f4, f5 && *f5, f6 && *f6, f7 && *f7});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                     const bool* f4, const bool* f5, const bool* f6, const bool* f7,
                     const bool* f8) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3, f4 && *f4, f5 && *f5, f6 && *f6, f7 && *f7,
                     f8 && *f8});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                     const bool* f4, const bool* f5, const bool* f6, const bool* f7, const bool* f8,
                     const bool* f9) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3, f4 && *f4, f5 && *f5, f6 && *f6, f7 && *f7,
                     f8 && *f8, f9 && *f9});
}

void TVReg::PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                     const bool* f4, const bool* f5, const bool* f6, const bool* f7, const bool* f8,
                     const bool* f9, const bool* f10) const {
    PushIndex(name, {f1 && *f1, f2 && *f2, f3 && *f3, f4 && *f4, f5 && *f5, f6 && *f6, f7 && *f7,
                     f8 && *f8, f9 && *f9, f10 && *f10});
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, int defaultIndex) const {
    PopFlags(name, {f1, f2}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, int defaultIndex) const {
    PopFlags(name, {f1, f2, f3}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4,
                    int defaultIndex) const {
    PopFlags(name, {f1, f2, f3, f4}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                    int defaultIndex) const {
    PopFlags(name, {f1, f2, f3, f4, f5}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                    bool* f6, int defaultIndex) const {
    PopFlags(name, {f1, f2, f3, f4, f5, f6}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                    bool* f6, bool* f7, int defaultIndex) const {
    PopFlags(name, {f1, f2, f3, f4, f5, f6, f7}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                    bool* f6, bool* f7, bool* f8, int defaultIndex) const {
    PopFlags(name, {f1, f2, f3, f4, f5, f6, f7, f8}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                    bool* f6, bool* f7, bool* f8, bool* f9, int defaultIndex) const {
    PopFlags(name, {f1, f2, f3, f4, f5, f6, f7, f8, f9}, defaultIndex);
}

void TVReg::PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                    bool* f6, bool* f7, bool* f8, bool* f9, bool* f10, int defaultIndex) const {
    PopFlags(name, {f1, f2, f3, f4, f5, f6, f7, f8, f9, f10}, defaultIndex);
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2) const {
    PushIndex(name, {Checked(b1), Checked(b2)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3,
                             const QRadioButton* b4) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3), Checked(b4)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3, const QRadioButton* b4,
                             const QRadioButton* b5) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3), Checked(b4), Checked(b5)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3, const QRadioButton* b4,
                             const QRadioButton* b5, const QRadioButton* b6) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3), Checked(b4), Checked(b5), Checked(b6)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3, const QRadioButton* b4,
                             const QRadioButton* b5, const QRadioButton* b6,
                             const QRadioButton* b7) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3), Checked(b4), Checked(b5), Checked(b6),
                     Checked(b7)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3, const QRadioButton* b4,
                             const QRadioButton* b5, const QRadioButton* b6, const QRadioButton* b7,
                             const QRadioButton* b8) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3), Checked(b4), Checked(b5), Checked(b6),
                     Checked(b7), Checked(b8)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3, const QRadioButton* b4,
                             const QRadioButton* b5, const QRadioButton* b6, const QRadioButton* b7,
                             const QRadioButton* b8, const QRadioButton* b9) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3), Checked(b4), Checked(b5), Checked(b6),
                     Checked(b7), Checked(b8), Checked(b9)});
}

void TVReg::PushRadioButtons(const std::string& name, const QRadioButton* b1,
                             const QRadioButton* b2, const QRadioButton* b3, const QRadioButton* b4,
                             const QRadioButton* b5, const QRadioButton* b6, const QRadioButton* b7,
                             const QRadioButton* b8, const QRadioButton* b9,
                             const QRadioButton* b10) const {
    PushIndex(name, {Checked(b1), Checked(b2), Checked(b3), Checked(b4), Checked(b5), Checked(b6),
                     Checked(b7), Checked(b8), Checked(b9), Checked(b10)});
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            int defaultIndex) const {
    PopButtons(name, {b1, b2}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, int defaultIndex) const {
    PopButtons(name, {b1, b2, b3}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, QRadioButton* b4, int defaultIndex) const {
    PopButtons(name, {b1, b2, b3, b4}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, QRadioButton* b4, QRadioButton* b5,
                            int defaultIndex) const {
    PopButtons(name, {b1, b2, b3, b4, b5}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                            int defaultIndex) const {
    PopButtons(name, {b1, b2, b3, b4, b5, b6}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                            QRadioButton* b7, int defaultIndex) const {
    PopButtons(name, {b1, b2, b3, b4, b5, b6, b7}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                            QRadioButton* b7, QRadioButton* b8, int defaultIndex) const {
    PopButtons(name, {b1, b2, b3, b4, b5, b6, b7, b8}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                            QRadioButton* b7, QRadioButton* b8, QRadioButton* b9,
                            int defaultIndex) const {
    PopButtons(name, {b1, b2, b3, b4, b5, b6, b7, b8, b9}, defaultIndex);
}

void TVReg::PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                            QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                            QRadioButton* b7, QRadioButton* b8, QRadioButton* b9, QRadioButton* b10,
                            int defaultIndex) const {
    PopButtons(name, {b1, b2, b3, b4, b5, b6, b7, b8, b9, b10}, defaultIndex);
}

std::string TVReg::AppDir() const {
    const std::string path = ModuleFileName();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string TVReg::GetShellFolder(const std::string& valueName) const {
    const auto stored = ReadString(kShellFolders, valueName);
    return WithSlash(stored ? *stored : XdgShellFolder(valueName));
}

std::string TVReg::GetDirCache() const {
    return GetShellFolder("Cache");
}
std::string TVReg::GetDirDesktop() const {
    return GetShellFolder("Desktop");
}
std::string TVReg::GetDirFavorites() const {
    return GetShellFolder("Favorites");
}
std::string TVReg::GetDirFonts() const {
    return GetShellFolder("Fonts");
}
std::string TVReg::GetDirNetHood() const {
    return GetShellFolder("NetHood");
}
std::string TVReg::GetDirPersonal() const {
    return GetShellFolder("Personal");
}
std::string TVReg::GetDirPrograms() const {
    return GetShellFolder("Programs");
}
std::string TVReg::GetDirSendTo() const {
    return GetShellFolder("SendTo");
}
std::string TVReg::GetDirStartMenu() const {
    return GetShellFolder("Start Menu");
}
std::string TVReg::GetDirStartup() const {
    return GetShellFolder("Startup");
}
std::string TVReg::GetDirAppData() const {
    return GetShellFolder("AppData");
}

std::string TVReg::GetDirQuickLaunch() const {
    return WithSlash(ReadString(kMapGroups, "Quick Launch").value_or(std::string()));
}

bool TVReg::IsInt(const std::string& text) const {
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}
