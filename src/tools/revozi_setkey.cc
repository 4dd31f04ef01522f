// revozi-setkey: writes a merchant key into a copy of a built module.
//
//   revozi-setkey MODULE OUTPUT KEY
//   revozi-setkey MODULE OUTPUT -        (the key is read from standard input)
//
// The key area of the module starts with a fixed marker; the key is written
// right after it. The copy is written to a temporary file beside OUTPUT and
// renamed into place only when complete, so a refusal or a failure leaves
// nothing half-written.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// The marker is spelt in two pieces so that this tool's own binary does not
// carry it whole.
std::string marker() { return std::string("rvz") + "key"; }
constexpr std::size_t kSlotSize = 20;
constexpr std::size_t kKeyOffset = 6;
constexpr std::size_t kMaxKey = kSlotSize - kKeyOffset - 1;  // 13

int fail(const std::string& message) {
  std::fprintf(stderr, "revozi-setkey: %s\n", message.c_str());
  return 1;
}

bool readFile(const char* path, std::string& content) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: revozi-setkey MODULE OUTPUT KEY\n"
               "       revozi-setkey MODULE OUTPUT -     (key read from standard input)\n"
               "\n"
               "Writes a copy of the payment module MODULE to OUTPUT with the merchant key\n"
               "KEY (1 to 13 printable ASCII characters) in its key area. Once a key is\n"
               "set, every request must carry it in KWT_CLE: a missing key gives error\n"
               "code -7, a wrong one -17. MODULE itself is never changed.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  if (argc != 4) {
    usage(stderr);
    return 2;
  }
  const char* input = argv[1];
  const char* output = argv[2];
  std::string key = argv[3];
  if (key == "-") {
    key.clear();
    char buf[256];
    if (std::fgets(buf, sizeof buf, stdin) != nullptr) key = buf;
    while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
  }
  if (key.empty()) return fail("the key is empty");
  if (key.size() > kMaxKey) return fail("the key is longer than 13 characters");
  for (unsigned char c : key) {
    if (c < 0x20 || c > 0x7E) return fail("the key holds a character that is not printable ASCII");
  }
  if (key.front() == ' ' || key.back() == ' ') {
    return fail("the key begins or ends with a blank, which option files and arguments would drop");
  }

  std::string module;
  if (!readFile(input, module)) return fail(std::string("cannot read ") + input + ": " + std::strerror(errno));
  const std::string m = marker();
  std::size_t at = module.find(m);
  if (at == std::string::npos) return fail(std::string(input) + " has no key area (is it the payment module?)");
  if (module.find(m, at + 1) != std::string::npos) {
    return fail(std::string(input) + " has more than one key area; refusing to guess");
  }
  if (at + kSlotSize > module.size()) return fail(std::string(input) + " ends inside its key area");

  std::memset(module.data() + at + kKeyOffset, 0, kSlotSize - kKeyOffset);
  std::memcpy(module.data() + at + kKeyOffset, key.data(), key.size());

  struct stat st {};
  mode_t mode = 0755;
  if (::stat(input, &st) == 0) mode = st.st_mode & 07777;
  std::string temp = std::string(output) + ".tmp-setkey";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return fail("cannot write " + temp + ": " + std::strerror(errno));
  bool ok = std::fwrite(module.data(), 1, module.size(), f) == module.size();
  ok = (std::fflush(f) == 0) && ok;
  ok = (::fsync(::fileno(f)) == 0) && ok;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || ::chmod(temp.c_str(), mode) != 0 || std::rename(temp.c_str(), output) != 0) {
    int e = errno;
    std::remove(temp.c_str());
    return fail(std::string("cannot write ") + output + ": " + std::strerror(e));
  }
  std::printf("revozi-setkey: wrote %s with a %zu-character merchant key\n", output, key.size());
  return 0;
}
