#include "settings/vkeey.h"
#include "settings/vreg.h"
#include "tests/settings/temp_registry.h"

#include <array>

namespace {

std::string AllCodes() {
    std::string s;
    for (int c = 1; c <= 255; ++c)
        s += static_cast<char>(c);
    return s;
}

int Code(char c) {
    return static_cast<unsigned char>(c);
}

class VKeeyTest : public ::testing::Test {
protected:
    VKeeyTest() {
        Keey.SetProgrammID(11);
        Keey.SetSchluessel("mirobask");
    }
    TVKeey Keey;
};

TEST_F(VKeeyTest, CharacterCodes) {
    EXPECT_EQ(Keey.StrToAsc(""), 0);
    EXPECT_EQ(Keey.StrToAsc("A"), 65);
    EXPECT_EQ(Keey.StrToAsc("\xff"), 255);
    EXPECT_EQ(Keey.StrToAsc("\x80z"), 128);
    EXPECT_EQ(Keey.AscToStr(200), "\xc8");
    EXPECT_EQ(Keey.AscToStr(0), std::string(1, '\0'));
}

TEST_F(VKeeyTest, KeyDerivation) {
    // m i r o b a s k: 856 / 7
    EXPECT_EQ(Keey.MakeKey("mirobask"), 122);
    EXPECT_EQ(Keey.GetGeneratedKey(), 122);
    EXPECT_EQ(Keey.MakeKey(""), 0);
    EXPECT_EQ(Keey.MakeKey("ab"), 97 + 98);
    EXPECT_EQ(Keey.MakeKey("\xff\xff\xff"), 382);
    // One character would divide by zero: it counts as divided by one.
    EXPECT_EQ(Keey.MakeKey("x"), 120);
}

TEST_F(VKeeyTest, EncodeFollowsTheShift) {
    // k = 122, p = 11: position 1 shifts by 133, position 2 by 144.
    EXPECT_EQ(Keey.Encode("A"), "\xc6");
    EXPECT_EQ(Keey.Encode("z"), "\xff"); // 122 + 133 = 255, remainder 0 becomes 255
    EXPECT_EQ(Keey.Encode("\xff"), std::string(1, static_cast<char>(133)));
    EXPECT_EQ(Keey.Decode("\x01"), "{"); // 1 - 133 = -132, + 255 = 123
    EXPECT_EQ(Keey.Encode(""), "");
    EXPECT_EQ(Keey.Decode(""), "");

    // Equal characters in a row differ by ProgrammID.
    const std::string e = Keey.Encode("aaaa");
    ASSERT_EQ(e.size(), 4u);
    for (int i = 1; i < 4; ++i) {
        int d = Code(e[i]) - Code(e[i - 1]);
        if (d <= 0) d += 255;
        EXPECT_EQ(d, 11);
    }
}

TEST_F(VKeeyTest, RoundTripOverEveryCode) {
    struct Setting {
        const char* key;
        int id;
    };
    const std::array<Setting, 5> settings = {
        {{"mirobask", 11}, {"", 1}, {"x", 49}, {"\xff\xfe\xfd\xfc", 23}, {"zz", 7}}};
    for (const auto& s : settings) {
        SCOPED_TRACE(std::string(s.key) + " " + std::to_string(s.id));
        TVKeey k;
        k.SetSchluessel(s.key);
        k.SetProgrammID(s.id);
        const std::string all = AllCodes();
        const std::string scrambled = k.Encode(all);
        EXPECT_EQ(scrambled.size(), all.size());
        EXPECT_EQ(scrambled.find('\0'), std::string::npos);
        EXPECT_EQ(k.Decode(scrambled), all);
        // Each code at every position of a cycle, so every shift meets every code.
        for (int c = 1; c <= 255; ++c) {
            const std::string t(300, static_cast<char>(c));
            const std::string enc = k.Encode(t);
            ASSERT_EQ(enc.find('\0'), std::string::npos) << c;
            ASSERT_EQ(k.Decode(enc), t) << c;
        }
    }
}

TEST_F(VKeeyTest, ProgrammIDTakesOnlyOneToFortyNine) {
    TVKeey k;
    EXPECT_EQ(k.ProgrammID(), 0);
    for (const int bad : {0, 50, -3}) {
        k.SetProgrammID(bad);
        EXPECT_EQ(k.ProgrammID(), 0) << bad;
    }
    k.SetProgrammID(49);
    EXPECT_EQ(k.ProgrammID(), 49);
    k.SetProgrammID(50);
    EXPECT_EQ(k.ProgrammID(), 49);
    k.SetProgrammID(1);
    EXPECT_EQ(k.ProgrammID(), 1);
}

TEST_F(VKeeyTest, ChangedSettingsDecodeOtherwise) {
    const std::string secret = "geheim!";
    const std::string scrambled = Keey.Encode(secret);
    Keey.SetSchluessel("mirobasq");
    EXPECT_NE(Keey.Decode(scrambled), secret);
    Keey.SetSchluessel("mirobask");
    Keey.SetProgrammID(12);
    EXPECT_NE(Keey.Decode(scrambled), secret);
    Keey.SetProgrammID(11);
    EXPECT_EQ(Keey.Decode(scrambled), secret);
}

class VKeeyStoreTest : public TempRegistryTest {};

// The scrambled text goes through the registry file (as hex(1)) and comes back whole.
TEST_F(VKeeyStoreTest, ScrambledPasswordSurvivesTheStore) {
    TVKeey keey;
    keey.SetProgrammID(11);
    keey.SetSchluessel("mirobask");
    TVReg reg;
    reg.SetFirmenname("Velmoran");
    reg.SetProgrammname("ImgLift");
    const std::string all = AllCodes();
    reg.Push("Pass", keey.Encode(all));
    EXPECT_NE(ReadFile(Path).find("\"Pass\"=hex(1):"), std::string::npos);
    EXPECT_EQ(keey.Decode(reg.Pop("Pass")), all);
}

} // namespace
