#include "platform/system_platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

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

// A digit first, then only digits and dots, and no dot last: the names that
// the resolver takes as numeric addresses and never looks up.
bool isDottedNumber(std::string_view host) {
  if (host.empty() || host.front() < '0' || host.front() > '9' || host.back() == '.') return false;
  return host.find_first_not_of("0123456789.") == std::string_view::npos;
}

// Resolves `host` to its first IPv4 address. On failure returns false with
// the resolver's error number (h_errno) in `resolveError`.
bool resolveHost(const std::string& host, in_addr& address, long& resolveError) {
  // A name with a NUL byte inside cannot be handed to the resolver whole;
  // resolving its prefix would probe some other host.
  if (host.find('\0') != std::string::npos) {
    resolveError = HOST_NOT_FOUND;
    return false;
  }
  // A dotted numeric address is converted by inet_aton, as gethostbyname
  // itself converts it, but without first loading the resolver's
  // configuration files: a measurable share of the module's start-up.
  // Anything else, including a numeric text inet_aton refuses, goes to
  // gethostbyname.
  if (isDottedNumber(host) && inet_aton(host.c_str(), &address) != 0) return true;
  const hostent* answer = gethostbyname(host.c_str());
  if (answer == nullptr) {
    resolveError = h_errno;
    return false;
  }
  if (answer->h_addrtype != AF_INET ||
      answer->h_length != static_cast<int>(sizeof address) ||
      answer->h_addr_list == nullptr || answer->h_addr_list[0] == nullptr) {
    resolveError = NO_DATA;
    return false;
  }
  std::memcpy(&address, answer->h_addr_list[0], sizeof address);
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

FileRead SystemPlatform::readFile(const char* path, std::size_t limit, std::string& text) {
  text.clear();
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return FileRead::kCannotOpen;
  // A directory opens but reads nothing: it is no file to read.
  struct stat info {};
  if (::fstat(::fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    return FileRead::kCannotOpen;
  }
  char chunk[8192];
  FileRead result = FileRead::kRead;
  // The end of the file or a read error ends the text.
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, file)) {
    if (text.size() + n > limit) {
      text.append(chunk, limit - text.size());
      result = FileRead::kTooLong;
      break;
    }
    text.append(chunk, n);
  }
  std::fclose(file);
  return result;
}

ConnectOutcome SystemPlatform::connectTcp(const std::string& host, std::uint16_t port,
                                          long timeoutSeconds) {
  sockaddr_in address{};
  long resolveError = 0;
  if (!resolveHost(host, address.sin_addr, resolveError)) {
    return {ConnectOutcome::kUnresolved, resolveError};
  }
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {ConnectOutcome::kNoSocket, errno};
  const int result = connectWithTimeout(fd, address, sizeof address, timeoutSeconds);
  const long connectErrno = errno;
  if (result == kConnected) shutdown(fd, SHUT_RDWR);
  close(fd);
  if (result == kConnected) return {ConnectOutcome::kConnected, 0};
  return {ConnectOutcome::kNotConnected, connectErrno};
}

void SystemPlatform::runProgram(const char* const* argv) {
  // No shell: the program is started directly and waited for.
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    return;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int waitMillis(long timeoutSeconds) {
  if (timeoutSeconds < 0) return -1;
  if (timeoutSeconds > INT_MAX / 1000) return INT_MAX;
  return static_cast<int>(timeoutSeconds * 1000);
}

int connectWithTimeout(int fd, const sockaddr_in& address, socklen_t length,
                       long timeoutSeconds) {
  // A negative time-out can never be waited for: the server counts as
  // unreachable, and no connection is started for nothing.
  if (timeoutSeconds < 0) {
    errno = EINVAL;
    return kWaitFailed;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return kGetFlagsFailed;
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return kSetFlagsFailed;

  const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  const int connectErrno = errno;
  // Blocking again for the rest; the outcome of restoring is not checked, and
  // it must not disturb the errno that connect left.
  (void)fcntl(fd, F_SETFL, flags);
  errno = connectErrno;
  if (rc != 0 && connectErrno != EINPROGRESS) return kConnectFailed;

  // Wait for writability. poll has no descriptor-number limit. An
  // interrupted wait goes on for the time that is left.
  using Clock = std::chrono::steady_clock;
  const int totalMillis = waitMillis(timeoutSeconds);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMillis);
  int remaining = totalMillis;
  for (;;) {
    pollfd wait{};
    wait.fd = fd;
    wait.events = POLLOUT;
    const int ready = poll(&wait, 1, remaining);
    if (ready > 0) break;
    if (ready == 0) {
      errno = connectErrno;
      return kTimedOut;
    }
    if (errno != EINTR) return kWaitFailed;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    remaining = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    errno = connectErrno;
  }
  errno = connectErrno;

  int pending = 0;
  socklen_t pendingLength = sizeof pending;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &pendingLength) < 0) {
    return kSocketErrorUnread;
  }
  errno = connectErrno;
  return pending != 0 ? kPendingError : kConnected;
}

}  // namespace revozi
