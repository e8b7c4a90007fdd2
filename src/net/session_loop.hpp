// The host sessions of one station and the loop that serves them on the
// station thread: one readiness set (epoll) for all of them, which the
// io_context watches as one descriptor. Sessions are served in turns: each
// one the set reports is read once and its complete messages handled, then
// the replies of the turn go to the kernel together. The memory of
// unfinished messages is bounded for all sessions together. The set and
// the read buffer exist only while there are sessions: a process holds
// thousands of stations, most of them without a host most of the time.
#pragma once
#include "net/host_budget.hpp"
#include "net/refusal_log.hpp"
#include "platform/steady_time.hpp"
#include "station/host_messages.hpp"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace orvane {

class Session;

class SessionLoop {
 public:
  // `drop_log` rate-limits the line of a host dropped for the memory bound
  // (the server's refusals share it).
  SessionLoop(asio::io_context& ioc, MessageHandler& handler, RefusalLog& drop_log, SteadyTime& time);
  // Sessions still held elsewhere find their host gone.
  ~SessionLoop();
  SessionLoop(const SessionLoop&) = delete;
  SessionLoop& operator=(const SessionLoop&) = delete;

  // Serves `fd`, a connected non-blocking socket, from now on. On failure
  // (no set can be made, or it refuses the socket) the socket is closed and
  // the error returned. The host's `place` in a process's budget, if any,
  // is given back when its session ends.
  std::error_code add(int fd, std::string address, HostBudget::Place place = {});
  // Sessions alive right now (open or draining their last replies).
  std::size_t session_count() const { return sessions_.size(); }
  // The addresses of the hosts of those sessions.
  std::vector<std::string> host_addresses() const;
  // Bytes held for unfinished messages by all sessions together.
  std::size_t unfinished_bytes() const { return unfinished_; }
  // Reply bytes queued by all sessions together, not yet taken by the kernel.
  std::size_t queued_bytes() const { return queued_; }
  // Sessions without a sign of life for `limit` are closed (0: never);
  // the log says so once per address per minute.
  void set_idle_limit(std::chrono::seconds limit);
  // Ends every session at once, unfinished messages and queued replies
  // included.
  void drop_all();
  SteadyTime::TimePoint now() const { return time_.now(); }

  // ---- for its sessions ----
  int readiness_set() const { return epoll_fd_; }
  // `session` has queued replies: flushed at the end of the turn, or soon
  // after the work at hand when no turn is being served.
  void flush_soon(std::shared_ptr<Session> session);
  void held_changed(std::size_t before, std::size_t now) { unfinished_ = unfinished_ - before + now; }
  // Over the bound on unfinished messages, drops the session holding most.
  void keep_unfinished_bound();
  void queued_changed(std::size_t before, std::size_t now) { queued_ = queued_ - before + now; }
  // Room for `bytes` more replies of `asking` within the bound on queued
  // replies: while there is none, the session holding most is dropped.
  // False when that is `asking` itself.
  bool make_room(std::size_t bytes, const Session& asking);
  // `session` has ended: the loop lets go of it.
  void leave(const Session& session, std::size_t freed);
  // A session's host has shut its side with replies still waiting: those
  // the kernel takes none of for limits::kHostGoneDrainMs are closed.
  void watch_draining();

 private:
  // Drops `session`, which holds `holding` bytes of `what` (bounded at
  // `bound` in all); the log says so once per address per minute.
  void drop_over_bound(Session& session, std::size_t holding, const char* what, std::size_t bound);
  std::error_code open_set();
  void release_when_idle();
  void watch();
  void serve_turn();
  void flush_all();
  void watch_idle();
  void close_idle();
  void close_drained();
  static constexpr int kEventsPerRound = 64;
  static constexpr int kRoundsPerTurn = 4;

  asio::io_context& ioc_;
  MessageHandler& handler_;
  RefusalLog& drop_log_;
  SteadyTime& time_;
  std::chrono::seconds idle_limit_{0};
  std::unique_ptr<SteadyTime::Alarm> idle_alarm_;
  bool idle_watched_ = false;
  std::unique_ptr<SteadyTime::Alarm> drain_alarm_;
  bool drain_watched_ = false;
  int epoll_fd_ = -1;  // owned by ready_watch_; -1 while no session is there
  // Counts the sets released: a wait or a turn's sequel begun on a set
  // since released finds a different number and does nothing.
  std::uint64_t set_generation_ = 0;
  // Typed on the loop's own executor: no type-erased executor per turn.
  asio::posix::basic_stream_descriptor<asio::io_context::executor_type> ready_watch_;
  bool set_watched_ = false;  // a wait on the set is pending
  bool serving_ = false;  // in a turn, which flushes at its end
  bool flush_posted_ = false;
  bool release_posted_ = false;
  std::vector<char> read_buffer_;  // one read at a time, for every session
  std::vector<std::shared_ptr<Session>> sessions_;  // open or draining
  std::vector<std::shared_ptr<Session>> to_flush_;
  // Sessions whose last read filled the buffer: edge-triggered, the set
  // reports a socket only when new bytes come, so these are read again
  // next round unasked.
  std::vector<std::shared_ptr<Session>> read_again_;
  std::vector<std::shared_ptr<Session>> ready_;  // the round being served
  std::vector<std::shared_ptr<Session>> flushing_;
  std::size_t unfinished_ = 0;  // bytes held by all sessions' framers
  std::size_t queued_ = 0;  // bytes in all sessions' write queues
  std::size_t released_ = 0;  // session memory freed since memory was last trimmed
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orvane
