#include "settings/platform/regfile.h"

#include "common/posix_file.h"

#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QString>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

Q_LOGGING_CATEGORY(lcSettings, "imglift.settings")

constexpr std::string_view kRoot = "HKEY_CURRENT_USER";
constexpr std::string_view kHeader = "REGEDIT4";

using posix::ErrnoText;

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Parses 1..maxDigits hex digits making up all of s.
std::optional<std::uint32_t> ParseHexNumber(std::string_view s, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return std::nullopt;
    std::uint32_t v = 0;
    for (const char c : s) {
        const int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

std::string Escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string QuoteName(std::string_view name) {
    if (name.empty()) return "@";
    return "\"" + Escape(name) + "\"";
}

bool IsPrintableAscii(std::string_view s) {
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u > 126) return false;
    }
    return true;
}

std::string HexBytes(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ',';
        const auto u = static_cast<unsigned char>(bytes[i]);
        out += digits[u >> 4];
        out += digits[u & 15];
    }
    return out;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return lines;
}

class TParser {
public:
    TParser(std::string_view text, const std::string& fileName)
        : FLines(SplitLines(text)), FFileName(fileName) {}

    std::vector<TRegKey> Run() {
        if (FLines.empty() || Trim(FLines[0]) != kHeader)
            Fail(1, "the first line is not " + std::string(kHeader));
        TRegKey* key = nullptr;
        for (FIndex = 1; FIndex < FLines.size(); ++FIndex) {
            const std::string_view line = Trim(FLines[FIndex]);
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[') {
                key = &Section(line);
            } else if (line.front() == '"' || line.front() == '@') {
                if (!key) Fail(LineNo(), "a value stands before the first key");
                Value(*key);
            } else {
                Fail(LineNo(), "neither a key nor a value");
            }
        }
        return std::move(FKeys);
    }

private:
    int LineNo() const { return static_cast<int>(FIndex) + 1; }

    [[noreturn]] void Fail(int line, const std::string& reason) const {
        throw ERegistryParseError(FFileName, line, reason);
    }

    TRegKey& Section(std::string_view line) {
        if (line.back() != ']') Fail(LineNo(), "a key name without its closing ]");
        std::string_view inner = line.substr(1, line.size() - 2);
        if (!inner.empty() && inner.front() == '-') Fail(LineNo(), "a key deletion");
        if (!StartsWithNoCase(inner, kRoot)) Fail(LineNo(), "a key outside HKEY_CURRENT_USER");
        inner.remove_prefix(kRoot.size());
        if (!inner.empty()) {
            if (inner.front() != '\\') Fail(LineNo(), "a key outside HKEY_CURRENT_USER");
            inner.remove_prefix(1);
        }
        const auto path = NormalizeKeyPath(inner);
        if (!path) Fail(LineNo(), "an invalid key name");
        for (auto& k : FKeys)
            if (EqualNoCase(k.Path, *path)) return k;
        FKeys.push_back(TRegKey{*path, {}});
        return FKeys.back();
    }

    // Reads a quoted text starting at line[pos] == '"'; leaves pos behind the closing quote.
    std::string Quoted(std::string_view line, std::size_t& pos) const {
        std::string out;
        for (++pos; pos < line.size(); ++pos) {
            const char c = line[pos];
            if (c == '"') {
                ++pos;
                return out;
            }
            if (c == '\\') {
                if (pos + 1 >= line.size() || (line[pos + 1] != '\\' && line[pos + 1] != '"'))
                    Fail(LineNo(), "an unknown escape sequence");
                out += line[++pos];
            } else {
                out += c;
            }
        }
        Fail(LineNo(), "a quotation without its closing quote");
    }

    void SkipBlanks(std::string_view line, std::size_t& pos) const {
        while (pos < line.size() && IsBlank(line[pos]))
            ++pos;
    }

    void Value(TRegKey& key) {
        const std::size_t first = FIndex;
        const std::string_view line = Trim(FLines[FIndex]);
        std::size_t pos = 0;
        TRegValue v;
        if (line[0] == '@') {
            pos = 1;
        } else {
            v.Name = Quoted(line, pos);
        }
        SkipBlanks(line, pos);
        if (pos >= line.size() || line[pos] != '=') Fail(LineNo(), "a value name without =");
        ++pos;
        SkipBlanks(line, pos);
        const std::string_view data = line.substr(pos);
        if (!data.empty() && data.front() == '"') {
            std::size_t p = pos;
            const std::string text = Quoted(line, p);
            if (!Trim(line.substr(p)).empty()) Fail(LineNo(), "text after the closing quote");
            v.Type = REG_SZ;
            v.Data = text + '\0';
        } else if (StartsWithNoCase(data, "dword:")) {
            const auto n = ParseHexNumber(Trim(data.substr(6)), 8);
            if (!n) Fail(LineNo(), "a dword that is not 1 to 8 hex digits");
            v.Type = REG_DWORD;
            for (int i = 0; i < 4; ++i)
                v.Data += static_cast<char>((*n >> (8 * i)) & 0xFF);
        } else if (StartsWithNoCase(data, "hex")) {
            std::string_view rest = data.substr(3);
            v.Type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                const auto close = rest.find(')');
                const auto type = close == std::string_view::npos
                                      ? std::nullopt
                                      : ParseHexNumber(rest.substr(1, close - 1), 8);
                if (!type) Fail(LineNo(), "a hex(type) that is not a hex number");
                v.Type = *type;
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != ':') Fail(LineNo(), "an unknown value type");
            rest.remove_prefix(1);
            v.Data = HexList(rest);
        } else {
            Fail(LineNo(), "an unknown value type");
        }
        for (std::size_t i = first; i <= FIndex; ++i) {
            if (i > first) v.Source += '\n';
            v.Source += FLines[i];
        }
        for (auto& old : key.Values) {
            if (EqualNoCase(old.Name, v.Name)) {
                old = std::move(v);
                return;
            }
        }
        key.Values.push_back(std::move(v));
    }

    // Comma-separated bytes; a line that ends in "\" goes on in the next line.
    std::string HexList(std::string_view rest) {
        std::string list;
        for (;;) {
            rest = Trim(rest);
            if (rest.empty() || rest.back() != '\\') {
                list += rest;
                break;
            }
            rest.remove_suffix(1);
            list += rest;
            if (FIndex + 1 >= FLines.size()) Fail(LineNo(), "a continued value at the end");
            rest = FLines[++FIndex];
        }
        std::string bytes;
        std::string_view l = list;
        if (Trim(l).empty()) return bytes;
        for (;;) {
            const auto comma = l.find(',');
            const auto b = ParseHexNumber(Trim(l.substr(0, comma)), 2);
            if (!b) Fail(LineNo(), "a byte that is not 1 or 2 hex digits");
            bytes += static_cast<char>(*b);
            if (comma == std::string_view::npos) break;
            l.remove_prefix(comma + 1);
        }
        return bytes;
    }

    std::vector<std::string_view> FLines;
    const std::string& FFileName;
    std::size_t FIndex = 0;
    std::vector<TRegKey> FKeys;
};

// An exclusive flock on a lock file, held for the object's life.
class TFileLock {
public:
    explicit TFileLock(const std::string& path)
        : FFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (!FFd.Valid())
            throw ERegistryException("Cannot open lock file '" + path + "': " + ErrnoText(errno));
        while (::flock(FFd.Get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                throw ERegistryException("Cannot lock '" + path + "': " + ErrnoText(errno));
        }
    }
    ~TFileLock() { ::flock(FFd.Get(), LOCK_UN); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

private:
    posix::UniqueFd FFd;
};

// Removes a temporary file unless the write got as far as renaming it.
class TTempFile {
public:
    explicit TTempFile(std::string path) : FPath(std::move(path)) {}
    ~TTempFile() {
        if (!FPath.empty()) ::unlink(FPath.c_str());
    }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    void Release() { FPath.clear(); }

private:
    std::string FPath;
};

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        throw ERegistryException("Cannot read registry file '" + path + "': " + ErrnoText(errno));
    }
    std::string data;
    if (!posix::ReadAll(fd.Get(), data))
        throw ERegistryException("Cannot read registry file '" + path + "': " + ErrnoText(errno));
    return data;
}

std::string ParentDir(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// mkdir -p; folders made here are owner-only whatever the umask says.
void MakeDirs(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw ERegistryException("'" + dir + "' is not a folder");
        return;
    }
    const std::string parent = ParentDir(dir);
    if (parent != dir) MakeDirs(parent);
    if (::mkdir(dir.c_str(), 0700) == 0) {
        if (::chmod(dir.c_str(), 0700) != 0)
            throw ERegistryException("Cannot set permissions of '" + dir +
                                     "': " + ErrnoText(errno));
    } else if (errno != EEXIST) {
        throw ERegistryException("Cannot create folder '" + dir + "': " + ErrnoText(errno));
    }
}

// The file a symbolic link finally names; the path itself when it is no link or a broken one.
std::string LinkTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

std::optional<TRegHive> LoadFile(const std::string& path) {
    const auto text = ReadWholeFile(path);
    if (!text) return std::nullopt;
    return TRegHive::Parse(*text, path);
}

void StoreString(const std::string& path, std::string_view keyPath, std::string_view name,
                 std::string_view text);

} // namespace

ERegistryParseError::ERegistryParseError(std::string fileName, int line, const std::string& reason)
    : ERegistryException("Cannot parse registry file '" + fileName + "', line " +
                         std::to_string(line) + ": " + reason),
      FFileName(std::move(fileName)), FLine(line) {
}

TRegHive TRegHive::Parse(std::string_view text, const std::string& fileName) {
    TRegHive hive;
    // An empty file holds nothing that could be lost; it reads as an empty registry.
    if (!text.empty()) hive.FKeys = TParser(text, fileName).Run();
    return hive;
}

std::string TRegHive::Serialize() const {
    std::string out = std::string(kHeader) + "\n\n";
    for (const auto& key : FKeys) {
        out += '[';
        out += kRoot;
        if (!key.Path.empty()) out += "\\" + key.Path;
        out += "]\n";
        for (const auto& v : key.Values)
            out += v.Source + "\n";
        out += '\n';
    }
    return out;
}

const TRegValue* TRegHive::FindValue(std::string_view keyPath, std::string_view name) const {
    const auto path = NormalizeKeyPath(keyPath);
    if (!path) return nullptr;
    for (const auto& key : FKeys) {
        if (!EqualNoCase(key.Path, *path)) continue;
        for (const auto& v : key.Values)
            if (EqualNoCase(v.Name, name)) return &v;
        return nullptr;
    }
    return nullptr;
}

TRegKey* TRegHive::FindKey(std::string_view keyPath) {
    for (auto& key : FKeys)
        if (EqualNoCase(key.Path, keyPath)) return &key;
    return nullptr;
}

void TRegHive::SetString(std::string_view keyPath, std::string_view name, std::string_view text) {
    const auto path = NormalizeKeyPath(keyPath);
    if (!path) throw ERegistryException("Invalid key name '" + std::string(keyPath) + "'");
    TRegKey* key = FindKey(*path);
    if (!key) key = &FKeys.emplace_back(TRegKey{*path, {}});
    for (auto& v : key->Values) {
        if (EqualNoCase(v.Name, name)) {
            v.Type = REG_SZ;
            v.Data = std::string(text) + '\0';
            v.Source = FormatStringValue(v.Name, text);
            return;
        }
    }
    key->Values.push_back(TRegValue{std::string(name), REG_SZ, std::string(text) + '\0',
                                    FormatStringValue(name, text)});
}

std::string FormatStringValue(std::string_view name, std::string_view text) {
    if (IsPrintableAscii(text)) return QuoteName(name) + "=\"" + Escape(text) + "\"";
    std::string bytes(text);
    bytes += '\0';
    return QuoteName(name) + "=hex(1):" + HexBytes(bytes);
}

std::string StringData(const TRegValue& value) {
    return value.Data.substr(0, value.Data.find('\0'));
}

std::optional<std::string> NormalizeKeyPath(std::string_view keyPath) {
    while (!keyPath.empty() && keyPath.back() == '\\')
        keyPath.remove_suffix(1);
    if (keyPath.empty()) return std::string();
    if (keyPath.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos)
        return std::nullopt;
    if (keyPath.front() == '\\' || keyPath.find("\\\\") != std::string_view::npos)
        return std::nullopt;
    return std::string(keyPath);
}

TRegistryFile::TRegistryFile(std::string path) : FPath(std::move(path)) {
}

std::string TRegistryFile::DefaultPath() {
    if (const char* env = std::getenv("IMGLIFT_REGISTRY"); env && *env) return env;
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config = xdg;
    else
        config = HomeDir() + "/.config";
    return config + "/imglift/HKCU.reg";
}

std::optional<TRegHive> TRegistryFile::Load() const {
    try {
        return LoadFile(FPath);
    } catch (const ERegistryException& e) {
        qCWarning(lcSettings, "%s", e.what());
        throw;
    }
}

void TRegistryFile::WriteString(std::string_view keyPath, std::string_view name,
                                std::string_view text) const {
    try {
        StoreString(FPath, keyPath, name, text);
    } catch (const ERegistryException& e) {
        qCWarning(lcSettings, "%s", e.what());
        throw;
    }
}

namespace {

void StoreString(const std::string& path, std::string_view keyPath, std::string_view name,
                 std::string_view text) {
    if (!NormalizeKeyPath(keyPath))
        throw ERegistryException("Invalid key name '" + std::string(keyPath) + "'");
    if (name.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos)
        throw ERegistryException("A value name cannot hold a zero, CR or LF byte");

    // A registry file that is a link (kept with other dotfiles) stays one: the new file
    // replaces the file it points to.
    const std::string target = LinkTarget(path);
    const std::string dir = ParentDir(target);
    MakeDirs(dir);
    const TFileLock lock(target + ".lock");

    // Re-read under the lock so that a value another copy wrote meanwhile survives.
    TRegHive hive = LoadFile(path).value_or(TRegHive());
    // The main window stores all its values at every keystroke; rewriting and flushing the
    // file for values that did not change would cost an fsync each.
    if (const TRegValue* old = hive.FindValue(keyPath, name);
        old && old->Type == REG_SZ && old->Data == std::string(text) + '\0')
        return;
    hive.SetString(keyPath, name, text);
    const std::string out = hive.Serialize();

    const std::string tmpPath = target + ".tmp";
    TTempFile tmp(tmpPath);
    posix::UniqueFd fd(
        ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid())
        throw ERegistryException("Cannot create '" + tmpPath + "': " + ErrnoText(errno));
    if (::fchmod(fd.Get(), 0600) != 0)
        throw ERegistryException("Cannot set permissions of '" + tmpPath +
                                 "': " + ErrnoText(errno));
    if (!posix::WriteAll(fd.Get(), out))
        throw ERegistryException("Cannot write '" + tmpPath + "': " + ErrnoText(errno));
    if (::fsync(fd.Get()) != 0)
        throw ERegistryException("Cannot flush '" + tmpPath + "': " + ErrnoText(errno));
    if (fd.Close() != 0)
        throw ERegistryException("Cannot close '" + tmpPath + "': " + ErrnoText(errno));
    if (::rename(tmpPath.c_str(), target.c_str()) != 0)
        throw ERegistryException("Cannot replace '" + target + "': " + ErrnoText(errno));
    tmp.Release();

    // Makes the rename itself durable; the value is already in place, so a failure here
    // changes nothing that a reader could see.
    const posix::UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Valid()) ::fsync(dirFd.Get());
}

} // namespace

std::string XdgShellFolder(std::string_view valueName) {
    const auto location = [](QStandardPaths::StandardLocation l) {
        return QStandardPaths::writableLocation(l);
    };
    QString dir;
    if (EqualNoCase(valueName, "Desktop"))
        dir = location(QStandardPaths::DesktopLocation);
    else if (EqualNoCase(valueName, "Personal"))
        dir = location(QStandardPaths::DocumentsLocation);
    else if (EqualNoCase(valueName, "AppData"))
        dir = location(QStandardPaths::GenericDataLocation);
    else if (EqualNoCase(valueName, "Cache"))
        dir = location(QStandardPaths::GenericCacheLocation);
    else if (EqualNoCase(valueName, "Fonts"))
        dir = location(QStandardPaths::FontsLocation);
    else if (EqualNoCase(valueName, "Startup"))
        dir = location(QStandardPaths::GenericConfigLocation) + "/autostart";
    else if (EqualNoCase(valueName, "Programs") || EqualNoCase(valueName, "Start Menu"))
        dir = location(QStandardPaths::ApplicationsLocation);
    while (dir.size() > 1 && dir.endsWith('/'))
        dir.chop(1);
    return QFile::encodeName(dir).toStdString();
}

std::string ModuleFileName() {
    return posix::ExecutablePath();
}
