// The payment sandbox's answer to one request under a web server, for its
// program's main and the fuzz target.
#pragma once

#include "platform/platform.h"

// Reads the request from `platform`, plays the answer asked for and writes
// the response; the exit status of the program (0, 1, or 2 for a suspect
// block).
namespace revozi::sandbox {

int runSandbox(Platform& platform);

}  // namespace revozi::sandbox
