// Which notice texts the run shows: those of the blocks for this system's
// code page, held as the updater holds texts.
#pragma once

#include <cstdint>

#include "package/package_header.h"

namespace pkx {

// The before- and after-texts (version >= 110): from version 140 on those of
// the blocks of code page 0 or of the system's, a later block's text
// replacing an earlier one unless it is empty; texts of other blocks are
// passed over unread.
ResultCode TakeNoticeTexts(PackageCursor& in, uint16_t version, NoticeText* before,
                           NoticeText* after);

}  // namespace pkx
