#include "picture/picture_child.h"
#include "picture/picture_support.h"

using namespace picture;

// libde265, the HEVC decoder under libheif, has had its share of crashes on damaged files:
// HEIF and AVIF are decoded by the helper program, like metafiles.
QImage picture::LoadHeif(const QString& path) {
    const posix::UniqueFd fd = OpenRegularFile(path);
    MetafileRun child(path, "heif", fd);
    return child.ReadPicture();
}
