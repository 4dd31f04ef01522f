#include "driver/status.h"

#include <algorithm>
#include <string>
#include <vector>

#include "params/text.h"
#include "probe/health.h"

namespace revozi {
namespace {

void line(Platform& platform, const std::string& text) { platform.writeOutput(text + "\n"); }

std::string stateOf(const HealthRecord& r, long long now, long long retry) {
  const std::string success = r.lastSuccess != 0 ? "last success " + utcText(r.lastSuccess) : "never reached";
  switch (healthAt(r, now, retry)) {
    case Health::kUp: return "up, " + success;
    case Health::kMarked:
      return "down since " + utcText(r.downSince) + " (failures in a row: " + std::to_string(r.failures) + ", the last " +
             utcText(r.lastFailure) + "), next retry " + utcText(r.lastFailure + retry) + " (in " +
             std::to_string(r.lastFailure + retry - now) + " s), " + success;
    case Health::kDue: break;
  }
  return "down since " + utcText(r.downSince) + " (failures in a row: " + std::to_string(r.failures) + ", the last " +
         utcText(r.lastFailure) + "), next retry due now, " + success;
}

}  // namespace

int runStatus(Platform& platform) {
  const char* directory = platform.getEnv(kStateDirVariable);
  if (directory == nullptr || *directory == '\0') {
    line(platform, "memory off: " + std::string(kStateDirVariable) + " is not set");
    return 0;
  }
  const std::string shownDir = printable(directory);
  const StateDirectory state = platform.stateDirectory(directory);
  if (state.access == StateDirectory::kUnusable) {
    line(platform, "memory off: " + shownDir +
                       " is no directory, or its group or other users may write it: the servers are probed as always");
    return 0;
  }
  const char* retryText = platform.getEnv(kRetryVariable);
  const long long retry = retrySecondsOf(retryText).value_or(kDefaultRetrySeconds);
  std::string head = "memory " + shownDir + ", retry period " + std::to_string(retry) + " s";
  if (retryText != nullptr && !retrySecondsOf(retryText)) {
    head += " (" + std::string(kRetryVariable) + " \"" + printable(retryText) + "\" is not from 1 to " +
            std::to_string(kMaxRetrySeconds) + ": the default)";
  }
  if (state.access == StateDirectory::kReadable) head += "; read only: another user's directory";
  line(platform, head);
  std::vector<std::string> names = platform.listDirectory(directory);
  std::sort(names.begin(), names.end());
  const long long now = platform.wallSeconds();
  for (const std::string& name : names) {
    if (name.starts_with(".") || name.ends_with(kLockSuffix)) continue;
    std::string text;
    const std::string path = std::string(directory) + "/" + name;
    std::optional<HealthRecord> record;
    if (platform.readStateFile(path.c_str(), state.owner, kHealthFileMax, text) == FileRead::kRead) {
      record = parseHealthRecord(text);
    }
    if (!record || name != record->host + ":" + std::to_string(record->port)) {
      line(platform, "ignored: " + printable(name) +
                         " (no record: unreadable, corrupt, too long, a link, another user's or writable by others)");
      continue;
    }
    line(platform, name + "  " + stateOf(*record, now, retry));
  }
  return 0;
}

}  // namespace revozi
