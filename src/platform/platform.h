// The outside world of one run: environment, standard input, output and
// error, files, TCP connections and other programs. The module uses the
// system one (platform/system_platform.h); tests run whole requests in
// process with a fake (tests/fake_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace revozi {

// The resolution error numbers (those of h_errno).
enum ResolveError : long {
  kResolved = 0,
  kNoSuchName = 1,   // HOST_NOT_FOUND
  kTryAgain = 2,     // TRY_AGAIN: no answer in time, or a server failure
  kNoRecovery = 3,   // NO_RECOVERY
  kNoAddress = 4,    // NO_DATA: the name exists, without addresses
};

// How the connection to a server ended: its name resolved, every address
// tried (see system_platform.h for the order and the pace).
struct ConnectOutcome {
  enum Kind {
    kConnected,     // one attempt established a connection (closed again at once)
    kUnresolved,    // the name gave no address; `error` is a ResolveError
    kNoSocket,      // the last attempt to end could not create its socket
    kNotConnected,  // refused, unreachable or timed out; `error` is the errno of
                    // the last attempt to end (EINPROGRESS when it was refused after
                    // being in progress, or timed out)
  } kind;
  long error = 0;
};

// The detail of one connectTcp call, for the operator's check.
struct ConnectReport {
  enum AttemptEnd {
    kAttemptConnected,
    kAttemptFailed,     // refused or unreachable; `error` as in ConnectOutcome
    kAttemptNoSocket,   // no socket; `error` is errno
    kAttemptTimedOut,   // still pending when the time-out ran out
    kAttemptAbandoned,  // still pending when another attempt connected
  };
  struct Attempt {
    std::string address;   // numeric, as the system writes it
    long long startMicros;  // from the start of the call
    long long endMicros;
    AttemptEnd end;
    long error;
  };
  long long resolveMicros = 0;         // time taken by the name resolution
  std::vector<std::string> addresses;  // in the resolver's order
  std::vector<Attempt> attempts;       // in the order they were started
};

// A state directory (the server memory's) as this process may use it.
struct StateDirectory {
  enum Access {
    kUnusable,  // missing, not a directory, or writable by its group or others
    kReadable,  // another user's: read, never written
    kWritable,  // this process's user's, who may write and search it
  } access = kUnusable;
  long long owner = -1;  // the directory's owner: the only owner of its files
};

// How a claim on a lock file ended.
enum class Claim {
  kHeld,         // held until the process ends
  kBusy,         // another process holds it
  kUnavailable,  // it cannot be taken (not created, not this user's, ...)
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
  // Opens a TCP connection to `host` (a name, a dotted IPv4 address or an
  // IPv6 address, bare or in brackets) on `port` and closes it again: no byte
  // is sent. Resolution and connection together take at most
  // `timeoutSeconds` (no connection is waited for when it is negative), the
  // resolution at least a second even then. With `report`
  // it also tells every address found and every attempt made.
  virtual ConnectOutcome connectTcp(const std::string& host, std::uint16_t port,
                                    long timeoutSeconds, ConnectReport* report = nullptr) = 0;
  // Runs the program `argv[0]` (found on PATH) with the null-terminated
  // arguments and waits for it; it writes to the same standard output. Its
  // exit status is ignored.
  virtual void runProgram(const char* const* argv) = 0;

  // The server memory's files and clocks (probe/health.h); none is used
  // while the memory is off.
  // Seconds since the epoch (the wall clock) and a monotonic clock's
  // microseconds.
  virtual long long wallSeconds() = 0;
  virtual long long steadyMicros() = 0;
  // `path` (a link to a directory is followed) as a state directory.
  virtual StateDirectory stateDirectory(const char* path) = 0;
  // Reads the state file at `path` as readFile does, but only a regular file
  // (never a link) of `owner` that neither its group nor others may write;
  // kCannotOpen for anything else.
  virtual FileRead readStateFile(const char* path, long long owner, std::size_t limit,
                                 std::string& text) = 0;
  // Replaces the file `name` of `directory` with `bytes`: a new file (0600,
  // created exclusively) renamed over it, so that a reader sees the old file
  // or the new one, never a part of either. False on any failure, the old
  // file then staying as it was.
  virtual bool replaceStateFile(const char* directory, const char* name, std::string_view bytes) = 0;
  // Takes the lock file at `path` without waiting (created 0600 when missing;
  // only a regular file of this process's user that neither its group nor
  // others may write).
  virtual Claim claimStateFile(const char* path) = 0;
  // The names in a directory, "." and ".." left out; none when it cannot be
  // read.
  virtual std::vector<std::string> listDirectory(const char* path) = 0;
};

}  // namespace revozi
