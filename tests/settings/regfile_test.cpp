#include "settings/platform/regfile.h"
#include "settings/vreg.h"
#include "tests/settings/temp_registry.h"

#include <QtGlobal>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr const char* kKey = "Software\\Velmoran\\ImgLift";

class RegFileTest : public TempRegistryTest {};

TEST_F(RegFileTest, TextLayoutIsExact) {
    const TRegistryFile reg(Path);
    reg.WriteString(kKey, "Host", "ftp.example.com");
    reg.WriteString(kKey, "Pass", std::string("\xe4\x01z", 3));
    reg.WriteString(kKey, "Dir", "C:\\up \"q\"");
    reg.WriteString(kKey, "Empty", "");
    reg.WriteString(kKey, "Tab", "a\tb");
    reg.WriteString(kKey, "Tilde", " ~");
    reg.WriteString(kKey, "Na\"me\\", "x");
    reg.WriteString(kKey, "", "default");
    reg.WriteString("Software\\Other", "One", "1");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey +
                                  "\"Host\"=\"ftp.example.com\"\n"
                                  "\"Pass\"=hex(1):e4,01,7a,00\n"
                                  "\"Dir\"=\"C:\\\\up \\\"q\\\"\"\n"
                                  "\"Empty\"=\"\"\n"
                                  "\"Tab\"=hex(1):61,09,62,00\n"
                                  "\"Tilde\"=\" ~\"\n"
                                  "\"Na\\\"me\\\\\"=\"x\"\n"
                                  "@=\"default\"\n"
                                  "\n"
                                  "[HKEY_CURRENT_USER\\Software\\Other]\n"
                                  "\"One\"=\"1\"\n"
                                  "\n");

    // And it reads back as written.
    const auto hive = reg.Load();
    ASSERT_TRUE(hive);
    EXPECT_EQ(StringData(*hive->FindValue(kKey, "Pass")), std::string("\xe4\x01z", 3));
    EXPECT_EQ(StringData(*hive->FindValue(kKey, "Dir")), "C:\\up \"q\"");
    EXPECT_EQ(StringData(*hive->FindValue(kKey, "Na\"me\\")), "x");
    EXPECT_EQ(StringData(*hive->FindValue(kKey, "")), "default");
    EXPECT_EQ(hive->FindValue(kKey, "Pass")->Type, REG_SZ);
}

TEST_F(RegFileTest, OverwriteKeepsPlaceAndSpelling) {
    const TRegistryFile reg(Path);
    reg.WriteString(kKey, "Host", "a");
    reg.WriteString(kKey, "Port", "21");
    reg.WriteString("software\\VELMORAN\\imglift", "HOST", "b\x7f");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey +
                                  "\"Host\"=hex(1):62,7f,00\n"
                                  "\"Port\"=\"21\"\n\n");
}

// A file written by hand or by the registry editor: other types, continued hex lines, CR LF,
// comments. Their values must survive writes of other values unchanged.
TEST_F(RegFileTest, TypedValuesSurviveWrites) {
    const std::string original = "REGEDIT4\r\n"
                                 "\r\n"
                                 "; exported by hand\r\n"
                                 "[HKEY_CURRENT_USER\\Software\\Velmoran\\ImgLift]\r\n"
                                 "\"Count\"=dword:0000000c\r\n"
                                 "\"Blob\"=hex:01,02,ff,\\\r\n"
                                 "  10,20\r\n"
                                 "\"Path\"=hex(2):25,48,4f,4d,45,25,00\r\n"
                                 "\"Multi\"=hex(7):61,00,62,00,00,00\r\n"
                                 "\"Host\"=\"old\"\r\n"
                                 "\r\n"
                                 "[HKEY_CURRENT_USER\\Software\\Else]\r\n"
                                 "@=dword:ffffffff\r\n";
    WriteFile(Path, original);
    const TRegistryFile reg(Path);
    reg.WriteString(kKey, "Host", "new");
    reg.WriteString(kKey, "Added", "x");
    const std::string expected = kHeader + kImgLiftKey +
                                 "\"Count\"=dword:0000000c\n"
                                 "\"Blob\"=hex:01,02,ff,\\\n"
                                 "  10,20\n"
                                 "\"Path\"=hex(2):25,48,4f,4d,45,25,00\n"
                                 "\"Multi\"=hex(7):61,00,62,00,00,00\n"
                                 "\"Host\"=\"new\"\n"
                                 "\"Added\"=\"x\"\n"
                                 "\n"
                                 "[HKEY_CURRENT_USER\\Software\\Else]\n"
                                 "@=dword:ffffffff\n"
                                 "\n";
    EXPECT_EQ(ReadFile(Path), expected);

    const auto hive = reg.Load();
    ASSERT_TRUE(hive);
    const TRegValue* count = hive->FindValue(kKey, "Count");
    ASSERT_TRUE(count);
    EXPECT_EQ(count->Type, REG_DWORD);
    EXPECT_EQ(count->Data, std::string("\x0c\0\0\0", 4));
    const TRegValue* blob = hive->FindValue(kKey, "Blob");
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->Type, REG_BINARY);
    EXPECT_EQ(blob->Data, "\x01\x02\xff\x10\x20");
    EXPECT_EQ(hive->FindValue(kKey, "Path")->Type, REG_EXPAND_SZ);
    EXPECT_EQ(hive->FindValue(kKey, "Multi")->Type, 7u);
    EXPECT_EQ(hive->FindValue("Software\\Else", "")->Data, std::string(4, '\xff'));

    // Through the component: the expandable text reads as text, unexpanded; others do not.
    TVReg vreg;
    vreg.SetFirmenname("Velmoran");
    vreg.SetProgrammname("ImgLift");
    EXPECT_EQ(vreg.Pop("Path"), "%HOME%");
    for (const char* name : {"Count", "Blob", "Multi"}) {
        try {
            vreg.Pop(name);
            ADD_FAILURE() << name << " read as text";
        } catch (const ERegistryException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Invalid data type for '") + name + "'");
        }
    }
    // Writing text over a typed value makes it a text value.
    vreg.Push("Count", "13");
    EXPECT_EQ(vreg.Pop("Count"), "13");
    EXPECT_NE(ReadFile(Path).find("\"Count\"=\"13\"\n"), std::string::npos);
}

// Types the program never writes itself, as the registry editor exports them: read as raw typed
// values, their lines kept byte for byte when other values change.
TEST_F(RegFileTest, OtherHexTypesAreKeptAsRead) {
    const std::string values = "\"Multi\"=hex(7):66,69,72,73,74,00,73,65,63,6f,6e,64,00,\\\n"
                               "  00\n"
                               "\"Big\"=hex(b):ff,ee,dd,cc,bb,aa,99,88\n"
                               "\"None\"=hex(0):\n"
                               "\"Odd\"=hex(ffff0010):01, 02 ,0A\n"
                               "\"Upper\"=HEX(B):01,02,03,04,05,06,07,08\n";
    WriteFile(Path, kHeader + kImgLiftKey + values + "\n");
    const TRegistryFile reg(Path);
    reg.WriteString(kKey, "Host", "h");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey + values + "\"Host\"=\"h\"\n\n");

    const auto hive = reg.Load();
    ASSERT_TRUE(hive);
    EXPECT_EQ(hive->FindValue(kKey, "Multi")->Type, 7u);
    EXPECT_EQ(hive->FindValue(kKey, "Multi")->Data, std::string("first\0second\0\0", 14));
    EXPECT_EQ(hive->FindValue(kKey, "Big")->Type, 11u);
    EXPECT_EQ(hive->FindValue(kKey, "Big")->Data, "\xff\xee\xdd\xcc\xbb\xaa\x99\x88");
    EXPECT_EQ(hive->FindValue(kKey, "None")->Type, 0u);
    EXPECT_EQ(hive->FindValue(kKey, "None")->Data, "");
    EXPECT_EQ(hive->FindValue(kKey, "Odd")->Type, 0xffff0010u);
    EXPECT_EQ(hive->FindValue(kKey, "Odd")->Data, "\x01\x02\x0a");
    EXPECT_EQ(hive->FindValue(kKey, "Upper")->Type, 11u);
}

// A value far longer than an edit field holds goes in and out of the store whole, and stays
// whole while other values are written.
TEST_F(RegFileTest, LongValuesAreNeverShortened) {
    std::string text(70000, 'x');
    for (std::size_t i = 0; i < text.size(); i += 97)
        text[i] = static_cast<char>('a' + i % 26);
    TVReg vreg;
    vreg.SetFirmenname("Velmoran");
    vreg.SetProgrammname("ImgLift");
    vreg.Push("ImageName", text);
    vreg.Push("Host", "h");
    vreg.Push("Host", "i");
    EXPECT_EQ(vreg.Pop("ImageName"), text);
    const std::string binary = text + "\xe4";
    vreg.Push("Directory", binary);
    vreg.Push("Host", "j");
    EXPECT_EQ(vreg.Pop("Directory"), binary);
    EXPECT_EQ(vreg.Pop("ImageName"), text);
}

std::vector<std::string> settingsLog;

void KeepSettingsLog(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (qstrcmp(context.category, "imglift.settings") == 0)
        settingsLog.push_back(text.toStdString());
}

TEST_F(RegFileTest, FileErrorsAreLoggedWithFileAndLine) {
    WriteFile(Path, "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\nhello\n");
    settingsLog.clear();
    const QtMessageHandler previous = qInstallMessageHandler(KeepSettingsLog);
    EXPECT_THROW(TRegistryFile(Path).Load(), ERegistryParseError);
    EXPECT_THROW(TRegistryFile(Path).WriteString(kKey, "A", "1"), ERegistryParseError);
    EXPECT_THROW(TRegistryFile(Path + "/sub/HKCU.reg").WriteString(kKey, "A", "1"),
                 ERegistryException);
    qInstallMessageHandler(previous);
    ASSERT_EQ(settingsLog.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_NE(settingsLog[i].find("'" + Path + "', line 4"), std::string::npos)
            << settingsLog[i];
    EXPECT_NE(settingsLog[2].find(Path), std::string::npos) << settingsLog[2];
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_ino;
}

TEST_F(RegFileTest, UnchangedValueLeavesFileAlone) {
    const TRegistryFile reg(Path);
    reg.WriteString(kKey, "Host", "a");
    const ino_t before = Inode(Path);
    reg.WriteString(kKey, "HOST", "a");
    EXPECT_EQ(Inode(Path), before);
    reg.WriteString(kKey, "Host", "b");
    EXPECT_NE(Inode(Path), before);

    // The same text of another type is still rewritten as a string value.
    WriteFile(Path, "REGEDIT4\n\n" + kImgLiftKey + "\"Host\"=hex(2):61,00\n\n");
    reg.WriteString(kKey, "Host", "a");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey + "\"Host\"=\"a\"\n\n");
}

TEST_F(RegFileTest, LinkedFileStaysALink) {
    const std::string real = Dir + "/dotfiles/HKCU.reg";
    std::filesystem::create_directory(Dir + "/dotfiles");
    WriteFile(real, "REGEDIT4\n\n");
    std::filesystem::create_symlink(real, Path);
    const TRegistryFile reg(Path);
    reg.WriteString(kKey, "A", "1");
    EXPECT_TRUE(std::filesystem::is_symlink(Path));
    EXPECT_EQ(ReadFile(real), kHeader + kImgLiftKey + "\"A\"=\"1\"\n\n");
    EXPECT_EQ(Mode(real), 0600u);
}

// As an import would: a key named twice is one key, a value named twice keeps the later data.
TEST_F(RegFileTest, RepeatedKeysAndValuesMerge) {
    WriteFile(Path,
              "REGEDIT4\n\n" + kImgLiftKey + "\"A\"=\"1\"\n\n[HKEY_CURRENT_USER\\Other]\n\n" +
                  "[hkey_current_user\\software\\velmoran\\imglift]\n\"B\"=\"2\"\n\"a\"=\"3\"\n");
    const TRegistryFile reg(Path);
    reg.WriteString(kKey, "C", "4");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey + "\"a\"=\"3\"\n\"B\"=\"2\"\n\"C\"=\"4\"\n\n" +
                                  "[HKEY_CURRENT_USER\\Other]\n\n");
}

struct BadFile {
    const char* what;
    std::string text;
    int line;
};

TEST_F(RegFileTest, UnparsableFileIsNeverOverwritten) {
    const std::vector<BadFile> cases = {
        {"no header", "[HKEY_CURRENT_USER\\Software]\n", 1},
        {"other header", "Windows Registry Editor Version 5.00\n\n", 1},
        {"value before key", "REGEDIT4\n\n\"A\"=\"1\"\n", 3},
        {"garbage line", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"A\"=\"1\"\nhello\n", 5},
        {"unterminated quote", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=\"1\n", 4},
        {"text after quote", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=\"1\" x\n", 4},
        {"unknown escape", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=\"a\\nb\"\n", 4},
        {"bad hex byte", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=hex:01,zz\n", 4},
        {"bad hex on continued line", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=hex:01,\\\n 1g\n",
         5},
        {"continued at end", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=hex:01,\\\n", 4},
        {"long dword", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=dword:123456789\n", 4},
        {"unknown type", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\"=qword:1\n", 4},
        {"no equals", "REGEDIT4\n\n[HKEY_CURRENT_USER\\S]\n\"A\" \"1\"\n", 4},
        {"other root", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n", 3},
        {"key deletion", "REGEDIT4\n\n[-HKEY_CURRENT_USER\\Software]\n", 3},
        {"empty key element", "REGEDIT4\n\n[HKEY_CURRENT_USER\\a\\\\b]\n", 3},
        {"unclosed key", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\n", 3},
    };
    TVReg vreg;
    vreg.SetFirmenname("Velmoran");
    vreg.SetProgrammname("ImgLift");
    const TRegistryFile reg(Path);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(Path, c.text);
        const std::string where = "'" + Path + "', line " + std::to_string(c.line) + ":";
        try {
            reg.Load();
            ADD_FAILURE() << "parsed";
        } catch (const ERegistryParseError& e) {
            EXPECT_EQ(e.Line(), c.line);
            EXPECT_EQ(e.FileName(), Path);
            EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
        }
        try {
            vreg.Pop("A");
            ADD_FAILURE() << "Pop read it";
        } catch (const ERegistryParseError& e) {
            EXPECT_EQ(e.Line(), c.line);
        }
        try {
            vreg.Push("A", "2");
            ADD_FAILURE() << "Push wrote it";
        } catch (const ERegistryParseError& e) {
            EXPECT_EQ(e.Line(), c.line);
            EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
        }
        EXPECT_EQ(ReadFile(Path), c.text);
        EXPECT_FALSE(Exists(Path + ".tmp"));
    }
}

TEST_F(RegFileTest, EmptyFileAndMissingFile) {
    const TRegistryFile reg(Path);
    EXPECT_FALSE(reg.Load());
    WriteFile(Path, "");
    const auto hive = reg.Load();
    ASSERT_TRUE(hive);
    EXPECT_TRUE(hive->Keys().empty());
    reg.WriteString(kKey, "A", "1");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey + "\"A\"=\"1\"\n\n");
}

TEST_F(RegFileTest, OwnerOnlyPermissions) {
    const mode_t oldMask = ::umask(0);
    const std::string nested = Dir + "/a/b/HKCU.reg";
    const TRegistryFile reg(nested);
    reg.WriteString(kKey, "Pass", "secret");
    EXPECT_EQ(Mode(Dir + "/a"), 0700u);
    EXPECT_EQ(Mode(Dir + "/a/b"), 0700u);
    EXPECT_EQ(Mode(nested), 0600u);

    // A file made readable by others goes back to owner-only with the next write.
    ::chmod(nested.c_str(), 0644);
    reg.WriteString(kKey, "Pass", "other");
    EXPECT_EQ(Mode(nested), 0600u);
    ::umask(oldMask);
}

TEST(RegFileDefaultPath, FollowsEnvironment) {
    const ScopedEnv home("HOME", "/home/someone");
    {
        const ScopedEnv reg("IMGLIFT_REGISTRY", "/tmp/x.reg");
        EXPECT_EQ(TRegistryFile::DefaultPath(), "/tmp/x.reg");
    }
    const ScopedEnv reg("IMGLIFT_REGISTRY", "");
    {
        const ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(TRegistryFile::DefaultPath(), "/cfg/imglift/HKCU.reg");
    }
    const ScopedEnv xdg("XDG_CONFIG_HOME", "");
    EXPECT_EQ(TRegistryFile::DefaultPath(), "/home/someone/.config/imglift/HKCU.reg");
}

TEST_F(RegFileTest, RefusesNamesThatCannotBeWritten) {
    const TRegistryFile reg(Path);
    EXPECT_THROW(reg.WriteString(kKey, "a\nb", "x"), ERegistryException);
    EXPECT_THROW(reg.WriteString("Software\\\\x", "a", "x"), ERegistryException);
    EXPECT_FALSE(Exists(Path));
    // A trailing backslash names the same key.
    reg.WriteString("Software\\Velmoran\\ImgLift\\", "A", "1");
    EXPECT_EQ(ReadFile(Path), kHeader + kImgLiftKey + "\"A\"=\"1\"\n\n");
}

} // namespace
