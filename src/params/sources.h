// The parameter sources (form, environment, options file, command line), the
// mode string that orders them, and the defaults.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "params/form_fields.h"
#include "params/param_table.h"
#include "platform/platform.h"

namespace revozi {

// Default payment-server URLs.
inline constexpr char kDefaultKorven[] = "https://secure.korven.example/cgi/ZOzeziv_pagepaiement.cgi";
inline constexpr char kDefaultBackup1[] = "https://secure1.korven.example/cgi/ZOzeziv_pagepaiement.cgi";
inline constexpr char kDefaultBackup2[] = "https://secure2.korven.example/cgi/ZOzeziv_pagepaiement.cgi";
inline constexpr char kDefaultBackup3[] = "https://secure3.korven.example/cgi/ZOzeziv_pagepaiement.cgi";
inline constexpr char kDefaultOptionsFile[] = "kwtinfos.txt";

// Where the parameters come from in one run.
struct Sources {
  const FormFieldList& form;
  Platform& platform;
  // The command-line arguments as received; element 0 is never examined.
  const std::vector<std::string>& args;
  // The operator's lock: the form never supplies a setting, and a request
  // from a web server (REQUEST_METHOD set, even empty) no argument.
  bool locked;
};

// True when the environment variable REVOZI_LOCK is set, non-empty and not
// "0": the operator has locked the settings against the form.
bool lockRequested(const Platform& platform);

// Resolves the mode string into KWT_MODE and applies the sources it names, in
// its order. 0, or the code of the first failing source (-2, -5, -6).
int fillParameters(ParamTable& params, const Sources& sources);

// One source by its mode character; other characters do nothing.
int applySource(ParamTable& params, const Sources& sources, char mode);

// Fills every defaulted entry that is still empty and stores the VersionTag.
void applyDefaults(ParamTable& table);

// Skips leading blanks and tabs, drops trailing blanks, tabs, CR and LF.
std::string_view trimText(std::string_view text);

// The variable `name` if it is set, even to the empty text; else `altName`.
const char* getenvEither(const Platform& platform, const char* name, const char* altName);

// Reads an options file into the table (the '3' source once the path is
// chosen). 0, -5 (cannot be opened), -6 (a line without '=' or too long), -2.
int readOptionsFile(ParamTable& table, Platform& platform, const char* path);

}  // namespace revozi
