#include "net/command_server.hpp"

#include "core/framer.hpp"
#include "core/limits.hpp"
#include "net/refusal_log.hpp"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orvane {

namespace {
class Session;
}

// What the server and its sessions share. A session may outlive the server
// (a handler may still hold it); it is closed then and only reports so.
struct ServerState {
  int epoll_fd = -1;  // the sessions' readiness set, owned by the server
  std::vector<std::shared_ptr<Session>> sessions;  // open or draining
  // Sessions with replies to hand to the kernel when the turn's messages
  // are all handled; and sessions ended during a turn, kept until it is over.
  // Plain pointers: a session listed here stays owned until the end of the
  // turn (by `sessions`, or by `retired` once it has ended).
  std::vector<Session*> to_flush;
  std::vector<std::shared_ptr<Session>> retired;
  // Sessions whose last read filled the buffer: the set reports a socket
  // only when new bytes come, so these are read again next turn unasked.
  std::vector<std::shared_ptr<Session>> read_again;
  std::vector<std::shared_ptr<Session>> known;  // read_again's list of the turn being served
  bool in_turn = false;
  // A lone host is watched by the loop directly rather than through the
  // set; this session is out of the set meanwhile. Called when it can no
  // longer be (it ended, or has replies waiting for writability).
  std::shared_ptr<Session> lone;
  std::function<void()> lone_needs_set;
  std::uint64_t reads_with_bytes = 0;  // reads that brought bytes, ever
  std::size_t unfinished = 0;  // bytes held by all sessions' framers
  std::size_t released = 0;  // session memory freed since memory was last trimmed
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

// Replies a session keeps until the end of the turn before handing them to
// the kernel; more goes out at once.
constexpr std::size_t kHoldRepliesBytes = 64 << 10;

// One host connection: its framer, its replies. The server reads it when the
// readiness set says so; replies are kept in order and handed to the kernel
// once per turn, what the kernel doesn't take waits for the socket to become
// writable. The queue is bounded so a host that stops reading can't grow the
// station's memory or hold up the station thread.
class Session final : public Connection, public std::enable_shared_from_this<Session> {
 public:
  Session(int fd, std::string address, MessageHandler& handler, std::shared_ptr<ServerState> state)
      : fd_(fd), handler_(handler), state_(std::move(state)), address_(std::move(address)) {}
  ~Session() override {
    end();
    account(0);
  }

  // Joins the readiness set; false when the system refuses.
  bool start() {
    if (!set_interest(EPOLL_CTL_ADD)) return false;
    state_->sessions.push_back(shared_from_this());
    return true;
  }

  int fd() const { return fd_; }
  // Whether the loop may watch it alone: open, nothing queued, its end not
  // seen, and it has sent more than once (a host that asks once and goes
  // isn't worth the change of watch).
  bool may_go_alone() const { return fd_ >= 0 && open_ && pending_.empty() && !host_done_ && reads_ > 1; }
  // Leaves the readiness set while the loop watches it directly, and joins
  // it again after. A session that can't rejoin is ended.
  void leave_set() {
    if (!in_set_ || fd_ < 0) return;
    ::epoll_ctl(state_->epoll_fd, EPOLL_CTL_DEL, fd_, nullptr);
    in_set_ = false;
  }
  void join_set() {
    if (in_set_ || fd_ < 0) return;
    if (!set_interest(EPOLL_CTL_ADD)) drop();
  }

  // What a read of the socket done elsewhere (by the loop, for a lone host)
  // brought: bytes, or the host's end.
  void on_read(std::span<const char> bytes) {
    if (fd_ < 0) return;
    if (bytes.empty()) {
      host_gone();
      return;
    }
    ++state_->reads_with_bytes;
    if (open_) take(bytes);
  }

  bool send(std::string_view bytes) override {
    if (!open_) return false;
    if (pending_.size() + bytes.size() > limits::kMaxWriteQueueBytes) {
      // The host doesn't take its replies: give it up.
      open_ = false;
      end();
      return false;
    }
    if (bytes.empty()) return true;
    // A lone host's reply goes at once: there are no other hosts' replies
    // to gather, and what its message still does (its log lines) is done
    // while the reply travels.
    const bool at_once =
        !state_->in_turn || state_->sessions.size() == 1 || pending_.size() + bytes.size() > kHoldRepliesBytes;
    if (at_once && pending_.empty()) {
      // Nothing queued before it: from the caller's bytes, keeping what the kernel leaves.
      pending_.append(bytes.substr(write_some(bytes)));
      after_write();
      return true;
    }
    pending_.append(bytes);
    if (at_once) {
      flush();
    } else if (!flush_due_) {
      flush_due_ = true;
      state_->to_flush.push_back(this);
    }
    return true;
  }

  void close() override {
    if (!open_) return;
    open_ = false;
    if (pending_.empty()) end();  // else after the queued replies are out
    else update_interest();
  }

  std::string remote_address() const override { return address_; }
  bool is_open() const override { return open_; }
  std::size_t send_room() const override {
    return open_ && pending_.size() < limits::kMaxWriteQueueBytes ? limits::kMaxWriteQueueBytes - pending_.size()
                                                                  : 0;
  }

  std::size_t held() const { return held_; }

  // Ends the connection at once, unfinished message and queued replies
  // included (the station's memory bound).
  void drop() {
    open_ = false;
    framer_.drop();
    account(0);
    end();
  }

  // What the readiness set reported. True when the read filled `buffer`:
  // more may be waiting.
  bool on_ready(std::uint32_t events, std::span<char> buffer) {
    bool more = false;
    // The host has stopped sending: after what it sent, its end is there to
    // be read, and the set won't report it again.
    if (events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) host_done_ = true;
    if (fd_ >= 0 && (events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) && open_) {
      more = read(buffer);
      if (host_done_ && !more && fd_ >= 0 && open_) read(buffer);
    }
    if (fd_ >= 0 && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && !pending_.empty()) flush();
    if (fd_ >= 0 && !open_ && pending_.empty()) end();
    return more;
  }

  // Hands the queued replies to the kernel, without waiting; what it
  // doesn't take goes when the socket is writable again.
  void flush() {
    flush_due_ = false;
    if (fd_ < 0 || pending_.empty()) return;
    pending_.erase(0, write_some(pending_));
    after_write();
  }

 private:
  bool read(std::span<char> buffer) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) return true;  // nothing taken: read it again next turn
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (n <= 0) {
      host_gone();
      return false;
    }
    ++state_->reads_with_bytes;
    take(std::span<const char>(buffer.data(), static_cast<std::size_t>(n)));
    return open_ && static_cast<std::size_t>(n) == buffer.size();
  }

  // EOF or an error: the host is gone; nothing is written to it again.
  // Replies already queued still drain (or fail) and the socket closes.
  void host_gone() {
    open_ = false;
    framer_.drop();
    account(0);
    if (pending_.empty()) end();
    else update_interest();
  }

  // Frames what the host sent and hands its complete messages on.
  void take(std::span<const char> bytes) {
    ++reads_;
    const auto self = shared_from_this();
    framer_.feed(
        std::string_view(bytes.data(), bytes.size()),
        [&](std::span<const std::string_view> lines) {
          // A connection closed by an earlier message (problem command,
          // write bound, failed send) gets no more work done for it.
          if (!open_) return;
          handler_.handle_message(lines, self);
        },
        [&] { handler_.log_line("Error : message too long"); });
    if (!open_) framer_.drop();  // closed by one of its messages: the rest is not looked at
    account(framer_.held_bytes());
    if (state_->unfinished > limits::kMaxUnfinishedBytes) drop_largest();
  }

  // Hands bytes to the kernel without waiting: how many it took. A failure
  // other than a full socket ends the connection.
  std::size_t write_some(std::string_view bytes) {
    if (fd_ < 0) return 0;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      open_ = false;
      end();
      return 0;
    }
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  // After a write: a closed connection ends once its replies are out; what
  // is left waits for writability.
  void after_write() {
    if (fd_ < 0) {
      std::string().swap(pending_);  // ended by the write: nothing more goes out
      return;
    }
    if (pending_.empty() && pending_.capacity() > limits::kFramerKeepBytes) std::string().swap(pending_);
    if (pending_.empty() && !open_) {
      end();
      return;
    }
    update_interest();
  }

  // Reads while open, waits for writability while replies are left over.
  void update_interest() {
    if (fd_ < 0) return;
    if (!in_set_) {
      // Watched alone, for reading only: what it waits for now needs the set.
      if (wanted() != EPOLLIN && state_->lone_needs_set) state_->lone_needs_set();
      return;
    }
    if (wanted() != interest_) set_interest(EPOLL_CTL_MOD);
  }

  std::uint32_t wanted() const { return (open_ ? EPOLLIN : 0u) | (pending_.empty() ? 0u : EPOLLOUT); }

  // Adds the session to the readiness set (EPOLL_CTL_ADD) or changes what
  // it is watched for (EPOLL_CTL_MOD), edge-triggered, its end always.
  bool set_interest(int op) {
    epoll_event ev{};
    interest_ = wanted();
    ev.events = interest_ | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = this;
    if (::epoll_ctl(state_->epoll_fd, op, fd_, &ev) != 0) return false;
    in_set_ = true;
    return true;
  }

  // Keeps the station-wide count of message memory in step with this
  // session's framer.
  void account(std::size_t now_held) {
    state_->unfinished = state_->unfinished - held_ + now_held;
    held_ = now_held;
  }

  void drop_largest() {
    const auto largest = *std::max_element(
        state_->sessions.begin(), state_->sessions.end(),
        [](const std::shared_ptr<Session>& a, const std::shared_ptr<Session>& b) { return a->held() < b->held(); });
    const auto address = largest->address_;
    const auto held = largest->held();
    largest->drop();
    if (state_->refusals.due(address, std::chrono::steady_clock::now()))
      handler_.log_line("Error : unfinished messages of all hosts over " +
                        std::to_string(limits::kMaxUnfinishedBytes >> 20) + " MiB: host " + address + " holding " +
                        std::to_string(held) + " bytes dropped");
  }

  // Closes the socket and leaves the server; the object itself lives on
  // while anyone holds it (until the end of the turn at least).
  void end() {
    if (fd_ < 0) return;
    // Out of the set first: a child process started meanwhile may still
    // share the socket, and the set must never report it again.
    if (in_set_) ::epoll_ctl(state_->epoll_fd, EPOLL_CTL_DEL, fd_, nullptr);
    in_set_ = false;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
    // Watched alone: the loop's copy of the descriptor is closed too.
    if (state_->lone.get() == this && state_->lone_needs_set) state_->lone_needs_set();
    const std::size_t freed = sizeof(Session) + pending_.capacity();
    std::string().swap(pending_);
    auto& all = state_->sessions;
    const auto it = std::find_if(all.begin(), all.end(), [this](const auto& s) { return s.get() == this; });
    if (it == all.end()) return;
    state_->retired.push_back(std::move(*it));
    all.erase(it);
    // Hand freed memory back to the system after a crowd of hosts, rather
    // than keeping it for the next crowd: when the last host has gone, or
    // when many have gone while others stay.
    state_->released += freed;
    if (state_->released > (all.empty() ? limits::kTrimAfterIdleBytes : limits::kTrimAfterBytes)) {
      state_->released = 0;
      ::malloc_trim(0);
    }
  }

  int fd_;
  MessageHandler& handler_;
  std::shared_ptr<ServerState> state_;
  std::string address_;
  Framer framer_;
  std::size_t held_ = 0;  // this framer's share of state_->unfinished
  std::string pending_;  // replies not yet taken by the kernel
  std::uint32_t interest_ = 0;
  bool flush_due_ = false;
  bool host_done_ = false;  // the host shut its sending side
  bool in_set_ = false;  // in the readiness set (not while watched alone)
  std::uint64_t reads_ = 0;  // reads that brought bytes
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
    : ioc_(ioc),
      handler_(handler),
      accept_retry_(ioc),
      ready_watch_(ioc.get_executor()),
      read_buffer_(limits::kReadChunkBytes),
      lone_watch_(ioc.get_executor()),
      state_(std::make_shared<ServerState>()) {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::system_category(), "epoll_create1");
  ready_watch_.assign(fd);
  state_->epoll_fd = fd;
  state_->lone_needs_set = [this] { leave_alone(); };
  watch();
}

CommandServer::~CommandServer() {
  close();
  state_->lone_needs_set = nullptr;
  state_->lone.reset();
  std::error_code ignored;
  lone_watch_.close(ignored);
  // Sessions still held elsewhere find their host gone.
  const auto all = state_->sessions;
  for (const auto& s : all) s->drop();
  state_->retired.clear();
  state_->read_again.clear();
  state_->known.clear();
  state_->to_flush.clear();
  state_->epoll_fd = -1;
  *alive_ = false;
}

void CommandServer::watch() {
  if (set_watched_) return;
  set_watched_ = true;
  ready_watch_.async_wait(asio::posix::descriptor_base::wait_read, [this, alive = alive_](std::error_code ec) {
    if (!*alive) return;
    set_watched_ = false;
    if (!ec) serve_turn();
  });
}

void CommandServer::wait_next() {
  if (!state_->lone && state_->sessions.size() == 1 && state_->sessions.front()->may_go_alone() && go_alone()) {
    read_alone();
    return;
  }
  watch();
}

bool CommandServer::go_alone() {
  const auto& session = state_->sessions.front();
  if (lone_buffer_.empty()) lone_buffer_.resize(limits::kReadChunkBytes);
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  if (::getsockname(session->fd(), reinterpret_cast<sockaddr*>(&local), &size) != 0) return false;
  const int fd = ::fcntl(session->fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return false;
  std::error_code ec;
  lone_watch_.assign(asio::generic::stream_protocol(local.ss_family, IPPROTO_TCP), fd, ec);
  if (ec) {
    ::close(fd);
    return false;
  }
  lone_watch_.non_blocking(true, ec);
  if (ec) {
    lone_watch_.close(ec);
    return false;
  }
  session->leave_set();
  state_->lone = session;
  return true;
}

// The loop reads the lone host's socket itself. The read is tried at once
// (after a reply it finds nothing, one read) and then waits in the loop,
// the descriptor already registered there: no epoll_ctl, no set to ask.
// Its bytes go to the session as if the set had reported them.
void CommandServer::read_alone() {
  lone_watch_.async_read_some(
      asio::buffer(lone_buffer_),
      [this, alive = alive_, session = state_->lone, read = ++lone_reads_](std::error_code ec, std::size_t n) {
        if (!*alive) return;
        if (n > 0 || (ec && ec != asio::error::operation_aborted)) {
          state_->in_turn = true;
          session->on_read(std::span<const char>(lone_buffer_.data(), n));
          flush_turn();
        }
        // Left alone meanwhile (another host came, the session ended or has
        // replies waiting): the set watches again.
        if (read != lone_reads_) return;
        if (!ec && session->may_go_alone() && state_->sessions.size() == 1) {
          read_alone();
          return;
        }
        leave_alone();
      });
}

void CommandServer::leave_alone() {
  if (!state_->lone) return;
  const auto session = std::move(state_->lone);
  ++lone_reads_;
  std::error_code ignored;
  lone_watch_.close(ignored);  // a read still pending ends as cancelled
  session->join_set();
  watch();
}

// One turn: every session the readiness set reports is read once and its
// complete messages handled; then the replies of the turn go to the kernel
// together, so a crowd of hosts is answered in one burst. Sessions known to
// have bytes waiting are read and answered before the set is asked: those
// whose last read filled the buffer, and a lone host, whose request then
// doesn't wait for the set's answer (the set tells what else happened: its
// end, writability; a read of its socket finds nothing then).
void CommandServer::serve_turn() {
  for (int round = 1;; ++round) {
    auto& known = state_->known;
    known.swap(state_->read_again);
    if (known.empty() && state_->sessions.size() == 1) known.push_back(state_->sessions.front());
    state_->in_turn = true;
    for (const auto& s : known)
      if (s->on_ready(EPOLLIN, read_buffer_)) state_->read_again.push_back(s);
    known.clear();
    flush_turn();

    epoll_event events[kEventsPerTurn];
    const int n = ::epoll_wait(state_->epoll_fd, events, kEventsPerTurn, 0);
    const auto reads_before = state_->reads_with_bytes;
    state_->in_turn = true;
    for (int i = 0; i < n; ++i) {
      auto* s = static_cast<Session*>(events[i].data.ptr);
      if (s->on_ready(events[i].events, read_buffer_)) state_->read_again.push_back(s->shared_from_this());
    }
    flush_turn();
    // While hosts keep sending, the set is asked again: a few times at
    // once, then after whatever else waits in the loop, without re-arming
    // the loop's wait on it (a system call each time). A round whose set
    // brought nothing to read goes back to waiting.
    const bool busy = state_->reads_with_bytes > reads_before || n == kEventsPerTurn || !state_->read_again.empty();
    if (!busy) {
      wait_next();
      return;
    }
    if (round == kRoundsPerTurn) break;
  }
  asio::post(ioc_, [this, alive = alive_] {
    if (*alive) serve_turn();
  });
}

void CommandServer::flush_turn() {
  state_->in_turn = false;
  // A flush may end its session and so change the list.
  for (std::size_t i = 0; i < state_->to_flush.size(); ++i) state_->to_flush[i]->flush();
  state_->to_flush.clear();
  state_->retired.clear();
}

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
      socket.non_blocking(true, ignored);
      const auto address = host_address_text(socket.remote_endpoint(ignored).address());
      const int fd = socket.release(ignored);
      if (fd >= 0) {
        leave_alone();  // two hosts: both are watched in the set
        const auto session = std::make_shared<Session>(fd, address, handler_, state_);
        if (!session->start()) handler_.log_line("Error : accept: " + std::string(std::strerror(errno)));
      }
      state_->retired.clear();
    }
    accept();
  });
}

}  // namespace orvane
