#include "platform/power_control.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace orvane {

bool run_shell_command(const std::string& command) {
  if (command.empty()) return false;
  pid_t pid = 0;
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CommandPowerControl::request(PowerAction action) {
  return run_shell_command(action == PowerAction::reboot ? reboot_cmd_ : poweroff_cmd_);
}

}  // namespace orvane
