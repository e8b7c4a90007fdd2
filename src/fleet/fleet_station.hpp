// One station of a fleet with everything it is built with: its directory
// (made from the template when new), lock, configured flag, power
// commands, line (serial ports or simulated modules), log destination, the
// station itself and its command server. Built, started and ended on its
// station thread.
#pragma once
#include "device/module_poller.hpp"
#include "device/simulated_modules.hpp"
#include "fleet/fleet_file.hpp"
#include "fleet/log_file.hpp"
#include "http/station_board.hpp"
#include "net/command_server.hpp"
#include "platform/configured_flag.hpp"
#include "platform/instance_lock.hpp"
#include "platform/line_output.hpp"
#include "platform/power_control.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"

#include <asio/io_context.hpp>

#include <memory>
#include <optional>
#include <string>

namespace orvane::fleet {

// Makes the station directory from the template when it doesn't exist:
// copied whole under a temporary name, the file's identity, FTP host and
// port written into its emulate.ini, then renamed into place, so a
// directory is never half made. Throws std::runtime_error with the reason.
void prepare_station_dir(const StationPlan& plan);

// What the stations of one thread share.
struct ThreadShared {
  asio::io_context& ioc;
  const Clock& clock;
  LineOutput* stdout_lines = nullptr;  // the thread's, for stations logging to stdout
  EventUplink* uplink = nullptr;  // each station's own when null (see FleetStation)
  EventFlushGroup* flush_group = nullptr;  // the thread's flush of event appends
  HostBudget* hosts = nullptr;  // host connections of the whole process
  UploadRunner* upload_pool = nullptr;  // LAN uploads of every station
  SteadyTime* steady_time = nullptr;  // the thread's alarms
};

class FleetStation {
 public:
  // Takes the lock and builds the station; throws std::runtime_error with
  // the reason it can't (directory, lock).
  FleetStation(const StationPlan& plan, ThreadShared shared, std::unique_ptr<EventUplink> uplink);
  ~FleetStation();
  FleetStation(const FleetStation&) = delete;
  FleetStation& operator=(const FleetStation&) = delete;

  // The station's start-up; throws std::runtime_error when it can't listen.
  void start();
  long index() const { return index_; }
  // The name the HTTP endpoint knows it by: its directory's base name.
  const std::string& name() const { return name_; }
  // The station as the endpoint reaches it on this thread.
  http::StationControl control();
  Station& station() { return *station_; }
  CommandServer& server() { return *server_; }

 private:
  // ClientPort, or the fleet file's address and port in its stead.
  class Listener final : public CommandListener {
   public:
    Listener(CommandServer& server, std::string address, std::optional<int> port)
        : server_(server), address_(std::move(address)), port_(port) {}
    void listen(const ListenSettings& settings) override;
    void close_connections(bool on) override;

   private:
    CommandServer& server_;
    std::string address_;
    std::optional<int> port_;
  };

  long index_;
  std::string name_;
  // The fleet file's module faults, then those set through the control API.
  FaultSet faults_;
  std::optional<InstanceLock> lock_;
  FileConfiguredFlag flag_;
  CommandPowerControl power_;
  std::optional<SimulatedModules> modules_;
  std::unique_ptr<ModulePoller> line_;
  std::unique_ptr<EventUplink> uplink_;
  OperatorLog log_;
  std::optional<LogFile> log_file_;
  std::unique_ptr<Station> station_;
  std::unique_ptr<CommandServer> server_;
  std::optional<Listener> listener_;
};

}  // namespace orvane::fleet
