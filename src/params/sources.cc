#include "params/sources.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "params/validate.h"
#include "params/version.h"

namespace revozi {

namespace {

constexpr std::size_t kLineLimit = 3071;                  // bytes of one line
constexpr std::size_t kFileLimit = std::size_t{64} << 20;  // bytes of one file

void applyForm(ParamTable& params, const Sources& sources) {
  for (int i = 0; i < kParamCount; ++i) {
    if (!params.empty(i)) continue;
    const ParamEntry& e = params.entry(i);
    if (sources.locked && e.setting) continue;
    params.setIfEmpty(i, findFormValue(sources.form, e.name, e.altName));
  }
}

void applyEnvironment(ParamTable& params, const Sources& sources) {
  for (int i = 0; i < kParamCount; ++i) {
    if (!params.empty(i)) continue;
    const ParamEntry& e = params.entry(i);
    // A variable set to the empty text is stored as such; the entry still
    // counts as empty for later sources and the defaults. An unset variable
    // leaves the entry absent, even where the form gave it the empty text.
    const char* v = getenvEither(sources.platform, e.name, e.altName);
    params.set(i, v ? std::optional<std::string>(v) : std::nullopt);
  }
}

// Under the lock, a request from a web server takes nothing from the command
// line: a server may turn a query string without '=' into arguments.
bool commandLineHeeded(const Sources& sources) {
  return !sources.locked || sources.platform.getEnv("REQUEST_METHOD") == nullptr;
}

void applyCommandLine(ParamTable& params, const Sources& sources) {
  if (!commandLineHeeded(sources)) return;
  for (std::size_t a = 1; a < sources.args.size(); ++a) {
    std::string_view arg = sources.args[a];
    std::size_t eq = arg.find('=');
    if (eq == std::string_view::npos) continue;
    int index = ParamTable::findByName(arg.substr(0, eq));
    if (index < 0 || !params.empty(index)) continue;
    std::string_view value = trimText(arg.substr(eq + 1));
    if (value.empty()) continue;  // a later argument may still set the entry
    params.setIfEmpty(index, std::string(value));
  }
}

std::optional<std::string> modeFromCommandLine(const Sources& sources) {
  if (!commandLineHeeded(sources)) return std::nullopt;
  for (std::size_t a = 1; a < sources.args.size(); ++a) {
    std::string_view arg = sources.args[a];
    std::size_t eq = arg.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = arg.substr(0, eq);
    if (name != "KWT_MODE" && name != "VEL_MODE") continue;
    std::string_view value = trimText(arg.substr(eq + 1));
    if (value.empty()) return std::nullopt;
    return std::string(value);
  }
  return std::nullopt;
}

// Handles one line of the options file, without its line feed. Returns the
// status: 0 to go on, or -6.
int handleLine(ParamTable& table, std::string_view line) {
  line = line.substr(0, line.find('\0'));  // a zero byte ends the text, as for every value
  // Blank lines and comments are skipped, whatever their length.
  const std::size_t first = line.find_first_not_of(" \t");
  if (line.find_first_not_of(" \t\r") == std::string_view::npos || line[first] == '#') return 0;
  // A line end of CR LF is not counted in the line's length; a longer line
  // is refused rather than cut short.
  if (line.size() - (line.back() == '\r' ? 1 : 0) > kLineLimit) return kErrOptionsLine;
  std::string_view text = trimText(line);
  if (text.empty() || text.front() == '#') return 0;
  std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) return kErrOptionsLine;
  std::string_view name = trimText(text.substr(0, eq));
  std::string_view value = trimText(text.substr(eq + 1));
  if (value.empty()) return 0;
  int index = ParamTable::findByName(name);
  if (index < 0 || !table.empty(index)) return 0;
  table.setIfEmpty(index, std::string(value));
  return 0;
}

}  // namespace

std::string optionsFilePath(const ParamTable& params, const Sources& sources) {
  if (params.present(kOpt)) return *params.value(kOpt);  // empty names no file
  if (!sources.locked) {
    if (auto v = findFormValue(sources.form, "KWT_OPT", "VEL_OPT")) return *v;
  }
  if (const char* v = getenvEither(sources.platform, "KWT_OPT", "VEL_OPT")) return v;
  return kDefaultOptionsFile;
}

std::string_view trimText(std::string_view text) {
  const std::size_t b = std::min(text.find_first_not_of(" \t"), text.size());
  const std::size_t e = text.find_last_not_of(" \t\r\n");
  return e == std::string_view::npos || e < b ? text.substr(b, 0) : text.substr(b, e + 1 - b);
}

const char* getenvEither(const Platform& platform, const char* name, const char* altName) {
  if (const char* v = platform.getEnv(name)) return v;
  return platform.getEnv(altName);
}

int readOptionsFile(ParamTable& table, Platform& platform, const char* path) {
  if (path == nullptr || *path == '\0') return kErrOptionsOpen;
  try {
    std::string text;
    const FileRead read = platform.readFile(path, kFileLimit, text);
    if (read == FileRead::kCannotOpen) return kErrOptionsOpen;
    int status = 0;
    for (std::size_t at = 0; status == 0 && at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) {
        // An endless file (a device, say) is not an options file: its last,
        // unfinished line is not read.
        if (read == FileRead::kTooLong) break;
        end = text.size();
      }
      status = handleLine(table, std::string_view(text).substr(at, end - at));
      at = end + 1;
    }
    if (status == 0 && read == FileRead::kTooLong) return kErrOptionsLine;
    return status;
  } catch (const std::bad_alloc&) {
    return kErrNoMemory;
  }
}

int applySource(ParamTable& params, const Sources& sources, char mode) {
  switch (mode) {
    case '1': applyForm(params, sources); return 0;
    case '2': applyEnvironment(params, sources); return 0;
    case '3': {
      std::string path = optionsFilePath(params, sources);
      return readOptionsFile(params, sources.platform, path.c_str());
    }
    case '4': applyCommandLine(params, sources); return 0;
    default: return 0;
  }
}

bool lockRequested(const Platform& platform) {
  const char* v = platform.getEnv("REVOZI_LOCK");
  return v != nullptr && *v != '\0' && std::string_view(v) != "0";
}

std::string modeString(const Sources& sources) {
  std::optional<std::string> mode;
  if (!sources.locked) mode = findFormValue(sources.form, "KWT_MODE", "VEL_MODE");
  if (!mode) {
    if (const char* v = getenvEither(sources.platform, "KWT_MODE", "VEL_MODE")) mode = v;
  }
  if (!mode) mode = modeFromCommandLine(sources);
  return mode ? *mode : "1";
}

int fillParameters(ParamTable& params, const Sources& sources) {
  const std::string mode = modeString(sources);
  params.set(kMode, mode);
  for (char c : mode) {
    int rc = applySource(params, sources, c);
    if (rc != 0) return rc;
  }
  return 0;
}

void applyDefaults(ParamTable& table) {
  table.setIfEmpty(kSource, "HTML");
  table.setIfEmpty(kKorven, kDefaultKorven);
  table.setIfEmpty(kBackup1, kDefaultBackup1);
  table.setIfEmpty(kBackup2, kDefaultBackup2);
  table.setIfEmpty(kBackup3, kDefaultBackup3);
  table.setIfEmpty(kTimeout, "8");
  table.setIfEmpty(kTimeout1, "10");
  table.setIfEmpty(kTimeout2, "20");
  table.setIfEmpty(kTimeout3, "20");
  table.setIfEmpty(kTimeout4, "20");
  table.set(kVersion, kVersionTag);
  table.setIfEmpty(kPort, "443");
}

}  // namespace revozi
