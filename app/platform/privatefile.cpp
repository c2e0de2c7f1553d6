#include "app/platform/privatefile.h"

#include "common/posix_file.h"
#include "common/random_tag.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace privatefile {

namespace {

[[noreturn]] void Fail(const QString& what, const QString& path, int error) {
    throw EPrivateFileError(QStringLiteral("%1 \"%2\": %3")
                                .arg(what, path, QString::fromStdString(posix::ErrnoText(error)))
                                .toStdString());
}

QString Home() {
    if (const QString home = qEnvironmentVariable("HOME"); !home.isEmpty()) return home;
    if (const passwd* const pw = ::getpwuid(::geteuid()); pw && pw->pw_dir)
        return QFile::decodeName(pw->pw_dir);
    return QDir::homePath();
}

} // namespace

QString CacheFolder() {
    const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
    const QString base = QDir::isAbsolutePath(xdg) ? xdg : Home() + QStringLiteral("/.cache");
    return QDir::cleanPath(base + QStringLiteral("/imglift"));
}

bool FolderWritable(const QString& path) {
    return !path.isEmpty() && ::access(QFile::encodeName(path).constData(), W_OK | X_OK) == 0;
}

void MakePrivateFolder(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const QString parent = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(parent)) Fail(QStringLiteral("Cannot create the folder"), parent, errno);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        Fail(QStringLiteral("Cannot create the folder"), path, errno);
    const posix::UniqueFd dir(
        ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.Get() < 0) Fail(QStringLiteral("Not a folder of its own"), path, errno);
    struct stat st {};
    if (::fstat(dir.Get(), &st) != 0) Fail(QStringLiteral("Cannot read"), path, errno);
    if (st.st_uid != ::geteuid()) Fail(QStringLiteral("Not your folder"), path, EPERM);
    if ((st.st_mode & 077) != 0 && ::fchmod(dir.Get(), 0700) != 0)
        Fail(QStringLiteral("Cannot make the folder private"), path, errno);
}

QString TempFolder(const QString& appDir) {
    if (FolderWritable(appDir)) return appDir;
    const QString cache = CacheFolder();
    MakePrivateFolder(cache);
    return cache;
}

namespace {

posix::UniqueFd CreateExclusive(const QByteArray& name) {
    return posix::UniqueFd(
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

void WriteAndClose(posix::UniqueFd file, const QString& path, const QByteArray& data) {
    if (!posix::WriteAll(file.Get(), data.constData(), std::size_t(data.size())) ||
        file.Close() != 0) {
        const int error = errno;
        ::unlink(QFile::encodeName(path).constData());
        Fail(QStringLiteral("Cannot write"), path, error);
    }
}

} // namespace

void WriteNewFile(const QString& path, const QByteArray& data) {
    const QByteArray name = QFile::encodeName(path);
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        Fail(QStringLiteral("Cannot replace"), path, errno);
    posix::UniqueFd file = CreateExclusive(name);
    if (!file.Valid()) Fail(QStringLiteral("Cannot create"), path, errno);
    WriteAndClose(std::move(file), path, data);
}

QString WriteUniqueFile(const QString& folder, const QString& prefix, const QString& suffix,
                        const QByteArray& data) {
    const QString base = folder.endsWith('/') ? folder : folder + '/';
    for (int attempt = 0;; ++attempt) {
        const QString path = base + prefix + QString::fromStdString(posix::RandomTag()) + suffix;
        posix::UniqueFd file = CreateExclusive(QFile::encodeName(path));
        // A name taken (by another upload, or a link someone planted): the next one.
        if (!file.Valid() && errno == EEXIST && attempt < 100) continue;
        if (!file.Valid()) Fail(QStringLiteral("Cannot create"), path, errno);
        WriteAndClose(std::move(file), path, data);
        return path;
    }
}

} // namespace privatefile
