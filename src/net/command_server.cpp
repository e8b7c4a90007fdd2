#include "net/command_server.hpp"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <asio/ip/v6_only.hpp>

#include <array>

namespace orvane {
namespace {

// One connection: reads what the host sends. Framing and dispatch of the
// protocol sit on top of this.
class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}
  void start() { read(); }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec, std::size_t) {
      if (ec) return;  // host closed or reset: the session ends with its last handler
      self->read();
    });
  }

  asio::ip::tcp::socket socket_;
  std::array<char, 16384> buffer_{};
};

}  // namespace

CommandServer::CommandServer(asio::io_context& ioc, Station& station) : ioc_(ioc), station_(station) {}

CommandServer::~CommandServer() { close(); }

void CommandServer::listen(int port) {
  if (port < 0 || port > 65535) throw std::invalid_argument("Invalid port " + std::to_string(port));
  close();
  asio::ip::tcp::acceptor acceptor(ioc_);
  asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), static_cast<unsigned short>(port));
  std::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (ec) {
    endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol());
  } else {
    acceptor.set_option(asio::ip::v6_only(false), ec);  // IPv4 too, where the system allows it
  }
  acceptor.set_option(asio::socket_base::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(asio::socket_base::max_listen_connections);
  acceptor_.emplace(std::move(acceptor));
  accept();
}

void CommandServer::close() {
  if (acceptor_) {
    std::error_code ec;
    acceptor_->close(ec);
    acceptor_.reset();
  }
}

int CommandServer::port() const { return acceptor_ ? acceptor_->local_endpoint().port() : 0; }

void CommandServer::accept() {
  acceptor_->async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_) return;
    if (!ec) {
      std::error_code ignored;
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      std::make_shared<Session>(std::move(socket))->start();
    }
    accept();
  });
}

}  // namespace orvane
