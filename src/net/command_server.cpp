#include "net/command_server.hpp"

#include "core/framer.hpp"
#include "core/limits.hpp"

#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>

#include <string>
#include <vector>

namespace orvane {
namespace {

std::string address_text(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_string();
  return a.to_string();
}

// One host connection: its framer, its replies. Replies are queued and
// written in order; the queue is bounded so a host that stops reading can't
// grow the station's memory or hold up the station thread.
class Session final : public Connection, public std::enable_shared_from_this<Session> {
 public:
  Session(asio::ip::tcp::socket socket, MessageHandler& handler, std::shared_ptr<std::size_t> counter)
      : socket_(std::move(socket)), handler_(handler), counter_(std::move(counter)) {
    ++*counter_;
    std::error_code ec;
    const auto remote = socket_.remote_endpoint(ec);
    if (!ec) address_ = address_text(remote.address());
    buffer_.resize(limits::kReadChunkBytes);
    socket_.non_blocking(true, ec);  // replies are first written directly, see send()
  }
  ~Session() override { --*counter_; }

  void start() { read(); }

  bool send(std::string_view bytes) override {
    if (!open_) return false;
    if (pending_.size() + in_flight_.size() + bytes.size() > limits::kMaxWriteQueueBytes) {
      // The host doesn't take its replies: give it up.
      open_ = false;
      shutdown_now();
      return false;
    }
    if (bytes.empty()) return true;
    if (!writing_) {
      // Nothing queued: hand the reply to the kernel now. Usually it all
      // goes, and the write costs no further handler; what doesn't go is
      // queued.
      std::error_code ec;
      const auto n = socket_.write_some(asio::buffer(bytes), ec);
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
        open_ = false;
        shutdown_now();
        return false;
      }
      bytes.remove_prefix(ec ? 0 : n);
      if (bytes.empty()) return true;
    }
    pending_.append(bytes);
    if (!writing_) write();
    return true;
  }

  void close() override {
    if (!open_) return;
    open_ = false;
    if (!writing_) shutdown_now();  // else after the queued replies are out
  }

  std::string remote_address() const override { return address_; }
  bool is_open() const override { return open_; }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
      self->on_read(ec, n);
    });
  }

  void on_read(std::error_code ec, std::size_t n) {
    if (ec) {
      // EOF or an error: the host is gone; nothing is written to it again.
      // Replies already queued still drain (or fail) and the socket closes.
      open_ = false;
      if (!writing_) shutdown_now();
      return;
    }
    const auto self = shared_from_this();
    framer_.feed(
        std::string_view(buffer_.data(), n),
        [&](std::span<const std::string_view> lines) {
          handler_.handle_message(lines, self);
        },
        [&] { handler_.log_line("Error : message too long"); });
    if (socket_.is_open()) read();
  }

  void write() {
    writing_ = true;
    in_flight_.swap(pending_);
    pending_.clear();
    asio::async_write(socket_, asio::buffer(in_flight_), [self = shared_from_this()](std::error_code ec, std::size_t) {
      self->on_written(ec);
    });
  }

  void on_written(std::error_code ec) {
    writing_ = false;
    in_flight_.clear();
    if (in_flight_.capacity() > limits::kFramerKeepBytes) std::string().swap(in_flight_);
    if (ec) {
      open_ = false;
      pending_.clear();
      shutdown_now();
      return;
    }
    if (!pending_.empty() && socket_.is_open()) {
      write();
      return;
    }
    if (!open_) shutdown_now();
  }

  void shutdown_now() {
    std::error_code ignored;
    pending_.clear();
    if (!socket_.is_open()) return;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  asio::ip::tcp::socket socket_;
  MessageHandler& handler_;
  std::shared_ptr<std::size_t> counter_;
  std::string address_;
  std::vector<char> buffer_;
  Framer framer_;
  std::string pending_;    // replies not yet handed to the socket
  std::string in_flight_;  // the bytes of the write under way
  bool writing_ = false;
  bool open_ = true;
};

}  // namespace

CommandServer::CommandServer(asio::io_context& ioc, MessageHandler& handler)
    : ioc_(ioc), handler_(handler), accept_retry_(ioc) {}

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
  accept_retry_.cancel();
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
    if (ec) {
      // Out of descriptors or buffers: the pending connection stays in the
      // backlog. Try again after a pause rather than spin on the error.
      if (ec != last_accept_error_) handler_.log_line("Error : accept: " + ec.message());
      last_accept_error_ = ec;
      accept_retry_.expires_after(std::chrono::milliseconds(limits::kAcceptRetryMs));
      accept_retry_.async_wait([this](std::error_code e) {
        if (!e && acceptor_) accept();
      });
      return;
    }
    last_accept_error_ = {};
    std::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    std::make_shared<Session>(std::move(socket), handler_, sessions_)->start();
    accept();
  });
}

}  // namespace orvane
