// REVOZI.CGI: one payment request per process.
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
    "       revozi.cgi --check [NAME=value ...]\n"
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
    "--check reads the configuration as a request would (run it where and as\n"
    "the web server runs the module, with its environment) and prints a\n"
    "checklist, one line per item marked ok, warn or FAIL: the sources, the\n"
    "options file, the lock, the merchant key, every payment server's\n"
    "addresses and connections, the return and error URLs. Exit status 0\n"
    "without a FAIL line, else 1.\n"
    "\n"
    "--status prints what the server memory (REVOZI_STATE_DIR) holds: each\n"
    "payment server's host and port, up or down since when, and its next\n"
    "retry. Exit status 0.\n"
    "\n"
    "--check, --status, --help and --version are read only outside a web\n"
    "server (REQUEST_METHOD not set), as the first argument. See\n"
    "revozi.cgi(1).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    if (auto status = revozi::answerProgramFlag("revozi.cgi", argv[1], kHelp, false)) return *status;
  }
  std::vector<std::string> args(argv, argv + argc);
  revozi::SystemPlatform platform;
  if (argc >= 2 && revozi::outsideWebServer() && args[1] == "--check") return revozi::runCheck(platform, args);
  if (argc >= 2 && revozi::outsideWebServer() && args[1] == "--status") return revozi::runStatus(platform);
  return revozi::runRequest(platform, std::move(args));
}
