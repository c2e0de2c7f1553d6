#include "picture/picture_child.h"
#include "picture/picture_support.h"

using namespace picture;

// libde265, the HEVC decoder under libheif, has had its share of crashes on damaged files:
// HEIF and AVIF are decoded by the helper program, like metafiles. A 12-megapixel HEIC takes
// about 2 s of processor time, more on a busy machine: its time limit is six times theirs.
QImage picture::LoadHeif(const QString& path) {
    const posix::UniqueFd fd = OpenRegularFile(path);
    MetafileRun child(path, "heif", fd, 6);
    return child.ReadPicture();
}
