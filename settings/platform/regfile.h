#pragma once

// The per-user registry (HKEY_CURRENT_USER) kept as one REGEDIT4 text file.
//
// Every operation reads the file afresh; a write locks a file beside it, re-reads, changes one
// value and replaces the file atomically, so a crash or a second running copy never leaves a
// half-written or mixed file. A file that cannot be parsed is never overwritten.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A registry failure; carries its message only.
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The registry file holds text that is not REGEDIT4; names the file and the line.
class ERegistryParseError : public ERegistryException {
public:
    ERegistryParseError(std::string fileName, int line, const std::string& reason);
    const std::string& FileName() const { return FFileName; }
    int Line() const { return FLine; }

private:
    std::string FFileName;
    int FLine;
};

// Value types as the registry numbers them.
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;

struct TRegValue {
    std::string Name;   // "" is the key's default value (@)
    std::uint32_t Type; // REG_SZ, REG_DWORD, ... or any other number from hex(N)
    std::string Data;   // raw bytes; text types include their terminating zero
    std::string Source; // the value's lines as read (joined by "\n"); empty for a new value
};

struct TRegKey {
    std::string Path; // relative to HKEY_CURRENT_USER, "" for the root itself
    std::vector<TRegValue> Values;
};

// The parsed contents of one registry file. Key paths and value names compare without regard to
// ASCII case, as the registry does. Writing a value keeps the spelling it already has; a value
// named twice in the file keeps the later line.
class TRegHive {
public:
    // Throws ERegistryParseError naming fileName and the offending line.
    static TRegHive Parse(std::string_view text, const std::string& fileName);

    // REGEDIT4 text; values read from a file keep their original lines.
    std::string Serialize() const;

    const TRegValue* FindValue(std::string_view keyPath, std::string_view name) const;

    // Creates the key if needed and stores text as a string value (REG_SZ).
    void SetString(std::string_view keyPath, std::string_view name, std::string_view text);

    const std::vector<TRegKey>& Keys() const { return FKeys; }

private:
    TRegKey* FindKey(std::string_view keyPath);
    std::vector<TRegKey> FKeys;
};

// Writes one value line: printable ASCII text as "Name"="text", anything else as hex(1).
std::string FormatStringValue(std::string_view name, std::string_view text);

// Text of a string value's data: the bytes before the first zero.
std::string StringData(const TRegValue& value);

// A key path as the file stores it: trailing "\" dropped. nullopt when the path cannot be a key
// (an empty element, or a zero, CR or LF byte).
std::optional<std::string> NormalizeKeyPath(std::string_view keyPath);

class TRegistryFile {
public:
    explicit TRegistryFile(std::string path);

    // IMGLIFT_REGISTRY when set, else ${XDG_CONFIG_HOME:-$HOME/.config}/imglift/HKCU.reg.
    static std::string DefaultPath();

    const std::string& Path() const { return FPath; }

    // nullopt when the file does not exist. Throws ERegistryParseError for unparsable text and
    // ERegistryException when the file exists but cannot be read.
    std::optional<TRegHive> Load() const;

    // Stores one text value under the key, creating the file, its folder and the key as needed.
    // A value that already holds this text as REG_SZ is left as it is, file untouched.
    // Throws ERegistryParseError (file left untouched) or ERegistryException.
    void WriteString(std::string_view keyPath, std::string_view name, std::string_view text) const;

private:
    std::string FPath;
};

// Where the XDG user directories put a shell folder of the given registry value name ("Desktop",
// "Personal", "AppData", ...); empty when there is no counterpart. No trailing "/".
std::string XdgShellFolder(std::string_view valueName);

// Full path of the running program file; empty when it cannot be found.
std::string ModuleFileName();
