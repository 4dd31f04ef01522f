// The server memory (REVOZI_STATE_DIR): what the probes of earlier processes
// found, one record per host and port, so that a server that has just failed
// is passed over instead of costing every shopper its time-out. A record
// holds the host and port and four times and counts, nothing else. The
// memory is advisory: a record that cannot be trusted is no record, and a
// server without one is probed as always.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace revozi {

// The operator's variables: the memory's directory, its retry period, and
// the log lines on standard error.
inline constexpr char kStateDirVariable[] = "REVOZI_STATE_DIR";
inline constexpr char kRetryVariable[] = "REVOZI_RETRY_SECONDS";
inline constexpr char kLogVariable[] = "REVOZI_LOG";
inline constexpr long long kDefaultRetrySeconds = 30;
inline constexpr long long kMaxRetrySeconds = 86400;
// A longer file is no record of the module's.
inline constexpr std::size_t kHealthFileMax = 1024;
// A host whose file name would be longer is not remembered.
inline constexpr std::size_t kHealthNameMax = 200;
// A record file's name ends with ":PORT"; its lock file's with this.
inline constexpr std::string_view kLockSuffix = ".lock";

struct HealthRecord {
  std::string host;           // as in the file name: see healthFileName
  std::uint16_t port = 0;
  long long lastFailure = 0;  // seconds since the epoch; 0: never
  long long failures = 0;     // in a row; 0 once the server answered
  long long downSince = 0;    // the first failure of that row
  long long lastSuccess = 0;  // 0: never
};

// The file of host:port: the host's letters, digits and "-._:[]" as they
// are (a leading '.' excepted), every other byte as %XX, then ":PORT"; the
// empty text when that is longer than kHealthNameMax.
std::string healthFileName(std::string_view host, std::uint16_t port);

// One line: "revozi-health 1 HOST PORT LAST-FAILURE FAILURES DOWN-SINCE
// LAST-SUCCESS\n", HOST as in the file name.
std::string formatHealthRecord(const HealthRecord& record);
// That line exactly (decimal numbers, a port up to 65535), else nothing.
std::optional<HealthRecord> parseHealthRecord(std::string_view text);

// REVOZI_RETRY_SECONDS: whole seconds from 1 to kMaxRetrySeconds, digits
// only; nothing for anything else (the default then applies).
std::optional<long long> retrySecondsOf(const char* text);

// A time as "2026-12-08T05:01:02Z".
std::string utcText(long long seconds);

// What a record says of its server at `now`: up (no failure in a row, or
// one recorded in the future: a clock set back), marked (it failed less
// than the retry period ago) or due for a retry.
enum class Health { kUp, kMarked, kDue };
Health healthAt(const HealthRecord& record, long long now, long long retrySeconds);

class ServerHealth {
 public:
  // The memory in `directory` when it is a directory of this process's user
  // (see Platform::stateDirectory), else nothing: the servers are probed as
  // always.
  static std::optional<ServerHealth> open(Platform& platform, const char* directory, const char* retryText);

  long long retrySeconds() const { return retry_; }
  // The record of host:port, read once; an empty one when there is none to
  // trust.
  const HealthRecord& record(std::string_view host, std::uint16_t port);
  Health health(std::string_view host, std::uint16_t port);
  // For a server due for a retry: true when this process is to probe it
  // again (it holds the server's claim and the record, read again, is still
  // due or up, or no claim can be taken at all), false when another process
  // is doing it or did it within the period.
  bool claimRetry(std::string_view host, std::uint16_t port);
  void recordFailure(std::string_view host, std::uint16_t port);
  // True when the success ends a row of failures. A server already up is
  // written at most once per retry period.
  bool recordSuccess(std::string_view host, std::uint16_t port);

 private:
  struct Entry {
    std::string name;  // empty: not remembered
    HealthRecord record;
  };
  ServerHealth(Platform& platform, std::string directory, long long owner, long long retry)
      : platform_(&platform), directory_(std::move(directory)), owner_(owner), retry_(retry) {}
  Entry& entry(std::string_view host, std::uint16_t port);
  void read(Entry& entry);
  void write(Entry& entry);

  Platform* platform_;
  std::string directory_;
  long long owner_;
  long long retry_;
  std::vector<Entry> entries_;
};

}  // namespace revozi
