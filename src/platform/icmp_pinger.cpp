#include "platform/icmp_pinger.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace orvane {
namespace {

std::uint16_t checksum(const unsigned char* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<std::uint16_t>(~sum));
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool IcmpPinger::ping(const std::string& host, std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  sockaddr_in to{};
  std::memcpy(&to, found->ai_addr, sizeof to);
  ::freeaddrinfo(found);

  Fd sock;
  bool raw = false;
  sock.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (sock.fd < 0) {
    sock.fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw = true;
  }
  if (sock.fd < 0) return false;

  const std::uint16_t seq = ++sequence_;
  const auto id = static_cast<std::uint16_t>(::getpid());
  std::array<unsigned char, 16> packet{};
  icmphdr header{};
  header.type = ICMP_ECHO;
  header.un.echo.id = htons(id);  // the kernel picks its own for datagram sockets
  header.un.echo.sequence = htons(seq);
  std::memcpy(packet.data(), &header, sizeof header);
  std::memcpy(packet.data() + sizeof header, "orvane", 6);
  const auto sum = checksum(packet.data(), packet.size());
  std::memcpy(packet.data() + offsetof(icmphdr, checksum), &sum, sizeof sum);
  if (::sendto(sock.fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
    return false;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::array<unsigned char, 1500> reply{};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{sock.fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(sock.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n <= 0 || from.sin_addr.s_addr != to.sin_addr.s_addr) continue;
    std::size_t offset = 0;
    if (raw) offset = static_cast<std::size_t>(reply[0] & 0x0f) * 4;  // raw sockets include the IP header
    if (static_cast<std::size_t>(n) < offset + sizeof(icmphdr)) continue;
    icmphdr got{};
    std::memcpy(&got, reply.data() + offset, sizeof got);
    if (got.type != ICMP_ECHOREPLY || ntohs(got.un.echo.sequence) != seq) continue;
    if (raw && ntohs(got.un.echo.id) != id) continue;
    return true;
  }
}

}  // namespace orvane
