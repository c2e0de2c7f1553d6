// Acquire, the source's events and the transfer of the image.

#include "twain/dib.h"
#include "twain/srtwain.h"
#include "twain/twain_memory.h"

#include <QtGlobal>

void TSRTWAIN::Acquire(TBitmap& Bitmap) {
    FBitmap = &Bitmap;
    OpenDataSourceManager();
    OpenDataSource();
    XferMech();
    EnableDataSource();
}

void TSRTWAIN::XferMech() {
    FDestination = xfNative;
    TW_CAPABILITY cap{};
    cap.Cap = ICAP_XFERMECH;
    cap.ConType = TWON_ONEVALUE;
    const TwGlobalBlock container(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(TW_ONEVALUE));
    if (!container) throw EAssertionFailed("Assertion failure");
    cap.hContainer = container.get();
    {
        const TwGlobalLocked locked(container.get());
        if (!locked) throw EAssertionFailed("Assertion failure");
        auto* const value = static_cast<TW_ONEVALUE*>(locked.data());
        value->ItemType = TWTY_UINT16;
        value->Item = TWSX_NATIVE;
    }
    TwainCheckDataSource(CallDataSource(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap),
                         QStringLiteral("XferMech"));
}

bool TSRTWAIN::ProcessSourceMessage(QEvent* Msg) {
    if (!FDSMOpen || !FSourceOpen) return false;
    TW_EVENT event{};
    event.pEvent = Msg;
    event.TWMessage = MSG_NULL;
    const TW_UINT16 rc = CallDataSource(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
    switch (event.TWMessage) {
    case MSG_XFERREADY: {
        try {
            switch (FDestination) {
            case xfNative:
                fNativeXfer();
                break;
            case xfMemory:
                fMemoryXfer();
                break;
            case xfFile:
                fFileXfer();
                break;
            }
        } catch (...) {
            EndScanAfterFailure();
            throw;
        }
        TW_PENDINGXFERS pending{};
        TwainCheckDataSource(CallDataSource(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending),
                             QStringLiteral("Check for Pending Transfers"));
        // One image per scan: whatever else the source holds is dropped.
        if (pending.Count != 0) {
            pending = {};
            TwainCheckDataSource(CallDataSource(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending),
                                 QStringLiteral("Abort Pending Transfers"));
        }
        DisableDataSource();
        CloseDataSource();
        ScanReady();
        break;
    }
    case MSG_CLOSEDSREQ:
    case MSG_CLOSEDSOK:
        DisableDataSource();
        CloseDataSource();
        ScanReady();
        break;
    default:
        break;
    }
    return rc != TWRC_NOTDSEVENT;
}

// A failed transfer would leave the source enabled, and every later scan would fail on it. The
// transfer's own error is the one that counts, so failures on the way back are only logged.
void TSRTWAIN::EndScanAfterFailure() {
    const auto attempt = [](auto&& Step) {
        try {
            Step();
        } catch (const std::exception& e) {
            qWarning("TSRTWAIN: ending the failed scan: %s", e.what());
        }
    };
    attempt([this] {
        TW_PENDINGXFERS pending{};
        if (CallDataSource(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) != TWRC_SUCCESS ||
            pending.Count != 0) {
            pending = {};
            CallDataSource(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
        }
    });
    attempt([this] { DisableDataSource(); });
    attempt([this] { CloseDataSource(); });
}

bool TSRTWAIN::fNativeXfer() {
    TW_HANDLE handle = nullptr;
    const TW_UINT16 rc = CallDataSource(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
    if (rc == TWRC_FAILURE) RaiseLastDataSourceManagerCondition(QStringLiteral("Native Transfer"));
    if (rc != TWRC_XFERDONE) return false;
    QImage image = ImageFromDib(handle);
    if (FBitmap) FBitmap->SetImage(std::move(image));
    return true;
}

bool TSRTWAIN::fMemoryXfer() {
    return CallDataSource(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, nullptr) == TWRC_XFERDONE;
}

bool TSRTWAIN::fFileXfer() {
    return CallDataSource(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) == TWRC_XFERDONE;
}

void TSRTWAIN::ScanReady() {
    if (OnScanReady) OnScanReady(this);
}
