#include "probe/health.h"

#include <ctime>

namespace revozi {
namespace {

constexpr std::string_view kRecordTag = "revozi-health 1 ";
constexpr int kNumberDigitsMax = 18;  // far beyond any time, never an overflow

bool plainNameByte(char c, bool first) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  if (c == '.') return !first;
  return c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
}

// A decimal number of 1 to kNumberDigitsMax digits.
std::optional<long long> numberOf(std::string_view text) {
  if (text.empty() || text.size() > kNumberDigitsMax) return std::nullopt;
  long long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

std::string healthFileName(std::string_view host, std::uint16_t port) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (std::size_t i = 0; i < host.size(); ++i) {
    const auto byte = static_cast<unsigned char>(host[i]);
    if (plainNameByte(host[i], i == 0)) {
      name.push_back(host[i]);
    } else {
      name.push_back('%');
      name.push_back(kHex[byte >> 4]);
      name.push_back(kHex[byte & 0xF]);
    }
  }
  name += ":" + std::to_string(port);
  return name.size() > kHealthNameMax ? std::string() : name;
}

std::string formatHealthRecord(const HealthRecord& r) {
  return std::string(kRecordTag) + r.host + " " + std::to_string(r.port) + " " + std::to_string(r.lastFailure) +
         " " + std::to_string(r.failures) + " " + std::to_string(r.downSince) + " " +
         std::to_string(r.lastSuccess) + "\n";
}

std::optional<HealthRecord> parseHealthRecord(std::string_view text) {
  if (!text.starts_with(kRecordTag) || !text.ends_with('\n')) return std::nullopt;
  text = text.substr(kRecordTag.size(), text.size() - kRecordTag.size() - 1);
  std::vector<std::string_view> fields;
  for (std::size_t at = 0; fields.size() < 7;) {
    const std::size_t blank = text.find(' ', at);
    fields.push_back(text.substr(at, blank == std::string_view::npos ? blank : blank - at));
    if (blank == std::string_view::npos) break;
    at = blank + 1;
  }
  if (fields.size() != 6 || fields[0].empty()) return std::nullopt;
  for (std::size_t i = 0; i < fields[0].size(); ++i) {
    const char c = fields[0][i];
    if (!plainNameByte(c, i == 0) && c != '%') return std::nullopt;
  }
  long long numbers[5];
  for (std::size_t i = 0; i < 5; ++i) {
    const std::optional<long long> n = numberOf(fields[i + 1]);
    if (!n) return std::nullopt;
    numbers[i] = *n;
  }
  if (numbers[0] > 65535) return std::nullopt;
  return HealthRecord{std::string(fields[0]), static_cast<std::uint16_t>(numbers[0]), numbers[1], numbers[2],
                      numbers[3], numbers[4]};
}

std::optional<long long> retrySecondsOf(const char* text) {
  if (text == nullptr) return std::nullopt;
  const std::optional<long long> n = numberOf(text);
  if (!n || *n < 1 || *n > kMaxRetrySeconds) return std::nullopt;
  return n;
}

std::string utcText(long long seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "?";
  if (gmtime_r(&time, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

Health healthAt(const HealthRecord& record, long long now, long long retrySeconds) {
  if (record.failures == 0 || record.lastFailure > now) return Health::kUp;
  return now - record.lastFailure < retrySeconds ? Health::kMarked : Health::kDue;
}

std::optional<ServerHealth> ServerHealth::open(Platform& platform, const char* directory, const char* retryText) {
  if (directory == nullptr || *directory == '\0') return std::nullopt;
  const StateDirectory state = platform.stateDirectory(directory);
  if (state.access != StateDirectory::kWritable) return std::nullopt;
  return ServerHealth(platform, directory, state.owner, retrySecondsOf(retryText).value_or(kDefaultRetrySeconds));
}

ServerHealth::Entry& ServerHealth::entry(std::string_view host, std::uint16_t port) {
  std::string name = healthFileName(host, port);
  for (Entry& e : entries_) {
    if (!name.empty() && e.name == name) return e;
  }
  Entry& e = entries_.emplace_back(Entry{std::move(name), {}});
  read(e);
  return e;
}

void ServerHealth::read(Entry& e) {
  const std::string_view encoded = std::string_view(e.name).substr(0, e.name.rfind(':'));
  std::uint16_t port = 0;
  if (!e.name.empty()) port = static_cast<std::uint16_t>(*numberOf(std::string_view(e.name).substr(encoded.size() + 1)));
  e.record = HealthRecord{std::string(encoded), port};
  if (e.name.empty()) return;
  std::string text;
  const std::string path = directory_ + "/" + e.name;
  if (platform_->readStateFile(path.c_str(), owner_, kHealthFileMax, text) != FileRead::kRead) return;
  // A record of another server under this name is none.
  if (std::optional<HealthRecord> r = parseHealthRecord(text); r && r->host == encoded && r->port == port) {
    e.record = *r;
  }
}

void ServerHealth::write(Entry& e) {
  if (!e.name.empty()) platform_->replaceStateFile(directory_.c_str(), e.name.c_str(), formatHealthRecord(e.record));
}

const HealthRecord& ServerHealth::record(std::string_view host, std::uint16_t port) {
  return entry(host, port).record;
}

Health ServerHealth::health(std::string_view host, std::uint16_t port) {
  return healthAt(record(host, port), platform_->wallSeconds(), retry_);
}

bool ServerHealth::claimRetry(std::string_view host, std::uint16_t port) {
  Entry& e = entry(host, port);
  if (e.name.empty()) return true;
  const std::string lock = directory_ + "/" + e.name + std::string(kLockSuffix);
  switch (platform_->claimStateFile(lock.c_str())) {
    case Claim::kBusy: return false;
    case Claim::kUnavailable: return true;  // no memory to share: as always
    case Claim::kHeld: break;
  }
  // Another process may have probed it again since the record was read.
  read(e);
  return healthAt(e.record, platform_->wallSeconds(), retry_) != Health::kMarked;
}

void ServerHealth::recordFailure(std::string_view host, std::uint16_t port) {
  Entry& e = entry(host, port);
  const long long now = platform_->wallSeconds();
  if (e.record.failures == 0) e.record.downSince = now;
  e.record.lastFailure = now;
  ++e.record.failures;
  write(e);
}

bool ServerHealth::recordSuccess(std::string_view host, std::uint16_t port) {
  Entry& e = entry(host, port);
  const long long now = platform_->wallSeconds();
  const bool recovered = e.record.failures > 0;
  const long long age = now - e.record.lastSuccess;
  if (!recovered && e.record.lastSuccess != 0 && age >= 0 && age < retry_) return false;
  e.record.failures = 0;
  e.record.lastSuccess = now;
  write(e);
  return recovered;
}

}  // namespace revozi
