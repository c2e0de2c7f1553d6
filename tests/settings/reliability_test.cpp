// Second running copies and crashed writers, played by real processes.
#include "settings/platform/regfile.h"
#include "settings/vreg.h"
#include "tests/settings/churn_value.h"
#include "tests/settings/temp_registry.h"

#include <QFile>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

namespace {

constexpr const char* kKey = "Software\\Velmoran\\ImgLift";

class ReliabilityTest : public TempRegistryTest {};

std::unique_ptr<QProcess> StartHelper(const QStringList& args,
                                      const QString& program = REG_HELPER_PATH) {
    auto p = std::make_unique<QProcess>();
    p->setProgram(program);
    p->setArguments(args);
    p->start();
    return p;
}

using Clock = std::chrono::steady_clock;

bool WaitForLine(QProcess& p, const QByteArray& line) {
    for (;;) {
        while (!p.canReadLine())
            if (!p.waitForReadyRead(30000)) return false;
        if (p.readLine().trimmed() == line) return true;
    }
}

TEST_F(ReliabilityTest, AppDirIsTheProgramsFolder) {
    const std::string tools = Dir + "/tools dir";
    std::filesystem::create_directory(tools);
    std::filesystem::copy_file(REG_HELPER_PATH, tools + "/prog");
    std::filesystem::permissions(tools + "/prog", std::filesystem::perms::owner_all);
    // Started through a link in another folder, it still names the folder of the file itself.
    std::filesystem::create_directory(Dir + "/links");
    std::filesystem::create_symlink(tools + "/prog", Dir + "/links/prog");

    for (const std::string& start : {tools + "/prog", Dir + "/links/prog"}) {
        SCOPED_TRACE(start);
        auto p = StartHelper({"appdir"}, QString::fromStdString(start));
        ASSERT_TRUE(p->waitForFinished(30000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
        EXPECT_EQ(p->readAllStandardOutput().toStdString(), tools + "/");
    }
}

TEST_F(ReliabilityTest, TwoCopiesWritingAtOnceLoseNothing) {
    constexpr int kCount = 150;
    auto a = StartHelper({"push-many", "A", QString::number(kCount)});
    auto b = StartHelper({"push-many", "B", QString::number(kCount)});
    ASSERT_TRUE(a->waitForFinished(300000));
    ASSERT_TRUE(b->waitForFinished(300000));
    EXPECT_EQ(a->exitCode(), 0) << a->readAllStandardError().toStdString();
    EXPECT_EQ(b->exitCode(), 0) << b->readAllStandardError().toStdString();

    const auto hive = TRegistryFile(Path).Load();
    ASSERT_TRUE(hive);
    int missing = 0;
    for (const char* prefix : {"A", "B"}) {
        for (int i = 0; i < kCount; ++i) {
            const std::string name = prefix + std::to_string(i);
            const TRegValue* v = hive->FindValue(kKey, name);
            if (!v || StringData(*v) != "value of " + name) ++missing;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(hive->Keys().size(), 1u);
    EXPECT_EQ(hive->Keys()[0].Values.size(), 2u * kCount);
}

TEST_F(ReliabilityTest, KilledWriterLeavesOldOrNewFile) {
    // A file of some size, so that a write takes long enough to be hit in the middle.
    const TRegistryFile reg(Path);
    constexpr int kFillers = 150;
    const auto filler = [](int i) { return std::string(1000, static_cast<char>('a' + i % 26)); };
    for (int i = 0; i < kFillers; ++i)
        reg.WriteString(kKey, "F" + std::to_string(i), filler(i));

    // Kill moments spread over about one write, measured here on the same file system.
    Clock::duration write{};
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        reg.WriteString(kKey, "Probe", ChurnValue(i));
        write = std::max(write, Clock::now() - t0);
    }
    const auto windowUs = std::clamp<long>(
        2 * std::chrono::duration_cast<std::chrono::microseconds>(write).count(), 1000, 500000);
    std::mt19937 random(12345);
    std::uniform_int_distribution<long> delayUs(0, windowUs);
    long lastK = 0;
    int kills = 0, advanced = 0, tmpLeft = 0;
    constexpr int kRounds = 150;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        auto p = StartHelper({"churn", "Counter", QString::number(lastK + 1)});
        ASSERT_TRUE(WaitForLine(*p, "ready"));
        // Now and then let one write finish first, so that the value is seen to move on.
        if (round % 5 == 0) {
            ASSERT_TRUE(WaitForLine(*p, "w"));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        p->kill();
        ASSERT_TRUE(p->waitForFinished(30000));
        if (p->exitStatus() == QProcess::CrashExit) ++kills;
        if (Exists(Path + ".tmp")) ++tmpLeft;

        ASSERT_GT(ReadFile(Path).size(), 0u);
        std::optional<TRegHive> hive;
        ASSERT_NO_THROW(hive = reg.Load());
        ASSERT_TRUE(hive);
        for (int i = 0; i < kFillers; ++i) {
            const TRegValue* v = hive->FindValue(kKey, "F" + std::to_string(i));
            ASSERT_TRUE(v) << i;
            ASSERT_EQ(StringData(*v), filler(i)) << i;
        }
        const TRegValue* counter = hive->FindValue(kKey, "Counter");
        if (lastK == 0 && !counter) continue;
        ASSERT_TRUE(counter);
        const auto k = ChurnNumber(StringData(*counter));
        ASSERT_TRUE(k) << "torn value";
        ASSERT_GE(*k, lastK) << "went back to an older value";
        if (*k > lastK) ++advanced;
        lastK = *k;
        ASSERT_EQ(Mode(Path), 0600u);
    }
    // The killed writers' locks went with them: writing still works.
    TVReg vreg;
    vreg.SetFirmenname("Velmoran");
    vreg.SetProgrammname("ImgLift");
    vreg.Push("After", "ok");
    EXPECT_EQ(vreg.Pop("After"), "ok");
    EXPECT_FALSE(Exists(Path + ".tmp"));

    std::cout << "kills " << kills << " of " << kRounds << ", rounds that advanced " << advanced
              << ", temporary file left behind " << tmpLeft << ", values written " << lastK
              << ", kill window " << windowUs << " us"
              << "\n";
    EXPECT_GT(kills, kRounds / 2);
    EXPECT_GT(advanced, 0);
}

} // namespace
