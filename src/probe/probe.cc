// Server selection. Each probe asks the platform for a TCP connection to the
// URL's host on the KWT_PORT port within the slot's time-out: no byte is sent
// or read.

#include "probe/probe.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "pages/texts.h"
#include "params/numbers.h"
#include "params/text.h"
#include "params/validate.h"

namespace revozi {
namespace {

constexpr std::string_view kResolveFailed =
    "<CENTER><B>gethostbyname() erreur %ld pour le serveur %s</B></P></CENTER>\n";
constexpr std::string_view kSocketFailed =
    "<CENTER><B>socket() en erreur pour le serveur %s</B></P></CENTER>\n";
constexpr std::string_view kUrlRefused =
    "<CENTER><B>URL refus&eacute;e pour le serveur %s</B></P></CENTER>\n";
constexpr std::string_view kConnectError =
    "<CENTER><B>connect() erreur %ld pour le serveur %s</B></P></CENTER>\n";
constexpr std::string_view kPassedOver =
    "<CENTER><B>panne m&eacute;moris&eacute;e (%ld &eacute;checs) pour le serveur %s</B></P></CENTER>\n";

// The log lines (standard error), each a whole line; every configured byte
// in them goes through printable().
constexpr std::string_view kLogHead = "revozi: slot ";

// One probe, its trace line written when it fails.
ConnectOutcome probeOutcome(Platform& platform, const std::string& host, std::uint16_t port,
                            long timeoutSeconds, PageOutput* trace) {
  const ConnectOutcome outcome = platform.connectTcp(host, port, timeoutSeconds);
  if (outcome.kind == ConnectOutcome::kConnected || trace == nullptr) return outcome;
  switch (outcome.kind) {
    case ConnectOutcome::kUnresolved: pagePrint(*trace, kResolveFailed, outcome.error, Html{host}); break;
    case ConnectOutcome::kNoSocket: pagePrint(*trace, kSocketFailed, Html{host}); break;
    default: pagePrint(*trace, kConnectError, outcome.error, Html{host}); break;
  }
  return outcome;
}

// Selection with the memory or the log: the slots in order, those passed
// over kept for the second pass.
class Remembering {
  static constexpr std::size_t kNoSlot = std::size(kServerSlots);

 public:
  Remembering(const ParamTable& params, Platform& platform, std::uint16_t port, PageOutput* trace,
              const SelectionAids& aids)
      : params_(params), platform_(platform), port_(port), trace_(trace), aids_(aids) {}

  std::optional<std::string> select() {
    for (std::size_t i = 0; i < std::size(kServerSlots); ++i) {
      if (params_.empty(kServerSlots[i].url)) continue;
      const std::string_view url = params_.text(kServerSlots[i].url);
      if (!isServerUrl(url)) {
        if (trace_ != nullptr) pagePrint(*trace_, kUrlRefused, Html{url});
        continue;
      }
      if (passOver(i)) continue;
      if (probe(i, nextAfter(i))) return std::string(url);
    }
    for (std::size_t k = 0; k < passed_.size(); ++k) {
      const std::size_t next = k + 1 < passed_.size() ? passed_[k + 1] : kNoSlot;
      if (probe(passed_[k], next)) return std::string(params_.text(kServerSlots[passed_[k]].url));
    }
    return std::nullopt;
  }

 private:
  std::string hostOf(std::size_t i) const { return std::string(hostOfUrl(params_.text(kServerSlots[i].url))); }

  // The next slot to probe or pass over after slot i, or kNoSlot.
  std::size_t laterSlot(std::size_t i) const {
    for (std::size_t j = i + 1; j < kNoSlot; ++j) {
      if (!params_.empty(kServerSlots[j].url) && isServerUrl(params_.text(kServerSlots[j].url))) return j;
    }
    return kNoSlot;
  }
  // Where selection goes when slot i fails in the first pass.
  std::size_t nextAfter(std::size_t i) const {
    const std::size_t j = laterSlot(i);
    return j != kNoSlot || passed_.empty() ? j : passed_.front();
  }

  // Passes slot i over when its server is marked (due, but another process
  // probes it again) and a later slot's is not.
  bool passOver(std::size_t i) {
    ServerHealth* health = aids_.health;
    if (health == nullptr || !aids_.passOver) return false;
    const std::string host = hostOf(i);
    Health state = health->health(host, port_);
    if (state == Health::kUp || (state == Health::kDue && health->claimRetry(host, port_))) return false;
    std::size_t later = laterSlot(i);
    while (later != kNoSlot && health->health(hostOf(later), port_) == Health::kMarked) later = laterSlot(later);
    if (later == kNoSlot) return false;  // every slot marked: probed as always
    const HealthRecord& record = health->record(host, port_);
    if (trace_ != nullptr) pagePrint(*trace_, kPassedOver, record.failures, Html{host});
    if (aids_.log) {
      const long long retryIn = std::max(0LL, record.lastFailure + health->retrySeconds() - platform_.wallSeconds());
      log(i, "passed over (down since " + utcText(record.downSince) + ", failures in a row: " +
                 std::to_string(record.failures) + ", next retry in " + std::to_string(retryIn) + " s)",
          laterSlot(i));
    }
    passed_.push_back(i);
    return true;
  }

  bool probe(std::size_t i, std::size_t next) {
    const std::string host = hostOf(i);
    const long long start = aids_.log ? platform_.steadyMicros() : 0;
    const ConnectOutcome outcome =
        probeOutcome(platform_, host, port_, probeTimeout(params_.text(kServerSlots[i].timeout)), trace_);
    ServerHealth* health = aids_.health;
    if (outcome.kind == ConnectOutcome::kConnected) {
      const long long failures = health != nullptr ? health->record(host, port_).failures : 0;
      if (health != nullptr && health->recordSuccess(host, port_) && aids_.log) {
        writeLine(i, "reachable again (failures in a row: " + std::to_string(failures) + ")");
      }
      return true;
    }
    if (health != nullptr) health->recordFailure(host, port_);
    if (aids_.log) {
      const char* what = outcome.kind == ConnectOutcome::kUnresolved ? "resolve"
                         : outcome.kind == ConnectOutcome::kNoSocket ? "socket"
                                                                      : "connect";
      log(i, std::string("unreachable (") + what + " " + std::to_string(outcome.error) + " after " +
                 std::to_string((platform_.steadyMicros() - start) / 1000) + " ms)",
          next);
    }
    return false;
  }

  void log(std::size_t i, const std::string& what, std::size_t next) {
    writeLine(i, what + (next != kNoSlot ? std::string(", using ") + kServerSlots[next].name : ", no slot left"));
  }
  void writeLine(std::size_t i, const std::string& what) {
    platform_.writeError(std::string(kLogHead) + kServerSlots[i].name + " " +
                         printable(params_.text(kServerSlots[i].url)) + " " + what + "\n");
  }

  const ParamTable& params_;
  Platform& platform_;
  std::uint16_t port_;
  PageOutput* trace_;
  const SelectionAids& aids_;
  std::vector<std::size_t> passed_;
};

}  // namespace

bool isServerUrl(std::string_view url) {
  const bool web = startsWithIgnoringCase(url, "http://") || startsWithIgnoringCase(url, "https://") ||
                   url.substr(0, 2) == "//";
  return web && !hasControlByte(url);
}

bool isSlotOff(std::string_view url) { return equalsIgnoringCase(url, kSlotOff); }

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
  const auto bits = static_cast<unsigned long long>(atoiValue(portText));
  return static_cast<std::uint16_t>(bits & 0xFFFFu);
}

long probeTimeout(std::string_view timeoutText) { return static_cast<long>(atoiValue(timeoutText)); }

bool probeServer(Platform& platform, std::string_view url, std::uint16_t port,
                 long timeoutSeconds, PageOutput* trace) {
  return probeOutcome(platform, std::string(hostOfUrl(url)), port, timeoutSeconds, trace).kind ==
         ConnectOutcome::kConnected;
}

std::optional<std::string> selectServer(const ParamTable& params, Platform& platform,
                                        PageOutput* trace, const SelectionAids& aids) {
  if (trace != nullptr) pagePrint(*trace, kHtmlHeadAndBody);
  const std::uint16_t port = probePort(params.text(kPort));
  std::optional<std::string> found;
  if (aids.health != nullptr || aids.log) {
    found = Remembering(params, platform, port, trace, aids).select();
    if (trace != nullptr) pagePrint(*trace, kPageEnd);
    return found;
  }
  for (const ServerSlot& slot : kServerSlots) {
    const std::string_view url = params.text(slot.url);
    if (url.empty() || isSlotOff(url)) continue;  // no network activity
    // Anything else would become the form's action: a script, or a line
    // break in the ping report.
    if (!isServerUrl(url)) {
      if (trace != nullptr) pagePrint(*trace, kUrlRefused, Html{url});
      continue;
    }
    if (probeServer(platform, url, port, probeTimeout(params.text(slot.timeout)), trace)) {
      found.emplace(url);
      break;  // no further server is contacted
    }
  }
  if (trace != nullptr) pagePrint(*trace, kPageEnd);
  return found;
}

}  // namespace revozi
