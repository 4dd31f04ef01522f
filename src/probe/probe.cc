// Server selection. Each probe asks the platform for a TCP connection to the
// URL's host on the KWT_PORT port within the slot's time-out: no byte is sent
// or read.

#include "probe/probe.h"

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
  const std::string host(hostOfUrl(url));
  const ConnectOutcome outcome = platform.connectTcp(host, port, timeoutSeconds);
  if (outcome.kind == ConnectOutcome::kConnected || trace == nullptr) {
    return outcome.kind == ConnectOutcome::kConnected;
  }
  switch (outcome.kind) {
    case ConnectOutcome::kUnresolved: pagePrint(*trace, kResolveFailed, outcome.error, Html{host}); break;
    case ConnectOutcome::kNoSocket: pagePrint(*trace, kSocketFailed, Html{host}); break;
    default: pagePrint(*trace, kConnectError, outcome.error, Html{host}); break;
  }
  return false;
}

std::optional<std::string> selectServer(const ParamTable& params, Platform& platform,
                                        PageOutput* trace) {
  if (trace != nullptr) pagePrint(*trace, kHtmlHeadAndBody);
  const std::uint16_t port = probePort(params.text(kPort));
  std::optional<std::string> found;
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
