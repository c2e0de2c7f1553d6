#pragma once

#include <QByteArray>
#include <QString>
#include <stdexcept>

// Files the program writes for itself (the upload's temporary JPEG): in the program's folder while
// it may write there, otherwise in a folder of the user's own where nobody else can plant a link.
namespace privatefile {

class EPrivateFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// $XDG_CACHE_HOME/imglift when that is an absolute path, else ~/.cache/imglift.
QString CacheFolder();

// Whether this process may create files in the folder (a read-only mount counts as not).
bool FolderWritable(const QString& path);

// Creates the folder with mode 0700 (its parents as needed) and makes sure it is a real folder,
// not a link, owned by this user and open to nobody else (a looser mode is tightened).
// Throws EPrivateFileError otherwise.
void MakePrivateFolder(const QString& path);

// The program's folder when it may write there, else the cache folder, made private.
QString TempFolder(const QString& appDir);

// Writes data as a new file (mode 0600) at path. Whatever held the name before, a file or a link,
// is removed first; the file is then created exclusively, so a link planted in between makes the
// write fail instead of being followed. Throws EPrivateFileError; no partial file stays behind.
void WriteNewFile(const QString& path, const QByteArray& data);

// Writes data as a new file (mode 0600) in folder, under a name no other file there has:
// prefix, random letters and digits, suffix. Created exclusively, so two writers (threads or
// processes) never share one. Returns the file's path; throws EPrivateFileError, leaving no
// partial file behind.
QString WriteUniqueFile(const QString& folder, const QString& prefix, const QString& suffix,
                        const QByteArray& data);

} // namespace privatefile
