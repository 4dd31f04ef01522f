// TCP peers on 127.0.0.1 for the connection tests: listeners that accept, a
// listener whose queue is full, closed ports, and descriptor helpers. Every
// loop and wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace revozi::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

inline std::uint16_t boundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A TCP listener on 127.0.0.1 and an ephemeral port.
class Listener {
 public:
  explicit Listener(int backlog = 16) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, backlog) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1: errno " << errno;
      return;
    }
    port_ = boundPort(fd_);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  std::uint16_t port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }

  // Accepts (and closes) every connection that arrives within `window`;
  // returns how many there were.
  int acceptFor(milliseconds window = milliseconds(300)) {
    const Clock::time_point deadline = Clock::now() + window;
    int accepted = 0;
    for (int round = 0; round < 1000; ++round) {
      const int client = accept(fd_, nullptr, nullptr);
      if (client >= 0) {
        close(client);
        ++accepted;
        continue;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd wait{fd_, POLLIN, 0};
      if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) break;
    }
    return accepted;
  }

 protected:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A listener that accepts nothing and whose queue is full, so that a new
// connection attempt stays pending. listen(fd, 0) still queues a connection
// or two; they are filled with client sockets until one stays pending.
class FullListener : public Listener {
 public:
  FullListener() : Listener(0) {}
  ~FullListener() {
    for (int fd : fillers_) close(fd);
  }

  bool fill() {
    for (int attempt = 0; attempt < 8; ++attempt) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      if (fd < 0) return false;
      fillers_.push_back(fd);
      const sockaddr_in address = loopback(port_);
      if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
          errno != EINPROGRESS) {
        return false;
      }
      pollfd wait{fd, POLLOUT, 0};
      if (poll(&wait, 1, 300) == 0) return true;  // this one stays pending
    }
    return false;
  }

 private:
  std::vector<int> fillers_;
};

inline constexpr const char* kNoPendingConnect =
    "could not make a connection attempt stay pending on a listener with a full "
    "queue on this machine";

// A port on 127.0.0.1 on which nothing listens.
inline std::uint16_t closedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = loopback(0);
  bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const std::uint16_t port = boundPort(fd);
  close(fd);
  return port;
}

inline int countOpenFds() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Opens /dev/null `count` times at most (stopping at the first failure, or
// once a descriptor of at least `stopAt` was handed out); the caller closes
// them. Standard input may be closed, so it is not duplicated.
inline std::vector<int> occupyDescriptors(int count, int stopAt = INT_MAX) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    fds.push_back(fd);
    if (fd >= stopAt) break;
  }
  return fds;
}

// Raises the soft descriptor limit to at least `wanted`; false if the hard
// limit does not allow it.
inline bool allowDescriptors(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// How this kernel reports a refused loopback connection: Linux refuses a
// non-blocking connect at once (ECONNREFUSED); other network stacks let it
// pend and report the refusal through SO_ERROR (the probe then shows the
// EINPROGRESS that connect left). Returns the errno that the trace line shows.
inline int refusalErrno() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const sockaddr_in address = loopback(closedPort());
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) error = errno;
  if (error == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    int pending = 0;
    socklen_t size = sizeof pending;
    EXPECT_EQ(poll(&wait, 1, 5000), 1);
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size), 0);
    EXPECT_EQ(pending, ECONNREFUSED);
  }
  close(fd);
  EXPECT_TRUE(error == ECONNREFUSED || error == EINPROGRESS) << "errno " << error;
  return error;
}

}  // namespace revozi::testing
