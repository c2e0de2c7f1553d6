#include "history/history.h"

#include "common/posix_file.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QMutex>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtEndian>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcHistory, "imglift.history", QtInfoMsg)

namespace {

// Each step takes the schema from the version before it to its own (its index + 1).
const std::vector<std::vector<const char*>> Migrations = {
    // 1: the uploads.
    {"CREATE TABLE uploads(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, "
     "protocol TEXT NOT NULL, host TEXT NOT NULL, port TEXT NOT NULL, user TEXT NOT NULL, "
     "folder TEXT NOT NULL, name TEXT NOT NULL, address TEXT NOT NULL DEFAULT '', "
     "size INTEGER NOT NULL, width INTEGER NOT NULL, height INTEGER NOT NULL, "
     "source TEXT NOT NULL, thumbnail BLOB)"},
    // 2: replaced and deleted entries, found by their remote file; thumbnails in a table of
    // their own, so that listing the entries does not read through them.
    {"ALTER TABLE uploads ADD COLUMN state INTEGER NOT NULL DEFAULT 0",
     "CREATE INDEX uploads_file ON uploads(host, port, folder, name)",
     "CREATE TABLE thumbnails(upload INTEGER PRIMARY KEY, jpeg BLOB NOT NULL)",
     "INSERT INTO thumbnails SELECT id, thumbnail FROM uploads WHERE thumbnail IS NOT NULL",
     "UPDATE uploads SET thumbnail = NULL WHERE thumbnail IS NOT NULL"},
};

const char* const Columns =
    "u.id, u.time, u.protocol, u.host, u.port, u.user, u.folder, u.name, u.address, u.size, "
    "u.width, u.height, u.source, u.state";

// What the file's header says about it, before SQLite is let near it: a file that is not a
// database, or one cut short, is refused rather than handed to a library that may write to it.
QString HeaderProblem(const QString& Path) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) return file.errorString();
    const qint64 size = file.size();
    if (size == 0) return {}; // made by us a moment ago, or by another copy of the program
    const QByteArray header = file.read(100);
    if (header.size() < 100 || !header.startsWith(QByteArray("SQLite format 3\0", 16)))
        return QStringLiteral("not an SQLite database");
    const auto* const bytes = reinterpret_cast<const uchar*>(header.constData());
    const quint32 pageSize =
        qFromBigEndian<quint16>(bytes + 16) == 1 ? 65536 : qFromBigEndian<quint16>(bytes + 16);
    const quint32 pages = qFromBigEndian<quint32>(bytes + 28);
    const bool pagesValid =
        qFromBigEndian<quint32>(bytes + 24) == qFromBigEndian<quint32>(bytes + 92);
    // Pages still in the write-ahead log are not in the file yet.
    const bool logPending = QFileInfo(Path + QStringLiteral("-wal")).size() > 0;
    if (pagesValid && !logPending && qint64(pages) * pageSize > size)
        return QStringLiteral("the file is cut short (%1 of %2 bytes)")
            .arg(size)
            .arg(qint64(pages) * pageSize);
    return {};
}

// Makes the folder (0700) and the file (0600) when missing.
QString Create(const QString& Path) {
    const QString folder = QFileInfo(Path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
            return QString::fromLocal8Bit(std::strerror(errno));
    }
    const QFileInfo info(Path);
    if (info.exists() || info.isSymLink()) {
        if (!info.isFile()) return QStringLiteral("not a file");
        return {};
    }
    const posix::UniqueFd fd(::open(QFile::encodeName(Path).constData(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid() && errno != EEXIST) return QString::fromLocal8Bit(std::strerror(errno));
    return {};
}

QString LikePattern(const QString& Text) {
    QString escaped = Text;
    escaped.replace('\\', QStringLiteral("\\\\"))
        .replace('%', QStringLiteral("\\%"))
        .replace('_', QStringLiteral("\\_"));
    return '%' + escaped + '%';
}

// The times this class writes, "2026-12-08T10:44:01.123Z", without the general parser, which
// is slow enough to be felt when ten thousand entries are listed.
QDateTime ParseTime(const QString& Text) {
    const auto number = [&](int From, int Length) {
        int value = 0;
        for (int i = From; i < From + Length; ++i) {
            const char16_t c = Text[i].unicode();
            if (c < u'0' || c > u'9') return -1;
            value = value * 10 + (c - u'0');
        }
        return value;
    };
    if (Text.size() == 24 && Text[4] == '-' && Text[7] == '-' && Text[10] == 'T' &&
        Text[13] == ':' && Text[16] == ':' && Text[19] == '.' && Text[23] == 'Z') {
        const QDateTime time(QDate(number(0, 4), number(5, 2), number(8, 2)),
                             QTime(number(11, 2), number(14, 2), number(17, 2), number(20, 3)),
                             Qt::UTC);
        if (time.isValid()) return time;
    }
    return QDateTime::fromString(Text, Qt::ISODateWithMs);
}

THistoryEntry FromRow(const QSqlQuery& Row, bool WithThumbnail) {
    THistoryEntry entry;
    entry.Id = Row.value(0).toLongLong();
    entry.Time = ParseTime(Row.value(1).toString());
    entry.Protocol = Row.value(2).toString();
    entry.Host = Row.value(3).toString();
    entry.Port = Row.value(4).toString();
    entry.User = Row.value(5).toString();
    entry.Folder = Row.value(6).toString();
    entry.Name = Row.value(7).toString();
    entry.Address = Row.value(8).toString();
    entry.Size = Row.value(9).toLongLong();
    entry.Width = Row.value(10).toInt();
    entry.Height = Row.value(11).toInt();
    entry.Source = Row.value(12).toString();
    entry.State = THistoryEntry::TState(Row.value(13).toInt());
    if (WithThumbnail) entry.Thumbnail = Row.value(14).toByteArray();
    return entry;
}

} // namespace

QString TUploadHistory::DefaultPath() {
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || QDir::isRelativePath(data))
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return data + QStringLiteral("/imglift/history.sqlite");
}

TUploadHistory::TUploadHistory(QString Path) : FPath(std::move(Path)) {
    static std::atomic<int> count{0};
    FConnection = QStringLiteral("imglift-history-%1").arg(++count);
}

TUploadHistory::~TUploadHistory() {
    if (QSqlDatabase::contains(FConnection)) {
        QSqlDatabase::database(FConnection, false).close();
        QSqlDatabase::removeDatabase(FConnection);
    }
}

bool TUploadHistory::Available() {
    if (!FTried) {
        FTried = true;
        FOpen = Open();
    }
    return FOpen;
}

bool TUploadHistory::Fail(const QString& Reason) {
    if (FProblem.isEmpty()) {
        FProblem = QStringLiteral("Upload history unavailable: %1: %2").arg(FPath, Reason);
        // Once per file and process, however many windows ask.
        static QMutex mutex;
        static QSet<QString> reported;
        const QMutexLocker lock(&mutex);
        if (!reported.contains(FPath)) {
            reported.insert(FPath);
            qCWarning(lcHistory).noquote() << FProblem;
        }
    }
    return false;
}

bool TUploadHistory::Open() {
    if (const QString reason = Create(FPath); !reason.isEmpty()) return Fail(reason);
    if (const QString reason = HeaderProblem(FPath); !reason.isEmpty()) return Fail(reason);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), FConnection);
    if (!db.isValid()) return Fail(QStringLiteral("no SQLite driver for Qt (libqt6sql6-sqlite)"));
    db.setDatabaseName(FPath);
    // Another copy of the program may be writing: wait for it rather than fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open()) return Fail(db.lastError().text());
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next())
        return Fail(query.lastError().text());
    if (query.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) != 0)
        return Fail(QStringLiteral("cannot use a write-ahead log"));
    query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    return Transaction([&](QSqlQuery& Write) {
        if (!Write.exec(QStringLiteral("PRAGMA user_version")) || !Write.next()) return false;
        const int version = Write.value(0).toInt();
        if (version > SchemaVersion) {
            Fail(QStringLiteral("written by a newer version of the program (schema %1)")
                     .arg(version));
            return false;
        }
        if (int(Migrations.size()) != SchemaVersion) return false;
        for (int step = version; step < SchemaVersion; ++step)
            for (const char* sql : Migrations[std::size_t(step)])
                if (!Write.exec(QString::fromLatin1(sql))) return false;
        return version == SchemaVersion ||
               Write.exec(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion));
    });
}

template <class F> bool TUploadHistory::Transaction(F&& Write) {
    QSqlDatabase db = QSqlDatabase::database(FConnection, false);
    QSqlQuery query(db);
    // Immediate: the write lock is taken at once, so two writers queue instead of deadlocking.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) return Fail(query.lastError().text());
    if (!Write(query)) {
        const QString reason = query.lastError().text();
        query.finish();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return reason.trimmed().isEmpty() ? false : Fail(reason);
    }
    query.finish();
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const QString reason = query.lastError().text();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return Fail(reason);
    }
    return true;
}

std::optional<qint64> TUploadHistory::Record(const THistoryEntry& Entry) {
    if (!Available()) return std::nullopt;
    // A null text would be bound as NULL.
    const auto text = [](const QString& Value) {
        return Value.isNull() ? QStringLiteral("") : Value;
    };
    qint64 id = 0;
    const bool done = Transaction([&](QSqlQuery& Write) {
        Write.prepare(QStringLiteral("UPDATE uploads SET state = 1 WHERE host = ? AND port = ? "
                                     "AND folder = ? AND name = ? AND state = 0"));
        for (const QString& value : {Entry.Host, Entry.Port, Entry.Folder, Entry.Name})
            Write.addBindValue(text(value));
        if (!Write.exec()) return false;
        Write.prepare(QStringLiteral(
            "INSERT INTO uploads(time, protocol, host, port, user, folder, name, address, size, "
            "width, height, source, state) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)"));
        const QDateTime time = Entry.Time.isValid() ? Entry.Time : QDateTime::currentDateTimeUtc();
        Write.addBindValue(time.toUTC().toString(Qt::ISODateWithMs));
        for (const QString& value : {Entry.Protocol, Entry.Host, Entry.Port, Entry.User,
                                     Entry.Folder, Entry.Name, Entry.Address})
            Write.addBindValue(text(value));
        Write.addBindValue(Entry.Size);
        Write.addBindValue(Entry.Width);
        Write.addBindValue(Entry.Height);
        Write.addBindValue(text(Entry.Source));
        Write.addBindValue(int(Entry.State));
        if (!Write.exec()) return false;
        id = Write.lastInsertId().toLongLong();
        if (Entry.Thumbnail.isEmpty()) return true;
        Write.prepare(QStringLiteral("INSERT INTO thumbnails(upload, jpeg) VALUES (?, ?)"));
        Write.addBindValue(id);
        Write.addBindValue(Entry.Thumbnail);
        return Write.exec();
    });
    if (!done) return std::nullopt;
    return id;
}

bool TUploadHistory::MarkDeleted(qint64 Id) {
    if (!Available()) return false;
    bool found = false;
    const bool done = Transaction([&](QSqlQuery& Write) {
        Write.prepare(QStringLiteral("UPDATE uploads SET state = 2 WHERE id = ?"));
        Write.addBindValue(Id);
        if (!Write.exec()) return false;
        found = Write.numRowsAffected() > 0;
        return true;
    });
    return done && found;
}

bool TUploadHistory::Remove(qint64 Id) {
    if (!Available()) return false;
    bool found = false;
    const bool done = Transaction([&](QSqlQuery& Write) {
        Write.prepare(QStringLiteral("DELETE FROM uploads WHERE id = ?"));
        Write.addBindValue(Id);
        if (!Write.exec()) return false;
        found = Write.numRowsAffected() > 0;
        Write.prepare(QStringLiteral("DELETE FROM thumbnails WHERE upload = ?"));
        Write.addBindValue(Id);
        return Write.exec();
    });
    return done && found;
}

std::optional<THistoryEntry> TUploadHistory::Entry(qint64 Id) {
    if (!Available()) return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1, t.jpeg FROM uploads u LEFT JOIN thumbnails t ON "
                                 "t.upload = u.id WHERE u.id = ?")
                      .arg(Columns));
    query.addBindValue(Id);
    if (!query.exec()) {
        Fail(query.lastError().text());
        return std::nullopt;
    }
    if (!query.next()) return std::nullopt;
    return FromRow(query, true);
}

std::vector<THistoryEntry> TUploadHistory::Query(const QString& Search, int Limit,
                                                 bool WithThumbnails) {
    std::vector<THistoryEntry> entries;
    ForEach(Search, Limit, WithThumbnails,
            [&](const THistoryEntry& Entry) { entries.push_back(Entry); });
    return entries;
}

bool TUploadHistory::ForEach(const QString& Search, int Limit, bool WithThumbnails,
                             const std::function<void(const THistoryEntry&)>& Visit) {
    if (!Available()) return false;
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    query.setForwardOnly(true);
    QString sql = WithThumbnails ? QStringLiteral("SELECT %1, t.jpeg FROM uploads u LEFT JOIN "
                                                  "thumbnails t ON t.upload = u.id")
                                 : QStringLiteral("SELECT %1 FROM uploads u");
    sql = sql.arg(Columns);
    if (!Search.isEmpty())
        sql += QStringLiteral(" WHERE u.name LIKE :p ESCAPE '\\' OR u.address LIKE :p ESCAPE '\\' "
                              "OR u.host LIKE :p ESCAPE '\\' OR u.source LIKE :p ESCAPE '\\'");
    sql += QStringLiteral(" ORDER BY u.id DESC LIMIT :limit");
    query.prepare(sql);
    if (!Search.isEmpty()) query.bindValue(QStringLiteral(":p"), LikePattern(Search));
    query.bindValue(QStringLiteral(":limit"), Limit < 0 ? -1 : Limit);
    if (!query.exec()) return Fail(query.lastError().text());
    while (query.next())
        Visit(FromRow(query, WithThumbnails));
    return true;
}

QByteArray TUploadHistory::MakeThumbnail(const QImage& Picture) {
    if (Picture.isNull()) return {};
    const QImage small =
        Picture.width() > 128 || Picture.height() > 128
            ? Picture.scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation)
            : Picture;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!small.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPG", 80)) return {};
    return bytes;
}
