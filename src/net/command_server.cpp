#include "net/command_server.hpp"

#include "core/limits.hpp"

#include <asio/ip/v6_only.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace orvane {

namespace {

// Descriptors this process has open now.
std::size_t open_descriptors() {
  std::error_code ec;
  std::size_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n > 0 ? n - 1 : 0;  // the iterator's own
}

}  // namespace

std::size_t host_cap_for(int max_hosts, std::uint64_t descriptor_limit, std::size_t descriptors_open) {
  const std::uint64_t used = descriptors_open + static_cast<std::uint64_t>(limits::kDescriptorReserve);
  const std::uint64_t room = descriptor_limit > used ? descriptor_limit - used : 0;
  const std::uint64_t wanted = max_hosts > 0 ? static_cast<std::uint64_t>(max_hosts) : 1;
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min(wanted, room)));
}

CommandServer::CommandServer(asio::io_context& ioc, MessageHandler& handler, HostBudget* budget, SteadyTime* time)
    : ioc_(ioc),
      handler_(handler),
      budget_(budget),
      accept_retry_(ioc),
      sessions_(ioc, handler, refusals_, time ? *time : real_steady_time()) {}

CommandServer::~CommandServer() { close(); }

void CommandServer::listen(const ListenSettings& settings) {
  listen_failure_.clear();
  try {
    open_acceptor(settings.port, settings.address);
  } catch (const std::exception& e) {
    listen_failure_ = (settings.address.empty() ? "" : settings.address + " ") + "port " +
                      std::to_string(settings.port) + ": " + e.what();
    throw;
  }
  allow_ = HostAllowList::parse(settings.allow_hosts);
  for (const auto& bad : allow_.rejected())
    handler_.log_line("Error : AllowHosts: \"" + bad + "\" is not an address or a prefix");
  if (allow_.restricts() && !allow_.any_accepted()) handler_.log_line("Error : AllowHosts lets no host in");
  sessions_.set_idle_limit(std::chrono::seconds(std::clamp(settings.idle_seconds, 0, limits::kMaxIdleSeconds)));

  if (budget_) {
    // The budget's owner fits the hosts of all its stations to the limit.
    host_cap_ = static_cast<std::size_t>(std::max(settings.max_hosts, 1));
  } else {
    rlimit rl{};
    // Unknown, the limit is taken to be the usual soft one.
    const std::uint64_t limit = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 ? rl.rlim_cur : 1024;
    host_cap_ = host_cap_for(settings.max_hosts, limit, open_descriptors());
    if (host_cap_ < static_cast<std::size_t>(std::max(settings.max_hosts, 1)))
      handler_.log_line("Error : descriptor limit " + std::to_string(limit) + " leaves room for " +
                        std::to_string(host_cap_) + " hosts (MaxHosts " + std::to_string(settings.max_hosts) + ")");
  }
  accept();
}

void CommandServer::open_acceptor(int port, const std::string& address) {
  // Port 0 would listen on a port nobody knows: not a usable setting.
  if (port < 1 || port > 65535) throw std::invalid_argument("Invalid port " + std::to_string(port));
  asio::ip::address bound_to;
  if (!address.empty()) {
    // A literal only: a name would be looked up on the station thread, and
    // could stand for several addresses or change meaning later.
    std::error_code ec;
    bound_to = asio::ip::make_address(address, ec);
    if (ec) throw std::invalid_argument("Invalid listen address \"" + address + "\": not an IPv4 or IPv6 address");
  }
  close();
  asio::ip::tcp::acceptor acceptor(ioc_);
  asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), static_cast<unsigned short>(port));
  std::error_code ec;
  if (!address.empty()) {
    endpoint = asio::ip::tcp::endpoint(bound_to, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol());
    // "::" takes IPv4 hosts too, as no address at all does.
    if (bound_to.is_v6()) acceptor.set_option(asio::ip::v6_only(false), ec);
  } else {
    acceptor.open(endpoint.protocol(), ec);
    if (ec) {
      endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), static_cast<unsigned short>(port));
      acceptor.open(endpoint.protocol());
    } else {
      acceptor.set_option(asio::ip::v6_only(false), ec);  // IPv4 too, where the system allows it
    }
  }
  acceptor.set_option(asio::socket_base::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(asio::socket_base::max_listen_connections);
  acceptor_.emplace(std::move(acceptor));
}

void CommandServer::close_connections(bool on) {
  closing_connections_ = on;
  if (on) sessions_.drop_all();
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

std::string CommandServer::listen_endpoint() const {
  if (!acceptor_) return {};
  std::error_code ec;
  const auto local = acceptor_->local_endpoint(ec);
  if (ec) return {};
  const auto address = local.address().to_string();
  return (local.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(local.port());
}

bool CommandServer::admit(asio::ip::tcp::socket& socket, HostBudget::Place& place) {
  std::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return false;  // already gone
  if (admit_host(remote, place)) return true;
  ++hosts_refused_;
  return false;
}

bool CommandServer::admit_host(const asio::ip::tcp::endpoint& remote, HostBudget::Place& place) {
  const auto now = std::chrono::steady_clock::now();
  if (!allow_.allows(remote.address())) {
    const auto address = host_address_text(remote.address());
    if (refusals_.due(address, now)) handler_.log_line("Emulator : refused host " + address);
    return false;
  }
  if (sessions_.session_count() >= host_cap_) {
    if (cap_refusal_due(now))
      handler_.log_line("Error : " + std::to_string(host_cap_) + " hosts connected, no more accepted (host " +
                        host_address_text(remote.address()) + ")");
    return false;
  }
  if (budget_ && !(place = budget_->take(allow_.restricts()))) {
    if (cap_refusal_due(now))
      handler_.log_line(
          "Error : all " + std::to_string(budget_->limit(allow_.restricts())) +
          " host connections of the process in use" +
          (budget_->limit(allow_.restricts()) < budget_->limit() ? " (the rest kept for listed hosts)" : "") +
          ", no more accepted (host " + host_address_text(remote.address()) + ")");
    return false;
  }
  return true;
}

// One line a minute for hosts over a cap, whichever cap and whoever they are.
bool CommandServer::cap_refusal_due(RefusalLog::Time now) {
  if (cap_logged_ && now - last_cap_log_ < std::chrono::seconds(limits::kRefusalLogSeconds)) return false;
  cap_logged_ = true;
  last_cap_log_ = now;
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
    HostBudget::Place place;
    if (closing_connections_ || !admit(socket, place)) {
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
        if (const auto failed = sessions_.add(fd, address, std::move(place)))
          handler_.log_line("Error : accept: " + std::string(std::strerror(failed.value())));
      }
    }
    accept();
  });
}

}  // namespace orvane
