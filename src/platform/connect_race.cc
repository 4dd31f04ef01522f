#include "platform/connect_race.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace revozi {

std::vector<std::size_t> attemptOrder(const std::vector<int>& families) {
  std::vector<std::size_t> first;
  std::vector<std::size_t> other;
  const bool v6 = std::find(families.begin(), families.end(), AF_INET6) != families.end();
  for (std::size_t i = 0; i < families.size(); ++i) {
    (families[i] == (v6 ? AF_INET6 : families.front()) ? first : other).push_back(i);
  }
  std::vector<std::size_t> order;
  order.reserve(families.size());
  for (std::size_t k = 0; k < std::max(first.size(), other.size()); ++k) {
    if (k < first.size()) order.push_back(first[k]);
    if (k < other.size()) order.push_back(other[k]);
  }
  return order;
}

ConnectOutcome raceAttempts(std::size_t count, Micros deadline, AttemptIo& io,
                            std::vector<ConnectReport::Attempt>* attempts, Micros origin) {
  ConnectOutcome outcome{ConnectOutcome::kNotConnected, 0};
  std::vector<std::size_t> pending;
  std::size_t next = 0;
  Micros nextStart = io.now();
  const std::size_t firstRecord = attempts != nullptr ? attempts->size() : 0;

  auto record = [&](std::size_t attempt, Micros at, ConnectReport::AttemptEnd end, long error) {
    if (attempts == nullptr) return;
    ConnectReport::Attempt& a = (*attempts)[firstRecord + attempt];
    a.endMicros = at - origin;
    a.end = end;
    a.error = error;
  };
  // The last attempt to end gives the outcome.
  auto ended = [&](const AttemptEnd& e, Micros at) {
    record(e.attempt, at, e.end, e.error);
    if (e.end == ConnectReport::kAttemptConnected) {
      outcome = {ConnectOutcome::kConnected, 0};
    } else {
      outcome = {e.end == ConnectReport::kAttemptNoSocket ? ConnectOutcome::kNoSocket
                                                          : ConnectOutcome::kNotConnected,
                 e.error};
    }
    pending.erase(std::remove(pending.begin(), pending.end(), e.attempt), pending.end());
  };
  auto giveUp = [&](Micros at, ConnectReport::AttemptEnd why) {
    for (std::size_t attempt : pending) {
      io.abandon(attempt);
      record(attempt, at, why, EINPROGRESS);
    }
    pending.clear();
  };

  for (;;) {
    Micros now = io.now();
    // Start what is due: the first attempt always, later ones only before
    // the deadline.
    while (next < count && now >= nextStart && (next == 0 || now < deadline)) {
      const std::size_t attempt = next++;
      if (attempts != nullptr) {
        attempts->push_back({{}, now - origin, now - origin, ConnectReport::kAttemptTimedOut, 0});
      }
      pending.push_back(attempt);
      nextStart = now + kAttemptStagger;
      if (std::optional<AttemptEnd> at = io.start(attempt)) {
        ended(*at, now);
        if (outcome.kind == ConnectOutcome::kConnected) {
          giveUp(now, ConnectReport::kAttemptAbandoned);
          return outcome;
        }
        nextStart = now;  // failed at once: the next one starts now
      }
    }
    if (pending.empty()) return outcome;  // every attempt failed, or no time for more

    const Micros until = next < count ? std::min(nextStart, deadline) : deadline;
    const std::vector<AttemptEnd> ends = io.wait(pending, until);
    now = io.now();
    for (const AttemptEnd& e : ends) {
      ended(e, now);
      if (outcome.kind == ConnectOutcome::kConnected) {
        giveUp(now, ConnectReport::kAttemptAbandoned);
        return outcome;
      }
      nextStart = now;
    }
    if (ends.empty() && now >= deadline) {
      giveUp(now, ConnectReport::kAttemptTimedOut);
      return {ConnectOutcome::kNotConnected, EINPROGRESS};
    }
  }
}

}  // namespace revozi
