// Name resolution for the connections to the payment servers: IPv6 and IPv4
// addresses of a name, from /etc/hosts and the name servers of
// /etc/resolv.conf (read by the resolver library itself, so a static program
// needs nothing of the C library's name-service modules at run time),
// bounded by a deadline. Numeric addresses are converted without any
// resolver set-up.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/connect_race.h"

namespace revozi {

struct IpAddress {
  int family = 0;             // AF_INET or AF_INET6
  unsigned char bytes[16]{};  // network order; 4 bytes for AF_INET
};

// The address a numeric host text stands for, as the resolver would take it
// without asking anyone: a dotted IPv4 number in every form inet_aton reads
// ("127.1", "0x7f.1", "2130706433"), or an IPv6 address, bare or in
// brackets ("[::1]"). False for anything else.
bool numericAddress(std::string_view host, IpAddress& address);

// True when `host` looks like a dotted number (a digit first, only digits
// and dots, no dot last): such a name is never sent to a name server.
bool isDottedNumber(std::string_view host);

// The error number of a resolver library status.
long resolveErrorOf(int status);

// Resolves `host` into `addresses` (IPv6 and IPv4, in the order of the hosts
// file or of the name servers' answers),
// waiting until `deadline` at most (monotonicMicros). 0 or a ResolveError.
long resolveHost(const std::string& host, Micros deadline, std::vector<IpAddress>& addresses);

// Now, on the monotonic clock, in microseconds.
Micros monotonicMicros();

// A poll() wait from `now` to `until` in whole milliseconds, rounded up so
// that it does not end before `until`, clamped to INT_MAX; 0 once it has come.
int millisUntil(Micros now, Micros until);

// The address as text: "192.0.2.1", "2001:db8::1".
std::string addressText(const IpAddress& address);

}  // namespace revozi
