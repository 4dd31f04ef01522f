// Server selection: the first payment server that accepts a TCP connection.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "driver/run.h"

namespace revozi {

// Probes KWT_KORVEN, then KWT_BACKUP1 to KWT_BACKUP4 (empty slots skipped),
// each bounded by its time-out, and stops at the first that answers. Returns 1
// with that URL, whole, in `foundUrl`, or 0 with `foundUrl` empty. With
// KWT_TRACE set it writes the trace page, naming every server that failed.
int selectServer(Run& run, std::string& foundUrl);

// 1 when a TCP connection to the URL's host on the KWT_PORT port was
// established within `timeoutSeconds`, else 0 (one trace line in trace mode).
int probeServer(Run& run, std::string_view url, long timeoutSeconds);

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
int connectWithTimeout(int fd, const sockaddr_in& address, socklen_t length,
                       long timeoutSeconds);

// True when a server URL may be probed and become a form's action: it begins
// with "http://", "https://" or "//" (scheme letters in any case) and holds
// no byte below 0x20 and no 0x7F.
bool isServerUrl(std::string_view url);

// The host part of a server URL as handed to the resolver: the text after the
// first scheme marker found ("https://", "http://", "https:", "http:", "//",
// tried in that order; none: the whole URL), cut at its first '/'.
std::string_view hostOfUrl(std::string_view url);

// The probe port from the KWT_PORT text: its integer value read as atoi reads
// it (leading blanks, a sign, digits up to the first other byte; 0 when there
// is no number), low 16 bits. Host byte order.
std::uint16_t probePort(std::string_view portText);

// A time-out text read as atol reads it, in seconds; out-of-range values
// saturate at LONG_MIN / LONG_MAX.
long probeTimeout(std::string_view timeoutText);

// Whole seconds as a poll() wait in milliseconds, clamped to INT_MAX; a
// negative time-out gives -1 (it is refused before any wait).
int waitMillis(long timeoutSeconds);

}  // namespace revozi
