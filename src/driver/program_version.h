// What `--version` prints, the same for revozi.cgi, kwtdata and revozi-setkey:
// the package version, then the module's own version texts.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "params/version.h"

#ifndef REVOZI_PACKAGE_VERSION
#error "the build defines REVOZI_PACKAGE_VERSION (the package version)"
#endif

namespace revozi {

// The package version is the release of the programs and of the .deb; the
// others are the module's interface texts: the page comment and the data
// block's header ("v401"), KWT_VERSION (the VersionTag) and the version line
// of the error pages. 0, or 1 when standard output cannot be written.
inline int printVersion(const char* program) {
  std::printf("%s %s\n"
              "REVOZI.CGI %s: KWT_VERSION \"%s\", error pages \"Version %s - %s\"\n",
              program, REVOZI_PACKAGE_VERSION, kProgramVersion, kVersionTag, kBuildNumber,
              kSourcesLabel);
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}

// True when the program runs outside a web server (no REQUEST_METHOD): only
// then are its own flags read.
inline bool outsideWebServer() { return std::getenv("REQUEST_METHOD") == nullptr; }

// --help and --version, read only outside a web server (no REQUEST_METHOD)
// and only as the first argument, so that under a web server every argument
// stays the request's. The exit status when `first` asks for one of them
// (`-h` too where `shortHelp`), else nothing.
inline std::optional<int> answerProgramFlag(const char* program, std::string_view first,
                                            const char* help, bool shortHelp) {
  if (!outsideWebServer()) return std::nullopt;
  if (first == "--version") return printVersion(program);
  if (first != "--help" && !(shortHelp && first == "-h")) return std::nullopt;
  std::fputs(help, stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace revozi
