// The command server's TCP side: the listening socket on ClientPort (all
// interfaces, IPv6 and IPv4, or the one address given) and a session per
// admitted connection, served
// by the station's SessionLoop on the station thread. Who may
// connect is decided at accept, before anything the host sends is read:
// [Connection] AllowHosts and a cap on hosts at once (MaxHosts, lowered to
// fit the descriptor limit, or within a budget the process's stations
// share). The memory of unfinished messages is bounded for all hosts
// together.
#pragma once
#include "net/host_allow_list.hpp"
#include "net/host_budget.hpp"
#include "net/refusal_log.hpp"
#include "net/session_loop.hpp"
#include "station/host_messages.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

class CommandServer final : public CommandListener {
 public:
  // `budget`: the hosts of every station of the process together, when it
  // runs many; it must outlive the server. Without one, the cap on hosts
  // comes from the descriptors this process has left at listen().
  // `time`: the steady time of its idle limit (the process's when null).
  CommandServer(asio::io_context& ioc, MessageHandler& handler, HostBudget* budget = nullptr,
                SteadyTime* time = nullptr);
  ~CommandServer() override;

  // Opens the listening socket on settings.port (1..65535) of
  // settings.address and takes the allow-list and the cap on hosts; throws
  // std::system_error (port in use ...) or std::invalid_argument (port out
  // of range, 0 included, or an address that is not an IP literal). The
  // failure's text stays readable in listen_failure().
  void listen(const ListenSettings& settings) override;
  void close();
  void close_connections(bool on) override;
  int port() const;
  bool listening() const { return acceptor_.has_value(); }
  const std::string& listen_failure() const { return listen_failure_; }
  // Sessions alive right now (open or draining their last replies).
  std::size_t session_count() const { return sessions_.session_count(); }
  std::vector<std::string> host_addresses() const { return sessions_.host_addresses(); }
  // "ADDR:PORT" of the listening socket; empty while not listening.
  std::string listen_endpoint() const;
  // Hosts served at once: MaxHosts, or fewer when descriptors are short
  // (with a budget: MaxHosts, while the budget has places).
  std::size_t host_cap() const { return host_cap_; }
  // Bytes held for unfinished messages by all sessions together.
  std::size_t unfinished_bytes() const { return sessions_.unfinished_bytes(); }
  // Reply bytes queued by all sessions together, not yet taken by the kernel.
  std::size_t queued_bytes() const { return sessions_.queued_bytes(); }
  // Connections closed unread since start: not on the allow-list, or over a cap.
  std::uint64_t hosts_refused() const { return hosts_refused_; }

 private:
  void open_acceptor(int port, const std::string& address);
  void accept();
  // True when the new connection may have a session, with its `place` in
  // the budget if there is one; otherwise it is closed before anything is
  // read and the refusal logged (rate limited).
  bool admit(asio::ip::tcp::socket& socket, HostBudget::Place& place);
  bool admit_host(const asio::ip::tcp::endpoint& remote, HostBudget::Place& place);
  bool cap_refusal_due(RefusalLog::Time now);

  asio::io_context& ioc_;
  MessageHandler& handler_;
  HostBudget* budget_;
  std::optional<asio::ip::tcp::acceptor> acceptor_;
  asio::steady_timer accept_retry_;
  std::error_code last_accept_error_;
  std::string listen_failure_;
  HostAllowList allow_;
  std::size_t host_cap_ = 0;
  bool closing_connections_ = false;  // an injected fault
  RefusalLog refusals_;
  RefusalLog::Time last_cap_log_{};
  bool cap_logged_ = false;
  std::uint64_t hosts_refused_ = 0;
  SessionLoop sessions_;
};

// The cap on hosts at once: MaxHosts, lowered so that the descriptors open
// now, the hosts and the station's reserve stay below the descriptor limit.
// At least one.
std::size_t host_cap_for(int max_hosts, std::uint64_t descriptor_limit, std::size_t descriptors_open);

}  // namespace orvane
