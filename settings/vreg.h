#pragma once

// Named text settings of one program under HKEY_CURRENT_USER\Software\<Firmenname>\<Programmname>.
// No handle and no cache: every call builds the key path from the two name properties and reads
// or writes the registry once. Failures raise ERegistryException.

#include "settings/platform/regfile.h"

#include <QObject>
#include <initializer_list>
#include <string>

class QCheckBox;
class QRadioButton;

class TVReg : public QObject {
    Q_OBJECT

public:
    explicit TVReg(QObject* owner = nullptr);

    const std::string& Programmname() const { return FProgrammname; }
    void SetProgrammname(const std::string& value) { FProgrammname = value; }
    const std::string& Firmenname() const { return FFirmenname; }
    void SetFirmenname(const std::string& value) { FFirmenname = value; }

    void Push(const std::string& name, const std::string& value) const;
    std::string Pop(const std::string& name) const;

    void PushCheckBox(const std::string& name, const QCheckBox* box) const;
    // True exactly for a stored "1"; flag does not take part in the result.
    bool PopCheckBox(const std::string& name, bool flag) const;

    // Stores the position (1..N) of the last true flag, "0" when none is true.
    void PushBool(const std::string& name, const bool* f1, const bool* f2) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                  const bool* f4) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                  const bool* f4, const bool* f5) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                  const bool* f4, const bool* f5, const bool* f6) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                  const bool* f4, const bool* f5, const bool* f6, const bool* f7) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                  const bool* f4, const bool* f5, const bool* f6, const bool* f7,
                  const bool* f8) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                  const bool* f4, const bool* f5, const bool* f6, const bool* f7, const bool* f8,
                  const bool* f9) const;
    void PushBool(const std::string& name, const bool* f1, const bool* f2, const bool* f3,
                  const bool* f4, const bool* f5, const bool* f6, const bool* f7, const bool* f8,
                  const bool* f9, const bool* f10) const;

    // Sets the stored flag (or the default one for none or an invalid text) to true; never
    // sets a flag to false.
    void PopBool(const std::string& name, bool* f1, bool* f2, int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4,
                 int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                 int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                 bool* f6, int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                 bool* f6, bool* f7, int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                 bool* f6, bool* f7, bool* f8, int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                 bool* f6, bool* f7, bool* f8, bool* f9, int defaultIndex) const;
    void PopBool(const std::string& name, bool* f1, bool* f2, bool* f3, bool* f4, bool* f5,
                 bool* f6, bool* f7, bool* f8, bool* f9, bool* f10, int defaultIndex) const;

    void PushRadioButtons(const std::string& name, const QRadioButton* b1,
                          const QRadioButton* b2) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3, const QRadioButton* b4) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3, const QRadioButton* b4,
                          const QRadioButton* b5) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3, const QRadioButton* b4, const QRadioButton* b5,
                          const QRadioButton* b6) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3, const QRadioButton* b4, const QRadioButton* b5,
                          const QRadioButton* b6, const QRadioButton* b7) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3, const QRadioButton* b4, const QRadioButton* b5,
                          const QRadioButton* b6, const QRadioButton* b7,
                          const QRadioButton* b8) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3, const QRadioButton* b4, const QRadioButton* b5,
                          const QRadioButton* b6, const QRadioButton* b7, const QRadioButton* b8,
                          const QRadioButton* b9) const;
    void PushRadioButtons(const std::string& name, const QRadioButton* b1, const QRadioButton* b2,
                          const QRadioButton* b3, const QRadioButton* b4, const QRadioButton* b5,
                          const QRadioButton* b6, const QRadioButton* b7, const QRadioButton* b8,
                          const QRadioButton* b9, const QRadioButton* b10) const;

    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, QRadioButton* b4, int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, QRadioButton* b4, QRadioButton* b5,
                         int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                         int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                         QRadioButton* b7, int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                         QRadioButton* b7, QRadioButton* b8, int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                         QRadioButton* b7, QRadioButton* b8, QRadioButton* b9,
                         int defaultIndex) const;
    void PopRadioButtons(const std::string& name, QRadioButton* b1, QRadioButton* b2,
                         QRadioButton* b3, QRadioButton* b4, QRadioButton* b5, QRadioButton* b6,
                         QRadioButton* b7, QRadioButton* b8, QRadioButton* b9, QRadioButton* b10,
                         int defaultIndex) const;

    // Folder of the running program file with a trailing "/"; empty when unknown.
    std::string AppDir() const;

    // A per-user shell folder with a trailing "/", or empty.
    std::string GetShellFolder(const std::string& valueName) const;
    std::string GetDirCache() const;
    std::string GetDirDesktop() const;
    std::string GetDirFavorites() const;
    std::string GetDirFonts() const;
    std::string GetDirNetHood() const;
    std::string GetDirPersonal() const;
    std::string GetDirPrograms() const;
    std::string GetDirSendTo() const;
    std::string GetDirStartMenu() const;
    std::string GetDirStartup() const;
    std::string GetDirAppData() const;
    std::string GetDirQuickLaunch() const;

    // True when the first character is a decimal digit.
    bool IsInt(const std::string& text) const;

private:
    std::string KeyPath() const;
    void PushIndex(const std::string& name, std::initializer_list<bool> states) const;
    // The position to select (1..count), or 0 for none.
    int PopIndex(const std::string& name, int count, int defaultIndex) const;
    void PopFlags(const std::string& name, std::initializer_list<bool*> flags,
                  int defaultIndex) const;
    void PopButtons(const std::string& name, std::initializer_list<QRadioButton*> buttons,
                    int defaultIndex) const;

    std::string FProgrammname;
    std::string FFirmenname;
};
