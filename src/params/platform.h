// The outside world of one run: environment, standard input, standard output
// and error, and the shell command. The module uses the system one
// (driver/system_platform.h); unit tests run whole requests in-process with a
// fake (tests/fake_platform.h).
#pragma once

#include <cstddef>
#include <string_view>

namespace revozi {

class Platform {
 public:
  virtual ~Platform() = default;
  // The value of an environment variable, or null when it is not set.
  virtual const char* getEnv(const char* name) const = 0;
  // Reads up to `size` bytes of standard input; returns 0 at its end.
  virtual std::size_t readInput(char* buffer, std::size_t size) = 0;
  // Standard output and standard error, unbuffered at this level. False when
  // not every byte could be written (a full disk, a reader that has gone).
  virtual bool writeOutput(std::string_view bytes) = 0;
  virtual bool writeError(std::string_view bytes) = 0;
  // Runs a command through the system shell and waits for it; the command
  // writes to the same standard output. Its exit status is ignored.
  virtual void runShell(const char* command) = 0;
};

}  // namespace revozi
