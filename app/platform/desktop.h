#pragma once

#include <QImage>
#include <QList>
#include <QUrl>
#include <optional>

// Desktop services that the original platform offered through its window system.
namespace desktop {

// The Print Screen key: the whole screen, or with area the part the user picks, from the service
// the session offers (see screen.h), goes onto the clipboard as a bitmap. False when none took it
// (or the user cancelled); the clipboard is left as it was.
bool PressPrintScreen(bool area = false);

// Empties the clipboard.
void ClearClipboard();

// The files that a file manager copied, local files only, in order: from text/uri-list, else
// from x-special/gnome-copied-files, else from plain text that holds nothing but file URLs, one a
// line; nullopt when the clipboard holds no file list.
std::optional<QList<QUrl>> ClipboardFileList();

// The picture on the clipboard, as a browser's "Copy Image" or a screenshot tool leaves it:
// image/png, image/jpeg or image/bmp through the picture readers and their limits, else any
// picture Qt's clipboard can give. nullopt when the clipboard holds no picture data; throws
// EPictureError (or std::bad_alloc) when the data does not decode.
std::optional<QImage> ClipboardPicture();

} // namespace desktop
