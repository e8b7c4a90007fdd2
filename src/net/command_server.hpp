// The command server's TCP side: the listening socket on ClientPort (all
// interfaces, IPv6 and IPv4) and one session per connection, on the
// station thread.
#pragma once
#include "station/station.hpp"

#include <asio/ip/tcp.hpp>

#include <memory>
#include <optional>

namespace orvane {

class CommandServer final : public CommandListener {
 public:
  CommandServer(asio::io_context& ioc, Station& station);
  ~CommandServer() override;

  // Opens the listening socket; throws std::system_error (port in use ...).
  void listen(int port) override;
  void close();
  // The bound port (useful when listening on port 0).
  int port() const;

 private:
  void accept();

  asio::io_context& ioc_;
  Station& station_;
  std::optional<asio::ip::tcp::acceptor> acceptor_;
};

}  // namespace orvane
