#pragma once

#include <QList>
#include <QUrl>
#include <optional>

// Desktop services that the original platform offered through its window system.
namespace desktop {

// The Print Screen key: the whole screen, from the service the session offers (see screen.h),
// goes onto the clipboard as a bitmap. False when none took it; the clipboard is left as it was.
bool PressPrintScreen();

// Empties the clipboard.
void ClearClipboard();

// The files that a file manager copied, local files only, in order: from text/uri-list, else
// from x-special/gnome-copied-files, else from plain text that holds nothing but file URLs, one a
// line; nullopt when the clipboard holds no file list.
std::optional<QList<QUrl>> ClipboardFileList();

} // namespace desktop
