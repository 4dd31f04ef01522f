// The request driver: one request from process start to exit status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"

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

// Runs one whole request and returns the exit status (0 or 1).
int runRequest(Platform& platform, std::vector<std::string> args);

}  // namespace revozi
