// The Data Source Manager: DSM_Entry, the TWAIN states of the application's session and of its
// one open source, and the SANE scans behind them. Every call comes from the user-interface
// thread; device searches and scans run on worker threads and report back through queued calls.

#include "twain/dsm/dialogs.h"
#include "twain/dsm/dsm_extensions.h"
#include "twain/dsm/sane_scanner.h"
#include "twain/profile.h"
#include "twain/twain_memory.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLoggingCategory>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <optional>

namespace dsm {
namespace {

Q_LOGGING_CATEGORY(lcDsm, "imglift.twain.dsm", QtInfoMsg)

constexpr TW_UINT32 kApplicationId = 1;
constexpr std::size_t kNameChars = 32; // a TW_STR32 without its terminator
constexpr int kDefaultDpi = 150;
// A scan without the source's dialog shows its progress only when it takes longer than this.
constexpr int kProgressDelayMs = 400;

int SourceEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

// What the source tells the application; `serial` ties it to one enabling of one source, so a
// late event of an earlier scan is swallowed instead of acted on.
class SourceEvent : public QEvent {
public:
    SourceEvent(TW_UINT16 message, quint64 serial)
        : QEvent(static_cast<QEvent::Type>(SourceEventType())), message(message), serial(serial) {}
    const TW_UINT16 message;
    const quint64 serial;
};

quint64 NextSerial() {
    static quint64 serial = 0;
    return ++serial;
}

struct Condition {
    TW_UINT16 code = TWCC_SUCCESS;
    TW_UINT16 saneStatus = 0;
    std::string text;
};

Condition FromSane(const SaneError& e) {
    TW_UINT16 code = TWCC_IMGLIFT_SANE;
    switch (e.status()) {
    case SANE_STATUS_DEVICE_BUSY:
        code = TWCC_MAXCONNECTIONS;
        break;
    case SANE_STATUS_JAMMED:
        code = TWCC_PAPERJAM;
        break;
    case SANE_STATUS_NO_MEM:
        code = TWCC_LOWMEMORY;
        break;
    case SANE_STATUS_IO_ERROR:
        code = TWCC_BUMMER;
        break;
    default:
        break;
    }
    return {code, static_cast<TW_UINT16>(e.status()), e.what()};
}

void CopyName(char* field, std::size_t fieldSize, const std::string& text) {
    std::memset(field, 0, fieldSize);
    std::memcpy(field, text.data(), std::min(text.size(), fieldSize - 2));
}

std::string NameIn(const char* field, std::size_t fieldSize) {
    return std::string(field, strnlen(field, fieldSize));
}

std::string ProductNameOf(const SaneDevice& d) {
    return d.name.substr(0, kNameChars);
}

QString SettingsSection(const std::string& device) {
    return "Scanner " + QString::fromStdString(device);
}

// A std::thread that is joined when it goes.
class Worker {
public:
    Worker() = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { join(); }
    template <class F> void start(F&& f) {
        join();
        thread_ = std::thread(std::forward<F>(f));
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

// Result failure: the call answers TWRC_FAILURE with this condition.
struct Fail {
    Condition condition;
};

Fail Failure(TW_UINT16 code) {
    return {{code, 0, {}}};
}

class Source : public QObject {
public:
    Source(const SaneDevice& device, const TW_IDENTITY& identity)
        : identity(identity), device(device), scanner(device.name) {
        connect(&progressTimer_, &QTimer::timeout, this, [this] {
            if (dialog_) dialog_->setProgress(progress_);
        });
        progressDelay_.setSingleShot(true);
        progressDelay_.setInterval(kProgressDelayMs);
        connect(&progressDelay_, &QTimer::timeout, this, [this] {
            if (!scanning_ || dialog_) return;
            openDialog({});
            dialog_->setScanning(true);
            dialog_->setProgress(progress_);
        });
    }
    ~Source() override {
        stop();
        closeDialog();
    }

    TW_IDENTITY identity;
    const SaneDevice device;
    SaneScanner scanner;
    int state = 4;
    Condition condition;
    quint64 serial = NextSerial();

    void enable(const TW_USERINTERFACE& ui, QObject* fallbackTarget);
    void disable() {
        stop();
        closeDialog();
        serial = NextSerial();
        outcome_ = Outcome::None;
        image_.reset();
        state = 4;
    }
    TW_UINT16 transfer(TW_HANDLE* out);
    void endTransfer() {
        image_.reset();
        outcome_ = Outcome::None;
        state = 5;
    }

private:
    enum class Outcome { None, Image, Cancelled, Failed };

    ScanSettings remembered();
    void openDialog(const ScanSettings& settings);
    void startScan(const ScanSettings& s);
    void scanEnded(quint64 scanSerial);
    void cancelPressed();
    void post(TW_UINT16 message) {
        QCoreApplication::postEvent(target_ ? target_.data() : QCoreApplication::instance(),
                                    new SourceEvent(message, serial));
    }
    void stop() {
        if (scanning_) scanner.cancel();
        worker_.join();
        scanning_ = false;
        progressTimer_.stop();
        progressDelay_.stop();
    }
    void closeDialog() {
        if (dialog_) {
            dialog_->hide();
            dialog_->deleteLater();
        }
        dialog_ = nullptr;
    }

    QPointer<QObject> target_;
    QPointer<SourceDialog> dialog_;
    bool showUI_ = false;
    bool modal_ = false;
    bool scanning_ = false;
    bool closeRequested_ = false;
    Worker worker_;
    std::atomic<int> progress_{0};
    QTimer progressTimer_;
    QTimer progressDelay_;
    // Written by the worker, read after it has been joined.
    Outcome outcome_ = Outcome::None;
    TwGlobalBlock image_;
    Condition failure_;
};

ScanSettings Source::remembered() {
    const QString section = SettingsSection(device.name);
    ScanSettings s{GetProfileString(section, "Mode").toStdString(),
                   GetProfileString(section, "Resolution").toInt()};
    const auto modes = scanner.modes();
    if (std::find(modes.begin(), modes.end(), s.mode) == modes.end()) s.mode = ColourMode(modes);
    if (s.dpi <= 0) s.dpi = kDefaultDpi;
    return s;
}

void Source::enable(const TW_USERINTERFACE& ui, QObject* fallbackTarget) {
    target_ = ui.hParent ? static_cast<QObject*>(ui.hParent) : fallbackTarget;
    showUI_ = ui.ShowUI != 0;
    modal_ = ui.ModalUI != 0;
    closeRequested_ = false;
    outcome_ = Outcome::None;
    const ScanSettings settings = remembered();
    state = 5;
    if (showUI_) {
        openDialog(settings);
        return;
    }
    startScan(settings);
    if (scanning_) progressDelay_.start();
}

void Source::openDialog(const ScanSettings& settings) {
    QWidget* parent = qobject_cast<QWidget*>(target_.data());
    const QString title = QString::fromStdString(
        device.vendor.empty() ? device.name : device.vendor + " " + device.model);
    // Without a parent widget nothing else owns the dialog; closeDialog() deletes it either way.
    dialog_ = showUI_ ? new SourceDialog(parent, title, true, scanner.modes(), settings.mode,
                                         scanner.resolutions(), settings.dpi)
                      : new SourceDialog(parent, title, false, {}, {}, {}, 0);
    dialog_->setWindowModality(modal_ ? Qt::ApplicationModal : Qt::NonModal);
    dialog_->onCancel = [this] { cancelPressed(); };
    dialog_->onScan = [this] {
        const ScanSettings s{dialog_->mode(), dialog_->dpi()};
        const QString section = SettingsSection(device.name);
        try {
            WriteProfileString(section, "Mode", QString::fromStdString(s.mode));
            WriteProfileString(section, "Resolution", QString::number(s.dpi));
        } catch (const std::exception&) {
            // Not remembering the choice must not stop the scan.
        }
        startScan(s);
    };
    dialog_->show();
}

void Source::startScan(const ScanSettings& s) {
    if (scanning_) return;
    scanning_ = true;
    scanner.clearCancel();
    progress_ = 0;
    if (dialog_) dialog_->setScanning(true);
    progressTimer_.start(100);
    const quint64 scanSerial = serial;
    try {
        worker_.start([this, s, scanSerial] {
            Outcome outcome = Outcome::Failed;
            try {
                scanner.prepare(s);
                image_ = scanner.scan(progress_);
                outcome = Outcome::Image;
            } catch (const SaneError& e) {
                if (e.status() == SANE_STATUS_CANCELLED)
                    outcome = Outcome::Cancelled;
                else
                    failure_ = FromSane(e);
            } catch (const std::bad_alloc&) {
                failure_ = {TWCC_LOWMEMORY, 0, {}};
            } catch (const std::exception& e) {
                failure_ = {TWCC_BUMMER, 0, e.what()};
            }
            outcome_ = outcome;
            QMetaObject::invokeMethod(
                this, [this, scanSerial] { scanEnded(scanSerial); }, Qt::QueuedConnection);
        });
    } catch (const std::exception& e) {
        // No thread to scan on: report it as the scan's failure.
        scanning_ = false;
        progressTimer_.stop();
        outcome_ = Outcome::Failed;
        failure_ = {TWCC_LOWMEMORY, 0, e.what()};
        if (dialog_) dialog_->hide();
        post(MSG_XFERREADY);
    }
}

void Source::scanEnded(quint64 scanSerial) {
    if (scanSerial != serial || !scanning_) return; // disabled meanwhile
    worker_.join();
    scanning_ = false;
    progressTimer_.stop();
    progressDelay_.stop();
    if (outcome_ == Outcome::Cancelled) {
        outcome_ = Outcome::None;
        if (dialog_) dialog_->setScanning(false);
        if (!showUI_ || closeRequested_) post(MSG_CLOSEDSREQ);
        return;
    }
    // An image, or a failure that the transfer reports as the source's condition.
    if (dialog_) dialog_->hide();
    post(MSG_XFERREADY);
}

void Source::cancelPressed() {
    if (scanning_) {
        scanner.cancel();
        if (!showUI_) closeRequested_ = true;
        return;
    }
    if (!closeRequested_) {
        closeRequested_ = true;
        post(MSG_CLOSEDSREQ);
    }
}

TW_UINT16 Source::transfer(TW_HANDLE* out) {
    switch (outcome_) {
    case Outcome::Image: {
        *out = image_.release();
        outcome_ = Outcome::None;
        state = 7;
        return TWRC_XFERDONE;
    }
    case Outcome::Failed: {
        // The scan is over: back to state 5 and ask to be closed, so the application does not
        // wait for a transfer that never comes.
        const Condition c = failure_;
        outcome_ = Outcome::None;
        state = 5;
        post(MSG_CLOSEDSREQ);
        throw Fail{c};
    }
    default:
        state = 7;
        return TWRC_CANCEL;
    }
}

class Manager {
public:
    TW_UINT16 entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                    TW_UINT16 msg, TW_MEMREF data);

private:
    TW_UINT16 control(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT16 dat, TW_UINT16 msg,
                      TW_MEMREF data);
    TW_UINT16 identity(TW_UINT16 msg, TW_IDENTITY* id);
    TW_UINT16 toSource(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 status(pTW_IDENTITY dest, TW_UINT16 dat, TW_MEMREF data);
    TW_IDENTITY identityOf(const SaneDevice& d);
    void openSource(TW_IDENTITY* id);
    std::string defaultSource() const {
        return sessionDefault_ ? *sessionDefault_
                               : GetProfileString("TWAIN", "DEFAULT SOURCE").toStdString();
    }
    void requireOpen() const {
        if (!open_) throw Failure(TWCC_SEQERROR);
    }
    template <class T> static T* need(TW_MEMREF data) {
        if (!data) throw Failure(TWCC_BADVALUE);
        return static_cast<T*>(data);
    }

    bool open_ = false;
    std::unique_ptr<SaneUse> sane_;
    QPointer<QObject> parent_;
    std::unique_ptr<Source> source_;
    Condition condition_;
    std::map<std::string, TW_UINT32> ids_;
    std::map<std::string, SaneDevice> known_; // vendor and model of devices met so far
    std::vector<SaneDevice> listed_;
    std::size_t next_ = 0;
    // The user's choice in this session; it counts even when the profile cannot keep it.
    std::optional<std::string> sessionDefault_;
};

TW_IDENTITY Manager::identityOf(const SaneDevice& d) {
    if (!d.vendor.empty() || !d.model.empty()) known_[d.name] = d;
    TW_IDENTITY id{};
    auto [it, added] = ids_.try_emplace(d.name, static_cast<TW_UINT32>(ids_.size() + 2));
    id.Id = it->second;
    id.Version.MajorNum = 1;
    id.Version.Language = 13; // American English
    id.Version.Country = 1;
    CopyName(id.Version.Info, sizeof id.Version.Info, "SANE " + d.name);
    id.ProtocolMajor = 1;
    id.ProtocolMinor = 7;
    id.SupportedGroups = DG_CONTROL | DG_IMAGE;
    CopyName(id.Manufacturer, sizeof id.Manufacturer, d.vendor);
    CopyName(id.ProductFamily, sizeof id.ProductFamily, d.model);
    CopyName(id.ProductName, sizeof id.ProductName, ProductNameOf(d));
    return id;
}

TW_UINT16 Manager::entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                         TW_UINT16 msg, TW_MEMREF data) {
    try {
        if (!origin) throw Failure(TWCC_BADVALUE);
        if (dg == DG_CONTROL && (dat == DAT_STATUS || dat == DAT_IMGLIFT_STATUSTEXT))
            return status(dest, dat, data);
        if (dg == DG_CONTROL && !dest) return control(origin, dest, dat, msg, data);
        requireOpen();
        if (!source_ || !dest || dest->Id != source_->identity.Id) throw Failure(TWCC_BADDEST);
        try {
            if (dg == DG_CONTROL) return toSource(dat, msg, data);
            if (dg == DG_IMAGE && dat == DAT_IMAGENATIVEXFER && msg == MSG_GET) {
                if (source_->state != 6) throw Failure(TWCC_SEQERROR);
                return source_->transfer(need<TW_HANDLE>(data));
            }
            throw Failure(TWCC_BADPROTOCOL);
        } catch (const Fail& f) {
            if (source_) source_->condition = f.condition;
            throw;
        }
    } catch (const Fail& f) {
        condition_ = f.condition;
    } catch (const std::bad_alloc&) {
        condition_ = {TWCC_LOWMEMORY, 0, {}};
    } catch (const std::exception& e) {
        condition_ = {TWCC_BUMMER, 0, e.what()};
    }
    return TWRC_FAILURE;
}

TW_UINT16 Manager::status(pTW_IDENTITY dest, TW_UINT16 dat, TW_MEMREF data) {
    Condition* c = &condition_;
    if (dest) {
        if (!source_ || dest->Id != source_->identity.Id) throw Failure(TWCC_BADDEST);
        c = &source_->condition;
    }
    if (dat == DAT_IMGLIFT_STATUSTEXT) {
        auto* text = need<char>(data);
        CopyName(text, sizeof(TW_STR255), c->text);
        return TWRC_SUCCESS;
    }
    auto* st = need<TW_STATUS>(data);
    st->ConditionCode = c->code;
    st->Reserved = c->saneStatus;
    c->code = TWCC_SUCCESS;
    c->saneStatus = 0;
    return TWRC_SUCCESS;
}

TW_UINT16 Manager::control(pTW_IDENTITY origin, pTW_IDENTITY, TW_UINT16 dat, TW_UINT16 msg,
                           TW_MEMREF data) {
    if (dat == DAT_PARENT && msg == MSG_OPENDSM) {
        if (open_) throw Failure(TWCC_SEQERROR);
        auto* parent = need<TW_HANDLE>(data);
        sane_ = std::make_unique<SaneUse>();
        parent_ = static_cast<QObject*>(*parent);
        origin->Id = kApplicationId;
        open_ = true;
        return TWRC_SUCCESS;
    }
    if (dat == DAT_PARENT && msg == MSG_CLOSEDSM) {
        requireOpen();
        if (source_) throw Failure(TWCC_SEQERROR);
        open_ = false;
        listed_.clear();
        sessionDefault_.reset();
        sane_.reset();
        return TWRC_SUCCESS;
    }
    if (dat == DAT_IDENTITY) {
        requireOpen();
        return identity(msg, need<TW_IDENTITY>(data));
    }
    throw Failure(TWCC_BADPROTOCOL);
}

TW_UINT16 Manager::identity(TW_UINT16 msg, TW_IDENTITY* id) {
    try {
        switch (msg) {
        case MSG_GETFIRST:
            listed_ = SearchAndWait();
            next_ = 0;
            [[fallthrough]];
        case MSG_GETNEXT:
            if (next_ >= listed_.size()) return TWRC_ENDOFLIST;
            *id = identityOf(listed_[next_++]);
            return TWRC_SUCCESS;
        case MSG_GETDEFAULT: {
            // Answered from the remembered name: a device search can take seconds, and the
            // selection dialog that usually follows makes its own. Nothing remembered yet is an
            // empty identity, which opens the first device found.
            const std::string stored = defaultSource();
            if (stored.empty()) {
                *id = TW_IDENTITY{};
                return TWRC_SUCCESS;
            }
            const auto it = known_.find(stored);
            *id = identityOf(it != known_.end() ? it->second : SaneDevice{stored, "", ""});
            return TWRC_SUCCESS;
        }
        case MSG_USERSELECT: {
            if (source_) throw Failure(TWCC_SEQERROR);
            SelectSourceDialog dialog(
                qobject_cast<QWidget*>(parent_.data()),
                QString::fromStdString(NameIn(id->ProductName, sizeof id->ProductName)),
                [](const SaneDevice& d) { return QString::fromStdString(ProductNameOf(d)); });
            if (dialog.exec() != QDialog::Accepted) return TWRC_CANCEL;
            *id = identityOf(dialog.chosen());
            const std::string name = ProductNameOf(dialog.chosen());
            sessionDefault_ = name;
            try {
                WriteProfileString("TWAIN", "DEFAULT SOURCE", QString::fromStdString(name));
            } catch (const std::exception& e) {
                qCWarning(lcDsm) << "the choice of" << name.c_str()
                                 << "holds for this session only:" << e.what();
            }
            return TWRC_SUCCESS;
        }
        case MSG_OPENDS:
            openSource(id);
            return TWRC_SUCCESS;
        case MSG_CLOSEDS:
            if (!source_ || id->Id != source_->identity.Id) throw Failure(TWCC_NODS);
            if (source_->state != 4) throw Failure(TWCC_SEQERROR);
            source_.reset();
            return TWRC_SUCCESS;
        default:
            throw Failure(TWCC_BADPROTOCOL);
        }
    } catch (const SaneError& e) {
        throw Fail{FromSane(e)};
    }
}

void Manager::openSource(TW_IDENTITY* id) {
    if (source_) throw Failure(TWCC_SEQERROR);
    const std::string wanted = NameIn(id->ProductName, sizeof id->ProductName);
    const bool useDefault = id->Id == 0 && wanted.empty();
    const std::string name = useDefault ? defaultSource() : wanted;
    // The device list can take seconds; a name that was not cut to fit is the device's own.
    std::optional<SaneDevice> device;
    if (!name.empty() && name.size() < kNameChars) {
        try {
            const auto it = known_.find(name);
            device = it != known_.end() ? it->second : SaneDevice{name, "", ""};
            source_ = std::make_unique<Source>(*device, identityOf(*device));
        } catch (const SaneError& e) {
            if (e.status() != SANE_STATUS_INVAL) throw;
            device.reset();
        }
    }
    if (!source_) {
        const auto devices = SearchAndWait();
        const auto it = std::find_if(devices.begin(), devices.end(), [&](const SaneDevice& d) {
            return ProductNameOf(d) == name ||
                   (!useDefault && wanted.empty() && ids_.count(d.name) && ids_[d.name] == id->Id);
        });
        if (it != devices.end())
            device = *it;
        else if (useDefault && !devices.empty())
            device = devices.front();
        else
            throw Failure(TWCC_NODS);
        source_ = std::make_unique<Source>(*device, identityOf(*device));
    }
    *id = source_->identity;
}

TW_UINT16 Manager::toSource(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    Source& s = *source_;
    if (dat == DAT_EVENT && msg == MSG_PROCESSEVENT) {
        auto* ev = need<TW_EVENT>(data);
        ev->TWMessage = MSG_NULL;
        auto* qe = static_cast<QEvent*>(ev->pEvent);
        if (!qe || qe->type() != SourceEventType()) return TWRC_NOTDSEVENT;
        const auto* se = static_cast<const SourceEvent*>(qe);
        if (se->serial != s.serial || s.state < 5) return TWRC_DSEVENT; // from an earlier scan
        if (se->message == MSG_XFERREADY) {
            if (s.state != 5) return TWRC_DSEVENT;
            s.state = 6;
        }
        ev->TWMessage = se->message;
        return TWRC_DSEVENT;
    }
    if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS) {
        auto* ui = need<TW_USERINTERFACE>(data);
        if (s.state != 4) throw Failure(TWCC_SEQERROR);
        s.enable(*ui, parent_.data());
        return TWRC_SUCCESS;
    }
    if (dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS) {
        if (s.state != 5) throw Failure(TWCC_SEQERROR);
        s.disable();
        return TWRC_SUCCESS;
    }
    if (dat == DAT_PENDINGXFERS && (msg == MSG_ENDXFER || msg == MSG_RESET)) {
        auto* pending = need<TW_PENDINGXFERS>(data);
        if (s.state != 6 && s.state != 7) throw Failure(TWCC_SEQERROR);
        s.endTransfer();
        pending->Count = 0;
        return TWRC_SUCCESS;
    }
    if (dat == DAT_CAPABILITY && msg == MSG_SET) {
        auto* cap = need<TW_CAPABILITY>(data);
        if (s.state != 4) throw Failure(TWCC_SEQERROR);
        if (cap->Cap != ICAP_XFERMECH) throw Failure(TWCC_CAPUNSUPPORTED);
        const TwGlobalLocked locked(cap->hContainer);
        if (cap->ConType != TWON_ONEVALUE || !locked ||
            TwGlobalSize(cap->hContainer) < sizeof(TW_ONEVALUE))
            throw Failure(TWCC_BADVALUE);
        TW_ONEVALUE one;
        std::memcpy(&one, locked.data(), sizeof one);
        if (one.ItemType != TWTY_UINT16 || one.Item != TWSX_NATIVE) throw Failure(TWCC_BADVALUE);
        return TWRC_SUCCESS;
    }
    throw Failure(TWCC_BADPROTOCOL);
}

Manager& TheManager() {
    static Manager manager;
    return manager;
}

} // namespace
} // namespace dsm

extern "C" __attribute__((visibility("default"))) TW_UINT16
DSM_Entry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
          TW_MEMREF pData) {
    return dsm::TheManager().entry(pOrigin, pDest, DG, DAT, MSG, pData);
}
