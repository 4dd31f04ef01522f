// An in-memory platform: a given environment and standard input, captured
// standard output and error. "uname -a" writes a fixed line into the output,
// where the real command's line would land.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "params/platform.h"

namespace revozi::testing {

inline constexpr std::string_view kFakeUname = "FakeOS testhost 1.0 x86_64\n";

class FakePlatform : public Platform {
 public:
  std::map<std::string, std::string> env;
  std::string input;
  std::size_t inputChunk = 0;  // when non-zero, reads deliver at most this many bytes
  std::string output;
  std::string error;
  std::vector<std::string> commands;

  const char* getEnv(const char* name) const override {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  }
  std::size_t readInput(char* buffer, std::size_t size) override {
    std::size_t n = std::min(size, input.size() - inputPos_);
    if (inputChunk != 0) n = std::min(n, inputChunk);
    input.copy(buffer, n, inputPos_);
    inputPos_ += n;
    return n;
  }
  bool outputFails = false;  // standard output refuses every write (a full disk)
  bool writeOutput(std::string_view bytes) override {
    if (outputFails) return false;
    output.append(bytes);
    return true;
  }
  bool writeError(std::string_view bytes) override {
    error.append(bytes);
    return true;
  }
  void runShell(const char* command) override {
    commands.emplace_back(command);
    if (std::string_view(command) == "uname -a") output.append(kFakeUname);
  }
  std::size_t inputConsumed() const { return inputPos_; }

 private:
  std::size_t inputPos_ = 0;
};

}  // namespace revozi::testing
