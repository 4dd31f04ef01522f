// revozi.cgi --check: the operator's checklist of a configuration, read as a
// request reads it (environment, mode string, sources, lock), one line per
// item, each marked ok, warn or FAIL.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace revozi {

// Writes the checklist to standard output: the mode string and each source
// read, the options file, the lock, the merchant key, every server slot (its
// URL, every address with its resolution time, every connection attempt)
// and the return and error URLs. Returns the exit status: 0 without a FAIL
// line, else 1. `args` are the program's arguments, as a request gets them.
int runCheck(Platform& platform, const std::vector<std::string>& args);

}  // namespace revozi
