#include "settings/vreg.h"
#include "tests/settings/temp_registry.h"

#include <QCheckBox>
#include <QRadioButton>
#include <QWidget>
#include <array>
#include <memory>

namespace {

class VRegTest : public TempRegistryTest {
protected:
    VRegTest() {
        Reg.SetFirmenname("Velmoran");
        Reg.SetProgrammname("ImgLift");
    }
    TVReg Reg;
};

TEST_F(VRegTest, FirstRunReadsEmptyAndCreatesNothing) {
    const ScopedEnv nested("IMGLIFT_REGISTRY", Dir + "/sub/HKCU.reg");
    EXPECT_EQ(Reg.Pop("Host"), "");
    EXPECT_FALSE(Reg.PopCheckBox("Check1", true));
    EXPECT_FALSE(Exists(Dir + "/sub"));

    Reg.Push("Host", "ftp.example.com");
    EXPECT_EQ(ReadFile(Dir + "/sub/HKCU.reg"),
              kHeader + kImgLiftKey + "\"Host\"=\"ftp.example.com\"\n\n");
    EXPECT_EQ(Reg.Pop("Host"), "ftp.example.com");
    EXPECT_EQ(Reg.Pop("host"), "ftp.example.com"); // value names ignore case
    EXPECT_EQ(Reg.Pop("Port"), "");
}

TEST_F(VRegTest, KeyPathFollowsNamePropertiesAtEveryCall) {
    Reg.Push("A", "velmoran");
    Reg.SetFirmenname("");
    EXPECT_EQ(Reg.Pop("A"), "");
    Reg.Push("A", "plain");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey + "\"A\"=\"velmoran\"\n\n" +
                                  "[HKEY_CURRENT_USER\\Software\\ImgLift]\n\"A\"=\"plain\"\n\n");
    Reg.SetFirmenname("Velmoran");
    EXPECT_EQ(Reg.Pop("A"), "velmoran");

    // A second instance sees what the first wrote: nothing is cached.
    TVReg other;
    other.SetProgrammname("ImgLift");
    EXPECT_EQ(other.Pop("A"), "plain");
    other.Push("A", "changed");
    Reg.SetFirmenname("");
    EXPECT_EQ(Reg.Pop("A"), "changed");
}

TEST_F(VRegTest, PopCheckBoxIsTrueOnlyForExactlyOne) {
    const std::array<std::pair<const char*, bool>, 8> cases = {{{"1", true},
                                                                {"0", false},
                                                                {"true", false},
                                                                {" 1", false},
                                                                {"01", false},
                                                                {"1 ", false},
                                                                {"2", false},
                                                                {"", false}}};
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Reg.Push("C", text);
        EXPECT_EQ(Reg.PopCheckBox("C", true), expected);
        EXPECT_EQ(Reg.PopCheckBox("C", false), expected);
    }
    EXPECT_FALSE(Reg.PopCheckBox("Missing", true));

    QCheckBox box;
    box.setChecked(true);
    Reg.PushCheckBox("Box", &box);
    EXPECT_EQ(Reg.Pop("Box"), "1");
    box.setChecked(false);
    Reg.PushCheckBox("Box", &box);
    EXPECT_EQ(Reg.Pop("Box"), "0");
}

TEST_F(VRegTest, PushBoolStoresLastTrueFlag) {
    bool f[10] = {};
    Reg.PushBool("B", &f[0], &f[1], &f[2]);
    EXPECT_EQ(Reg.Pop("B"), "0");
    f[1] = f[2] = true;
    Reg.PushBool("B", &f[0], &f[1], &f[2]);
    EXPECT_EQ(Reg.Pop("B"), "3");
    Reg.PushBool("B", &f[0], &f[1]);
    EXPECT_EQ(Reg.Pop("B"), "2");
    f[9] = true;
    Reg.PushBool("B", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]);
    EXPECT_EQ(Reg.Pop("B"), "10");
}

TEST_F(VRegTest, PopBoolTenAndNineFlags) {
    Reg.Push("B", "10");
    bool f[10] = {};
    Reg.PopBool("B", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], 1);
    EXPECT_TRUE(f[9]);
    EXPECT_FALSE(f[0]);

    // With nine flags "10" is out of range and the default applies.
    bool g[9] = {};
    Reg.PopBool("B", &g[0], &g[1], &g[2], &g[3], &g[4], &g[5], &g[6], &g[7], &g[8], 4);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(g[i], i == 3) << i;

    // Never clears a flag: callers clear theirs first.
    bool h[2] = {true, false};
    Reg.Push("B", "2");
    Reg.PopBool("B", &h[0], &h[1], 1);
    EXPECT_TRUE(h[0]);
    EXPECT_TRUE(h[1]);

    // Every member count sees its own largest position.
    for (int n = 2; n <= 10; ++n) {
        SCOPED_TRACE(n);
        bool x[10] = {};
        Reg.Push("B", std::to_string(n));
        bool* p = x;
        switch (n) {
        case 2:
            Reg.PopBool("B", p, p + 1, 0);
            break;
        case 3:
            Reg.PopBool("B", p, p + 1, p + 2, 0);
            break;
        case 4:
            Reg.PopBool("B", p, p + 1, p + 2, p + 3, 0);
            break;
        case 5:
            Reg.PopBool("B", p, p + 1, p + 2, p + 3, p + 4, 0);
            break;
        case 6:
            Reg.PopBool("B", p, p + 1, p + 2, p + 3, p + 4, p + 5, 0);
            break;
        case 7:
            Reg.PopBool("B", p, p + 1, p + 2, p + 3, p + 4, p + 5, p + 6, 0);
            break;
        case 8:
            Reg.PopBool("B", p, p + 1, p + 2, p + 3, p + 4, p + 5, p + 6, p + 7, 0);
            break;
        case 9:
            Reg.PopBool("B", p, p + 1, p + 2, p + 3, p + 4, p + 5, p + 6, p + 7, p + 8, 0);
            break;
        case 10:
            Reg.PopBool("B", p, p + 1, p + 2, p + 3, p + 4, p + 5, p + 6, p + 7, p + 8, p + 9, 0);
            break;
        }
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(x[i], i == n - 1) << i;
    }
}

class RadioGroup {
public:
    explicit RadioGroup(int n) : FParent(std::make_unique<QWidget>()) {
        for (int i = 0; i < n; ++i)
            Buttons.push_back(new QRadioButton(FParent.get()));
    }
    int CheckedIndex() const {
        for (std::size_t i = 0; i < Buttons.size(); ++i)
            if (Buttons[i]->isChecked()) return static_cast<int>(i) + 1;
        return 0;
    }
    std::vector<QRadioButton*> Buttons;

private:
    std::unique_ptr<QWidget> FParent;
};

TEST_F(VRegTest, PopRadioButtonsDefaults) {
    struct Case {
        std::optional<std::string> stored;
        int defaultIndex;
        int expected;
    };
    const std::vector<Case> cases = {
        {"3", 2, 3},          {"0", 2, 2},  {"4", 2, 2}, {"x", 2, 2}, {std::nullopt, 2, 2},
        {"03", 2, 2},         {" 3", 2, 2}, {"1", 2, 1}, {"0", 0, 0}, {std::nullopt, 0, 0},
        {std::nullopt, 4, 0}, {"5", -1, 0}, {"2", 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.value_or("(none)") + " default " + std::to_string(c.defaultIndex));
        const std::string name = c.stored ? "R" : "Missing";
        if (c.stored) Reg.Push(name, *c.stored);
        RadioGroup g(3);
        Reg.PopRadioButtons(name, g.Buttons[0], g.Buttons[1], g.Buttons[2], c.defaultIndex);
        EXPECT_EQ(g.CheckedIndex(), c.expected);
    }

    // No selection leaves the buttons as they were.
    RadioGroup g(3);
    g.Buttons[0]->setChecked(true);
    Reg.PopRadioButtons("Missing", g.Buttons[0], g.Buttons[1], g.Buttons[2], 0);
    EXPECT_EQ(g.CheckedIndex(), 1);
}

TEST_F(VRegTest, RadioButtonsRoundTripForEveryCount) {
    for (int n = 2; n <= 10; ++n) {
        SCOPED_TRACE(n);
        RadioGroup in(n);
        in.Buttons[n - 1]->setChecked(true);
        auto& b = in.Buttons;
        switch (n) {
        case 2:
            Reg.PushRadioButtons("R", b[0], b[1]);
            break;
        case 3:
            Reg.PushRadioButtons("R", b[0], b[1], b[2]);
            break;
        case 4:
            Reg.PushRadioButtons("R", b[0], b[1], b[2], b[3]);
            break;
        case 5:
            Reg.PushRadioButtons("R", b[0], b[1], b[2], b[3], b[4]);
            break;
        case 6:
            Reg.PushRadioButtons("R", b[0], b[1], b[2], b[3], b[4], b[5]);
            break;
        case 7:
            Reg.PushRadioButtons("R", b[0], b[1], b[2], b[3], b[4], b[5], b[6]);
            break;
        case 8:
            Reg.PushRadioButtons("R", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
            break;
        case 9:
            Reg.PushRadioButtons("R", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8]);
            break;
        case 10:
            Reg.PushRadioButtons("R", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9]);
            break;
        }
        EXPECT_EQ(Reg.Pop("R"), std::to_string(n));

        RadioGroup out(n);
        auto& o = out.Buttons;
        switch (n) {
        case 2:
            Reg.PopRadioButtons("R", o[0], o[1], 1);
            break;
        case 3:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], 1);
            break;
        case 4:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], o[3], 1);
            break;
        case 5:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], o[3], o[4], 1);
            break;
        case 6:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], o[3], o[4], o[5], 1);
            break;
        case 7:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], o[3], o[4], o[5], o[6], 1);
            break;
        case 8:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], 1);
            break;
        case 9:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], 1);
            break;
        case 10:
            Reg.PopRadioButtons("R", o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9], 1);
            break;
        }
        EXPECT_EQ(out.CheckedIndex(), n);
    }
    RadioGroup none(2);
    Reg.PushRadioButtons("R", none.Buttons[0], none.Buttons[1]);
    EXPECT_EQ(Reg.Pop("R"), "0");
}

TEST_F(VRegTest, WriteAndReadFailuresRaise) {
    // A regular file where the folder should be: nothing can be created there.
    WriteFile(Dir + "/blocker", "x");
    {
        const ScopedEnv reg("IMGLIFT_REGISTRY", Dir + "/blocker/HKCU.reg");
        try {
            Reg.Push("Host", "x");
            ADD_FAILURE() << "stored";
        } catch (const ERegistryException& e) {
            EXPECT_STREQ(e.what(), "Failed to set data for 'Host'");
        }
        EXPECT_EQ(Reg.Pop("Host"), "");
    }
    // A folder where the file should be cannot be read.
    {
        const ScopedEnv reg("IMGLIFT_REGISTRY", Dir);
        try {
            Reg.Pop("Host");
            ADD_FAILURE() << "read";
        } catch (const ERegistryException& e) {
            EXPECT_STREQ(e.what(), "Failed to get data for 'Host'");
        }
        EXPECT_THROW(Reg.Push("Host", "x"), ERegistryException);
    }
    // A value name that the file cannot hold.
    try {
        Reg.Push("Two\nLines", "x");
        ADD_FAILURE() << "stored";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'Two\nLines'");
    }
}

TEST_F(VRegTest, IsIntLooksAtFirstCharacterOnly) {
    EXPECT_FALSE(Reg.IsInt(""));
    EXPECT_TRUE(Reg.IsInt("7x"));
    EXPECT_TRUE(Reg.IsInt("12ab"));
    EXPECT_TRUE(Reg.IsInt("0"));
    EXPECT_TRUE(Reg.IsInt("9"));
    EXPECT_FALSE(Reg.IsInt("-5"));
    EXPECT_FALSE(Reg.IsInt(" 1"));
    EXPECT_FALSE(Reg.IsInt("/"));
    EXPECT_FALSE(Reg.IsInt(":"));
    EXPECT_FALSE(Reg.IsInt("\xb2")); // superscript two in Latin-1
    EXPECT_FALSE(Reg.IsInt(std::string("\0"
                                       "1",
                                       2)));
}

TEST_F(VRegTest, ShellFoldersFromFileThenXdg) {
    const ScopedEnv home("HOME", Dir + "/home");
    const ScopedEnv config("XDG_CONFIG_HOME", Dir + "/config");
    const ScopedEnv data("XDG_DATA_HOME", Dir + "/data");
    const ScopedEnv cache("XDG_CACHE_HOME", Dir + "/cache");
    ::mkdir((Dir + "/config").c_str(), 0700);
    WriteFile(Dir + "/config/user-dirs.dirs",
              "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");

    TVReg shell;
    EXPECT_EQ(shell.GetDirDesktop(), Dir + "/home/Schreibtisch/");
    EXPECT_EQ(shell.GetDirPersonal(), Dir + "/home/Dokumente/");
    EXPECT_EQ(shell.GetDirAppData(), Dir + "/data/");
    EXPECT_EQ(shell.GetDirCache(), Dir + "/cache/");
    EXPECT_EQ(shell.GetDirFonts(), Dir + "/data/fonts/");
    EXPECT_EQ(shell.GetDirStartup(), Dir + "/config/autostart/");
    EXPECT_EQ(shell.GetDirPrograms(), Dir + "/data/applications/");
    EXPECT_EQ(shell.GetDirStartMenu(), Dir + "/data/applications/");
    EXPECT_EQ(shell.GetDirFavorites(), "");
    EXPECT_EQ(shell.GetDirNetHood(), "");
    EXPECT_EQ(shell.GetDirSendTo(), "");
    EXPECT_EQ(shell.GetDirQuickLaunch(), "");

    // Values in the file win; a trailing "/" is added when missing.
    const TRegistryFile reg(Path);
    const char* folders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    reg.WriteString(folders, "Desktop", "/srv/desk");
    reg.WriteString(folders, "Favorites", "/srv/fav/");
    reg.WriteString(folders, "SendTo", "");
    reg.WriteString("Software\\Microsoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups",
                    "Quick Launch", "/srv/ql");
    EXPECT_EQ(shell.GetDirDesktop(), "/srv/desk/");
    EXPECT_EQ(shell.GetShellFolder("desktop"), "/srv/desk/");
    EXPECT_EQ(shell.GetDirFavorites(), "/srv/fav/");
    EXPECT_EQ(shell.GetDirSendTo(), "");
    EXPECT_EQ(shell.GetDirQuickLaunch(), "/srv/ql/");
    EXPECT_EQ(shell.GetShellFolder("No Such Folder"), "");
}

} // namespace
