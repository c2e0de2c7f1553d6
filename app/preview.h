#pragma once

#include <QDialog>

class QScrollArea;
class TImage;

// Shows the scaled picture at its real size; a click anywhere closes it.
class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);

    TImage* Image1;

    // Shows the window modally and returns when it is closed.
    void ShowModal();
    void FormClick();
    void Image1Click();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QScrollArea* FScroll;
};
