// revozi.cgi --status: what the server memory (REVOZI_STATE_DIR) holds.
#pragma once

#include "platform/platform.h"

namespace revozi {

// Writes one line for the memory itself, then one per remembered host and
// port, in name order: up (with its last success), or down since the first
// failure of its row, with the count and the next retry; files that are no
// record to trust are named as ignored. Returns the exit status, 0.
int runStatus(Platform& platform);

}  // namespace revozi
