#include "sandbox/sandbox_commands.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/program_version.h"
#include "tools/file_writing.h"
#include "sandbox/sandbox_conformance.h"
#include "sandbox/sandbox_notify.h"
#include "signing/signing.h"
#include "signing/signing_vectors.h"
#include "tools/tool_text.h"

namespace revozi::sandbox {
namespace {

constexpr int kUsageError = 2;
constexpr char kProgram[] = "korven-sandbox.cgi";

constexpr char kHelp[] =
    "Usage: korven-sandbox.cgi --new-key [--group GROUP] [PRIVATE [PUBLIC]]\n"
    "       korven-sandbox.cgi --list\n"
    "       korven-sandbox.cgi --deliver\n"
    "       korven-sandbox.cgi --replay [N]\n"
    "       korven-sandbox.cgi --vectors\n"
    "       korven-sandbox.cgi --conformance PAGE [BODY]\n"
    "       korven-sandbox.cgi --help | --version\n"
    "       korven-sandbox.cgi < BODY            (a request, as a web server runs it)\n"
    "\n"
    "The payment sandbox: a stand-in for the payment server, for a merchant's\n"
    "integration tests on a test host (never on a production site). Run by a web\n"
    "server, it decodes the KWT_DATA that a payment page posts and plays the\n"
    "payment server's answers: accept, refuse, cancel, and the notification to\n"
    "KWT_REPONDRE_A (once, twice, or with no return of the shopper). Every return\n"
    "carries the variables that KWT_RETOUR asks for (NAME:LETTER items, letters\n"
    "M R A E T), signed when the last item is NAME:S (verify: kwtdata verify).\n"
    "\n"
    "--new-key  creates the sandbox's key pair: the private key PRIVATE (default\n"
    "           /etc/revozi/korven-sandbox.key), mode 0600, or 0640 with the group\n"
    "           GROUP (the web server's, e.g. www-data); the public key PUBLIC\n"
    "           (default PRIVATE with .key changed to .pub), mode 0644. Each is one\n"
    "           line of base64url. An existing file is never replaced.\n"
    "--list     the notifications sent last (at most 20), newest first, each with\n"
    "           its attempts (time and answer) and whether it was delivered.\n"
    "--deliver  makes every attempt that is due and exits (a timer runs it): a\n"
    "           notification without a 2xx answer is sent again 5 s, 30 s, 2 min\n"
    "           and 10 min after the attempt before, then given up.\n"
    "--replay N sends notification N of --list again (1, the newest, by\n"
    "           default): a late or duplicate delivery. Prints the status line;\n"
    "           exit status 0 when the shop answered 200, 1 otherwise.\n"
    "--vectors  prints the signature test vectors (examples/signature-vectors.txt):\n"
    "           returns signed with a published test key, and the verdict of each.\n"
    "--conformance PAGE [BODY]\n"
    "           plays every answer and forgery against a shop's own return and\n"
    "           notification URLs, signed with the sandbox's key: PAGE is a payment\n"
    "           page (a file, or a URL on this host, fetched with a POST of BODY\n"
    "           when given, following at most 3 forms that post on). One line per\n"
    "           scenario, PASS or FAIL; exit status 0 when none failed.\n"
    "\n"
    "Environment (set by the web server's configuration):\n"
    "  KORVEN_SANDBOX_KEY    the private key file (default\n"
    "                        /etc/revozi/korven-sandbox.key); without it every\n"
    "                        request gets an error page (500)\n"
    "  KORVEN_SANDBOX_STATE  the private folder of the notifications kept\n"
    "                        (default /var/lib/revozi/korven-sandbox)\n"
    "  KORVEN_SANDBOX_TEST_SCHEDULE  for tests only: the delays of --deliver in\n"
    "                        seconds, for example 1,1\n"
    "\n"
    "Exit status: 0 a valid block (or a command done), 1 otherwise, 2 usage\n"
    "error.\n";

int usage(const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
  return kUsageError;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return 1;
}

std::string errorText() { return std::strerror(errno); }

std::string stateDir() {
  const char* dir = std::getenv(kStateVariable);
  return dir != nullptr && *dir != '\0' ? dir : kDefaultStateDir;
}

// Writes `text` to the new file `path`: a temporary file beside it, with its
// group and mode set before a byte is written, synced, then linked to `path`,
// which fails rather than replace a file that appeared meanwhile. "" when
// done, else why not.
std::string writeNewFile(const std::string& path, const std::string& text, mode_t mode, gid_t group) {
  std::string temporary = tools::parentOf(path) + "/.korven-sandbox-key.XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return "cannot create a file in " + tools::parentOf(path) + ": " + errorText();
  std::string why;
  if (group != static_cast<gid_t>(-1) && ::fchown(fd, static_cast<uid_t>(-1), group) != 0) {
    why = "cannot give " + path + " its group: " + errorText();
  } else if (::fchmod(fd, mode) != 0) {
    why = "cannot set the mode of " + path + ": " + errorText();
  } else if (!tools::writeAll(fd, text) || ::fsync(fd) != 0) {
    why = "cannot write " + path + ": " + errorText();
  }
  if (::close(fd) != 0 && why.empty()) why = "cannot write " + path + ": " + errorText();
  if (why.empty() && ::link(temporary.c_str(), path.c_str()) != 0) {
    why = errno == EEXIST ? path + " exists: it is never replaced" : "cannot create " + path + ": " + errorText();
  }
  ::unlink(temporary.c_str());
  return why;
}

// The number of the group `name` in /etc/group, or `name` itself when it is
// a number. The file is read directly: a static program cannot use the
// system's name services safely.
std::optional<gid_t> groupId(const std::string& name) {
  if (const auto number = tools::digitsValue(name, 9)) return static_cast<gid_t>(*number);
  std::ifstream groups("/etc/group");
  std::string line;
  for (int lines = 0; lines < 100000 && std::getline(groups, line); ++lines) {
    // name:password:number:members
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    const std::size_t third = second == std::string::npos ? second : line.find(':', second + 1);
    if (third == std::string::npos || line.compare(0, first, name) != 0 || first != name.size()) continue;
    const auto number = tools::digitsValue(std::string_view(line).substr(second + 1, third - second - 1), 9);
    if (!number) return std::nullopt;
    return static_cast<gid_t>(*number);
  }
  return std::nullopt;
}

int newKey(const std::vector<std::string_view>& args) {
  std::vector<std::string> paths;
  std::string groupName;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--group") {
      if (i + 1 == args.size() || args[i + 1].empty()) return usage("--group needs a group name");
      groupName = args[++i];
    } else if (!args[i].empty() && args[i].front() != '-' && paths.size() < 2) {
      paths.emplace_back(args[i]);
    } else {
      return usage("unexpected argument for --new-key: " + std::string(args[i]));
    }
  }
  if (paths.empty()) paths.emplace_back(kDefaultKeyFile);
  if (paths.size() == 1) {
    const std::string& key = paths[0];
    const bool named = key.size() > 4 && key.compare(key.size() - 4, 4, ".key") == 0;
    paths.push_back(named ? key.substr(0, key.size() - 4) + ".pub" : key + ".pub");
  }
  if (paths[0] == paths[1]) return usage("the private and the public key need two files");
  gid_t group = static_cast<gid_t>(-1);
  if (!groupName.empty()) {
    const std::optional<gid_t> id = groupId(groupName);
    if (!id) return usage("no group " + groupName + " in /etc/group");
    group = *id;
  }
  struct stat info {};
  for (const std::string& path : paths) {
    if (::lstat(path.c_str(), &info) == 0) return failure(path + " exists: it is never replaced");
  }
  // The folder of the defaults may not exist yet: one level is created.
  for (const std::string& path : paths) {
    const std::string dir = tools::parentOf(path);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return failure("cannot create " + dir + ": " + errorText());
  }
  if (!signing::start()) return failure("the signature library cannot start (no source of randomness)");
  signing::Seed seed = signing::newSeed();
  const signing::PublicKey publicKey = signing::publicKeyOf(seed);
  std::string secretText = signing::keyFileText(seed.data(), seed.size());
  signing::wipe(seed);
  const mode_t secretMode = groupName.empty() ? 0600 : 0640;
  std::string why = writeNewFile(paths[0], secretText, secretMode, group);
  std::fill(secretText.begin(), secretText.end(), '\0');
  if (!why.empty()) return failure(why);
  why = writeNewFile(paths[1], signing::keyFileText(publicKey.data(), publicKey.size()), 0644,
                     static_cast<gid_t>(-1));
  if (!why.empty()) {
    ::unlink(paths[0].c_str());
    return failure(why + " (the private key was not kept either)");
  }
  std::printf("private key: %s (mode %04o%s%s)\n"
              "public key:  %s (mode 0644)\n"
              "The sandbox signs with the private key: name it in its web server's\n"
              "configuration as KORVEN_SANDBOX_KEY. A shop verifies with the public key:\n"
              "kwtdata verify --key %s QUERY\n",
              paths[0].c_str(), static_cast<unsigned>(secretMode), groupName.empty() ? "" : ", group ",
              groupName.c_str(), paths[1].c_str(), paths[1].c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// What --list says of a notification's delivery.
std::string deliveryState(const RecordedNotification& kept, const std::vector<long long>& schedule) {
  if (kept.delivered()) return "Delivered";
  if (kept.attempts.empty()) return "No attempt recorded";
  const long long next = kept.nextAttempt(schedule);
  return next < 0 ? "Given up" : "Next attempt " + utcText(next);
}

int listNotifications() {
  std::string why;
  const std::vector<RecordedNotification> kept = recordedNotifications(stateDir(), why);
  if (!why.empty()) return failure(why);
  if (kept.empty()) std::printf("no notification kept in %s\n", tools::urlText(stateDir()).c_str());
  const std::vector<long long> schedule = deliverySchedule();
  for (std::size_t i = 0; i < kept.size(); ++i) {
    std::printf("%zu  %s  %s\n", i + 1, tools::lineText(kept[i].time).c_str(), tools::urlText(kept[i].url).c_str());
    for (std::size_t a = 0; a < kept[i].attempts.size(); ++a) {
      // The result as read back: printable ASCII, the rest already %XX.
      std::printf("   attempt %zu  %s  %s\n", a + 1, utcText(kept[i].attempts[a].milliseconds).c_str(),
                  kept[i].attempts[a].result.c_str());
    }
    std::printf("   %s\n", deliveryState(kept[i], schedule).c_str());
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// Every attempt that is due, oldest notification first; one line each.
int deliver() {
  std::string why;
  std::vector<RecordedNotification> kept = recordedNotifications(stateDir(), why);
  if (!why.empty()) return failure(why);
  const std::vector<long long> schedule = deliverySchedule();
  int made = 0;
  for (std::size_t i = kept.size(); i-- > 0;) {
    const long long next = kept[i].nextAttempt(schedule);
    if (next < 0 || next > nowMilliseconds()) continue;
    // One --deliver at a time per notification: another one skips it.
    const int lock = ::open(kept[i].path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (lock < 0) continue;
    if (::flock(lock, LOCK_EX | LOCK_NB) == 0) {
      const NotifyCall call = callNotifyUrl(kept[i].url);
      const std::string kept_why = recordAttempt(kept[i], call);
      ++made;
      std::printf("%zu  attempt %zu  %s  %s\n", i + 1, kept[i].attempts.size() + 1, tools::lineText(call.result).c_str(),
                  tools::urlText(kept[i].url).c_str());
      if (!kept_why.empty()) std::printf("   not kept: %s\n", tools::lineText(kept_why).c_str());
    }
    ::close(lock);
  }
  if (made == 0) std::printf("no attempt due\n");
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int replay(const std::vector<std::string_view>& args) {
  std::size_t number = 1;
  if (args.size() > 1) return usage("--replay takes one number");
  if (args.size() == 1) {
    const auto value = tools::digitsValue(args[0], 2);
    if (!value || *value == 0) {
      return usage("--replay N: N is a number from 1 to " + std::to_string(kKeptNotifications));
    }
    number = static_cast<std::size_t>(*value);
  }
  std::string why;
  const std::vector<RecordedNotification> kept = recordedNotifications(stateDir(), why);
  if (!why.empty()) return failure(why);
  if (number > kept.size()) {
    return failure("no notification " + std::to_string(number) + ": " + std::to_string(kept.size()) +
                   " kept in " + stateDir() + " (see --list)");
  }
  const RecordedNotification& notification = kept[number - 1];
  std::printf("replayed: %s\n(first sent %s)\n", tools::urlText(notification.url).c_str(),
              tools::lineText(notification.time).c_str());
  const NotifyCall call = callNotifyUrl(notification.url);
  std::printf("%s\n", tools::lineText(call.result).c_str());
  if (std::fflush(stdout) != 0) return 1;
  return call.delivered ? 0 : 1;
}

}  // namespace

std::optional<int> runSandboxCommand(int argc, char** argv) {
  if (argc < 2 || !outsideWebServer()) return std::nullopt;
  const std::string_view command = argv[1];
  if (auto flag = answerProgramFlag(kProgram, command, kHelp, false)) return *flag;
  const std::vector<std::string_view> args(argv + 2, argv + argc);
  if (command == "--new-key") return newKey(args);
  if (command == "--list") return args.empty() ? listNotifications() : usage("--list takes no argument");
  if (command == "--replay") return replay(args);
  if (command == "--deliver") return args.empty() ? deliver() : usage("--deliver takes no argument");
  if (command == "--conformance") return runConformance(args);
  if (command == "--vectors") {
    if (!args.empty()) return usage("--vectors takes no argument");
    if (!signing::start()) return failure("the signature library cannot start");
    const std::string text = signing::vectorsText();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  return usage("unknown argument " + std::string(command));
}

}  // namespace revozi::sandbox
