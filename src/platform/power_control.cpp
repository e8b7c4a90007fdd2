#include "platform/power_control.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace orvane {

bool run_shell_command(const std::string& command) {
  if (command.empty()) return false;
  pid_t pid = 0;
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  // The station ignores SIGPIPE; the command gets the default back.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) return false;
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
