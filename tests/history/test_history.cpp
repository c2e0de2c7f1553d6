// The upload history's database: order, replacement, concurrent writers, a writer killed in the
// middle, damaged files left alone, and a database of the older schema.

#include "history/history.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

QByteArray Read(const QString& Path) {
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int Mode(const QString& Path) {
    struct stat st {};
    return ::stat(QFile::encodeName(Path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

THistoryEntry Upload(const QString& Name, qint64 Size = 1000) {
    THistoryEntry entry;
    entry.Protocol = "ftp";
    entry.Host = "127.0.0.1";
    entry.Port = "2121";
    entry.User = "user";
    entry.Folder = "/pics";
    entry.Name = Name;
    entry.Address = "https://pics.example/" + Name;
    entry.Size = Size;
    entry.Width = 620;
    entry.Height = 465;
    entry.Source = "/home/u/" + Name;
    QImage picture(620, 465, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    entry.Thumbnail = TUploadHistory::MakeThumbnail(picture);
    return entry;
}

// Whether SQLite itself finds the file sound.
QString IntegrityCheck(const QString& Path) {
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(Path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec("PRAGMA integrity_check") && query.next())
                result = query.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase("check");
    return result;
}

class HistoryTest : public testing::Test {
protected:
    QString Path() const { return Dir.filePath("data/imglift/history.sqlite"); }
    QTemporaryDir Dir;
};

} // namespace

TEST_F(HistoryTest, RecordsNewestFirstMarksReplacedAndSearches) {
    {
        TUploadHistory history(Path());
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(history.Record(Upload(QStringLiteral("p%1.jpg").arg(i), i)))
                << history.Problem().toStdString();
        // The same remote file again: the older entry is replaced, not lost.
        ASSERT_TRUE(history.Record(Upload("p7.jpg", 4242)));
    }
    EXPECT_EQ(Mode(Path()), 0600);
    EXPECT_EQ(Mode(QFileInfo(Path()).absolutePath()), 0700);

    TUploadHistory history(Path());
    const std::vector<THistoryEntry> all = history.Query();
    ASSERT_EQ(all.size(), 51u);
    EXPECT_EQ(all[0].Name, "p7.jpg");
    EXPECT_EQ(all[0].Size, 4242);
    EXPECT_EQ(all[0].State, THistoryEntry::TState::Current);
    for (int i = 1; i <= 50; ++i) {
        EXPECT_EQ(all[std::size_t(i)].Name, QStringLiteral("p%1.jpg").arg(50 - i));
        EXPECT_EQ(all[std::size_t(i)].State,
                  50 - i == 7 ? THistoryEntry::TState::Replaced : THistoryEntry::TState::Current);
    }
    const THistoryEntry& newest = all[0];
    EXPECT_EQ(newest.Time.timeSpec(), Qt::UTC);
    EXPECT_LE(newest.Time.secsTo(QDateTime::currentDateTimeUtc()), 60);
    EXPECT_EQ(newest.Folder, "/pics");
    EXPECT_EQ(newest.Address, "https://pics.example/p7.jpg");
    const QImage thumbnail = QImage::fromData(newest.Thumbnail, "JPG");
    EXPECT_EQ(thumbnail.size(), QSize(128, 96));

    EXPECT_EQ(history.Query({}, 3).size(), 3u);
    // "_" and "%" are letters in a search, not patterns.
    const std::vector<THistoryEntry> found = history.Query("P4");
    ASSERT_EQ(found.size(), 11u); // p4, p40..p49
    EXPECT_TRUE(history.Query("p_").empty());

    ASSERT_TRUE(history.MarkDeleted(all[5].Id));
    EXPECT_EQ(history.Entry(all[5].Id)->State, THistoryEntry::TState::Deleted);
    ASSERT_TRUE(history.Remove(all[6].Id));
    EXPECT_FALSE(history.Entry(all[6].Id));
    EXPECT_FALSE(history.Remove(all[6].Id));
    // The database holds no password column at all.
    QSqlDatabase::addDatabase("QSQLITE", "schema").setDatabaseName(Path());
    {
        QSqlDatabase db = QSqlDatabase::database("schema");
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec("SELECT sql FROM sqlite_master WHERE name = 'uploads'"));
        ASSERT_TRUE(query.next());
        EXPECT_FALSE(query.value(0).toString().contains("pass", Qt::CaseInsensitive));
    }
    QSqlDatabase::removeDatabase("schema");
}

TEST_F(HistoryTest, TwoWritersAtOnceBothLandAndAKilledWriterLeavesWholeEntries) {
    const auto writer = [&](const QString& Tag, int Count) {
        auto process = std::make_unique<QProcess>();
        process->start(HISTORY_WRITER, {Path(), Tag, QString::number(Count)});
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    };
    {
        auto a = writer("a", 150);
        auto b = writer("b", 150);
        for (QProcess* p : {a.get(), b.get()}) {
            ASSERT_TRUE(p->waitForFinished(120000));
            EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
        }
    }
    TUploadHistory before(Path());
    std::vector<THistoryEntry> entries = before.Query();
    ASSERT_EQ(entries.size(), 300u);
    // Each writer's entries in its own order.
    for (const QString tag : {"a", "b"}) {
        int next = 149;
        for (const THistoryEntry& entry : entries) {
            if (entry.Name.startsWith(tag + '-')) {
                EXPECT_EQ(entry.Name, QStringLiteral("%1-%2.jpg").arg(tag).arg(next--));
            }
        }
        EXPECT_EQ(next, -1);
    }

    auto killed = writer("k", 1000000);
    ASSERT_TRUE(killed->waitForReadyRead(20000));
    testsupport::PumpFor(300);
    ::kill(pid_t(killed->processId()), SIGKILL);
    killed->waitForFinished(5000);

    EXPECT_EQ(IntegrityCheck(Path()), "ok");
    TUploadHistory after(Path());
    ASSERT_TRUE(after.Available()) << after.Problem().toStdString();
    entries = after.Query("k-");
    ASSERT_FALSE(entries.empty());
    int next = int(entries.size()) - 1;
    for (const THistoryEntry& entry : entries) {
        EXPECT_EQ(entry.Name, QStringLiteral("k-%1.jpg").arg(next));
        EXPECT_EQ(entry.Size, next--);
        EXPECT_EQ(entry.Source, entry.Name);
        EXPECT_FALSE(QImage::fromData(entry.Thumbnail, "JPG").isNull());
    }
    // And the database takes new entries after the crash.
    EXPECT_TRUE(after.Record(Upload("after.jpg")));
}

TEST_F(HistoryTest, ADamagedDatabaseIsReportedAndLeftByteForByte) {
    {
        TUploadHistory history(Path());
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(history.Record(Upload(QStringLiteral("p%1.jpg").arg(i))));
    }
    const QByteArray whole = Read(Path());
    ASSERT_GT(whole.size(), 8192);
    QByteArray random(20000, '\0');
    for (char& byte : random)
        byte = char(QRandomGenerator::global()->bounded(256));

    const auto check = [&](const QString& What) {
        SCOPED_TRACE(What.toStdString());
        const QByteArray before = Read(Path());
        TUploadHistory history(Path());
        EXPECT_FALSE(history.Record(Upload("new.jpg")));
        EXPECT_TRUE(history.Query().empty());
        EXPECT_TRUE(history.Problem().startsWith("Upload history unavailable: " + Path() + ": "))
            << history.Problem().toStdString();
        EXPECT_GT(history.Problem().size(),
                  ("Upload history unavailable: " + Path() + ": ").size());
        EXPECT_EQ(Read(Path()), before);
        EXPECT_FALSE(QFile::exists(Path() + "-wal"));
    };

    for (const auto& [what, bytes] :
         {std::pair{QString("truncated"), whole.left(whole.size() / 2)},
          std::pair{QString("random bytes"), random},
          std::pair{QString("cut inside the header"), whole.left(60)}}) {
        QFile file(Path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        check(what);
    }

    ASSERT_TRUE(QFile::remove(Path()));
    ASSERT_TRUE(QDir().mkdir(Path()));
    QFile inside(Path() + "/inside");
    ASSERT_TRUE(inside.open(QIODevice::WriteOnly));
    inside.close();
    {
        TUploadHistory history(Path());
        EXPECT_FALSE(history.Record(Upload("new.jpg")));
        EXPECT_TRUE(history.Problem().startsWith("Upload history unavailable: " + Path()));
    }
    EXPECT_TRUE(QFileInfo(Path()).isDir());
    EXPECT_EQ(QDir(Path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"inside"});
}

TEST_F(HistoryTest, AnOlderSchemaIsMigratedWithItsEntries) {
    QDir().mkpath(QFileInfo(Path()).absolutePath());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "old");
        db.setDatabaseName(Path());
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(
            "CREATE TABLE uploads(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, "
            "protocol TEXT NOT NULL, host TEXT NOT NULL, port TEXT NOT NULL, user TEXT NOT NULL, "
            "folder TEXT NOT NULL, name TEXT NOT NULL, address TEXT NOT NULL DEFAULT '', "
            "size INTEGER NOT NULL, width INTEGER NOT NULL, height INTEGER NOT NULL, "
            "source TEXT NOT NULL, thumbnail BLOB)"));
        ASSERT_TRUE(query.exec("INSERT INTO uploads(time, protocol, host, port, user, folder, "
                               "name, size, width, height, source, thumbnail) VALUES "
                               "('2026-01-02T03:04:05Z','sftp','h','22','u','/','old.jpg',5,1,1,"
                               "'scanner',X'FFD8FFD9')"));
        ASSERT_TRUE(query.exec("PRAGMA user_version=1"));
    }
    QSqlDatabase::removeDatabase("old");

    TUploadHistory history(Path());
    ASSERT_TRUE(history.Record(Upload("new.jpg"))) << history.Problem().toStdString();
    const std::vector<THistoryEntry> all = history.Query();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].Name, "old.jpg");
    EXPECT_EQ(all[1].Source, "scanner");
    EXPECT_EQ(all[1].Thumbnail, QByteArray("\xFF\xD8\xFF\xD9"));
    EXPECT_EQ(all[1].State, THistoryEntry::TState::Current);
    EXPECT_EQ(all[1].Time, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
    // A newer program's database is left alone.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(Path());
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("PRAGMA user_version=99");
    }
    QSqlDatabase::removeDatabase("newer");
    TUploadHistory newer(Path());
    EXPECT_FALSE(newer.Record(Upload("x.jpg")));
    EXPECT_TRUE(newer.Problem().contains("newer")) << newer.Problem().toStdString();
}
