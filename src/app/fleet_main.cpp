// orvane-fleet: every station of a fleet file in one process.
#include "app/http_module.hpp"
#include "app/option_check.hpp"
#include "fleet/fleet_file.hpp"
#include "fleet/fleet_host.hpp"
#include "http/endpoint_address.hpp"
#include "http/router.hpp"
#include "http/scenario_runner.hpp"
#include "http/station_board.hpp"
#include "http/token_file.hpp"
#include "net/ftp_uplink.hpp"
#include "platform/clock.hpp"
#include "platform/service_notifier.hpp"
#include "platform/standard_streams.hpp"

#include <CLI/CLI.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/signal_set.hpp>

#include <chrono>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

int main(int argc, char** argv) {
  orvane::open_closed_standard_streams();
  std::signal(SIGPIPE, SIG_IGN);
  std::string file;
  int threads = 0;
  bool strict = false, check_only = false, metrics_channels = false;
  std::string http, http_token_file, scenario_file, replay_file, shard_text;
  double replay_speed = 1;
  CLI::App app{"orvane-fleet: runs every station a fleet file describes in one process", "orvane-fleet"};
  app.add_option("FILE", file, "The fleet file (TOML)")->required();
  app.add_option("--threads", threads, "Station threads (default: the file's threads, else the number of cores)")
      ->check(CLI::Range(1, 256));
  app.add_flag("--strict", strict, "End the fleet with status 1 when any station can't start");
  app.add_flag("--check", check_only, "Check the fleet file, list its stations and exit");
  app.add_option("--http", http,
                 "Serve /metrics, /livez, /readyz and the control API /api/v1 for every station on ADDR:PORT "
                 "(PORT or :PORT: loopback); overrides the file's http")
      ->check(orvane::app::parsed_by([](const std::string& v) { orvane::http::parse_endpoint_address(v); }));
  app.add_option("--http-token-file", http_token_file,
                 "File whose first line is the control API's bearer token; needed when the endpoint is not on "
                 "loopback; overrides the file's http_token_file");
  app.add_flag("--metrics-channels", metrics_channels, "Add each channel's value to /metrics");
  app.add_option("--scenario", scenario_file,
                 "Run the scenario file's steps from the start; overrides the file's scenario");
  app.add_option("--replay", replay_file, "Replay recorded values from a CSV file (time,station,channel,value)");
  app.add_option("--replay-speed", replay_speed, "Replay N times as fast as recorded (default 1)")
      ->check(CLI::Range(1 / orvane::limits::kReplayMaxSpeed, orvane::limits::kReplayMaxSpeed));
  app.add_option("--shard", shard_text,
                 "Run only shard I of N (I/N, counted from 0): a contiguous range of the file's stations; "
                 "default: ORVANE_SHARD, else ORVANE_SHARDS=N with the host name's ordinal (name-I)")
      ->check(orvane::app::parsed_by([](const std::string& v) { orvane::fleet::parse_shard(v); }));
  app.set_version_flag("--version", std::string("orvane-fleet ") + ORVANE_VERSION);
  CLI11_PARSE(app, argc, argv);

  // Signals are taken by the main thread alone: blocked here before any
  // station thread exists, so every thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);

  orvane::fleet::Shard shard;
  try {
    if (!shard_text.empty()) {
      shard = orvane::fleet::parse_shard(shard_text);
    } else {
      char host_name[256] = {};
      ::gethostname(host_name, sizeof host_name - 1);
      if (auto s = orvane::fleet::shard_from_environment(std::getenv("ORVANE_SHARD"), std::getenv("ORVANE_SHARDS"),
                                                         host_name))
        shard = *s;
    }
  } catch (const std::exception& e) {
    std::cerr << std::string("orvane-fleet: ") + e.what() + "\n";
    return 2;
  }
  orvane::fleet::FleetPlan plan;
  try {
    plan = orvane::fleet::read_fleet_file(file, shard);
  } catch (const std::exception& e) {
    std::cerr << std::string("orvane-fleet: ") + e.what() + "\n";
    return 2;
  }
  if (!http.empty()) plan.http = http;
  if (!http_token_file.empty()) plan.http_token_file = http_token_file;
  if (metrics_channels) plan.metrics_channels = true;
  std::optional<orvane::http::EndpointAddress> http_address;
  std::string http_token;
  if (!plan.http.empty()) {
    try {
      auto settings = orvane::http::endpoint_settings(plan.http, plan.http_token_file, "http",
                                                      "a token file (http_token_file or --http-token-file)");
      http_address = settings.address;
      http_token = std::move(settings.token);
    } catch (const std::exception& e) {
      std::cerr << "orvane-fleet: " << e.what() << "\n";
      return 2;
    }
  }
  const bool metrics_per_channel = plan.metrics_channels;
  if (!scenario_file.empty()) plan.scenario = scenario_file;
  // Read whole before any station starts: a bad step is reported by its line.
  std::optional<orvane::http::Scenario> scenario;
  try {
    scenario = orvane::http::start_scenario(plan.scenario, replay_file, replay_speed);
  } catch (const std::exception& e) {
    std::cerr << std::string("orvane-fleet: ") + e.what() + "\n";
    return 2;
  }
  if (check_only) {
    for (const auto& s : plan.stations)
      std::cout << s.index << " " << s.dir.string() << " " << (s.listen_address.empty() ? "*" : s.listen_address) << ":"
                << (s.port ? std::to_string(*s.port) : std::string("ClientPort")) << "\n";
    std::cout << "orvane-fleet: " << plan.stations.size() << " stations";
    if (shard.count > 1) std::cout << " (shard " << describe(shard) << " of a fleet of " << plan.fleet_stations << ")";
    std::cout << "\n";
    return 0;
  }
  // Every station's listening socket is a descriptor: take all the system lets us.
  if (rlimit rl{}; ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
  // As in a station process: big buffers get mappings of their own.
  ::mallopt(M_MMAP_THRESHOLD, orvane::limits::kOwnMappingBytes);

  asio::io_context main_ioc;
  asio::signal_set signals(main_ioc, SIGINT, SIGTERM, SIGHUP);  // installed before the threads start
  const std::size_t described = plan.stations.size();
  const long first_index = plan.stations.front().index, last_index = plan.stations.back().index;
  const long fleet_stations = plan.fleet_stations;
  orvane::fleet::FleetHost::Options options;
  options.threads = threads;
  options.make_uplink = [] { return std::make_unique<orvane::FtpUplink>(); };
  orvane::fleet::FleetHost host(std::move(plan), options);
  // A fleet of one speaks as the station program does, so that whatever
  // watches a station (a test, a service manager, a script) can't tell.
  const bool one = described == 1;
  if (!one && shard.count > 1)
    std::cerr << "orvane-fleet: shard " + describe(shard) + ": stations " + std::to_string(first_index) + ".." +
                     std::to_string(last_index) + " of " + std::to_string(fleet_stations) + "\n";
  if (!one)
    std::cerr << "orvane-fleet: starting " << described << " stations on " << host.thread_count() << " threads\n";
  const auto report = host.start([one](std::size_t done, std::size_t of) {
    if (!one)
      std::cerr << "orvane-fleet: " + std::to_string(done) + " of " + std::to_string(of) + " stations started\n";
  });
  for (const auto& [index, why] : report.failures) {
    if (one)
      std::cerr << "orvane-emulator: " + why + "\n";
    else
      std::cerr << "orvane-fleet: station " + std::to_string(index) + ": " + why + "\n";
  }
  if (!one)
    std::cerr << "orvane-fleet: " + std::to_string(report.up) + " of " + std::to_string(report.stations) +
                     " stations up\n";
  orvane::ServiceNotifier service(main_ioc);
  if (report.up == 0 || (strict && !report.failures.empty())) {
    service.stopping();
    host.stop();
    return 1;
  }
  // The endpoint, on threads of its own; the station threads only publish
  // their stations' views and run the actions posted to them.
  orvane::http::StationBoard board;
  std::optional<orvane::http::Router> router;
  std::unique_ptr<orvane::http::HttpServer> http_server;
  // Scenarios run beside the stations and post their steps as the API does.
  orvane::SystemClock wall_clock;
  std::unique_ptr<orvane::http::ScenarioRunner> scenarios;
  if (http_address || scenario) {
    host.attach(board);
    scenarios = std::make_unique<orvane::http::ScenarioRunner>(
        board, wall_clock, orvane::real_steady_time(), std::chrono::milliseconds(orvane::limits::kHttpActionTimeoutMs),
        [](const std::string& line) { std::cerr << "orvane-fleet: " + line + "\n"; });
  }
  if (scenario) {
    try {
      scenarios->start(std::move(*scenario));
    } catch (const std::exception& e) {
      std::cerr << std::string("orvane-fleet: ") + e.what() + "\n";
      service.stopping();
      scenarios.reset();
      host.stop();
      return 2;
    }
  }
  if (http_address) {
    router.emplace(board, http_token, std::chrono::milliseconds(orvane::limits::kHttpActionTimeoutMs),
                   orvane::http::MetricsOptions{true, metrics_per_channel});
    router->set_scenario(scenarios.get());
    try {
      http_server = orvane::app::start_http_endpoint(
          *http_address, [&router](const orvane::http::Request& request) { return router->answer(request); });
    } catch (const std::exception& e) {
      std::cerr << "orvane-fleet: " << e.what() << "\n";
      service.stopping();
      scenarios.reset();
      host.stop();
      return 2;
    }
    std::cerr << "orvane-fleet: HTTP endpoint on " + http_address->address + ":" + std::to_string(http_server->port()) +
                     "\n";
  }
  service.set_health_check([&host] { return host.threads_turning(); });
  service.ready(one ? "listening on port " + std::to_string(report.first_port)
                    : std::to_string(report.up) + " of " + std::to_string(report.stations) + " stations up");
  auto work = asio::make_work_guard(main_ioc);
  signals.async_wait([&](const std::error_code& e, int) {
    if (e) return;
    service.stopping();
    work.reset();
    main_ioc.stop();
  });
  main_ioc.run();
  http_server.reset();  // no request reaches a station that ends
  scenarios.reset();  // nor a step
  host.stop();
  if (!one) {
    const auto t = host.totals();
    const auto u = host.upload_stats();
    const auto longest = std::chrono::duration_cast<std::chrono::milliseconds>(t.longest_flush).count();
    std::cerr << "orvane-fleet: stopped; " + std::to_string(t.appends) + " event appends made durable by " +
                     std::to_string(t.flushes) + " flushes (longest " + std::to_string(longest) + " ms); " +
                     std::to_string(u.jobs_run) + " uploads, peak " + std::to_string(u.peak_busy) +
                     " FTP sessions of " + std::to_string(u.sessions) + "\n";
  }
  return 0;
}
