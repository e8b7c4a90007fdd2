#include "net/session_loop.hpp"

#include "core/limits.hpp"
#include "net/session.hpp"

#include <asio/post.hpp>

#include <malloc.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace orvane {

SessionLoop::SessionLoop(asio::io_context& ioc, MessageHandler& handler, RefusalLog& drop_log, SteadyTime& time)
    : ioc_(ioc),
      handler_(handler),
      drop_log_(drop_log),
      time_(time),
      idle_alarm_(time.make_alarm(ioc)),
      drain_alarm_(time.make_alarm(ioc)),
      ready_watch_(ioc.get_executor()) {}

SessionLoop::~SessionLoop() {
  *alive_ = false;
  const auto all = sessions_;
  for (const auto& s : all) s->drop();
  to_flush_.clear();
  read_again_.clear();
}

std::error_code SessionLoop::add(int fd, std::string address, HostBudget::Place place) {
  if (epoll_fd_ < 0) {
    if (const auto failed = open_set()) {
      ::close(fd);
      return failed;
    }
  }
  const auto session = std::make_shared<Session>(fd, std::move(address), *this, handler_, std::move(place));
  if (!session->join()) {
    const std::error_code failed{errno, std::system_category()};
    if (sessions_.empty()) release_when_idle();
    return failed;  // the session closes the socket
  }
  sessions_.push_back(session);
  watch_idle();
  return {};
}

void SessionLoop::drop_all() {
  const auto all = sessions_;
  for (const auto& s : all) s->drop();
}

void SessionLoop::set_idle_limit(std::chrono::seconds limit) {
  idle_limit_ = limit;
  idle_watched_ = false;
  idle_alarm_->cancel();
  watch_idle();
}

// A look every quarter of the limit while there are sessions.
void SessionLoop::watch_idle() {
  if (idle_watched_ || idle_limit_.count() <= 0 || sessions_.empty()) return;
  idle_watched_ = true;
  idle_alarm_->set(time_.now() + std::max<SteadyTime::Duration>(idle_limit_ / 4, std::chrono::seconds(1)), [this] {
    idle_watched_ = false;
    close_idle();
    watch_idle();
  });
}

void SessionLoop::close_idle() {
  const auto now = time_.now();
  std::vector<std::shared_ptr<Session>> idle;
  for (const auto& s : sessions_)
    // A realtime subscriber waits for its batches; unless they pile up.
    if (now - s->alive_at() >= idle_limit_ && (s->queued_bytes() > 0 || !handler_.sends_unasked_to(*s)))
      idle.push_back(s);
  for (const auto& s : idle) {
    const auto address = s->remote_address();
    s->drop();
    if (drop_log_.due(address, std::chrono::steady_clock::now()))
      handler_.log_line("Error : host " + address + " idle for " + std::to_string(idle_limit_.count()) +
                        " s: connection closed");
  }
}

void SessionLoop::watch_draining() {
  if (drain_watched_) return;
  drain_watched_ = true;
  drain_alarm_->set(time_.now() + std::chrono::milliseconds(limits::kHostGoneDrainMs), [this] {
    drain_watched_ = false;
    close_drained();
  });
}

void SessionLoop::close_drained() {
  const auto now = time_.now();
  const auto limit = std::chrono::milliseconds(limits::kHostGoneDrainMs);
  std::vector<std::shared_ptr<Session>> gone;
  bool waiting = false;
  for (const auto& s : sessions_) {
    if (!s->draining()) continue;
    if (now - s->alive_at() >= limit)
      gone.push_back(s);
    else
      waiting = true;
  }
  for (const auto& s : gone) s->drop();
  if (waiting) watch_draining();
}

// The set and the read buffer for the sessions to come.
std::error_code SessionLoop::open_set() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return {errno, std::system_category()};
  std::error_code ec;
  ready_watch_.assign(fd, ec);
  if (ec) {
    ::close(fd);
    return ec;
  }
  epoll_fd_ = fd;
  read_buffer_.resize(limits::kReadChunkBytes);
  watch();
  return {};
}

// The last session has left: the set and the buffers go, but only once the
// work at hand is done (the turn that saw the host go is still using them)
// and only if no host has come in the meantime.
void SessionLoop::release_when_idle() {
  if (release_posted_ || epoll_fd_ < 0) return;
  release_posted_ = true;
  asio::post(ioc_, [this, alive = alive_] {
    if (!*alive) return;
    release_posted_ = false;
    if (!sessions_.empty() || epoll_fd_ < 0) return;
    ++set_generation_;
    std::error_code ignored;
    ready_watch_.close(ignored);  // its pending wait ends, aborted
    epoll_fd_ = -1;
    set_watched_ = false;
    // Only ended sessions can be left in these; the flush list stays for
    // the flush already posted.
    std::vector<char>().swap(read_buffer_);
    decltype(sessions_)().swap(sessions_);
    decltype(read_again_)().swap(read_again_);
    decltype(ready_)().swap(ready_);
    decltype(flushing_)().swap(flushing_);
  });
}

void SessionLoop::watch() {
  if (set_watched_) return;
  set_watched_ = true;
  ready_watch_.async_wait(asio::posix::descriptor_base::wait_read,
                          [this, alive = alive_, generation = set_generation_](std::error_code ec) {
                            if (!*alive || generation != set_generation_) return;
                            set_watched_ = false;
                            if (!ec) serve_turn();
                          });
}

// One turn: every session the readiness set reports is read once and its
// complete messages handled; then the replies of the turn go to the kernel
// together, so a crowd of hosts is answered in one burst. While hosts keep
// sending, the set is asked again: a few rounds at once, then after
// whatever else waits in the loop, without re-arming the loop's wait on it
// (a system call each time). A round that brought nothing to read goes
// back to waiting.
void SessionLoop::serve_turn() {
  serving_ = true;
  for (int round = 1;; ++round) {
    epoll_event events[kEventsPerRound];
    const int n = ::epoll_wait(epoll_fd_, events, kEventsPerRound, 0);
    // The events carry plain session addresses. Each is made an owning
    // reference here, before anything is served: serving one session may
    // end another, and a session the set reports is still in the set
    // (a session leaves it before it leaves sessions_), hence still owned.
    ready_.swap(read_again_);
    const std::size_t unasked = ready_.size();
    for (int i = 0; i < n; ++i) ready_.push_back(static_cast<Session*>(events[i].data.ptr)->shared_from_this());
    bool got_bytes = false;
    for (std::size_t i = 0; i < ready_.size(); ++i) {
      const auto served = ready_[i]->on_ready(i < unasked ? EPOLLIN : events[i - unasked].events, read_buffer_);
      got_bytes |= served.got_bytes;
      if (served.more_waiting) read_again_.push_back(ready_[i]);
    }
    ready_.clear();
    flush_all();
    const bool busy = got_bytes || n == kEventsPerRound || !read_again_.empty();
    if (!busy) {
      serving_ = false;
      watch();
      return;
    }
    if (round == kRoundsPerTurn) break;
  }
  serving_ = false;
  asio::post(ioc_, [this, alive = alive_, generation = set_generation_] {
    if (*alive && generation == set_generation_) serve_turn();
  });
}

void SessionLoop::flush_soon(std::shared_ptr<Session> session) {
  to_flush_.push_back(std::move(session));
  if (serving_ || flush_posted_) return;
  // Replies sent outside a turn (a realtime batch, posted work) go out
  // once the work at hand is done, all together.
  flush_posted_ = true;
  asio::post(ioc_, [this, alive = alive_] {
    if (!*alive) return;
    flush_posted_ = false;
    flush_all();
  });
}

void SessionLoop::flush_all() {
  while (!to_flush_.empty()) {
    flushing_.swap(to_flush_);
    for (const auto& s : flushing_) s->flush();
    flushing_.clear();
  }
}

void SessionLoop::keep_unfinished_bound() {
  if (unfinished_ <= limits::kMaxUnfinishedBytes) return;
  const auto largest = *std::max_element(
      sessions_.begin(), sessions_.end(),
      [](const std::shared_ptr<Session>& a, const std::shared_ptr<Session>& b) { return a->held() < b->held(); });
  drop_over_bound(*largest, largest->held(), "unfinished messages of all hosts", limits::kMaxUnfinishedBytes);
}

bool SessionLoop::make_room(std::size_t bytes, const Session& asking) {
  while (queued_ + bytes > limits::kMaxQueuedReplyBytes) {
    const auto largest = *std::max_element(sessions_.begin(), sessions_.end(),
                                           [](const std::shared_ptr<Session>& a, const std::shared_ptr<Session>& b) {
                                             return a->queued_bytes() < b->queued_bytes();
                                           });
    if (largest.get() == &asking || largest->queued_bytes() <= asking.queued_bytes() + bytes) return false;
    drop_over_bound(*largest, largest->queued_bytes(), "replies queued for all hosts", limits::kMaxQueuedReplyBytes);
  }
  return true;
}

void SessionLoop::drop_over_bound(Session& session, std::size_t holding, const char* what, std::size_t bound) {
  const auto address = session.remote_address();
  session.drop();
  if (drop_log_.due(address, std::chrono::steady_clock::now()))
    handler_.log_line("Error : " + std::string(what) + " over " + std::to_string(bound >> 20) + " MiB: host " +
                      address + " holding " + std::to_string(holding) + " bytes dropped");
}

void SessionLoop::leave(const Session& session, std::size_t freed) {
  const auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s.get() == &session; });
  if (it == sessions_.end()) return;  // never joined
  sessions_.erase(it);  // whoever called into the session still holds it
  if (sessions_.empty()) release_when_idle();  // before a trim, which then finds its memory free
  // Hand freed memory back to the system after a crowd of hosts, rather
  // than keeping it for the next crowd: when the last host has gone, or
  // when many have gone while others stay. Not here and now: a trim walks
  // the free heap, and the session itself is freed only when let go.
  released_ += freed;
  if (released_ > (sessions_.empty() ? limits::kTrimAfterIdleBytes : limits::kTrimAfterBytes)) {
    released_ = 0;
    asio::post(ioc_, [] { ::malloc_trim(0); });
  }
}

std::vector<std::string> SessionLoop::host_addresses() const {
  std::vector<std::string> out;
  out.reserve(sessions_.size());
  for (const auto& s : sessions_) out.push_back(s->remote_address());
  return out;
}

}  // namespace orvane
