#include "params/sources.h"

#include <cstring>
#include <new>
#include <string>

#include "params/validate.h"
#include "params/version.h"

namespace revozi {

namespace {

constexpr std::size_t kLineLimit = 3071;                  // bytes of one line
constexpr std::size_t kFileLimit = std::size_t{64} << 20;  // bytes of one file

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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

void applyCommandLine(ParamTable& params, const Sources& sources) {
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

std::string chooseOptionsPath(const ParamTable& params, const Sources& sources) {
  if (params.present(kOpt)) return *params.value(kOpt);  // empty names no file
  if (!sources.locked) {
    if (auto v = findFormValue(sources.form, "KWT_OPT", "VEL_OPT")) return *v;
  }
  if (const char* v = getenvEither(sources.platform, "KWT_OPT", "VEL_OPT")) return v;
  return kDefaultOptionsFile;
}

// One logical line of the options file: its text up to the line end (a zero
// byte ends the text, as for every value), and what the rules need to know
// of a line too long to keep.
struct OptionsLine {
  std::string text;         // at most kLineLimit + 2 bytes kept
  bool cut = false;         // a zero byte ended the text
  bool tooLong = false;     // more than kLineLimit bytes before the line end
  char firstNonBlank = 0;   // first byte that is not a blank or a tab
  bool onlySpace = true;    // every byte is a blank, tab, CR or LF

  void reset() { text.clear(); cut = false; tooLong = false; firstNonBlank = 0; onlySpace = true; }
  void add(char c) {
    if (cut) return;
    if (c == '\0') { cut = true; return; }
    if (firstNonBlank == 0 && !isBlank(c)) firstNonBlank = c;
    if (!isSpace(c)) onlySpace = false;
    if (text.size() < kLineLimit + 2) text.push_back(c); else tooLong = true;
  }
};

// Handles one complete line. Returns the status: 0 to go on, or -6 / -2.
int handleLine(ParamTable& table, OptionsLine& line) {
  // A line end of CR LF is not counted in the line's length.
  std::size_t length = line.text.size();
  if (length > 0 && line.text.back() == '\r') --length;
  if (length > kLineLimit) line.tooLong = true;
  if (line.onlySpace || line.firstNonBlank == '#') return 0;  // blank or comment, any length
  if (line.tooLong) return kErrOptionsLine;                   // never cut a value short
  std::string_view text = trimText(line.text);
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

std::string_view trimText(std::string_view text) {
  std::size_t b = 0;
  while (b < text.size() && isBlank(text[b])) ++b;
  std::size_t e = text.size();
  while (e > b && isSpace(text[e - 1])) --e;
  return text.substr(b, e - b);
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
    OptionsLine line;
    bool pending = false;  // bytes of an unfinished line are held
    for (std::size_t i = 0; i < text.size() && status == 0; ++i) {
      if (text[i] == '\n') {
        status = handleLine(table, line);
        line.reset();
        pending = false;
      } else {
        line.add(text[i]);
        pending = true;
      }
    }
    // An endless file (a device, say) is not an options file.
    if (status == 0 && read == FileRead::kTooLong) return kErrOptionsLine;
    if (status == 0 && pending) status = handleLine(table, line);
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
      std::string path = chooseOptionsPath(params, sources);
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

int fillParameters(ParamTable& params, const Sources& sources) {
  std::optional<std::string> mode;
  if (!sources.locked) mode = findFormValue(sources.form, "KWT_MODE", "VEL_MODE");
  if (!mode) {
    if (const char* v = getenvEither(sources.platform, "KWT_MODE", "VEL_MODE")) mode = v;
  }
  if (!mode) mode = modeFromCommandLine(sources);
  if (!mode) mode = "1";
  params.set(kMode, mode);
  for (char c : *mode) {
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
