// The command server's TCP side: the listening socket on ClientPort (all
// interfaces, IPv6 and IPv4) and one session per connection, on the station
// thread. Each session owns its framer and a bounded write queue.
#pragma once
#include "station/host_messages.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <memory>
#include <optional>

namespace orvane {

class CommandServer final : public CommandListener {
 public:
  CommandServer(asio::io_context& ioc, MessageHandler& handler);
  ~CommandServer() override;

  // Opens the listening socket; throws std::system_error (port in use ...).
  void listen(int port) override;
  void close();
  // The bound port (useful when listening on port 0).
  int port() const;
  // Sessions alive right now (open or draining their last replies).
  std::size_t session_count() const { return *sessions_; }

 private:
  void accept();

  asio::io_context& ioc_;
  MessageHandler& handler_;
  std::optional<asio::ip::tcp::acceptor> acceptor_;
  asio::steady_timer accept_retry_;
  std::error_code last_accept_error_;
  std::shared_ptr<std::size_t> sessions_ = std::make_shared<std::size_t>(0);
};

}  // namespace orvane
