// The payment sandbox's reading of a request on any bytes: the query string
// (the answer asked for and its format), the body (the payment page's
// fields, KWT_DATA and the return URLs), the block and its return plan.
// The input's first byte chooses the method and the format; up to the
// first line feed is QUERY_STRING, the rest the body. Calls of a
// notification URL are left out ("notify" cannot be named), so nothing
// leaves the process. Whatever the bytes, the answer is one CGI response
// whose header lines no value can end or add to.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "sandbox/sandbox_run.h"
#include "signing/signing.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// A key pair of its own for the run, in a private folder.
const std::string& keyFolder() {
  static const std::string folder = [] {
    char dir[] = "/tmp/fuzz-sandbox.XXXXXX";
    FUZZ_CHECK(mkdtemp(dir) != nullptr && revozi::signing::start());
    const revozi::signing::Seed seed = revozi::signing::newSeed();
    const std::string text = revozi::signing::keyFileText(seed.data(), seed.size());
    const int fd = ::open((std::string(dir) + "/key").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    FUZZ_CHECK(fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    ::close(fd);
    return std::string(dir);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned char mode = data[0];
  std::string rest(revozi::fuzzing::asText(data + 1, size - 1));
  for (std::size_t at; (at = rest.find("notify")) != std::string::npos;) rest[at] = 'N';
  const std::size_t eol = std::min(rest.find('\n'), rest.size());
  revozi::testing::FakePlatform platform;
  platform.offline = true;
  platform.env["REQUEST_METHOD"] = (mode & 1) != 0 ? "POST" : "GET";
  platform.env["QUERY_STRING"] = rest.substr(0, eol);
  platform.input = rest.substr(std::min(eol + 1, rest.size()));
  platform.env["CONTENT_LENGTH"] = std::to_string(platform.input.size());
  if ((mode & 2) != 0) platform.env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
  if ((mode & 4) != 0) platform.env["HTTP_ACCEPT"] = "text/plain";
  platform.env["KORVEN_SANDBOX_KEY"] = keyFolder() + "/key";
  platform.env["KORVEN_SANDBOX_STATE"] = keyFolder() + "/state";
  const int status = revozi::sandbox::runSandbox(platform);
  FUZZ_CHECK(status >= 0 && status <= 2);
  const std::string& out = platform.output;
  const std::size_t headersEnd = out.find("\n\n");
  FUZZ_CHECK(headersEnd != std::string::npos);
  // Header lines: printable ASCII, each ended by one line feed.
  for (std::size_t i = 0; i < headersEnd; ++i) {
    const auto b = static_cast<unsigned char>(out[i]);
    FUZZ_CHECK(b == '\n' || (b >= 0x20 && b < 0x7F));
  }
  return 0;
}
