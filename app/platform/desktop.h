#pragma once

#include <QStringList>
#include <optional>

// Desktop services that the original platform offered through its window system.
namespace desktop {

// The Print Screen key: the whole screen goes onto the clipboard as a bitmap.
// False when no screen could be grabbed.
bool PressPrintScreen();

// Empties the clipboard.
void ClearClipboard();

// The files that a file manager copied (text/uri-list), local files only, in order;
// nullopt when the clipboard holds no file list.
std::optional<QStringList> ClipboardFileList();

} // namespace desktop
