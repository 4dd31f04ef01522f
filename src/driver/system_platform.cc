#include "driver/system_platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace revozi {

namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the reader has gone; nothing more can be delivered
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
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

void SystemPlatform::writeOutput(std::string_view bytes) { writeAll(STDOUT_FILENO, bytes); }
void SystemPlatform::writeError(std::string_view bytes) { writeAll(STDERR_FILENO, bytes); }

void SystemPlatform::runShell(const char* command) {
  int status = std::system(command);
  (void)status;  // the command's exit status is not looked at
}

}  // namespace revozi
