// The fake manager: keeps the TWAIN state of one application and one source, answers the
// triplets the component uses, and fails where the test's script says.

#include "tests/twain/fake_dsm.h"
#include "twain/profile.h"
#include "twain/twain_memory.h"

#include <QCoreApplication>
#include <QEvent>
#include <cstring>

namespace {

FakeDsm gDsm;
const QEvent::Type kSourceEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

void Name(TW_IDENTITY& Id, const std::string& Product) {
    std::memset(Id.ProductName, 0, sizeof Id.ProductName);
    std::strncpy(Id.ProductName, Product.c_str(), 32);
}

TW_UINT16 Fail(TW_UINT16 Condition) {
    gDsm.Status = Condition;
    return TWRC_FAILURE;
}

void Post(TW_UINT16 Message) {
    gDsm.Queued = Message;
    QCoreApplication::postEvent(static_cast<QObject*>(gDsm.Parent), new QEvent(kSourceEvent));
}

TW_UINT16 Control(TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData) {
    FakeDsm& d = gDsm;
    switch (DAT) {
    case DAT_PARENT:
        if (MSG == MSG_OPENDSM) {
            if (d.State != 1) return Fail(TWCC_SEQERROR);
            d.Parent = *static_cast<TW_HANDLE*>(pData);
            d.State = 3;
        } else {
            if (d.State != 3) return Fail(TWCC_SEQERROR);
            d.State = 1;
        }
        return TWRC_SUCCESS;
    case DAT_STATUS:
        static_cast<TW_STATUS*>(pData)->ConditionCode = gDsm.Status;
        return TWRC_SUCCESS;
    case DAT_IDENTITY: {
        auto& id = *static_cast<TW_IDENTITY*>(pData);
        static std::size_t next = 0;
        switch (MSG) {
        case MSG_GETFIRST:
        case MSG_GETNEXT:
            if (d.State < 3) return Fail(TWCC_SEQERROR);
            next = MSG == MSG_GETFIRST ? 0 : next + 1;
            if (next >= d.Sources.size()) return TWRC_ENDOFLIST;
            Name(id, d.Sources[next]);
            return TWRC_SUCCESS;
        case MSG_GETDEFAULT: {
            const QString def = GetProfileString("TWAIN", "DEFAULT SOURCE");
            Name(id, def.isEmpty() ? d.Sources.at(0) : def.toStdString());
            return TWRC_SUCCESS;
        }
        case MSG_USERSELECT:
            if (d.UserSelectReply == TWRC_SUCCESS) {
                Name(id, d.UserSelects);
                WriteProfileString("TWAIN", "DEFAULT SOURCE",
                                   QString::fromStdString(d.UserSelects));
            }
            if (d.UserSelectReply == TWRC_FAILURE) d.Status = d.Condition;
            return d.UserSelectReply;
        case MSG_OPENDS:
            if (d.State != 3) return Fail(TWCC_SEQERROR);
            if (id.ProductName[0] == 0) Name(id, d.Sources.at(0));
            id.Id = 7;
            d.State = 4;
            return TWRC_SUCCESS;
        case MSG_CLOSEDS:
            if (d.State != 4) return Fail(TWCC_SEQERROR);
            d.State = 3;
            return TWRC_SUCCESS;
        }
        break;
    }
    case DAT_USERINTERFACE:
        if (MSG == MSG_ENABLEDS) {
            if (d.State != 4) return Fail(TWCC_SEQERROR);
            d.UI = *static_cast<TW_USERINTERFACE*>(pData);
            d.State = 5;
            if (d.EventAfterEnable != MSG_NULL) Post(d.EventAfterEnable);
        } else {
            if (d.State != 5) return Fail(TWCC_SEQERROR);
            d.State = 4;
        }
        return TWRC_SUCCESS;
    case DAT_EVENT: {
        auto& event = *static_cast<TW_EVENT*>(pData);
        if (static_cast<QEvent*>(event.pEvent)->type() != kSourceEvent) return TWRC_NOTDSEVENT;
        event.TWMessage = std::exchange(gDsm.Queued, MSG_NULL);
        if (event.TWMessage == MSG_XFERREADY) d.State = 6;
        return TWRC_DSEVENT;
    }
    case DAT_CAPABILITY: {
        const auto& cap = *static_cast<TW_CAPABILITY*>(pData);
        if (d.State != 4) return Fail(TWCC_SEQERROR);
        if (cap.Cap != ICAP_XFERMECH || cap.ConType != TWON_ONEVALUE) return Fail(TWCC_BADCAP);
        const TwGlobalLocked value(cap.hContainer);
        d.XferMechType = static_cast<const TW_ONEVALUE*>(value.data())->ItemType;
        d.XferMech = static_cast<const TW_ONEVALUE*>(value.data())->Item;
        return TWRC_SUCCESS;
    }
    case DAT_PENDINGXFERS: {
        auto& pending = *static_cast<TW_PENDINGXFERS*>(pData);
        if (MSG == MSG_ENDXFER) {
            if (d.State != 6 && d.State != 7) return Fail(TWCC_SEQERROR);
            pending.Count = d.PendingAfterFirst;
            d.State = pending.Count ? 6 : 5;
        } else {
            if (d.State != 6) return Fail(TWCC_SEQERROR);
            pending.Count = 0;
            d.State = 5;
        }
        return TWRC_SUCCESS;
    }
    }
    return Fail(TWCC_BADPROTOCOL);
}

} // namespace

extern "C" __attribute__((visibility("default"))) FakeDsm* fake_dsm_control() {
    return &gDsm;
}

extern "C" __attribute__((visibility("default"))) TW_UINT16
DSM_Entry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
          TW_MEMREF pData) {
    FakeDsm& d = gDsm;
    if (!(DAT == DAT_EVENT && MSG == MSG_PROCESSEVENT))
        d.Calls.push_back({DG, DAT, MSG, pDest != nullptr});
    if (DAT == DAT_PARENT && MSG == MSG_OPENDSM) d.Origin = *pOrigin;
    if (const auto it = d.Replies.find({DAT, MSG}); it != d.Replies.end()) {
        if (it->second == TWRC_FAILURE) gDsm.Status = d.Condition;
        return it->second;
    }
    if (DG == DG_IMAGE) {
        if (DAT != DAT_IMAGENATIVEXFER || MSG != MSG_GET) return Fail(TWCC_BADPROTOCOL);
        if (d.State != 6) return Fail(TWCC_SEQERROR);
        const TW_HANDLE block = TwGlobalAlloc(GMEM_MOVEABLE, d.Dib.size());
        if (!block) return Fail(TWCC_LOWMEMORY);
        std::memcpy(TwGlobalLock(block), d.Dib.data(), d.Dib.size());
        TwGlobalUnlock(block);
        *static_cast<TW_HANDLE*>(pData) = block;
        d.State = 7;
        return TWRC_XFERDONE;
    }
    return Control(DAT, MSG, pData);
}
