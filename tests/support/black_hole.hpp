// Hosts that swallow a client on loopback, without privileges: one that
// completes the TCP handshake and never says a word (the kernel queues the
// connection, nobody accepts it), and one that never answers a SYN (its
// accept queue is full, so the kernel drops further SYNs).
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace orvane::test {

// A loopback port nothing listens on (a connection is refused at once),
// for a host that is down.
inline int closed_loopback_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class BlackHole {
 public:
  enum class Kind { silent, no_syn_answer };

  explicit BlackHole(Kind kind) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, kind == Kind::silent ? 64 : 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot open a loopback listener");
    port_ = ntohs(a.sin_port);
    if (kind == Kind::no_syn_answer) {
      // Fill the accept queue until a connection attempt gets no answer.
      for (int i = 0; i < 16; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        fillers_.push_back(fd);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 300) == 0) return;  // this SYN went unanswered: the queue is full
      }
      throw std::runtime_error("the accept queue did not fill");
    }
  }
  ~BlackHole() {
    for (int fd : fillers_) ::close(fd);
    ::close(listener_);
  }
  BlackHole(const BlackHole&) = delete;
  BlackHole& operator=(const BlackHole&) = delete;

  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace orvane::test
