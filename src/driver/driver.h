// The request driver: one request from process start to exit status.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "probe/probe.h"

namespace revozi {

// What the gathered parameters call for.
struct Gathered {
  enum Kind { kValid, kPing, kFailed } kind;
  // The error code when kFailed; in ping mode the code of a failed decoding
  // or source, else 0.
  int code = 0;
};

// Decode, sources, defaults, the ping test, validation, the Dialect.
Gathered gatherParameters(Run& run);

// The Dialect named by KWT_SOURCE: "HTML", "IMODE" or "WAP", byte for byte;
// HTML for anything else.
Dialect dialectFromSource(std::string_view source);

// The memory (REVOZI_STATE_DIR, opened into `health`) and the log
// (REVOZI_LOG) for the selection of a request or a ping: only under the lock
// or outside a web server, never where a form may choose the servers.
SelectionAids selectionAids(const Run& run, std::optional<ServerHealth>& health, bool ping);

// Runs one whole request and returns the exit status (0 or 1).
int runRequest(Platform& platform, std::vector<std::string> args);

}  // namespace revozi
