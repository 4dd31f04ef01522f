// The platform of a real process: getenv, file descriptors 0, 1, 2, system().
#pragma once

#include "params/platform.h"

namespace revozi {

class SystemPlatform : public Platform {
 public:
  const char* getEnv(const char* name) const override;
  std::size_t readInput(char* buffer, std::size_t size) override;
  bool writeOutput(std::string_view bytes) override;
  bool writeError(std::string_view bytes) override;
  void runShell(const char* command) override;
};

}  // namespace revozi
