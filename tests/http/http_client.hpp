// A plain HTTP/1.1 client over a blocking loopback socket, one request per
// connection, for the endpoint's tests and its benchmark.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace orvane::test {

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string headers;
  std::string body;
};

inline HttpReply http_request(int port, const std::string& method, const std::string& path,
                              const std::string& body = "", const std::string& extra_headers = "") {
  HttpReply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return reply;
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::string raw;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                                extra_headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buf[8192];
      for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) raw.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  const auto end = raw.find("\r\n\r\n");
  if (!raw.starts_with("HTTP/1.") || end == std::string::npos) return reply;
  reply.status = std::stoi(raw.substr(9, 3));
  reply.headers = raw.substr(0, end);
  reply.body = raw.substr(end + 4);
  return reply;
}

}  // namespace orvane::test
