// revozi.cgi --check: the operator's checklist of a configuration, read as a
// request under the web server reads it (environment, mode string, options
// file, lock), one line per item, each marked ok, warn or FAIL.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace revozi {

// Writes the checklist to standard output, each line naming its item of the
// go-live checklist: the mode string and each source read (never an
// argument: args[2] on may only be --test-host), the lock, the options file
// (its place, modes, ping and trace settings, time-outs), the merchant key,
// every server slot (its URL, every address with its resolution time, every
// connection attempt), the sandbox, and the return and error URLs. Relative
// paths are read from the working directory, which the caller makes the
// module's own. Returns the exit status: 0 without a FAIL line, else 1.
int runCheck(Platform& platform, const std::vector<std::string>& args);

}  // namespace revozi
