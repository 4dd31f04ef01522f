// A TCP listener on 127.0.0.1 for tests: a payment server that accepts.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace revozi::testing {

class LoopbackListener {
 public:
  // Listens on an ephemeral port of 127.0.0.1 (or on `port` when given).
  explicit LoopbackListener(int backlog = 16, int port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, backlog) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }

  // Accepts every connection waiting now; returns how many there were.
  int drain() {
    int n = 0;
    for (int i = 0; i < 1000; ++i) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) break;
      ::close(c);
      ++n;
    }
    return n;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port of 127.0.0.1 on which nothing listens (connections are refused).
inline int closedLoopbackPort() {
  LoopbackListener l;
  return l.port();  // closed again when `l` goes
}

}  // namespace revozi::testing
