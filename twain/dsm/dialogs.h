#pragma once

// The manager's two windows: the source selection and a source's scan dialog.

#include "twain/dsm/sane_scanner.h"

#include <QDialog>
#include <QTimer>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace dsm {

// One device search on a worker thread. The thread holds its own SaneUse, so it may outlive the
// dialog and even the manager's open session; a new search while one still runs waits for that
// one's answer instead of starting a second.
class DeviceSearch {
public:
    struct Result {
        bool done = false;
        std::vector<SaneDevice> devices;
        std::string error;
        SANE_Status status = SANE_STATUS_GOOD;
    };
    ~DeviceSearch();
    void start();
    Result poll();

private:
    std::mutex m_;
    std::thread thread_;
    Result result_;
    bool running_ = false;
};

DeviceSearch& TheDeviceSearch();

// A search whose answer the caller needs before it can go on: the window keeps being painted and
// its timers keep running meanwhile. Throws SaneError when the search fails, and when the
// application quits before it answers.
std::vector<SaneDevice> SearchAndWait();

// The modal selection dialog. Opens at once and fills in when the search answers.
class SelectSourceDialog : public QDialog {
public:
    // ProductName of a device, as its identity carries it.
    using NameOf = std::function<QString(const SaneDevice&)>;
    SelectSourceDialog(QWidget* parent, const QString& preselect, NameOf nameOf);
    // The chosen device after exec() returned Accepted.
    const SaneDevice& chosen() const { return devices_.at(static_cast<std::size_t>(chosen_)); }

private:
    void poll();

    NameOf nameOf_;
    QString preselect_;
    QListWidget* list_;
    QLabel* status_;
    QPushButton* select_;
    QTimer timer_;
    std::vector<SaneDevice> devices_;
    int chosen_ = -1;
};

// A source's dialog: mode, resolution, progress, Scan and Cancel. Without settings it is only the
// progress of a scan with Cancel. Closing the window counts as Cancel; the owner decides whether
// it goes away.
class SourceDialog : public QDialog {
public:
    SourceDialog(QWidget* parent, const QString& title, bool withSettings,
                 const std::vector<std::string>& modes, const std::string& mode,
                 const std::vector<int>& resolutions, int dpi);
    std::function<void()> onScan;
    std::function<void()> onCancel;
    std::string mode() const;
    int dpi() const;
    void setScanning(bool scanning);
    void setProgress(int permille);

protected:
    void reject() override;

private:
    bool withSettings_;
    QComboBox* mode_ = nullptr;
    QComboBox* resolution_ = nullptr;
    QProgressBar* progress_;
    QPushButton* scan_ = nullptr;
};

} // namespace dsm
