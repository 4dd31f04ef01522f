// The attempt schedule against a fake clock: every address's fate is
// played, and the clock moves only when the race waits.
#include "platform/connect_race.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace revozi {
namespace {

TEST(AttemptOrderTest, FamiliesInterleavedIpv6First) {
  constexpr int v4 = AF_INET;
  constexpr int v6 = AF_INET6;
  struct Row {
    std::vector<int> families;
    std::vector<std::size_t> order;
  };
  const Row rows[] = {
      {{}, {}},
      {{v4}, {0}},
      {{v4, v4, v4}, {0, 1, 2}},
      {{v6, v6, v4, v4}, {0, 2, 1, 3}},
      {{v4, v6, v6, v6}, {1, 0, 2, 3}},
      {{v6, v6, v6, v4}, {0, 3, 1, 2}},
      {{v4, v4, v6}, {2, 0, 1}},
      {{v4, v6, v4, v4, v6}, {1, 0, 4, 2, 3}},
      {{v6, v4, v6, v4, v6}, {0, 1, 2, 3, 4}},
  };
  for (const Row& row : rows) EXPECT_EQ(attemptOrder(row.families), row.order);
}

constexpr Micros kMs = 1000;
constexpr Micros kNever = -1;

// One address's fate: when its attempt ends after it started (kNever: it
// stays pending; 0 with `atOnce`: start() itself reports the end), and how.
struct Fate {
  Micros after;
  ConnectReport::AttemptEnd end = ConnectReport::kAttemptConnected;
  long error = 0;
  bool atOnce = false;
};
Fate connects(Micros after) { return {after}; }
Fate silent() { return {kNever}; }
Fate refusedAtOnce() { return {0, ConnectReport::kAttemptFailed, ECONNREFUSED, true}; }
Fate refusedAfter(Micros after) { return {after, ConnectReport::kAttemptFailed, EINPROGRESS}; }
Fate noSocket() { return {0, ConnectReport::kAttemptNoSocket, EMFILE, true}; }

class FakeAttempts : public AttemptIo {
 public:
  explicit FakeAttempts(std::vector<Fate> fates) : fates_(std::move(fates)), startedAt_(fates_.size(), -1) {}
  Micros now() override { return now_; }
  std::optional<AttemptEnd> start(std::size_t attempt) override {
    startedAt_[attempt] = now_;
    starts.push_back(now_);
    const Fate& f = fates_[attempt];
    if (f.atOnce) return AttemptEnd{attempt, f.end, f.error};
    return std::nullopt;
  }
  std::vector<AttemptEnd> wait(const std::vector<std::size_t>& pending, Micros until) override {
    ++waits;
    // The earliest end among the pending, if it comes before `until`.
    Micros first = -1;
    for (std::size_t a : pending) {
      if (fates_[a].after == kNever) continue;
      const Micros at = startedAt_[a] + fates_[a].after;
      if (first < 0 || at < first) first = at;
    }
    std::vector<AttemptEnd> ends;
    if (first >= 0 && first <= std::max(until, now_)) {
      now_ = std::max(now_, first);
      for (std::size_t a : pending) {
        if (fates_[a].after != kNever && startedAt_[a] + fates_[a].after == first) {
          ends.push_back({a, fates_[a].end, fates_[a].error});
        }
      }
    } else {
      now_ = std::max(now_, until);
    }
    return ends;
  }
  void abandon(std::size_t attempt) override { abandoned.push_back(attempt); }

  std::vector<Micros> starts;
  std::vector<std::size_t> abandoned;
  int waits = 0;

 private:
  std::vector<Fate> fates_;
  std::vector<Micros> startedAt_;
  Micros now_ = 0;
};

TEST(RaceAttemptsTest, ScheduleAndOutcome) {
  using R = ConnectReport;
  struct Row {
    std::string what;
    std::vector<Fate> fates;
    Micros deadline;
    ConnectOutcome::Kind kind;
    long error;
    Micros endsAt;                  // the fake clock when the race returns
    std::vector<Micros> starts;     // start of each attempt made
    std::vector<R::AttemptEnd> ends;
    std::vector<std::size_t> abandoned;
  };
  const Row rows[] = {
      {"one address that answers", {connects(5 * kMs)}, 8000 * kMs,
       ConnectOutcome::kConnected, 0, 5 * kMs, {0}, {R::kAttemptConnected}, {}},
      {"first address blackholed: the second starts 250 ms later and wins",
       {silent(), connects(1 * kMs)}, 8000 * kMs, ConnectOutcome::kConnected, 0, 251 * kMs,
       {0, 250 * kMs}, {R::kAttemptAbandoned, R::kAttemptConnected}, {0}},
      {"a refusal at once starts the next at once", {refusedAtOnce(), connects(2 * kMs)}, 8000 * kMs,
       ConnectOutcome::kConnected, 0, 2 * kMs, {0, 0}, {R::kAttemptFailed, R::kAttemptConnected}, {}},
      {"a refusal after a while starts the next then", {refusedAfter(10 * kMs), connects(2 * kMs)},
       8000 * kMs, ConnectOutcome::kConnected, 0, 12 * kMs, {0, 10 * kMs},
       {R::kAttemptFailed, R::kAttemptConnected}, {}},
      {"the earlier attempt may still win", {connects(300 * kMs), connects(400 * kMs)}, 8000 * kMs,
       ConnectOutcome::kConnected, 0, 300 * kMs, {0, 250 * kMs},
       {R::kAttemptConnected, R::kAttemptAbandoned}, {1}},
      {"nothing answers: every attempt times out at the deadline", {silent(), silent(), silent()},
       1000 * kMs, ConnectOutcome::kNotConnected, EINPROGRESS, 1000 * kMs, {0, 250 * kMs, 500 * kMs},
       {R::kAttemptTimedOut, R::kAttemptTimedOut, R::kAttemptTimedOut}, {0, 1, 2}},
      {"no attempt starts at or after the deadline", {silent(), silent(), silent(), silent()},
       500 * kMs, ConnectOutcome::kNotConnected, EINPROGRESS, 500 * kMs, {0, 250 * kMs},
       {R::kAttemptTimedOut, R::kAttemptTimedOut}, {0, 1}},
      {"a zero time-out: one attempt, looked at once", {silent(), connects(0)}, 0,
       ConnectOutcome::kNotConnected, EINPROGRESS, 0, {0}, {R::kAttemptTimedOut}, {0}},
      {"every address refused: the last refusal is the outcome",
       {refusedAtOnce(), refusedAfter(3 * kMs), refusedAtOnce()}, 8000 * kMs,
       ConnectOutcome::kNotConnected, ECONNREFUSED, 3 * kMs, {0, 0, 3 * kMs},
       {R::kAttemptFailed, R::kAttemptFailed, R::kAttemptFailed}, {}},
      {"no socket, then a refusal: the refusal is the outcome", {noSocket(), refusedAtOnce()}, 8000 * kMs,
       ConnectOutcome::kNotConnected, ECONNREFUSED, 0, {0, 0},
       {R::kAttemptNoSocket, R::kAttemptFailed}, {}},
      {"no socket last", {refusedAtOnce(), noSocket()}, 8000 * kMs, ConnectOutcome::kNoSocket, EMFILE,
       0, {0, 0}, {R::kAttemptFailed, R::kAttemptNoSocket}, {}},
      {"a failure while another is pending, then the deadline",
       {silent(), refusedAfter(100 * kMs)}, 1000 * kMs, ConnectOutcome::kNotConnected, EINPROGRESS,
       1000 * kMs, {0, 250 * kMs}, {R::kAttemptTimedOut, R::kAttemptFailed}, {0}},
  };
  for (const Row& row : rows) {
    FakeAttempts io(row.fates);
    std::vector<ConnectReport::Attempt> attempts;
    const ConnectOutcome outcome = raceAttempts(row.fates.size(), row.deadline, io, &attempts);
    EXPECT_EQ(outcome.kind, row.kind) << row.what;
    EXPECT_EQ(outcome.error, row.error) << row.what;
    EXPECT_EQ(io.now(), row.endsAt) << row.what;
    EXPECT_EQ(io.starts, row.starts) << row.what;
    EXPECT_EQ(io.abandoned, row.abandoned) << row.what;
    ASSERT_EQ(attempts.size(), row.ends.size()) << row.what;
    for (std::size_t i = 0; i < attempts.size(); ++i) {
      EXPECT_EQ(attempts[i].end, row.ends[i]) << row.what << ", attempt " << i;
      EXPECT_EQ(attempts[i].startMicros, row.starts[i]) << row.what << ", attempt " << i;
      EXPECT_GE(attempts[i].endMicros, attempts[i].startMicros) << row.what << ", attempt " << i;
    }
    EXPECT_LT(io.waits, 20) << row.what;
  }
}

}  // namespace
}  // namespace revozi
