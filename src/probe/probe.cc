// Server selection. Each probe resolves the URL's host, opens a TCP
// connection to it on the KWT_PORT port within the slot's time-out, and
// closes it again at once: no byte is sent or read.

#include "probe/probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "pages/page_output.h"
#include "params/param_table.h"
#include "params/validate.h"

namespace revozi {
namespace {

// Probe order: each slot pairs a server URL with its time-out.
struct ServerSlot {
  ParamIndex url;
  ParamIndex timeout;
};
constexpr ServerSlot kServerSlots[] = {
    {kKorven, kTimeout},   {kBackup1, kTimeout1}, {kBackup2, kTimeout2},
    {kBackup3, kTimeout3}, {kBackup4, kTimeout4},
};

constexpr std::string_view kTraceHeader =
    "Content-type: text/html\nCache-Control: no-cache, no-store\nPragma: no-cache\n\n"
    "<HTML>\n<HEAD>\n<TITLE>KORVEN</TITLE></HEAD>\n";
constexpr std::string_view kTraceBodyStart = "<BODY>\n";
constexpr std::string_view kTraceFooter = "</BODY>\n</HTML>\n";
constexpr std::string_view kResolveFailed =
    "<CENTER><B>gethostbyname() erreur %ld pour le serveur %s</B></P></CENTER>\n";
constexpr std::string_view kSocketFailed =
    "<CENTER><B>socket() en erreur pour le serveur %s</B></P></CENTER>\n";
constexpr std::string_view kUrlRefused =
    "<CENTER><B>URL refus&eacute;e pour le serveur %s</B></P></CENTER>\n";
constexpr std::string_view kConnectError =
    "<CENTER><B>connect() erreur %ld pour le serveur %s</B></P></CENTER>\n";

// strtol over a NUL-terminated copy: the conversion of atoi/atol, but
// well-defined on overflow.
long parseLong(std::string_view text) {
  const std::string copy(text);
  return std::strtol(copy.c_str(), nullptr, 10);
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

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool isServerUrl(std::string_view url) {
  const bool web = startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://") ||
                   url.substr(0, 2) == "//";
  return web && !hasControlByte(url);
}

std::string_view hostOfUrl(std::string_view url) {
  static constexpr std::string_view kMarkers[] = {"https://", "http://", "https:",
                                                  "http:", "//"};
  std::string_view host = url;
  for (std::string_view marker : kMarkers) {
    const std::size_t at = url.find(marker);
    if (at != std::string_view::npos) {
      host = url.substr(at + marker.size());
      break;
    }
  }
  const std::size_t slash = host.find('/');
  if (slash != std::string_view::npos) host = host.substr(0, slash);
  return host;
}

std::uint16_t probePort(std::string_view portText) {
  // atoi is strtol narrowed to int; the low 16 bits come out the same.
  const unsigned long bits = static_cast<unsigned long>(parseLong(portText));
  return static_cast<std::uint16_t>(bits & 0xFFFFu);
}

long probeTimeout(std::string_view timeoutText) { return parseLong(timeoutText); }

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

int probeServer(Run& run, std::string_view url, long timeoutSeconds) {
  const bool trace = !run.params.empty(kTrace);
  const std::string host(hostOfUrl(url));

  sockaddr_in address{};
  long resolveError = 0;
  if (!resolveHost(host, address.sin_addr, resolveError)) {
    if (trace) pagePrint(run.out, kResolveFailed, resolveError, Html{host});
    return 0;
  }
  address.sin_family = AF_INET;
  address.sin_port = htons(probePort(run.params.text(kPort)));

  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    if (trace) pagePrint(run.out, kSocketFailed, Html{host});
    return 0;
  }

  const int result = connectWithTimeout(fd, address, sizeof address, timeoutSeconds);
  const long connectErrno = errno;
  if (result == kConnected) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    return 1;
  }
  close(fd);
  if (trace) pagePrint(run.out, kConnectError, connectErrno, Html{host});
  return 0;
}

int selectServer(Run& run, std::string& foundUrl) {
  foundUrl.clear();
  const bool trace = !run.params.empty(kTrace);
  if (trace) {
    pagePrint(run.out, kTraceHeader);
    pagePrint(run.out, kTraceBodyStart);
  }

  int found = 0;
  for (const ServerSlot& slot : kServerSlots) {
    if (run.params.empty(slot.url)) continue;  // no network activity
    const std::string_view url = run.params.text(slot.url);
    // Anything else would become the form's action: a script, or a line
    // break in the ping report.
    if (!isServerUrl(url)) {
      if (trace) pagePrint(run.out, kUrlRefused, Html{url});
      continue;
    }
    if (probeServer(run, url, probeTimeout(run.params.text(slot.timeout))) == 1) {
      foundUrl.assign(url);
      found = 1;
      break;  // no further server is contacted
    }
  }

  if (trace) pagePrint(run.out, kTraceFooter);
  return found;
}

}  // namespace revozi
