// Pieces shared by the tools that write a file through a temporary one
// beside it (revozi-setkey's keyed copy, the sandbox's key pair).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

namespace revozi::tools {

// The folder of `path`: "." for a bare name, "/" for one right under it.
inline std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of `data` to `fd`, through short writes and interruptions;
// false on an error (errno says which).
inline bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace revozi::tools
