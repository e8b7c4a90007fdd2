#include "net/session.hpp"

#include "core/limits.hpp"
#include "net/session_loop.hpp"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace orvane {

namespace {

// Replies a session holds for the end of the turn. A message that takes its
// queue past this has it handed to the kernel right after: a host that asks
// for several big files in one go gets them as it reads, rather than
// seeing the later ones refused for want of room in the queue.
constexpr std::size_t kHoldRepliesBytes = 64 << 10;

}  // namespace

Session::Session(int fd, std::string address, SessionLoop& loop, MessageHandler& handler, HostBudget::Place place)
    : fd_(fd),
      address_(std::move(address)),
      loop_(&loop),
      handler_(handler),
      place_(std::move(place)),
      alive_at_(loop.now()) {}

Session::~Session() { end(); }

bool Session::join() { return set_interest(EPOLL_CTL_ADD); }

bool Session::send(std::string_view bytes) {
  if (!open_) return false;
  // The host doesn't take its replies (or, of all hosts, this one holds
  // most of what the station queued): give it up.
  if (queued_bytes() + bytes.size() > limits::kMaxWriteQueueBytes || !loop_->make_room(bytes.size(), *this)) {
    open_ = false;
    end();
    return false;
  }
  if (bytes.empty()) return true;
  pending_.append(bytes);
  account_queued();
  if (!flush_asked_) {
    flush_asked_ = true;
    loop_->flush_soon(shared_from_this());
  }
  return true;
}

void Session::close() {
  if (!open_) return;
  open_ = false;
  finish();
}

std::size_t Session::send_room() const {
  if (!open_ || !loop_) return 0;
  const std::size_t own =
      queued_bytes() < limits::kMaxWriteQueueBytes ? limits::kMaxWriteQueueBytes - queued_bytes() : 0;
  const std::size_t all =
      loop_->queued_bytes() < limits::kMaxQueuedReplyBytes ? limits::kMaxQueuedReplyBytes - loop_->queued_bytes() : 0;
  return std::min(own, all);
}

Session::Served Session::on_ready(std::uint32_t events, std::span<char> buffer) {
  Served served;
  // The host has stopped sending: after what it sent, its end is there to
  // be read, and the set won't report it again.
  if (events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) host_done_ = true;
  if (fd_ >= 0 && open_ && !waiting_ && (events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
    served = read(buffer);
    if (host_done_ && !served.more_waiting && fd_ >= 0 && open_) served.got_bytes |= read(buffer).got_bytes;
  }
  if (fd_ >= 0 && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) write_queued();
  if (fd_ >= 0 && !open_ && queued_bytes() == 0) end();
  if (draining()) loop_->watch_draining();
  return served;
}

void Session::flush() {
  flush_asked_ = false;
  write_queued();
}

void Session::drop() {
  open_ = false;
  framer_.drop();
  end();
}

Session::Served Session::read(std::span<char> buffer) {
  const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
  if (n < 0 && errno == EINTR) return {.more_waiting = true};  // nothing taken: read it again next round
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {};
  if (n <= 0) {
    host_gone();
    return {};
  }
  take(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  return {.got_bytes = true, .more_waiting = open_ && !waiting_ && static_cast<std::size_t>(n) == buffer.size()};
}

// EOF or an error: the host is gone; nothing is written to it again.
// Replies already queued still drain (or fail) and the socket closes.
void Session::host_gone() {
  open_ = false;
  host_done_ = true;
  framer_.drop();
  std::string().swap(unread_);
  account_held();
  finish();
}

// Closed to new work: ends once the queued replies are out. A flush on its
// way sees to the interest; otherwise the set now waits for writability.
void Session::finish() {
  if (queued_bytes() == 0)
    end();
  else if (!flush_asked_)
    update_interest();
}

// Frames what the host sent and hands its complete messages on. The
// messages' replies go out with the turn's, unless they are many. A message
// the handler works on in slices stops the framing: the rest of the bytes
// wait, and the socket is not read, until it is done.
void Session::take(std::string_view bytes) {
  const auto self = shared_from_this();
  const std::size_t used = framer_.feed(
      bytes,
      [&](std::span<const std::string_view> lines) {
        // A connection closed by an earlier message (problem command,
        // write bound, failed send) gets no more work done for it.
        if (!open_) return true;
        alive_at_ = loop_->now();
        waiting_ = !handler_.handle_message(lines, self);
        if (waiting_) {
          waiting_bytes_ = 0;
          for (const auto line : lines) waiting_bytes_ += line.size() + sizeof(line);
        }
        if (loop_ && queued_bytes() > kHoldRepliesBytes) write_queued();
        return !waiting_;
      },
      [&] { handler_.log_line("Error : message too long"); });
  if (!open_) {
    framer_.drop();  // closed by one of its messages: the rest is not looked at
  } else if (waiting_) {
    unread_.append(bytes.substr(used));
    update_interest();  // nothing read meanwhile
  }
  if (!loop_) return;  // ended by one of its messages
  account_held();
  loop_->keep_unfinished_bound();
}

void Session::message_done() {
  if (!waiting_) return;
  waiting_ = false;
  waiting_bytes_ = 0;
  if (!loop_) return;  // ended meanwhile
  if (open_ && !unread_.empty()) {
    const std::string rest = std::exchange(unread_, {});
    take(rest);
  } else {
    std::string().swap(unread_);
    account_held();
  }
  if (!loop_ || waiting_) return;
  if (!open_) {
    finish();
    return;
  }
  // Reading again: made wanted anew, the readiness set reports bytes that
  // came meanwhile (and the host's end) at once.
  update_interest();
}

void Session::write_queued() {
  if (fd_ < 0 || queued_bytes() == 0) return;
  const std::size_t n = write_some(std::string_view(pending_).substr(taken_));
  if (fd_ < 0) return;  // ended by the write
  // What the kernel took stays in front until it is at least half the
  // queue: what is moved up then is never more than what went out.
  taken_ += n;
  if (taken_ == pending_.size()) {
    pending_.clear();
    taken_ = 0;
  } else if (taken_ >= pending_.size() / 2) {
    pending_.erase(0, taken_);
    taken_ = 0;
  }
  account_queued();
  after_write();
}

// Hands bytes to the kernel without waiting: how many it took. A failure
// other than a full socket ends the connection.
std::size_t Session::write_some(std::string_view bytes) {
  const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    open_ = false;
    end();
    return 0;
  }
  if (n <= 0) return 0;
  alive_at_ = loop_->now();
  return static_cast<std::size_t>(n);
}

// After a write: a closed connection ends once its replies are out; what
// is left waits for writability.
void Session::after_write() {
  if (fd_ < 0) return;  // ended by the write; end() let its replies go
  if (pending_.empty() && pending_.capacity() > limits::kFramerKeepBytes) std::string().swap(pending_);
  if (pending_.empty() && !open_) {
    end();
    return;
  }
  update_interest();
}

// Reads while open, waits for writability while replies are left over. A
// reply handed over whole changes nothing: no system call.
void Session::update_interest() {
  if (fd_ >= 0 && wanted() != interest_) set_interest(EPOLL_CTL_MOD);
}

std::uint32_t Session::wanted() const {
  return (open_ && !waiting_ ? EPOLLIN : 0u) | (queued_bytes() == 0 ? 0u : EPOLLOUT);
}

// Adds the session to the readiness set (EPOLL_CTL_ADD) or changes what
// it is watched for (EPOLL_CTL_MOD), edge-triggered, its end always. The
// event carries the session's address; see SessionLoop::serve_turn.
bool Session::set_interest(int op) {
  epoll_event ev{};
  interest_ = wanted();
  ev.events = interest_ | EPOLLRDHUP | EPOLLET;
  ev.data.ptr = this;
  if (::epoll_ctl(loop_->readiness_set(), op, fd_, &ev) != 0) return false;
  in_set_ = true;
  return true;
}

// Keeps the loop's count of message memory in step with this session's
// framer, the long message being worked on and the bytes read after it.
void Session::account_held() { account(framer_.held_bytes() + waiting_bytes_ + unread_.capacity()); }

void Session::account(std::size_t now_held) {
  loop_->held_changed(held_, now_held);
  held_ = now_held;
}

// And its count of queued replies with this session's queue.
void Session::account_queued() {
  loop_->queued_changed(queued_, queued_bytes());
  queued_ = queued_bytes();
}

// Closes the socket and leaves the loop. The object lives on while anyone
// holds it; it only reports the connection closed then.
void Session::end() {
  if (fd_ < 0) return;
  open_ = false;
  // Out of the set first: a child process started meanwhile may still
  // share the socket, and the set must never report it again.
  if (in_set_) ::epoll_ctl(loop_->readiness_set(), EPOLL_CTL_DEL, fd_, nullptr);
  in_set_ = false;
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
  place_.give_back();  // the object may be held for long after (a realtime subscriber's)
  const std::size_t freed = sizeof(Session) + pending_.capacity() + unread_.capacity();
  std::string().swap(pending_);
  std::string().swap(unread_);
  taken_ = 0;
  account(0);
  account_queued();
  std::exchange(loop_, nullptr)->leave(*this, freed);
}

}  // namespace orvane
