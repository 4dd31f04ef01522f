#include "platform/resolver.h"

#include <arpa/inet.h>
#include <ares.h>
#include <netdb.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace revozi {

namespace {

// What the resolver's answer left.
struct Answer {
  bool done = false;
  int status = ARES_ETIMEOUT;
  std::vector<IpAddress>* addresses = nullptr;
};

void takeAnswer(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
  Answer& answer = *static_cast<Answer*>(arg);
  answer.done = true;
  answer.status = status;
  if (result == nullptr) return;
  for (const ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
    IpAddress address;
    address.family = node->ai_family;
    if (node->ai_family == AF_INET && node->ai_addrlen >= sizeof(sockaddr_in)) {
      std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in*>(node->ai_addr)->sin_addr, 4);
    } else if (node->ai_family == AF_INET6 && node->ai_addrlen >= sizeof(sockaddr_in6)) {
      std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in6*>(node->ai_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    answer.addresses->push_back(address);
  }
  ares_freeaddrinfo(result);
}

// Drives the resolver's sockets until the answer is in or `deadline` has
// come.
void waitForAnswer(ares_channel channel, const Answer& answer, Micros deadline) {
  while (!answer.done) {
    const Micros now = monotonicMicros();
    if (now >= deadline) return;
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    pollfd waits[ARES_GETSOCK_MAXNUM];
    nfds_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      const short events = static_cast<short>((ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) |
                                              (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0));
      if (events == 0) continue;
      waits[count++] = pollfd{sockets[i], events, 0};
    }
    // The resolver's own next time-out (a retry, the next server), never
    // past the deadline.
    const Micros left = deadline - now;
    timeval most{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    timeval next{};
    const timeval* wait = ares_timeout(channel, &most, &next);
    const Micros until = now + static_cast<Micros>(wait->tv_sec) * 1000000 + wait->tv_usec;
    const int ready = poll(waits, count, millisUntil(now, until));
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) {
      ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // its time-outs
      continue;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (waits[i].revents == 0) continue;
      const bool readable = (waits[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      const bool writable = (waits[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
      ares_process_fd(channel, readable ? waits[i].fd : ARES_SOCKET_BAD,
                      writable ? waits[i].fd : ARES_SOCKET_BAD);
    }
  }
}

}  // namespace

Micros monotonicMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int millisUntil(Micros now, Micros until) {
  if (until <= now) return 0;
  const Micros millis = (until - now + 999) / 1000;
  return millis > INT_MAX ? INT_MAX : static_cast<int>(millis);
}

bool isDottedNumber(std::string_view host) {
  if (host.empty() || host.front() < '0' || host.front() > '9' || host.back() == '.') return false;
  return host.find_first_not_of("0123456789.") == std::string_view::npos;
}

bool numericAddress(std::string_view host, IpAddress& address) {
  if (host.empty() || host.size() > 64 || host.find('\0') != std::string_view::npos) return false;
  if (isDottedNumber(host)) {
    const std::string text(host);
    in_addr v4{};
    if (inet_aton(text.c_str(), &v4) == 0) return false;
    address.family = AF_INET;
    std::memcpy(address.bytes, &v4, 4);
    return true;
  }
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.find(':') == std::string_view::npos) return false;
  const std::string text(host);
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  address.family = AF_INET6;
  std::memcpy(address.bytes, &v6, 16);
  return true;
}

long resolveErrorOf(int status) {
  switch (status) {
    case ARES_SUCCESS: return kResolved;
    case ARES_ENODATA: return kNoAddress;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME: return kNoSuchName;
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
    case ARES_ESERVFAIL:
    case ARES_EDESTRUCTION:
    case ARES_ECANCELLED: return kTryAgain;
    default: return kNoRecovery;
  }
}

long resolveHost(const std::string& host, Micros deadline, std::vector<IpAddress>& addresses) {
  addresses.clear();
  // A name with a NUL byte inside cannot be handed to the resolver whole;
  // resolving its prefix would reach some other host.
  if (host.find('\0') != std::string::npos) return kNoSuchName;
  IpAddress numeric;
  if (numericAddress(host, numeric)) {
    addresses.push_back(numeric);
    return kResolved;
  }
  // A dotted number that is no address is never a name either.
  if (isDottedNumber(host)) return kNoSuchName;

  if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return kNoRecovery;
  ares_channel channel = nullptr;
  if (ares_init(&channel) != ARES_SUCCESS) {
    ares_library_cleanup();
    return kNoRecovery;
  }
  Answer answer;
  answer.addresses = &addresses;
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // The answer as it comes: the destination-address sort would open a socket
  // per address to find its source address, a cost at every start-up, where
  // the attempts' order (IPv6 first, families taking turns) and their pace
  // already skip an address without a route at once.
  hints.ai_flags = ARES_AI_NOSORT;
  ares_getaddrinfo(channel, host.c_str(), nullptr, &hints, takeAnswer, &answer);
  waitForAnswer(channel, answer, deadline);
  // Ends a resolution still under way: its answer comes as
  // ARES_EDESTRUCTION, "no answer in time".
  ares_destroy(channel);
  ares_library_cleanup();
  const long error = resolveErrorOf(answer.status);
  if (error == kResolved && addresses.empty()) return kNoAddress;
  if (error != kResolved) addresses.clear();
  return error;
}

std::string addressText(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(address.family, address.bytes, text, sizeof text);
  return text;
}

}  // namespace revozi

// The resolver library can look a service name up (it is never given one:
// the port is a number) and its name-info part a port's name. The C
// library's versions would load its name-service modules into a static
// program at run time; every link of this library (its CMakeLists.txt)
// routes both here instead, where no service has a name.
extern "C" {
servent* __wrap_getservbyname(const char*, const char*) { return nullptr; }
int __wrap_getservbyport_r(int, const char*, servent*, char*, std::size_t, servent** result) {
  *result = nullptr;
  return ENOENT;
}
}
