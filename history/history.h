#pragma once
// The uploads that reached their server, kept in an SQLite database so that a link can be found
// again and a picture taken off the server later. Passwords are never stored.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

class QImage;

struct THistoryEntry {
    enum class TState { Current = 0, Replaced = 1, Deleted = 2 };

    qint64 Id = 0;
    QDateTime Time; // UTC
    // "ftp", "ftp+tls" (TLS if offered), "ftpes", "ftps" or "sftp".
    QString Protocol;
    QString Host;
    QString Port;
    QString User;
    QString Folder;
    QString Name;    // on the server
    QString Address; // on the web; empty when none was set
    qint64 Size = 0; // bytes
    int Width = 0;
    int Height = 0;
    // The picture's file, or "screenshot", "scanner", "clipboard".
    QString Source;
    QByteArray Thumbnail; // JPEG, at most 128 px either way; may be empty
    TState State = TState::Current;
};

// Opened lazily at the first use. A database that cannot be read or written is reported once,
// as Problem() says, and left exactly as it is: every call then fails quietly.
class TUploadHistory {
public:
    // $XDG_DATA_HOME/imglift/history.sqlite, else ~/.local/share/imglift/history.sqlite.
    static QString DefaultPath();

    explicit TUploadHistory(QString Path = DefaultPath());
    ~TUploadHistory();
    TUploadHistory(const TUploadHistory&) = delete;
    TUploadHistory& operator=(const TUploadHistory&) = delete;

    const QString& Path() const { return FPath; }
    // Opens (creating and migrating as needed); false when unavailable.
    bool Available();
    // "Upload history unavailable: <path>: <reason>", or empty while all is well.
    const QString& Problem() const { return FProblem; }

    // Adds the entry and marks earlier current entries of the same remote file replaced, in one
    // transaction. The new entry's id, or nullopt.
    std::optional<qint64> Record(const THistoryEntry& Entry);
    bool MarkDeleted(qint64 Id);
    // Removes the entry from the history only.
    bool Remove(qint64 Id);
    std::optional<THistoryEntry> Entry(qint64 Id);
    // Newest first. Search matches name, address, host and source (any case); Limit < 0 is all.
    std::vector<THistoryEntry> Query(const QString& Search = {}, int Limit = -1,
                                     bool WithThumbnails = true);
    // The same, one entry at a time, without holding them all; false when the history is
    // unavailable.
    bool ForEach(const QString& Search, int Limit, bool WithThumbnails,
                 const std::function<void(const THistoryEntry&)>& Visit);

    // The picture made small for an entry: JPEG, fitting into 128 x 128.
    static QByteArray MakeThumbnail(const QImage& Picture);

    // The schema this build writes.
    static constexpr int SchemaVersion = 2;

private:
    bool Open();
    bool Fail(const QString& Reason);
    // Runs Write inside one immediate transaction; false (and rolled back) when it fails.
    template <class F> bool Transaction(F&& Write);

    QString FPath;
    QString FConnection;
    QString FProblem;
    bool FTried = false;
    bool FOpen = false;
};
