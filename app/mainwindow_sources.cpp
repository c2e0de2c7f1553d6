// Where pictures come from: the screen, the clipboard's file list or picture, the open dialog, a
// drop on the file button and the command line; and clearing the current picture.

#include "app/mainwindow.h"

#include "app/imaging.h"
#include "app/platform/desktop.h"
#include "app/platform/dialogs.h"
#include "app/timage.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>

QString TForm1::FileExtension(const QString& Path) {
    return ::FileExtension(Path);
}

bool TForm1::CheckImageFileType(const QString& Path) {
    return ::CheckImageFileType(Path);
}

bool TForm1::LoadImageFile(TImage& Image, const QString& Path) {
    Image.SetAutoSize(true);
    Image.ClearPicture();
    QImage picture;
    if (!::LoadImageFile(picture, Path)) return false;
    Image.SetPicture(picture);
    return true;
}

void TForm1::SetUploadName(const QString& Name) {
    Edit10->setText(Name);
    Edit6->setText(Name);
}

void TForm1::ProcessImageFile() {
    if (!CheckImageFileType(ImageFile)) {
        ShowStop(QStringLiteral("Not supportet Image File"));
        ImageFile.clear();
        return;
    }
    if (!LoadImageFile(*Image2, ImageFile)) {
        ShowStop(QStringLiteral("Error loading Image File"));
        ImageFile.clear();
        return;
    }
    SetUploadName(UploadFileName(ImageFile));
    PictureSource = ImageFile;
    PageControl1->setCurrentIndex(2);
}

void TForm1::SnapShot(TImage& Image) {
    desktop::ClearClipboard();
    Delay(500);
    desktop::PressPrintScreen(CheckBox6->isChecked());
    Delay(500);
    const QImage shot = QGuiApplication::clipboard()->image();
    if (!shot.isNull()) {
        Image.SetAutoSize(true);
        Image.SetPicture(shot);
    }
}

void TForm1::BitBtn2Click() {
    setWindowState(windowState() | Qt::WindowMinimized);
    // Tiling desktops (and X without a window manager) ignore the request to minimise: hidden,
    // the window is off the screen everywhere before the first wait ends.
    hide();
    SnapShot(*Image2);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    activateWindow();
    PageControl1->setCurrentIndex(2);
    SetUploadName(QStringLiteral("screenshot.jpg"));
    PictureSource = QStringLiteral("screenshot");
}

void TForm1::BitBtn6Click() {
    // The file list a file manager copied; the names keep their bytes.
    const std::optional<QList<QUrl>> urls = desktop::ClipboardFileList();
    const QStringList files = urls ? LocalFileNames(*urls) : QStringList();
    if (!files.isEmpty()) {
        ImageFile.clear();
        ImageFile = files.first();
    } else if (!urls) {
        // No file list but a picture (a browser's "Copy Image", a screenshot tool): that one.
        std::optional<QImage> picture;
        try {
            picture = desktop::ClipboardPicture();
        } catch (const std::exception&) {
            ShowStop(QStringLiteral("Error loading Image File"));
            return;
        }
        if (picture) {
            Image2->SetAutoSize(true);
            Image2->SetPicture(*picture);
            SetUploadName(QStringLiteral("clipboard.jpg"));
            PictureSource = QStringLiteral("clipboard");
            PageControl1->setCurrentIndex(2);
            return;
        }
    }
    ProcessImageFile();
    if (!files.isEmpty() && !ImageFile.isEmpty()) PictureSource = QStringLiteral("clipboard");
}

void TForm1::BitBtn3Click() {
    TDialogs::OpenRequest request;
    request.Title = QStringLiteral("Load Image File");
    request.Filter = QStringLiteral(
        "All pictures (*.jpg *.jpeg *.bmp *.ico *.emf *.wmf *.png *.gif *.webp *.tif *.tiff *.heic "
        "*.heif *.avif *.JPG *.JPEG *.BMP *.ICO *.EMF *.WMF *.PNG *.GIF *.WEBP *.TIF *.TIFF *.HEIC "
        "*.HEIF *.AVIF);;JPEG Image File (*.jpg *.jpeg *.JPG *.JPEG);;Bitmaps (*.bmp *.BMP);;Icons "
        "(*.ico *.ICO);;Enhanced Metafiles (*.emf *.EMF);;Metafiles (*.wmf *.WMF);;PNG, GIF, "
        "WebP and TIFF (*.png *.gif *.webp *.tif *.tiff *.PNG *.GIF *.WEBP *.TIF *.TIFF);;HEIC "
        "and AVIF (*.heic *.heif *.avif *.HEIC *.HEIF *.AVIF)");
    if (const auto path = FDialogs.OpenFile(this, request)) {
        ImageFile = *path;
        ProcessImageFile();
    }
}

bool TForm1::FileButtonAcceptsDrops() const {
    return BitBtn3->acceptDrops();
}

bool TForm1::FileButtonWndProc(QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter: // a QDragMoveEvent as well
    case QEvent::DragMove: {
        auto* const drag = static_cast<QDragMoveEvent*>(event);
        if (BitBtn3->acceptDrops() && drag->mimeData()->hasUrls())
            drag->acceptProposedAction();
        else
            drag->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto* const drop = static_cast<QDropEvent*>(event);
        const QStringList files = LocalFileNames(drop->mimeData()->urls());
        drop->acceptProposedAction();
        Guard([&] { FilesDropped(files); });
        return true;
    }
    default:
        return false; // everything else takes the button's own way
    }
}

void TForm1::FilesDropped(const QStringList& Files) {
    BitBtn3->setAcceptDrops(false);
    if (!Files.isEmpty()) {
        for (const QString& file : Files)
            if (IsExistingFile(file)) ImageFile = file;
        BitBtn3->setAcceptDrops(true);
        ProcessImageFile();
    } else {
        BitBtn3->setAcceptDrops(true);
    }
}

void TForm1::GetCommandLineFile() {
    for (const QString& argument : FArguments) {
        if (IsExistingFile(argument)) {
            QCoreApplication::processEvents();
            ImageFile = argument;
        }
    }
    if (!FArguments.isEmpty()) ProcessImageFile();
}

void TForm1::Button2Click() {
    Image2->ClearPicture();
    Image5->ClearPicture();
    Image6->ClearPicture();
    ImageFile.clear();
    PictureSource.clear();
    UpdateData(Button2);
    ResizeImage(*Image2, *Image5);
    Image6->SetPicture(Image5->Picture());
}
