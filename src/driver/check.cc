#include "driver/check.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "params/error_codes.h"
#include "params/numbers.h"
#include "params/form_fields.h"
#include "params/sources.h"
#include "params/text.h"
#include "params/validate.h"
#include "platform/resolver.h"
#include "probe/probe.h"

namespace revozi {
namespace {

// The items of the go-live checklist (docs/merchant.md) that the lines name.
constexpr std::string_view kItemCheck = "check";
constexpr std::string_view kItemServers = "servers";
constexpr std::string_view kItemSandbox = "sandbox";
constexpr std::string_view kItemLock = "lock";
constexpr std::string_view kItemOptions = "options file";
constexpr std::string_view kItemErrorUrl = "error URL";
constexpr std::string_view kItemKey = "key";
constexpr std::string_view kItemHttps = "https";

// The flag that declares a test host: the sandbox's settings (plain http,
// loopback) are then warnings, not failures.
constexpr std::string_view kTestHostFlag = "--test-host";
// The longest time-out the checklist allows, in seconds.
constexpr long kLongestTimeout = 5;
// The payment sandbox's program, and where the recipes and the package put
// it.
constexpr std::string_view kSandboxProgram = "korven-sandbox.cgi";
constexpr std::string_view kSandboxDirectory = "/usr/lib/revozi";
// The directories that the recipes of deploy/ serve or run programs from.
constexpr std::string_view kServedDirectories[] = {"/var/www/html", "/usr/lib/cgi-bin", kSandboxDirectory};

// The checklist as it is written: one line per item, its verdict first, then
// the checklist item it belongs to.
class Checklist {
 public:
  explicit Checklist(Platform& platform) : platform_(platform) {}
  void ok(std::string_view item, const std::string& text) { line("ok  ", item, text); }
  void warn(std::string_view item, const std::string& text) { line("warn", item, text); }
  void fail(std::string_view item, const std::string& text) {
    failed_ = true;
    line("FAIL", item, text);
  }
  // A warning on a test host, else a failure.
  void failUnless(bool testHost, std::string_view item, const std::string& text) {
    testHost ? warn(item, text + " (a test host)") : fail(item, text);
  }
  bool failed() const { return failed_; }

 private:
  void line(std::string_view mark, std::string_view item, const std::string& text) {
    platform_.writeOutput(std::string(mark) + "  " + std::string(item) + ": " + text + "\n");
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

std::string modeOrigin(const Platform& platform) {
  if (getenvEither(platform, "KWT_MODE", "VEL_MODE") != nullptr) return "from the environment";
  return "the default: the form alone";
}

std::string octalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The path made absolute against the working directory, which is the
// module's own one, as under a web server.
std::string absolutePath(const std::string& path) {
  if (path.starts_with("/")) return path;
  char directory[4096];
  if (getcwd(directory, sizeof directory) == nullptr) return path;
  return std::string(directory) + "/" + path;
}

bool isInside(std::string_view path, std::string_view directory) {
  return path.size() > directory.size() && path.starts_with(directory) && path[directory.size()] == '/';
}

// Why a web server may serve the file at the absolute `path`, or nothing.
std::string servedBecause(const std::string& path) {
  if (path.find("/cgi-bin/") != std::string::npos) return "inside a cgi-bin directory";
  for (std::string_view directory : kServedDirectories) {
    if (isInside(path, directory)) return "inside " + std::string(directory) + ", served by a recipe of deploy/";
  }
  char directory[4096];
  if (getcwd(directory, sizeof directory) != nullptr && isInside(path, directory)) {
    return "beside the module (its directory is cgi-bin under a web server)";
  }
  return "";
}

// Where the options file lies, and who may write or read it.
void checkOptionsFileAccess(Checklist& list, Platform& platform, const std::string& path) {
  const std::string absolute = absolutePath(path);
  std::string why = servedBecause(absolute);
  if (char* real = ::realpath(absolute.c_str(), nullptr)) {
    if (why.empty()) why = servedBecause(real);
    std::free(real);
  }
  if (!why.empty()) {
    list.fail(kItemOptions, shown(absolute) + " is " + why +
                                ": keep it in /etc/revozi/kwtinfos.txt, named by the web server's KWT_OPT");
  } else {
    list.ok(kItemOptions, shown(absolute) + ": outside cgi-bin and the served directories of deploy/");
  }
  ParamTable own;
  readOptionsFile(own, platform, path.c_str());
  const bool key = !own.empty(kCle);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  const std::string mode = "(mode " + octalMode(info.st_mode) + ")";
  bool fine = true;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    list.fail(kItemOptions, "other users may write it " + mode + ", and so name their own payment server: chmod go-w " +
                                shown(path));
    fine = false;
  }
  if ((info.st_mode & S_IROTH) != 0) {
    const std::string text = "every user may read it " + mode + ": chmod o-r " + shown(path);
    key ? list.fail(kItemOptions, "it holds KWT_CLE and " + text) : list.warn(kItemOptions, text);
    fine = false;
  }
  if (fine) {
    list.ok(kItemOptions, std::string(key ? "it holds KWT_CLE, " : "") + "no other user may read or write it " + mode);
  }
}

// The options file: read or not, where it lies and who may use it.
int checkOptionsFile(Checklist& list, ParamTable& params, const Sources& sources) {
  const std::string path = optionsFilePath(params, sources);
  const int before = filledCount(params);
  const int code = applySource(params, sources, '3');
  const std::string item = "source 3, " + shown(path);
  if (code == kErrOptionsOpen) {
    list.fail(kItemOptions, item + ": cannot be opened (missing, not readable or a directory): requests fail with -5");
    return code;
  }
  if (code == kErrOptionsLine) {
    list.fail(kItemOptions, item + ": a line without '=' or too long: requests fail with -6");
    return code;
  }
  if (code != 0) {
    list.fail(kItemOptions, item + ": cannot be read: requests fail with " + std::to_string(code));
    return code;
  }
  list.ok(kItemOptions, item + ": read, " + std::to_string(filledCount(params) - before) + " parameters set");
  checkOptionsFileAccess(list, sources.platform, path);
  return 0;
}

// The mode string: the options file must come before the form.
void checkModeString(Checklist& list, const std::string& mode, const Platform& platform) {
  const std::string item = "mode string " + quoted(mode) + ", " + modeOrigin(platform);
  const std::size_t form = mode.find('1');
  const std::size_t file = mode.find('3');
  if (form != std::string::npos && (file == std::string::npos || form < file)) {
    list.fail(kItemLock, item + ": the form is read before the options file, and may set what the file would: "
                                "KWT_MODE=31 where the web server starts the module");
  } else {
    list.ok(kItemLock, item);
  }
  if (file == std::string::npos) list.warn(kItemOptions, "the mode string names no options file (3)");
}

// The sources in the mode string's order, stopping at the first that fails,
// as a request reads them.
void checkSources(Checklist& list, ParamTable& params, const Sources& sources) {
  const std::string mode = modeString(sources);
  checkModeString(list, mode, sources.platform);
  params.set(kMode, mode);
  for (char c : mode) {
    const int before = filledCount(params);
    int code = 0;
    switch (c) {
      case '1':
        applySource(params, sources, c);
        list.ok(kItemLock, "source 1, the form: the order's fields (none outside a web server)");
        break;
      case '2':
        applySource(params, sources, c);
        list.ok(kItemLock, "source 2, the environment: " + std::to_string(filledCount(params) - before) +
                               " parameters set");
        break;
      case '3': code = checkOptionsFile(list, params, sources); break;
      case '4':
        if (sources.locked) {
          list.ok(kItemLock, "source 4, the command line: read by no request under the lock");
        } else {
          list.warn(kItemLock, "source 4, the command line: a request reads the arguments a web server may "
                               "make of a shopper's query string");
        }
        break;
      default: list.warn(kItemLock, "mode string character " + quoted(std::string_view(&c, 1)) + " names no source");
    }
    if (code != 0) {
      list.fail(kItemOptions, "the sources after it in the mode string are not read");
      break;
    }
  }
}

// What the options file must leave out: ping mode and the trace.
void checkPingAndTrace(Checklist& list, const ParamTable& configured) {
  const std::string_view ping = configured.text(kPing);
  if (!ping.empty() && atoiValue(ping) > 0) {
    list.fail(kItemOptions, "KWT_PING " + quoted(ping) + " selects ping mode: every request answers a "
                            "\"Serveur:\" line, never a payment page: KWT_PING=0");
  } else {
    list.ok(kItemOptions, ping.empty() ? "KWT_PING not set: no ping mode" : "KWT_PING " + quoted(ping) + ": no ping mode");
  }
  if (!configured.empty(kTrace)) {
    list.fail(kItemOptions, "KWT_TRACE " + quoted(configured.text(kTrace)) +
                                ": any value shows the probe trace to shoppers: remove it");
  } else {
    list.ok(kItemOptions, "KWT_TRACE not set");
  }
}

void checkKey(Checklist& list, const ParamTable& params) {
  const bool given = !params.empty(kCle);
  if (!keySlotHasKey()) {
    if (given) {
      list.fail(kItemKey, "none written into the module, yet KWT_CLE is given: requests fail with -17");
    } else {
      list.ok(kItemKey, "none written into the module, no KWT_CLE");
    }
  } else if (!given) {
    list.fail(kItemKey, "written into the module, KWT_CLE not given: requests fail with -7");
  } else if (validateKey(params, kCle) != 0) {
    list.fail(kItemKey, "written into the module, KWT_CLE does not match: requests fail with -17");
  } else {
    list.ok(kItemKey, "written into the module, KWT_CLE matches");
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
      case ConnectReport::kAttemptConnected: list.ok(kItemServers, item + "connected in " + millis(took)); break;
      case ConnectReport::kAttemptAbandoned:
        // Overtaken by a later attempt: this address was slow.
        if (a.startMicros < winnerStart) {
          list.warn(kItemServers,
                    item + "no answer in " + millis(took) + ", given up when another address connected");
        } else {
          list.ok(kItemServers, item + "not finished, another address connected first");
        }
        break;
      case ConnectReport::kAttemptTimedOut: {
        const std::string text = item + "no answer within the time-out (" + millis(took) + ")";
        reached ? list.warn(kItemServers, text) : list.fail(kItemServers, text);
        break;
      }
      case ConnectReport::kAttemptNoSocket:
      case ConnectReport::kAttemptFailed: {
        const std::string text = item + (a.end == ConnectReport::kAttemptNoSocket ? "no socket, " : "") +
                                 errnoText(a.error) + " after " + millis(took);
        reached ? list.warn(kItemServers, text) : list.fail(kItemServers, text);
        break;
      }
    }
  }
}

// A loopback address or name: the sandbox's place, never a payment server's.
bool isLoopback(std::string_view host) {
  if (equalsIgnoringCase(host, "localhost") || host.ends_with(".localhost")) return true;
  IpAddress address;
  if (!numericAddress(host, address)) return false;
  if (address.family == AF_INET) return address.bytes[0] == 127;
  static constexpr unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static constexpr unsigned char kMapped4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::memcmp(address.bytes, kLoopback6, 16) == 0 ||
         (std::memcmp(address.bytes, kMapped4, 12) == 0 && address.bytes[12] == 127);
}

// What a slot's URL says before it is probed: plain http, loopback, the
// sandbox, a long time-out.
void checkSlotSettings(Checklist& list, const ParamTable& params, const ServerSlot& slot, bool testHost) {
  const std::string name = params.entry(slot.url).name;
  const std::string_view url = params.text(slot.url);
  const std::string_view host = hostOfUrl(url);
  if (!startsWithIgnoringCase(url, "https://")) {
    list.failUnless(testHost, kItemServers, name + " is not https://: the shopper's card details would travel "
                                                   "in clear");
  }
  if (isLoopback(host)) {
    list.failUnless(testHost, kItemServers, name + " names this host (" + shown(host) + "): no payment server");
  }
  if (url.find(kSandboxProgram) != std::string_view::npos) {
    list.warn(kItemSandbox, name + " names the payment sandbox: test hosts only");
  }
  const long timeout = probeTimeout(params.text(slot.timeout));
  if (timeout > kLongestTimeout) {
    const std::string timeoutName = params.entry(slot.timeout).name;
    list.warn(kItemOptions, timeoutName + " " + std::to_string(timeout) + " s: above " +
                                std::to_string(kLongestTimeout) + " s, a shopper waits that long for a server "
                                "that does not answer: " + timeoutName + "=" + std::to_string(kLongestTimeout));
  }
}

// One slot a request probes: its URL, its addresses and its attempts.
void probeSlot(Checklist& list, const ParamTable& params, const ServerSlot& slot, Platform& platform,
               bool testHost) {
  const std::string name = params.entry(slot.url).name;
  const std::string_view url = params.text(slot.url);
  const std::uint16_t port = probePort(params.text(kPort));
  const std::string host(hostOfUrl(url));
  const long timeout = probeTimeout(params.text(slot.timeout));
  list.ok(kItemServers, name + " " + shown(url) + ": accepted, host " + shown(host) + ", port " +
                            std::to_string(port) + ", time-out " + std::to_string(timeout) + " s");
  if (timeout < 0) {
    list.fail(kItemServers, name + ": a negative time-out (" + std::to_string(timeout) + "): never connected");
    return;
  }
  ConnectReport report;
  const ConnectOutcome outcome = platform.connectTcp(host, port, timeout, &report);
  for (const std::string& address : report.addresses) {
    list.ok(kItemServers, name + " address " + address + " (resolved in " + millis(report.resolveMicros) + ")");
  }
  const auto loopback = [](const std::string& address) { return isLoopback(address); };
  if (!report.addresses.empty() && !isLoopback(host) &&
      std::all_of(report.addresses.begin(), report.addresses.end(), loopback)) {
    list.failUnless(testHost, kItemServers, name + " " + shown(host) + " resolves to this host only: no payment server");
  }
  if (outcome.kind == ConnectOutcome::kUnresolved) {
    list.fail(kItemServers, name + " " + shown(host) + ": not resolved (" + resolveErrorText(outcome.error) +
                                ") after " + millis(report.resolveMicros));
    return;
  }
  const bool reached = outcome.kind == ConnectOutcome::kConnected;
  checkAttempts(list, name, port, report, reached);
  if (reached) {
    long long took = 0;  // from the start of the resolution
    for (const ConnectReport::Attempt& a : report.attempts) {
      if (a.end == ConnectReport::kAttemptConnected) took = a.endMicros;
    }
    list.ok(kItemServers, name + " reachable in " + millis(took));
  } else {
    list.fail(kItemServers, name + " not reachable within " + std::to_string(timeout) + " s");
  }
}

// `configured`: the parameters before the defaults were applied.
void checkServers(Checklist& list, const ParamTable& params, const ParamTable& configured, Platform& platform,
                  bool testHost) {
  int probed = 0;
  for (const ServerSlot& slot : kServerSlots) {
    if (params.empty(slot.url)) continue;
    const std::string name = params.entry(slot.url).name;
    const std::string_view url = params.text(slot.url);
    if (isSlotOff(url)) {
      list.ok(kItemServers, name + " off (" + shown(url) + "): never probed");
      continue;
    }
    ++probed;
    // The built-in URLs are placeholders, never payment servers.
    if (configured.empty(slot.url)) {
      list.fail(kItemServers, name + " not set: requests probe the built-in placeholder " + shown(url) +
                                  ", no payment server: add " +
                                  (slot.url == kKorven ? name + "= with your contract's URL"
                                                       : name + "=none, or " + name + "= with a URL of your contract,") +
                                  " to the options file");
      continue;
    }
    if (!isServerUrl(url)) {
      list.fail(kItemServers, name + " " + quoted(url) +
                                  ": refused (not http://, https:// or //, or a control byte): never probed");
      continue;
    }
    if (slot.url == kKorven && validateUrl(params, kKorven) != 0) {
      list.fail(kItemServers, name + ": longer than " + std::to_string(kUrlMax) + " bytes: requests fail with -4");
    }
    checkSlotSettings(list, params, slot, testHost);
    probeSlot(list, params, slot, platform, testHost);
  }
  if (probed == 0) list.fail(kItemServers, "every slot is off: every request gets the no-server page");
}

// The sandbox beside the module (the working directory) or where the
// recipes put it.
void checkSandboxInstalled(Checklist& list) {
  char directory[4096];
  const std::string here = getcwd(directory, sizeof directory) != nullptr ? directory : ".";
  std::vector<std::string> places = {here};
  if (here != kSandboxDirectory) places.emplace_back(kSandboxDirectory);
  bool found = false;
  for (const std::string& place : places) {
    const std::string path = place + "/" + std::string(kSandboxProgram);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) continue;
    list.warn(kItemSandbox, shown(path) + " is installed: never on a production host");
    found = true;
  }
  if (!found) list.ok(kItemSandbox, "not installed beside the module nor in " + std::string(kSandboxDirectory));
}

// A web address names a host after its scheme, without blanks.
bool hasHost(std::string_view rest) {
  const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
  return !host.empty() && host.find(' ') == std::string_view::npos;
}

// The pages the payment server and the module send the shopper back to.
void checkReturnUrls(Checklist& list, const ParamTable& params) {
  for (ParamIndex index : {kAnnule, kEffectue, kRefuse, kRepondreA, kErreur}) {
    const std::string_view item = index == kErreur ? kItemErrorUrl : kItemHttps;
    const std::string name = params.entry(index).name;
    if (params.empty(index)) {
      if (index == kErreur) {
        list.warn(item, name + " not set: errors show the module's error page, not your own: set it in the "
                               "options file");
      }
      continue;
    }
    const std::string_view url = params.text(index);
    const std::string text = name + " " + shown(url);
    if (validateUrl(params, index) != 0) {
      list.fail(item, text + ": longer than " + std::to_string(kUrlMax) +
                          " bytes or with a control byte: requests fail with -4");
      continue;
    }
    if (startsWithIgnoringCase(url, "https://") && hasHost(url.substr(8))) {
      list.ok(item, text);
    } else if (startsWithIgnoringCase(url, "http://") && hasHost(url.substr(7))) {
      list.warn(item, text + ": not https");
    } else {
      list.fail(item, text + ": not a web address (https://...)");
    }
    if (index == kErreur && url.find('?') != std::string_view::npos) {
      list.warn(item, text + ": holds a '?', and the module appends ?NUMERR=code: give a URL without a query");
    }
  }
}

}  // namespace

int runCheck(Platform& platform, const std::vector<std::string>& args) {
  Checklist list(platform);
  bool testHost = false;
  for (std::size_t a = 2; a < args.size(); ++a) {
    if (args[a] == kTestHostFlag) {
      testHost = true;
    } else {
      list.fail(kItemCheck, "argument " + quoted(args[a]) + " not read: the configuration is the environment's "
                            "and the options file's, as a request reads it (the one flag: " +
                            std::string(kTestHostFlag) + ")");
    }
  }
  if (testHost) list.warn(kItemCheck, std::string(kTestHostFlag) + ": a test host, with the payment sandbox");
  const bool locked = lockRequested(platform);
  FormFieldList form;
  decodeRequest(platform, form);
  // As under a web server: no argument is ever a source.
  const std::vector<std::string> noArguments(args.begin(), args.begin() + (args.empty() ? 0 : 1));
  const Sources sources{form, platform, noArguments, locked};
  ParamTable params;
  checkSources(list, params, sources);
  const ParamTable configured = params;
  applyDefaults(params);
  if (locked) {
    list.ok(kItemLock, "REVOZI_LOCK is set, the form supplies no setting");
  } else {
    list.fail(kItemLock, "off (REVOZI_LOCK not set, empty or 0): set REVOZI_LOCK=1 where the web server starts "
                         "the module");
  }
  checkPingAndTrace(list, configured);
  checkKey(list, params);
  checkServers(list, params, configured, platform, testHost);
  checkSandboxInstalled(list);
  checkReturnUrls(list, params);
  return list.failed() ? 1 : 0;
}

}  // namespace revozi
