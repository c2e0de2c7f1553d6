#include "app/platform/privatefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace privatefile;

namespace {

QByteArray Read(const QString& Path) {
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int Mode(const QString& Path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(Path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Sets an environment variable for one test.
class TEnv {
public:
    TEnv(const char* Name, const QByteArray& Value) : FName(Name), FOld(qgetenv(Name)) {
        FHad = qEnvironmentVariableIsSet(Name);
        qputenv(Name, Value);
    }
    ~TEnv() {
        if (FHad)
            qputenv(FName, FOld);
        else
            qunsetenv(FName);
    }

private:
    const char* FName;
    QByteArray FOld;
    bool FHad = false;
};

} // namespace

TEST(PrivateFile, ALinkPlantedAtTheNameIsReplacedAndItsTargetLeftAlone) {
    QTemporaryDir dir;
    const QString victim = dir.filePath("victim");
    {
        QFile v(victim);
        ASSERT_TRUE(v.open(QIODevice::WriteOnly));
        v.write("precious");
    }
    const QString name = dir.filePath("temp.jpg");
    ASSERT_TRUE(QFile::link(victim, name));

    WriteNewFile(name, "jpeg bytes");
    EXPECT_EQ(Read(victim), "precious");
    EXPECT_FALSE(QFileInfo(name).isSymLink());
    EXPECT_EQ(Read(name), "jpeg bytes");
    EXPECT_EQ(Mode(name), 0600);

    // A dangling link is no way to create a file elsewhere either.
    const QString elsewhere = dir.filePath("elsewhere");
    ASSERT_TRUE(QFile::remove(name));
    ASSERT_TRUE(QFile::link(elsewhere, name));
    WriteNewFile(name, "again");
    EXPECT_FALSE(QFile::exists(elsewhere));
    EXPECT_EQ(Read(name), "again");
}

TEST(PrivateFile, CacheFolderFollowsXdgCacheHomeWhenAbsolute) {
    {
        const TEnv xdg("XDG_CACHE_HOME", "/var/cache/someone");
        EXPECT_EQ(CacheFolder(), "/var/cache/someone/imglift");
    }
    const TEnv home("HOME", "/home/someone");
    const TEnv xdg("XDG_CACHE_HOME", "relative/cache");
    EXPECT_EQ(CacheFolder(), "/home/someone/.cache/imglift");
}

TEST(PrivateFile, PrivateFolderIsCreatedTightenedAndNeverALink) {
    QTemporaryDir dir;
    const QString fresh = dir.filePath("cache/imglift");
    MakePrivateFolder(fresh);
    EXPECT_EQ(Mode(fresh), 0700);

    const QString loose = dir.filePath("loose");
    ASSERT_TRUE(QDir().mkdir(loose));
    ASSERT_EQ(::chmod(QFile::encodeName(loose).constData(), 0777), 0);
    MakePrivateFolder(loose);
    EXPECT_EQ(Mode(loose), 0700);

    const QString link = dir.filePath("link");
    ASSERT_TRUE(QFile::link(loose, link));
    EXPECT_THROW(MakePrivateFolder(link), EPrivateFileError);

    // A writable program folder is used as it is.
    EXPECT_EQ(TempFolder(dir.path()), dir.path());
}
