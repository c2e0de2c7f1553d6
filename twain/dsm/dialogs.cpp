#include "twain/dsm/dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace dsm {

DeviceSearch::~DeviceSearch() {
    if (thread_.joinable()) thread_.join();
}

void DeviceSearch::start() {
    const std::lock_guard lock(m_);
    if (running_) return;
    if (thread_.joinable()) thread_.join();
    running_ = true;
    result_ = {};
    thread_ = std::thread([this] {
        Result r;
        try {
            const SaneUse use;
            r.devices = ListDevices();
        } catch (const SaneError& e) {
            r.error = e.what();
            r.status = e.status();
        } catch (const std::exception& e) {
            r.error = e.what();
            r.status = SANE_STATUS_NO_MEM;
        }
        r.done = true;
        const std::lock_guard lock(m_);
        result_ = std::move(r);
        running_ = false;
    });
}

DeviceSearch::Result DeviceSearch::poll() {
    const std::lock_guard lock(m_);
    return result_;
}

DeviceSearch& TheDeviceSearch() {
    static DeviceSearch search;
    return search;
}

std::vector<SaneDevice> SearchAndWait() {
    DeviceSearch& search = TheDeviceSearch();
    search.start();
    DeviceSearch::Result r = search.poll();
    if (!r.done) {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            r = search.poll();
            if (r.done) loop.quit();
        });
        poll.start(30);
        loop.exec();
        // exec() returns at once once the application quits; the search goes on alone.
        if (!r.done)
            throw SaneError(SANE_STATUS_CANCELLED, "The search for scanners was cut short.");
    }
    if (!r.error.empty()) throw SaneError(r.status, r.error);
    return std::move(r.devices);
}

SelectSourceDialog::SelectSourceDialog(QWidget* parent, const QString& preselect, NameOf nameOf)
    : QDialog(parent), nameOf_(std::move(nameOf)), preselect_(preselect) {
    setWindowTitle(tr("Select Source"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Sources:"), this));
    list_ = new QListWidget(this);
    list_->setObjectName("sourceList");
    layout->addWidget(list_);
    status_ = new QLabel(tr("Searching for devices..."), this);
    layout->addWidget(status_);
    auto* buttons = new QDialogButtonBox(this);
    select_ = buttons->addButton(tr("&Select"), QDialogButtonBox::AcceptRole);
    select_->setObjectName("selectButton");
    select_->setEnabled(false);
    QPushButton* cancel = buttons->addButton(tr("&Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName("cancelButton");
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        chosen_ = list_->currentRow();
        if (chosen_ >= 0) accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] {
        chosen_ = list_->currentRow();
        accept();
    });
    connect(list_, &QListWidget::currentRowChanged, this,
            [this](int row) { select_->setEnabled(row >= 0); });
    connect(&timer_, &QTimer::timeout, this, &SelectSourceDialog::poll);
    TheDeviceSearch().start();
    timer_.start(50);
}

void SelectSourceDialog::poll() {
    DeviceSearch::Result r = TheDeviceSearch().poll();
    if (!r.done) return;
    timer_.stop();
    devices_ = std::move(r.devices);
    int current = devices_.empty() ? -1 : 0;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const SaneDevice& d = devices_[i];
        const QString name = nameOf_(d);
        list_->addItem(QString::fromStdString(d.vendor + " " + d.model) + "  (" + name + ")");
        if (name == preselect_) current = static_cast<int>(i);
    }
    list_->setCurrentRow(current);
    status_->setText(!r.error.empty()   ? QString::fromStdString(r.error)
                     : devices_.empty() ? tr("No scanner was found.")
                                        : QString());
}

SourceDialog::SourceDialog(QWidget* parent, const QString& title, bool withSettings,
                           const std::vector<std::string>& modes, const std::string& mode,
                           const std::vector<int>& resolutions, int dpi)
    : QDialog(parent), withSettings_(withSettings) {
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    if (withSettings) {
        auto* form = new QFormLayout;
        mode_ = new QComboBox(this);
        mode_->setObjectName("modeBox");
        for (const auto& m : modes)
            mode_->addItem(QString::fromStdString(m));
        mode_->setCurrentText(QString::fromStdString(mode));
        form->addRow(tr("Colour &mode:"), mode_);
        resolution_ = new QComboBox(this);
        resolution_->setObjectName("resolutionBox");
        for (const int r : resolutions)
            resolution_->addItem(tr("%1 dpi").arg(r), r);
        const int at = resolution_->findData(dpi);
        resolution_->setCurrentIndex(at >= 0 ? at : 0);
        form->addRow(tr("&Resolution:"), resolution_);
        layout->addLayout(form);
    }
    progress_ = new QProgressBar(this);
    progress_->setObjectName("progressBar");
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setVisible(!withSettings);
    layout->addWidget(progress_);
    auto* buttons = new QDialogButtonBox(this);
    if (withSettings) {
        scan_ = buttons->addButton(tr("&Scan"), QDialogButtonBox::AcceptRole);
        scan_->setObjectName("scanButton");
        scan_->setDefault(true);
        connect(scan_, &QPushButton::clicked, this, [this] {
            if (onScan) onScan();
        });
    }
    QPushButton* cancel = buttons->addButton(tr("&Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName("cancelButton");
    connect(cancel, &QPushButton::clicked, this, &SourceDialog::reject);
    layout->addWidget(buttons);
}

std::string SourceDialog::mode() const {
    return mode_ ? mode_->currentText().toStdString() : std::string();
}

int SourceDialog::dpi() const {
    return resolution_ ? resolution_->currentData().toInt() : 0;
}

void SourceDialog::setScanning(bool scanning) {
    if (withSettings_) {
        mode_->setEnabled(!scanning);
        resolution_->setEnabled(!scanning);
        scan_->setEnabled(!scanning);
        progress_->setVisible(scanning);
    }
    progress_->setValue(0);
}

void SourceDialog::setProgress(int permille) {
    progress_->setValue(permille);
}

void SourceDialog::reject() {
    if (onCancel) onCancel();
}

} // namespace dsm
