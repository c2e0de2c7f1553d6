#pragma once

// A scriptable stand-in for the Data Source Manager. The test finds its control block with
// dlsym(handle, "fake_dsm_control") in the same library the component loads.

#include "twain/twain.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct FakeDsmCall {
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    bool ToSource;
};

struct FakeDsm {
    // Script. Replies: (DAT, MSG) answered with this code instead of the normal answer; a
    // TWRC_FAILURE makes DAT_STATUS report Condition.
    std::map<std::pair<TW_UINT16, TW_UINT16>, TW_UINT16> Replies;
    TW_UINT16 Condition = TWCC_SUCCESS;
    std::vector<std::string> Sources{"Fake Scanner", "Fake Camera"};
    TW_UINT16 UserSelectReply = TWRC_SUCCESS;
    std::string UserSelects = "Fake Camera";
    TW_UINT16 EventAfterEnable = MSG_XFERREADY; // MSG_NULL: the source stays quiet
    std::vector<std::uint8_t> Dib;              // the native image
    TW_UINT16 PendingAfterFirst = 0;            // images still waiting after the first

    // Observed
    std::vector<FakeDsmCall> Calls;
    TW_IDENTITY Origin{};
    TW_HANDLE Parent = nullptr;
    TW_USERINTERFACE UI{};
    TW_UINT16 XferMechType = 0xffff; // ItemType of the last ICAP_XFERMECH set
    TW_UINT32 XferMech = 0xffffffff;
    int State = 1; // TWAIN state of the one application
    TW_UINT16 Status = TWCC_SUCCESS;
    TW_UINT16 Queued = MSG_NULL; // the message of the event posted last

    void Reset() { *this = FakeDsm(); }
    int Count(TW_UINT16 DAT, TW_UINT16 MSG) const {
        int n = 0;
        for (const FakeDsmCall& c : Calls)
            n += c.DAT == DAT && c.MSG == MSG;
        return n;
    }
};

extern "C" FakeDsm* fake_dsm_control();
