// From the current picture to the scaled one: the size settings, scaling, the JPEG file, "Save As"
// and the preview.

#include "app/mainwindow.h"

#include "app/imaging.h"
#include "app/platform/dialogs.h"
#include "app/platform/privatefile.h"
#include "app/preview.h"
#include "app/timage.h"
#include "picture/picture.h"
#include "settings/vreg.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

void TForm1::UpdateData(QObject* Sender) {
    const TImageSettings settings = ParseImageSettings(Edit7->text(), Edit8->text(), Edit9->text());
    MaxWidth = settings.MaxWidth;
    MaxHeight = settings.MaxHeight;
    Quality = settings.Quality;
    SaveData(Sender);
}

void TForm1::ResizeImage(const TImage& Source, TImage& Destination) {
    Destination.ClearPicture();
    const TImageSettings settings{MaxWidth, MaxHeight, Quality};
    const bool keep = CheckBox2->isChecked();
    const bool constrain = CheckBox4->isChecked();
    const QImage scaled = ::ResizeImage(Source.Picture(), Source.size(), settings, keep, constrain);
    // The picture's size: the computed one, at least 1 x 1.
    Destination.SetAutoSize(false);
    Destination.resize(scaled.size());
    Destination.SetPicture(scaled);
}

void TForm1::SaveToFile(const TImage& Image, const QString& Path) const {
    // Created anew, never written through a link someone left at the name.
    privatefile::WriteNewFile(Path, EncodeJpeg(Image.Picture(), Quality));
}

QString TForm1::CreateFilename(const QString& Name) const {
    // An installed program's folder is not the user's to write in: the user's cache folder then.
    return ::CreateFilename(privatefile::TempFolder(QString::fromStdString(VReg1->AppDir())), Name);
}

void TForm1::SavePicture() {
    TDialogs::SaveRequest request;
    request.Title = QStringLiteral("Save Picture");
    request.DefaultExt = QStringLiteral("jpg");
    request.Filter = QStringLiteral("JPEG-Format (*.jpg);;BMP-Format (Windows) (*.bmp)");
    const auto answer = FDialogs.SaveFile(this, request);
    if (!answer) return;
    if (answer->FilterIndex == 2)
        WriteBitmap(Image5->Picture(), answer->Path);
    else
        WriteJpeg(Image5->Picture(), answer->Path, Quality);
}

void TForm1::PageControl1Change(int Index) {
    if (Index != 3) return;
    UpdateData(PageControl1);
    ResizeImage(*Image2, *Image5);
    Image6->SetPicture(Image5->Picture());
}

void TForm1::BitBtn4Click() {
    UpdateData(BitBtn4);
    ResizeImage(*Image2, *Image5);
    Form2->Image1->resize(Image5->size());
    Form2->Image1->SetPicture(Image5->Picture());
    Form2->ShowModal();
}
