// The request driver: one request from process start to exit status.
#pragma once

#include <string>
#include <vector>

#include "driver/run.h"

namespace revozi {

// The run's result: 0 (valid), 2 (ping mode) or a negative error code.
inline constexpr int kPingMode = 2;

// Decode, sources, defaults, the ping test, validation, the Dialect.
int gatherParameters(Run& run);

// The Dialect named by KWT_SOURCE: "HTML", "IMODE" or "WAP", byte for byte;
// HTML for anything else.
Dialect dialectFromSource(std::string_view source);

// Runs one whole request and returns the exit status (0 or 1).
int runRequest(Platform& platform, std::vector<std::string> args);

}  // namespace revozi
