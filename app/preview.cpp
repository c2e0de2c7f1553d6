#include "app/preview.h"

#include "app/timage.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

// The empty part of the scrolled area closes the window like the picture does.
class TBackground : public QWidget {
public:
    TBackground(TForm2* Form) : QWidget(nullptr), FForm(Form) {}

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) FForm->FormClick();
    }

private:
    TForm2* FForm;
};

} // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Preview"));
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    setFont(font);
    resize(552, 426);
    setModal(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    FScroll = new QScrollArea(this);
    FScroll->setFrameShape(QFrame::NoFrame);
    FScroll->setWidgetResizable(false);
    FScroll->setPalette(white);
    auto* const layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FScroll);

    auto* const ground = new TBackground(this);
    ground->setPalette(white);
    ground->setAutoFillBackground(true);
    Image1 = new TImage(ground);
    Image1->setGeometry(0, 0, 33, 33);
    Image1->OnClick = [this] { Image1Click(); };
    ground->resize(Image1->size());
    FScroll->setWidget(ground);
}

void TForm2::ShowModal() {
    // The ground grows with the picture, so the scroll bars follow its real size.
    QWidget* const ground = FScroll->widget();
    ground->resize(Image1->size().expandedTo(FScroll->viewport()->size()));
    if (QScreen* const screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    exec();
}

void TForm2::FormClick() {
    close();
}

void TForm2::Image1Click() {
    close();
}

void TForm2::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) FormClick();
    QDialog::mouseReleaseEvent(event);
}
