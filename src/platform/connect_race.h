// The connection attempts to one server's addresses (RFC 8305): the resolver's
// order with the address families interleaved, IPv6 first, a new attempt started every
// 250 ms while earlier ones are pending (at once when one fails), the first
// to connect wins and the others are closed. The sockets and the clock stay
// behind AttemptIo, so the schedule runs as well against a fake clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace revozi {

// A point in time or a duration, in microseconds of a monotonic clock.
using Micros = std::int64_t;

// The pause between the starts of two attempts while the earlier one is
// pending.
inline constexpr Micros kAttemptStagger = 250'000;

// The order of the attempts, as indices into the resolver's answer: IPv6
// first when the answer holds any (else the first address's family), then
// the other family, and so on, each family in the resolver's order; what
// remains of one family when the other has run out comes last. (An IPv6
// address without a route fails at once, and the next attempt starts then.)
std::vector<std::size_t> attemptOrder(const std::vector<int>& families);

// How an attempt ended, as its Io reports it.
struct AttemptEnd {
  std::size_t attempt;
  ConnectReport::AttemptEnd end;  // kAttemptConnected, kAttemptFailed or kAttemptNoSocket
  long error = 0;
};

class AttemptIo {
 public:
  virtual ~AttemptIo() = default;
  virtual Micros now() = 0;
  // Starts attempt `attempt`: nothing while it is pending, else how it ended
  // at once.
  virtual std::optional<AttemptEnd> start(std::size_t attempt) = 0;
  // Waits until one of `pending` ends or `until` has come (at least one look
  // at them, even when it has already come); returns those that ended.
  virtual std::vector<AttemptEnd> wait(const std::vector<std::size_t>& pending, Micros until) = 0;
  // Gives up a pending attempt.
  virtual void abandon(std::size_t attempt) = 0;
};

// Runs attempts 0 to count-1 in that order until one connects, all have
// ended, or `deadline` has come (the first attempt is started even then, and
// looked at once). The outcome is kConnected, or the kind and error of the
// last attempt to end; attempts still pending at the deadline end as timed
// out, with EINPROGRESS. With `attempts`, each started attempt is added to
// it, times counted from `origin`.
ConnectOutcome raceAttempts(std::size_t count, Micros deadline, AttemptIo& io,
                            std::vector<ConnectReport::Attempt>* attempts = nullptr,
                            Micros origin = 0);

}  // namespace revozi
