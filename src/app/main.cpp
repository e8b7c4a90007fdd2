// orvane-emulator: the station, headless or with its window.
#include "app/http_module.hpp"
#include "app/lazy_uplink.hpp"
#include "app/option_check.hpp"
#include "core/limits.hpp"
#include "device/serial_poller.hpp"
#include "http/endpoint_address.hpp"
#include "http/router.hpp"
#include "http/scenario_runner.hpp"
#include "http/station_board.hpp"
#include "http/station_publisher.hpp"
#include "http/token_file.hpp"
#include "net/command_server.hpp"
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/icmp_pinger.hpp"
#include "platform/instance_lock.hpp"
#include "platform/line_output.hpp"
#include "platform/power_control.hpp"
#include "platform/ppp_dialer.hpp"
#include "platform/service_notifier.hpp"
#include "platform/standard_streams.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"

#include "ui/window_quit.hpp"

#ifdef ORVANE_HAVE_UI
#include "app/window_loader.hpp"
#endif

#include <CLI/CLI.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <thread>

namespace {

struct Options {
  bool headless = false;
  bool show = false;
  std::string dir;
  std::string reboot_cmd = "systemctl reboot";
  std::string poweroff_cmd = "systemctl poweroff";
  std::string lock_file;
  std::string flag_file;
  std::vector<std::string> com;  // "N=PATH"
  std::string ppp_peers = "/etc/ppp/peers";
  std::string ppp_chat;
  std::string http;  // ADDR:PORT, :PORT or PORT; empty: no HTTP endpoint
  std::string http_token_file;
  bool metrics_channels = false;
  std::string scenario;  // a scenario file run from the start
  std::string replay;  // a CSV file of values replayed from the start
  double replay_speed = 1;
};

}  // namespace

int main(int argc, char** argv) {
  orvane::open_closed_standard_streams();
  // A reader of stdout or a peer that goes away must not end the station:
  // writes report EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  Options opt;
  CLI::App app{
      "Orvane Emulator: a remote monitoring station. Serves the framed command protocol on "
      "ClientPort, reads I-7000 modules, buffers and uploads events, keeps history and logs.",
      "orvane-emulator"};
  app.add_flag("--headless", opt.headless, "Run without a window; every operator-log line goes to stdout");
  app.add_flag("--show", opt.show, "Show the window at start instead of starting in the tray");
  app.add_option("--dir", opt.dir, "Station directory (changed to before anything else)")->take_last();
  app.add_option("--reboot-cmd", opt.reboot_cmd, "Command run by the remote reboot request")->capture_default_str();
  app.add_option("--poweroff-cmd", opt.poweroff_cmd, "Command run by the remote power-off request")
      ->capture_default_str();
  app.add_option("--lock-file", opt.lock_file,
                 "Single-instance lock file (default $XDG_RUNTIME_DIR/OrvaneEmulator.lock, else /tmp)");
  app.add_option("--flag-file", opt.flag_file, "Configured-flag file (default $XDG_CONFIG_HOME/kelv/emu/1.21/flag)");
  app.add_option("--com", opt.com,
                 "Device path of COM port N, as N=PATH (repeatable; default /dev/ttyS{N-1}), "
                 "e.g. --com 3=/tmp/i7000 for the module simulator")
      ->check([](const std::string& v) {
        try {
          orvane::parse_com_mapping(v);
          return std::string();
        } catch (const std::exception& e) {
          return std::string(e.what());
        }
      });
  app.add_option("--ppp-peers", opt.ppp_peers, "Dial-up phonebook: the pppd peers folder (entry \"vrn\" is dialled)")
      ->capture_default_str();
  app.add_option("--ppp-chat", opt.ppp_chat,
                 "Chat script that dials the Telphone number (run as chat -f FILE -T NUMBER); "
                 "default: the peer file dials by itself");
  app.add_option("--http", opt.http,
                 "Serve /metrics, /livez, /readyz and the control API /api/v1 on ADDR:PORT (PORT or :PORT: "
                 "loopback); off by default")
      ->check(orvane::app::parsed_by([](const std::string& v) { orvane::http::parse_endpoint_address(v); }));
  app.add_option("--http-token-file", opt.http_token_file,
                 "File whose first line is the bearer token the control API asks for; needed when --http names "
                 "an address other than loopback");
  app.add_flag("--metrics-channels", opt.metrics_channels,
               "Add each channel's value to /metrics (orvane_channel_value)");
  app.add_option("--scenario", opt.scenario, "Run the scenario file's steps from the start (see docs/operations.md)");
  app.add_option("--replay", opt.replay, "Replay recorded values from a CSV file (time,station,channel,value)");
  app.add_option("--replay-speed", opt.replay_speed, "Replay N times as fast as recorded (default 1)")
      ->check(CLI::Range(1 / orvane::limits::kReplayMaxSpeed, orvane::limits::kReplayMaxSpeed));
  app.set_version_flag("--version", std::string("orvane-emulator ") + ORVANE_VERSION);
  CLI11_PARSE(app, argc, argv);

#ifdef ORVANE_HAVE_UI
  // Loaded before anything else so that a missing window changes nothing.
  orvane::app::RunWindowFn* run_window = nullptr;
  if (!opt.headless) {
    try {
      run_window = orvane::app::load_window_module();
    } catch (const std::exception& e) {
      std::cerr << "orvane-emulator: the window is not available (" << e.what() << "); use --headless\n";
      return 2;
    }
  }
#endif

  // Read before the station directory is entered, so a relative path means
  // what it did on the command line.
  std::optional<orvane::http::EndpointAddress> http_address;
  std::string http_token;
  if (!opt.http.empty()) {
    try {
      auto settings = orvane::http::endpoint_settings(opt.http, opt.http_token_file, "--http", "--http-token-file");
      http_address = settings.address;
      http_token = std::move(settings.token);
    } catch (const std::exception& e) {
      std::cerr << "orvane-emulator: " << e.what() << "\n";
      return 2;
    }
  }

  std::optional<orvane::http::Scenario> scenario;
  try {
    scenario = orvane::http::start_scenario(opt.scenario, opt.replay, opt.replay_speed);
  } catch (const std::exception& e) {
    std::cerr << std::string("orvane-emulator: ") + e.what() + "\n";
    return 2;
  }

  if (!opt.dir.empty() && ::chdir(opt.dir.c_str()) != 0) {
    std::cerr << "orvane-emulator: cannot use station directory " << opt.dir << ": " << std::strerror(errno) << "\n";
    return 2;
  }

  const std::filesystem::path lock_path =
      opt.lock_file.empty() ? orvane::InstanceLock::default_path() : std::filesystem::path(opt.lock_file);
  const auto lock = [&]() -> std::optional<orvane::InstanceLock> {
    try {
      return orvane::InstanceLock::acquire(lock_path);
    } catch (const std::exception& e) {
      std::cerr << "orvane-emulator: " << e.what() << "\n";
      std::exit(2);
    }
  }();
  if (!lock) return 0;  // another station runs: leave silently

  std::error_code ec;
  const auto station_dir = std::filesystem::current_path(ec);
  if (ec) {
    std::cerr << "orvane-emulator: cannot read the current directory: " << ec.message() << "\n";
    return 2;
  }

  // Buffers of 128 KiB and more (big messages, long replies) get their own
  // mappings, returned to the system when freed. Left to itself the C
  // library raises that threshold after the first such free, and hundreds
  // of hosts' freed 1 MiB messages then stay in the process as a heap it
  // can't shrink.
  ::mallopt(M_MMAP_THRESHOLD, orvane::limits::kOwnMappingBytes);

  // Run by one thread only (the station thread), headless or not, and every
  // socket, descriptor and timer is used on that thread: the reactor's
  // per-descriptor locks are left out. Other threads (the window, the
  // upload worker) only post work, which stays locked.
  asio::io_context ioc{ASIO_CONCURRENCY_HINT_UNSAFE_IO};
  auto work = asio::make_work_guard(ioc);
  orvane::OperatorLog log(ioc);
  std::optional<orvane::LineOutput> log_output;
  if (opt.headless) {
    std::fflush(stdout);
    log_output.emplace(ioc, STDOUT_FILENO);
    log.add_observer([&log_output](const std::string& line) { log_output->add(line); });
  }

  orvane::SystemClock clock;
  orvane::FileConfiguredFlag flag(opt.flag_file.empty() ? orvane::FileConfiguredFlag::default_path()
                                                        : std::filesystem::path(opt.flag_file));
  orvane::CommandPowerControl power(opt.reboot_cmd, opt.poweroff_cmd);
  orvane::ComPortMap com_ports;
  for (const auto& m : opt.com) {
    auto [port, path] = orvane::parse_com_mapping(m);
    com_ports.insert_or_assign(port, std::move(path));
  }
  orvane::SerialModulePoller device_line(ioc, std::move(com_ports));
  orvane::app::LazyUplink uplink;  // the FTP module is loaded at the first upload
  orvane::PppdOptions ppp;
  ppp.peers_dir = opt.ppp_peers;
  ppp.chat_script = opt.ppp_chat;
  orvane::PppdDialer dialer(ppp);
  orvane::IcmpPinger pinger;
  orvane::StationDeps deps{clock, flag, power, nullptr};
  deps.device = &device_line;
  deps.uplink = &uplink;
  deps.dialer = &dialer;
  deps.pinger = &pinger;
  deps.private_files = {lock_path, flag.path()};
  orvane::Station station(ioc, log, deps, station_dir);
  orvane::CommandServer server(ioc, station);
  station.set_command_listener(&server);

  // The HTTP endpoint, on threads of its own; the station thread only
  // publishes its views and runs the actions posted to it.
  const std::string station_name = station_dir.filename().empty() ? "station" : station_dir.filename().string();
  orvane::http::StationBoard board;
  orvane::FaultSet injected_faults;  // its uplink's and its port's; it has no simulated line
  std::optional<orvane::http::StationPublisher> publisher;
  std::optional<orvane::http::Router> router;
  std::unique_ptr<orvane::http::HttpServer> http_server;
  std::unique_ptr<orvane::http::ScenarioRunner> scenarios;
  if (http_address || scenario) {
    const auto slot = board.add(station_name, [&ioc, &publisher](orvane::http::StationBoard::Action action) {
      asio::post(ioc, [&publisher, action = std::move(action)] {
        publisher->control().station.guarded([&] { action(publisher->control()); });
        publisher->publish_now();
      });
    });
    publisher.emplace(ioc,
                      orvane::http::StationControl{station,
                                                   [&server] {
                                                     return orvane::http::HostPort{
                                                         server.session_count(), server.hosts_refused(),
                                                         server.listening(), server.listen_endpoint(),
                                                         server.host_addresses()};
                                                   },
                                                   0, nullptr, &injected_faults},
                      board, slot);
    scenarios = std::make_unique<orvane::http::ScenarioRunner>(
        board, clock, orvane::real_steady_time(), std::chrono::milliseconds(orvane::limits::kHttpActionTimeoutMs),
        [](const std::string& line) { std::cerr << "orvane-emulator: " + line + "\n"; });
  }
  if (http_address) {
    router.emplace(board, http_token, std::chrono::milliseconds(orvane::limits::kHttpActionTimeoutMs),
                   orvane::http::MetricsOptions{false, opt.metrics_channels});
    router->set_scenario(scenarios.get());
    try {
      http_server = orvane::app::start_http_endpoint(
          *http_address, [&router](const orvane::http::Request& request) { return router->answer(request); });
    } catch (const std::exception& e) {
      std::cerr << "orvane-emulator: " << e.what() << "\n";
      return 2;
    }
  }

  orvane::ServiceNotifier service(ioc);
  // A hang-up (the terminal or ssh session gone) ends the station in order
  // too: buffered events stay, the lock is released.
  asio::signal_set signals(ioc, SIGINT, SIGTERM, SIGHUP);
  orvane::ui::WindowQuit quit_window;
  signals.async_wait([&](const std::error_code& e, int) {
    if (e) return;
    service.stopping();
    work.reset();
    ioc.stop();
    quit_window.request();
  });
  int exit_code = 0;
  asio::post(ioc, [&] {
    station.start();
    if (http_server)
      station.log("Emulator : HTTP endpoint on " + http_address->address + ":" + std::to_string(http_server->port()) +
                  " as station " + station_name);
    if (publisher) publisher->start();
    if (scenario) {
      try {
        scenarios->start(std::move(*scenario));
      } catch (const std::exception& e) {
        std::cerr << std::string("orvane-emulator: ") + e.what() + "\n";
        exit_code = 2;
        service.stopping();
        work.reset();
        ioc.stop();
        return;
      }
    }
    if (server.listening() && station.start_failure().empty()) {
      service.ready("listening on port " + std::to_string(server.port()));
      return;
    }
    // Headless, a station that can't be reached, or can't keep its events,
    // is of no use: end with a failure, so a service manager sees it and
    // restarts it. The window stays up instead, with the error shown.
    if (!opt.headless) return;
    // One write: the operator log's lines go to stdout from a thread of
    // their own, and must not land inside this one.
    if (!server.listening())
      std::cerr << "orvane-emulator: cannot listen for hosts: " +
                       (server.listen_failure().empty() ? std::string("the start-up ended before the port was opened")
                                                        : server.listen_failure()) +
                       "\n";
    else
      std::cerr << "orvane-emulator: " + station.start_failure() + "\n";
    exit_code = 1;
    service.stopping();
    work.reset();
    ioc.stop();
  });

#ifdef ORVANE_HAVE_UI
  if (!opt.headless) {
    std::thread station_thread([&] {
      log.bind_to_current_thread();
      ioc.run();
    });
    const int rc = run_window(argc, argv, station, log, opt.show, quit_window);
    work.reset();
    ioc.stop();
    station_thread.join();
    return rc;
  }
#else
  if (!opt.headless) std::cerr << "orvane-emulator: built without the window; running headless\n";
#endif
  ioc.run();
  return exit_code;
}
