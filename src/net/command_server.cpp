#include "net/command_server.hpp"

#include "core/framer.hpp"
#include "core/limits.hpp"
#include "net/refusal_log.hpp"

#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace orvane {

namespace {
class Session;
}

// What the server and its sessions share; sessions may outlive the
// listening socket, so it is held by both.
struct ServerState {
  std::vector<Session*> sessions;
  std::size_t unfinished = 0;  // bytes held by all sessions' framers
  std::size_t released = 0;  // read buffers freed since memory was last trimmed
  RefusalLog refusals;
  RefusalLog::Time last_cap_log{};
  bool cap_logged = false;
};

namespace {

// Descriptors this process has open now.
std::size_t open_descriptors() {
  std::error_code ec;
  std::size_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n > 0 ? n - 1 : 0;  // the iterator's own
}

// One host connection: its framer, its replies. Replies are queued and
// written in order; the queue is bounded so a host that stops reading can't
// grow the station's memory or hold up the station thread.
class Session final : public Connection, public std::enable_shared_from_this<Session> {
 public:
  Session(asio::ip::tcp::socket socket, std::string address, MessageHandler& handler,
          std::shared_ptr<ServerState> state)
      : socket_(std::move(socket)), handler_(handler), state_(std::move(state)), address_(std::move(address)) {
    state_->sessions.push_back(this);
    buffer_.resize(limits::kReadChunkBytes);
    std::error_code ec;
    socket_.non_blocking(true, ec);  // replies are first written directly, see send()
  }
  ~Session() override {
    account(0);
    auto& all = state_->sessions;
    all.erase(std::find(all.begin(), all.end(), this));
    // Hand freed buffers back to the system after a crowd of hosts, rather
    // than keeping them for the next crowd: when the last host has gone, or
    // when many have gone while others stay.
    state_->released += buffer_.capacity();
    if (state_->released > (all.empty() ? limits::kTrimAfterIdleBytes : limits::kTrimAfterBytes)) {
      state_->released = 0;
      ::malloc_trim(0);
    }
  }

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
  std::size_t send_room() const override {
    const auto queued = pending_.size() + in_flight_.size();
    return open_ && queued < limits::kMaxWriteQueueBytes ? limits::kMaxWriteQueueBytes - queued : 0;
  }

  std::size_t held() const { return held_; }

  // Ends the connection at once, unfinished message and queued replies
  // included (the station's memory bound).
  void drop() {
    open_ = false;
    framer_.drop();
    account(0);
    shutdown_now();
  }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](std::error_code ec, std::size_t n) { self->on_read(ec, n); });
  }

  void on_read(std::error_code ec, std::size_t n) {
    if (ec) {
      // EOF or an error: the host is gone; nothing is written to it again.
      // Replies already queued still drain (or fail) and the socket closes.
      open_ = false;
      framer_.drop();
      account(0);
      if (!writing_) shutdown_now();
      return;
    }
    if (!open_) return;  // closed meanwhile: what it sent is not looked at
    const auto self = shared_from_this();
    framer_.feed(
        std::string_view(buffer_.data(), n),
        [&](std::span<const std::string_view> lines) {
          // A connection closed by an earlier message (problem command,
          // write bound, failed send) gets no more work done for it.
          if (!open_) return;
          handler_.handle_message(lines, self);
        },
        [&] { handler_.log_line("Error : message too long"); });
    account(framer_.held_bytes());
    if (state_->unfinished > limits::kMaxUnfinishedBytes) drop_largest();
    if (open_ && socket_.is_open()) read();
  }

  // Keeps the station-wide count of message memory in step with this
  // session's framer.
  void account(std::size_t now_held) {
    state_->unfinished = state_->unfinished - held_ + now_held;
    held_ = now_held;
  }

  void drop_largest() {
    const auto largest = *std::max_element(state_->sessions.begin(), state_->sessions.end(),
                                           [](const Session* a, const Session* b) { return a->held() < b->held(); });
    const auto address = largest->address_;
    const auto held = largest->held();
    largest->drop();
    if (state_->refusals.due(address, std::chrono::steady_clock::now()))
      handler_.log_line("Error : unfinished messages of all hosts over " +
                        std::to_string(limits::kMaxUnfinishedBytes >> 20) + " MiB: host " + address + " holding " +
                        std::to_string(held) + " bytes dropped");
  }

  void write() {
    writing_ = true;
    in_flight_.swap(pending_);
    pending_.clear();
    asio::async_write(socket_, asio::buffer(in_flight_),
                      [self = shared_from_this()](std::error_code ec, std::size_t) { self->on_written(ec); });
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
    std::string().swap(pending_);
    if (!socket_.is_open()) return;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  asio::ip::tcp::socket socket_;
  MessageHandler& handler_;
  std::shared_ptr<ServerState> state_;
  std::string address_;
  std::vector<char> buffer_;
  Framer framer_;
  std::size_t held_ = 0;  // this framer's share of state_->unfinished
  std::string pending_;  // replies not yet handed to the socket
  std::string in_flight_;  // the bytes of the write under way
  bool writing_ = false;
  bool open_ = true;
};

}  // namespace

std::size_t host_cap_for(int max_hosts, std::uint64_t descriptor_limit, std::size_t descriptors_open) {
  const std::uint64_t limit = std::min<std::uint64_t>(descriptor_limit, FD_SETSIZE);
  const std::uint64_t used = descriptors_open + static_cast<std::uint64_t>(limits::kDescriptorReserve);
  const std::uint64_t room = limit > used ? limit - used : 0;
  const std::uint64_t wanted = max_hosts > 0 ? static_cast<std::uint64_t>(max_hosts) : 1;
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min(wanted, room)));
}

CommandServer::CommandServer(asio::io_context& ioc, MessageHandler& handler)
    : ioc_(ioc), handler_(handler), accept_retry_(ioc), state_(std::make_shared<ServerState>()) {}

CommandServer::~CommandServer() { close(); }

void CommandServer::listen(const ListenSettings& settings) {
  listen_failure_.clear();
  try {
    open_acceptor(settings.port);
  } catch (const std::exception& e) {
    listen_failure_ = "port " + std::to_string(settings.port) + ": " + e.what();
    throw;
  }
  allow_ = HostAllowList::parse(settings.allow_hosts);
  for (const auto& bad : allow_.rejected())
    handler_.log_line("Error : AllowHosts: \"" + bad + "\" is not an address or a prefix");
  if (allow_.restricts() && allow_.entries().empty()) handler_.log_line("Error : AllowHosts lets no host in");

  rlimit rl{};
  const std::uint64_t limit = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 ? rl.rlim_cur : FD_SETSIZE;
  host_cap_ = host_cap_for(settings.max_hosts, limit, open_descriptors());
  if (host_cap_ < static_cast<std::size_t>(std::max(settings.max_hosts, 1)))
    handler_.log_line("Error : descriptor limit " + std::to_string(limit) + " leaves room for " +
                      std::to_string(host_cap_) + " hosts (MaxHosts " + std::to_string(settings.max_hosts) + ")");
  accept();
}

void CommandServer::open_acceptor(int port) {
  // Port 0 would listen on a port nobody knows: not a usable setting.
  if (port < 1 || port > 65535) throw std::invalid_argument("Invalid port " + std::to_string(port));
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

std::size_t CommandServer::session_count() const { return state_->sessions.size(); }

std::size_t CommandServer::unfinished_bytes() const { return state_->unfinished; }

bool CommandServer::admit(asio::ip::tcp::socket& socket) {
  std::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return false;  // already gone
  const auto now = std::chrono::steady_clock::now();
  if (!allow_.allows(remote.address())) {
    const auto address = host_address_text(remote.address());
    if (state_->refusals.due(address, now)) handler_.log_line("Emulator : refused host " + address);
    return false;
  }
  if (state_->sessions.size() >= host_cap_) {
    if (!state_->cap_logged || now - state_->last_cap_log >= std::chrono::seconds(limits::kRefusalLogSeconds)) {
      state_->cap_logged = true;
      state_->last_cap_log = now;
      handler_.log_line("Error : " + std::to_string(host_cap_) + " hosts connected, no more accepted (host " +
                        host_address_text(remote.address()) + ")");
    }
    return false;
  }
  return true;
}

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
    if (!admit(socket)) {
      // Closed at once with a reset: nothing it sent is read, and no
      // closing handshake lingers on the station's side.
      socket.set_option(asio::socket_base::linger(true, 0), ignored);
      socket.close(ignored);
    } else {
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      const auto address = host_address_text(socket.remote_endpoint(ignored).address());
      std::make_shared<Session>(std::move(socket), address, handler_, state_)->start();
    }
    accept();
  });
}

}  // namespace orvane
