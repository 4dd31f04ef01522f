#include "driver/check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "params/error_codes.h"
#include "params/form_fields.h"
#include "params/sources.h"
#include "params/text.h"
#include "params/validate.h"
#include "probe/probe.h"

namespace revozi {
namespace {

// The checklist as it is written: one line per item, its verdict first.
class Checklist {
 public:
  explicit Checklist(Platform& platform) : platform_(platform) {}
  void ok(const std::string& text) { line("ok  ", text); }
  void warn(const std::string& text) { line("warn", text); }
  void fail(const std::string& text) {
    failed_ = true;
    line("FAIL", text);
  }
  bool failed() const { return failed_; }

 private:
  void line(std::string_view mark, const std::string& text) {
    platform_.writeOutput(std::string(mark) + "  " + text + "\n");
  }
  Platform& platform_;
  bool failed_ = false;
};

// A configured value as it may be shown on a terminal.
std::string shown(std::string_view text) { return printable(text); }

std::string quoted(std::string_view text) { return "\"" + shown(text) + "\""; }

std::string millis(long long micros) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(micros) / 1000.0);
  return text;
}

std::string errnoText(long error) {
  // EINPROGRESS: what connect left for an attempt refused after being in
  // progress.
  const char* meaning = error == EINPROGRESS ? "refused or unreachable" : std::strerror(static_cast<int>(error));
  return "error " + std::to_string(error) + " (" + meaning + ")";
}

std::string resolveErrorText(long error) {
  const char* meaning = "";
  switch (error) {
    case kNoSuchName: meaning = ", no such name"; break;
    case kTryAgain: meaning = ", no answer in time, try again"; break;
    case kNoRecovery: meaning = ", non-recoverable"; break;
    case kNoAddress: meaning = ", a name without addresses"; break;
    default: break;
  }
  return std::to_string(error) + meaning;
}

int filledCount(const ParamTable& params) {
  int n = 0;
  for (int i = 0; i < kParamCount; ++i) n += params.empty(i) ? 0 : 1;
  return n;
}

std::string modeOrigin(const Platform& platform, const std::vector<std::string>& args) {
  if (getenvEither(platform, "KWT_MODE", "VEL_MODE") != nullptr) return "from the environment";
  for (std::size_t a = 1; a < args.size(); ++a) {
    if (args[a].starts_with("KWT_MODE=") || args[a].starts_with("VEL_MODE=")) return "from the command line";
  }
  return "the default: the form alone";
}

std::string whereIs(const std::string& path) {
  if (path.starts_with("/")) return shown(path);
  char directory[4096];
  if (getcwd(directory, sizeof directory) == nullptr) return shown(path);
  return shown(path) + " (in " + shown(directory) + ")";
}

// The options file: read or not, and who may read a key it holds.
int checkOptionsFile(Checklist& list, ParamTable& params, const Sources& sources) {
  const std::string path = optionsFilePath(params, sources);
  const int before = filledCount(params);
  const int code = applySource(params, sources, '3');
  const std::string item = "source 3, the options file " + whereIs(path);
  if (code == kErrOptionsOpen) {
    list.fail(item + ": cannot be opened (missing, not readable or a directory): requests fail with -5");
    return code;
  }
  if (code == kErrOptionsLine) {
    list.fail(item + ": a line without '=' or too long: requests fail with -6");
    return code;
  }
  if (code != 0) {
    list.fail(item + ": cannot be read: requests fail with " + std::to_string(code));
    return code;
  }
  list.ok(item + ": read, " + std::to_string(filledCount(params) - before) + " parameters set");
  ParamTable own;
  readOptionsFile(own, sources.platform, path.c_str());
  if (own.empty(kCle)) return 0;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  if ((info.st_mode & S_IROTH) != 0) {
    list.fail("the options file holds KWT_CLE and every user may read it (mode " + std::string(mode) +
              "): chmod o-r " + shown(path));
  } else {
    list.ok("the options file holds KWT_CLE, other users may not read it (mode " + std::string(mode) + ")");
  }
  return 0;
}

// The sources in the mode string's order, stopping at the first that fails,
// as a request reads them.
void checkSources(Checklist& list, ParamTable& params, const Sources& sources) {
  const std::string mode = modeString(sources);
  list.ok("mode string " + quoted(mode) + ", " + modeOrigin(sources.platform, sources.args));
  params.set(kMode, mode);
  for (char c : mode) {
    const int before = filledCount(params);
    int code = 0;
    switch (c) {
      case '1':
        applySource(params, sources, c);
        list.ok("source 1, the form: the order's fields (none outside a web server)");
        break;
      case '2':
      case '4':
        applySource(params, sources, c);
        list.ok(std::string(c == '2' ? "source 2, the environment: " : "source 4, the command line: ") +
                std::to_string(filledCount(params) - before) + " parameters set");
        break;
      case '3': code = checkOptionsFile(list, params, sources); break;
      default: list.warn("mode string character " + quoted(std::string_view(&c, 1)) + " names no source");
    }
    if (code != 0) {
      list.fail("the sources after it in the mode string are not read");
      break;
    }
  }
}

void checkKey(Checklist& list, const ParamTable& params) {
  const bool given = !params.empty(kCle);
  if (!keySlotHasKey()) {
    if (given) {
      list.fail("merchant key: none written into the module, yet KWT_CLE is given: requests fail with -17");
    } else {
      list.ok("merchant key: none written into the module, no KWT_CLE");
    }
  } else if (!given) {
    list.fail("merchant key: written into the module, KWT_CLE not given: requests fail with -7");
  } else if (validateKey(params, kCle) != 0) {
    list.fail("merchant key: written into the module, KWT_CLE does not match: requests fail with -17");
  } else {
    list.ok("merchant key: written into the module, KWT_CLE matches");
  }
}

void checkAttempts(Checklist& list, const std::string& name, std::uint16_t port, const ConnectReport& report,
                   bool reached) {
  long long winnerStart = -1;
  for (const ConnectReport::Attempt& a : report.attempts) {
    if (a.end == ConnectReport::kAttemptConnected) winnerStart = a.startMicros;
  }
  for (const ConnectReport::Attempt& a : report.attempts) {
    const std::string item = name + " connect " + a.address + " port " + std::to_string(port) + ": ";
    const long long took = a.endMicros - a.startMicros;
    switch (a.end) {
      case ConnectReport::kAttemptConnected: list.ok(item + "connected in " + millis(took)); break;
      case ConnectReport::kAttemptAbandoned:
        // Overtaken by a later attempt: this address was slow.
        if (a.startMicros < winnerStart) {
          list.warn(item + "no answer in " + millis(took) + ", given up when another address connected");
        } else {
          list.ok(item + "not finished, another address connected first");
        }
        break;
      case ConnectReport::kAttemptTimedOut: {
        const std::string text = item + "no answer within the time-out (" + millis(took) + ")";
        reached ? list.warn(text) : list.fail(text);
        break;
      }
      case ConnectReport::kAttemptNoSocket:
      case ConnectReport::kAttemptFailed: {
        const std::string text = item + (a.end == ConnectReport::kAttemptNoSocket ? "no socket, " : "") +
                                 errnoText(a.error) + " after " + millis(took);
        reached ? list.warn(text) : list.fail(text);
        break;
      }
    }
  }
}

// `configured`: the parameters before the defaults were applied.
void checkServers(Checklist& list, const ParamTable& params, const ParamTable& configured, Platform& platform) {
  const std::uint16_t port = probePort(params.text(kPort));
  for (const ServerSlot& slot : kServerSlots) {
    if (params.empty(slot.url)) continue;
    const std::string name = params.entry(slot.url).name;
    const std::string_view url = params.text(slot.url);
    // The built-in URLs are placeholders, never payment servers.
    if (configured.empty(slot.url)) {
      const std::string text = name + " not set: the built-in placeholder " + shown(url) +
                               " is no payment server (never probed here)";
      slot.url == kKorven ? list.fail(text + ": name the servers of your contract") : list.warn(text);
      continue;
    }
    if (!isServerUrl(url)) {
      list.fail(name + " " + quoted(url) +
                ": refused (not http://, https:// or //, or a control byte): never probed");
      continue;
    }
    if (slot.url == kKorven && validateUrl(params, kKorven) != 0) {
      list.fail(name + ": longer than " + std::to_string(kUrlMax) + " bytes: requests fail with -4");
    }
    const std::string host(hostOfUrl(url));
    const long timeout = probeTimeout(params.text(slot.timeout));
    list.ok(name + " " + shown(url) + ": accepted, host " + shown(host) + ", port " + std::to_string(port) +
            ", time-out " + std::to_string(timeout) + " s");
    if (timeout < 0) {
      list.fail(name + ": a negative time-out (" + std::to_string(timeout) + "): never probed");
      continue;
    }
    ConnectReport report;
    const ConnectOutcome outcome = platform.connectTcp(host, port, timeout, &report);
    for (const std::string& address : report.addresses) {
      list.ok(name + " address " + address + " (resolved in " + millis(report.resolveMicros) + ")");
    }
    if (outcome.kind == ConnectOutcome::kUnresolved) {
      list.fail(name + " " + shown(host) + ": not resolved (" + resolveErrorText(outcome.error) + ") after " +
                millis(report.resolveMicros));
      continue;
    }
    const bool reached = outcome.kind == ConnectOutcome::kConnected;
    checkAttempts(list, name, port, report, reached);
    if (reached) {
      long long took = 0;  // from the start of the resolution
      for (const ConnectReport::Attempt& a : report.attempts) {
        if (a.end == ConnectReport::kAttemptConnected) took = a.endMicros;
      }
      list.ok(name + " reachable in " + millis(took));
    } else {
      list.fail(name + " not reachable within " + std::to_string(timeout) + " s");
    }
  }
}

// A web address names a host after its scheme, without blanks.
bool hasHost(std::string_view rest) {
  const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
  return !host.empty() && host.find(' ') == std::string_view::npos;
}

// The pages the payment server and the module send the shopper back to.
void checkReturnUrls(Checklist& list, const ParamTable& params) {
  for (ParamIndex index : {kAnnule, kEffectue, kRefuse, kRepondreA, kErreur}) {
    const std::string name = params.entry(index).name;
    if (params.empty(index)) {
      if (index == kErreur) list.ok(name + " not set: errors show the module's error page");
      continue;
    }
    const std::string_view url = params.text(index);
    const std::string item = name + " " + shown(url);
    if (validateUrl(params, index) != 0) {
      list.fail(item + ": longer than " + std::to_string(kUrlMax) +
                " bytes or with a control byte: requests fail with -4");
    } else if (startsWithIgnoringCase(url, "https://") && hasHost(url.substr(8))) {
      list.ok(item);
    } else if (startsWithIgnoringCase(url, "http://") && hasHost(url.substr(7))) {
      list.warn(item + ": not https");
    } else {
      list.fail(item + ": not a web address (https://...)");
    }
  }
}

}  // namespace

int runCheck(Platform& platform, const std::vector<std::string>& args) {
  Checklist list(platform);
  const bool locked = lockRequested(platform);
  FormFieldList form;
  decodeRequest(platform, form);
  const Sources sources{form, platform, args, locked};
  ParamTable params;
  checkSources(list, params, sources);
  const ParamTable configured = params;
  applyDefaults(params);
  if (locked) {
    list.ok("lock: REVOZI_LOCK is set, the form supplies no setting");
  } else {
    list.warn("lock: off (REVOZI_LOCK not set, empty or 0): set REVOZI_LOCK=1 where the web server starts the module");
  }
  checkKey(list, params);
  checkServers(list, params, configured, platform);
  checkReturnUrls(list, params);
  return list.failed() ? 1 : 0;
}

}  // namespace revozi
