#include "fleet/fleet_station.hpp"

#include "core/profile.hpp"
#include "core/text_file.hpp"
#include "device/serial_poller.hpp"
#include "device/simulated_poller.hpp"
#include "station/settings.hpp"
#include "station/station_files.hpp"

#include <unistd.h>

#include <cstring>
#include <random>
#include <system_error>

namespace orvane::fleet {

namespace fs = std::filesystem;

void prepare_station_dir(const StationPlan& plan) {
  std::error_code ec;
  if (fs::is_directory(plan.dir, ec)) return;
  if (fs::exists(plan.dir, ec)) throw std::runtime_error(plan.dir.string() + " is not a directory");
  if (!plan.template_dir)
    throw std::runtime_error("directory " + plan.dir.string() + " does not exist and the fleet file names no template");
  if (!fs::is_directory(*plan.template_dir, ec))
    throw std::runtime_error("template " + plan.template_dir->string() + " is not a directory");
  fs::create_directories(plan.dir.parent_path(), ec);
  if (ec) throw std::runtime_error("cannot create " + plan.dir.parent_path().string() + ": " + ec.message());
  const auto tmp =
      plan.dir.parent_path() / (".new-" + plan.dir.filename().string() + "-" + std::to_string(std::random_device{}()));
  try {
    // Entries named "..*" are left out: a template mounted from a
    // Kubernetes ConfigMap holds its files as links into such hidden
    // folders, which are no station's files (the links are followed).
    fs::create_directory(tmp);
    for (const auto& entry : fs::directory_iterator(*plan.template_dir)) {
      if (entry.path().filename().string().starts_with("..")) continue;
      fs::copy(entry.path(), tmp / entry.path().filename(), fs::copy_options::recursive);
    }
    // The station never makes these itself.
    fs::create_directories(tmp / "log");
    fs::create_directories(tmp / "history");
    if (!plan.config_keys.empty() || !plan.connection_keys.empty() || plan.port) {
      auto profile = load_profile(tmp / station_files::kSettings);
      for (const auto& [k, v] : plan.config_keys) profile.set("Config", k, v);
      for (const auto& [k, v] : plan.connection_keys) profile.set("Connection", k, v);
      if (plan.port) profile.set("Connection", "ClientPort", std::to_string(*plan.port));
      write_file_atomic(tmp / station_files::kSettings, profile.text(), NewFile::owner_only);
    }
    fs::rename(tmp, plan.dir);
  } catch (const std::exception& e) {
    fs::remove_all(tmp, ec);
    throw std::runtime_error("cannot make " + plan.dir.string() + " from " + plan.template_dir->string() + ": " +
                             e.what());
  }
}

void FleetStation::Listener::listen(const ListenSettings& settings) {
  ListenSettings s = settings;
  if (port_) s.port = *port_;
  s.address = address_;
  server_.listen(s);
}

void FleetStation::Listener::close_connections(bool on) { server_.close_connections(on); }

namespace {

std::unique_ptr<ModulePoller> make_line(asio::io_context& ioc, const StationPlan& plan,
                                        std::optional<SimulatedModules>& modules, FaultSet& faults) {
  if (!plan.simulated) {
    ComPortMap ports;
    for (const auto& [port, path] : plan.com) ports.insert_or_assign(port, path);
    return std::make_unique<SerialModulePoller>(ioc, std::move(ports));
  }
  const auto& sim = *plan.simulated;
  modules.emplace();
  modules->checksum = sim.checksum;
  modules->delay_ms = sim.delay_ms;
  for (const auto& m : sim.modules) modules->add_module(m);
  for (const auto& i : sim.inputs) modules->set_input(i, sim.seed);
  for (const auto& f : sim.faults) {
    modules->set_fault(f);  // checks the text
    const auto eq = f.find('=');
    InjectedFault fault{FaultTarget::module, f.substr(eq + 1), parse_module_address(f.substr(0, eq))};
    if (fault.kind != "none") faults.set(std::move(fault));
  }
  modules->apply_faults(faults);
  return std::make_unique<SimulatedModulePoller>(ioc, *modules);
}

}  // namespace

FleetStation::FleetStation(const StationPlan& plan, ThreadShared shared, std::unique_ptr<EventUplink> uplink)
    : index_(plan.index),
      name_(plan.dir.filename().empty() ? plan.dir.parent_path().filename().string() : plan.dir.filename().string()),
      flag_(plan.flag_file),
      power_(plan.reboot_cmd, plan.poweroff_cmd),
      uplink_(std::move(uplink)),
      log_(shared.ioc) {
  prepare_station_dir(plan);
  if (::access(plan.dir.c_str(), R_OK | X_OK) != 0)
    throw std::runtime_error("cannot use station directory " + plan.dir.string() + ": " + std::strerror(errno));
  try {
    if (auto lock = InstanceLock::acquire(plan.lock_file, InstanceLock::Hold::record)) lock_.emplace(std::move(*lock));
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
  if (!lock_) throw std::runtime_error("another process holds the lock " + plan.lock_file.string());
  line_ = make_line(shared.ioc, plan, modules_, faults_);
  switch (plan.log) {
    case LogDestination::stdout_lines:
      if (shared.stdout_lines)
        log_.add_observer([out = shared.stdout_lines](const std::string& line) { out->add(line); });
      break;
    case LogDestination::file:
      log_file_.emplace(shared.ioc, plan.dir / "station.log");
      log_.add_observer([this](const std::string& line) { log_file_->add(line); });
      break;
    case LogDestination::memo:
      break;
  }
  StationDeps deps{shared.clock, flag_, power_, nullptr};
  deps.device = line_.get();
  deps.uplink = shared.uplink ? shared.uplink : uplink_.get();
  deps.flush_group = shared.flush_group;
  deps.upload_pool = shared.upload_pool;
  deps.steady_time = shared.steady_time;
  deps.private_files = {plan.lock_file, plan.flag_file};
  station_ = std::make_unique<Station>(shared.ioc, log_, deps, plan.dir);
  server_ = std::make_unique<CommandServer>(shared.ioc, *station_, shared.hosts, shared.steady_time);
  listener_.emplace(*server_, plan.listen_address, plan.port);
  station_->set_command_listener(&*listener_);
}

FleetStation::~FleetStation() {
  // As a station process ends: the server first, then the station (its
  // delivery leaves Event.Sav holding exactly what is undelivered).
  server_.reset();
  station_.reset();
}

http::StationControl FleetStation::control() {
  return {*station_,
          [server = server_.get()] {
            return http::HostPort{server->session_count(), server->hosts_refused(), server->listening(),
                                  server->listen_endpoint(), server->host_addresses()};
          },
          index_, modules_ ? &*modules_ : nullptr, &faults_};
}

void FleetStation::start() {
  station_->start();
  if (!server_->listening())
    throw std::runtime_error("cannot listen for hosts: " +
                             (server_->listen_failure().empty()
                                  ? std::string("the start-up ended before the port was opened")
                                  : server_->listen_failure()));
  if (!station_->start_failure().empty()) throw std::runtime_error(station_->start_failure());
}

}  // namespace orvane::fleet
