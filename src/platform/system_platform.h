// The platform of a real process: getenv, descriptors 0, 1 and 2, files,
// the resolver and sockets, and programs started without a shell.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/platform.h"

namespace revozi {

class SystemPlatform : public Platform {
 public:
  const char* getEnv(const char* name) const override;
  std::size_t readInput(char* buffer, std::size_t size) override;
  bool writeOutput(std::string_view bytes) override;
  bool writeError(std::string_view bytes) override;
  FileRead readFile(const char* path, std::size_t limit, std::string& text) override;
  ConnectOutcome connectTcp(const std::string& host, std::uint16_t port, long timeoutSeconds) override;
  void runProgram(const char* const* argv) override;
};

// Result codes of connectWithTimeout.
enum ConnectResult : int {
  kConnected = 0,
  kGetFlagsFailed = -1,     // fcntl(F_GETFL)
  kSetFlagsFailed = -2,     // fcntl(F_SETFL, O_NONBLOCK)
  kConnectFailed = -3,      // connect failed at once (not EINPROGRESS)
  kWaitFailed = -4,         // the wait failed, or the time-out is negative
  kTimedOut = -5,           // not writable within the time-out
  kSocketErrorUnread = -6,  // getsockopt(SO_ERROR) failed
  kPendingError = -7,       // SO_ERROR non-zero: refused, unreachable, ...
};

// Connects `fd` to `address`, waiting at most `timeoutSeconds` for the
// connection to be established. The socket is non-blocking only for the
// connect call itself. Returns a ConnectResult; `errno` is left as the failing
// call set it, or as connect left it (EINPROGRESS) for kTimedOut and
// kPendingError. A negative time-out fails at once with EINVAL.
int connectWithTimeout(int fd, const sockaddr_in& address, socklen_t length, long timeoutSeconds);

// Whole seconds as a poll() wait in milliseconds, clamped to INT_MAX; a
// negative time-out gives -1 (it is refused before any wait).
int waitMillis(long timeoutSeconds);

}  // namespace revozi
