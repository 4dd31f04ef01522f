// REVOZI.CGI: one payment request per process.
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/system_platform.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  revozi::SystemPlatform platform;
  return revozi::runRequest(platform, std::move(args));
}
