// The Data Source Manager driven as the program drives it: dlopen, DSM_Entry, events handed back
// through MSG_PROCESSEVENT, scans from SANE's test backend.

#include "support/test_support.h"
#include "twain/dsm/dsm_extensions.h"
#include "twain/profile.h"
#include "twain/twain.h"
#include "twain/twain_memory.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

using testsupport::PumpUntil;

class Library {
public:
    Library() : handle_(dlopen(DSM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
        if (handle_) entry = reinterpret_cast<DSMENTRYPROC>(dlsym(handle_, "DSM_Entry"));
    }
    ~Library() {
        if (handle_) dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    DSMENTRYPROC entry = nullptr;

private:
    void* handle_;
};

// Hands every event of the parent to MSG_PROCESSEVENT, as the component's hook does.
class EventHook : public QObject {
public:
    std::function<TW_UINT16(TW_EVENT&)> process;
    std::vector<TW_UINT16> messages;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (!process) return false;
        TW_EVENT ev{e, MSG_NULL};
        const TW_UINT16 rc = process(ev);
        if (rc == TWRC_DSEVENT && ev.TWMessage != MSG_NULL) messages.push_back(ev.TWMessage);
        return rc != TWRC_NOTDSEVENT;
    }
};

struct Dib {
    BITMAPINFOHEADER header{};
    std::vector<std::uint8_t> bytes;
    std::size_t stride() const {
        return (static_cast<std::size_t>(header.biWidth) * header.biBitCount + 31) / 32 * 4;
    }
};

// Calls `act` with the first visible window that has a child of that name, polling while the
// caller's event loop (a modal dialog's) runs; rejects every dialog if none turns up.
void WhenWindow(const char* childName, std::function<void(QWidget*)> act, int triesLeft = 250) {
    QTimer::singleShot(triesLeft == 250 ? 0 : 20, [=] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->findChild<QWidget*>(childName)) {
                act(w);
                return;
            }
        if (triesLeft > 0) return WhenWindow(childName, act, triesLeft - 1);
        ADD_FAILURE() << "no window with " << childName;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible())
                d->done(QDialog::Rejected);
    });
}

QWidget* VisibleWindowWith(const char* childName) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->findChild<QWidget*>(childName)) return w;
    return nullptr;
}

class DsmTest : public ::testing::Test {
protected:
    // SANE reads its configuration folder's name once per process, but the test backend reads
    // its test.conf each time SANE starts: a copy of the folder lets a test change the backend.
    static void SetUpTestSuite() {
#ifdef SANE_TEST_BACKEND
        // Kept loaded after SANE lets it go, so that its leaks can be told from ours.
        static void* const backend = dlopen(SANE_TEST_BACKEND, RTLD_LAZY | RTLD_LOCAL);
        ASSERT_NE(backend, nullptr) << dlerror();
#endif
        if (saneDir_) return; // repeated runs: SANE keeps the folder it read first
        saneDir_ = std::make_unique<QTemporaryDir>();
        const QString from = qEnvironmentVariable("SANE_CONFIG_DIR");
        for (const char* name : {"dll.conf", "test.conf"})
            QFile::copy(from + "/" + name, saneDir_->filePath(name));
        qputenv("SANE_CONFIG_DIR", saneDir_->path().toUtf8());
    }
    static void writeTestConf(const QByteArray& extra) {
        QFile conf(saneDir_->filePath("test.conf"));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // Defaults spelt out: a backend kept loaded keeps the options of its last configuration.
        conf.write("test-picture \"Color pattern\"\nread-delay false\n"
                   "read-status-code \"Default\"\n" +
                   extra);
    }

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("IMGLIFT_TWAIN_INI", dir_.filePath("twain.ini").toUtf8());
        ASSERT_NE(lib_.entry, nullptr) << dlerror();
        std::strcpy(app_.ProductName, "dsm test");
        parent_.installEventFilter(&hook_);
        hook_.process = [this](TW_EVENT& ev) -> TW_UINT16 {
            return src_.Id ? call(&src_, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &ev)
                           : TWRC_NOTDSEVENT;
        };
        openManager();
    }
    void TearDown() override {
        if (src_.Id) {
            TW_PENDINGXFERS pending{};
            call(&src_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
            TW_USERINTERFACE ui{};
            call(&src_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
            call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &src_);
        }
        closeManager();
        testsupport::PumpFor(30); // the dialogs go with deleteLater
    }

    TW_UINT16 call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
        return lib_.entry(&app_, dest, dg, dat, msg, data);
    }
    void openManager() {
        TW_HANDLE parent = &parent_;
        ASSERT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent), TWRC_SUCCESS);
    }
    void closeManager() {
        TW_HANDLE parent = &parent_;
        EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent), TWRC_SUCCESS);
    }
    TW_UINT16 condition(pTW_IDENTITY dest = nullptr) {
        TW_STATUS st{};
        EXPECT_EQ(call(dest, DG_CONTROL, DAT_STATUS, MSG_GET, &st), TWRC_SUCCESS);
        return st.ConditionCode;
    }
    // The call fails with TWCC_SEQERROR, reported by the manager and the source alike.
    void expectSeqError(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
        EXPECT_EQ(call(dest, dg, dat, msg, data), TWRC_FAILURE) << std::hex << dat << " " << msg;
        if (dest) {
            EXPECT_EQ(condition(dest), TWCC_SEQERROR);
        }
        EXPECT_EQ(condition(), TWCC_SEQERROR);
    }
    void openDefault() {
        src_ = {};
        ASSERT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &src_), TWRC_SUCCESS);
        ASSERT_NE(src_.Id, 0u);
    }
    TW_UINT16 enable(bool showUI) {
        hook_.messages.clear();
        TW_USERINTERFACE ui{static_cast<TW_BOOL>(showUI ? 0xFFFF : 0), 0xFFFF, &parent_};
        return call(&src_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    }
    bool waitFor(TW_UINT16 message) {
        return PumpUntil(
            [&] {
                return std::find(hook_.messages.begin(), hook_.messages.end(), message) !=
                       hook_.messages.end();
            },
            60000);
    }
    Dib transfer() {
        Dib dib;
        TW_HANDLE h = nullptr;
        EXPECT_EQ(call(&src_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
        if (!h) return dib;
        {
            const TwGlobalLocked locked(h);
            const auto* p = static_cast<const std::uint8_t*>(locked.data());
            dib.bytes.assign(p, p + TwGlobalSize(h));
        }
        EXPECT_EQ(TwGlobalFree(h), nullptr);
        if (dib.bytes.size() >= sizeof dib.header)
            std::memcpy(&dib.header, dib.bytes.data(), sizeof dib.header);
        TW_PENDINGXFERS pending{};
        pending.Count = 5;
        EXPECT_EQ(call(&src_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, 0);
        return dib;
    }
    void closeSource(bool enabled = true) {
        TW_USERINTERFACE ui{};
        if (enabled) {
            EXPECT_EQ(call(&src_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        }
        EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &src_), TWRC_SUCCESS);
        src_ = {};
    }
    static void expectGrey(const Dib& dib, int dpi) {
        // 200 mm of glass at dpi
        const int width = static_cast<int>(200 / 25.4 * dpi);
        EXPECT_EQ(dib.header.biWidth, width);
        EXPECT_EQ(dib.header.biHeight, width);
        EXPECT_EQ(dib.header.biBitCount, 8);
        ASSERT_EQ(dib.bytes.size(), 40 + 256 * 4 + dib.stride() * width);
        EXPECT_EQ(dib.stride() % 4, 0u);
        EXPECT_EQ(dib.bytes[40 + 4 * 200], 200); // grey table
    }

    static inline std::unique_ptr<QTemporaryDir> saneDir_;
    QTemporaryDir dir_;
    Library lib_;
    QObject parent_;
    EventHook hook_;
    TW_IDENTITY app_{};
    TW_IDENTITY src_{};
};

std::string ProductName(const TW_IDENTITY& id) {
    return id.ProductName;
}

TEST_F(DsmTest, ListsDevicesAndOpensTheDefaultOrTheNamedSource) {
    TW_IDENTITY id{};
    std::vector<std::string> names;
    for (TW_UINT16 msg = MSG_GETFIRST;
         call(nullptr, DG_CONTROL, DAT_IDENTITY, msg, &id) == TWRC_SUCCESS; msg = MSG_GETNEXT)
        names.push_back(ProductName(id));
    EXPECT_EQ(names, (std::vector<std::string>{"test:0", "test:1"}));
    EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id), TWRC_ENDOFLIST);

    // Nothing stored: an empty identity, which opens the first device.
    ASSERT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &id), TWRC_SUCCESS);
    EXPECT_EQ(ProductName(id), "");
    EXPECT_EQ(id.Id, 0u);
    WriteProfileString("TWAIN", "DEFAULT SOURCE", "test:1");
    ASSERT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &id), TWRC_SUCCESS);
    EXPECT_EQ(ProductName(id), "test:1");

    openDefault();
    EXPECT_EQ(ProductName(src_), "test:1");
    EXPECT_EQ(std::string(src_.Manufacturer), "Noname");
    expectSeqError(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id);
    TW_HANDLE parent = &parent_;
    expectSeqError(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);
    TW_USERINTERFACE ui{};
    expectSeqError(&src_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    closeSource(false);

    TW_IDENTITY unknown{};
    std::strcpy(unknown.ProductName, "nothing:here");
    EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &unknown), TWRC_FAILURE);
    EXPECT_EQ(condition(), TWCC_NODS);
    std::strcpy(src_.ProductName, "test:0");
    ASSERT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &src_), TWRC_SUCCESS);
    EXPECT_EQ(ProductName(src_), "test:0");
}

// The whole glass in colour at 150 dpi, compared pixel by pixel with scanimage's scan.
TEST_F(DsmTest, WholeGlassScanIsAPackedBottomUpColourDib) {
    openDefault();
    TW_HANDLE h = nullptr;
    expectSeqError(&src_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h);
    TwGlobalBlock block(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(TW_ONEVALUE));
    TW_CAPABILITY cap{ICAP_XFERMECH, TWON_ONEVALUE, block.get()};
    const TW_ONEVALUE file{TWTY_UINT16, TWSX_FILE};
    std::memcpy(TwGlobalLocked(block.get()).data(), &file, sizeof file);
    EXPECT_EQ(call(&src_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_FAILURE);
    EXPECT_EQ(condition(&src_), TWCC_BADVALUE);
    const TW_ONEVALUE native{TWTY_UINT16, TWSX_NATIVE};
    std::memcpy(TwGlobalLocked(block.get()).data(), &native, sizeof native);
    EXPECT_EQ(call(&src_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_SUCCESS);

    ASSERT_EQ(enable(false), TWRC_SUCCESS);
    expectSeqError(&src_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
    expectSeqError(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &src_);
    ASSERT_TRUE(waitFor(MSG_XFERREADY));
    const Dib dib = transfer();
    expectSeqError(&src_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h);

    ASSERT_EQ(dib.header.biSize, 40u);
    EXPECT_EQ(dib.header.biWidth, 1181);
    EXPECT_EQ(dib.header.biHeight, 1181);
    EXPECT_EQ(dib.header.biBitCount, 24);
    EXPECT_EQ(dib.header.biCompression, BI_RGB);
    ASSERT_EQ(dib.bytes.size(), 40 + dib.stride() * 1181);
    EXPECT_EQ(dib.stride(), 3544u); // 1181 * 3 = 3543, padded

    QProcess scan;
    scan.start("scanimage", {"-d", "test:0", "--mode", "Color", "--resolution", "150", "-l", "0",
                             "-t", "0", "-x", "200", "-y", "200", "--format=pnm"});
    ASSERT_TRUE(scan.waitForFinished(60000));
    const QByteArray pnm = scan.readAllStandardOutput();
    const QByteArray head = "P6\n";
    ASSERT_TRUE(pnm.startsWith(head));
    const QByteArray rgb = pnm.right(1181 * 1181 * 3);
    ASSERT_EQ(rgb.size(), 1181 * 1181 * 3);
    std::size_t differing = 0;
    for (int y = 0; y < 1181; ++y)
        for (int x = 0; x < 1181; ++x) {
            const auto* bgr = &dib.bytes[40 + (1180 - y) * dib.stride() + 3 * x];
            const auto* px = reinterpret_cast<const std::uint8_t*>(rgb.data()) + (y * 1181 + x) * 3;
            differing += bgr[0] != px[2] || bgr[1] != px[1] || bgr[2] != px[0];
        }
    EXPECT_EQ(differing, 0u);
    closeSource();
}

// Mode and resolution chosen in the dialog are used again by a later scan without it.
TEST_F(DsmTest, DialogChoicesAreRememberedForTheWholeGlassScan) {
    openDefault();
    ASSERT_EQ(enable(true), TWRC_SUCCESS);
    QWidget* dialog = VisibleWindowWith("scanButton");
    ASSERT_NE(dialog, nullptr);
    auto* mode = dialog->findChild<QComboBox*>("modeBox");
    auto* resolution = dialog->findChild<QComboBox*>("resolutionBox");
    ASSERT_TRUE(mode && resolution);
    EXPECT_EQ(mode->currentText(), "Color");
    EXPECT_EQ(resolution->currentData().toInt(), 150);
    mode->setCurrentText("Gray");
    ASSERT_GE(resolution->findData(75), 0);
    resolution->setCurrentIndex(resolution->findData(75));
    dialog->findChild<QPushButton*>("scanButton")->click();
    ASSERT_TRUE(waitFor(MSG_XFERREADY));
    expectGrey(transfer(), 75);
    closeSource();

    openDefault();
    ASSERT_EQ(enable(false), TWRC_SUCCESS);
    ASSERT_TRUE(waitFor(MSG_XFERREADY));
    expectGrey(transfer(), 75);
    closeSource();
}

TEST_F(DsmTest, DialogCancelAsksToBeClosed) {
    openDefault();
    ASSERT_EQ(enable(true), TWRC_SUCCESS);
    QWidget* dialog = VisibleWindowWith("scanButton");
    ASSERT_NE(dialog, nullptr);
    dialog->findChild<QPushButton*>("cancelButton")->click();
    ASSERT_TRUE(waitFor(MSG_CLOSEDSREQ));
    EXPECT_EQ(std::count(hook_.messages.begin(), hook_.messages.end(), MSG_XFERREADY), 0);
    closeSource();
    EXPECT_TRUE(PumpUntil([] { return VisibleWindowWith("scanButton") == nullptr; }));
}

// Cancel during a slow scan stops it and leaves the dialog ready; a second Cancel closes it.
// Without the dialog the progress window comes late and its Cancel asks to be closed.
TEST_F(DsmTest, DialogCancelStopsARunningScan) {
    closeManager();
    writeTestConf("read-delay true\nread-delay-duration 200000\n");
    openManager();
    openDefault();
    ASSERT_EQ(enable(true), TWRC_SUCCESS);
    QWidget* dialog = VisibleWindowWith("scanButton");
    ASSERT_NE(dialog, nullptr);
    auto* scan = dialog->findChild<QPushButton*>("scanButton");
    scan->click();
    ASSERT_FALSE(scan->isEnabled());
    testsupport::PumpFor(300);
    dialog->findChild<QPushButton*>("cancelButton")->click();
    EXPECT_TRUE(PumpUntil([&] { return scan->isEnabled(); }, 10000));
    EXPECT_TRUE(hook_.messages.empty());
    dialog->findChild<QPushButton*>("cancelButton")->click();
    ASSERT_TRUE(waitFor(MSG_CLOSEDSREQ));
    EXPECT_EQ(std::count(hook_.messages.begin(), hook_.messages.end(), MSG_XFERREADY), 0);
    closeSource();

    // Without the dialog, only a scan that lasts shows its progress window; Cancel there ends it.
    openDefault();
    ASSERT_EQ(enable(false), TWRC_SUCCESS);
    EXPECT_EQ(VisibleWindowWith("progressBar"), nullptr);
    ASSERT_TRUE(PumpUntil([] { return VisibleWindowWith("progressBar") != nullptr; }, 10000));
    VisibleWindowWith("progressBar")->findChild<QPushButton*>("cancelButton")->click();
    ASSERT_TRUE(waitFor(MSG_CLOSEDSREQ));
    EXPECT_EQ(std::count(hook_.messages.begin(), hook_.messages.end(), MSG_XFERREADY), 0);
    closeSource();
    closeManager();
    writeTestConf({});
    openManager();
}

TEST_F(DsmTest, SelectionDialogCancelsOrMakesTheChoiceTheDefault) {
    WriteProfileString("TWAIN", "DEFAULT SOURCE", "test:0");
    bool shownAtOnce = false;
    QElapsedTimer clock;
    clock.start();
    WhenWindow("sourceList", [&](QWidget* w) {
        shownAtOnce = clock.elapsed() < 2000;
        w->findChild<QPushButton*>("cancelButton")->click();
    });
    TW_IDENTITY id{};
    EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &id), TWRC_CANCEL);
    EXPECT_TRUE(shownAtOnce);
    EXPECT_EQ(GetProfileString("TWAIN", "DEFAULT SOURCE"), "test:0");

    WhenWindow("sourceList", [](QWidget* w) {
        auto* list = w->findChild<QListWidget*>("sourceList");
        if (!PumpUntil([&] { return list->count() == 2; })) {
            ADD_FAILURE() << "the search found " << list->count() << " devices";
            w->findChild<QPushButton*>("cancelButton")->click(); // or exec() never returns
            return;
        }
        EXPECT_EQ(list->currentRow(), 0); // the default, preselected
        list->setCurrentRow(1);
        w->findChild<QPushButton*>("selectButton")->click();
    });
    std::strcpy(id.ProductName, "test:0");
    ASSERT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &id), TWRC_SUCCESS);
    EXPECT_EQ(ProductName(id), "test:1");
    EXPECT_EQ(GetProfileString("TWAIN", "DEFAULT SOURCE"), "test:1");
}

// A failure without a TWAIN condition keeps SANE's text, and the source asks to be closed.
TEST_F(DsmTest, ScannerFailureReachesTheApplication) {
    closeManager();
    writeTestConf("read-status-code \"SANE_STATUS_NO_DOCS\"\n");
    openManager();
    openDefault();
    ASSERT_EQ(enable(false), TWRC_SUCCESS);
    ASSERT_TRUE(waitFor(MSG_XFERREADY));
    TW_HANDLE h = nullptr;
    EXPECT_EQ(call(&src_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_FAILURE);
    EXPECT_EQ(h, nullptr);
    TW_STR255 text{};
    EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IMGLIFT_STATUSTEXT, MSG_GET, &text), TWRC_SUCCESS);
    EXPECT_STREQ(text, "Document feeder out of documents");
    EXPECT_EQ(condition(), TWCC_IMGLIFT_SANE);
    ASSERT_TRUE(waitFor(MSG_CLOSEDSREQ));
    closeSource();
    closeManager();
    writeTestConf({});
    openManager();
}

} // namespace
