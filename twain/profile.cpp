#include "twain/profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStringList>

#include <stdexcept>

QString TwainProfilePath() {
    const QString explicitPath = qEnvironmentVariable("IMGLIFT_TWAIN_INI");
    if (!explicitPath.isEmpty()) return explicitPath;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) config = QDir::homePath() + "/.config";
    return config + "/imglift/twain.ini";
}

namespace {

QStringList ReadLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    for (QString& line : lines)
        if (line.endsWith('\r')) line.chop(1);
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

bool IsSection(const QString& line, QString* name) {
    const QString t = line.trimmed();
    if (!t.startsWith('[') || !t.endsWith(']')) return false;
    *name = t.mid(1, t.size() - 2).trimmed();
    return true;
}

// Splits "key=value"; false for lines without '=' and comments.
bool IsEntry(const QString& line, QString* key, QString* value) {
    const QString t = line.trimmed();
    if (t.startsWith(';') || t.startsWith('#')) return false;
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0) return false;
    *key = t.left(eq).trimmed();
    *value = t.mid(eq + 1).trimmed();
    return true;
}

} // namespace

QString GetProfileString(const QString& Section, const QString& Key, const QString& Default) {
    bool inSection = false;
    QString name, key, value;
    for (const QString& line : ReadLines(TwainProfilePath())) {
        if (IsSection(line, &name))
            inSection = name.compare(Section, Qt::CaseInsensitive) == 0;
        else if (inSection && IsEntry(line, &key, &value) &&
                 key.compare(Key, Qt::CaseInsensitive) == 0)
            return value;
    }
    return Default;
}

void WriteProfileString(const QString& Section, const QString& Key, const QString& Value) {
    const QString path = TwainProfilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Two writers (two copies of the program) must not lose each other's entries.
    QLockFile lock(path + ".lock");
    if (!lock.lock()) throw std::runtime_error("Cannot lock " + path.toStdString());

    QString clean = Value;
    clean.replace('\r', ' ').replace('\n', ' ');
    const QString entry = Key + '=' + clean.trimmed();

    QStringList lines = ReadLines(path);
    qsizetype sectionEnd = -1; // index after the last line of the wanted section
    bool inSection = false, done = false;
    QString name, key, value;
    for (qsizetype i = 0; i < lines.size() && !done; ++i) {
        if (IsSection(lines[i], &name)) {
            inSection = name.compare(Section, Qt::CaseInsensitive) == 0;
            if (inSection) sectionEnd = i + 1;
        } else if (inSection) {
            if (IsEntry(lines[i], &key, &value) && key.compare(Key, Qt::CaseInsensitive) == 0) {
                lines[i] = entry;
                done = true;
            } else if (!lines[i].trimmed().isEmpty()) {
                sectionEnd = i + 1;
            }
        }
    }
    if (!done) {
        if (sectionEnd < 0) {
            if (!lines.isEmpty() && !lines.last().trimmed().isEmpty()) lines.append(QString());
            lines.append('[' + Section + ']');
            lines.append(entry);
        } else {
            lines.insert(sectionEnd, entry);
        }
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("Cannot write " + path.toStdString());
    file.write((lines.join('\n') + '\n').toUtf8());
    if (!file.commit()) throw std::runtime_error("Cannot write " + path.toStdString());
}
