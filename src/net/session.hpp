// One host connection of the command server: what the host sends goes
// through the session's framer to the message handler; the replies are
// queued, in order and bounded, and handed to the kernel when the loop
// flushes the session. The loop reads it when the readiness set says so.
#pragma once
#include "core/framer.hpp"
#include "net/host_budget.hpp"
#include "platform/steady_time.hpp"
#include "station/connection.hpp"
#include "station/host_messages.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace orvane {

class SessionLoop;

class Session final : public Connection, public std::enable_shared_from_this<Session> {
 public:
  // Takes `fd`, a connected non-blocking socket, and closes it when it
  // ends; its host's `place` in a process's budget goes back then too.
  Session(int fd, std::string address, SessionLoop& loop, MessageHandler& handler, HostBudget::Place place = {});
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Never writes: the replies wait for the loop's flush. Over the write
  // queue's bound the host is given up (it doesn't take its replies).
  bool send(std::string_view bytes) override;
  void close() override;
  std::string remote_address() const override { return address_; }
  bool is_open() const override { return open_; }
  std::size_t send_room() const override;
  std::size_t queued_bytes() const override { return pending_.size() - taken_; }
  void message_done() override;

  // ---- for its loop ----
  // Joins the loop's readiness set; false (errno set) when the system refuses.
  bool join();
  struct Served {
    bool got_bytes = false;  // a read brought bytes
    bool more_waiting = false;  // a read filled the buffer: the set won't say there is more
  };
  // Serves what the readiness set reported: reads into `buffer` (the
  // loop's, one read at a time), writes what waits for writability.
  Served on_ready(std::uint32_t events, std::span<char> buffer);
  // Hands the queued replies to the kernel without waiting; what it doesn't
  // take goes when the socket is writable again.
  void flush();
  // Ends the connection at once, unfinished message and queued replies
  // included (the station's memory bound).
  void drop();
  // Bytes its framer holds for an unfinished message.
  std::size_t held() const { return held_; }
  // Its host has shut its side, and replies still wait for it.
  bool draining() const { return fd_ >= 0 && host_done_ && queued_bytes() > 0; }
  // Its last sign of life: connected, a message completed, reply bytes
  // taken by the kernel.
  SteadyTime::TimePoint alive_at() const { return alive_at_; }

 private:
  Served read(std::span<char> buffer);
  void host_gone();
  void finish();
  void take(std::string_view bytes);
  void account_held();
  void write_queued();
  std::size_t write_some(std::string_view bytes);
  void after_write();
  void update_interest();
  std::uint32_t wanted() const;
  bool set_interest(int op);
  void account(std::size_t now_held);
  void account_queued();
  void end();

  int fd_;
  std::string address_;
  SessionLoop* loop_;  // until the session ends; never touched after
  MessageHandler& handler_;
  HostBudget::Place place_;
  Framer framer_;
  std::size_t held_ = 0;  // this framer's share of the loop's unfinished bytes
  // A long message is being worked on: nothing more is read or handed over
  // until it is done; what was read after it waits here.
  bool waiting_ = false;
  std::size_t waiting_bytes_ = 0;  // the message's copy, the handler's
  std::string unread_;
  SteadyTime::TimePoint alive_at_;
  std::string pending_;  // replies not yet taken by the kernel, after the first taken_ bytes
  std::size_t taken_ = 0;
  std::size_t queued_ = 0;  // this queue's share of the loop's queued bytes
  std::uint32_t interest_ = 0;
  bool flush_asked_ = false;  // on the loop's list of sessions to flush
  bool host_done_ = false;  // the host shut its sending side
  bool in_set_ = false;
  bool open_ = true;
};

}  // namespace orvane
