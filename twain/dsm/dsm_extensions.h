#pragma once

// What our Data Source Manager adds to the TWAIN triplets.
//
// Scanner failures reported by SANE become conditions of the source and of the manager (both
// DAT_STATUS MSG_GET, with pDest null or the source): device busy -> TWCC_MAXCONNECTIONS, jammed
// -> TWCC_PAPERJAM, out of memory -> TWCC_LOWMEMORY, I/O error -> TWCC_BUMMER. A failure that no
// TWAIN condition describes (no documents, cover open, access denied ...) has the condition
// TWCC_IMGLIFT_SANE, and TW_STATUS.Reserved holds the SANE_Status code of every SANE failure.
//
// DG_CONTROL / DAT_IMGLIFT_STATUSTEXT / MSG_GET, pData -> TW_STR255, pDest null (the manager) or
// the source: SANE's own text of the last failure, UTF-8 and zero-terminated; empty when the last
// failure did not come from SANE. Reading it does not reset the condition, and DAT_STATUS does not
// clear the text, so it can be fetched before or after the condition.

#include "twain/twain.h"

inline constexpr TW_UINT16 TWCC_IMGLIFT_SANE = 0x8001;
inline constexpr TW_UINT16 DAT_IMGLIFT_STATUSTEXT = DAT_CUSTOMBASE + 1;
