#include "platform/system_platform.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/connect_race.h"
#include "platform/resolver.h"

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

// The attempts on real sockets: non-blocking TCP sockets, one per address,
// watched together with poll (no limit on descriptor numbers).
class SocketAttempts : public AttemptIo {
 public:
  SocketAttempts(const std::vector<IpAddress>& addresses, std::uint16_t port)
      : addresses_(addresses), port_(port), fds_(addresses.size(), -1) {}
  ~SocketAttempts() override {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  SocketAttempts(const SocketAttempts&) = delete;
  SocketAttempts& operator=(const SocketAttempts&) = delete;

  Micros now() override { return monotonicMicros(); }

  std::optional<AttemptEnd> start(std::size_t attempt) override {
    const IpAddress& address = addresses_[attempt];
    sockaddr_storage peer{};
    socklen_t length = 0;
    if (address.family == AF_INET6) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(peer);
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(port_);
      std::memcpy(&v6.sin6_addr, address.bytes, sizeof v6.sin6_addr);
      length = sizeof v6;
    } else {
      auto& v4 = reinterpret_cast<sockaddr_in&>(peer);
      v4.sin_family = AF_INET;
      v4.sin_port = htons(port_);
      std::memcpy(&v4.sin_addr, address.bytes, sizeof v4.sin_addr);
      length = sizeof v4;
    }
    const int fd = socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return AttemptEnd{attempt, ConnectReport::kAttemptNoSocket, errno};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), length) != 0 && errno != EINPROGRESS) {
      const long error = errno;
      close(fd);
      return AttemptEnd{attempt, ConnectReport::kAttemptFailed, error};
    }
    // Even a connection established at once is confirmed by the wait.
    fds_[attempt] = fd;
    return std::nullopt;
  }

  std::vector<AttemptEnd> wait(const std::vector<std::size_t>& pending, Micros until) override {
    std::vector<pollfd> waits;
    for (std::size_t attempt : pending) waits.push_back(pollfd{fds_[attempt], POLLOUT, 0});
    std::vector<AttemptEnd> ends;
    int ready = 0;
    // An interrupted wait goes on for the time that is left.
    do {
      ready = poll(waits.data(), waits.size(), millisUntil(now(), until));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
      const long error = errno;
      for (std::size_t attempt : pending) ends.push_back(finish(attempt, ConnectReport::kAttemptFailed, error));
      return ends;
    }
    for (std::size_t k = 0; k < waits.size(); ++k) {
      if (waits[k].revents == 0) continue;
      int pendingError = 0;
      socklen_t size = sizeof pendingError;
      if (getsockopt(waits[k].fd, SOL_SOCKET, SO_ERROR, &pendingError, &size) < 0) {
        ends.push_back(finish(pending[k], ConnectReport::kAttemptFailed, errno));
      } else if (pendingError != 0) {
        // The error shown is the one connect left, not the socket's own.
        ends.push_back(finish(pending[k], ConnectReport::kAttemptFailed, EINPROGRESS));
      } else {
        shutdown(waits[k].fd, SHUT_RDWR);
        ends.push_back(finish(pending[k], ConnectReport::kAttemptConnected, 0));
      }
    }
    return ends;
  }

  void abandon(std::size_t attempt) override { finish(attempt, ConnectReport::kAttemptAbandoned, 0); }

 private:
  AttemptEnd finish(std::size_t attempt, ConnectReport::AttemptEnd end, long error) {
    close(fds_[attempt]);
    fds_[attempt] = -1;
    return {attempt, end, error};
  }

  const std::vector<IpAddress>& addresses_;
  std::uint16_t port_;
  std::vector<int> fds_;
};

// A state file may be trusted: a regular file of `owner` that neither its
// group nor others may write.
bool trustedStateFile(int fd, long long owner, struct stat& info) {
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<long long>(info.st_uid) == owner &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// `start` plus `seconds`, saturated; `start` itself for a negative count.
Micros deadlineAfter(Micros start, long seconds) {
  if (seconds <= 0) return start;
  constexpr Micros kMost = INT64_MAX / 4;
  return seconds >= (kMost - start) / 1000000 ? kMost : start + static_cast<Micros>(seconds) * 1000000;
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
                                          long timeoutSeconds, ConnectReport* report) {
  const Micros start = monotonicMicros();
  const Micros deadline = deadlineAfter(start, timeoutSeconds);
  // A time-out below the least resolution time still lets the name be
  // resolved, so that its error number is the name's; the connection then
  // keeps the slot's own deadline.
  const Micros resolveDeadline = deadlineAfter(start, std::max(timeoutSeconds, kLeastResolveSeconds));
  std::vector<IpAddress> resolved;
  const long resolveError = resolveHost(host, resolveDeadline, resolved);
  if (report != nullptr) {
    *report = ConnectReport{};
    report->resolveMicros = monotonicMicros() - start;
    for (const IpAddress& address : resolved) report->addresses.push_back(addressText(address));
  }
  if (resolveError != kResolved) return {ConnectOutcome::kUnresolved, resolveError};
  // A negative time-out can never be waited for: the server counts as
  // unreachable, and no connection is started for nothing.
  if (timeoutSeconds < 0) return {ConnectOutcome::kNotConnected, EINVAL};

  std::vector<int> families;
  for (const IpAddress& address : resolved) families.push_back(address.family);
  std::vector<IpAddress> ordered;
  for (std::size_t i : attemptOrder(families)) ordered.push_back(resolved[i]);
  SocketAttempts io(ordered, port);
  const ConnectOutcome outcome =
      raceAttempts(ordered.size(), deadline, io, report ? &report->attempts : nullptr, start);
  if (report != nullptr) {
    for (std::size_t i = 0; i < report->attempts.size(); ++i) {
      report->attempts[i].address = addressText(ordered[i]);
    }
  }
  return outcome;
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

SystemPlatform::~SystemPlatform() {
  for (int fd : claims_) close(fd);
}

long long SystemPlatform::wallSeconds() { return static_cast<long long>(std::time(nullptr)); }

long long SystemPlatform::steadyMicros() { return monotonicMicros(); }

StateDirectory SystemPlatform::stateDirectory(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0 || !S_ISDIR(info.st_mode) || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return {};
  }
  constexpr auto kWriteSearch = S_IWUSR | S_IXUSR;
  const bool own = info.st_uid == ::geteuid() && (info.st_mode & kWriteSearch) == kWriteSearch;
  return {own ? StateDirectory::kWritable : StateDirectory::kReadable, static_cast<long long>(info.st_uid)};
}

FileRead SystemPlatform::readStateFile(const char* path, long long owner, std::size_t limit, std::string& text) {
  text.clear();
  // No link is followed, and a planted pipe cannot make the open wait.
  const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FileRead::kCannotOpen;
  struct stat info {};
  FileRead result = FileRead::kCannotOpen;
  if (trustedStateFile(fd, owner, info)) {
    result = static_cast<unsigned long long>(info.st_size) > limit ? FileRead::kTooLong : FileRead::kRead;
    text.resize(limit + 1);
    std::size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got > limit) result = FileRead::kTooLong;
    text.resize(std::min(got, limit));
  }
  close(fd);
  return result;
}

bool SystemPlatform::replaceStateFile(const char* directory, const char* name, std::string_view bytes) {
  const std::string target = std::string(directory) + "/" + name;
  // A name of its own, beginning with a dot: never taken for a record.
  std::string temporary = std::string(directory) + "/." + name + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes);
  const bool closed = ::close(fd) == 0;
  if (written && closed && ::rename(temporary.c_str(), target.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

Claim SystemPlatform::claimStateFile(const char* path) {
  const int fd = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return Claim::kUnavailable;
  struct stat info {};
  if (!trustedStateFile(fd, static_cast<long long>(::geteuid()), info)) {
    close(fd);
    return Claim::kUnavailable;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    claims_.push_back(fd);
    return Claim::kHeld;
  }
  const bool busy = errno == EWOULDBLOCK;
  close(fd);
  return busy ? Claim::kBusy : Claim::kUnavailable;
}

std::vector<std::string> SystemPlatform::listDirectory(const char* path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace revozi
