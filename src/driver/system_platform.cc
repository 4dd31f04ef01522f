#include "driver/system_platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace revozi {

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    // The reader has gone or the disk is full: nothing more can be delivered.
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

const char* SystemPlatform::getEnv(const char* name) const { return std::getenv(name); }

std::size_t SystemPlatform::readInput(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

bool SystemPlatform::writeOutput(std::string_view bytes) { return writeAll(STDOUT_FILENO, bytes); }
bool SystemPlatform::writeError(std::string_view bytes) { return writeAll(STDERR_FILENO, bytes); }

void SystemPlatform::runShell(const char* command) {
  int status = std::system(command);
  (void)status;  // the command's exit status is not looked at
}

}  // namespace revozi
