// A whole request in-process (runRequest with the in-memory platform), every
// source fed from the input. The input is cut at every byte 0x1E into:
//   0  REQUEST_METHOD ("-": unset)
//   1  CONTENT_LENGTH ("-": unset)
//   2  QUERY_STRING ("-": unset)
//   3  standard input
//   4  the options file's content
//   5  the mode characters that follow the leading '4'
//   6… "$NAME=VALUE": an environment variable; anything else: a command-line
//      argument
//
// No probe may leave the machine, whatever the input. The mode string always
// comes from the environment and begins with '4', so the command line is the
// first source; its first arguments set every server slot to 127.0.0.1, every
// time-out to 0 and the options-file path to a file of the in-memory
// platform, which is offline: no file but that one, no connection, all in
// memory. The request text can name no mode field (every "_MODE" in it is
// changed to "_MODX"), and the environment entries from the input cannot set
// the mode. The platform records every connection asked for, and each must
// be one to those servers.
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "params/param_table.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using revozi::testing::FakePlatform;

constexpr char kSeparator = '\x1e';
constexpr const char* kServers[] = {
    "http://127.0.0.1/korven", "http://127.0.0.1/backup1", "http://127.0.0.1/backup2",
    "http://127.0.0.1/backup3", "http://127.0.0.1/backup4",
};
constexpr revozi::ParamIndex kServerSlots[] = {revozi::kKorven, revozi::kBackup1, revozi::kBackup2,
                                               revozi::kBackup3, revozi::kBackup4};
constexpr revozi::ParamIndex kTimeouts[] = {revozi::kTimeout, revozi::kTimeout1, revozi::kTimeout2,
                                            revozi::kTimeout3, revozi::kTimeout4};

std::string withoutModeFields(std::string_view text) {
  std::string out(text);
  for (std::size_t at = out.find("_MODE"); at != std::string::npos; at = out.find("_MODE", at)) {
    out[at + 4] = 'X';
  }
  return out;
}

struct Request {
  FakePlatform platform;
  std::vector<std::string> args;
};

constexpr char kPort[] = "1";
constexpr char kOptionsPath[] = "/fuzz/kwtinfos.txt";

void buildRequest(std::string_view input, Request& request) {
  const std::vector<std::string_view> sections = revozi::fuzzing::splitSections(input, kSeparator);
  auto section = [&](std::size_t i) -> std::string_view {
    return i < sections.size() ? sections[i] : std::string_view("-");
  };
  FakePlatform& p = request.platform;
  std::vector<std::string>& args = request.args;

  args.emplace_back("revozi.cgi");
  for (std::size_t i = 0; i < 5; ++i) {
    args.push_back(std::string(revozi::paramEntries()[static_cast<std::size_t>(kServerSlots[i])].name) + "=" + kServers[i]);
    args.push_back(std::string(revozi::paramEntries()[static_cast<std::size_t>(kTimeouts[i])].name) + "=0");
  }
  args.push_back(std::string("KWT_PORT=") + kPort);
  args.push_back(std::string("KWT_OPT=") + kOptionsPath);
  p.offline = true;
  if (sections.size() > 4) p.files[kOptionsPath] = std::string(sections[4]);

  for (std::size_t i = 6; i < sections.size(); ++i) {
    std::string_view s = sections[i];
    if (!s.empty() && s.front() == '$') {
      s.remove_prefix(1);
      const std::size_t eq = s.find('=');
      const std::string name(s.substr(0, eq));
      if (eq == std::string_view::npos || name == "KWT_MODE" || name == "VEL_MODE") continue;
      p.env[name] = std::string(s.substr(eq + 1));
    } else {
      args.emplace_back(s);
    }
  }
  if (section(0) != "-") p.env["REQUEST_METHOD"] = std::string(section(0));
  if (section(1) != "-") p.env["CONTENT_LENGTH"] = std::string(section(1));
  if (section(2) != "-") p.env["QUERY_STRING"] = withoutModeFields(section(2));
  if (sections.size() > 3) p.input = withoutModeFields(section(3));
  // A zero byte would end the mode text before anything after it.
  std::string mode = "4";
  if (sections.size() > 5) mode += section(5).substr(0, section(5).find('\0'));
  p.env["KWT_MODE"] = mode;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = revozi::fuzzing::asText(data, size);

  Request request;
  buildRequest(input, request);
  const int status = revozi::runRequest(request.platform, request.args);
  const FakePlatform& p = request.platform;

  FUZZ_CHECK(status == 0 || status == 1);
  FUZZ_CHECK(!p.output.empty());
  // The platform is offline, and every connection asked for must be one to
  // the servers of the command line, on their port and with their time-out:
  // all five of them after a valid request or a ping, none after an error.
  FUZZ_CHECK(p.connections.empty() || p.connections.size() == 5);
  for (const std::string& connection : p.connections) FUZZ_CHECK(connection == "127.0.0.1:1/0");
  if (p.connections.empty()) {
    // An error page or redirect.
    FUZZ_CHECK(status == 1);
    FUZZ_CHECK(p.error.empty());
  } else if (p.error.empty()) {
    // No server can answer: the no-server page, exit status 0.
    FUZZ_CHECK(status == 0);
  } else {
    // Ping mode without a server; after a failed source, the source's code
    // follows.
    FUZZ_CHECK(status == 1);
    static constexpr std::string_view kNone = "Aucun serveur disponible\n";
    static constexpr std::string_view kInputError = "KORVEN INPUT ERROR (code -";
    const std::string_view error = p.error;
    FUZZ_CHECK(error.substr(0, kNone.size()) == kNone);
    const std::string_view more = error.substr(kNone.size());
    FUZZ_CHECK(more.empty() || (more.substr(0, kInputError.size()) == kInputError && more.back() == '\n' &&
                                more.find_first_not_of("0123456789", kInputError.size()) == more.size() - 2 &&
                                more[more.size() - 2] == ')'));
    FUZZ_CHECK(p.output.size() >= 25 &&
               p.output.compare(p.output.size() - 25, 25, "Aucun serveur disponible\n") == 0);
  }
  return 0;
}
