// The platform of a real process: getenv, descriptors 0, 1 and 2, files,
// the resolver and sockets, and programs started without a shell.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace revozi {

// The time a name resolution may take at least, in seconds, whatever the
// slot's time-out (0 or negative included).
inline constexpr long kLeastResolveSeconds = 1;

class SystemPlatform : public Platform {
 public:
  SystemPlatform() = default;
  ~SystemPlatform() override;
  SystemPlatform(const SystemPlatform&) = delete;
  SystemPlatform& operator=(const SystemPlatform&) = delete;

  const char* getEnv(const char* name) const override;
  std::size_t readInput(char* buffer, std::size_t size) override;
  bool writeOutput(std::string_view bytes) override;
  bool writeError(std::string_view bytes) override;
  FileRead readFile(const char* path, std::size_t limit, std::string& text) override;
  // The name resolved (resolver.h), then every address tried (connect_race.h)
  // on non-blocking sockets, within the time-out counted from the call (the
  // resolution within kLeastResolveSeconds at least).
  ConnectOutcome connectTcp(const std::string& host, std::uint16_t port, long timeoutSeconds,
                            ConnectReport* report) override;
  void runProgram(const char* const* argv) override;
  long long wallSeconds() override;
  long long steadyMicros() override;
  StateDirectory stateDirectory(const char* path) override;
  FileRead readStateFile(const char* path, long long owner, std::size_t limit, std::string& text) override;
  bool replaceStateFile(const char* directory, const char* name, std::string_view bytes) override;
  // A flock on its own open file, closed with the platform.
  Claim claimStateFile(const char* path) override;
  std::vector<std::string> listDirectory(const char* path) override;

 private:
  std::vector<int> claims_;
};

}  // namespace revozi
