// An in-memory platform: a given environment, standard input and files,
// captured standard output and error. "uname -a" writes a fixed line into the
// output, where the real program's line would land. Files not given, and
// every TCP connection to a host not in `hosts`, go to the system unless
// `offline` is set; so do the state files (real files in a test's directory).
// The clocks are the test's.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_platform.h"

namespace revozi::testing {

inline constexpr std::string_view kFakeUname = "FakeOS testhost 1.0 x86_64\n";

class FakePlatform : public Platform {
 public:
  std::map<std::string, std::string, std::less<>> env;
  std::string input;
  std::size_t inputChunk = 0;  // when non-zero, reads deliver at most this many bytes
  std::map<std::string, std::string, std::less<>> files;  // path -> contents, read before the disk
  bool offline = false;      // no disk, no network: every other file is missing,
                             // every host unresolvable
  bool outputFails = false;  // standard output refuses every write (a full disk)
  std::string output;
  std::string error;
  std::vector<std::string> commands;
  std::vector<std::string> connections;  // host:port/time-out of every connection asked for
  // Hosts whose connection is played, not made: the outcome and the report.
  struct PlayedHost {
    ConnectOutcome outcome;
    ConnectReport report;
  };
  std::map<std::string, PlayedHost, std::less<>> hosts;

  const char* getEnv(const char* name) const override {
    auto it = env.find(std::string_view(name));
    return it == env.end() ? nullptr : it->second.c_str();
  }
  std::size_t readInput(char* buffer, std::size_t size) override {
    std::size_t n = std::min(size, input.size() - inputPos_);
    if (inputChunk != 0) n = std::min(n, inputChunk);
    input.copy(buffer, n, inputPos_);
    inputPos_ += n;
    return n;
  }
  bool writeOutput(std::string_view bytes) override {
    if (outputFails) return false;
    output.append(bytes);
    return true;
  }
  bool writeError(std::string_view bytes) override {
    error.append(bytes);
    return true;
  }
  FileRead readFile(const char* path, std::size_t limit, std::string& text) override {
    auto it = files.find(std::string_view(path));
    if (it == files.end()) {
      if (offline) return FileRead::kCannotOpen;
      return system_.readFile(path, limit, text);
    }
    text = it->second.substr(0, limit);
    return it->second.size() > limit ? FileRead::kTooLong : FileRead::kRead;
  }
  ConnectOutcome connectTcp(const std::string& host, std::uint16_t port, long timeoutSeconds,
                            ConnectReport* report) override {
    connections.push_back(host + ":" + std::to_string(port) + "/" + std::to_string(timeoutSeconds));
    if (auto it = hosts.find(host); it != hosts.end()) {
      if (report != nullptr) *report = it->second.report;
      return it->second.outcome;
    }
    if (offline) return {ConnectOutcome::kUnresolved, kNoSuchName};
    return system_.connectTcp(host, port, timeoutSeconds, report);
  }
  void runProgram(const char* const* argv) override {
    std::string command;
    for (const char* const* a = argv; *a != nullptr; ++a) command += (command.empty() ? "" : " ") + std::string(*a);
    commands.push_back(command);
    if (command == "uname -a") output.append(kFakeUname);
  }
  long long wall = 1'800'000'000;  // wallSeconds()
  long long steady = 0;            // steadyMicros()
  long long wallSeconds() override { return wall; }
  long long steadyMicros() override { return steady; }
  StateDirectory stateDirectory(const char* path) override {
    return offline ? StateDirectory{} : system_.stateDirectory(path);
  }
  FileRead readStateFile(const char* path, long long owner, std::size_t limit, std::string& text) override {
    return offline ? FileRead::kCannotOpen : system_.readStateFile(path, owner, limit, text);
  }
  bool replaceStateFile(const char* directory, const char* name, std::string_view bytes) override {
    return !offline && system_.replaceStateFile(directory, name, bytes);
  }
  Claim claimStateFile(const char* path) override {
    return offline ? Claim::kUnavailable : system_.claimStateFile(path);
  }
  std::vector<std::string> listDirectory(const char* path) override {
    return offline ? std::vector<std::string>{} : system_.listDirectory(path);
  }
  std::size_t inputConsumed() const { return inputPos_; }

 private:
  std::size_t inputPos_ = 0;
  SystemPlatform system_;
};

}  // namespace revozi::testing
