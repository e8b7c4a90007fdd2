// Restart or power off the machine, for the host's remote commands.
#pragma once
#include <string>

namespace orvane {

enum class PowerAction { reboot, power_off };

class PowerControl {
 public:
  virtual ~PowerControl() = default;
  // True when the request succeeded.
  virtual bool request(PowerAction action) = 0;
};

// Runs a configured shell command per action (`systemctl reboot` and
// `systemctl poweroff` by default); success is its exit status 0.
class CommandPowerControl final : public PowerControl {
 public:
  CommandPowerControl(std::string reboot_cmd, std::string poweroff_cmd)
      : reboot_cmd_(std::move(reboot_cmd)), poweroff_cmd_(std::move(poweroff_cmd)) {}
  bool request(PowerAction action) override;

 private:
  std::string reboot_cmd_;
  std::string poweroff_cmd_;
};

// Runs `/bin/sh -c command` and waits; true on exit status 0.
bool run_shell_command(const std::string& command);

}  // namespace orvane
