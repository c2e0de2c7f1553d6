#pragma once

// The Data Source Manager's profile file: a small INI file that holds the system-wide default
// source (section "TWAIN", entry "DEFAULT SOURCE", the source's ProductName) and whatever else the
// manager remembers. Every call reads the file afresh; writes replace it atomically.

#include <QString>

// $IMGLIFT_TWAIN_INI if set, else ${XDG_CONFIG_HOME:-$HOME/.config}/imglift/twain.ini.
QString TwainProfilePath();

// Section and key compare without regard to case; a missing file, section or key gives Default.
QString GetProfileString(const QString& Section, const QString& Key, const QString& Default = {});

// Adds or replaces the entry. Line breaks in the value become blanks. Throws std::runtime_error
// when the file cannot be written.
void WriteProfileString(const QString& Section, const QString& Key, const QString& Value);
