// revozi-setkey: writes a merchant key into a copy of a built module.
//
//   revozi-setkey MODULE OUTPUT KEY
//   revozi-setkey MODULE OUTPUT -        (the key is read from standard input)
//
// The key area of the module starts with a fixed marker; the key is written
// right after it. The copy goes to a new temporary file in OUTPUT's directory,
// created exclusively under a random name (so a link planted there is never
// followed), given its mode, synced and renamed over OUTPUT only when
// complete. A refusal writes nothing; a failure removes the temporary file and
// leaves OUTPUT as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "driver/program_version.h"
#include "params/param_table.h"
#include "platform/system_platform.h"
#include "tools/file_writing.h"

namespace {

// The marker is spelt in two pieces so that this tool's own code does not
// carry it whole.
std::string marker() { return std::string("rvz") + "key"; }
constexpr auto kSlotSize = static_cast<std::size_t>(revozi::kKeySlotSize);
constexpr auto kKeyOffset = static_cast<std::size_t>(revozi::kKeyOffset);
constexpr std::size_t kMaxKey = kSlotSize - kKeyOffset - 1;  // 13
// A built module is a few MiB; anything far larger is not one.
constexpr std::size_t kMaxModule = 64u * 1024u * 1024u;
// The keyed copy holds the key in clear: the owner and the web server's group
// run it, nobody else reads it.
constexpr mode_t kOutputMode = 0750;
// Standard input longer than this cannot hold a key and its line end.
constexpr std::size_t kMaxKeyInput = 256;

int fail(revozi::Platform& platform, const std::string& message) {
  platform.writeError("revozi-setkey: " + message + "\n");
  return 1;
}

std::string errorText(int e) { return std::strerror(e); }

constexpr char kUsage[] =
               "usage: revozi-setkey MODULE OUTPUT KEY\n"
               "       revozi-setkey MODULE OUTPUT -     (key read from standard input)\n"
               "       revozi-setkey --help | --version\n"
               "\n"
               "Writes a copy of the payment module MODULE to OUTPUT with the merchant key\n"
               "KEY (1 to 13 printable ASCII characters, no blank at either end) in its\n"
               "key area. Once a key is set, every request must carry it in KWT_CLE: a\n"
               "missing key gives error code -7, a wrong one -17. MODULE itself is never\n"
               "changed; OUTPUT is replaced as a whole, never written through a link,\n"
               "with the mode 0750 (the key is readable in it: give it to root and the\n"
               "web server's group, e.g. chown root:www-data).\n";

// The key from standard input: one line, its line end (LF or CR LF) dropped.
// False, with the reason in `why`, on a read error or a second line.
bool readKeyLine(revozi::Platform& platform, std::string& key, std::string& why) {
  std::string input;
  char buf[kMaxKeyInput + 1];
  while (std::size_t n = platform.readInput(buf, sizeof buf)) {
    input.append(buf, n);
    if (input.size() > kMaxKeyInput) {
      why = "cannot read the key from standard input (unreadable, or far too long)";
      return false;
    }
  }
  if (!input.empty() && input.back() == '\n') input.pop_back();
  if (!input.empty() && input.back() == '\r') input.pop_back();
  if (input.find('\n') != std::string::npos) {
    why = "standard input holds more than one line; give the key alone";
    return false;
  }
  key = std::move(input);
  return true;
}

// Empty when `key` can go into the key area, else why not.
std::string keyProblem(const std::string& key) {
  if (key.empty()) return "the key is empty";
  if (key.size() > kMaxKey) return "the key is longer than 13 characters";
  for (char ch : key) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) return "the key holds a NUL byte";
    if (c < 0x20 || c > 0x7E) return "the key holds a character that is not printable ASCII";
  }
  if (key.front() == ' ' || key.back() == ' ') {
    return "the key begins or ends with a blank, which option files and arguments would drop";
  }
  // A second marker would make the key area ambiguous: the copy could never
  // be keyed again.
  if (key.find(marker()) != std::string::npos) return "the key holds the key area's marker";
  return {};
}

// Writes `data` with `mode` to a fresh temporary file beside `output` and
// renames it over `output`. Empty on success, else the reason; the temporary
// file never survives a failure.
std::string replaceFile(const std::string& output, const std::string& data, mode_t mode) {
  const std::string dir = revozi::tools::parentOf(output);
  const std::string base = output.substr(output.rfind('/') + 1);
  if (base.empty()) return "the output names a directory";
  std::string temp = dir + "/." + base + ".setkey-XXXXXX";
  // mkstemp creates the file with O_CREAT|O_EXCL: an existing name, a link
  // included, is never opened.
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return "cannot create a temporary file in " + dir + ": " + errorText(errno);
  bool ok = revozi::tools::writeAll(fd, data) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  int e = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok && std::rename(temp.c_str(), output.c_str()) != 0) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return "cannot write " + output + ": " + errorText(e);
  }
  // The rename itself reaches the disk with the directory.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return {};
}


// One run of the tool over the platform; returns the exit status.
int runSetkey(revozi::Platform& platform, const std::vector<std::string>& args) {
  if (args.size() >= 2) {
    if (auto flag = revozi::answerProgramFlag("revozi-setkey", args[1], kUsage, true)) return *flag;
  }
  if (args.size() != 4) {
    platform.writeError(kUsage);
    return 2;
  }
  const std::string& input = args[1];
  const std::string& output = args[2];
  std::string key = args[3];
  if (key == "-") {
    std::string why;
    if (!readKeyLine(platform, key, why)) return fail(platform, why);
  }
  if (std::string problem = keyProblem(key); !problem.empty()) return fail(platform, problem);

  struct stat st {};
  std::string module;
  errno = 0;
  if (::stat(input.c_str(), &st) != 0 ||
      platform.readFile(input.c_str(), kMaxModule, module) != revozi::FileRead::kRead) {
    return fail(platform, "cannot read " + input + ": " + (errno != 0 ? errorText(errno) : "not a module file"));
  }
  const std::string m = marker();
  std::size_t at = module.find(m);
  if (at == std::string::npos) return fail(platform, input + " has no key area (is it the payment module?)");
  if (module.find(m, at + 1) != std::string::npos) {
    return fail(platform, input + " has more than one key area; refusing to guess");
  }
  if (at + kSlotSize > module.size()) return fail(platform, input + " ends inside its key area");

  std::memset(module.data() + at + kKeyOffset, 0, kSlotSize - kKeyOffset);
  std::memcpy(module.data() + at + kKeyOffset, key.data(), key.size());

  if (std::string problem = replaceFile(output, module, kOutputMode); !problem.empty()) {
    return fail(platform, problem);
  }
  platform.writeOutput("revozi-setkey: wrote " + output + " with a " + std::to_string(key.size()) +
                       "-character merchant key\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  revozi::SystemPlatform platform;
  return runSetkey(platform, std::vector<std::string>(argv, argv + argc));
}
