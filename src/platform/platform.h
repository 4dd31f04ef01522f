// The outside world of one run: environment, standard input, output and
// error, files, TCP connections and other programs. The module uses the
// system one (platform/system_platform.h); tests run whole requests in
// process with a fake (tests/fake_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace revozi {

// How a TCP connection attempt ended.
struct ConnectOutcome {
  enum Kind {
    kConnected,     // established (and closed again at once)
    kUnresolved,    // the host name has no IPv4 address; `error` is h_errno
    kNoSocket,      // no socket could be created
    kNotConnected,  // refused, unreachable or timed out; `error` is errno
  } kind;
  long error = 0;
};

// How a file read ended.
enum class FileRead {
  kRead,        // the whole file is in the text
  kCannotOpen,  // missing, unreadable, or a directory
  kTooLong,     // more than the limit: the text holds the first bytes only
};

class Platform {
 public:
  virtual ~Platform() = default;
  // The value of an environment variable, or null when it is not set.
  virtual const char* getEnv(const char* name) const = 0;
  // Reads up to `size` bytes of standard input; returns 0 at its end.
  virtual std::size_t readInput(char* buffer, std::size_t size) = 0;
  // Standard output and standard error, unbuffered at this level. False when
  // not every byte could be written (a full disk, a reader that has gone).
  virtual bool writeOutput(std::string_view bytes) = 0;
  virtual bool writeError(std::string_view bytes) = 0;
  // Reads the file at `path` into `text`, at most `limit` bytes and the
  // reason it stopped. Pipes and devices are read as they come.
  virtual FileRead readFile(const char* path, std::size_t limit, std::string& text) = 0;
  // Opens a TCP connection to `host` (a name or a dotted address) on `port`,
  // waiting at most `timeoutSeconds`, and closes it again: no byte is sent.
  virtual ConnectOutcome connectTcp(const std::string& host, std::uint16_t port,
                                    long timeoutSeconds) = 0;
  // Runs the program `argv[0]` (found on PATH) with the null-terminated
  // arguments and waits for it; it writes to the same standard output. Its
  // exit status is ignored.
  virtual void runProgram(const char* const* argv) = 0;
};

}  // namespace revozi
