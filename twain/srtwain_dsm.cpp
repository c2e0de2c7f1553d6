// Loading the manager, opening and closing it and the source, choosing the source, and the
// application-wide hook through which the source's events arrive.

#include "twain/profile.h"
#include "twain/srtwain.h"

#include "twain/twain_log.h"

#include <QCoreApplication>
#include <QPointer>
#include <QtGlobal>
#include <dlfcn.h>
#include <filesystem>
#include <system_error>

#ifndef IMGLIFT_DSM_INSTALL_DIR
#define IMGLIFT_DSM_INSTALL_DIR "lib/imglift"
#endif

const char* const TSRTWAIN::DsmLibraryName = "libimglift_dsm.so";
DSMENTRYPROC TSRTWAIN::FDSMEntry = nullptr;

namespace {

const QString kProfileSection = QStringLiteral("TWAIN");
const QString kProfileKey = QStringLiteral("DEFAULT SOURCE");

std::filesystem::path ProgramFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

// The manager uses Qt and SANE, which keep callbacks and registrations behind; it stays mapped
// after its last handle closes (RTLD_NODELETE), so nothing can call into unmapped code.
void* OpenManagerLibrary() {
    const auto folder = ProgramFolder();
    for (const auto& path : {folder / TSRTWAIN::DsmLibraryName,
                             folder / ".." / IMGLIFT_DSM_INSTALL_DIR / TSRTWAIN::DsmLibraryName}) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) continue;
        if (void* const handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE))
            return handle;
        qWarning("Cannot load %s: %s", path.c_str(), dlerror());
    }
    return nullptr;
}

} // namespace

void TSRTWAIN::DlClose::operator()(void* Handle) const {
    dlclose(Handle);
}

TSRTWAIN::TSRTWAIN(QObject* AOwner) : QObject(AOwner) {
    SetDestination(xfNative);
    SetProductname(QStringLiteral("Twain module"));
    SetManufacturer(QStringLiteral("Velmoran"));
    SetProductFamily(QStringLiteral("Image acquisition"));
    SetLanguage(lgAmerican);
    SetCountry(ctUSA);
    SetFileFormat(ffBMP);
    SetFilename(QStringLiteral("C:\\TWAIN.BMP"));
    SetVersionInfo(QStringLiteral("Twain component"));
    SetVersionMajor(1);
    SetVersionMinor(0);
}

TSRTWAIN::~TSRTWAIN() {
    // Each step is tried on its own: a failing source must not keep the manager loaded.
    const auto step = [](const char* what, auto&& f) {
        try {
            f();
        } catch (const std::exception& e) {
            qWarning("TSRTWAIN: %s: %s", what, e.what());
        }
    };
    step("disable source", [this] {
        if (FSourceEnabled) DisableDataSource();
    });
    step("close source", [this] {
        if (FSourceOpen) CloseDataSource();
    });
    step("close manager", [this] {
        if (FDSMOpen) CloseDataSourceManager();
    });
    fUnloadTwain();
    step("restore default source", [this] { RestoreDefaultSourceEntry(); });
    if (FHookInstalled) apphook::SetOnMessage(std::move(FOldOnMessage));
}

bool TSRTWAIN::fLoadTwain() {
    if (!FLibrary) {
        FLibrary.reset(OpenManagerLibrary());
        if (FLibrary)
            FDSMEntry = reinterpret_cast<DSMENTRYPROC>(dlsym(FLibrary.get(), "DSM_Entry"));
    }
    return FLibrary != nullptr;
}

void TSRTWAIN::fUnloadTwain() {
    if (FLibrary) {
        FDSMEntry = nullptr;
        FLibrary.reset();
    }
}

TW_UINT16 TSRTWAIN::CallDataSourceManager(pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT,
                                          TW_UINT16 MSG, TW_MEMREF pData) {
    if (!FDSMEntry) throw EAssertionFailed("Assertion failure");
    return FDSMEntry(&FAppId, pDest, DG, DAT, MSG, pData);
}

TW_UINT16 TSRTWAIN::CallDataSource(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData) {
    return CallDataSourceManager(&FSourceId, DG, DAT, MSG, pData);
}

void TSRTWAIN::InitTWAIN() {
    QObject* const window = parent() ? parent() : QCoreApplication::instance();
    // Stands for the application window's handle: any value but 0 marks InitTWAIN as done.
    FAppId.Id = static_cast<TW_UINT32>(QCoreApplication::applicationPid()) | 1u;
    FParent = window;
    fLoadTwain();
    if (!FHookInstalled) {
        FOldOnMessage = apphook::OnMessage();
        apphook::SetOnMessage([self = QPointer<TSRTWAIN>(this)](QEvent* Msg, bool& Handled) {
            if (self) self->fNewOnMessageHandler(Msg, Handled);
        });
        FHookInstalled = true;
    }
    OpenDataSourceManager();
}

void TSRTWAIN::OpenDataSourceManager() {
    if (FDSMOpen) return;
    if (FAppId.Id == 0) throw EAssertionFailed("Assertion failure");
    if (!fLoadTwain()) {
        qCWarning(lcTwain) << "no scanner manager beside the program or in its library folder";
        throw ETwainError(std::string("Unable to load or find: ") + DsmLibraryName);
    }
    FAppId.ProtocolMajor = 1;
    FAppId.ProtocolMinor = 7;
    FAppId.SupportedGroups = DG_CONTROL | DG_IMAGE;
    TwainCheckDataSourceManager(
        CallDataSourceManager(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &FParent),
        QStringLiteral("OpenDataSourceManager"));
    FDSMOpen = true;
}

void TSRTWAIN::CloseDataSourceManager() {
    if (FSourceOpen)
        throw ETwainError(
            "Unable to close the Data Source Manager. Maybe a source is still in use");
    if (FDSMOpen) {
        TwainCheckDataSourceManager(
            CallDataSourceManager(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &FParent),
            QStringLiteral("CloseDataSourceManager"));
        FDSMOpen = false;
    }
    fUnloadTwain();
    if (!FSavedDefaultSource.isEmpty()) RestoreDefaultSourceEntry();
}

void TSRTWAIN::OpenDataSource() {
    if (!FDSMOpen) throw EAssertionFailed("Data Source Manager must be open");
    if (FSourceOpen) return;
    TwainCheckDataSourceManager(
        CallDataSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &FSourceId),
        QStringLiteral("OpenDataSource"));
    FSourceOpen = true;
}

void TSRTWAIN::CloseDataSource() {
    if (!FDSMOpen) throw EAssertionFailed("Data Source Manager must be open");
    if (!FSourceOpen) return;
    TwainCheckDataSourceManager(
        CallDataSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &FSourceId),
        QStringLiteral("CloseDataSource"));
    FSourceOpen = false;
}

void TSRTWAIN::EnableDataSource() {
    if (!FSourceOpen) throw EAssertionFailed("Data Source must be open");
    if (FSourceEnabled) return;
    TW_USERINTERFACE ui{};
    ui.ShowUI = FShowUI ? 0xFFFF : 0;
    ui.ModalUI = 0xFFFF;
    ui.hParent = FParent;
    TwainCheckDataSourceManager(CallDataSource(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui),
                                QStringLiteral("EnableDataSource"));
    FSourceEnabled = true;
}

void TSRTWAIN::DisableDataSource() {
    if (!FSourceOpen) throw EAssertionFailed("Data Source must be open");
    if (!FSourceEnabled) return;
    TW_USERINTERFACE ui{};
    ui.ShowUI = 0xFFFF;
    ui.hParent = FParent;
    TwainCheckDataSourceManager(CallDataSource(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui),
                                QStringLiteral("DisableDataSource"));
    FSourceEnabled = false;
}

// The manager's default is this program's own (its profile file), so the user's last choice
// stays the default: nothing is saved here to be put back when the manager closes.
void TSRTWAIN::SelectDataSource() {
    if (FSourceOpen) throw EAssertionFailed("Data Source must be closed");
    TW_IDENTITY chosen{};
    TwainCheckDataSourceManager(
        CallDataSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &chosen),
        QStringLiteral("SelectDataSource1"));
    const TW_UINT16 rc =
        CallDataSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &chosen);
    if (rc == TWRC_SUCCESS)
        FSourceId = chosen;
    else if (rc != TWRC_CANCEL)
        TwainCheckDataSourceManager(rc, QStringLiteral("SelectDataSource2"));
}

// Kept for callers that want a choice to count for one run only: what Save kept, the close of
// the manager puts back.
void TSRTWAIN::SaveDefaultSourceEntry() {
    if (FSavedDefaultSource.isEmpty())
        FSavedDefaultSource = GetProfileString(kProfileSection, kProfileKey, QString());
}

void TSRTWAIN::RestoreDefaultSourceEntry() {
    if (FSavedDefaultSource.isEmpty()) return;
    WriteProfileString(kProfileSection, kProfileKey, FSavedDefaultSource);
    FSavedDefaultSource.clear();
}

// Asks the manager for its first source; a closed manager is opened for the question only.
bool TSRTWAIN::IsTwainDriverAvailable() {
    std::unique_ptr<void, DlClose> own;
    DSMENTRYPROC entry = FDSMEntry;
    if (!entry) {
        own.reset(OpenManagerLibrary());
        if (!own) return false;
        entry = reinterpret_cast<DSMENTRYPROC>(dlsym(own.get(), "DSM_Entry"));
        if (!entry) return false;
    }
    TW_IDENTITY origin = FAppId;
    TW_HANDLE window = FParent ? FParent : QCoreApplication::instance();
    if (!FDSMOpen) {
        origin.ProtocolMajor = 1;
        origin.ProtocolMinor = 7;
        origin.SupportedGroups = DG_CONTROL | DG_IMAGE;
        if (entry(&origin, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window) != TWRC_SUCCESS)
            return false;
    }
    TW_IDENTITY first{};
    const TW_UINT16 rc = entry(FDSMOpen ? &FAppId : &origin, nullptr, DG_CONTROL, DAT_IDENTITY,
                               MSG_GETFIRST, &first);
    if (!FDSMOpen) entry(&origin, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window);
    return rc == TWRC_SUCCESS;
}

void TSRTWAIN::fNewOnMessageHandler(QEvent* Msg, bool& Handled) {
    Handled = ProcessSourceMessage(Msg);
    if (FOldOnMessage) FOldOnMessage(Msg, Handled);
}
