// The command server's TCP side: the listening socket on ClientPort (all
// interfaces, IPv6 and IPv4) and one session per connection, on the station
// thread. Each session owns its framer and a bounded write queue. Who may
// connect is decided at accept, before anything the host sends is read:
// [Connection] AllowHosts and a cap on hosts at once (MaxHosts, lowered to
// fit the descriptor limit). The memory of unfinished messages is bounded
// for all hosts together.
#pragma once
#include "net/host_allow_list.hpp"
#include "station/host_messages.hpp"

#include <asio/generic/stream_protocol.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

struct ServerState;

class CommandServer final : public CommandListener {
 public:
  CommandServer(asio::io_context& ioc, MessageHandler& handler);
  ~CommandServer() override;

  // Opens the listening socket on settings.port (1..65535) and takes the
  // allow-list and the cap on hosts; throws std::system_error (port in use ...) or
  // std::invalid_argument (port out of range, 0 included). The failure's
  // text stays readable in listen_failure().
  void listen(const ListenSettings& settings) override;
  void close();
  int port() const;
  bool listening() const { return acceptor_.has_value(); }
  const std::string& listen_failure() const { return listen_failure_; }
  // Sessions alive right now (open or draining their last replies).
  std::size_t session_count() const;
  // Hosts served at once: MaxHosts, or fewer when descriptors are short.
  std::size_t host_cap() const { return host_cap_; }
  // Bytes held for unfinished messages by all sessions together.
  std::size_t unfinished_bytes() const;

 private:
  void open_acceptor(int port);
  void accept();
  // True when the new connection may have a session; otherwise it is
  // closed before anything is read and the refusal logged (rate limited).
  bool admit(asio::ip::tcp::socket& socket);
  // The sessions are served in turns from their readiness set, which the
  // loop watches as one descriptor.
  void watch();
  void serve_turn();
  // After a turn: a lone host with nothing queued is watched by the loop
  // directly, its socket read by the loop's own read (no epoll_ctl to
  // re-arm a wait, no set to ask); anything else waits on the set.
  void wait_next();
  bool go_alone();
  void read_alone();
  void leave_alone();
  // Hands the replies of the messages handled so far to the kernel.
  void flush_turn();
  static constexpr int kEventsPerTurn = 64;
  static constexpr int kRoundsPerTurn = 4;

  asio::io_context& ioc_;
  MessageHandler& handler_;
  std::optional<asio::ip::tcp::acceptor> acceptor_;
  asio::steady_timer accept_retry_;
  std::error_code last_accept_error_;
  std::string listen_failure_;
  HostAllowList allow_;
  std::size_t host_cap_ = 0;
  // Typed on the loop's own executor: no type-erased executor per turn.
  asio::posix::basic_stream_descriptor<asio::io_context::executor_type> ready_watch_;
  bool set_watched_ = false;  // a wait on the set is pending
  std::vector<char> read_buffer_;  // one read at a time, for every session
  // The lone host's socket (a second descriptor of it) while the loop
  // watches it alone, and the buffer of its pending read (made at the first).
  // A socket rather than a plain descriptor: it is read with recv(), which
  // takes a shorter way through the kernel than read().
  asio::basic_stream_socket<asio::generic::stream_protocol, asio::io_context::executor_type> lone_watch_;
  std::vector<char> lone_buffer_;
  std::uint64_t lone_reads_ = 0;  // tells a current read from one cancelled
  std::shared_ptr<ServerState> state_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The cap on hosts at once: MaxHosts, lowered so that the descriptors open
// now, the hosts and the station's reserve stay below the descriptor limit
// (and below FD_SETSIZE, which the upload's select() needs). At least one.
std::size_t host_cap_for(int max_hosts, std::uint64_t descriptor_limit, std::size_t descriptors_open);

}  // namespace orvane
