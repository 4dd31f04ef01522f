// REVOZI.CGI: one payment request per process.
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "driver/check.h"
#include "driver/driver.h"
#include "driver/status.h"
#include "platform/system_platform.h"
#include "driver/program_version.h"

namespace {

constexpr char kHelp[] =
    "Usage: revozi.cgi [NAME=value ...]\n"
    "       revozi.cgi --check [--test-host]\n"
    "       revozi.cgi --status\n"
    "       revozi.cgi --help | --version\n"
    "\n"
    "The payment module. A web server runs it as a CGI program (GET or POST)\n"
    "for every order: it gathers the order's KWT_ parameters, validates them,\n"
    "finds the first payment server that accepts a connection and writes the\n"
    "page that hands the shopper over to it, or an error page.\n"
    "\n"
    "The mode string KWT_MODE lists the sources of the parameters in the order\n"
    "they are read: 1 the form, 2 the environment, 3 the options file (KWT_OPT,\n"
    "default kwtinfos.txt in the working directory), 4 the NAME=value\n"
    "arguments. The default is 1. With REVOZI_LOCK=1 in the environment (set\n"
    "it in every web server) the form can no longer choose the mode string,\n"
    "the options file, the servers or any other operator setting, and a\n"
    "request (REQUEST_METHOD set, even empty) reads no arguments.\n"
    "From a shell, for example:\n"
    "\n"
    "  revozi.cgi KWT_MODE=43 KWT_PING=1     probes the payment servers\n"
    "\n"
    "Exit status: 0 payment page, no-server page or a server found in ping\n"
    "mode; 1 error page, redirect, no server in ping mode, a ping after a\n"
    "failed source (KORVEN INPUT ERROR (code N) on standard error), or a\n"
    "failed write.\n"
    "\n"
    "--check reads the configuration as a request under the web server would\n"
    "(run it as the web server's user, with the environment the server gives\n"
    "the module; it starts in the module's directory, as the servers do, and\n"
    "takes no argument as a source) and prints a checklist, one line per\n"
    "item marked ok, warn or FAIL and named after its go-live checklist item:\n"
    "the sources, the lock, the options file (place, modes, KWT_PING,\n"
    "KWT_TRACE, time-outs), the merchant key, every payment server slot\n"
    "(none switches one off), the sandbox, the return and error URLs.\n"
    "--test-host declares a test host: plain http and loopback servers are\n"
    "then warnings. Exit status 0 without a FAIL line, else 1.\n"
    "\n"
    "--status prints what the server memory (REVOZI_STATE_DIR) holds: each\n"
    "payment server's host and port, up or down since when, and its next\n"
    "retry. Exit status 0.\n"
    "\n"
    "--check, --status, --help and --version are read only outside a web\n"
    "server (REQUEST_METHOD not set), as the first argument. See\n"
    "revozi.cgi(1).\n";

// --check runs where a web server runs the module, in the module's own
// directory, so that a relative options file is the one a request reads.
void enterModuleDirectory(const char* invoked) {
  std::string path = invoked;
  if (path.find('/') == std::string::npos) {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return;
    path.assign(exe, static_cast<std::size_t>(n));
  }
  const std::string directory = path.substr(0, path.rfind('/'));
  if (chdir(directory.empty() ? "/" : directory.c_str()) != 0) return;  // stays where it was
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    if (auto status = revozi::answerProgramFlag("revozi.cgi", argv[1], kHelp, false)) return *status;
  }
  std::vector<std::string> args(argv, argv + argc);
  revozi::SystemPlatform platform;
  if (argc >= 2 && revozi::outsideWebServer() && args[1] == "--check") {
    enterModuleDirectory(argv[0]);
    return revozi::runCheck(platform, args);
  }
  if (argc >= 2 && revozi::outsideWebServer() && args[1] == "--status") return revozi::runStatus(platform);
  return revozi::runRequest(platform, std::move(args));
}
